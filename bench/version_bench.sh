#!/bin/bash
# Start-up of the command-line tool: `mscapi version` through the installed
# launcher (make install into a temporary prefix, class-data archive made by
# a first run into a temporary cache), against a bare `java -version` and
# `keytool -help` of the same JDK, run side by side: 21 rounds, each running
# the three once in turn; medians of wall-clock time. Prints RATIO lines
# (bench/README.md). Usage: version_bench.sh [BUILD]  (run.sh gives
# MSCAPI_HOME).
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$(dirname "$here")}
rounds=${VERSION_BENCH_ROUNDS:-21}
work=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-version-bench-XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null || { echo "make install failed"; exit 1; }
export XDG_CACHE_HOME="$work/cache"
if [ -z "${JAVA_HOME:-}" ]; then
  JAVA_HOME=$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")
fi
export JAVA_HOME
mscapi=$work/prefix/bin/mscapi
echo "JDK: $JAVA_HOME; launcher: $mscapi; load average $(cut -d' ' -f1-3 /proc/loadavg)"
# The first run makes the archive; the second checks it is quiet.
"$mscapi" version >/dev/null 2>&1 || { echo "mscapi version failed"; exit 1; }
out=$("$mscapi" version 2>&1)
case $out in
  "mscapi "*) ;;
  *) echo "unexpected output: $out"; exit 1 ;;
esac

# The floor under any tool of this kind: a jar of one class whose main only
# loads the installed library, with its own class-data archive, started as
# the launcher starts the tool. What `mscapi version` costs above it is the
# tool's own work; what the floor costs above `java -version` is the JVM
# opening a jar and loading the library (with OpenSSL and SQLite).
mkdir -p "$work/floorjar" || exit 1
cat >"$work/floorjar/Floor.java" <<'JAVA'
public class Floor {
    public static void main(String[] args) {
        System.load(args[0]);
        Runtime.getRuntime().halt(0);
    }
}
JAVA
printf 'Main-Class: Floor\n' >"$work/floorjar/manifest"
"$JAVA_HOME/bin/javac" -d "$work/floorjar" "$work/floorjar/Floor.java" &&
  "$JAVA_HOME/bin/jar" cfm "$work/floorjar/floor.jar" "$work/floorjar/manifest" -C "$work/floorjar" Floor.class ||
  { echo "cannot build the floor's jar"; exit 1; }
library=$(readlink -f "$work/prefix/lib/mscapi/libmscapi.so")
floor=("$JAVA_HOME/bin/java" -XX:-UsePerfData -XX:SharedArchiveFile="$work/floorjar/floor.jsa" -Xlog:cds=off
  -Xlog:cds+dynamic=off -jar "$work/floorjar/floor.jar" "$library")
"$JAVA_HOME/bin/java" -XX:ArchiveClassesAtExit="$work/floorjar/floor.jsa" -jar "$work/floorjar/floor.jar" "$library" \
  >/dev/null 2>&1 || { echo "the floor's jar does not run"; exit 1; }

# The CPU time (user + system) of this shell's finished children so far, in
# milliseconds, into the variable cpu: the builtin `times`, run in this shell
# (a subshell would count its own children), no helper process.
child_cpu() {
  local line u s
  times >"$work/times"
  { read -r line; read -r u s; } <"$work/times"
  u=${u%s} s=${s%s}
  u=${u/./} s=${s/./}
  cpu=$(( ${u%%m*} * 60000 + 10#${u#*m} + ${s%%m*} * 60000 + 10#${s#*m} ))
}
# run NAME CMD...: appends the run's wall time in microseconds to
# $work/NAME and its CPU time in milliseconds to $work/NAME.cpu
run() {
  local name=$1 t0 t1 c0 c1
  shift
  child_cpu
  c0=$cpu
  t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  t1=$EPOCHREALTIME
  child_cpu
  c1=$cpu
  echo $(( (${t1/./} - ${t0/./}) )) >>"$work/$name"
  echo $((c1 - c0)) >>"$work/$name.cpu"
}
for ((i = 0; i < rounds; i++)); do
  run java "$JAVA_HOME/bin/java" -version
  run mscapi "$mscapi" version
  run keytool "$JAVA_HOME/bin/keytool" -help
  run floor "${floor[@]}"
done
median() { sort -n "$work/$1" | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
java_us=$(median java)
mscapi_us=$(median mscapi)
keytool_us=$(median keytool)
floor_us=$(median floor)
sum() { awk '{ s += $1 } END { print s }' "$work/$1"; }
awk -v m="$(sum mscapi.cpu)" -v j="$(sum java.cpu)" -v f="$(sum floor.cpu)" -v n="$rounds" 'BEGIN {
  printf "CPU time (user + system) per run: java -version %.1f ms, mscapi version %.1f ms, floor %.1f ms\n", j / n, m / n, f / n
  printf "floor (a one-class jar that loads the library), CPU time: %.2f x java -version, for the record\n", f / j
  printf "RATIO mscapi_version_cpu_vs_java %.2f <= 1.3 CPU time summed over %d rounds (steadier than wall time on a busy machine)\n", m / j, n
}'
awk -v m="$mscapi_us" -v j="$java_us" -v k="$keytool_us" -v f="$floor_us" -v n="$rounds" 'BEGIN {
  printf "java -version    %8.1f ms\nmscapi version   %8.1f ms\nkeytool -help    %8.1f ms\nfloor            %8.1f ms\n", j / 1000, m / 1000, k / 1000, f / 1000
  printf "floor, median wall time: %.2f x java -version, for the record\n", f / j
  printf "RATIO mscapi_version_vs_java %.2f <= 1.3 median of %d side-by-side rounds, installed launcher\n", m / j, n
  printf "RATIO mscapi_version_vs_keytool %.2f <= 0.5 median of %d side-by-side rounds, keytool -help\n", m / k, n
}'
echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"
