#!/bin/sh
# Issues a card as issuers do, in a SoftHSM2 token store of its own:
# Usage: issue-card.sh DIR
# DIR/softhsm2.conf names DIR/tokens; with no further argument the store is
# left without a token. With "card", a token "Bench card" (user PIN 123456)
# gets an RSA-2048 key pair generated on it (CKA_ID 45, label "Card signing
# key") and, written beside it with the same CKA_ID and label, a certificate
# for its public key signed by a throwaway CA; the certificate is also left
# in DIR/card.der.
set -eu
dir=$1
module=/usr/lib/softhsm/libsofthsm2.so
mkdir -p "$dir/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" \
  >"$dir/softhsm2.conf"
[ "${2:-}" = card ] || exit 0
SOFTHSM2_CONF=$dir/softhsm2.conf
export SOFTHSM2_CONF
cd "$dir"
softhsm2-util --init-token --free --label "Bench card" --pin 123456 --so-pin 654321 >/dev/null
p11() { pkcs11-tool --module "$module" --token-label "Bench card" --login --pin 123456 "$@" >/dev/null 2>&1; }
p11 --keypairgen --key-type rsa:2048 --id 45 --label "Card signing key"
p11 --read-object --type pubkey --id 45 -o pub.der
openssl pkey -pubin -inform DER -in pub.der -out pub.pem
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=Bench-CA -days 30 2>/dev/null
openssl req -new -key ca.key -subj "/CN=Bench card holder" -out card.csr
openssl x509 -req -in card.csr -force_pubkey pub.pem -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
  -outform DER -out card.der 2>/dev/null
p11 --write-object card.der --type cert --id 45 --label "Card signing key"
