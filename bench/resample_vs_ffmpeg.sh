#!/usr/bin/env bash
# Resampling cost: 48000 Hz stereo to 44100 Hz with the same encoder (MP3), the engine
# against the ffmpeg command, alternating runs; prints the medians and their ratios.
#
#   bench/resample_vs_ffmpeg.sh [BUILD_DIR] [RUNS]      (defaults: build/test, 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
bench_setup "${1:-}" "${2:-}" 5

clip="$work/tone.wav"
"$makemedia" --container wav --acodec pcm_s16le --ar 48000 --ac 2 --duration 120 -o "$clip"
for i in $(seq "$runs"); do
  measure "$work/q" "$quenza" --engine "$clip" -O ar=44100 -O acodec=libmp3lame -O ab=128000 -o "$work/q.mp3"
  measure "$work/f" ffmpeg -nostdin -y -threads 1 -i "$clip" -ar 44100 -c:a libmp3lame -b:a 128000 "$work/f.mp3"
done
report "48k-to-44.1k" "$work/q" "$work/f"
