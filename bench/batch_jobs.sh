#!/usr/bin/env bash
# Parallel tasks: a batch of four 20 s 1280x720 clips converted with one task at a
# time (--jobs 1) and with two at once (--jobs 2), one codec thread per task, alternating;
# prints the median wall times and their ratio.
#
#   bench/batch_jobs.sh [BUILD_DIR] [RUNS]      (defaults: build/test, 3)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
bench_setup "${1:-}" "${2:-}" 3

bench_clip "$work/clip0.mp4"
for i in 1 2 3; do cp "$work/clip0.mp4" "$work/clip$i.mp4"; done
for i in $(seq "$runs"); do
  for jobs in 1 2; do
    rm -rf "$work/out"
    measure "$work/j$jobs" "$quenza" --engine --jobs "$jobs" --output-dir "$work/out" --format avi \
      -O vcodec=mpeg4 -O b=2000000 -O acodec=libmp3lame "$work"/clip?.mp4
  done
done
awk -v a="$(median 1 "$work/j1")" -v b="$(median 1 "$work/j2")" 'BEGIN {
  printf "batch of 4: --jobs 1 %.2f s, --jobs 2 %.2f s, ratio %.3f\n", a, b, b / a }'
