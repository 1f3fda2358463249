#!/bin/sh
# import and import-pfx onto a SoftHSM2 token of the home (`token init`),
# checked from outside the emulation: OpenSC's pkcs11-tool reads the key's
# access flags and the certificate object beside it; NSS (certutil through
# p11-kit's proxy, which serves SoftHSM2 with this test's SOFTHSM2_CONF)
# pairs the certificate with the key by CKA_ID; OpenSSL verifies a signature
# of the imported key with the certificate.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
command -v certutil >/dev/null || fail "certutil (libnss3-tools) is missing"
provider="SoftHSM2 Token RSA Provider"
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
printf 'pfx secret\n' >pw.txt
printf '#!/bin/sh\ncat "%s/pin.txt"\n' "$home" >prompt.sh && chmod 700 prompt.sh
export SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf"
for label in sealed open; do
  expect 0 token init --label "$label" --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"
done

# A CA, and end-entity keys with their certificates in PKCS#12 files with the chain.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=import-CA -days 30 2>/dev/null ||
  fail "making the CA"
for ee in one two; do
  openssl req -newkey rsa:2048 -nodes -keyout $ee.key -subj /CN=import-holder -out $ee.csr 2>/dev/null &&
    openssl x509 -req -in $ee.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -out $ee.pem 2>/dev/null &&
    openssl pkcs12 -export -inkey $ee.key -in $ee.pem -certfile ca.pem -name holder -passout "file:pw.txt" \
      -out $ee.p12 && openssl x509 -in $ee.pem -noout -pubkey >$ee.pub || fail "making the PKCS#12 file $ee"
done

# pkcs11-tool's description of the object of a class ("Private Key",
# "Certificate") with a label on a token, one "Field: value" per line.
object() {
  pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "$1" --list-objects --login \
    --pin 1357 2>/dev/null | awk -v cls="$2 Object" -v label="$3" '
    /^[^ \t]/ { if (keep) exit; inside = index($0, cls) == 1; next }
    inside && /^ +label:/ { l = $0; sub(/^ +label: +/, "", l); keep = (l == label) }
    inside { buf = buf $0 "\n" }
    /^[^ \t]/ { buf = "" }
    END { if (keep) printf "%s", buf }' | sed 's/^ *//'
}

# command, key file, token, container, --exportable or not, expected Access,
# what follows the SHA-1 of the modulus in the key's ID (the same key
# imported twice onto one token: the second copy's ID is not the first's)
while IFS='|' read -r cmd ee token name flag access more; do
  container="\\\\.\\$token\\$name"
  thumb=$(openssl x509 -in $ee.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  if [ "$cmd" = import-pfx ]; then
    expect 0 import-pfx $ee.p12 --provider "$provider" --container "$container" --pin-file pin.txt \
      --password-file pw.txt $flag
  else
    expect 0 import $ee.key --provider "$provider" --container "$container" --spec exchange --pin-file pin.txt $flag
  fi
  # The key's own CKA_ID: the SHA-1 of its modulus.
  id=$(openssl rsa -in $ee.key -noout -modulus | sed 's/^Modulus=//' |
    perl -ne 'chomp; print pack("H*", $_)' | openssl sha1 -r | cut -c1-40)$more
  object "$token" "Private Key" "$name" >key.txt
  [ -s key.txt ] || fail "$cmd $flag: no private key labelled $name on token $token"
  grep -qx "ID: *$id" key.txt || { cat key.txt; fail "$cmd $flag: the key's ID is not $id"; }
  grep -qx "Access: *$access" key.txt || { cat key.txt; fail "$cmd $flag: the key's access is not '$access'"; }
  object "$token" "Certificate" "$name" >cert.txt
  if [ "$cmd" = import ]; then
    [ ! -s cert.txt ] || { cat cert.txt; fail "import wrote a certificate"; }
    continue
  fi
  grep -qx "ID: *$id" cert.txt || { cat cert.txt key.txt; fail "$cmd $flag: the certificate's ID is not the key's"; }
  grep -qx "subject: *DN: CN=import-holder" cert.txt || { cat cert.txt; fail "the certificate object's subject"; }
  # In MY exactly once, bound to the container, also when MY is opened again.
  for round in 1 2; do
    expect 0 certs MY
    [ "$(grep -c "SHA-1: *$thumb" out)" -eq 1 ] || { cat out; fail "$cmd $flag: the certificate is not in MY once"; }
    has out "$provider / '$container' / spec 2"
    has out "friendly name: holder"
  done
  printf 'signed on %s\n' "$token" >data.txt
  expect 0 sign data.txt --provider "$provider" --container "$container" --pin-file pin.txt --out sig.bin
  openssl dgst -sha256 -verify $ee.pub -signature sig.bin data.txt >/dev/null ||
    fail "$cmd $flag: the certificate does not verify the key's signature"
  if [ -n "$flag" ]; then
    expect 0 export --provider "$provider" --container "$container" --pin-file pin.txt --unencrypted --out back.pem
    [ "$(openssl rsa -in back.pem -noout -modulus)" = "$(openssl rsa -in $ee.key -noout -modulus)" ] ||
      fail "the exported key is not the imported one"
  else
    expect 1 export --provider "$provider" --container "$container" --pin-file pin.txt --unencrypted
    has err "Private key export failed !"
  fi
  # NSS pairs the certificate and the key by CKA_ID (certutil -K names a key by its certificate).
  rm -rf nss && mkdir nss && certutil -N -d sql:nss --empty-password &&
    modutil -dbdir sql:nss -add p11kit -libfile /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so -force \
      >/dev/null 2>&1 || fail "making the NSS database"
  certutil -L -h all -d sql:nss -f pin.txt >nss.txt 2>&1
  grep -q "^$token:$name " nss.txt || { cat nss.txt; fail "NSS does not list the certificate $token:$name"; }
  certutil -K -h "$token" -d sql:nss -f pin.txt >nss.txt 2>&1
  grep -Eq "rsa +$id +$name\$" nss.txt || { cat nss.txt; fail "NSS does not pair the key $id with $name"; }
done <<'TABLE'
import-pfx|one|sealed|pfx||sensitive|
import|one|sealed|plain||sensitive|01
import-pfx|two|open|pfx|--exportable|extractable|
TABLE

# Deleting the container deletes the certificate written beside its key.
expect 0 delkey --provider "$provider" --container '\\.\open\pfx' --with-certs
object open "Certificate" pfx >cert.txt
[ ! -s cert.txt ] || { cat cert.txt; fail "the certificate stayed on the token after delkey"; }
echo "token import checks held"
