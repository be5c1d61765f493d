# Shared by the comparison scripts: set-up, timing with peak memory, and medians.
# Source it after setting root, then call bench_setup.

# bench_setup BUILD_DIR RUNS DEFAULT_RUNS (the first two may be empty): sets build, runs,
# quenza, makemedia and a work folder removed at exit.
bench_setup() {
  build="${1:-$root/build/test}"
  runs="${2:-$3}"
  quenza="$build/src/cli/quenza-convert"
  makemedia="$build/tests/support/quenza-make-media"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
}

# bench_clip FILE : the 20 s 1280x720 30 fps H.264/AAC clip the comparisons convert.
bench_clip() {
  "$makemedia" --container mp4 --vcodec libx264 --acodec aac --size 1280x720 --rate 30 \
    --duration 20 --vb 3000000 --ab 128000 -o "$1"
}

# measure FILE CMD... : runs CMD and appends "seconds kilobytes" to FILE.
measure() {
  local file="$1"; shift
  local t; t="$(mktemp)"
  /usr/bin/time -f "%e %M" -o "$t" "$@" >/dev/null 2>&1
  cat "$t" >> "$file"
  rm -f "$t"
}

# median COLUMN FILE : median of column 1 (seconds) or 2 (kilobytes).
median() {
  cut -d' ' -f"$1" "$2" | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'
}

# report NAME QFILE FFILE : prints both medians and the ratios.
report() {
  awk -v t="$1" -v qt="$(median 1 "$2")" -v ft="$(median 1 "$3")" -v qm="$(median 2 "$2")" \
      -v fm="$(median 2 "$3")" 'BEGIN {
    printf "%s: quenza %.2f s %d kB, ffmpeg %.2f s %d kB, wall-time ratio %.3f, peak-memory ratio %.3f\n",
      t, qt, qm, ft, fm, qt / ft, qm / fm }'
}
