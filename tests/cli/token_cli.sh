#!/bin/sh
# `mscapi token init` and `mscapi providers` through the real launcher: a
# SoftHSM2 token in the home, registered with a PIN prompt; a key generated
# on it (the prompt logs in) signs, and OpenSSL verifies the signature;
# providers shows each family and the token.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
provider="SoftHSM2 Token RSA Provider"
container='\\.\cli token\signer'
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
{
  echo '#!/bin/sh'
  echo "printf '%s\\n' \"\$1\" >>'$home/prompts.log'"
  echo "cat '$home/pin.txt'"
} >prompt.sh
chmod 700 prompt.sh

"$launcher" token init --label x </dev/null >out.txt 2>&1; rc=$?
[ "$rc" -eq 2 ] || { cat out.txt; fail "token init without a console or PIN files gave $rc, expected 2"; }
"$launcher" token init >/dev/null 2>&1; [ $? -eq 2 ] || fail "token init without --label is not a usage error"
"$launcher" token init --label "cli token" --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh" \
  >out.txt 2>&1 || { cat out.txt; fail "token init"; }
[ -f "$MSCAPI_HOME/softhsm/softhsm2.conf" ] || fail "no SoftHSM2 configuration in the home"
"$launcher" token init --label "cli token" --so-pin-file so.txt --pin-file pin.txt >out.txt 2>&1; rc=$?
[ "$rc" -eq 1 ] || { cat out.txt; fail "a second token of one label gave $rc, expected 1"; }
grep -q 'labelled "cli token" exists already' out.txt || { cat out.txt; fail "no reason for the refusal"; }

"$launcher" providers >prov.txt 2>&1 || { cat prov.txt; fail "providers"; }
for want in "$provider" "family: PKCS#11, module /usr/lib/softhsm/libsofthsm2.so" 'token: "cli token"' \
  "family: software (" "family: software token with PINs (softtoken.dll)"; do
  grep -qF "$want" prov.txt || { cat prov.txt; fail "providers does not show: $want"; }
done
if grep -qF "PKCS#11 Token RSA Provider" prov.txt; then fail "the removed default PKCS#11 provider is listed"; fi
# mscapi-admin lists the token with the serial number OpenSC's pkcs11-tool reads from the module.
serial=$(SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf" pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so \
  --list-token-slots 2>/dev/null | awk '/token label/ { l = $0; sub(/^[^:]*: */, "", l) }
  /serial num/ && l == "cli token" { sub(/^[^:]*: */, ""); print; exit }')
[ -n "$serial" ] || fail "pkcs11-tool does not see the token"
"$(dirname "$launcher")/mscapi-admin" tokens --provider "$provider" --json >tokens.json || fail "mscapi-admin tokens"
java "$(dirname "$0")/JsonRead.java" tokens.json >tokens.flat || { cat tokens.json; fail "mscapi-admin tokens: not JSON"; }
grep -qxF 'providers[0].module.slots[0].token.label=cli token' tokens.flat || { cat tokens.json; fail "no token in slot 0"; }
grep -qxF "providers[0].module.slots[0].token.serial=$serial" tokens.flat || { cat tokens.json; fail "serial is not $serial"; }
grep -qxF "providers[0].module.slots[0].present=true" tokens.flat || { cat tokens.json; fail "slot 0 not present"; }
grep -q '^providers\[0\]\.module\.slots\[0\]\.token\.flags\[[0-9]*\]=CKF_TOKEN_INITIALIZED$' tokens.flat ||
  { cat tokens.json; fail "the token is not flagged initialised"; }

"$launcher" genkey --container "$container" --provider "$provider" --spec signature --out pub.pem >out.txt 2>&1 ||
  { cat out.txt; fail "genkey on the token"; }
[ -s prompts.log ] || fail "the PIN prompt was not run"
printf 'data for the token\n' >data.txt
"$launcher" sign data.txt --container "$container" --provider "$provider" --spec signature --pin-file pin.txt \
  --out sig.bin >out.txt 2>&1 || { cat out.txt; fail "sign on the token"; }
openssl dgst -sha256 -verify pub.pem -signature sig.bin data.txt >/dev/null || fail "openssl rejects the signature"
# Each PIN is counted in the home before it reaches the token: after five
# wrong ones in a row no PIN is handed to it, the right one neither (SoftHSM2
# itself never locks), until mscapi unblock clears the count.
printf '0000\n' >wrong.txt
printf '11223344\n' >code.txt
signs() { "$launcher" sign data.txt --container "$container" --provider "$provider" --spec signature --pin-file "$1" \
  --out sig.bin >/dev/null 2>err.txt; }
for left in 4 3 2 1; do
  if signs wrong.txt; then fail "signed with a wrong PIN"; fi
  grep -qF "wrong PIN for token \"cli token\" (the token reports few tries left; $left tr" err.txt ||
    { cat err.txt; fail "a wrong PIN with $left tries left is not said so"; }
done
if signs wrong.txt; then fail "signed with a wrong PIN"; fi
grep -qF "wrong PIN for token \"cli token\" (the token reports few tries left): no more PINs are handed to it" err.txt ||
  { cat err.txt; fail "the fifth wrong PIN is not said to be the last"; }
if signs pin.txt; then fail "the right PIN was handed to the token after five wrong ones"; fi
grep -qF "no PIN is handed to token \"cli token\" after 5 wrong PINs in a row (mscapi unblock --container" err.txt ||
  { cat err.txt; fail "the refused right PIN is not said to be kept from the token"; }
"$launcher" token set-unblock-code --code-file code.txt >/dev/null 2>&1 || fail "set-unblock-code"
"$launcher" unblock --container '\\.\cli token' --code-file code.txt >out.txt 2>&1 ||
  { cat out.txt; fail "unblock of the token"; }
signs pin.txt || { cat err.txt; fail "the right PIN after unblock"; }
openssl dgst -sha256 -verify pub.pem -signature sig.bin data.txt >/dev/null || fail "openssl rejects the signature"
# keys shows a name with spaces in single quotes, as a shell reads it back.
"$launcher" keys | grep -qF "'$container'" || fail "keys does not list the token key"
if "$launcher" export --container "$container" --provider "$provider" --spec signature --pin-file pin.txt \
  >/dev/null 2>err.txt; then fail "a generated token key was exported"; fi
grep -q "Private key export failed !" err.txt || fail "export message missing"
# addcert MY finds the token's key among every provider's key pairs.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=cli-CA -days 30 2>/dev/null &&
  openssl req -new -key ca.key -subj /CN=token-holder -out holder.csr &&
  openssl x509 -req -in holder.csr -force_pubkey pub.pem -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -out holder.pem 2>/dev/null || fail "making a certificate for the token key"
"$launcher" addcert MY holder.pem >out.txt 2>&1 || { cat out.txt; fail "addcert MY of the token key's certificate"; }
grep -qF "bound to container '$container' of \"$provider\"" out.txt || { cat out.txt; fail "not bound to the token key"; }
thumb=$(openssl x509 -in holder.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
"$launcher" delcert MY --thumbprint "$thumb" >/dev/null || fail "delcert of the token key's certificate"
"$launcher" delkey --container "$container" --provider "$provider" || fail "delkey"
# A container a key generation left without keys (its marker alone, written
# here with pkcs11-tool as the library writes it) is listed, reported by
# check, and deleted by the delkey that keys prints.
printf 'marker' >marker.bin
SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf" pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so \
  --token-label "cli token" --login --pin 1357 --write-object marker.bin --type data --label unfinished \
  --application-label "CryptoAPI key container" >/dev/null 2>&1 || fail "pkcs11-tool wrote no marker"
"$launcher" keys >out.txt 2>&1 || { cat out.txt; fail "keys with an empty token container"; }
want="empty container '\\\\.\\cli token\\unfinished' (PKCS#11 family): no key; mscapi delkey --container '\\\\.\\cli token\\unfinished' --provider '$provider' removes it"
grep -qF "$want" out.txt || { cat out.txt; fail "keys does not name the empty token container: $want"; }
"$launcher" check >out.txt 2>&1 || { cat out.txt; fail "check with an empty token container"; }
"$launcher" check --json >out.txt 2>&1
grep -qF 'PKCS#11 container \"\\\\.\\cli token\\unfinished\" of provider' out.txt ||
  { cat out.txt; fail "check does not report the empty token container"; }
"$launcher" delkey --container '\\.\cli token\unfinished' --provider "$provider" >out.txt 2>&1 ||
  { cat out.txt; fail "delkey of the empty token container"; }
"$launcher" keys >out.txt 2>&1
! grep -q "unfinished" out.txt || { cat out.txt; fail "the empty token container is still listed"; }
SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf" pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so \
  --token-label "cli token" --login --pin 1357 --list-objects --type data >out.txt 2>&1
! grep -q "unfinished" out.txt || { cat out.txt; fail "delkey left the marker on the token"; }

# A card that is absent says so, with the container asked for.
if "$launcher" sign data.txt --container '\\.\no such card\signer' --provider "$provider" --pin-file pin.txt \
  >/dev/null 2>err.txt; then fail "signed on a token that is not present"; fi
grep -qF "token \"no such card\" is not present (container '\\\\.\\no such card\\signer'" err.txt ||
  { cat err.txt; fail "an absent token is not named as such"; }

# The default PIN prompt asks on the terminal: it runs in a process group of
# its own, which is handed the terminal's foreground while it asks (script
# gives the tool a terminal; the PIN is typed into it).
if command -v script >/dev/null 2>&1; then
  "$launcher" token init --label "tty token" --so-pin-file so.txt --pin-file pin.txt >out.txt 2>&1 ||
    { cat out.txt; fail "token init with the terminal prompt"; }
  (sleep 2; cat pin.txt) | script -qec "'$launcher' genkey --container '\\\\.\\tty token\\k' --provider '$provider' --spec signature --out tty.pem" /dev/null >out.txt 2>&1 ||
    { cat out.txt; fail "genkey with the PIN typed on the terminal"; }
  grep -qF 'PIN for token "tty token"' out.txt || { cat out.txt; fail "the terminal prompt did not ask"; }
  [ -s tty.pem ] || fail "no public key from the terminal login"
fi
echo "token cli checks held"
