#!/bin/sh
# Installs the Debian 12 packages the project needs to build and test.
# Does nothing when every package is already present.
set -eu
packages="cmake make g++ pkg-config openjdk-17-jdk-headless libssl-dev libsqlite3-dev
libgtest-dev googletest junit5 g++-mingw-w64-i686 binutils-mingw-w64-i686 openssl"
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
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
