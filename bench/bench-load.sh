#!/usr/bin/env bash
# The multiplex under load, --fast, with the console program:
#  - 200 programs on one 12 Mbit/s constant-rate input (PCRs every 35 ms on
#    the video packets, no PCR-only packets) plus the H.264 sample: the share
#    of PCR-only packets the muxer added, the longest PAT, PMT, SDT, NIT and
#    PCR gaps, the largest delay through the muxer, late and dropped packets,
#    the share of null packets;
#  - 16 copies of the H.264 sample with -o: the largest delay per program
#    and the exit status;
#  - the sample pair, and a VBR pair (the same encodings without a mux
#    rate): the spread of (PTS - PCR out) - (PTS - PCR in) at the default
#    rate, and its floor (bm_spread_check).
# Usage: bench/bench-load.sh [SECONDS]   (default 8)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-8}
tool=build/tools/braidmill/braidmill
for t in "$tool" build/bench/bm_headend_maker build/bench/bm_load_check build/bench/bm_spread_check; do
    [ -x "$t" ] || { echo "bench: $t is missing; build the bench targets first" >&2; exit 1; }
done
work=build/bench-load
mkdir -p "$work"
[ -f "$work/pair-$seconds/h264.ts" ] || scripts/make-samples.sh "$work/pair-$seconds" "$seconds" >/dev/null
if [ ! -f "$work/vbr-$seconds/h264.ts" ]; then
    mkdir -p "$work/vbr-$seconds"
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=352x288:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -c:v mpeg2video -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 1000k -g 12 \
        -c:a mp2 -b:a 128k -f mpegts "$work/vbr-$seconds/mpeg2.ts"
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
        -c:v libx264 -preset veryfast -b:v 800k -maxrate 800k -bufsize 800k -g 25 \
        -c:a aac -b:a 96k -f mpegts "$work/vbr-$seconds/h264.ts"
fi
many="$work/many-$seconds.ts"
[ -f "$many" ] || build/bench/bm_headend_maker "$many" 200 "$seconds" 12000000 35
h264="$work/pair-$seconds/h264.ts"

json() { grep -o "\"$2\": [0-9.]*" "$1" | sed 's/.*: //'; }
rate_of() { sed -n 's/^braidmill: output rate \([0-9]*\) bit\/s.*/\1/p' "$1" | tail -1; }

echo "== 200 programs at 12 Mbit/s + the H.264 sample, $seconds s"
status=0
"$tool" --fast --stats "$work/many.json" -o "$work/many-out.ts" "$many" "$h264" \
    >/dev/null 2>"$work/many.err" || status=$?
grep -v "^braidmill: output rate" "$work/many.err" || true
rate=$(rate_of "$work/many.err")
slots=$(json "$work/many.json" slots | head -1)
echo "exit status $status, output rate $rate bit/s, $slots packets"
awk -v i="$(json "$work/many.json" pcrs_inserted)" -v n="$(json "$work/many.json" null_slots)" \
    -v s="$slots" 'BEGIN { printf "PCR-only packets added: %d (%.3f %%), null packets %.2f %%\n", i, 100 * i / s, 100 * n / s }'
build/bench/bm_load_check "$work/many-out.ts" "$rate" | sed -n '2p'
awk -v d="$(json "$work/many.json" max_delay_ms | sort -g | tail -1)" \
    -v l="$(json "$work/many.json" late | awk '{ s += $1 } END { print s }')" \
    -v x="$(json "$work/many.json" dropped | awk '{ s += $1 } END { print s }')" \
    'BEGIN { printf "largest delay %.1f ms; late %d, dropped %d\n", d, l, x }'

echo "== 16 copies of the H.264 sample, -o"
inputs=()
for ((i = 0; i < 16; i++)); do inputs+=("$h264"); done
status=0
"$tool" --fast --stats "$work/sixteen.json" -o "$work/sixteen.ts" "${inputs[@]}" \
    >/dev/null 2>"$work/sixteen.err" || status=$?
echo "exit status $status; largest delay per program (ms):" \
    $(json "$work/sixteen.json" max_delay_ms)

for pair in pair vbr; do
    dir="$work/$pair-$seconds"
    "$tool" --fast -o "$work/$pair.ts" "$dir/mpeg2.ts" "$dir/h264.ts" >/dev/null 2>"$work/$pair.err"
    echo "== $pair, default rate $(rate_of "$work/$pair.err") bit/s:" \
        $(build/bench/bm_spread_check "$work/$pair.ts" "$dir/mpeg2.ts" "$dir/h264.ts" \
          --rate "$(rate_of "$work/$pair.err")" | tail -2 | tr '\n' ' ')
done
rm -f "$work"/*.ts
