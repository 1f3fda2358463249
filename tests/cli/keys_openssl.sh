#!/bin/sh
# The key commands against OpenSSL: a signature from `mscapi sign` verifies
# with `openssl dgst -verify` and the public key `genkey` printed; a PKCS#8
# key from `openssl genpkey` imports (with a PIN file on the token) and
# exports back as the same key; bad usage exits 2, library failures 1.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
printf 'some data to sign\n' > data.txt

"$launcher" genkey --container cli --bits 2048 --out pub.pem || fail "genkey failed"
"$launcher" sign data.txt --container cli --hash sha256 --out sig.bin || fail "sign failed"
openssl dgst -sha256 -verify pub.pem -signature sig.bin data.txt >/dev/null || fail "openssl rejects the signature"
hex=$("$launcher" sign data.txt --container cli --hash sha1) || fail "sign (hex) failed"
echo "$hex" | grep -Eq '^[0-9a-f]{512}$' || fail "not 256 bytes of hex: $hex"
"$launcher" genkey --container cli >/dev/null 2>err.txt; [ $? -eq 1 ] || fail "second genkey did not fail with 1"
grep -q "Failed to generate key pair!" err.txt || fail "message missing"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out key.pem 2>/dev/null || fail "openssl genpkey"
printf '2468\n' > pin.txt
"$launcher" import key.pem --container imported --provider "Soft Token RSA Provider" --pin-file pin.txt ||
  fail "import failed"
"$launcher" export --container imported --provider "Soft Token RSA Provider" --out back.pem 2>err.txt &&
  fail "export without the PIN succeeded"
grep -q "Private key export failed !" err.txt || fail "export message missing"
"$launcher" export --container imported --provider "Soft Token RSA Provider" --pin-file pin.txt --unencrypted \
  --out back.pem ||
  fail "export failed"
[ "$(openssl pkey -in key.pem -outform DER | od -An -tx1)" = "$(openssl pkey -in back.pem -outform DER | od -An -tx1)" ] ||
  fail "exported key differs from the imported one"
"$launcher" sign data.txt --container imported --provider "Soft Token RSA Provider" --pin-file pin.txt --out sig2.bin ||
  fail "sign with the PIN failed"
openssl pkey -in key.pem -pubout -out pub2.pem 2>/dev/null
openssl dgst -sha256 -verify pub2.pem -signature sig2.bin data.txt >/dev/null || fail "openssl rejects the PIN signature"
printf 'wrong\n' > bad.txt
"$launcher" sign data.txt --container imported --provider "Soft Token RSA Provider" --pin-file bad.txt 2>err.txt
[ $? -eq 1 ] || fail "wrong PIN did not fail with 1"
grep -q "SSLRuntimeException04" err.txt || fail "refused PIN message missing"

"$launcher" delkey --container cli || fail "delkey failed"
"$launcher" delkey --container cli 2>err.txt; [ $? -eq 1 ] || fail "second delkey did not fail with 1"
grep -q "Key container not found!" err.txt || fail "delkey message missing"
"$launcher" sign data.txt --container imported --hash whirlpool >/dev/null 2>&1; [ $? -eq 2 ] || fail "bad --hash not a usage error"
"$launcher" genkey >/dev/null 2>&1; [ $? -eq 2 ] || fail "missing --container not a usage error"
echo "key command checks held"
