#!/usr/bin/env bash
# Draws the wizard's pictures with ImageMagick: the splash beside the start
# pages, the save and restore stamps and the default poster. The results are
# committed; run this only to change them.
#   data/make-pictures.sh [output folder]   (default: the folder of this script)
set -euo pipefail
OUT=${1:-$(cd "$(dirname "$0")" && pwd)}
FONT=DejaVu-Sans
BOLD=DejaVu-Sans-Bold

# A stylised AS/400 tower: front, lit top and dark side, operator panel with
# its display and power light, drive bays and the blue accent stripe.
# tower X Y W H
tower() {
  local x=$1 y=$2 w=$3 h=$4
  local d=$((w / 4)) r=$((x + w)) b=$((y + h))
  echo "fill #0c0d10 polygon $r,$y $((r + d)),$((y - d / 2)) $((r + d)),$((b - d / 2)) $r,$b"
  echo "fill #4a4e58 polygon $x,$y $((x + d)),$((y - d / 2)) $((r + d)),$((y - d / 2)) $r,$y"
  echo "fill #1b1d22 rectangle $x,$y $r,$b"
  echo "fill #2b2f37 rectangle $((x + w / 8)),$((y + h / 14)) $((r - w / 8)),$((y + h / 4))"
  echo "fill #8fe08f rectangle $((x + w / 5)),$((y + h / 10)) $((x + w / 2)),$((y + h / 10 + h / 22))"
  echo "fill #43ff6a circle $((r - w / 4)),$((y + h / 8)) $((r - w / 4 + w / 22 + 1)),$((y + h / 8))"
  local i by
  for i in 0 1 2 3 4; do
    by=$((y + h * 3 / 10 + i * h / 10))
    echo "fill #30343d rectangle $((x + w / 8)),$by $((r - w / 8)),$((by + h / 16))"
    echo "fill #5b606b rectangle $((r - w / 4)),$((by + h / 48)) $((r - w / 6)),$((by + h / 32))"
  done
  echo "fill #2f7de1 rectangle $((x + w / 8)),$((b - h / 10)) $((r - w / 8)),$((b - h / 10 + 3))"
}

# A zipped archive: a folder-like case with a zipper down its face.
# archive X Y W H
archive() {
  local x=$1 y=$2 w=$3 h=$4
  local r=$((x + w)) b=$((y + h)) mid=$((x + w / 2)) i
  echo "fill #f2c14e stroke #8a6414 stroke-width 1 roundrectangle $x,$y $r,$b 4,4"
  echo "fill #f7d57e stroke none rectangle $((x + 2)),$((y + 2)) $((r - 2)),$((y + h / 6))"
  for ((i = y + 4; i < b - 8; i += 6)); do
    echo "fill #5a5a5a rectangle $((mid - 4)),$i $((mid - 1)),$((i + 2))"
    echo "fill #5a5a5a rectangle $((mid + 1)),$((i + 3)) $((mid + 4)),$((i + 5))"
  done
  local t=$((w / 14 + 1))
  echo "fill #9a9a9a stroke #4a4a4a roundrectangle $((mid - t)),$((b - 2 * t - 6)) $((mid + t)),$((b - 4)) 2,2"
}

# The splash beside the start pages: night-blue gradient, tower, archive,
# product name.
convert -size 164x330 gradient:'#0b2a5b'-'#1f8ac0' \
  -fill '#ffffff18' -draw "circle 150,40 150,150" \
  -fill '#ffffff10' -draw "circle 20,300 20,380" \
  -stroke none -draw "$(tower 30 92 70 150)" \
  -draw "$(archive 96 200 48 60)" \
  -fill '#ffffffcc' -stroke none -draw "polygon 104,150 128,150 128,136 150,160 128,184 128,170 104,170" \
  -font "$BOLD" -pointsize 28 -fill white -annotate +18+50 'Quellon' \
  -font "$FONT" -pointsize 10 -fill '#d8ecff' -annotate +20+68 'for iSeries and AS/400' \
  -font "$FONT" -pointsize 9 -fill '#cfe6ff' -annotate +20+300 'Save - Zip - Restore' \
  -fill '#ffffff' -draw "rectangle 20,308 144,309" \
  -type TrueColor "BMP3:$OUT/QuellonSplash.bmp"

# Stamps at the top right: an arrow into the archive (save) and out of it
# (restore).
stamp() {
  local file=$1 arrow=$2 tint=$3
  convert -size 48x48 xc:white \
    -draw "$(archive 8 17 32 28)" \
    -fill "$tint" -stroke '#ffffff' -strokewidth 1 -draw "$arrow" \
    -type TrueColor "BMP3:$OUT/$file"
}
stamp ZipStamp.bmp "polygon 20,2 28,2 28,12 34,12 24,22 14,12 20,12" '#1b6fd1'
stamp UnZipStamp.bmp "polygon 24,2 34,12 28,12 28,22 20,22 20,12 14,12" '#1a9a48'

# The default poster on the last page: banner with the product's motif.
convert -size 576x236 gradient:'#0b2a5b'-'#2aa0d4' -rotate -90 -resize '576x236!' \
  -fill '#ffffff14' -draw "circle 520,30 520,200" \
  -fill '#ffffff0c' -draw "circle 60,230 60,330" \
  -stroke none -draw "$(tower 44 60 72 150)" \
  -draw "$(archive 178 118 56 70)" \
  -fill '#ffffffd0' -draw "polygon 130,140 150,140 150,126 172,150 150,174 150,160 130,160" \
  -font "$BOLD" -pointsize 46 -fill white -annotate +262+104 'Quellon' \
  -font "$FONT" -pointsize 14 -fill '#e2f1ff' -annotate +266+132 'iSeries and AS/400 libraries,' \
  -annotate +266+152 'saved, zipped and restored from your PC.' \
  -fill '#ffffff' -draw "rectangle 266,166 540,167" \
  -font "$FONT" -pointsize 12 -fill '#cfe6ff' -annotate +266+190 'www.quellon.com' \
  -type TrueColor "BMP3:$OUT/QuellonPoster.bmp"

echo "pictures written to $OUT"
