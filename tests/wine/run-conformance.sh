#!/bin/bash
# Runs the Windows build of the conformance suite against the real
# mscapi.dll under Wine, in a fresh Wine prefix of its own.
# Usage: run-conformance.sh WINE CONFORMANCE_EXE MSCAPI_DLL [gtest arguments...]
set -u
wine=$1 exe=$2 dll=$3
shift 3
work=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-wine-XXXXXX") || exit 1
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
"$(dirname "$wine")/wineboot" -i >/dev/null 2>&1
wineserver -w
cp "$exe" "$dll" "$work/"
cd "$work" || exit 1
"$wine" "$(basename "$exe")" "$@" >"$work/out.txt" 2>&1
rc=$?
# Wine's console ends lines with CR.
tr -d '\r' <"$work/out.txt"
exit $rc
