#!/bin/sh
# What the tool's key commands leave on a token (a SoftHSM2 token of the
# home, read by pkcs11-tool) and in "MY" when they delete or fail:
# - delkey --with-certs, by the container's plain or full name, deletes the
#   copies in MY of the certificates written onto the token with the key;
# - genkey whose PIN prompt fails leaves no container (the retry fails the
#   same way, not with "already exists"), while a container that was there
#   before a refused genkey stays.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
provider="SoftHSM2 Token RSA Provider"
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
printf 'pfx secret\n' >pw.txt
# The registered prompt gives the PIN, or fails while the file "refuse" exists.
printf '#!/bin/sh\n[ ! -e "%s/refuse" ] || exit 1\ncat "%s/pin.txt"\n' "$home" "$home" >prompt.sh &&
  chmod 700 prompt.sh
export SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf"
expect 0 token init --label clean --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"

# The objects on the token labelled $1 (public ones: the container's marker, keys, certificates).
objects() {
  pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label clean --list-objects --login --pin 1357 \
    2>/dev/null | grep -c "label: *$1\$"
}

# delkey --with-certs by the name given to import-pfx (plain) and by the full name.
while read -r name given; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout $name.key -out $name.pem -subj "/CN=$name" -days 30 \
    2>/dev/null && openssl pkcs12 -export -inkey $name.key -in $name.pem -passout file:pw.txt -out $name.p12 ||
    fail "making $name.p12"
  thumb=$(openssl x509 -in $name.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  expect 0 import-pfx $name.p12 --provider "$provider" --container "$name" --pin-file pin.txt --password-file pw.txt
  expect 0 certs MY
  has out "SHA-1:         $thumb"
  expect 1 delkey --provider "$provider" --container "$given"
  has err "bound to container"
  expect 0 delkey --provider "$provider" --container "$given" --with-certs
  has out "deleted certificate SHA-1 $thumb from MY"
  expect 0 certs MY
  hasnt out "$thumb"
  [ "$(objects "$name")" -eq 0 ] || fail "objects labelled $name stayed on the token after delkey"
done <<'TABLE'
plain plain
full \\.\clean\full
TABLE

# genkey whose PIN prompt fails, twice: the same cause, nothing left on the token.
touch refuse
for round in 1 2; do
  expect 1 genkey --provider "$provider" --container made --bits 1024
  has err "PIN prompt"
  hasnt err "already exists"
  [ "$(objects made)" -eq 0 ] || fail "genkey left container 'made' on the token (round $round)"
done
rm refuse
expect 0 genkey --provider "$provider" --container made --bits 1024
[ "$(objects made)" -ge 2 ] || fail "genkey with a PIN made no keys"
# A container that was there before a refused genkey stays.
expect 1 genkey --provider "$provider" --container made --bits 1024
has err "already exists"
[ "$(objects made)" -ge 2 ] || fail "a refused genkey removed a container it did not make"
echo "token cleanup checks held"
