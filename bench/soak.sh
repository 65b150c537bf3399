#!/usr/bin/env bash
# Soak run: muxes two generated inputs of several minutes each with the
# console program in real time and checks afterwards that
#   - every input stream packet is in the output once, in order, on its new PID
#     (bm_soak_check),
#   - the output rate is the announced one: the rate the output's own PCRs
#     span against the mux_rate line, and the file's growth against the wall
#     clock from the first minute to the end; and the presentation times keep
#     their distance to the output's PCRs (bm_soak_check),
#   - memory stays flat: the peak RSS after the first minute is no higher than
#     the RSS after the first minute, give or take a small tolerance.
# Prints the figures; exits non-zero when a check fails. Not part of CI.
#
# Usage: bench/soak.sh [-m MINUTES] [-w WORKDIR] [-b BUILDDIR] [-k] [-n]
#                      [-t RSS_TOLERANCE_KB] [-r WALL_RATE_TOLERANCE_PPM]
#   -m  length of each input in minutes (default 4; at least 2)
#   -w  where inputs, output and logs go (default BUILDDIR/soak)
#   -b  configured build tree (default build)
#   -k  keep existing inputs of WORKDIR instead of generating them again
#   -n  do not build the program and the checker
#   -t  RSS tolerance in kB (default 1024)
#   -r  tolerance of the wall-clock rate in ppm (default 50; one-second
#       samples over three minutes measure it to about 10)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
minutes=4
build=$root/build
work=
keep=0
nobuild=0
rss_tol_kb=1024
wall_tol_ppm=50
while getopts "m:w:b:knt:r:h" opt; do
    case $opt in
        m) minutes=$OPTARG ;;
        w) work=$OPTARG ;;
        b) build=$(cd "$OPTARG" && pwd) ;;
        k) keep=1 ;;
        n) nobuild=1 ;;
        t) rss_tol_kb=$OPTARG ;;
        r) wall_tol_ppm=$OPTARG ;;
        *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    esac
done
work=${work:-$build/soak}
if ! awk -v m="$minutes" 'BEGIN { exit !(m >= 2) }'; then
    echo "soak: -m $minutes: give at least 2 minutes (memory is compared with minute 1)" >&2
    exit 2
fi
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
command -v ffmpeg >/dev/null || { echo "soak: ffmpeg is missing (scripts/setup.sh installs it)" >&2; exit 2; }

if [ "$nobuild" = 0 ]; then
    cmake --build "$build" -j2 --target braidmill_cli bm_soak_check >/dev/null
fi
mux=$build/tools/braidmill/braidmill
check=$build/bench/bm_soak_check
for tool in "$mux" "$check"; do
    [ -x "$tool" ] || { echo "soak: $tool is not built" >&2; exit 2; }
done

mkdir -p "$work"
in1=$work/soak-mpeg2.ts
in2=$work/soak-h264.ts
out=$work/soak-out.ts
samples=$work/samples.txt
log=$work/braidmill.log
errlog=$work/braidmill.err

# Small pictures at low rates, so that minutes of input take seconds to make.
if [ "$keep" = 0 ] || [ ! -s "$in1" ] || [ ! -s "$in2" ]; then
    echo "soak: generating two inputs of $seconds s in $work"
    gen_start=$EPOCHREALTIME
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=320x240:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -c:v mpeg2video -b:v 700k -minrate 700k -maxrate 700k -bufsize 700k -g 12 \
        -c:a mp2 -b:a 128k \
        -muxrate 1200k -mpegts_service_id 1 -metadata service_name="Soak MPEG-2" \
        -f mpegts "$in1"
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
        -c:v libx264 -preset ultrafast -b:v 400k -maxrate 400k -bufsize 400k -g 25 \
        -c:a aac -b:a 96k \
        -muxrate 800k -mpegts_service_id 1 -metadata service_name="Soak H.264" \
        -f mpegts "$in2"
    awk -v a="$gen_start" -v b="$EPOCHREALTIME" 'BEGIN { printf "soak: generated in %.1f s\n", b - a }'
fi
echo "soak: inputs $(stat -c %s "$in1") + $(stat -c %s "$in2") bytes"

# The program runs under a shell of its own that reports the program's CPU
# time (bash's times: user and system time of its waited-for children).
rm -f "$out" "$samples" "$work/pid" "$work/times"
start=$EPOCHREALTIME
bash -c '"$1" "$2" "$3" "$4" >"$5" 2>"$6" & echo $! >"$7"; wait $!; rc=$?; times >"$8"; exit $rc' \
    soak-run "$mux" "$in1" "$in2" "$out" "$log" "$errlog" "$work/pid" "$work/times" &
runner=$!
while [ ! -s "$work/pid" ]; do sleep 0.05; done
pid=$(cat "$work/pid")
# A soak cut short (Ctrl-C, a failing step) must not leave the program running.
trap 'kill "$pid" 2>/dev/null || true' EXIT
echo "soak: braidmill pid $pid, running about $seconds s"

# One line per second: elapsed s, VmRSS kB, VmHWM kB, RssAnon kB, output bytes.
next=$(awk -v s="$start" 'BEGIN { printf "%.6f", s + 1 }')
while [ -r "/proc/$pid/status" ]; do
    rss=- hwm=- anon=-
    while read -r key value _; do
        case $key in
            VmRSS:) rss=$value ;;
            VmHWM:) hwm=$value ;;
            RssAnon:) anon=$value ;;
        esac
    done <"/proc/$pid/status" 2>/dev/null || true
    [ "$rss" = - ] && break # gone, or a zombie whose memory is freed
    size=$(stat -c %s "$out" 2>/dev/null || echo 0)
    echo "$(awk -v s="$start" -v n="$EPOCHREALTIME" 'BEGIN { printf "%.3f", n - s }') $rss $hwm $anon $size" >>"$samples"
    # Sleep to the next whole second after the start, so samples do not drift.
    pause=$(awk -v t="$next" -v n="$EPOCHREALTIME" 'BEGIN { d = t - n; printf "%.3f", (d > 0 ? d : 0) }')
    sleep "$pause"
    next=$(awk -v t="$next" 'BEGIN { printf "%.6f", t + 1 }')
done
set +e
wait "$runner"
status=$?
set -e
trap - EXIT
end=$EPOCHREALTIME
# Second line of times: the children's user and system time, as 1m2.345s.
cpu=$(sed -n 2p "$work/times" | sed 's/\([0-9]*\)m\([0-9.]*\)s/\1 \2/g')

failed=0
fail() { echo "FAIL: $*"; failed=1; }

echo "== program"
echo "exit status: $status"
[ "$status" = 0 ] || fail "braidmill exited with status $status"
grep -q '^mux finish!$' "$log" || fail "no \"mux finish!\" line"
rate_line=$(grep -m1 -o 'mux_rate=[0-9.]*' "$log" || true)
[ -n "$rate_line" ] || { fail "no mux_rate line"; rate_line=mux_rate=0; }
mux_rate=${rate_line#mux_rate=}
awk -v a="$start" -v b="$end" -v c="$cpu" 'BEGIN {
    split(c, t, " "); user = t[1] * 60 + t[2]; sys = t[3] * 60 + t[4]
    printf "wall time: %.1f s, CPU time: %.1f s (%.1f s user + %.1f s system, %.1f%% of one core)\n", \
        b - a, user + sys, user, sys, (user + sys) * 100 / (b - a) }'
echo "$rate_line"
echo "standard output: $(wc -l <"$log") lines (warnings $(grep -c '^warning:' "$log" || true), errors $(grep -c '^error:' "$log" || true))"
if [ -s "$errlog" ]; then
    echo "standard error:"
    sed 's/^/  /' "$errlog"
fi

echo "== output against inputs"
set +e
"$check" "$in1" "$in2" "$out" "$mux_rate" | tee "$work/check.txt"
check_status=${PIPESTATUS[0]}
set -e
[ "$check_status" = 0 ] || fail "bm_soak_check reported failures (status $check_status)"
# The exact rate the checker worked out from the inputs; else the rounded line.
nominal=$(sed -n 's/^input rates: .* = \([0-9.]*\) bit\/s$/\1/p' "$work/check.txt")
[ -n "$nominal" ] || nominal=$(awk -v r="$mux_rate" 'BEGIN { printf "%.3f", r * 1048576 }')

echo "== wall clock and memory"
awk -v nominal="$nominal" -v wtol="$wall_tol_ppm" -v rtol="$rss_tol_kb" '
    { t[NR] = $1; rss[NR] = $2; hwm[NR] = $3; anon[NR] = $4; size[NR] = $5 }
    END {
        if (NR == 0) { print "FAIL: no samples"; exit 1 }
        bad = 0
        for (i = 1; i <= NR && t[i] < 60; i++) ;
        if (i > NR) { print "FAIL: the run ended within its first minute"; exit 1 }
        first = i
        peak = 0; peak_anon = 0
        for (j = first; j <= NR; j++) {
            if (rss[j] > peak) { peak = rss[j]; peak_at = t[j] }
            if (anon[j] > peak_anon) peak_anon = anon[j]
        }
        printf "RSS after 1 min: %d kB (anonymous %d kB) at %.1f s\n", rss[first], anon[first], t[first]
        printf "peak RSS from then to the end: %d kB at %.1f s (anonymous %d kB), last sample %d kB at %.1f s\n", \
            peak, peak_at, peak_anon, rss[NR], t[NR]
        printf "process peak (VmHWM): %d kB, RSS growth after 1 min: %+d kB (tolerance %d kB)\n", \
            hwm[NR], peak - rss[first], rtol
        if (peak > rss[first] + rtol) { print "FAIL: memory grew after the first minute"; bad = 1 }
        # Growth of the file from minute 1 to the last sample at which it
        # still grew, as the slope of a least-squares line: the samples see the
        # file in whole stdio buffers, which a line through two of them would
        # take for a rate error.
        last = NR
        while (last > first && size[last] == size[last - 1]) last--
        last-- # the close flushes what stdio held back, at no particular time
        if (last - first >= 30) {
            n = 0; sx = 0; sy = 0; sxx = 0; sxy = 0
            for (j = first; j <= last; j++) {
                x = t[j] - t[first]; y = size[j] - size[first]
                n++; sx += x; sy += y; sxx += x * x; sxy += x * y
            }
            rate = 8 * (n * sxy - sx * sy) / (n * sxx - sx * sx)
            ppm = (rate / nominal - 1) * 1e6
            printf "output growth by wall clock, %.1f s to %.1f s: %.1f bit/s, %+.1f ppm (tolerance %d)\n", \
                t[first], t[last], rate, ppm, wtol
            if (ppm > wtol || ppm < -wtol) { print "FAIL: the output did not keep its rate in real time"; bad = 1 }
        } else {
            print "FAIL: too few samples to time the output by the wall clock"; bad = 1
        }
        exit bad
    }' "$samples" || failed=1

echo "samples: $samples, logs: $log $errlog"
if [ "$failed" = 0 ]; then
    echo "soak: passed"
else
    echo "soak: FAILED"
fi
exit "$failed"
