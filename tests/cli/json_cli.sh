#!/bin/sh
# The listings for machines and for people: providers, keys, certs and check
# with --json, each parsed by a strict reader (JsonRead.java) and compared
# with what openssl says of the same keys and certificates; names that need
# escaping or are not ASCII; the human certificate listing's fields (validity,
# the mark of an expired certificate, SHA-1 and SHA-256, key usage, "has
# key", a friendly name cut at its first character outside Latin-1). The
# tool runs with LANG=C: what it prints must not depend on the locale.
set -u
launcher=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
tmp=$home
export LANG=C LC_ALL=C
run() { "$launcher" "$@" >"$tmp/out" 2>"$tmp/err" || { cat "$tmp/out" "$tmp/err"; fail "mscapi $*"; }; }
# json NAME CMD...: runs the tool, parses its output into $tmp/NAME.flat
json() {
  name=$1; shift
  run "$@"
  cp "$tmp/out" "$tmp/$name.json"
  java "$here/JsonRead.java" "$tmp/$name.json" >"$tmp/$name.flat" || { cat "$tmp/$name.json"; fail "$* --json: not JSON"; }
}
# field NAME PATH: the value of PATH in the parsed document
field() { awk -v p="$2=" 'index($0, p) == 1 { print substr($0, length(p) + 1); exit }' "$tmp/$1.flat"; }
expect_field() {
  got=$(field "$1" "$2")
  [ "$got" = "$3" ] || { cat "$tmp/$1.json"; fail "$1: $2 is '$got', expected '$3'"; }
}

# ---- providers: the same names as the human listing, in the same order,
# each with its family (the human listing's indented lines)
json providers providers --json
run providers
i=0
grep -v '^    ' "$tmp/out" | sed 's/    (first: the default when it is installed)$//' >"$tmp/providers.human"
while IFS= read -r name; do
  expect_field providers "providers[$i]" "$name"
  expect_field providers "details[$i].name" "$name"
  i=$((i + 1))
done <"$tmp/providers.human"
expect_field providers "providers.length" "$i"
# (the reader shows a backslash doubled)
grep '^    family: ' "$tmp/out" | sed -e 's/^    family: //' -e 's/\\/\\\\/g' >"$tmp/families.human"
i=0
while IFS= read -r family; do
  expect_field providers "details[$i].family" "$family"
  i=$((i + 1))
done <"$tmp/families.human"
# mscapi-admin's own listing, read by the same strict reader: every provider
# the tool lists is there with the same image, of the family the tool names.
"$(dirname "$launcher")/mscapi-admin" providers --json >"$tmp/admin.json" || fail "mscapi-admin providers --json"
java "$here/JsonRead.java" "$tmp/admin.json" >"$tmp/admin.flat" || { cat "$tmp/admin.json"; fail "mscapi-admin: not JSON"; }
i=0
while [ "$i" -lt "$(field providers providers.length)" ]; do
  name=$(field providers "details[$i].name")
  j=$(awk -v n="$name" 'index($0, "].name=") && substr($0, index($0, "=") + 1) == n {
    sub(/^providers\[/, ""); sub(/\].*/, ""); print; exit }' "$tmp/admin.flat")
  [ -n "$j" ] || { cat "$tmp/admin.json"; fail "mscapi-admin does not list $name"; }
  expect_field admin "providers[$j].image" "$(field providers "details[$i].image")"
  case $(field providers "details[$i].family")/$(field admin "providers[$j].family") in
    "software token with PINs ("*/token | "software ("*/software | "PKCS#11, module "*/pkcs11) ;;
    *) fail "the family of $name differs: tool $(field providers "details[$i].family"), admin $(field admin "providers[$j].family")" ;;
  esac
  i=$((i + 1))
done
expect_field admin "home" "$MSCAPI_HOME"

# ---- keys: a name with a quote, a backslash, a tab, a character beyond
# U+FFFF and Latin-1 letters comes back exactly; the modulus is the key's.
odd=$(printf 'a"b\\c\td\360\237\230\200\303\234n\303\257code')
run genkey --container "$odd" --bits 1024 --out "$tmp/odd.pub"
json keys keys --json
expect_field keys "keys.length" 1
expect_field keys "keys[0].container" "$(printf 'a"b\\\\c\\td\360\237\230\200\303\234n\303\257code')"
expect_field keys "keys[0].spec" signature
expect_field keys "keys[0].keySpec" 2
expect_field keys "keys[0].bits" 1024
expect_field keys "keys[0].publicExponent" 65537
modulus=$(openssl rsa -pubin -in "$tmp/odd.pub" -noout -modulus | sed 's/^Modulus=//' | tr 'A-F' 'a-f')
expect_field keys "keys[0].modulus" "$modulus"
grep -q '[^ -~]' "$tmp/keys.json" && fail "the JSON output is not ASCII"
run keys
grep -qF "$(printf '$\047a"b\\\\c\\td\360\237\230\200\303\234n\303\257code\047')" "$tmp/out" ||
  { cat "$tmp/out"; fail "the human listing does not show the name in UTF-8"; }

# ---- certs: a key in a container, its certificate (with key usage) in MY
# under a friendly name outside Latin-1; an expired certificate in CA.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$tmp/k.pem" 2>/dev/null || fail "genpkey"
run import "$tmp/k.pem" --container "Ünïcode"
openssl req -x509 -key "$tmp/k.pem" -out "$tmp/c.pem" -subj "/CN=Listed/O=Varnel Tests" -days 30 \
  -addext "keyUsage=critical,digitalSignature,keyEncipherment" 2>/dev/null || fail "openssl req"
run addcert MY "$tmp/c.pem" --friendly-name "Zoë ☃ snow"
TZ=UTC keytool -genkeypair -keystore "$tmp/old.p12" -storetype PKCS12 -storepass secret1 -alias old -keyalg RSA \
  -keysize 2048 -dname "CN=Old Root" -startdate "2001/01/01 00:00:00" -validity 30 >/dev/null 2>&1 || fail "keytool"
keytool -exportcert -keystore "$tmp/old.p12" -storepass secret1 -alias old -file "$tmp/old.der" >/dev/null 2>&1 ||
  fail "keytool -exportcert"
run addcert CA "$tmp/old.der"
run describe MY "$(printf 'line one\nline\001two\037')" --thumbprint "$(openssl x509 -in "$tmp/c.pem" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')"

json my certs MY --json
grep -q '[^ -~]' "$tmp/my.json" && fail "certs --json is not ASCII"
grep -qF '"line one\nline\u0001two\u001f"' "$tmp/my.json" || fail "control characters not escaped as JSON"
expect_field my "store" MY
expect_field my "certificates.length" 1
expect_field my "certificates[0].subject" "O=Varnel Tests,CN=Listed"
# The serial's bytes as the certificate encodes them: openssl prints the
# number, without the 00 that DER puts before a first byte of 80 or more.
serial=$(openssl x509 -in "$tmp/c.pem" -noout -serial | sed 's/^serial=//')
case $serial in [89A-F]*) serial=00$serial ;; esac
expect_field my "certificates[0].serial" "$serial"
expect_field my "certificates[0].sha1" "$(openssl x509 -in "$tmp/c.pem" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')"
expect_field my "certificates[0].sha256" "$(openssl x509 -in "$tmp/c.pem" -noout -fingerprint -sha256 | sed 's/^.*=//; s/://g')"
expect_field my "certificates[0].keyUsage[0]" digitalSignature
expect_field my "certificates[0].keyUsage[1]" keyEncipherment
expect_field my "certificates[0].keyUsage.length" 2
expect_field my "certificates[0].expired" false
expect_field my "certificates[0].friendlyName" "Zoë "
expect_field my "certificates[0].friendlyNameCut" true
expect_field my "certificates[0].description" "$(printf 'line one\\nline\001two\037')"
expect_field my "certificates[0].descriptionHex" "$(printf 'line one\nline\001two\037' | od -An -tx1 | tr -d ' \n')"
expect_field my "certificates[0].key.container" "Ünïcode"
expect_field my "certificates[0].key.keySpec" 2
expect_field my "certificates[0].hasKey" true
expect_field my "certificates[0].notAfter" \
  "$(date -u -d "$(openssl x509 -in "$tmp/c.pem" -noout -enddate | sed 's/^notAfter=//')" +%Y-%m-%dT%H:%M:%SZ)"
# The certificate the document carries is the one added.
field my "certificates[0].pem" | sed 's/\\n/\n/g' >"$tmp/back.pem"
cmp -s "$(openssl x509 -in "$tmp/back.pem" -outform DER -out "$tmp/back.der"; echo "$tmp/back.der")" \
  "$(openssl x509 -in "$tmp/c.pem" -outform DER -out "$tmp/c.der"; echo "$tmp/c.der")" ||
  fail "the pem field is not the certificate"

# Bound by --force to containers that do not hold its key: listed, and
# "has key" says why not.
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$tmp/f.key" -out "$tmp/f.pem" -subj "/CN=Forced" -days 3 \
  2>/dev/null || fail "openssl req"
run genkey --container other --bits 1024
run addcert MY "$tmp/f.pem" --container other --force
json forced certs MY --json
expect_field forced "certificates.length" 2
expect_field forced "certificates[0].subject" "CN=Forced"
expect_field forced "certificates[0].hasKey" false
expect_field forced "certificates[0].hasKeyReason" 'the key in container other is another key'
expect_field forced "certificates[1].hasKey" true
run delcert MY --thumbprint "$(openssl x509 -in "$tmp/f.pem" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')"

json ca certs ca --json
expect_field ca "store" CA
expect_field ca "certificates[0].subject" "CN=Old Root"
expect_field ca "certificates[0].expired" true
expect_field ca "certificates[0].notBefore" "2001-01-01T00:00:00Z"
expect_field ca "certificates[0].key" null
expect_field ca "certificates[0].hasKey" false
expect_field ca "certificates[0].friendlyNameCut" false

json empty certs Varnel --json
expect_field empty "certificates" "[]"

# The same for people.
run certs MY
for want in "subject:       O=Varnel Tests,CN=Listed" "SHA-256:       $(field my 'certificates[0].sha256')" \
  "key usage:     digitalSignature, keyEncipherment" "friendly name: Zoë    (cut: " "has key:       yes" \
  "key:           Microsoft Base Cryptographic Provider v1.0 / Ünïcode / spec 2" "valid to:      "; do
  grep -qF -- "$want" "$tmp/out" || { cat "$tmp/out"; fail "certs MY does not show '$want'"; }
done
grep -q "EXPIRED" "$tmp/out" && fail "a valid certificate is marked expired"
grep -qF "description:   hex 6c696e65206f6e650a6c696e650174776f1f" "$tmp/out" ||
  { cat "$tmp/out"; fail "a description with control characters is not shown in hex"; }
run certs CA
grep -q "valid to:      2001-01-31 .*\*\* EXPIRED \*\*" "$tmp/out" || { cat "$tmp/out"; fail "no expired mark"; }
grep -qF "has key:       no" "$tmp/out" || fail "CA shows a key"

# delkey --with-certs takes the bound certificate with the key.
run delkey --container "Ünïcode" --with-certs
run certs MY
grep -q "^0 certificates in MY" "$tmp/out" || { cat "$tmp/out"; fail "certs left after delkey --with-certs"; }

# ---- check --json
json check check --json
expect_field check "problems" 0
expect_field check "home" "$MSCAPI_HOME"
grep -qF "findings[" "$tmp/check.flat" || fail "check --json has no findings"
grep -q "^findings\[[0-9]*\]\.level=ok$" "$tmp/check.flat" || fail "no ok finding"
grep -qF "$(printf 'software container "a"b\\\\c\\td\360\237\230\200\303\234n\303\257code" spec 2')" \
  "$tmp/check.flat" || { cat "$tmp/check.json"; fail "check --json does not name the container"; }
chmod 0644 "$MSCAPI_HOME/keys.db"
"$launcher" check --json >"$tmp/check2.json" 2>/dev/null && fail "check --json passed an open keys.db"
java "$here/JsonRead.java" "$tmp/check2.json" >"$tmp/check2.flat" || fail "check --json with a problem: not JSON"
expect_field check2 "problems" 1
grep -q "^findings\[[0-9]*\].level=problem$" "$tmp/check2.flat" || fail "no problem finding"
# ---- the home and where it came from, as mscapi-admin tells the tool:
# MSCAPI_HOME, else XDG_DATA_HOME/mscapi, else ~/.local/share/mscapi.
admin=$(dirname "$launcher")/mscapi-admin
for origin in MSCAPI_HOME XDG_DATA_HOME default; do
  case $origin in
    MSCAPI_HOME) set -- env MSCAPI_HOME="$tmp/a" XDG_DATA_HOME="$tmp/x" HOME="$tmp/u"
      want=$tmp/a shown="$tmp/a (MSCAPI_HOME)" ;;
    XDG_DATA_HOME) set -- env -u MSCAPI_HOME XDG_DATA_HOME="$tmp/x" HOME="$tmp/u"
      want=$tmp/x/mscapi shown=$tmp/x/mscapi ;;
    default) set -- env -u MSCAPI_HOME -u XDG_DATA_HOME HOME="$tmp/u"
      want=$tmp/u/.local/share/mscapi shown=$tmp/u/.local/share/mscapi ;;
  esac
  "$@" "$admin" home --json >"$tmp/home.json" || fail "mscapi-admin home --json ($origin)"
  java "$here/JsonRead.java" "$tmp/home.json" >"$tmp/home.flat" || { cat "$tmp/home.json"; fail "home: not JSON"; }
  expect_field home home "$want"
  expect_field home origin "$origin"
  "$@" "$launcher" --version >"$tmp/out" 2>"$tmp/err" || { cat "$tmp/err"; fail "--version ($origin)"; }
  grep -qxF "home:    $shown" "$tmp/out" || { cat "$tmp/out"; fail "--version does not show the home $shown"; }
done
echo "json and listing checks held"
