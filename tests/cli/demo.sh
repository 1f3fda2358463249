#!/bin/sh
# The README's main command: the demo runs every step and exits 0, in a
# temporary home of its own (the caller's MSCAPI_HOME stays untouched).
set -u
launcher=$1
home=$(mktemp -d) && trap 'rm -rf "$home"' EXIT
export MSCAPI_HOME="$home"
export MSCAPI_JAVA_OPTS="-Xcheck:jni"
"$launcher" demo; rc=$?
[ "$rc" -eq 0 ] || { echo "demo exited with $rc"; exit 1; }
[ -z "$(ls -A "$home")" ] || { echo "the demo wrote into the caller's MSCAPI_HOME"; exit 1; }
echo "demo checks held"
