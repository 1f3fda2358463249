#!/bin/sh
# What the tool's key commands leave on a token (a SoftHSM2 token of the
# home, read by pkcs11-tool) and in "MY" when they delete or fail:
# - delkey --with-certs, by the container's plain or full name, deletes the
#   copies in MY of the certificates written onto the token with the key;
# - genkey whose PIN prompt fails leaves no container (the retry fails the
#   same way, not with "already exists"), while a container that was there
#   before a refused genkey stays;
# - token import killed with kill -9 while it runs leaves a container that
#   the next token import removes.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
provider="SoftHSM2 Token RSA Provider"
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
printf 'pfx secret\n' >pw.txt
# The registered prompt gives the PIN; it fails while the file "refuse"
# exists, and waits (after touching "waiting") while "hold" exists.
cat >prompt.sh <<EOF && chmod 700 prompt.sh
#!/bin/sh
[ ! -e "$home/refuse" ] || exit 1
if [ -e "$home/hold" ]; then
  touch "$home/waiting"
  while [ -e "$home/hold" ]; do sleep 0.1; done
fi
cat "$home/pin.txt"
EOF
export SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf"
expect 0 token init --label clean --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"

# How many objects on the token are labelled $1 (the container's marker, keys, certificates).
objects() {
  pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label clean --list-objects --login --pin 1357 \
    2>/dev/null | grep -cE "label: *'?$1'?\$"
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
# mscapi-admin token import killed (kill -9) in the middle: its container
# made, the key being stored (waiting for the PIN prompt). The next import
# removes what it left, and the name can be used again.
admin=$(dirname "$launcher")/mscapi-admin
openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -outform DER -out c.der -subj /CN=killed -days 30 \
  2>/dev/null && openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out k.der || fail "making a key"
printf '{"key": "%s", "certificate": "%s"}' "$(base64 -w0 k.der)" "$(base64 -w0 c.der)" >nopin.json
printf '{"pin": "1357", "key": "%s", "certificate": "%s"}' "$(base64 -w0 k.der)" "$(base64 -w0 c.der)" >pin.json
# Starts token import of container $1 and kills it (kill -9) while it waits for the PIN prompt.
killed_import() {
  rm -f waiting
  touch hold
  "$admin" token import --provider "$provider" --container "$1" --json <nopin.json >/dev/null 2>&1 &
  pid=$!
  i=0
  while [ ! -e waiting ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
  [ -e waiting ] || { kill -9 $pid; rm -f hold; fail "token import never reached the PIN prompt"; }
  kill -9 $pid
  wait $pid 2>/dev/null
  rm -f hold
}
killed_import killed
[ "$(objects killed)" -ge 1 ] || fail "the killed import had made no container (the test would prove nothing)"
"$admin" token import --provider "$provider" --container after --json <pin.json >out 2>err ||
  { cat out err; fail "the import after the killed one failed"; }
has err 'removing container "killed"'
[ "$(objects killed)" -eq 0 ] || fail "the killed import's container stayed"
"$admin" token import --provider "$provider" --container killed --json <pin.json >out 2>err ||
  { cat out err; fail "the killed import's name cannot be used again"; }
[ "$(objects killed)" -ge 3 ] || fail "the import under the killed one's name stored no key and certificate"
# A killed import's name taken again by another key before the next import: that container stays.
killed_import again
expect 0 delkey --provider "$provider" --container again
expect 0 genkey --provider "$provider" --container again --bits 1024
"$admin" token import --provider "$provider" --container later --json <pin.json >out 2>err ||
  { cat out err; fail "the import after the second killed one failed"; }
hasnt err 'removing container "again"'
[ "$(objects again)" -ge 3 ] || fail "a container made again under a killed import's name was removed"
echo "token cleanup checks held"
