#!/bin/sh
# le-render's main job on a tiny bundle, checked with FFmpeg's own probe and
# decode: one H.264 and one AAC stream whose durations agree within a frame,
# as many video frames as the tool reported, the colours of the tool's own
# PNG frames, and the speech heard from the frame the tool says it began at; the mouth borrow on by default where the
# bundle carries it. Bad input fails with one line and leaves nothing under
# the output name, nor a temporary file beside it.
# usage: render_speech.sh LE_RENDER FIXTURE_DIR WORK_DIR
set -u
render=$1 fixtures=$2 work=$3
bundle=$fixtures/tiny_jpg speech=$fixtures/speech_3s.wav
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
# |a - b| <= tolerance
near() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { d = a - b; exit !(d <= t && -d <= t) }'; }
# Seconds of silence at the start of a file's audio.
onset() {
  ffmpeg -nostats -i "$1" -map 0:a -af silencedetect=noise=-40dB:d=0.1 -f null - 2>&1 |
    sed -n 's/.*silence_end: \([0-9.]*\).*/\1/p' | head -n 1
}
stream_entry() { ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of csv=p=0 "$1"; }

# name reference-audio le-render-options... (reference: the speech as the
# tool reads it, whose leading silence places it in the video; - for none)
render_ok() {
  name=$1 reference=$2
  shift 2
  out=$work/$name.mp4
  if ! "$render" "$bundle" "$@" --out "$out" 2>"$work/$name.err"; then
    fail "$name: le-render $* exited non-zero"
    sed 's/^/  /' "$work/$name.err"
    return
  fi
  summary=$(grep '^le-render: [0-9]* frames' "$work/$name.err")
  frames=$(echo "$summary" | sed -n 's/^le-render: \([0-9]*\) frames.*/\1/p')
  start=$(echo "$summary" | sed -n 's/.*speech from frame \([0-9]*\).*/\1/p')
  if [ -z "$frames" ] || [ -z "$start" ]; then
    fail "$name: no summary line: $summary"
    return
  fi
  streams=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | tr '\n' ' ')
  [ "$streams" = "h264 aac " ] || fail "$name: streams '$streams', want one h264 and one aac"
  decoded=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out")
  [ "$decoded" = "$frames" ] || fail "$name: $decoded video frames decoded, the tool reported $frames"
  video=$(stream_entry "$out" v:0 duration) audio=$(stream_entry "$out" a:0 duration)
  near "$video" "$audio" 0.04 || fail "$name: video lasts $video s, audio $audio s"
  near "$video" "$(echo "$frames" | awk '{ print $1 / 25 }')" 0.001 || fail "$name: $frames frames last $video s"
  [ "$reference" = - ] && return
  heard=$(onset "$out") spoken=$(onset "$reference")
  near "$heard" "$(echo "$start $spoken" | awk '{ print $1 / 25 + $2 }')" 0.01 ||
    fail "$name: speech heard at $heard s; it begins $spoken s into the speech, which starts at frame $start"
}

render_ok utterance "$speech" --audio "$speech"
# Frame 0 of the mp4s (converted from RGB, and from RGBA for --idle) against
# the same idle frame as a PNG, per plane: a swapped channel or a wrong range
# costs U and V far more than the encoder's loss does.
"$render" "$bundle" --png "$work/png" 2>/dev/null || fail "png: le-render --png exited non-zero"
"$render" "$bundle" --idle "$work/idle.mp4" 2>/dev/null || fail "idle: le-render --idle exited non-zero"
for name in utterance idle; do
  set -- $(ffmpeg -nostats -i "$work/$name.mp4" -i "$work/png/frame_000000.png" \
    -lavfi "[0:v]trim=end_frame=1[a];[a][1:v]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR y:\([0-9.]*\) u:\([0-9.]*\) v:\([0-9.]*\).*/\1 \2 \3/p')
  [ $# -eq 3 ] && awk -v y="$1" -v u="$2" -v v="$3" 'BEGIN { exit !(y >= 35 && u >= 40 && v >= 40) }' ||
    fail "$name: frame 0 against the PNG: PSNR y/u/v ${1:-?} ${2:-?} ${3:-?} dB, want 35/40/40"
done
render_ok realtime "$speech" --audio "$speech" --realtime
render_ok motion "$speech" --audio "$speech" --family motion
render_ok stream "$speech" --audio "$speech" --stream
# The mouth borrow: on by default with a bundle that carries its members,
# summed up in one line; off with --no-borrow.
bundle=$fixtures/tiny_bank
render_ok borrow "$speech" --audio "$speech"
grep -q '^le-render: borrow: [1-9][0-9]* frames composited, 0 passed through' "$work/borrow.err" ||
  fail "borrow: no summary of composited frames: $(grep '^le-render: borrow' "$work/borrow.err")"
render_ok no_borrow - --audio "$speech" --no-borrow
grep -q '^le-render: borrow' "$work/no_borrow.err" && fail "no_borrow: the borrow was attached"
bundle=$fixtures/tiny_jpg
# The text spoken by the espeak-ng program pauses where the video's speech
# does (its first pause, between "Hello" and "there").
text="Hello there, this is a test."
render_ok text - --text "$text" --stream
espeak-ng -v en -s 150 -w "$work/text.wav" "$text"
first_pause() {
  ffmpeg -nostats -i "$1" -map 0:a -af silencedetect=noise=-50dB:d=0.05 -f null - 2>&1 |
    sed -n 's/.*silence_\(start\|end\): \([0-9.]*\).*/\2/p' | head -n 2 | tr '\n' ' '
}
set -- $(first_pause "$work/text.mp4") $(first_pause "$work/text.wav")
[ $# -eq 4 ] && near "$1" "$3" 0.01 && near "$2" "$4" 0.01 ||
  fail "text: first pause $1 s to $2 s, the espeak-ng program's $3 s to $4 s"

# name le-render-options... (each run in a directory of its own)
render_fails() {
  name=$1
  shift
  dir=$work/$name
  mkdir -p "$dir"
  "$render" "$bundle" "$@" >"$dir.out" 2>"$dir.err"
  got=$?
  [ "$got" -eq 1 ] || fail "$name: exited $got, want 1"
  # (the engine's own diagnostics may come before it, and a leak checker's
  # summary of its suppressions after it)
  sed -i '/^-----*$/,$d' "$dir.err"
  [ "$(grep -c '^le-render: ' "$dir.err")" -eq 1 ] && tail -n 1 "$dir.err" | grep -q '^le-render: ' || {
    fail "$name: want one 'le-render: ' line, last on stderr"
    sed 's/^/  /' "$dir.err"
  }
  [ -f "$dir/x.mp4" ] && fail "$name: left $dir/x.mp4"
  leftover=$(find "$dir" -mindepth 1 ! -path "$dir/x.mp4")
  [ -z "$leftover" ] || fail "$name: left $leftover"
}

render_fails missing_audio --audio "$work/no-such.wav" --out "$work/missing_audio/x.mp4"
render_fails not_audio --audio "$bundle/manifest.json" --out "$work/not_audio/x.mp4"
render_fails video_only --audio "$fixtures/tiny_mp4/target_frames.mp4" --out "$work/video_only/x.mp4" --stream
render_fails no_model --audio "$speech" --motion "$work/no_model" --out "$work/no_model/x.mp4"
render_fails borrow_members --audio "$speech" --borrow --out "$work/borrow_members/x.mp4"
grep -q '^le-render: missing teeth member(s): bank_track' "$work/borrow_members.err" ||
  fail "borrow_members: not the members' refusal: $(tail -n 1 "$work/borrow_members.err")"
# The whole video is written before the rename to a directory fails.
mkdir -p "$work/into_dir/x.mp4"
render_fails into_dir --audio "$speech" --stream --out "$work/into_dir/x.mp4"
exit $failed
