#!/usr/bin/env bash
# Draws Quellon's icons with ImageMagick, in the same hand as data/make-pictures.sh:
# the program icon (an AS/400 tower handing a zipped archive over) and the icons
# of the two file types. Each is drawn once at 256 pixels and scaled to the
# hicolor sizes. The results are committed; run this only to change them.
#   packaging/desktop/make-icons.sh [output folder]   (default: icons/ beside this script)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/icons}
SIZES=(16 22 24 32 48 64 128 256)
BOLD=DejaVu-Sans-Bold
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# tower X Y W H: front, lit top, dark side, operator panel, drive bays, accent.
tower() {
  local x=$1 y=$2 w=$3 h=$4
  local d=$((w / 4)) r=$((x + w)) b=$((y + h)) i by
  echo "fill #0c0d10 polygon $r,$y $((r + d)),$((y - d / 2)) $((r + d)),$((b - d / 2)) $r,$b"
  echo "fill #4a4e58 polygon $x,$y $((x + d)),$((y - d / 2)) $((r + d)),$((y - d / 2)) $r,$y"
  echo "fill #1b1d22 rectangle $x,$y $r,$b"
  echo "fill #8fe08f rectangle $((x + w / 6)),$((y + h / 10)) $((x + w / 2)),$((y + h / 6))"
  echo "fill #43ff6a circle $((r - w / 4)),$((y + h / 8)) $((r - w / 4 + w / 14)),$((y + h / 8))"
  for i in 0 1 2; do
    by=$((y + h * 3 / 10 + i * h / 6))
    echo "fill #3a3f4a rectangle $((x + w / 6)),$by $((r - w / 6)),$((by + h / 10))"
  done
  echo "fill #2f7de1 rectangle $((x + w / 6)),$((b - h / 10)) $((r - w / 6)),$((b - h / 14))"
}

# archive X Y W H: a yellow case with a zipper down its face.
archive() {
  local x=$1 y=$2 w=$3 h=$4
  local r=$((x + w)) b=$((y + h)) mid=$((x + w / 2)) t=$((w / 12 + 2)) s=$((h / 10)) i
  echo "fill #f2c14e stroke #8a6414 stroke-width $((w / 40 + 1)) roundrectangle $x,$y $r,$b $((w / 10)),$((w / 10))"
  echo "fill #f7d57e stroke none rectangle $((x + w / 20 + 1)),$((y + w / 20 + 1)) $((r - w / 20 - 1)),$((y + h / 6))"
  for ((i = y + s / 2; i < b - 3 * t; i += s)); do
    echo "fill #5a5a5a rectangle $((mid - t)),$i $((mid - 1)),$((i + s / 3))"
    echo "fill #5a5a5a rectangle $((mid + 1)),$((i + s / 2)) $((mid + t)),$((i + s / 2 + s / 3))"
  done
  echo "fill #9a9a9a stroke #4a4a4a stroke-width 2 roundrectangle $((mid - t)),$((b - 3 * t)) $((mid + t)),$((b - t / 2)) 4,4"
}

# The program: night-blue tile, tower on the left, arrow, archive on the right.
convert -size 256x256 gradient:'#0b2a5b'-'#1f8ac0' \
  \( -size 256x256 xc:black -fill white -draw "roundrectangle 8,8 247,247 40,40" \) \
  -alpha off -compose CopyOpacity -composite -compose Over \
  -stroke none -draw "$(tower 26 76 64 140)" \
  -fill '#ffffffdd' -draw "polygon 112,138 136,138 136,120 162,146 136,172 136,154 112,154" \
  -draw "$(archive 150 100 84 116)" \
  "$TMP/quellon.png"

# A zipped save file: the archive with a "4QL" band.
convert -size 256x256 xc:none \
  -draw "$(archive 36 16 184 224)" \
  -fill '#0b2a5b' -stroke none -draw "roundrectangle 36,150 220,206 8,8" \
  -font "$BOLD" -pointsize 48 -fill white -gravity north -annotate +0+152 '4QL' \
  "$TMP/application-x-quellon-archive.png"

# A bare save file: a grey cartridge with the tower's blue accent and "SAVF".
convert -size 256x256 xc:none \
  -fill '#5b606b' -stroke '#1b1d22' -strokewidth 6 -draw "roundrectangle 28,40 228,216 18,18" \
  -stroke none -fill '#30343d' -draw "rectangle 56,64 200,120" \
  -fill '#8fe08f' -draw "rectangle 72,80 150,100" \
  -fill '#2f7de1' -draw "rectangle 28,186 228,198" \
  -font "$BOLD" -pointsize 46 -fill white -gravity north -annotate +0+128 'SAVF' \
  "$TMP/application-x-ibmi-savefile.png"

for size in "${SIZES[@]}"; do
  mkdir -p "$OUT/hicolor/${size}x${size}/apps" "$OUT/hicolor/${size}x${size}/mimetypes"
  convert "$TMP/quellon.png" -filter Lanczos -resize ${size}x${size} -strip \
    "PNG32:$OUT/hicolor/${size}x${size}/apps/quellon.png"
  for t in application-x-quellon-archive application-x-ibmi-savefile; do
    convert "$TMP/$t.png" -filter Lanczos -resize ${size}x${size} -strip \
      "PNG32:$OUT/hicolor/${size}x${size}/mimetypes/$t.png"
  done
done
