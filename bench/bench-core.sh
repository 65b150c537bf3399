#!/usr/bin/env bash
# The scheduling core's figures with the console program:
#  - real time, the two sample shapes (~3 Mbit/s MPEG-2 + MP2, ~1.2 Mbit/s
#    H.264 + AAC) of SECONDS each: CPU seconds per output second, peak RSS,
#    and peak RSS with 3 and 4 inputs (a short run each: memory settles at once);
#  - --fast, the same pair and two 40 Mbit/s inputs of FAST_SECONDS: output
#    packets per second, and the same input bytes copied by cat in the same run.
# Usage: bench/bench-core.sh [SECONDS] [FAST_SECONDS]   (defaults 120 and 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
fast_seconds=${2:-60}
tool=build/tools/braidmill/braidmill
[ -x "$tool" ] || { echo "bench: $tool is missing; run scripts/setup.sh first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing; run scripts/setup.sh first" >&2; exit 1; }

work=build/bench-core
mkdir -p "$work"
[ -f "$work/pair-$seconds/mpeg2.ts" ] || scripts/make-samples.sh "$work/pair-$seconds" "$seconds" >/dev/null
[ -f "$work/pair-$fast_seconds/mpeg2.ts" ] || scripts/make-samples.sh "$work/pair-$fast_seconds" "$fast_seconds" >/dev/null
for n in 1 2; do
    f="$work/big$n-$fast_seconds.ts"
    [ -f "$f" ] || ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=1280x720:rate=25:duration=$fast_seconds" \
        -f lavfi -i "sine=frequency=$((440 * n)):sample_rate=48000:duration=$fast_seconds" \
        -c:v mpeg2video -b:v 30000k -minrate 30000k -maxrate 30000k -bufsize 9000k -g 12 \
        -c:a mp2 -b:a 192k -muxrate 40000000 -f mpegts "$f"
done

field() { sed -n "s/^[[:space:]]*$2:[[:space:]]*//p" "$1"; }
wall_of() { field "$1" 'Elapsed (wall clock) time (h:mm:ss or m:ss)' | awk -F: '{ w = 0; for (i = 1; i <= NF; i++) w = w * 60 + $i; print w }'; }

pair=("$work/pair-$seconds/mpeg2.ts" "$work/pair-$seconds/h264.ts")
/usr/bin/time -v -o "$work/rt.txt" "$tool" "${pair[@]}" "$work/rt.ts" >/dev/null 2>"$work/rt.err"
cpu=$(awk -v u="$(field "$work/rt.txt" 'User time (seconds)')" -v s="$(field "$work/rt.txt" 'System time (seconds)')" 'BEGIN { print u + s }')
rate=$(sed -n 's/^braidmill: output rate \([0-9]*\) bit\/s.*/\1/p' "$work/rt.err" | tail -1)
out_seconds=$(awk -v b="$(stat -c %s "$work/rt.ts")" -v r="$rate" 'BEGIN { print b * 8 / r }')
echo "real time, 2 inputs x $seconds s: wall $(wall_of "$work/rt.txt") s, CPU $cpu s," \
    "$(awk -v c="$cpu" -v o="$out_seconds" 'BEGIN { printf "%.4f", c / o }') CPU s per output s," \
    "peak RSS $(field "$work/rt.txt" 'Maximum resident set size (kbytes)') kB," \
    "context switches $(field "$work/rt.txt" 'Voluntary context switches')"
for k in 3 4; do
    inputs=()
    for ((i = 0; i < k; i++)); do inputs+=("${pair[$((i % 2))]}"); done
    /usr/bin/time -v -o "$work/rt$k.txt" "$tool" -t 20 -o "$work/rt$k.ts" "${inputs[@]}" \
        >/dev/null 2>&1 || true
    echo "real time, $k inputs (20 s): peak RSS $(field "$work/rt$k.txt" 'Maximum resident set size (kbytes)') kB"
done

for set in pair big; do
    if [ $set = pair ]; then
        inputs=("$work/pair-$fast_seconds/mpeg2.ts" "$work/pair-$fast_seconds/h264.ts")
    else
        inputs=("$work/big1-$fast_seconds.ts" "$work/big2-$fast_seconds.ts")
    fi
    # Best of three each, taken in turns, each writing a file that is not
    # there yet: the page cache and writeback make single runs noisy.
    best_mux=999999; best_cat=999999
    for round in 1 2 3; do
        rm -f "$work/fast.ts" "$work/cat.ts"; sync
        /usr/bin/time -v -o "$work/fast.txt" "$tool" --fast "${inputs[@]}" "$work/fast.ts" >/dev/null 2>&1
        best_mux=$(awk -v a="$best_mux" -v b="$(wall_of "$work/fast.txt")" 'BEGIN { print (b < a ? b : a) }')
        rm -f "$work/cat.ts"; sync
        /usr/bin/time -v -o "$work/cat.txt" sh -c "cat $(printf "'%s' " "${inputs[@]}") > '$work/cat.ts'"
        best_cat=$(awk -v a="$best_cat" -v b="$(wall_of "$work/cat.txt")" 'BEGIN { print (b < a ? b : a) }')
    done
    awk -v mw="$best_mux" -v mb="$(stat -c %s "$work/fast.ts")" \
        -v cw="$best_cat" -v cb="$(stat -c %s "$work/cat.ts")" -v set=$set \
        -v rss="$(field "$work/fast.txt" 'Maximum resident set size (kbytes)')" 'BEGIN {
        m = mb / 188 / mw; c = cb / 188 / cw
        printf "--fast, %s: %.2f M packets/s (%d packets in %.2f s), cat %.2f M packets/s (%.2f s): %.0f %% of cat; peak RSS %d kB\n",
            set, m / 1e6, mb / 188, mw, c / 1e6, cw, 100 * m / c, rss }'
done
rm -f "$work/cat.ts" "$work/fast.ts" "$work"/rt*.ts
