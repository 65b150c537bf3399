#!/usr/bin/env bash
# Generates two short sample inputs with ffmpeg:
#   DIR/mpeg2.ts  MPEG-2 video + MP2 audio, 2.5 Mbit/s
#   DIR/h264.ts   H.264 video + AAC audio, 1.5 Mbit/s
# Usage: scripts/make-samples.sh [DIR] [SECONDS]   (defaults: samples, 6)
# Both are constant-rate transport streams (muxrate), so their bit rate can be
# read from their PCRs.
set -euo pipefail

dir=${1:-samples}
seconds=${2:-6}
command -v ffmpeg >/dev/null || { echo "make-samples: ffmpeg is missing (scripts/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$dir"

ffmpeg -y -v error \
    -f lavfi -i "testsrc=size=352x288:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
    -c:v mpeg2video -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 1000k -g 12 \
    -c:a mp2 -b:a 128k \
    -muxrate 2500k -mpegts_service_id 1 -metadata service_name="Sample MPEG-2" \
    -f mpegts "$dir/mpeg2.ts"

ffmpeg -y -v error \
    -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
    -c:v libx264 -preset veryfast -b:v 800k -maxrate 800k -bufsize 800k -g 25 \
    -c:a aac -b:a 96k \
    -muxrate 1500k -mpegts_service_id 1 -metadata service_name="Sample H.264" \
    -f mpegts "$dir/h264.ts"

echo "make-samples: $dir/mpeg2.ts $dir/h264.ts ($seconds s each)"
