#!/bin/bash
# Runs the Windows build of the conformance suite against the real
# mscapi.dll under Wine, in a fresh Wine prefix of its own.
# Usage: run-conformance.sh WINE CONFORMANCE_EXE MSCAPI_DLL CROSSCHECK_FILE [gtest arguments...]
# CROSSCHECK_FILE holds what the emulation gave for one key and certificate;
# the suite replays the same inputs against the DLL and compares.
set -u
wine=$1 exe=$2 dll=$3 crosscheck=$4
shift 4
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
if [ -s "$crosscheck" ]; then
  cp "$crosscheck" "$work/crosscheck.txt"
  export MSCAPI_CROSSCHECK=crosscheck.txt MSCAPI_CROSSCHECK_MODE=replay
fi
cd "$work" || exit 1
"$wine" "$(basename "$exe")" "$@" >"$work/out.txt" 2>&1
rc=$?
# Wine's console ends lines with CR.
tr -d '\r' <"$work/out.txt"
exit $rc
