#!/bin/sh
# Runs the C example host on a bundle and checks it wrote one PNG per frame.
# usage: example_paste_solid.sh PASTE_SOLID BUNDLE OUT_DIR
set -e
rm -rf "$3"
mkdir -p "$3"
"$1" "$2" "$3"
test -s "$3/frame_0011.png"
test ! -e "$3/frame_0012.png"
