#!/usr/bin/env bash
# Installs a build into a temporary prefix, then builds the client in this
# directory against it twice, with pkg-config and with find_package, and runs
# both on two short generated streams: each must exit 0 and write a
# non-empty whole number of 188-byte packets. Also checks what the install
# holds (versioned SONAME, header, program, man page).
# Usage: tests/install/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/braidmill.h bin/braidmill lib/pkgconfig/braidmill.pc \
    lib/cmake/braidmill/braidmillConfig.cmake lib/cmake/braidmill/braidmillConfigVersion.cmake \
    share/man/man1/braidmill.1; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
soname=$(objdump -p "$prefix/lib/libbraidmill.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libbraidmill.so.2" ] || fail "SONAME is '$soname'"
[ -e "$prefix/lib/$soname" ] || fail "$soname not installed"
"$prefix/bin/braidmill" --version >/dev/null || fail "the installed program does not run"

"$root/scripts/make-samples.sh" "$work/samples" 2 >/dev/null

check_output() {
    local out=$1 size
    size=$(stat -c %s "$out")
    [ "$size" -gt 0 ] && [ $((size % 188)) -eq 0 ] || fail "$out holds $size bytes"
}

# pkg-config: the flags it gives, and the prefix's library at run time.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror -o "$work/client-pc" "$here/client.cpp" \
    $(pkg-config --cflags --libs braidmill)
LD_LIBRARY_PATH=$prefix/lib "$work/client-pc" "$work/samples/mpeg2.ts" "$work/samples/h264.ts" \
    "$work/out-pc.ts" >"$work/client-pc.log" 2>&1 ||
    { tail -n 20 "$work/client-pc.log" >&2; fail "the pkg-config client failed"; }
check_output "$work/out-pc.ts"

# CMake package: find_package(braidmill) and braidmill::braidmill.
cmake -S "$here" -B "$work/client-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/client-build" >/dev/null
"$work/client-build/client" "$work/samples/mpeg2.ts" "$work/samples/h264.ts" "$work/out-cmake.ts" \
    >"$work/client-cmake.log" 2>&1 ||
    { tail -n 20 "$work/client-cmake.log" >&2; fail "the find_package client failed"; }
check_output "$work/out-cmake.ts"

echo "install test: passed ($(($(stat -c %s "$work/out-cmake.ts") / 188)) packets)"
