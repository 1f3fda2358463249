#!/bin/sh
# Picking certificates without a script: the filters of certs, show, chain
# and its verdict, and the warnings of sign, over stores filled with
# certificates openssl makes here (openssl ca sets any validity window).
# Every selection the tool makes is checked against the same selection made
# by openssl over the PEM files.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
d=$home/pki
mkdir -p "$d/newcerts" && : >"$d/index.txt" && echo 1000 >"$d/serial"
cat >"$d/ca.cnf" <<CNF || fail "ca.cnf"
[ca]
default_ca = d
[d]
database = $d/index.txt
new_certs_dir = $d/newcerts
serial = $d/serial
default_md = sha256
policy = p
unique_subject = no
email_in_dn = no
[p]
commonName = supplied
organizationName = optional
CNF
# issue NAME SUBJECT ISSUER|self START END EXTENSIONS(;-separated)
issue() {
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$d/$1.key" 2>/dev/null || fail "genpkey $1"
  openssl req -new -key "$d/$1.key" -subj "$2" -out "$d/$1.csr" 2>/dev/null || fail "req $1"
  printf '[e]\n%s\n' "$6" | tr ';' '\n' >"$d/$1.ext"
  if [ "$3" = self ]; then by="-selfsign -keyfile $d/$1.key"; else by="-cert $d/$3.pem -keyfile $d/$3.key"; fi
  # shellcheck disable=SC2086
  openssl ca -batch -config "$d/ca.cnf" $by -in "$d/$1.csr" -out "$d/$1.pem" -notext -startdate "$4" \
    -enddate "$5" -extfile "$d/$1.ext" -extensions e >"$d/$1.log" 2>&1 || { cat "$d/$1.log"; fail "ca $1"; }
}
day() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
ca="basicConstraints=critical,CA:true;keyUsage=critical,keyCertSign,cRLSign"
issue root "/CN=Test Root/O=Varnel Tests" self 20200101000000Z 20450101000000Z "$ca"
issue inter "/CN=Test Intermediate/O=Varnel Tests" root 20200101000000Z 20440101000000Z "$ca"
issue oldinter "/CN=Old Intermediate/O=Varnel Tests" root 20200101000000Z 20210101000000Z "$ca"
issue missing "/CN=Missing CA/O=Elsewhere" self 20200101000000Z 20450101000000Z "$ca"
# The certificates of MY: name issuer start end extensions
while read -r n by start end ext; do
  case $n in alice) subj="/CN=Alice Client/O=Varnel Tests" ;; bob) subj="/CN=Bob Server/O=Example Org" ;;
    carol) subj="/CN=Carol Signer/O=Varnel Tests" ;; dave) subj="/CN=Dave Expired/O=Example Org" ;;
    erin) subj="/CN=Erin Future/O=Varnel Tests" ;; frank) subj="/CN=Frank Orphan/O=Example Org" ;;
    gina) subj="/CN=Gina Old Chain/O=Varnel Tests" ;; esac
  issue "$n" "$subj" "$by" "$(day "$start")" "$(day "$end")" "$ext"
done <<LIST
alice root -1day +20days extendedKeyUsage=clientAuth;keyUsage=digitalSignature
bob inter 2024-01-01 2035-01-01 extendedKeyUsage=serverAuth,clientAuth;keyUsage=digitalSignature,keyEncipherment;subjectAltName=DNS:bob.example,email:bob@example.org
carol self 2024-01-01 2035-01-01 extendedKeyUsage=codeSigning,1.3.6.1.4.1.311.10.3.12;keyUsage=digitalSignature,nonRepudiation
dave root 2020-01-01 2021-01-01 extendedKeyUsage=emailProtection;keyUsage=digitalSignature
erin inter 2040-01-01 2041-01-01 extendedKeyUsage=clientAuth;keyUsage=digitalSignature
frank missing 2024-01-01 2035-01-01 extendedKeyUsage=clientAuth;keyUsage=keyEncipherment
gina oldinter 2020-06-01 2035-01-01 extendedKeyUsage=1.2.3.4.5
LIST
my="alice bob carol dave erin frank gina"
printf 'some data\n' >"$home/data"
openssl pkey -in "$d/bob.key" -pubout -out "$home/bob.pub" || fail "pkey"

expect 0 addcert ROOT "$d/root.pem"
expect 0 addcert ROOT "$d/carol.pem"
expect 0 addcert CA "$d/inter.pem"
expect 0 addcert CA "$d/oldinter.pem"
has err "warning: the certificate \"O=Varnel Tests,CN=Old Intermediate\" (SHA-1 $(openssl x509 -in "$d/oldinter.pem" \
  -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g')) expired on 2021-01-01 00:00:00 UTC"
for n in $my; do
  if [ "$n" = gina ]; then
    # Bound to a container that holds no key.
    expect 0 addcert MY "$d/gina.pem" --container "Gina's absent key" --force
  else
    expect 0 import "$d/$n.key" --container "\\\\.\\Card $n\\signing key"
    expect 0 addcert MY "$d/$n.pem"
    [ "$n" = dave ] || hasnt err "warning"
  fi
done
expect 0 certs MY
has out "7 certificates in MY"

# ---- the filters, each against openssl's selection over the same files.
cn() { sed 's/.*CN=\([^,/"]*\).*/\1/'; }
listed() { grep "^ *$1" "$home/out" | cn | sort | tr '\n' ' '; }
now=$(date -u +%s)
ends_by() { [ "$(date -u -d "$(openssl x509 -in "$1" -noout -enddate | sed 's/^notAfter=//')" +%s)" -le "$2" ]; }
starts_by() { [ "$(date -u -d "$(openssl x509 -in "$1" -noout -startdate | sed 's/^notBefore=//')" +%s)" -le "$2" ]; }
eku_of() { openssl x509 -in "$1" -noout -ext extendedKeyUsage 2>/dev/null | tail -n +2; }
sha256_of() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=//; s/://g'; }
sha1_of() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/^.*=//; s/://g'; }
# openssl's side of each filter: true when certificate $1 (a PEM file) passes.
pick() {
  f=$1; shift
  case $1 in
    --subject) openssl x509 -in "$f" -noout -subject -nameopt RFC2253 | grep -qi -- "$2" ;;
    --issuer) openssl x509 -in "$f" -noout -issuer -nameopt RFC2253 | grep -qi -- "$2" ;;
    --expired) ends_by "$f" "$now" ;;
    --expiring) ! ends_by "$f" "$now" && ends_by "$f" $((now + $2 * 86400)) && starts_by "$f" "$now" ;;
    --eku) eku_of "$f" | grep -q -- "$3" ;;
    --has-key) [ -f "$d/$(basename "$f" .pem).key" ] && [ "$(basename "$f")" != gina.pem ] ;;
    --thumbprint) sha256_of "$f" | grep -q "^$2" ;;
  esac
}
alice256=$(sha256_of "$d/alice.pem" | cut -c1-10)
# TOOL ARGS | OPENSSL PICKS (each: filter words; --eku carries openssl's name as a third word)
while IFS='|' read -r args picks; do
  picked=
  for n in $my; do
    ok=1
    oldifs=$IFS; IFS=';'
    for p in $picks; do
      IFS=$oldifs
      # shellcheck disable=SC2086
      eval "pick \"\$d/$n.pem\" $p" || ok=0
      IFS=';'
    done
    IFS=$oldifs
    [ $ok = 1 ] && picked="$picked$(openssl x509 -in "$d/$n.pem" -noout -subject -nameopt RFC2253 | cn)
"
  done
  picked=$(printf '%s' "$picked" | sort | tr '\n' ' ')
  [ -n "$picked" ] || fail "the selection for $args is empty: a test of nothing"
  eval "expect 0 certs MY $args"
  [ "$(listed 'subject:')" = "$picked" ] ||
    { cat "$home/out"; fail "certs MY $args listed [$(listed 'subject:')], openssl picks [$picked]"; }
  eval "expect 0 certs MY $args --json"
  [ "$(listed '"subject":')" = "$picked" ] || { cat "$home/out"; fail "certs MY $args --json does not hold [$picked]"; }
done <<TABLE
--subject 'varnel TESTS'|--subject 'varnel tests'
--issuer 'cn=test root'|--issuer 'cn=test root'
--thumbprint $alice256|--thumbprint $alice256
--expiring 30|--expiring 30
--expired|--expired
--eku clientAuth|--eku x 'TLS Web Client Authentication'
--eku serverAuth|--eku x 'TLS Web Server Authentication'
--eku codeSigning|--eku x 'Code Signing'
--eku emailProtection|--eku x 'E-mail Protection'
--eku documentSigning|--eku x '1\\.3\\.6\\.1\\.4\\.1\\.311\\.10\\.3\\.12'
--eku 1.2.3.4.5|--eku x '1\\.2\\.3\\.4\\.5'
--has-key|--has-key
--eku clientAuth --subject org --has-key|--eku x 'TLS Web Client Authentication';--subject org;--has-key
--issuer intermediate --eku clientAuth|--issuer intermediate;--eku x 'TLS Web Client Authentication'
TABLE
# A thumbprint by its full SHA-1, and the extended key usage in the listing.
expect 0 certs MY --thumbprint "$(sha1_of "$d/carol.pem")"
has out "1 certificate in MY"
has out "ext key usage: codeSigning, documentSigning"
has out "key usage:     digitalSignature, nonRepudiation"
# Nothing matches: exit 1 with one line; a bad value is a usage error.
expect 1 certs MY --subject nobody --expired
[ "$(wc -l <"$home/err")" -eq 1 ] || fail "not one line: $(cat "$home/err")"
has err "no certificate in MY matches --subject nobody --expired"
expect 2 certs MY --eku notAUsage
expect 2 certs MY --thumbprint ABC

# ---- one spelling of a container name: keys, certs and the messages print
# it as a shell reads it back; pasted into --container it names the key.
expect 0 keys
name=$(grep -o "'[^']*Card bob[^']*'" "$home/out") || { cat "$home/out"; fail "keys does not quote the name"; }
eval "set -- $name"
[ "$1" = '\\.\Card bob\signing key' ] || fail "keys shows $name"
expect 0 certs MY --subject bob
has out "/ $name / spec 2"
expect 0 certs MY --subject gina
has out "container 'Gina'\''s absent key' holds no signature key"
expect 0 sign "$home/data" --container "$1" --out "$home/bob.sig"
openssl dgst -sha256 -verify "$home/bob.pub" -signature "$home/bob.sig" "$home/data" >/dev/null 2>&1 ||
  fail "the signature with the pasted name does not verify"
expect 1 sign "$home/data" --container "$1 x"
has err "no container '$1 x' in provider"
# ---- chain: the tool's verdict against openssl verify's with the same
# anchors (ROOT) and intermediates (CA). NAME LINKS VERDICT OPENSSL-ERROR NAMED
cat "$d/root.pem" "$d/carol.pem" >"$home/roots.pem"
cat "$d/inter.pem" "$d/oldinter.pem" >"$home/cas.pem"
while read -r n links verdict err named; do
  if [ "$verdict" = trusted ]; then rc=0; else rc=1; fi
  expect $rc chain MY --thumbprint "$(sha256_of "$d/$n.pem" | cut -c1-12)"
  has out "revocation is not checked"
  has out "verdict: $(echo "$verdict" | tr _ ' '):"
  [ "$(grep -c '^ *[A-Z][A-Za-z]*=.*   \[' "$home/out")" -eq "$links" ] || { cat "$home/out"; fail "$n: not $links links"; }
  [ "$named" = - ] || has out "$(echo "$named" | tr _ ' ')"
  openssl verify -CAfile "$home/roots.pem" -untrusted "$home/cas.pem" "$d/$n.pem" >"$home/ossl" 2>&1
  if [ "$err" = OK ]; then grep -q ": OK$" "$home/ossl" || fail "$n: openssl says $(cat "$home/ossl")"
  else grep -q "error $err " "$home/ossl" || fail "$n: openssl says $(cat "$home/ossl"), not error $err"; fi
done <<TABLE
carol 1 trusted OK -
alice 2 trusted OK anchor,_ROOT]
bob 3 trusted OK -
frank 1 untrusted 20 the_issuer_"O=Elsewhere,CN=Missing_CA"_is_in_neither_CA_nor_ROOT
gina 3 expired 10 "O=Varnel_Tests,CN=Old_Intermediate"_(CA)_expired_on_2021-01-01
erin 3 not_yet_valid 9 "O=Varnel_Tests,CN=Erin_Future"_(MY)_is_not_valid_before_2040-01-01
dave 2 expired 10 "O=Example_Org,CN=Dave_Expired"_(MY)_expired_on_2021-01-01
TABLE
# The tree goes from the anchor down, one level deeper each link.
expect 0 chain MY --thumbprint "$(sha1_of "$d/bob.pem")"
grep -q "^  O=Varnel Tests,CN=Test Root   \[anchor, ROOT\]" "$home/out" || { cat "$home/out"; fail "bob: no anchor on top"; }
grep -q "^    O=Varnel Tests,CN=Test Intermediate   \[CA\]" "$home/out" || fail "bob: no intermediate below"
grep -q "^      O=Example Org,CN=Bob Server   \[MY\]" "$home/out" || fail "bob: no leaf at the bottom"
expect 0 chain ROOT --thumbprint "$(sha1_of "$d/root.pem")"
# A chain that ends at one of the machine's anchors (served by p11-kit's
# trust module from this home's own anchor folder), never added to ROOT.
issue machine "/CN=Machine Root/O=Elsewhere" self 20200101000000Z 20450101000000Z "$ca"
issue hana "/CN=Hana Machine/O=Elsewhere" machine 20240101000000Z 20350101000000Z "keyUsage=digitalSignature"
mkdir -p "$MSCAPI_HOME/trust-anchors/anchors" && cp "$d/machine.pem" "$MSCAPI_HOME/trust-anchors/anchors/" ||
  fail "anchor folder"
expect 0 addcert MY "$d/hana.pem" --force
expect 0 chain MY --thumbprint "$(sha1_of "$d/hana.pem")"
has out "verdict: trusted"
grep -q "^  O=Elsewhere,CN=Machine Root   \[anchor, ROOT\]" "$home/out" || { cat "$home/out"; fail "no machine anchor"; }
openssl verify -CAfile "$d/machine.pem" "$d/hana.pem" >/dev/null 2>&1 || fail "openssl does not verify hana"
rm "$MSCAPI_HOME/trust-anchors/anchors/machine.pem"
expect 1 chain MY --thumbprint "$(sha1_of "$d/hana.pem")"
has out "verdict: untrusted"
expect 0 delcert MY --thumbprint "$(sha1_of "$d/hana.pem")"

# ---- show: every field against openssl's reading of the same file.
bob=$(sha256_of "$d/bob.pem")
expect 0 show MY --thumbprint "$(echo "$bob" | cut -c1-8)"
for line in "serial: *$(openssl x509 -in "$d/bob.pem" -noout -serial | sed 's/^serial=//')\$" \
  "alt names: *DNS:bob.example, email:bob@example.org\$" "key: *RSA 2048 bits\$" \
  "ext key usage: *serverAuth, clientAuth\$" "key usage: *digitalSignature, keyEncipherment\$" \
  "SHA-256: *$bob\$" "SHA-1: *$(sha1_of "$d/bob.pem")\$" "has key: *yes\$" "validity: *valid\$" \
  "verdict: trusted"; do
  grep -q -- "$line" "$home/out" || { cat "$home/out"; fail "show: no line like $line"; }
done
has out "binding:           Microsoft Base Cryptographic Provider v1.0 / '\\\\.\\Card bob\\signing key' / signature"
expect 0 show MY --thumbprint "$bob" --pem
openssl x509 -in "$home/out" -outform DER | cmp -s - "$(openssl x509 -in "$d/bob.pem" -outform DER >"$home/bob.der" &&
  echo "$home/bob.der")" || fail "show --pem is not the certificate"
expect 0 show MY --thumbprint "$(sha1_of "$d/gina.pem")" --json
has out '"hasKey": false'
has out "absent key' holds no signature key\""
has out '"verdict": "expired"'
has out '"revocationChecked": false'
expect 1 show MY --thumbprint 00000000

# ---- sign by thumbprint warns about an unfit certificate and signs; with
# --strict it refuses with exit code 4. NAME WARNING (empty: none)
while read -r n warning; do
  tp=$(sha1_of "$d/$n.pem")
  openssl x509 -in "$d/$n.pem" -noout -pubkey >"$home/$n.pub"
  rm -f "$home/$n.sig"
  expect 0 sign "$home/data" --thumbprint "$tp" --out "$home/$n.sig"
  openssl dgst -sha256 -verify "$home/$n.pub" -signature "$home/$n.sig" "$home/data" >/dev/null 2>&1 ||
    fail "$n: the signature does not verify"
  if [ -z "$warning" ]; then
    [ ! -s "$home/err" ] || fail "$n: a warning for a fit certificate: $(cat "$home/err")"
    expect 0 sign "$home/data" --thumbprint "$tp" --strict
  else
    has err "mscapi: warning: the certificate"
    has err "$warning"
    rm -f "$home/$n.sig"
    expect 4 sign "$home/data" --thumbprint "$tp" --strict --out "$home/$n.sig"
    has err "$warning"
    [ ! -e "$home/$n.sig" ] || fail "$n: --strict wrote a signature"
  fi
done <<TABLE
alice
dave expired on 2021-01-01 00:00:00 UTC
erin is not valid before 2040-01-01 00:00:00 UTC
frank has key usage keyEncipherment, without digitalSignature or nonRepudiation
TABLE

# genkey --selfsign: the key and its certificate, bound, in one command.
expect 0 genkey --container "Pat's key" --bits 1024 --selfsign "CN=Pat Self,O=Varnel Tests" --days 10 --add MY
has out "bound to container 'Pat'\''s key'"
expect 0 certs MY --subject "pat self" --has-key --expiring 10 --json
pem_of() { sed -n 's/^ *"pem": "\(.*\)",*$/\1/p' "$home/out" | sed 's/\\n/\n/g'; }
pem_of >"$home/pat.pem"
openssl x509 -in "$home/pat.pem" -noout -subject -nameopt RFC2253 | grep -q "CN=Pat Self" || fail "not Pat's certificate"
openssl verify -CAfile "$home/pat.pem" "$home/pat.pem" >/dev/null 2>&1 || fail "Pat's certificate is not self-signed"
expect 2 genkey --container other --add MY
# A certificate that is in MY already is refused, named by its thumbprint.
openssl pkcs12 -export -in "$d/alice.pem" -inkey "$d/alice.key" -passout pass:pw -out "$home/alice.p12" ||
  fail "pkcs12"
printf 'pw\n' >"$home/pw"
expect 1 import-pfx "$home/alice.p12" --password-file "$home/pw"
has err "mscapi delcert MY --thumbprint $(sha1_of "$d/alice.pem"))"
echo "certificate picking checks held"
