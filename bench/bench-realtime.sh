#!/usr/bin/env bash
# Multiplexes two generated 20-second inputs (about 3 Mbit/s each) in real
# time with the console program and reports wall time, CPU seconds, CPU
# seconds per second of output and peak memory.
# Usage: bench/bench-realtime.sh [SECONDS]   (default 20; needs a build: scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

export seconds=${1:-20}
tool=build/tools/braidmill/braidmill
[ -x "$tool" ] || { echo "bench: $tool is missing; run scripts/setup.sh first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing; run scripts/setup.sh first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "bench: ffmpeg is missing; run scripts/setup.sh first" >&2; exit 1; }

work=build/bench-realtime
mkdir -p "$work"
for n in 1 2; do
    ffmpeg -nostdin -y -v error \
        -f lavfi -i "testsrc=size=720x576:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=$((440 * n)):sample_rate=48000:duration=$seconds" \
        -c:v mpeg2video -b:v 2500k -minrate 2500k -maxrate 2500k -bufsize 1800k -g 12 \
        -c:a mp2 -b:a 192k -muxrate 3000000 -f mpegts "$work/in$n.ts"
done

/usr/bin/time -v -o "$work/time.txt" "$tool" "$work/in1.ts" "$work/in2.ts" "$work/out.ts" \
    > "$work/stdout.txt"

field() { sed -n "s/^[[:space:]]*$1:[[:space:]]*//p" "$work/time.txt"; }
wall=$(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)')
user=$(field 'User time (seconds)')
sys=$(field 'System time (seconds)')
rss=$(field 'Maximum resident set size (kbytes)')
rate=$(sed -n 's/^mux_rate=//p' "$work/stdout.txt")
bytes=$(stat -c %s "$work/out.ts")

awk -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss" -v rate="$rate" -v bytes="$bytes" '
BEGIN {
    n = split(wall, t, ":"); w = 0
    for (i = 1; i <= n; i++) w = w * 60 + t[i]
    cpu = user + sys
    out = bytes * 8 / (rate * 1048576)
    printf "inputs          2 x %s s, about 3 Mbit/s each\n", ENVIRON["seconds"]
    printf "mux rate        %s x 1048576 bit/s\n", rate
    printf "output          %d bytes, %.2f s of output\n", bytes, out
    printf "wall time       %.2f s\n", w
    printf "CPU             %.2f s (user %.2f, system %.2f)\n", cpu, user, sys
    printf "CPU per output  %.4f s per s (%.2f %% of one core)\n", cpu / out, 100 * cpu / out
    printf "peak memory     %d kB\n", rss
}'
