#!/usr/bin/env bash
# Rebuilds the default poster QuellonPoster.bmp (ImageMagick).
set -euo pipefail
cd "$(dirname "$0")"
convert -size 560x220 gradient:'#003c78-#0a78c8' \
  -fill white -font DejaVu-Sans-Bold -pointsize 64 -gravity center -annotate +0-30 'Quellon' \
  -font DejaVu-Sans -pointsize 20 -annotate +0+36 'The zip utility for IBMi, iSeries and AS/400' \
  -fill '#ffc800' -draw 'rectangle 150,170 410,176' \
  -type TrueColor BMP3:QuellonPoster.bmp
