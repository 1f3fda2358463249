#!/bin/sh
# The certificate commands end to end, each in a new process: addcert (DER
# and PEM), certs, name, describe, delcert by serial/issuer and by
# thumbprint. The certificates are made here with openssl req -x509.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
i=0
for n in one two; do
  i=$((i + 1))
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$home/$n.key" -out "$home/$n.pem" \
    -subj "/CN=CLI $n/O=Varnel Tests" -days 30 -set_serial "0x00A0B0C0$i" 2>/dev/null ||
    fail "openssl req failed"
  openssl x509 -in "$home/$n.pem" -outform DER -out "$home/$n.der" || fail "openssl x509 failed"
done
serial=$(openssl x509 -in "$home/one.pem" -noout -serial | sed 's/^serial=//')
sha1=$(openssl x509 -in "$home/two.pem" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')

# Neither key is stored: --force binds all the same.
"$launcher" addcert MY "$home/one.der" --friendly-name "first" --provider "Microsoft Strong Cryptographic Provider" \
  --container cli-box --spec 2 --force >/dev/null || fail "addcert DER failed"
"$launcher" addcert my "$home/two.pem" --force >/dev/null || fail "addcert PEM failed"
"$launcher" addcert MY "$home/one.der" --force >"$home/out" 2>&1 || fail "a second add failed"
grep -q "^0 added, 1 already present" "$home/out" || fail "a second add: $(cat "$home/out")"

list=$("$launcher" certs MY) || fail "certs failed"
echo "$list" | grep -q "^2 certificates in MY" || fail "not two certificates: $list"
echo "$list" | grep -q "serial: *$serial\$" || fail "serial $serial not listed: $list"
echo "$list" | grep -q "SHA-1: *$sha1\$" || fail "thumbprint $sha1 not listed: $list"
echo "$list" | grep -q "friendly name: first" || fail "friendly name not listed"
echo "$list" | grep -q "key: *Microsoft Strong Cryptographic Provider / cli-box / spec 2" || fail "binding not listed"
echo "$list" | grep -q "key: *Microsoft Strong Cryptographic Provider / $(id -un) / spec 2" ||
  fail "default binding not listed: $list"

"$launcher" name MY "renamed" --serial "$serial" --issuer-of "$home/one.pem" >/dev/null || fail "name failed"
"$launcher" describe MY "a note" --thumbprint "$sha1" >/dev/null || fail "describe failed"
list=$("$launcher" certs MY)
echo "$list" | grep -q "friendly name: renamed" || fail "rename not listed"
echo "$list" | grep -q "description: *a note" || fail "description not listed"

"$launcher" delcert MY --thumbprint "$sha1" >/dev/null || fail "delcert by thumbprint failed"
"$launcher" delcert MY --serial "$serial" --issuer-of "$home/one.der" >/dev/null || fail "delcert by serial failed"
"$launcher" delcert MY --serial "$serial" --issuer-of "$home/one.der" 2>"$home/err" >/dev/null; rc=$?
[ "$rc" -eq 1 ] || fail "deleting twice gave exit code $rc"
grep -q "Cert not found !" "$home/err" || fail "message missing: $(cat "$home/err")"
"$launcher" certs MY | grep -q "^0 certificates in MY" || fail "store not empty"
"$launcher" certs NOPE >/dev/null 2>&1; rc=$?
[ "$rc" -eq 2 ] || fail "unknown store gave exit code $rc, expected 2"
echo "certificate command checks held"
