#!/bin/sh
# Key and certificate formats in and out of the tool, each checked with
# openssl or keytool: every private key format openssl writes imports and
# exports back as the same key; exported keys and PFX files are created with
# mode 0600, refuse to overwrite without --force and are encrypted unless
# --unencrypted; PFX files come and go with their chain and friendly name;
# addcert takes bundles and PKCS#7 and says what was there already.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
der_of() { openssl pkey -in "$1" -passin "file:$home/pw" -outform DER 2>/dev/null | od -An -tx1; }
cd "$home" || exit 1
echo 'correct horse' >pw
echo 'wrong horse' >badpw

# ---- every private key format, in and back out ------------------------------
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out key.pem 2>/dev/null || fail "openssl genpkey"
openssl req -x509 -key key.pem -subj "/CN=Formats Leaf" -days 5 -out key.crt 2>/dev/null || fail "openssl req"
openssl pkey -in key.pem -outform DER -out pkcs8.der
openssl pkcs8 -topk8 -in key.pem -v2 aes-256-cbc -passout file:pw -out pkcs8enc.pem
openssl pkcs8 -topk8 -in key.pem -v2 aes-128-cbc -passout file:pw -outform DER -out pkcs8enc.der
openssl pkcs8 -topk8 -in key.pem -scrypt -passout file:pw -out pkcs8scrypt.pem
openssl pkcs8 -topk8 -in key.pem -v1 PBE-SHA1-3DES -passout file:pw -out pkcs8v1.pem
openssl rsa -in key.pem -traditional -out pkcs1.pem 2>/dev/null
openssl rsa -in key.pem -traditional -outform DER -out pkcs1.der 2>/dev/null
openssl rsa -in key.pem -traditional -aes256 -passout file:pw -out pkcs1enc.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in key.crt -passout file:pw -out key.p12 || fail "openssl pkcs12"
openssl pkcs12 -export -inkey key.pem -in key.crt -passout file:pw -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES \
  -macalg sha1 -out key3des.pfx || fail "openssl pkcs12 (3DES)"
openssl pkcs12 -export -legacy -inkey key.pem -in key.crt -passout file:pw -out keyrc2.p12 ||
  fail "openssl pkcs12 -legacy (RC2-40 certificates)"
grep -q "BEGIN RSA PRIVATE KEY" pkcs1.pem && grep -q "DEK-Info" pkcs1enc.pem || fail "not the PKCS#1 forms"
keyder=$(der_of key.pem)
for f in key.pem pkcs8.der pkcs8enc.pem pkcs8enc.der pkcs8scrypt.pem pkcs8v1.pem pkcs1.pem pkcs1.der pkcs1enc.pem key.p12 key3des.pfx keyrc2.p12; do
  c="c-$f"
  expect 0 import "$f" --container "$c" --password-file pw
  expect 0 export --container "$c" --unencrypted --out "$f.out"
  [ "$(mode "$f.out")" = 600 ] || fail "$f.out has mode $(mode "$f.out")"
  [ "$(der_of "$f.out")" = "$keyder" ] || fail "$f: the exported key is not the imported one"
done

# Wrong passwords, damaged and foreign files: failures that say what is wrong.
for f in pkcs8enc.pem pkcs8enc.der pkcs8scrypt.pem pkcs1enc.pem key.p12; do
  expect 1 import "$f" --container "bad-$f" --password-file badpw
  has err "the password was refused"
done
expect 2 import pkcs8enc.pem --container nopw
has err "give --password-file"
head -c 300 key.pem >cut.pem
expect 1 import cut.pem --container cut
has err "ends early"
expect 1 import key.crt --container notakey
has err "not a private key"
expect 1 import nofile.pem --container none
has err "file not found: nofile.pem"
expect 1 import-pfx key.pem
has err "not a PKCS#12"

# ---- export: encrypted by default, 0600 from creation, no silent overwrite --
expect 0 export --container c-key.pem --password-file pw --out enc.pem
[ "$(mode enc.pem)" = 600 ] || fail "enc.pem has mode $(mode enc.pem)"
has_file enc.pem "BEGIN ENCRYPTED PRIVATE KEY"
openssl asn1parse -in enc.pem >asn1.txt || fail "asn1parse"
has_file asn1.txt PBES2
has_file asn1.txt aes-256-cbc
has_file asn1.txt hmacWithSHA256
[ "$(der_of enc.pem)" = "$keyder" ] || fail "openssl does not read the encrypted export back as the key"
openssl pkey -in enc.pem -passin file:badpw -noout 2>/dev/null && fail "the export opens with a wrong password"
expect 2 export --container c-key.pem --out plain.pem
has err "give --password-file"
[ -e plain.pem ] && fail "a refused export left a file"
expect 2 export --container c-key.pem --unencrypted --password-file pw
# To standard output only with --unencrypted or a password, too.
expect 0 export --container c-key.pem --unencrypted
has out "BEGIN PRIVATE KEY"
echo "not a key" >taken.pem
chmod 644 taken.pem
expect 1 export --container c-key.pem --unencrypted --out taken.pem
has err "exists already (give --force"
[ "$(cat taken.pem)" = "not a key" ] || fail "an existing file was overwritten without --force"
(umask 000 && "$launcher" export --container c-key.pem --unencrypted --out taken.pem --force) ||
  fail "export --force failed"
[ "$(mode taken.pem)" = 600 ] || fail "a replaced key file has mode $(mode taken.pem)"
[ "$(der_of taken.pem)" = "$keyder" ] || fail "export --force wrote something else"
(umask 000 && "$launcher" export --container c-key.pem --password-file pw --out umask0.pem) || fail "export, umask 0"
[ "$(mode umask0.pem)" = 600 ] || fail "with umask 0 the key file has mode $(mode umask0.pem)"

# ---- PFX with a chain: import-pfx, sign, export-pfx --------------------------
openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -subj "/CN=Formats Root CA" -days 5 -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE 2>/dev/null || fail "CA"
openssl req -newkey rsa:1024 -nodes -keyout leaf.key -subj "/CN=Formats Signed Leaf" -out leaf.csr 2>/dev/null
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 5 -out leaf.pem 2>/dev/null ||
  fail "leaf"
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -name "Mixed Case Name" -passout file:pw \
  -out chain.pfx || fail "openssl pkcs12 -export (chain)"
leaf_sha1=$(openssl x509 -in leaf.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
ca_sha1=$(openssl x509 -in ca.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
expect 1 import-pfx chain.pfx --password-file badpw
has err "the password was refused"
expect 0 import-pfx chain.pfx --password-file pw
has out "certificate: added to MY, SHA-1 $leaf_sha1, friendly name \"Mixed Case Name\""
has out "chain: 1 added to CA"
expect 0 certs MY
has out "$leaf_sha1"
has out "Mixed Case Name"
expect 0 certs CA
has out "$ca_sha1"
printf 'the acceptance message\n' >msg.txt
expect 0 sign msg.txt --thumbprint "$leaf_sha1" --out msg.sig
openssl x509 -in leaf.pem -pubkey -noout >leaf.pub
openssl dgst -sha256 -verify leaf.pub -signature msg.sig msg.txt >/dev/null || fail "openssl rejects the signature"
# A PFX whose key bag is not encrypted (openssl -keypbe NONE) is read, and
# its key signs for its certificate.
openssl req -x509 -newkey rsa:2048 -nodes -keyout plain.key -out plain.pem -subj /CN=plain-bag -days 2 2>/dev/null &&
  openssl pkcs12 -export -inkey plain.key -in plain.pem -keypbe NONE -certpbe NONE -passout file:pw \
    -out plain.pfx || fail "making a PFX with a plain key bag"
plain_sha1=$(openssl x509 -in plain.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
expect 0 import-pfx plain.pfx --container plainbag --password-file pw
has out "$plain_sha1"
expect 0 sign msg.txt --thumbprint "$plain_sha1" --out plain.sig
openssl x509 -in plain.pem -pubkey -noout >plain.pub
openssl dgst -sha256 -verify plain.pub -signature plain.sig msg.txt >/dev/null ||
  fail "openssl rejects the plain key bag's signature"
expect 0 delcert MY --thumbprint "$plain_sha1"
expect 0 delkey --container plainbag

# The same PFX again: refused before a second container is made.
expect 0 keys
keys_before=$(wc -l <out)
expect 1 import-pfx chain.pfx --password-file pw
has err "is in MY already"
expect 0 keys
[ "$(wc -l <out)" -eq "$keys_before" ] || fail "a refused import-pfx left a container"
# A PFX without a friendly name (and an empty password) gives none, not one made up.
openssl pkcs12 -export -inkey key.pem -in key.crt -passout pass: -out noname.pfx || fail "openssl pkcs12 (no name)"
: >empty
expect 0 import-pfx noname.pfx --password-file empty --container noname
hasnt out "friendly name"

expect 0 export-pfx --thumbprint "$leaf_sha1" --password-file pw --out back.pfx
has out "and 1 more of its chain"
[ "$(mode back.pfx)" = 600 ] || fail "back.pfx has mode $(mode back.pfx)"
openssl pkcs12 -info -in back.pfx -passin file:pw -nodes >info.txt 2>&1 || fail "openssl cannot read back.pfx"
has_file info.txt "MAC: sha256"
[ "$(grep -c "PBES2, PBKDF2, AES-256-CBC" info.txt)" -eq 2 ] || fail "key and certificates not both AES-256/PBKDF2"
[ "$(grep -c "^subject=" info.txt)" -eq 2 ] || fail "not the certificate and its issuer"
has_file info.txt "friendlyName: Mixed Case Name"
[ "$(openssl pkey -in info.txt -outform DER | od -An -tx1)" = "$(openssl pkey -in leaf.key -outform DER | od -An -tx1)" ] ||
  fail "back.pfx holds another key"
keytool -list -storetype PKCS12 -keystore back.pfx -storepass:file pw >keytool.txt 2>&1 || fail "keytool -list"
has_file keytool.txt "PrivateKeyEntry"
has_file keytool.txt "1 entry"
expect 1 export-pfx --thumbprint "$leaf_sha1" --password-file pw --out back.pfx
has err "exists already"
expect 2 export-pfx --thumbprint "$leaf_sha1" --out other.pfx
has err "give --password-file"
# An empty password is refused before any work: no file is written.
printf '\n' >empty.pw
expect 1 export-pfx --thumbprint "$leaf_sha1" --password-file empty.pw --out empty.pfx
has err "password for the PFX is empty"
[ -e empty.pfx ] && fail "a PFX was written with an empty password"
# A key the token family made is never exportable.
expect 0 genkey --container tok --provider "Soft Token RSA Provider" --bits 1024
expect 0 selfsign --container tok --provider "Soft Token RSA Provider" --subject "CN=Token Self" --days 2 --add MY
tok_sha1=$(sed -n 's/.*SHA-1 \([0-9A-F]*\).*/\1/p' "$home/out")
expect 1 export-pfx --thumbprint "$tok_sha1" --password-file pw --out tok.pfx
has err "Private key export failed !"
[ -e tok.pfx ] && fail "a refused export-pfx left a file"

# A PFX into the token family: the key takes the PIN, and signing by
# thumbprint needs it.
openssl req -x509 -newkey rsa:1024 -nodes -keyout card.key -subj "/CN=Card PFX" -days 5 -out card.crt 2>/dev/null
openssl pkcs12 -export -inkey card.key -in card.crt -name card -passout file:pw -out card.pfx || fail "card.pfx"
echo 2468 >pin
card_sha1=$(openssl x509 -in card.crt -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
expect 0 import-pfx card.pfx --password-file pw --provider "Soft Token RSA Provider" --pin-file pin --spec exchange
has out '(exchange)'
expect 1 sign msg.txt --thumbprint "$card_sha1"
expect 0 sign msg.txt --thumbprint "$card_sha1" --pin-file pin --out card.sig
openssl x509 -in card.crt -pubkey -noout >card.pub
openssl dgst -sha256 -verify card.pub -signature card.sig msg.txt >/dev/null || fail "openssl rejects the token's signature"
expect 0 verify msg.txt --signature card.sig --thumbprint "$card_sha1"

# ---- addcert: bundles, DER and PKCS#7 ---------------------------------------
for n in 1 2 3; do
  openssl req -x509 -newkey rsa:1024 -nodes -keyout "b$n.key" -subj "/CN=Bundle $n" -days 5 -out "b$n.pem" 2>/dev/null
done
cat b1.pem b2.pem b3.pem >bundle.pem
openssl crl2pkcs7 -nocrl -certfile bundle.pem -outform DER -out bundle.p7b || fail "crl2pkcs7"
openssl crl2pkcs7 -nocrl -certfile bundle.pem -out bundle.p7c.pem || fail "crl2pkcs7 PEM"
openssl x509 -in b2.pem -outform DER -out b2.der
b2_sha1=$(openssl x509 -in b2.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
expect 0 addcert CA bundle.pem
has out "3 added, 0 already present"
expect 0 addcert CA bundle.pem
has out "0 added, 3 already present"
has out "already present: SHA-1 $b2_sha1"
expect 0 addcert ROOT b2.der
has out "1 added, 0 already present"
expect 0 addcert ROOT bundle.p7b
has out "2 added, 1 already present"
has out "already present: SHA-1 $b2_sha1"
expect 0 addcert AddressBook bundle.p7c.pem
has out "3 added, 0 already present"
expect 0 certs ROOT
for n in 1 2 3; do
  has out "$(openssl x509 -in "b$n.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
done
head -c 500 bundle.pem >cut-bundle.pem
expect 1 addcert CA cut-bundle.pem
has err "not a certificate (PEM ends early)"
expect 2 addcert CA bundle.pem --container x
echo "format checks held"
