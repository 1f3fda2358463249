#!/bin/sh
# The causes the tool reads from the trace go by the reasons' stable codes
# (emu/common/reasons.h). Each code the tool knows (Causes.java,
# Trace.java) is provoked here through the launcher, and the failing call's
# trace line must carry it as cause=CODE, with the tool's words for it. A
# code the tool knows and the emulation no longer gives fails here; so does
# one this script cannot provoke through the tool unless the table has it
# and some emulation source gives it.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
src=$(cd "$(dirname "$0")/../.." && pwd)
provoked=""
# cause CODE TEXT CMD...: the tool exits 1 saying TEXT, and a failed call's
# trace line carries cause=CODE.
cause() {
  code=$1 text=$2; shift 2
  expect 1 --verbose "$@"
  grep -Eq "^trace: .*[(, ]cause=$code[,)].* = (FALSE|NULL|error), " "$home/err" ||
    { cat "$home/err"; fail "no failed call with cause=$code: mscapi $*"; }
  has err "$text"
  provoked="$provoked $code"
}

token="Soft Token RSA Provider"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$home/key.pem" 2>/dev/null || fail "genpkey"
echo 1234 >"$home/pin"
echo 0000 >"$home/wrong"
: >"$home/empty"
echo data >"$home/data"
expect 0 import "$home/key.pem" --container card --provider "$token" --pin-file "$home/pin"
expect 0 import "$home/key.pem" --container open --provider "$token"
expect 0 genkey --container soft --bits 1024

cause PROVIDER_NOT_REGISTERED 'provider "Nope" is not registered' genkey --container x --provider Nope
cause PROVIDER_WRONG_TYPE 'is of type 24, not an RSA full provider' genkey --container x \
  --provider "Microsoft Enhanced RSA and AES Cryptographic Provider"
cause CONTAINER_NOT_FOUND 'no container nowhere' sign "$home/data" --container nowhere
cause CONTAINER_EXISTS 'container soft already exists' genkey --container soft --bits 1024
cause KEY_LENGTH 'key length must be 512–16384 in steps of 8 (asked: 100)' genkey --container short --bits 100
cause NO_KEY_OF_SPEC 'holds no exchange key' sign "$home/data" --container soft --spec exchange
cause PIN_UNSUPPORTED 'takes no PIN' sign "$home/data" --container soft --pin-file "$home/pin"
cause PIN_NEEDED 'this key needs a PIN' sign "$home/data" --container card --provider "$token"
cause PIN_NOT_TAKEN 'this key has no PIN' sign "$home/data" --container open --provider "$token" \
  --pin-file "$home/pin"
cause PIN_EMPTY 'the PIN is empty' sign "$home/data" --container card --provider "$token" --pin-file "$home/empty"
for left in 4 3 2 1; do
  cause PIN_WRONG "the PIN was refused ($left tr" sign "$home/data" --container card --provider "$token" \
    --pin-file "$home/wrong"
  grep -q "cause=PIN_WRONG, tries=$left)" "$home/err" || { cat "$home/err"; fail "no tries=$left"; }
done
cause PIN_NOW_BLOCKED 'the key is now blocked after 5 wrong PINs' sign "$home/data" --container card \
  --provider "$token" --pin-file "$home/wrong"
cause PIN_BLOCKED 'the key is blocked after 5 wrong PINs' sign "$home/data" --container card \
  --provider "$token" --pin-file "$home/pin"

# A registry without a default RSA provider.
sed -i 's/^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001\]$/[HKEY_LOCAL_MACHINE\\SOFTWARE\\Unused]/' \
  "$MSCAPI_HOME/registry/00-default.reg"
cause NO_DEFAULT_PROVIDER 'no default RSA provider is registered' genkey --container x

# The stored state unusable: a damaged key database, a home that is a file.
rm -f "$MSCAPI_HOME"/keys.db-wal "$MSCAPI_HOME"/keys.db-shm
echo garbage >"$MSCAPI_HOME/keys.db"
cause STORAGE_DAMAGED "database damaged: $MSCAPI_HOME/keys.db" keys
echo file >"$home/notadir"
MSCAPI_HOME="$home/notadir" cause HOME_NOT_DIRECTORY "home $home/notadir is not a directory" providers

# Every code the tool knows: in the table, and provoked above or (for those
# the tool cannot reach on purpose) given somewhere in the emulation.
tool="$src/java/com/qel/varnel/tool"
# (Causes matches them as `case "CODE"` or `cause.equals("CODE")`; Trace
# lists the storage ones in STORAGE_CAUSES.)
known=$({
  grep -ohE '(case |cause\.equals\()"[A-Z0-9_]+"' "$tool/Causes.java"
  sed -n '/STORAGE_CAUSES = Set.of(/,/);/p' "$tool/Trace.java"
} | grep -oE '"[A-Z0-9_]+"' | tr -d '"' | sort -u)
[ "$(echo "$known" | wc -w)" -ge 15 ] || fail "too few codes found in the tool: $known"
unprovoked=0
for code in $known; do
  grep -q "^ *X($code," "$src/emu/common/reasons.h" || fail "the tool knows $code, the table in reasons.h does not"
  case " $provoked " in *" $code "*) continue ;; esac
  grep -rqw --include='*.cpp' --include='*.h' "Reason::$code" "$src/emu" ||
    fail "the tool knows $code, and no emulation source gives it"
  unprovoked=$((unprovoked + 1))
done
echo "$(echo "$known" | wc -w) codes the tool knows; $unprovoked of them given but not provoked here"
echo "cause checks held"
