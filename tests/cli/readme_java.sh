#!/bin/sh
# The Java example of README.md, exactly as written there: the java block
# after "<!-- example: Hello.java -->" is saved as Hello.java, the sh block
# after "<!-- example: run -->" compiles and runs it from a folder whose
# build/ is the build tree, in a fresh MSCAPI_HOME, with each JDK in
# /usr/lib/jvm that can; its output must be the block after
# "<!-- example: output -->", with nothing on stderr, and the example's
# container must be gone afterwards.
# Usage: readme_java.sh BUILD SOURCE plain|asan
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
mode=$3
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# The fenced block that follows the marker line MARKER in README.md.
block() {
  awk -v marker="<!-- example: $1 -->" '
    $0 == marker { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 2 && /^```$/ { exit }
    found == 2 { print }' "$source/README.md"
}
block Hello.java >"$tmp/Hello.java"
block run >"$tmp/run.sh"
block output >"$tmp/expected"
for f in Hello.java run.sh expected; do
  [ -s "$tmp/$f" ] || fail "README.md has no example block for $f"
done
grep -q '^package com\.qel\.varnel;' "$tmp/Hello.java" || fail "the example is not in package com.qel.varnel"

if [ "$mode" = asan ]; then
  # As tests/run-java.sh: the JVM is not built with ASan.
  LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
  export LD_PRELOAD
  export ASAN_OPTIONS=detect_leaks=0:handle_segv=0
fi

java17=$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")
runs=0
for jdk in "$java17" /usr/lib/jvm/temurin-25-jdk-amd64; do
  [ -x "$jdk/bin/javac" ] || continue
  dir=$tmp/run$runs
  mkdir -p "$dir" && cp "$tmp/Hello.java" "$dir/" && ln -s "$build" "$dir/build"
  export MSCAPI_HOME="$dir/home"
  # No machine PKCS#11 modules in this home (the default registration's proxy).
  "$source/tests/tokens/token-home.sh" "$build" "$MSCAPI_HOME" none || fail "token-home.sh"
  (cd "$dir" && PATH="$jdk/bin:$PATH" JDK_JAVA_OPTIONS=-Xcheck:jni sh -e "$tmp/run.sh") \
    >"$dir/out" 2>"$dir/err" || { cat "$dir/out" "$dir/err"; fail "the example failed with $jdk"; }
  grep -v '^NOTE: Picked up JDK_JAVA_OPTIONS: -Xcheck:jni$' "$dir/err" >"$dir/err.rest"
  [ -s "$dir/err.rest" ] && { cat "$dir/err.rest"; fail "the example wrote to stderr with $jdk"; }
  diff -u "$tmp/expected" "$dir/out" || fail "the example's output with $jdk differs from README.md's"
  # The example deletes its container: the home holds no key pair.
  "$build/mscapi" keys --json >"$dir/keys" || fail "mscapi keys"
  grep -q '"keys": *\[\]' "$dir/keys" || { cat "$dir/keys"; fail "the example left a key behind"; }
  [ -f "$dir/classes/com/qel/varnel/Hello.class" ] || fail "javac wrote no class where the README says"
  runs=$((runs + 1))
done
[ "$runs" -ge 1 ] || fail "no JDK compiled the example"
echo "README example checks held ($runs JDKs)"
