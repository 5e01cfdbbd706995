#!/usr/bin/env bash
# Draws the program icon, res/vantrel.ico: a white sailing boat on a wave over a
# rounded teal square. The mark is drawn once at 1024 px and scaled down, so
# every frame shows the same shape; Windows picks the frame it needs from the
# nine sizes (16 to 256 px, 32 bits per pixel with alpha, 256 stored as PNG).
#
# The output is reproducible: no dates, times or other metadata go into the
# file, so running this again gives a byte-identical icon.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/res/vantrel.ico}
sizes=(16 20 24 32 40 48 64 128 256)

# Same results whatever the caller's locale or thread count.
export LC_ALL=C MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1

teal_top='rgb(30,126,139)'
teal_bottom='rgb(17,86,97)'
sail='rgb(255,255,255)'
jib='rgb(168,228,220)'
wave='rgb(110,205,205)'

frames=()
for s in "${sizes[@]}"; do
  frames+=( '(' -clone 0 -filter Lanczos -resize "${s}x${s}" ')' )
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert -size 1024x1024 gradient:"$teal_top-$teal_bottom" \
  '(' -size 1024x1024 xc:none -fill white -draw 'roundrectangle 24,24 999,999 210,210' ')' \
  -alpha set -compose DstIn -composite -compose Over \
  -fill "$jib" -draw 'path "M 468,262 L 468,636 L 250,636 Q 320,450 468,262 Z"' \
  -fill "$sail" -draw 'path "M 508,180 Q 720,400 786,636 L 508,636 Z"' \
  -fill "$sail" -draw 'path "M 206,684 L 822,684 Q 770,800 648,812 L 380,812 Q 262,800 206,684 Z"' \
  -fill none -stroke "$wave" -strokewidth 44 -draw 'stroke-linecap round path "M 196,888 Q 276,842 356,888 T 516,888 T 676,888 T 836,888"' \
  -stroke none \
  "${frames[@]}" -delete 0 \
  -channel RGBA -depth 8 -type TrueColorAlpha \
  -strip +set date:create +set date:modify \
  -define png:exclude-chunks=date,time \
  -define png:color-type=6 -define png:bit-depth=8 \
  "ico:$tmp/vantrel.ico"

mv "$tmp/vantrel.ico" "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
