#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a normal build, an
# address+undefined sanitizer build and a thread sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh default asan tsan

status=0
for preset in default asan tsan; do
    echo "== tests: $preset"
    ctest --preset "$preset" || status=1
done
# libFuzzer targets, briefly: a crash, a leak or a hang fails the run.
echo "== fuzz"
scripts/fuzz.sh || status=1
exit $status
