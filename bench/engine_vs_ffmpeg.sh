#!/usr/bin/env bash
# Whole-conversion cost of the engine against the ffmpeg command on the same libraries.
# Converts one generated 1280x720, 30 fps, 20 s H.264/AAC clip to 640x360 MPEG-4/MP3 AVI
# and to 640x360 WMV2/WMAV2 ASF, one codec thread each, alternating the two programs,
# and prints the median wall time and peak memory of each and their ratios.
#
#   bench/engine_vs_ffmpeg.sh [BUILD_DIR] [RUNS]      (defaults: build/test, 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/test}"
runs="${2:-5}"
quenza="$build/src/cli/quenza-convert"
makemedia="$build/tests/support/quenza-make-media"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

clip="$work/clip.mp4"
"$makemedia" --container mp4 --vcodec libx264 --acodec aac --size 1280x720 --rate 30 \
  --duration 20 --vb 3000000 --ab 128000 -o "$clip"

# measure NAME CMD... : appends "seconds kilobytes" to $work/NAME
measure() {
  local name="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/t" "$@" >/dev/null 2>&1
  cat "$work/t" >> "$work/$name"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

for target in avi asf; do
  if [ "$target" = avi ]; then vc=mpeg4; ac=libmp3lame; else vc=wmv2; ac=wmav2; fi
  for i in $(seq "$runs"); do
    measure "q-$target" "$quenza" --engine "$clip" -O vcodec=$vc -O b=1000000 -O s=640x360 \
      -O acodec=$ac -O ab=128000 -o "$work/q.$target"
    measure "f-$target" ffmpeg -nostdin -y -threads 1 -i "$clip" -c:v $vc -b:v 1000000 -s 640x360 \
      -c:a $ac -b:a 128000 -threads 1 -filter_threads 1 "$work/f.$target"
  done
  qt=$(cut -d' ' -f1 "$work/q-$target" | median); ft=$(cut -d' ' -f1 "$work/f-$target" | median)
  qm=$(cut -d' ' -f2 "$work/q-$target" | median); fm=$(cut -d' ' -f2 "$work/f-$target" | median)
  awk -v t="$target" -v qt="$qt" -v ft="$ft" -v qm="$qm" -v fm="$fm" 'BEGIN {
    printf "%s: quenza %.2f s %d kB, ffmpeg %.2f s %d kB, wall-time ratio %.3f, peak-memory ratio %.3f\n",
      t, qt, qm, ft, fm, qt / ft, qm / fm }'
done
