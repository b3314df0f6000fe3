#!/bin/sh
# Renders the desktop's PNG icons from flashupdate-icon.svg, one per size that the hicolor theme
# is given. Run it after changing the drawing and commit the PNGs: the build installs them as they
# are, so building needs no renderer. rsvg-convert is in Debian's librsvg2-bin.
set -eu
cd "$(dirname "$0")"
for size in 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "flashupdate-icon-$size.png" flashupdate-icon.svg
done
