#!/bin/sh
# Runs every benchmark built into BUILD/bench (executables named *_bench),
# each in its own fresh temporary MSCAPI_HOME. Usage: bench/run.sh [BUILD]
set -u
build=${1:-build}
status=0
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  home=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-bench-XXXXXX") || exit 1
  echo "== $(basename "$b")"
  MSCAPI_HOME="$home" "$b" || status=1
  rm -rf "$home"
done
exit $status
