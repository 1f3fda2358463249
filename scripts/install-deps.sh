#!/bin/sh
# Installs the Debian 12 packages the project needs to build and test, on a
# bare system too (debootstrap --variant=minbase plus make and git).
# Does nothing, and does not touch the network, when every package is present.
#
# Usage: scripts/install-deps.sh [GROUP...]
#   (no group)  what `make test` and `make demo` need
#   fuzz        that, plus clang and its libFuzzer runtime
set -eu

# Build: compilers, CMake, the JDK (javac -h, the JNI headers, libjvm for the
# benchmarks), OpenSSL 3 and SQLite headers, GoogleTest (its sources too, for
# the cross-compiled suite), JUnit 5 and its console launcher.
# Windows DLLs: the i686 and x86_64 cross compilers and objdumps; Wine runs
# them (wine64 the 64-bit one; the 32-bit half comes from the i386
# architecture).
# Test scripts: openssl (certificates and signatures are checked with it);
# nm, od, diff, sed, awk, mktemp come with binutils (pulled in by g++),
# coreutils, diffutils, sed and mawk, which every Debian system has; keytool
# comes with the JDK.
# Tokens: SoftHSM2 (a software PKCS#11 token for the tests and the demo),
# p11-kit (the standard PKCS#11 header, its proxy, client and server
# modules; pkgconf gives the build its paths), OpenSC's pkcs11-tool (checks
# keys from outside), NSS's certutil and modutil (libnss3-tools: check that
# another PKCS#11 consumer pairs a token's certificate with its key).
# The tool: Bouncy Castle's provider and PKIX jars, picocli (commands, help,
# man page and completion) and Jackson's core (JSON output, and reading the
# JSON mscapi-admin answers, which nlohmann/json writes).
base="cmake make g++ openjdk-17-jdk-headless libssl-dev libsqlite3-dev
libgtest-dev googletest junit5 g++-mingw-w64-i686 binutils-mingw-w64-i686
g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 openssl
wine wine64 wine32:i386
softhsm2 p11-kit p11-kit-modules libp11-kit-dev pkgconf opensc libnss3-tools
libbcprov-java libbcpkix-java libpicocli-java libjackson2-core-java nlohmann-json3-dev"
# libFuzzer builds: clang without recommends lacks the compiler-rt runtime
# that -fsanitize=fuzzer links.
fuzz="clang libclang-rt-dev"

packages=$base
for group in "$@"; do
  case $group in
    fuzz) packages="$packages $fuzz" ;;
    *)
      echo "usage: $0 [fuzz]" >&2
      exit 2
      ;;
  esac
done

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "$0: run as root (or install sudo) to install:$missing" >&2
    exit 1
  }
  SUDO=sudo
else
  SUDO=
fi
case $missing in
  *:i386*)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $SUDO dpkg --add-architecture i386
    fi
    ;;
esac
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
