#!/bin/sh
# Redraws app.ico and splash.ico (48, 32 and 16 pixels, 16 colours each, to keep the launcher
# small) with ImageMagick. Run from anywhere; writes beside this script.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# app: a white arrow pointing down onto a yellow line, on a blue rounded square.
convert -size 48x48 xc:none -fill '#1f5fbf' -draw 'roundrectangle 2,2 45,45 8,8' \
    -fill white -draw 'polygon 24,40 10,23 19,23 19,7 29,7 29,23 38,23' \
    -fill '#ffd24a' -draw 'rectangle 10,41 38,43' "$tmp/app.png"
# splash: an orange ring around an orange dot.
convert -size 48x48 xc:none -fill '#e0662a' -draw 'circle 24,24 24,2' \
    -fill white -draw 'circle 24,24 24,12' -fill '#e0662a' -draw 'circle 24,24 24,18' \
    "$tmp/splash.png"

for name in app splash; do
    # Hard-edged transparency and a 16-colour palette give 4-bit entries with a mask.
    convert "$tmp/$name.png" \
        \( -clone 0 -channel A -threshold 50% +channel -colors 16 \) \
        \( -clone 0 -resize 32x32 -channel A -threshold 50% +channel -colors 16 \) \
        \( -clone 0 -resize 16x16 -channel A -threshold 50% +channel -colors 16 \) \
        -delete 0 "$name.ico"
done
