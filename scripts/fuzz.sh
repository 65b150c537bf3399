#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang into build-fuzz/ and
# runs each for a bounded time on a copy of its corpus: the seeds made at
# build time plus the regression cases kept in fuzz/corpus/<target>/ (the
# copy grows, the committed corpus does not). Fails when a target crashes,
# leaks, hangs or breaks one of its checks; the input is left in
# build-fuzz/artifacts/<target>/.
# Usage: [FUZZ_SECONDS=30] scripts/fuzz.sh [target ...]   (all targets when none)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=build-fuzz

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 >/dev/null

targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < "$build/targets.txt"

# Longest input per target: a packet and its setter values; a few thousand
# packets of a file start; a stream of up to 100 packets (every packet runs
# an analysis pass over all before it); a program list.
max_len() {
    case "$1" in
        fuzz_ts_packet) echo 512 ;;
        fuzz_rate) echo 16384 ;;
        fuzz_input_module) echo 18801 ;;
        fuzz_psi_build) echo 8192 ;;
        fuzz_engine) echo 32768 ;;
        *) echo 4096 ;;
    esac
}

status=0
for target in "${targets[@]}"; do
    run="$build/corpus-run/$target"
    artifacts="$build/artifacts/$target"
    log="$build/logs/$target.log"
    rm -rf "$run"
    mkdir -p "$run" "$artifacts" "$(dirname "$log")"
    cp "$build/seeds/$target"/* "$run"/ 2>/dev/null || true
    cp fuzz/corpus/"$target"/* "$run"/ 2>/dev/null || true
    echo "== fuzz: $target for ${seconds}s"
    if "$build/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$run" >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
    else
        echo "fuzz: $target failed; last lines of $log:"
        tail -n 40 "$log"
        status=1
    fi
done
exit $status
