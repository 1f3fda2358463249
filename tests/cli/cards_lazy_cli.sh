#!/bin/sh
# A process that never opens "MY" loads no PKCS#11 module for the card
# certificates: the token's provider is OpenSC's pkcs11-spy in front of
# SoftHSM2, which logs every call (and creates its log when it is loaded).
# getDLLVersion, generateRandom and listings of ROOT and CA leave no log;
# listing MY loads the module and shows the card's certificate, bound to the
# card's key pair.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
spy=/usr/lib/x86_64-linux-gnu/pkcs11-spy.so
[ -e "$spy" ] || spy=$(find /usr/lib -name pkcs11-spy.so 2>/dev/null | head -n 1)
[ -n "$spy" ] || fail "OpenSC's pkcs11-spy.so is not installed"
"$(dirname "$0")/../tokens/issue-card.sh" "$home/card" card || fail "issuing the card"
export SOFTHSM2_CONF="$home/card/softhsm2.conf" PKCS11SPY=/usr/lib/softhsm/libsofthsm2.so
export PKCS11SPY_OUTPUT="$home/spy.log"
printf '%s\n\n[%s]\n"Image Path"="%s"\n"Type"=dword:00000001\n' 'Windows Registry Editor Version 5.00' \
  'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Spied Card Provider' "$spy" \
  >"$MSCAPI_HOME/registry/60-spied-card.reg"

expect 0 version
expect 0 random 16
expect 0 certs ROOT
expect 0 certs CA
[ ! -e "$PKCS11SPY_OUTPUT" ] || { cat "$PKCS11SPY_OUTPUT"; fail "a PKCS#11 module was loaded without MY being opened"; }

expect 0 certs MY
has out "Bench card holder"
has out '\\.\Bench card\Card signing key'
has out "Spied Card Provider"
has_file "$PKCS11SPY_OUTPUT" "C_GetSlotList"
echo "lazy card checks held"
