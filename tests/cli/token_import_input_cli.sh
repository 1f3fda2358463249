#!/bin/sh
# mscapi-admin token import refuses a request that is not exactly what it
# says: a certificate whose DER header claims more bytes than it holds (+120,
# +6000, +200000) or that is cut short, bytes after the key's DER, text after
# base64, data after the JSON document, a "pin" that is not a string. Each is
# refused with a one-line cause, before the PIN prompt runs, and leaves no
# object of that container on the token (listed by pkcs11-tool). In the
# sanitizer build, ASan watches every read of mscapi-admin.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
cd "$home" || exit 1
admin=$(dirname "$launcher")/mscapi-admin
provider="SoftHSM2 Token RSA Provider"
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
# The registered prompt notes each run: no refused request may reach it.
printf '#!/bin/sh\necho asked >>"%s/prompted.txt"\ncat "%s/pin.txt"\n' "$home" "$home" >prompt.sh &&
  chmod 700 prompt.sh
export SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf"
expect 0 token init --label inputs --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"

openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -outform DER -out cert.der -subj /CN=input-check \
  -days 30 2>/dev/null && openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out key.der ||
  fail "making the key and its certificate"
# A 2048-bit certificate's header is 30 82 HH LL: its length in two bytes.
[ "$(od -An -tx1 -N2 cert.der | tr -d ' ')" = 3082 ] || fail "the certificate's header is not 30 82"
size=$(wc -c <cert.der)
body=$((size - 4))

byte() { printf "\\$(printf %03o "$1")"; }
# The certificate with its outer length set to the body's plus $1 (its header
# grows to 30 83 when that needs three bytes).
claiming() {
  n=$((body + $1))
  if [ "$n" -lt 65536 ]; then
    printf '\060\202'; byte $((n >> 8)); byte $((n & 255))
  else
    printf '\060\203'; byte $((n >> 16)); byte $(((n >> 8) & 255)); byte $((n & 255))
  fi
  tail -c +5 cert.der
}
claiming 120 >plus120.der
claiming 6000 >plus6000.der
claiming 200000 >plus200000.der
head -c $((size - 5)) cert.der >short5.der
{ cat key.der; printf 'xyz'; } >keytail.der
openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -outform DER -out other.der -subj /CN=other \
  -days 30 2>/dev/null || fail "making another key's certificate"
key=$(base64 -w0 key.der)
cert=$(base64 -w0 cert.der)
request() { printf '{"pin": %s, "key": "%s", "certificate": "%s"}' "$1" "$2" "$3"; }

# name | the request | the cause (a part of it)
while IFS='|' read -r name make cause; do
  eval "$make" >"$name.json"
  "$admin" token import --provider "$provider" --container "$name" --json <"$name.json" >out 2>err
  rc=$?
  [ "$rc" -eq 2 ] || { cat out err; fail "$name: token import gave $rc, expected 2"; }
  has err "$cause"
  [ -z "${VERBOSE_CAUSES:-}" ] || cat err
  [ "$(wc -l <err)" -eq 1 ] || { cat err; fail "$name: the cause is not one line"; }
  pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label inputs --list-objects --login \
    --pin 1357 >objects.txt 2>&1 || { cat objects.txt; fail "$name: pkcs11-tool cannot list the token"; }
  ! grep -q "label: *$name\$" objects.txt || { cat objects.txt; fail "$name: objects of the container stayed"; }
done <<'TABLE'
plus120|request '"1357"' "$key" "$(base64 -w0 plus120.der)"|"certificate"'s DER header claims
plus6000|request '"1357"' "$key" "$(base64 -w0 plus6000.der)"|6000 more than it holds
plus200000|request '"1357"' "$key" "$(base64 -w0 plus200000.der)"|200000 more than it holds
short5|request '"1357"' "$key" "$(base64 -w0 short5.der)"|5 more than it holds
keytail|request '"1357"' "$(base64 -w0 keytail.der)" "$cert"|"key" has 3 byte(s) after its DER element
b64tail|request '"1357"' "$key=QQ==" "$cert"|"key" has text after its base64 padding
b64junk|request '"1357"' "$key" "$cert#"|"certificate" is not base64: a character that is not base64
jsontail|{ request '"1357"' "$key" "$cert"; printf ' x'; }|data after its JSON document
jsontwo|{ request '"1357"' "$key" "$cert"; printf '{}'; }|data after its JSON document
pinnumber|request 1357 "$key" "$cert"|"pin" is not a string (it is number)
pinnull|request null "$key" "$cert"|"pin" is not a string (it is null)
foreign|request '"1357"' "$key" "$(base64 -w0 other.der)"|"certificate" is not the key's
TABLE
[ ! -e prompted.txt ] || fail "a refused request ran the PIN prompt"
[ "$(grep -c 'Private Key Object\|Certificate Object\|Data object' objects.txt)" -eq 0 ] ||
  { cat objects.txt; fail "the token holds objects after refused requests only"; }

# The same key and certificate, well formed, are stored (so the checks above could fail).
request '"1357"' "$key" "$cert" | "$admin" token import --provider "$provider" --container good --json >out 2>err ||
  { cat out err; fail "a well-formed request was refused"; }
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label inputs --list-objects --login --pin 1357 \
  >objects.txt 2>&1
[ "$(grep -c "label: *good\$" objects.txt)" -ge 3 ] || { cat objects.txt; fail "the good request's objects are missing"; }
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label inputs --read-object --type cert \
  --label good -o back.der >/dev/null 2>&1 && cmp -s back.der cert.der ||
  fail "the certificate on the token is not the one given"
echo "token import input checks held"
