#!/usr/bin/env bash
# Draws the launcher's artwork: one 1920x1080 picture per console (a console body, a pad
# and the console's name) and the 1024x1024 application icon. Needs ImageMagick and the
# DejaVu fonts (Debian: imagemagick fonts-dejavu-core). Run from anywhere; writes beside itself.
set -euo pipefail
cd "$(dirname "$0")"
convert=/usr/bin/convert   # the real ImageMagick, not a wrapper earlier on PATH
font=DejaVu-Sans-Bold

# picture FILE NAME BACKGROUND BODY ACCENT BUTTON
picture() {
  local file=$1 name=$2 bg=$3 body=$4 accent=$5 button=$6
  "$convert" -size 1920x1080 "xc:$bg" \
    -fill "$body" -stroke '#202020' -strokewidth 8 \
      -draw "roundrectangle 260,300 1180,760 40,40" \
    -fill "$accent" -stroke none -draw "rectangle 300,560 1140,620" \
    -fill '#303030' -draw "roundrectangle 420,340 1020,440 16,16" \
    -fill "$button" -draw "circle 1060,690 1060,720" \
    -fill "$body" -stroke '#202020' -strokewidth 8 \
      -draw "roundrectangle 1320,520 1700,760 60,60" \
    -fill '#303030' -stroke none \
      -draw "rectangle 1370,620 1470,660" -draw "rectangle 1400,590 1440,690" \
    -fill "$button" -draw "circle 1580,610 1580,640" -draw "circle 1630,670 1630,700" \
    -font "$font" -pointsize 150 -fill '#f4f4f4' -stroke '#202020' -strokewidth 4 \
      -gravity north -annotate +0+70 "$name" \
    -depth 8 -strip -define png:compression-level=9 "$file"
}

picture sms.png     "Master System" '#1d4e89' '#1a1a1a' '#c8102e' '#c8102e'
picture genesis.png "Mega Drive"    '#2b2b52' '#111111' '#d4af37' '#d01f3c'
picture nes.png     "NES"           '#7a1e1e' '#c9c9c9' '#3a3a3a' '#d01010'
picture snes.png    "SNES"          '#3c2a6e' '#d8d8e0' '#8d7ec0' '#5d4bb0'

# The icon must still read at tray size: a bold pad on a round badge.
"$convert" -size 1024x1024 xc:none \
  -fill '#e8a317' -stroke '#3a2600' -strokewidth 24 -draw "circle 512,512 512,40" \
  -fill '#222222' -stroke none -draw "roundrectangle 170,350 854,700 170,170" \
  -fill '#f4f4f4' -draw "rectangle 270,490 430,550" -draw "rectangle 320,440 380,600" \
  -fill '#d01f3c' -draw "circle 660,480 660,530" -draw "circle 750,570 750,620" \
  -depth 8 -strip -define png:compression-level=9 icon-app.png
