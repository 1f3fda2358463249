#!/bin/sh
# Makes the seed corpora, then runs each libFuzzer target in turn and prints
# the executions of each and their total. Each target runs until it has made
# a fixed number of executions (so that a busy machine makes the run longer,
# never smaller), within a time cap.
#
# Usage: fuzz/run.sh BUILD_DIR
# Environment: FUZZ_RUNS_<target> (executions, e.g. FUZZ_RUNS_fuzz_jni=100000)
# and FUZZ_TIME_<target> (the cap in seconds) override a target's figures;
# FUZZ_TARGETS lists the targets to run; FUZZ_WORKERS the processes per
# target (default: one per core).
# Exits non-zero when a target finds something; its input is kept in
# BUILD_DIR/fuzz/artifacts/ (never in the source tree).
set -eu

build=${1:?usage: $0 BUILD_DIR}
fuzzdir=$build/fuzz
targets=${FUZZ_TARGETS:-fuzz_cert fuzz_keyblob fuzz_regfile fuzz_jni fuzz_token_import}

# Executions per target (at least a million each, eleven million in all), the time cap, and the longest input
# each is given.
runs_of() {
  eval "r=\${FUZZ_RUNS_$1:-}"
  if [ -n "$r" ]; then echo "$r"; return; fi
  case $1 in
    fuzz_cert) echo 4000000 ;;
    fuzz_keyblob) echo 1500000 ;;
    fuzz_regfile) echo 1500000 ;;
    fuzz_jni) echo 3200000 ;;
    fuzz_token_import) echo 1000000 ;;
  esac
}
time_of() {
  eval "t=\${FUZZ_TIME_$1:-}"
  if [ -n "$t" ]; then echo "$t"; else echo 3600; fi
}
# libFuzzer options of a target: the JNI target's executions are short and
# carry many coverage features, so the entropic schedule's bookkeeping and a
# leak scan after every input that keeps memory (the emulation's caches do)
# would cost more than the calls; LeakSanitizer still checks it at exit.
options_of() {
  case $1 in
    fuzz_jni) echo "-entropic=0 -detect_leaks=0" ;;
    *) echo "" ;;
  esac
}
max_len_of() {
  case $1 in
    fuzz_keyblob) echo 1500 ;;
    fuzz_regfile) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

# A RAM-disk folder for the targets' MSCAPI_HOMEs, removed afterwards.
if [ -w /dev/shm ]; then shm=/dev/shm; else shm=${TMPDIR:-/tmp}; fi
tmp=$(mktemp -d "$shm/mscapi-fuzz-run.XXXXXX")
trap 'rm -rf "$tmp"' EXIT INT TERM
export MSCAPI_FUZZ_TMP=$tmp
# No allocation stacks in ASan reports and OpenSSL's many strcmp calls not
# intercepted: both cost much time per execution. Rerun a finding's input
# with ASAN_OPTIONS= for the full report.
export ASAN_OPTIONS="${ASAN_OPTIONS-malloc_context_size=0:intercept_strcmp=0}"

"$fuzzdir/fuzz_make_seeds" "$fuzzdir/seeds"
mkdir -p "$fuzzdir/artifacts" "$fuzzdir/logs"

# Each target runs as this many processes at once (one per core), sharing
# its corpus folder; its executions are theirs added up.
workers=${FUZZ_WORKERS:-$(nproc)}

total=0
failed=""
summary=""
for t in $targets; do
  secs=$(time_of "$t")
  want=$(runs_of "$t")
  per=$(((want + workers - 1) / workers))
  mkdir -p "$fuzzdir/corpus/$t"
  echo "== $t: $want executions (at most ${secs}s), $workers processes"
  start=$(date +%s)
  pids=""
  w=0
  while [ "$w" -lt "$workers" ]; do
    # shellcheck disable=SC2046 # the options are words
    "$fuzzdir/$t" $(options_of "$t") -runs="$per" -max_total_time="$secs" -print_final_stats=1 -timeout=25 \
      -rss_limit_mb=2048 -max_len="$(max_len_of "$t")" -artifact_prefix="$fuzzdir/artifacts/$t-" \
      "$fuzzdir/corpus/$t" "$fuzzdir/seeds/${t#fuzz_}" >"$fuzzdir/logs/$t.$w.log" 2>&1 &
    pids="$pids $!"
    w=$((w + 1))
  done
  w=0
  runs=0
  rate=0
  for pid in $pids; do
    log=$fuzzdir/logs/$t.$w.log
    status=0
    wait "$pid" || status=$?
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$status" -ne 0 ] || [ -z "$n" ]; then
      failed="$failed $t"
      echo "$t: FOUND SOMETHING (exit $status); log: $log" >&2
      grep -E "ERROR|fuzz check failed|SUMMARY|Test unit written|runtime error" "$log" | head -n 20 >&2 || true
    fi
    runs=$((runs + ${n:-0}))
    rate=$((rate + ${r:-0}))
    w=$((w + 1))
  done
  total=$((total + runs))
  took=$(($(date +%s) - start))
  line=$(printf '%-14s %12s executions %8s exec/s %5ss' "$t" "$runs" "$rate" "$took")
  echo "$line"
  summary="$summary$line
"
done

echo "== fuzz summary"
printf '%s' "$summary"
printf '%-14s %12s executions\n' total "$total"
if [ -n "$failed" ]; then
  echo "findings in:$failed (inputs in $fuzzdir/artifacts/)" >&2
  exit 1
fi
echo "nothing found"
