#!/bin/bash
# Runs the Windows build of the conformance suite against the real
# mscapi.dll under Wine, in a fresh Wine prefix of its own.
# Usage: run-conformance.sh WINE CONFORMANCE_EXE MSCAPI_DLL CROSSCHECK_FILE [gtest arguments...]
# WINE is the loader: `wine` for the 32-bit build, `wine64` (with
# WINEARCH=win64 in the environment: a 64-bit prefix) for the x86_64 one.
# CROSSCHECK_FILE holds what the emulation gave for one key and certificate;
# the suite replays the same inputs against the DLL and compares.
# Exits 77 (ctest's SKIP_RETURN_CODE) when the kernel cannot execute the
# loader: some kernels are built without 32-bit (i386) support, and `wine`
# is an i386 program.
set -u
wine=$1 exe=$2 dll=$3 crosscheck=$4
shift 4
# `--version` runs the loader itself and nothing else.
probe=$("$wine" --version 2>&1)
if [ $? -ne 0 ] && printf '%s' "$probe" | grep -q 'Exec format error'; then
  echo "SKIP: this kernel cannot execute the Wine loader $wine: $probe"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-wine-XXXXXX") || exit 1
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The server that goes with the loader (Debian keeps wine64's out of PATH).
server="$(dirname "$wine")/wineserver"
[ -x "$server" ] || server=wineserver
cleanup() {
  "$server" -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
"$wine" wineboot.exe -i >/dev/null 2>&1
"$server" -w
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
