#!/bin/sh
# The Java examples of the READMEs, exactly as written there: README.md's
# Sign.java (the JCA provider) and java/README.md's Hello.java (the methods
# themselves). For each, the java block after "<!-- example: NAME.java -->"
# is saved as NAME.java, the sh block after its run marker compiles and runs
# it from a folder whose build/ is the build tree, in a fresh MSCAPI_HOME,
# with each JDK in /usr/lib/jvm that can; its output must be the block after
# its output marker, with nothing on stderr, and no key pair may be left
# behind.
# Usage: readme_java.sh BUILD SOURCE plain|asan
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
mode=$3
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# The fenced block that follows the marker line MARKER in FILE.
block() {
  awk -v marker="<!-- example: $2 -->" '
    $0 == marker { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 2 && /^```$/ { exit }
    found == 2 { print }' "$source/$1"
}

if [ "$mode" = asan ]; then
  # As tests/run-java.sh: the JVM is not built with ASan.
  LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
  export LD_PRELOAD
  export ASAN_OPTIONS=detect_leaks=0:handle_segv=0
fi

java17=$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")
runs=0
# FILE NAME RUN-MARKER OUTPUT-MARKER CLASS-FILE
check_example() {
  file=$1 name=$2 class=$5
  ex=$tmp/$name
  mkdir -p "$ex"
  block "$file" "$name.java" >"$ex/$name.java"
  block "$file" "$3" >"$ex/run.sh"
  block "$file" "$4" >"$ex/expected"
  for f in "$name.java" run.sh expected; do
    [ -s "$ex/$f" ] || fail "$file has no example block for $name ($f)"
  done
  for jdk in "$java17" /usr/lib/jvm/temurin-25-jdk-amd64; do
    [ -x "$jdk/bin/javac" ] || continue
    dir=$ex/run$runs
    mkdir -p "$dir" && cp "$ex/$name.java" "$dir/" && ln -s "$build" "$dir/build"
    export MSCAPI_HOME="$dir/home"
    # No machine PKCS#11 modules in this home (the default registration's proxy).
    "$source/tests/tokens/token-home.sh" "$build" "$MSCAPI_HOME" none || fail "token-home.sh"
    (cd "$dir" && PATH="$jdk/bin:$PATH" JDK_JAVA_OPTIONS=-Xcheck:jni sh -e "$ex/run.sh") \
      >"$dir/out" 2>"$dir/err" || { cat "$dir/out" "$dir/err"; fail "$name failed with $jdk"; }
    grep -v '^NOTE: Picked up JDK_JAVA_OPTIONS: -Xcheck:jni$' "$dir/err" >"$dir/err.rest"
    [ -s "$dir/err.rest" ] && { cat "$dir/err.rest"; fail "$name wrote to stderr with $jdk"; }
    diff -u "$ex/expected" "$dir/out" || fail "$name's output with $jdk differs from $file's"
    # The example deletes its container: the home holds no key pair.
    "$build/mscapi" keys --json >"$dir/keys" || fail "mscapi keys"
    grep -q '"keys": *\[\]' "$dir/keys" || { cat "$dir/keys"; fail "$name left a key behind"; }
    [ -f "$dir/classes/$class" ] || fail "javac wrote no $class where $file says"
    runs=$((runs + 1))
  done
}
check_example README.md Sign "Sign run" "Sign output" Sign.class
check_example java/README.md Hello run output com/qel/varnel/Hello.class
grep -q '^package com\.qel\.varnel;' "$tmp/Hello/Hello.java" || fail "Hello is not in package com.qel.varnel"
[ "$runs" -ge 2 ] || fail "no JDK compiled the examples"
echo "README example checks held ($runs runs)"
