#!/bin/sh
# The tool through its real launcher when things go wrong: the cause under
# the library's message, listings that fail over a damaged database, mscapi
# check, PIN blocking and unblocking with the unblock code, --verbose.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"

# Causes in words, above the library's fixed message.
expect 1 sign "$launcher" --container nowhere
has err "Failed to sign data!"
has err 'no container nowhere in provider "Microsoft Strong Cryptographic Provider"'
expect 1 genkey --container short --bits 384
has err "key length must be 512–16384 in steps of 8 (asked: 384)"
expect 1 genkey --container x --provider "No Such Provider"
has err 'provider "No Such Provider" is not registered (see mscapi providers)'

# A token key with a PIN: 5 wrong PINs block it, the unblock code frees it.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$home/key.pem" 2>/dev/null ||
  fail "openssl genpkey"
echo 1234 >"$home/pin"
echo 0000 >"$home/wrong"
token="Soft Token RSA Provider"
expect 0 import "$home/key.pem" --container card --provider "$token" --pin-file "$home/pin"
echo data >"$home/data"
expect 0 sign "$home/data" --container card --provider "$token" --pin-file "$home/pin"
for left in 4 3 2 1; do
  expect 1 sign "$home/data" --container card --provider "$token" --pin-file "$home/wrong"
  has err "SSLRuntimeException04"
  has err "the PIN was refused ($left tr"
done
expect 1 sign "$home/data" --container card --provider "$token" --pin-file "$home/wrong"
has err "the key is now blocked"
expect 1 sign "$home/data" --container card --provider "$token" --pin-file "$home/pin"
has err "the key is blocked after 5 wrong PINs"
# No unblock code yet: a blocked key can only be deleted.
expect 1 unblock --container card --code-file "$home/pin"
has err "no unblock code was ever set"
echo 87654321 >"$home/puk"
expect 0 token set-unblock-code --code-file "$home/puk"
grep -qa 87654321 "$MSCAPI_HOME/keys.db" "$MSCAPI_HOME/keys.db-wal" 2>/dev/null &&
  fail "the unblock code is stored in the clear"
expect 1 unblock --container card --code-file "$home/wrong"
has err "wrong unblock code"
expect 2 unblock --container card --spec both --code-file "$home/puk"
expect 0 unblock --container card --spec signature --code-file "$home/puk"
# Only the current code changes the code; a wrong current one is refused.
echo 11223344 >"$home/puk2"
expect 1 token set-unblock-code --code-file "$home/puk2" </dev/null
has err "an unblock code is set: give the current one (--old-code-file)"
expect 1 token set-unblock-code --old-code-file "$home/wrong" --code-file "$home/puk2"
has err "wrong current unblock code"
expect 0 token set-unblock-code --old-code-file "$home/puk" --code-file "$home/puk2"
expect 1 token set-unblock-code --old-code-file "$home/puk" --code-file "$home/puk" </dev/null
has err "wrong current unblock code"
# --verbose on the commands mscapi-admin runs: the trace of what they did,
# with the reason's code, and never a code given.
expect 1 --verbose unblock --container card --code-file "$home/wrong"
has err 'trace: Unblock(container="card", spec=2, cause=UNBLOCK_CODE_WRONG) = FALSE'
expect 1 token set-unblock-code --verbose --old-code-file "$home/puk" --code-file "$home/puk"
has err 'trace: SetUnblockCode(family="token", replacing=1, cause=UNBLOCK_CODE_WRONG) = FALSE'
expect 0 token set-unblock-code --old-code-file "$home/puk2" --code-file "$home/puk2" --verbose
has err 'trace: SetUnblockCode(family="token", replacing=1) = TRUE'
grep -qF 11223344 "$home/err" && fail "the trace shows the unblock code"
expect 0 sign "$home/data" --container card --provider "$token" --pin-file "$home/pin"
# --verbose shows the trace, which never holds the PIN.
expect 0 --verbose sign "$home/data" --container card --provider "$token" --pin-file "$home/pin"
has err "trace: CryptAcquireContextA("
has err "trace: CryptSignHashA("
grep -q "1234" "$home/err" && fail "the trace shows the PIN"

# mscapi check: all holds, then each kind of problem is found.
expect 0 check
has out "check: 0 problems"
expect 0 check --verbose
has err "trace: CheckDatabase(file=\"$MSCAPI_HOME/keys.db\") = TRUE"
has out 'token container "card" spec 2: PIN-protected'
chmod 0644 "$MSCAPI_HOME/keys.db"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n"Bad"=hex:00\n' \
  >"$MSCAPI_HOME/registry/50-bad.reg"
expect 1 check
has out "keys.db is open to others (mode 0644)"
has out "registry/50-bad.reg: lines not understood (ignored): 4"
rm "$MSCAPI_HOME/registry/50-bad.reg"

# A damaged key database: listed as a failure with its cause, never
# overwritten, and check names it.
expect 0 keys
rm -f "$MSCAPI_HOME"/keys.db-wal "$MSCAPI_HOME"/keys.db-shm
echo garbage >"$MSCAPI_HOME/keys.db"
expect 1 keys
has err "database damaged: $MSCAPI_HOME/keys.db"
expect 1 genkey --container after
has err "mscapi: database damaged"
[ "$(cat "$MSCAPI_HOME/keys.db")" = garbage ] || fail "the damaged database was written over"
expect 1 check
has out "keys.db: damaged"

# A home that is not a directory names itself as the cause.
echo file >"$home/notadir"
MSCAPI_HOME="$home/notadir" "$launcher" providers >/dev/null 2>"$home/err" && fail "providers over a file"
has err "home $home/notadir is not a directory"
# A container a key generation left empty is listed, reported by check and
# removed by delkey.
export MSCAPI_HOME="$home/h2"
"$(dirname "$0")/../tokens/token-home.sh" "$(dirname "$launcher")" "$MSCAPI_HOME" none || exit 1
"$(dirname "$launcher")/tests/emu_addkey" "Microsoft Strong Cryptographic Provider" "half made" 0 0 ||
  fail "making an empty container"
expect 0 keys
has out "empty container 'half made' (software family): no key"
expect 0 keys --json
has out '"emptyContainers"'
expect 0 check
has out 'software container "half made": empty, no key'
expect 0 delkey --container 'half made'
expect 0 keys
hasnt out "empty container"
expect 0 check
hasnt out "half made"
echo "trust cli checks held"
