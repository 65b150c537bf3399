#!/usr/bin/env bash
# Sets up the machine, builds the library and the program (tests and
# benchmarks are left to scripts/test.sh), makes two sample streams,
# multiplexes them into out/mux.ts and shows what the multiplex holds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --no-build
cmake --preset default >/dev/null
cmake --build build --target braidmill_cli -j "$(nproc)" >/dev/null
scripts/make-samples.sh samples
mkdir -p out
echo "demo: build/tools/braidmill/braidmill samples/mpeg2.ts samples/h264.ts out/mux.ts"
build/tools/braidmill/braidmill samples/mpeg2.ts samples/h264.ts out/mux.ts

echo
echo "demo: out/mux.ts holds $(($(stat -c %s out/mux.ts) / 188)) packets of 188 bytes:"
ffprobe -v error -show_entries \
    'program=program_num,pmt_pid,pcr_pid:program_tags=service_name:program_stream=id,codec_name,codec_type' \
    -of flat out/mux.ts |
awk -F= '
    function hex(s,    i, n) {
        n = 0
        for (i = 3; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
        return n
    }
    { gsub(/"/, "", $2) }
    $1 ~ /^programs\.program\.[0-9]+\.program_num$/ { printf "%sprogram %s", sep, $2; sep = "\n" }
    $1 ~ /^programs\.program\.[0-9]+\.pmt_pid$/ { printf ": PMT PID %s", $2 }
    $1 ~ /^programs\.program\.[0-9]+\.pcr_pid$/ { printf ", PCR PID %s", $2 }
    $1 ~ /^programs\.program\.[0-9]+\.tags\.service_name$/ { printf ", service \"%s\"", $2 }
    $1 ~ /\.streams\.stream\.[0-9]+\.codec_name$/ { codec = $2 }
    $1 ~ /\.streams\.stream\.[0-9]+\.codec_type$/ { type = $2 }
    $1 ~ /\.streams\.stream\.[0-9]+\.id$/ { printf "\n    PID %d: %s %s", hex($2), type, codec }
    END { print "" }'
