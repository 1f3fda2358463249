#!/bin/sh
# build/mscapi random 32 prints 64 hex digits, different on each run; a bad
# length is a usage error (2).
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
a=$("$launcher" random 32) || fail "random failed"
b=$("$launcher" random 32) || fail "random failed"
echo "$a" | grep -Eq '^[0-9a-f]{64}$' || fail "not 64 hex digits: $a"
[ "$a" != "$b" ] || fail "two runs gave the same bytes"
expect 2 random lots
expect 1 random 4 --provider "No Such Provider"
has err "Failed to open provider key in registry!"
echo "launcher checks held"
