#!/usr/bin/env bash
# Live soak: two inputs sent over UDP on 127.0.0.1 in real time by senders
# whose clocks run PPM fast (bm_live_soak send), muxed in real time to a file
# by the console program. Afterwards the delay through the muxer is measured
# per minute on each input's video PID (bm_live_soak delay): the n-th packet
# sent against the n-th packet in the output, whose slot gives the time it
# left. Flat when the senders' clocks are followed; without that it would
# grow by PPM microseconds per second. PTS - PCR of each video per minute
# shows that the PCRs run on the senders' clocks. Also checks the output with ffprobe
# and the run's figures (drops, late packets). Not part of CI.
#
# Usage: bench/soak-live.sh [-m MINUTES] [-p PPM] [-w WORKDIR] [-b BUILDDIR] [-k] [-n]
#   -m  minutes of sending (default 10)
#   -p  how fast the senders' clocks run, ppm (default 50)
#   -w  where inputs, output and logs go (default BUILDDIR/soak-live)
#   -b  configured build tree (default build)
#   -k  keep existing inputs of WORKDIR
#   -n  do not build
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
minutes=10
ppm=50
build=$root/build
work=
keep=0
nobuild=0
while getopts "m:p:w:b:knh" opt; do
    case $opt in
        m) minutes=$OPTARG ;;
        p) ppm=$OPTARG ;;
        w) work=$OPTARG ;;
        b) build=$(cd "$OPTARG" && pwd) ;;
        k) keep=1 ;;
        n) nobuild=1 ;;
        *) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    esac
done
work=${work:-$build/soak-live}
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
command -v ffmpeg >/dev/null || { echo "soak-live: ffmpeg is missing" >&2; exit 2; }
if [ "$nobuild" = 0 ]; then
    cmake --build "$build" -j2 --target braidmill_cli bm_live_soak >/dev/null
fi
mux=$build/tools/braidmill/braidmill
tool=$build/bench/bm_live_soak
mkdir -p "$work"
in1=$work/live-mpeg2.ts
in2=$work/live-h264.ts
out=$work/live-out.ts
rate=3000000

if [ "$keep" = 0 ] || [ ! -s "$in1" ] || [ ! -s "$in2" ]; then
    echo "soak-live: generating two inputs of $seconds s in $work"
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=320x240:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -c:v mpeg2video -b:v 700k -minrate 700k -maxrate 700k -bufsize 700k -g 12 \
        -c:a mp2 -b:a 128k -muxrate 1200k -f mpegts "$in1"
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
        -c:v libx264 -preset ultrafast -b:v 400k -maxrate 400k -bufsize 400k -g 25 \
        -c:a aac -b:a 96k -muxrate 800k -f mpegts "$in2"
fi

# Ports from the PID, so that two soaks on one machine do not collide.
port1=$((20000 + ($$ % 20000) * 2))
port2=$((port1 + 1))
rm -f "$out" "$work"/trace*.txt
"$mux" -v --rate "$rate" --input-timeout 3 --input-timeout-ends --stats "$work/stats.json" -o "$out" \
    "udp://127.0.0.1:$port1" "udp://127.0.0.1:$port2" >"$work/braidmill.log" 2>"$work/braidmill.err" &
muxpid=$!
trap 'kill "$muxpid" 2>/dev/null || true' EXIT
sleep 0.5
# ffmpeg puts the video on PID 256; the output's first stream PIDs of
# programs 101 and 102 are 1013 and 1023 (PMT, then the PCR PID slot).
"$tool" send "$port1" "$ppm" "$in1" 256 "$work/trace1.txt" &
s1=$!
"$tool" send "$port2" "$ppm" "$in2" 256 "$work/trace2.txt" &
s2=$!
echo "soak-live: braidmill pid $muxpid, senders $s1 $s2 at +$ppm ppm, about $seconds s"
wait "$s1" "$s2"
set +e
wait "$muxpid"
status=$?
set -e
trap - EXIT
echo "== braidmill exit status $status"
tail -n 5 "$work/braidmill.err" || true
echo "== input 1 (MPEG-2), output PID 1013"
"$tool" delay "$out" "$rate" 1013 "$work/trace1.txt"
echo "== input 2 (H.264), output PID 1023"
"$tool" delay "$out" "$rate" 1023 "$work/trace2.txt"
echo "== PTS - PCR of the video, input 1 and input 2"
"$tool" lead "$out" "$rate" 1013
"$tool" lead "$out" "$rate" 1023
echo "== figures"
grep -o '"dropped": *[0-9]*\|"late": *[0-9]*\|"cc_errors": *[0-9]*' "$work/stats.json" | tr '\n' ' '
echo
ffprobe -v error -show_entries program=program_id -of csv=p=0 "$out" | tr '\n' ' '
echo
