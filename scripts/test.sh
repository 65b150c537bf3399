#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: a normal build (and an
# install of it that a small client builds against), an address+undefined
# sanitizer build and a thread sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh default asan tsan

status=0
for preset in default asan tsan; do
    echo "== tests: $preset"
    ctest --preset "$preset" || status=1
    if [ "$preset" = default ]; then
        # What a client of an installed braidmill sees.
        echo "== install"
        tests/install/run.sh build || status=1
    fi
done
# libFuzzer targets, briefly: a crash, a leak or a hang fails the run.
echo "== fuzz"
scripts/fuzz.sh || status=1
exit $status
