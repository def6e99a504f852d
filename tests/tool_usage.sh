#!/bin/sh
# The tools' command lines: a usage error prints the usage on stderr alone and
# exits 2; --help prints it on stdout alone and exits 0.
# usage: tool_usage.sh TOOL...
set -u
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

expect() { # status stream-with-usage command...
  want=$1 stream=$2
  shift 2
  "$@" >"$tmp/out" 2>"$tmp/err"
  got=$?
  quiet=err
  [ "$stream" = err ] && quiet=out
  if [ "$got" -ne "$want" ] || ! grep -q '^usage: ' "$tmp/$stream" || [ -s "$tmp/$quiet" ]; then
    echo "FAIL: '$*' exited $got (want $want, usage on std$stream only)"
    sed 's/^/  stdout: /' "$tmp/out"
    sed 's/^/  stderr: /' "$tmp/err"
    failed=1
  fi
}

for tool in "$@"; do
  expect 0 out "$tool" --help
  expect 0 out "$tool" -h
  expect 2 err "$tool" --no-such-option
  case ${tool##*/} in
    le-render)
      expect 2 err "$tool"
      expect 2 err "$tool" bundle
      expect 2 err "$tool" bundle --idle a.mp4 --png dir
      expect 2 err "$tool" bundle --idle
      expect 2 err "$tool" bundle --out a.mp4
      expect 2 err "$tool" bundle --audio a.wav
      expect 2 err "$tool" bundle --idle a.mp4 --audio a.wav
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --text hello
      expect 2 err "$tool" bundle --out a.mp4 --text ""
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --family fca
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --stream --realtime
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --stream --family motion
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --borrow --no-borrow
      expect 2 err "$tool" bundle --out a.mp4 --audio a.wav --stream --borrow
      expect 2 err "$tool" bundle --idle a.mp4 --no-borrow ;;
    le-bundle)
      expect 2 err "$tool"
      expect 2 err "$tool" no-such-command
      expect 2 err "$tool" pack only-one-argument
      expect 0 out "$tool" check --help ;;
    le-info)
      expect 2 err "$tool" extra ;;
    le-keypoints)
      expect 2 err "$tool"
      expect 2 err "$tool" bundle --audio a.wav
      expect 2 err "$tool" bundle --audio a.wav --out kp.f32 --family other
      expect 2 err "$tool" bundle --audio a.wav --out kp.f32 --push-ms 0 ;;
    le-peers)
      expect 2 err "$tool" no-such-comparison ;;
  esac
done
exit $failed
