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

expect 0 addcert ROOT "$d/root.pem"
expect 0 addcert ROOT "$d/carol.pem"
expect 0 addcert CA "$d/inter.pem"
expect 0 addcert CA "$d/oldinter.pem"
for n in $my; do
  if [ "$n" = gina ]; then
    # Bound to a container that holds no key.
    expect 0 addcert MY "$d/gina.pem" --container "Gina's absent key" --force
  else
    expect 0 import "$d/$n.key" --container "\\\\.\\Card $n\\signing key"
    expect 0 addcert MY "$d/$n.pem"
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
echo "certificate picking checks held"
