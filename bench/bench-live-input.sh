#!/usr/bin/env bash
# Live UDP inputs through the console program at 16 and 80 Mbit/s (program
# packets, next to no null packets), each SECONDS long, at the rate the
# program picks: packets dropped and delay through the muxer, both ends
# timed by the kernel (bm_live_input_bench). Prints the load average before
# and after each run: the machine may be shared.
# Usage: bench/bench-live-input.sh [SECONDS]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
build=build
cmake --build "$build" -j2 --target braidmill_cli bm_live_input_bench >/dev/null
work=$build/bench-live-input
mkdir -p "$work"
for mbit in 16 80; do
    f="$work/live-$mbit-$seconds.ts"
    [ -f "$f" ] || ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=720x576:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -c:v mpeg2video -b:v $((mbit * 1000 - 1200))k -minrate $((mbit * 1000 - 1200))k \
        -maxrate $((mbit * 1000 - 1200))k -bufsize 9000k -g 12 \
        -c:a mp2 -b:a 128k -muxrate $((mbit * 1000000)) -f mpegts "$f"
done
# The program under /usr/bin/time, for its own CPU and memory.
cat >"$work/braidmill-timed.sh" <<SH
#!/bin/sh
exec /usr/bin/time -f "braidmill: %U+%S s CPU, peak RSS %M kB" -o "\$BM_TIME_OUT" "$PWD/$build/tools/braidmill/braidmill" "\$@"
SH
chmod +x "$work/braidmill-timed.sh"
for mbit in 16 80; do
    echo "== $mbit Mbit/s live UDP input, $seconds s; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    (cd "$work" && BM_TIME_OUT="time-$mbit.txt" ../bench/bm_live_input_bench ./braidmill-timed.sh \
        "live-$mbit-$seconds.ts" 2>&1 |
        grep -v '^debug:\|^warning: no datagram\|PMT\|PAT \|es_pid\|PCR_PID\|=====')
    echo "   $(cat "$work/time-$mbit.txt"); load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
done
