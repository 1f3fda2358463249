#!/bin/sh
# A certificate's life for a stored key, checked with openssl: req makes a
# request openssl verifies, selfsign a certificate with the asked subject
# and lifetime; addcert MY binds to the container with the certificate's
# public key and refuses a mismatch; delkey keeps bound certificates from
# dangling; sign and verify choose the key by container or thumbprint, and
# sign --thumbprint signs only with the certificate's own key.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
sha1_of() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }
cd "$home" || exit 1
printf 'a message\n' >msg

expect 0 genkey --container alpha --bits 1024 --out alpha.pub
expect 0 genkey --container beta --bits 1024 --spec exchange --out beta.pub

# ---- req: verified by openssl, the subject in the asked order, alpha's key --
for dn in "CN=Alpha Request,O=Example,C=DE" "/C=DE/O=Example/CN=Alpha Request"; do
  expect 0 req --container alpha --subject "$dn" --out alpha.csr
  openssl req -in alpha.csr -verify -noout 2>/dev/null || fail "openssl rejects the request for $dn"
  [ "$(openssl req -in alpha.csr -noout -subject -nameopt RFC2253)" = "subject=CN=Alpha Request,O=Example,C=DE" ] ||
    fail "subject of $dn: $(openssl req -in alpha.csr -noout -subject -nameopt RFC2253)"
  [ "$(openssl req -in alpha.csr -noout -pubkey)" = "$(cat alpha.pub)" ] || fail "the request holds another key"
done
expect 0 req --container alpha --subject "CN=To stdout" --hash sha512
has out "BEGIN CERTIFICATE REQUEST"
openssl req -in out -noout -text | grep -q "sha512WithRSAEncryption" || fail "--hash sha512 not used"
expect 2 req --container alpha --subject "no equals sign"
has err "not a distinguished name"
expect 2 req --container alpha
has err "--subject"
expect 1 req --container nowhere --subject "CN=x"
has err 'nowhere'

# ---- selfsign: subject, lifetime, key usage, the signature ------------------
expect 0 selfsign --container alpha --subject "CN=Alpha Self,O=Example" --days 10 --out alpha.crt
openssl x509 -in alpha.crt -noout -text >text.txt || fail "openssl x509 -text"
has text.txt "Subject: O = Example, CN = Alpha Self"
has text.txt "Issuer: O = Example, CN = Alpha Self"
has text.txt "Digital Signature"
openssl verify -CAfile alpha.crt alpha.crt >/dev/null 2>&1 || fail "openssl rejects the self-signed certificate"
start=$(date -d "$(openssl x509 -in alpha.crt -noout -startdate | sed 's/.*=//')" +%s)
end=$(date -d "$(openssl x509 -in alpha.crt -noout -enddate | sed 's/.*=//')" +%s)
now=$(date +%s)
[ "$start" -le "$now" ] || fail "not yet valid"
days=$(( (end - now + 3600) / 86400 ))
[ "$days" -eq 10 ] || fail "--days 10 gave $days days"
expect 2 selfsign --container alpha --subject "CN=x"
has err "--days"
expect 2 selfsign --container alpha --subject "CN=x" --days 0
expect 2 selfsign --container alpha --subject "CN=x" --days 1 --hash md5

# selfsign --add MY binds it to the key; sign by its thumbprint.
expect 0 selfsign --container alpha --subject "CN=Alpha Bound" --days 5 --add MY --friendly-name "alpha cert" --out bound.crt
bound=$(sha1_of bound.crt)
has out "SHA-1 $bound"
expect 0 certs MY
has out "$bound"
has out "alpha cert"
expect 0 sign msg --thumbprint "$bound" --out msg.sig
openssl x509 -in bound.crt -pubkey -noout >bound.pub
openssl dgst -sha256 -verify bound.pub -signature msg.sig msg >/dev/null || fail "openssl rejects sign --thumbprint"
expect 2 sign msg --thumbprint "$bound" --container alpha
expect 2 sign msg --thumbprint "not-hex"
expect 1 sign msg --thumbprint 0000000000000000000000000000000000000000
has err "no certificate with thumbprint"

# ---- verify: by certificate, public key, container, thumbprint; hex or raw --
for key in "--cert bound.crt" "--pubkey bound.pub" "--pubkey alpha.pub" "--container alpha" "--thumbprint $bound"; do
  # shellcheck disable=SC2086
  expect 0 verify msg --signature msg.sig $key
  has out "signature verified"
done
expect 0 sign msg --container alpha --hash sha384
cp out msg.hex
expect 0 verify msg --signature msg.hex --pubkey alpha.pub --hash sha384
expect 1 verify msg --signature msg.hex --pubkey alpha.pub
has err "does not verify"
expect 1 verify msg --signature msg.sig --pubkey beta.pub
has err "does not verify"
printf 'a message, changed\n' >changed
expect 1 verify changed --signature msg.sig --cert bound.crt
has err "does not verify"
expect 2 verify msg --signature msg.sig
expect 2 verify msg --signature msg.sig --cert bound.crt --pubkey bound.pub
expect 1 verify msg --signature msg.sig --pubkey msg
has err "not a certificate or public key"

# ---- addcert MY: bound by public key, mismatches refused --------------------
expect 0 req --container beta --spec exchange --subject "CN=Beta" --out beta.csr
# openssl signs beta's request with a CA of its own: a certificate for a
# stored key that the tool did not make.
openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -subj "/CN=Life CA" -days 5 -out ca.crt 2>/dev/null
openssl x509 -req -in beta.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 5 -out beta.crt 2>/dev/null ||
  fail "openssl x509 -req"
beta_sha1=$(sha1_of beta.crt)
expect 1 addcert MY beta.crt --container alpha
has err 'is not the key of container alpha'
expect 0 certs MY
hasnt out "$beta_sha1"
expect 0 addcert MY beta.crt
has out 'bound to container beta'
has out "(exchange)"
expect 0 sign msg --thumbprint "$beta_sha1" --out beta.sig
expect 0 verify msg --signature beta.sig --cert beta.crt
# A certificate whose key is stored nowhere: refused, or bound with --force.
expect 1 addcert MY ca.crt
has err "no stored key matches"
expect 0 addcert MY ca.crt --container alpha --force
has out "does not match"
# Its container holds another key than the certificate's (as one made again
# under the same name would): sign --thumbprint refuses, naming it, and
# writes no signature.
expect 1 sign msg --thumbprint "$(sha1_of ca.crt)" --out ca.sig
has err 'key container "alpha" holds another key than its certificate'"'"'s (NTE_BAD_PUBLIC_KEY)'
[ ! -e ca.sig ] || fail "a signature by another key than the certificate's was written"

# ---- delkey: bound certificates go with --with-certs or not at all ----------
expect 1 delkey --container alpha
has err "--with-certs"
has err "$bound"
expect 0 keys
has out "alpha"
expect 0 delkey --container ALPHA --with-certs
has out "deleted certificate SHA-1 $bound"
expect 0 certs MY
hasnt out "$bound"
has out "$beta_sha1"
expect 0 keys
hasnt out "alpha"
expect 0 delkey --container beta --with-certs
expect 0 certs MY
hasnt out "$beta_sha1"

# ---- a token key with a PIN signs requests only with it ---------------------
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out tok.key 2>/dev/null
echo 4321 >pin
token="Soft Token RSA Provider"
expect 0 import tok.key --container card --provider "$token" --pin-file pin
expect 1 req --container card --provider "$token" --subject "CN=Card"
expect 0 req --container card --provider "$token" --subject "CN=Card" --pin-file pin --out card.csr
openssl req -in card.csr -verify -noout 2>/dev/null || fail "openssl rejects the token's request"
echo "certificate life checks held"
