#!/bin/sh
# build/mscapi random 32 prints 64 hex digits, different on each run; a bad
# length is a usage error (2).
set -u
launcher=$1
home=$(mktemp -d) && trap 'rm -rf "$home"' EXIT
export MSCAPI_HOME="$home"
export MSCAPI_JAVA_OPTS="-Xcheck:jni"
# No PKCS#11 module of the machine in this home.
"$(dirname "$0")/../tokens/token-home.sh" "$(dirname "$launcher")" "$MSCAPI_HOME" none || exit 1
a=$("$launcher" random 32) || { echo "random failed"; exit 1; }
b=$("$launcher" random 32) || { echo "random failed"; exit 1; }
echo "$a" | grep -Eq '^[0-9a-f]{64}$' || { echo "not 64 hex digits: $a"; exit 1; }
[ "$a" != "$b" ] || { echo "two runs gave the same bytes"; exit 1; }
"$launcher" random lots >/dev/null 2>&1; rc=$?
[ "$rc" -eq 2 ] || { echo "bad length gave exit code $rc, expected 2"; exit 1; }
"$launcher" random 4 --provider "No Such Provider" >/dev/null 2>"$home/err"; rc=$?
[ "$rc" -eq 1 ] || { echo "unknown provider gave exit code $rc, expected 1"; exit 1; }
grep -q "Failed to open provider key in registry!" "$home/err" || { echo "message missing"; exit 1; }
echo "launcher checks held"
