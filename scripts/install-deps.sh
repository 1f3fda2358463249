#!/bin/sh
# Installs the Debian 12 packages the project needs to build and test.
# Does nothing when every package is already present.
set -eu
packages="cmake make g++ pkg-config openjdk-17-jdk-headless libssl-dev libsqlite3-dev
libgtest-dev googletest junit5 g++-mingw-w64-i686 binutils-mingw-w64-i686 openssl
wine wine64 wine32:i386"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# Wine's 32-bit half (which runs the 32-bit DLL) comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
