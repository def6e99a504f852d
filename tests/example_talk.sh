#!/bin/sh
# Runs the real-time C example host on a bundle with a spoken sentence and
# checks that every speech frame came once, in order, and the PNG was written.
# usage: example_talk.sh TALK BUNDLE SPEECH.wav OUT_DIR
set -e
rm -rf "$4"
mkdir -p "$4"
W2V_ONNX="$2/audio_encoder.onnx" "$1" "$2" "$3" "$4/middle.png" > "$4/frames.txt"
test -s "$4/middle.png"
frames=$(wc -l < "$4/frames.txt")
test "$frames" -gt 0
# The frame numbers are 0, 1, 2, ... with nothing missing or repeated.
awk '$5 != NR - 1 { exit 1 }' "$4/frames.txt"
