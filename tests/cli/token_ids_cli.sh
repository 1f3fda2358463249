#!/bin/sh
# A card's IDs are kept: on a token issued with pkcs11-tool (key pairs with
# their certificates at CKA_ID 01, 02 and 03), import-pfx and genkey give
# their keys (and the certificate) a CKA_ID of their own, the SHA-1 of the
# modulus; pkcs11-tool then reads every old certificate by its old ID, and
# NSS (certutil through p11-kit's proxy) pairs every key with its own
# certificate.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
command -v certutil >/dev/null || fail "certutil (libnss3-tools) is missing"
provider="SoftHSM2 Token RSA Provider"
module=/usr/lib/softhsm/libsofthsm2.so
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
printf 'pfx secret\n' >pw.txt
printf '#!/bin/sh\ncat "%s/pin.txt"\n' "$home" >prompt.sh && chmod 700 prompt.sh
export SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf"
expect 0 token init --label card --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"
p11() { pkcs11-tool --module $module --token-label card --login --pin 1357 "$@"; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=ids-CA -days 30 2>/dev/null ||
  fail "making the CA"
# The card as an issuer makes it: a key pair generated on the card at each
# ID, with a certificate for its public key (labelled apart from the key, so
# that NSS names a key by its certificate only when it pairs them by ID).
for id in 01 02 03; do
  p11 --keypairgen --key-type rsa:2048 --id $id --label "issued $id" >/dev/null 2>&1 ||
    fail "generating the card's key $id"
  p11 --read-object --type pubkey --id $id -o pub$id.der >/dev/null 2>&1 &&
    openssl req -new -key ca.key -subj "/CN=issued $id" -out any.csr 2>/dev/null &&
    openssl x509 -req -in any.csr -force_pubkey pub$id.der -keyform DER -CA ca.pem -CAkey ca.key \
      -CAcreateserial -days 30 -outform DER -out cert$id.der 2>/dev/null &&
    p11 --write-object cert$id.der --type cert --id $id --label "cert $id" >/dev/null 2>&1 ||
    fail "writing the card's certificate $id"
done

# A key and its certificate imported, and a key generated, onto the card.
openssl req -newkey rsa:2048 -nodes -keyout ee.key -subj /CN=ids-holder -out ee.csr 2>/dev/null &&
  openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -out ee.pem 2>/dev/null &&
  openssl pkcs12 -export -inkey ee.key -in ee.pem -name holder -passout "file:pw.txt" -out ee.p12 ||
  fail "making the PKCS#12 file"
expect 0 import-pfx ee.p12 --provider "$provider" --container '\\.\card\pfx' --pin-file pin.txt \
  --password-file pw.txt
expect 0 genkey --container '\\.\card\gen' --provider "$provider" --spec signature \
  --out gen.pem

# The SHA-1 of a key's modulus (a PEM public or private key), in hex.
modulus_id() {
  openssl rsa "$@" -noout -modulus 2>/dev/null | sed 's/^Modulus=//' |
    perl -ne 'chomp; print pack("H*", $_)' | openssl sha1 -r | cut -c1-40
}
pfx_id=$(modulus_id -in ee.key)
gen_id=$(modulus_id -pubin -in gen.pem)
[ ${#pfx_id} -eq 40 ] && [ ${#gen_id} -eq 40 ] || fail "the moduli's SHA-1"

# Every old certificate is read back by its old ID.
for id in 01 02 03; do
  p11 --read-object --type cert --id $id -o back.der >/dev/null 2>&1 || fail "reading the certificate $id"
  cmp -s back.der cert$id.der || fail "the certificate at ID $id is not the card's own"
done
# The new objects have their own IDs: the certificate and both key objects
# of import-pfx's key, the two key objects of genkey's.
p11 --list-objects >objects.txt 2>/dev/null || fail "listing the card's objects"
for want in "$pfx_id:3" "$gen_id:2"; do
  n=$(grep -c "^ *ID: *${want%:*}\$" objects.txt)
  [ "$n" -eq "${want#*:}" ] || { cat objects.txt; fail "ID ${want%:*} is on $n objects, not ${want#*:}"; }
done
p11 --read-object --type cert --id "$pfx_id" -o back.der >/dev/null 2>&1 &&
  openssl x509 -inform DER -in back.der -noout -subject | grep -q "CN *= *ids-holder" ||
  fail "the imported certificate is not at its key's ID"

# NSS pairs every key with its own certificate, and lists the card's.
rm -rf nss && mkdir nss && certutil -N -d sql:nss --empty-password &&
  modutil -dbdir sql:nss -add p11kit -libfile /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so -force \
    >/dev/null 2>&1 || fail "making the NSS database"
certutil -L -h card -d sql:nss -f pin.txt >nss.txt 2>&1
for name in "cert 01" "cert 02" "cert 03" pfx; do
  grep -q "^card:$name " nss.txt || { cat nss.txt; fail "NSS does not list the certificate card:$name"; }
done
# Each key once, by its own ID.
certutil -K -h card -d sql:nss -f pin.txt >nss.txt 2>&1
for id in 01 02 03 "$pfx_id" "$gen_id"; do
  [ "$(grep -Ec "rsa +$id " nss.txt)" -eq 1 ] || { cat nss.txt; fail "NSS does not list the key $id once"; }
done
# NSS signs with the key it pairs with each certificate (CMS through the
# certificate's nickname): OpenSSL verifies each signature with the
# certificate it names, which is that certificate.
certutil -A -d sql:nss -n ids-CA -t "CT,CT,CT" -i ca.pem || fail "adding the CA to NSS"
for pair in "cert 01:issued 01" "cert 02:issued 02" "cert 03:issued 03" "pfx:ids-holder"; do
  printf 'signed by %s\n' "${pair%%:*}" >cms.txt
  rm -f cms.p7 signer.pem
  cmsutil -S -N "card:${pair%%:*}" -i cms.txt -o cms.p7 -d sql:nss -f pin.txt >nss.txt 2>&1
  openssl cms -verify -noverify -inform DER -in cms.p7 -signer signer.pem -out /dev/null 2>>nss.txt &&
    openssl x509 -in signer.pem -noout -subject | grep -q "CN *= *${pair#*:}\$" ||
    { cat nss.txt; fail "NSS does not sign with the key of card:${pair%%:*}"; }
done

# The tool still finds each container by the name it had, and signs with
# the key of that name.
printf 'ids\n' >data.txt
expect 0 sign data.txt --provider "$provider" --container '\\.\card\pfx' --pin-file pin.txt --out sig.bin
openssl x509 -in ee.pem -noout -pubkey >ee.pub &&
  openssl dgst -sha256 -verify ee.pub -signature sig.bin data.txt >/dev/null || fail "the pfx key's signature"
expect 0 sign data.txt --provider "$provider" --container '\\.\card\issued 02' --pin-file pin.txt --out sig.bin
openssl pkey -pubin -inform DER -in pub02.der -out pub02.pem &&
  openssl dgst -sha256 -verify pub02.pem -signature sig.bin data.txt >/dev/null || fail "the card key 02's signature"
echo "token id checks held"
