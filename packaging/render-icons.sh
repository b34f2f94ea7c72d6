#!/usr/bin/env bash
# Renders the icon's PNG sizes from org.example.Flintor.svg (needs rsvg-convert
# from librsvg2-bin). Run after changing the SVG and commit the PNGs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for size in 16 32 48 64 128 256; do
  mkdir -p "$here/icons/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" "$here/org.example.Flintor.svg" \
    -o "$here/icons/${size}x${size}/org.example.Flintor.png"
done
