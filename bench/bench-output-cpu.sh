#!/usr/bin/env bash
# CPU seconds per output second of the program for SRT, UDP and file output
# on the same inputs: the two sample shapes of SECONDS each, muxed in real
# time at RATE bit/s. The network outputs go to srt-live-transmit on
# 127.0.0.1 (an SRT listener, and a UDP reader), which writes to /dev/null.
# Prints the load average before and after each run: the figures mean
# little on a busy machine.
# Usage: bench/bench-output-cpu.sh [SECONDS] [RATE]   (defaults 30 and 5000000)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
rate=${2:-5000000}
tool=build/tools/braidmill/braidmill
peer=/usr/bin/srt-live-transmit
[ -x "$tool" ] || { echo "bench: $tool is missing; run scripts/setup.sh first" >&2; exit 1; }
[ -x /usr/bin/time ] && [ -x "$peer" ] || { echo "bench: GNU time and srt-tools are needed; run scripts/setup.sh" >&2; exit 1; }

work=build/bench-output-cpu
mkdir -p "$work"
[ -f "$work/pair-$seconds/mpeg2.ts" ] || scripts/make-samples.sh "$work/pair-$seconds" "$seconds" >/dev/null
pair=("$work/pair-$seconds/mpeg2.ts" "$work/pair-$seconds/h264.ts")
port=$((20000 + RANDOM % 20000))

field() { sed -n "s/^[[:space:]]*$2:[[:space:]]*//p" "$1"; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

run() { # name output [peer-input]
    local name=$1 out=$2 pid=
    if [ -n "${3:-}" ]; then
        "$peer" -t:$((seconds + 30)) "$3" file://con >/dev/null 2>"$work/$name.peer" &
        pid=$!
        sleep 0.5
    fi
    local before; before=$(load)
    /usr/bin/time -v -o "$work/$name.txt" "$tool" --rate "$rate" -t "$seconds" -o "$out" "${pair[@]}" \
        >/dev/null 2>"$work/$name.err" || echo "bench: $name run failed, see $work/$name.err" >&2
    [ -z "$pid" ] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
    awk -v u="$(field "$work/$name.txt" 'User time (seconds)')" \
        -v s="$(field "$work/$name.txt" 'System time (seconds)')" -v o="$seconds" -v n="$name" \
        -v b="$before" -v a="$(load)" \
        'BEGIN { printf "%-4s output: CPU %.2f s (user %.2f, sys %.2f) for %d s: %.4f CPU s per output s; load %s -> %s\n", n, u + s, u, s, o, (u + s) / o, b, a }'
}

run srt "srt://127.0.0.1:$port" "srt://:$port?mode=listener"
run udp "udp://127.0.0.1:$port" "udp://:$port"
run file "$work/out.ts"
rm -f "$work/out.ts"
