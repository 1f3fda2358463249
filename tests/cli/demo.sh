#!/bin/sh
# The README's main command: the demo runs every step and exits 0, in a
# temporary home of its own (the caller's MSCAPI_HOME, here an empty folder,
# stays empty).
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
export MSCAPI_HOME="$home/caller"
mkdir "$MSCAPI_HOME" || fail "mkdir"
"$launcher" demo; rc=$?
[ "$rc" -eq 0 ] || fail "demo exited with $rc"
[ -z "$(ls -A "$MSCAPI_HOME")" ] || fail "the demo wrote into the caller's MSCAPI_HOME"
echo "demo checks held"
