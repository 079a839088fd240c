#!/usr/bin/env bash
# Renders the small icon sizes from the scalable icon into app/share/icons/,
# where they are kept: desktops pick these sizes for menus and panels. Run it
# after a change to app/share/vostel.svg (needs rsvg-convert, from Debian's
# librsvg2-bin). The larger sizes are painted at build time by vostel-icon.
set -euo pipefail
share=$(cd "$(dirname "$0")/../app/share" && pwd)
for size in 16 22 24; do
  mkdir -p "$share/icons/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" "$share/vostel.svg" -o "$share/icons/${size}x${size}/vostel.png"
done
