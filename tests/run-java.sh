#!/bin/sh
# Runs a JVM for a test in a fresh temporary MSCAPI_HOME, with -Xcheck:jni.
# Usage: run-java.sh JAVA LIBDIR plain|asan BUILDDIR [java arguments...]
java=$1 libdir=$2 mode=$3 builddir=$4
shift 4
home=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-test-XXXXXX") || exit 1
trap 'rm -rf "$home"' EXIT
export MSCAPI_HOME="$home"
# The home never sees the machine's PKCS#11 modules; MSCAPI_TEST_TOKENS
# (direct or proxy) gives it a SoftHSM2 token of its own instead.
setup=$("$(dirname "$0")/tokens/token-home.sh" "$builddir" "$home" "${MSCAPI_TEST_TOKENS:-none}") || exit 1
eval "$setup"
if [ "$mode" = asan ]; then
  # The JVM is not built with ASan: preload its runtime, and leave leak
  # detection and SIGSEGV to the JVM, which owns them.
  # libstdc++ is preloaded too: ASan's __cxa_throw interceptor looks for the
  # real one when it starts and aborts on the first C++ throw otherwise.
  LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
  export LD_PRELOAD
  export ASAN_OPTIONS=detect_leaks=0:handle_segv=0
fi
"$java" -Xcheck:jni -XX:ErrorFile="$builddir/hs_err_%p.log" \
  -Djava.library.path="$libdir" "$@"
