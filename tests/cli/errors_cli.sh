#!/bin/sh
# What the tool says when something is wrong, through its real launcher:
# each cause in words with exit code 1, each usage error naming the argument
# with exit code 2, the help in its three forms, and never a Java stack
# trace (also when the tool itself breaks: a run whose library cannot be
# loaded).
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
tmp=$home
checked=0
# case RC TEXT CMD...: the tool exits RC and says TEXT on stderr, with no
# stack trace anywhere in its output.
case_() {
  want=$1 text=$2; shift 2
  "$launcher" "$@" >"$tmp/out" 2>"$tmp/err"; rc=$?
  [ "$rc" -eq "$want" ] || { cat "$tmp/out" "$tmp/err"; fail "mscapi $* gave $rc, expected $want"; }
  grep -qF -- "$text" "$tmp/err" || { cat "$tmp/err"; fail "mscapi $*: no '$text' on stderr"; }
  no_trace "mscapi $*" "$tmp/out" "$tmp/err"
  checked=$((checked + 1))
}

token="Soft Token RSA Provider"
strong="Microsoft Strong Cryptographic Provider"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$tmp/key.pem" 2>/dev/null || fail "genpkey"
echo 1234 >"$tmp/pin"
echo 0000 >"$tmp/wrong"
echo data >"$tmp/data"
"$launcher" import "$tmp/key.pem" --container card --provider "$token" --pin-file "$tmp/pin" >/dev/null ||
  fail "import into the token"
"$launcher" genkey --container soft --bits 1024 >/dev/null || fail "genkey"
openssl req -x509 -key "$tmp/key.pem" -out "$tmp/cert.pem" -subj "/CN=Cut" -days 2 2>/dev/null || fail "req"
head -c 300 "$tmp/cert.pem" >"$tmp/cut.pem"

# Causes of library failures, from the trace of the failing call.
case_ 1 "no container nowhere in provider \"$strong\" (see mscapi keys)" sign "$tmp/data" --container nowhere
case_ 1 "no container nowhere in provider \"$token\"" sign "$tmp/data" --container nowhere --provider "$token"
case_ 1 "(the library's message: Failed to sign data!)" sign "$tmp/data" --container nowhere
case_ 1 "this key needs a PIN: give --pin or --pin-file" sign "$tmp/data" --container card --provider "$token"
case_ 1 "the PIN was refused (4 tries left before the key is blocked)" sign "$tmp/data" --container card \
  --provider "$token" --pin-file "$tmp/wrong"
case_ 1 "(the library's message: SSLRuntimeException04)" sign "$tmp/data" --container card \
  --provider "$token" --pin-file "$tmp/wrong"
case_ 1 "provider \"$strong\" takes no PIN" sign "$tmp/data" --container soft --pin-file "$tmp/pin"
case_ 1 "container soft in provider \"$strong\" holds no exchange key (try --spec signature)" \
  sign "$tmp/data" --container soft --spec exchange
case_ 1 "key length must be 512–16384 in steps of 8 (asked: 100)" genkey --container short --bits 100
case_ 1 "key length must be 512–16384 in steps of 8 (asked: 1001)" genkey --container odd --bits 1001
case_ 1 'provider "Nope" is not registered (see mscapi providers)' genkey --container x --provider Nope
case_ 1 "is of type 24, not an RSA full provider" genkey --container x \
  --provider "Microsoft Enhanced RSA and AES Cryptographic Provider"
case_ 1 "container soft already exists in provider \"$strong\"" genkey --container soft --bits 1024
case_ 1 "no container gone in provider" delkey --container gone
# Causes the tool finds itself.
case_ 1 "file not found: nofile.txt" sign nofile.txt --container soft
case_ 1 "file not found: $tmp/none.pem" addcert CA "$tmp/none.pem"
case_ 1 "not a certificate (PEM ends early)" addcert CA "$tmp/cut.pem"
# Usage errors name what is wrong, exit 2 and point at the command's help.
case_ 2 'unexpected argument "extra"' certs MY extra
case_ 2 "Try 'mscapi help certs'." certs MY extra
case_ 2 'unknown option "--bogus"' keys --bogus
case_ 2 'unknown store "NOPE"' certs NOPE
case_ 2 "certs needs a STORE" certs
case_ 2 'unknown command "frobnicate" (see mscapi --help)' frobnicate
case_ 2 "--container needs a value" genkey --container
case_ 2 'not a length: "abc"' random abc
case_ 2 'no command "nope"' help nope
case_ 2 'unexpected argument "--bogus"' check --bogus
case_ 2 "Usage: mscapi COMMAND"
[ "$checked" -eq 28 ] || fail "ran $checked cases"

# Help: --help, help COMMAND and COMMAND --help print the same text.
"$launcher" --help >"$tmp/help" || fail "--help"
grep -q "MSCAPI_HOME" "$tmp/help" || fail "--help does not name MSCAPI_HOME"
grep -q "~/.local/share/mscapi" "$tmp/help" || fail "--help does not say where the state lives"
for c in $(sed -n 's/^  mscapi \([a-z-]*\).*/\1/p' "$tmp/help" | sort -u); do
  "$launcher" help "$c" >"$tmp/h1" 2>&1 || fail "help $c"
  "$launcher" "$c" --help >"$tmp/h2" 2>&1 || fail "$c --help"
  cmp -s "$tmp/h1" "$tmp/h2" || fail "help $c and $c --help differ"
  grep -q "^Usage: mscapi $c" "$tmp/h1" || { cat "$tmp/h1"; fail "help $c has no usage line"; }
done
"$launcher" --version >"$tmp/v" || fail "--version"
grep -q "^library: 4.2 (262146)" "$tmp/v" || { cat "$tmp/v"; fail "--version does not give the library's version"; }

# The tool breaking inside: a copy of the launcher beside a jar but no
# library. One line, no stack trace, exit 1.
mkdir "$tmp/broken"
cp "$launcher" "$(dirname "$launcher")/mscapi.jar" "$tmp/broken/"
"$tmp/broken/mscapi" version >"$tmp/out" 2>"$tmp/err"; rc=$?
[ "$rc" -eq 1 ] || { cat "$tmp/out" "$tmp/err"; fail "a run without its library gave $rc"; }
grep -q "^mscapi: " "$tmp/err" || { cat "$tmp/err"; fail "no message without the library"; }
[ "$(wc -l <"$tmp/err")" -le 2 ] || { cat "$tmp/err"; fail "more than a message without the library"; }
no_trace "mscapi version without the library" "$tmp/out" "$tmp/err"
echo "error checks held ($checked cases)"
