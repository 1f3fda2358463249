#!/bin/sh
# sign and verify read the file through a fixed buffer: a 100 MB (sparse)
# file is signed and verified by a JVM whose heap is capped at 64 MB, far
# below the file's size, and openssl accepts the signature. On a terminal
# (a pseudo-terminal made by script(1)) a progress bar goes to stderr.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
export MSCAPI_JAVA_OPTS="$MSCAPI_JAVA_OPTS -Xmx64m"
cd "$home" || exit 1
truncate -s 100M big || fail "truncate"
printf 'the end of the file' >>big
"$launcher" genkey --container streamer --bits 2048 --out pub.pem >/dev/null || fail "genkey"
"$launcher" sign big --container streamer --out big.sig 2>err </dev/null || { cat err; fail "sign of 100 MB with -Xmx64m"; }
[ ! -s err ] || { cat err; fail "sign printed on stderr without a terminal"; }
openssl dgst -sha256 -verify pub.pem -signature big.sig big >/dev/null || fail "openssl rejects the signature"
"$launcher" verify big --signature big.sig --pubkey pub.pem >out 2>&1 </dev/null || { cat out; fail "verify"; }
grep -q "signature verified" out || fail "verify said: $(cat out)"
# One byte changed at the end: the streamed hash must cover the whole file.
printf 'the end of the filE' | dd of=big bs=1 seek=$((100 * 1024 * 1024)) conv=notrunc 2>/dev/null
"$launcher" verify big --signature big.sig --pubkey pub.pem >out 2>&1 </dev/null && fail "a changed file verified"
grep -q "does not verify" out || fail "verify of a changed file said: $(cat out)"

# A terminal needs script(1) and a pseudo-terminal (a chroot may have no
# /dev/pts): without them the terminal checks are left out, and said so.
if ! command -v script >/dev/null 2>&1 || ! script -qec true /dev/null >/dev/null 2>&1; then
  echo "no pseudo-terminal here: the progress bar checks are left out"
else
  script -qec "'$launcher' sign big --container streamer --hash sha1 --out tty.sig" /dev/null >tty.txt 2>&1 ||
    { cat tty.txt; fail "sign on a terminal"; }
  grep -q "signing big \[#*\] 100% 100/100 MB" tty.txt || { cat tty.txt; fail "no progress bar on a terminal"; }
  openssl dgst -sha1 -verify pub.pem -signature tty.sig big >/dev/null || fail "openssl rejects the terminal run"
  # Small files show no bar.
  script -qec "'$launcher' sign pub.pem --container streamer --out small.sig" /dev/null >tty.txt 2>&1
  grep -q "%" tty.txt && { cat tty.txt; fail "a progress bar for a small file"; }
fi
echo "stream signing checks held"
