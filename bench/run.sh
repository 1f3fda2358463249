#!/bin/sh
# Runs every benchmark built into BUILD/bench (executables named *_bench),
# each in its own fresh temporary MSCAPI_HOME, and ends with one table of
# every ratio they reported. A benchmark reports a ratio as a line
#   RATIO <name> <value> <op> <target> [<note>]
# with <op> "<=" or ">=" (bench/README.md). Usage: bench/run.sh [BUILD]
# Exits non-zero when a benchmark failed; a target that is missed is shown
# in the table, not turned into a failure. The table, with the date, the
# commit and the machine's state, is also written to bench/results.md (or
# to $MSCAPI_BENCH_RESULTS): the figures of the last run, kept in the tree.
set -u
build=${1:-build}
source=$(cd "$(dirname "$0")/.." && pwd)
results=${MSCAPI_BENCH_RESULTS:-$source/bench/results.md}
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
failed=""
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
    failed="$failed $name"
    status=1
  fi
  grep '^RATIO ' "$out" | sed "s/^RATIO /$name /" >>"$ratios"
  rm -f "$out"
  rm -rf "$home"
done

load_end=$(cut -d' ' -f1-3 /proc/loadavg)
table=$(awk '
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
' "$ratios")
echo
echo "== Ratios (load average now: $load_end)"
echo "$table"

commit=$(git -C "$source" rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -n "$(git -C "$source" status --porcelain --untracked-files=no 2>/dev/null)" ] &&
  commit="$commit (with uncommitted changes)"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
  echo "# Benchmark results"
  echo
  echo "Written by \`make bench\` (bench/run.sh); each run replaces this file."
  echo "What each measure is and how it is taken: [README.md](README.md)."
  echo
  echo "- started: $started; commit $commit"
  echo "- machine: $(nproc) cores ($cpu), $(uname -sr)"
  echo "- load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
  echo "- $(java -version 2>&1 | head -n 1)"
  [ -n "$failed" ] && echo "- failed:$failed"
  echo
  echo '```'
  echo "$table"
  echo '```'
} >"$results" && echo "Results written to $results"
exit $status
