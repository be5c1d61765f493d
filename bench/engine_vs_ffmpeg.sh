#!/usr/bin/env bash
# Whole-conversion cost of the engine against the ffmpeg command on the same libraries.
# Converts one generated 1280x720, 30 fps, 20 s H.264/AAC clip to 640x360 MPEG-4/MP3 AVI
# and to 640x360 WMV2/WMAV2 ASF, one codec thread each, alternating the two programs,
# and prints the median wall time and peak memory of each and their ratios.
#
#   bench/engine_vs_ffmpeg.sh [BUILD_DIR] [RUNS]      (defaults: build/test, 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
bench_setup "${1:-}" "${2:-}" 5

clip="$work/clip.mp4"
bench_clip "$clip"


for target in avi asf; do
  if [ "$target" = avi ]; then vc=mpeg4; ac=libmp3lame; else vc=wmv2; ac=wmav2; fi
  for i in $(seq "$runs"); do
    measure "$work/q-$target" "$quenza" --engine "$clip" -O vcodec=$vc -O b=1000000 -O s=640x360 \
      -O acodec=$ac -O ab=128000 -o "$work/q.$target"
    measure "$work/f-$target" ffmpeg -nostdin -y -threads 1 -i "$clip" -c:v $vc -b:v 1000000 -s 640x360 \
      -c:a $ac -b:a 128000 -threads 1 -filter_threads 1 "$work/f.$target"
  done
  report "$target" "$work/q-$target" "$work/f-$target"
done
