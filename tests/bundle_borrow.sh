#!/bin/sh
# le-bundle on the mouth borrow: info lists the four members and the bank's
# facts, check decodes the bank and builds the pass, and refuses a bundle
# that carries only some of the members or a sidecar the track disagrees with.
# usage: bundle_borrow.sh LE_BUNDLE FIXTURE_DIR WORK_DIR
set -u
tool=$1 fixtures=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
# name expected-status expected-text (grep -F) command...
expect() {
  name=$1 status=$2 text=$3
  shift 3
  "$@" >"$work/$name.out" 2>"$work/$name.err"
  got=$?
  [ "$got" = "$status" ] || fail "$name: exit $got, want $status"
  cat "$work/$name.out" "$work/$name.err" | grep -qF -- "$text" || {
    fail "$name: no '$text' in"
    sed 's/^/  /' "$work/$name.out" "$work/$name.err"
  }
}

expect info 0 "mouth borrow: 4 of 4 members" "$tool" info "$fixtures/tiny_bank"
expect info_donors 0 "donors         12," "$tool" info "$fixtures/tiny_bank"
expect check 0 "mouth borrow of 12 donors" "$tool" check "$fixtures/tiny_bank"
expect check_none 0 "no mouth borrow" "$tool" check "$fixtures/tiny"

cp -r "$fixtures/tiny_bank" "$work/partial"
rm "$work/partial/tessera_head.v1.json"
expect partial 1 "missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4" \
  "$tool" check "$work/partial"

# One donor fewer in the sidecar than frames in the track.
cp -r "$fixtures/tiny_bank" "$work/extra_frame"
/usr/bin/python3 - "$work/extra_frame/tessera_bank.v1.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
n = doc["n_donors"] - 1
doc["n_donors"] = n
doc["track_order"] = list(range(n))
doc["cent"] = doc["cent"][:n]
doc["aperture"] = doc["aperture"][:n]
json.dump(doc, open(sys.argv[1], "w"))
PY
expect extra_frame 1 "bank track carries more frames than the sidecar's n_donors" "$tool" check "$work/extra_frame"

exit $failed
