#!/usr/bin/env bash
# How evenly and how cheaply the console program paces a network output.
#  - Evenness: the sample pair (about 5 Mbit/s with the tables) muxed in real
#    time to UDP on 127.0.0.1, for SECONDS, received by bm_udp_arrivals with
#    the kernel's receive time of every datagram: largest gap, longest burst
#    (datagrams within 0.2 ms of the one before), gaps under half the
#    spacing, spread around a steady line. Three runs: an idle machine,
#    beside BUSY busy processes (bounded loops started and ended here by
#    their PIDs), and the same with --realtime (needs root or CAP_SYS_NICE).
#  - Cost: CPU seconds (user + system, every thread) per second of output of
#    each run. The receiver reads every 5 ms instead of waiting per datagram,
#    so that the sender does not pay on loopback for waking it
#    (bench/bench-output-cpu.sh compares the kinds of output with a waiting
#    receiver).
# Each figure comes with the load average before its run: the machine may be
# shared. Usage: [BRAIDMILL=program] bench/bench-pacing.sh [SECONDS] [BUSY]   (defaults 30, 3)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
busy=${2:-3}
tool=${BRAIDMILL:-build/tools/braidmill/braidmill} # another build to compare with: BRAIDMILL=path
rx=build/bench/bm_udp_arrivals
for f in "$tool" "$rx"; do
    [ -x "$f" ] || { echo "bench: $f is missing; build braidmill_cli and bm_udp_arrivals" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing; run scripts/setup.sh first" >&2; exit 1; }

work=build/bench-pacing
mkdir -p "$work"
[ -f "$work/pair-$seconds/mpeg2.ts" ] || scripts/make-samples.sh "$work/pair-$seconds" "$seconds" >/dev/null
inputs=("$work/pair-$seconds/mpeg2.ts" "$work/pair-$seconds/h264.ts")

busy_pids=()
start_busy() {
    for ((i = 0; i < busy; i++)); do
        # Bounded on its own too, should this script die before it ends them.
        bash -c "end=\$((SECONDS + $seconds + 60)); while ((SECONDS < end)); do :; done" &
        busy_pids+=($!)
    done
}
stop_busy() {
    for pid in "${busy_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${busy_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    busy_pids=()
}
rx_pid=
cleanup() {
    stop_busy
    [ -z "$rx_pid" ] || kill "$rx_pid" 2>/dev/null || true
}
trap cleanup EXIT

load() { cut -d' ' -f1-3 /proc/loadavg; }
cpu_of() { awk '{ printf "%.2f", $1 + $2 }' "$1"; }
per_second() { awk -v c="$1" -v b="$2" -v r="$3" 'BEGIN { printf "%.4f", c / (b * 8 / r) }'; }
rate_of() { sed -n 's/^braidmill: output rate \([0-9]*\) bit\/s.*/\1/p' "$1" | tail -1; }

# A real-time run to UDP, received with kernel time stamps; NAME, then
# options for the program.
udp_run() {
    local name=$1
    shift
    "$rx" 1500 $((seconds + 60)) > "$work/$name.rx" &
    rx_pid=$!
    local port=
    for _ in $(seq 50); do
        port=$(sed -n 's/^port //p' "$work/$name.rx")
        [ -n "$port" ] && break
        sleep 0.1
    done
    local before
    before=$(load)
    /usr/bin/time -f "%U %S" -o "$work/$name.time" "$tool" "$@" \
        -o "udp://127.0.0.1:$port" "${inputs[@]}" > "$work/$name.out" 2> "$work/$name.err" || true
    wait "$rx_pid" || true
    rx_pid=
    local bytes rate
    bytes=$(sed -n 's/^datagrams [0-9]*, \([0-9]*\) bytes.*/\1/p' "$work/$name.rx")
    rate=$(rate_of "$work/$name.err")
    echo "== $name (load before: $before)"
    sed -n '2,$p' "$work/$name.rx" | sed 's/^/   /'
    echo "   CPU $(cpu_of "$work/$name.time") s, $(per_second "$(cpu_of "$work/$name.time")" "$bytes" "$rate") CPU s per output s"
    grep -h "real-time\|locked\|behind" "$work/$name.out" "$work/$name.err" | sed 's/^/   /' || true
}

udp_run idle
start_busy
udp_run "busy-$busy"
stop_busy
if "$tool" --help | grep -q -- --realtime; then
    start_busy
    udp_run "busy-$busy-realtime" --realtime
    stop_busy
fi
echo "load after: $(load)"
