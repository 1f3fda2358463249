#!/bin/bash
# run-conformance.sh skips (exit 77, "SKIP: ..." and the kernel's words)
# exactly when the kernel refuses to execute the Wine loader, and fails as
# before when the loader runs and fails. The refused loader is an ELF file
# for no machine, which every kernel refuses with ENOEXEC, as one without
# i386 support refuses `wine`.
set -u
run=$(dirname "$0")/run-conformance.sh
dir=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-wine-skip-XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/refused" "$dir/failing"
{ printf '\177ELF\001\001\001'; head -c 100 /dev/zero; } >"$dir/refused/wine"
printf '#!/bin/sh\necho "wine-8.0"\nexit 3\n' >"$dir/failing/wine"
printf '#!/bin/sh\nexit 0\n' >"$dir/failing/wineserver"
cp "$dir/failing/wineserver" "$dir/refused/wineserver"
chmod +x "$dir"/*/*
touch "$dir/conformance.exe" "$dir/mscapi.dll"
status=0
# case | loader | expected exit status | expected first line
while IFS='|' read -r name loader want line; do
  out=$(bash "$run" "$dir/$loader/wine" "$dir/conformance.exe" "$dir/mscapi.dll" /nonexistent 2>&1)
  rc=$?
  first=$(printf '%s\n' "$out" | head -n 1)
  if [ "$rc" != "$want" ] || ! printf '%s' "$first" | grep -q -- "$line"; then
    echo "FAIL $name: exit $rc (want $want), output: $out"
    status=1
  else
    echo "ok   $name: exit $rc: $first"
  fi
done <<'CASES'
loader the kernel refuses|refused|77|^SKIP: this kernel cannot execute the Wine loader .*Exec format error
loader that runs and fails|failing|3|
CASES
exit $status
