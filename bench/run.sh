#!/bin/sh
# Runs every benchmark built into BUILD/bench (executables named *_bench),
# each in its own fresh temporary MSCAPI_HOME, and ends with one table of
# every ratio they reported. A benchmark reports a ratio as a line
#   RATIO <name> <value> <op> <target> [<note>]
# with <op> "<=" or ">=" (bench/README.md). Usage: bench/run.sh [BUILD]
# Exits non-zero when a benchmark failed; a target that is missed is shown
# in the table, not turned into a failure.
set -u
build=${1:-build}
status=0
ratios=$(mktemp "${TMPDIR:-/tmp}/mscapi-bench-ratios-XXXXXX") || exit 1
trap 'rm -f "$ratios"' EXIT
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  home=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-bench-XXXXXX") || exit 1
  echo "== $name"
  out=$(mktemp "${TMPDIR:-/tmp}/mscapi-bench-out-XXXXXX") || exit 1
  # Without the default registration's PKCS#11 provider (p11-kit's proxy):
  # no measure depends on the machine's own modules and tokens.
  # tokens_bench and tokenload_bench make their own token home.
  if [ "$name" != tokens_bench ] && [ "$name" != tokenload_bench ]; then
    "$(dirname "$0")/../tests/tokens/token-home.sh" "$build" "$home" none >/dev/null || status=1
  fi
  MSCAPI_HOME="$home" "$b" >"$out"
  rc=$?
  cat "$out"
  if [ "$rc" -ne 0 ]; then
    echo "$name failed (exit $rc)"
    status=1
  fi
  grep '^RATIO ' "$out" | sed "s/^RATIO /$name /" >>"$ratios"
  rm -f "$out"
  rm -rf "$home"
done

echo
echo "== Ratios (load average now: $(cut -d' ' -f1-3 /proc/loadavg))"
awk '
  BEGIN {
    printf "%-14s %-28s %10s  %-10s %-5s %s\n", "program", "measure", "value", "target", "held", "how"
  }
  {
    note = ""
    for (i = 6; i <= NF; i++) note = note (i > 6 ? " " : "") $i
    held = ($4 == "<=") ? ($3 + 0 <= $5 + 0) : ($4 == ">=") ? ($3 + 0 >= $5 + 0) : 0
    printf "%-14s %-28s %10s  %-2s %-7s %-5s %s\n", $1, $2, $3, $4, $5, held ? "yes" : "NO", note
    n++; if (held) h++
  }
  END { printf "%d of %d targets held\n", h, n }
' "$ratios"
exit $status
