#!/usr/bin/env bash
# Draws the program icon, res/vantrel.ico: a white sailing boat on a wave over a
# rounded teal square, drawn once at 1024 px and scaled down so every frame
# shows the same shape, in nine sizes (16 to 256 px, 32 bits with alpha).
#
# Frames of 48 px and up are stored as PNG: as 32-bit bitmaps the 64 and 128 px
# frames alone were a fifth of the shipped program, and every Windows the
# installer runs on (7 and later) reads PNG frames of any size. The frames up
# to 40 px (16 KB together) stay bitmaps, which every reader of icon files
# handles, tools older than PNG frames included.
#
# The output is reproducible: no dates, times or other metadata, and the PNG
# frames are encoded here with fixed filter and zlib settings, so running this
# again (with Debian 12's ImageMagick and zlib) gives a byte-identical icon.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/res/vantrel.ico}
sizes=(16 20 24 32 40 48 64 128 256)
png_from=48   # this size and up as PNG (ImageMagick writes 256 as PNG itself)

# Same results whatever the caller's locale or thread count.
export LC_ALL=C MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1

teal_top='rgb(30,126,139)' teal_bottom='rgb(17,86,97)'
sail='rgb(255,255,255)' jib='rgb(168,228,220)' wave='rgb(110,205,205)'

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
  "ico:$tmp/bitmaps.ico"

# Re-encode the bitmap frames from $png_from px up as PNG: the very pixels
# ImageMagick wrote, as 8-bit RGBA, non-interlaced, no ancillary chunks.
/usr/bin/python3 - "$tmp/bitmaps.ico" "$tmp/vantrel.ico" "$png_from" <<'PYTHON'
import struct, sys, zlib

source, target, png_from = sys.argv[1], sys.argv[2], int(sys.argv[3])


def bitmap_rows(dib):
    """Top-down RGBA rows of a 32-bit bottom-up DIB (the mask after it is
    not needed: the alpha channel carries the transparency)."""
    header, width, double_height, _planes, bpp = struct.unpack_from("<IiiHH", dib)
    height = double_height // 2
    assert bpp == 32 and width == height > 0, (width, height, bpp)
    rows = []
    for y in reversed(range(height)):
        bgra = dib[header + y * width * 4:header + (y + 1) * width * 4]
        rgba = bytearray(len(bgra))
        rgba[0::4], rgba[1::4], rgba[2::4], rgba[3::4] = bgra[2::4], bgra[1::4], bgra[0::4], bgra[3::4]
        rows.append(bytes(rgba))
    return width, height, rows


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def filtered(kind, row, prior):
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a, b, c = (row[i - 4], prior[i], prior[i - 4]) if i >= 4 else (0, prior[i], 0)
        out[i] = (x - (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]) & 0xFF
    return bytes(out)


def png(width, height, rows):
    # Per row the filter with the smallest sum of absolute values (libpng's
    # heuristic), then deflate at level 9 with the filtered strategy.
    data = bytearray()
    prior = bytes(width * 4)
    for row in rows:
        candidates = [filtered(kind, row, prior) for kind in range(5)]
        cost = [sum(v if v < 128 else 256 - v for v in c) for c in candidates]
        kind = cost.index(min(cost))
        data += bytes([kind]) + candidates[kind]
        prior = row
    packer = zlib.compressobj(9, zlib.DEFLATED, 15, 9, zlib.Z_FILTERED)
    compressed = packer.compress(bytes(data)) + packer.flush()

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", compressed) + chunk(b"IEND", b""))


data = open(source, "rb").read()
_reserved, _kind, count = struct.unpack_from("<HHH", data)
entries, images = [], []
for index in range(count):
    entry = list(struct.unpack_from("<BBBBHHII", data, 6 + 16 * index))
    image = data[entry[7]:entry[7] + entry[6]]
    if (entry[0] or 256) >= png_from and not image.startswith(b"\x89PNG"):
        image = png(*bitmap_rows(image))
    entries.append(entry)
    images.append(image)
offset = 6 + 16 * count
out = bytearray(struct.pack("<HHH", 0, 1, count))
for entry, image in zip(entries, images):
    entry[6], entry[7] = len(image), offset
    out += struct.pack("<BBBBHHII", *entry)
    offset += len(image)
open(target, "wb").write(bytes(out) + b"".join(images))
PYTHON

mv "$tmp/vantrel.ico" "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
