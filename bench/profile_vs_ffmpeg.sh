#!/usr/bin/env bash
# A profile conversion with picture effects and a text watermark against the ffmpeg
# command doing comparable work on the same libraries: a generated 1280x720, 30 fps,
# 20 s H.264/AAC clip to the AVI profile (MPEG-4 640x480 letterboxed, 29.97 fps,
# 1000 kbit/s; MP3 128 kbit/s 44.1 kHz), brightness, contrast, saturation, exposure and
# one text. ffmpeg: format=bgr24,eq=...,drawtext=...,scale=...,pad=... with one codec
# thread and one filter thread. Both programs alternate; medians and ratios printed.
#
#   bench/profile_vs_ffmpeg.sh [BUILD_DIR] [RUNS]      (defaults: build/test, 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/bench/lib.sh"
bench_setup "${1:-}" "${2:-}" 5

clip="$work/clip.mp4"
bench_clip "$clip"
font="$(fc-match -f '%{file}' 'DejaVu Sans')"

settings="$work/settings.ini"
cat > "$settings" <<INI
[formatInfo104]
paraVideoSize=640x480
paraVideoEncoder=mpeg4
paraVideoBitRate=1000
paraFrameRate=29.97
paraZoom=lbox
paraAudioEncoder=libmp3lame
paraChannel=2
paraSampleRate=44100
paraAudioBitRate=128
paraVolume=256
INI

for i in $(seq "$runs"); do
  rm -rf "$work/out"
  measure "$work/q" "$quenza" --settings "$settings" --catalogue "$root/data/quenzaxboxformat.ini" \
    --profile 104 --output-dir "$work/out" --brightness 300 --contrast 20 --saturation 320 --exposure 20 \
    --text "Quenza Video Converter,40,40,200,0,100,DejaVu Sans,28,white,none" "$clip"
  measure "$work/f" ffmpeg -nostdin -y -threads 1 -i "$clip" -filter_threads 1 \
    -vf "format=bgr24,eq=brightness=0.08:contrast=1.2:saturation=1.25:gamma=1.1,drawtext=fontfile=$font:text='Quenza Video Converter':x=40:y=40:fontsize=37:fontcolor=white@0.78,scale=640:360,pad=640:480:0:60" \
    -r 29.97 -c:v mpeg4 -b:v 1000000 -c:a libmp3lame -b:a 128000 -ar 44100 -ac 2 -threads 1 "$work/f.avi"
done
report "profile avi" "$work/q" "$work/f"
