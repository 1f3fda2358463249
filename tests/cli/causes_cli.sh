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

# A provider whose PKCS#11 module cannot be used, registered by a registry
# file of the home: the module missing, a file that is no library (text; an
# ELF header of the other class), a library that is no PKCS#11 module (the
# SQLite the admin program links), and SoftHSM2 refusing to start without
# its configuration.
bad_provider() {
  {
    printf 'Windows Registry Editor Version 5.00\n\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Bad]\n'
    printf '"Image Path"="%s"\n"Type"=dword:00000001\n' "$1"
    [ -z "${2:-}" ] || printf '"Environment"="%s"\n' "$2"
  } >"$3/registry/70-bad.reg"
}
echo text >"$home/text.so"
{ printf '\177ELF\001\001\001'; head -c 100 /dev/zero; } >"$home/elf32.so"
sqlite=$(ldd "$(dirname "$launcher")/mscapi-admin" | awk '/libsqlite3/ { print $3 }')
[ -f "$sqlite" ] || fail "no libsqlite3 found beside mscapi-admin"
ln -s "$sqlite" "$home/sqlite.so"
softhsm=/usr/lib/softhsm/libsofthsm2.so
while IFS='|' read -r code image environment text; do
  bad_provider "$image" "$environment" "$MSCAPI_HOME"
  cause "$code" "provider \"Bad\": $text" genkey --container x --provider Bad
done <<TABLE
MODULE_MISSING|$home/missing.so||the PKCS#11 module cannot be loaded: $home/missing.so does not exist; fix its "Image Path"
MODULE_NOT_LIBRARY|$home/text.so||the PKCS#11 module cannot be loaded: $home/text.so is not a shared library (not an ELF file)
MODULE_NOT_LIBRARY|$home/elf32.so||the PKCS#11 module cannot be loaded: $home/elf32.so is a 32-bit library and this process is 64-bit
MODULE_NOT_PKCS11|$home/sqlite.so||$home/sqlite.so is not a PKCS#11 module (no C_GetFunctionList)
MODULE_INIT_FAILED|$softhsm|SOFTHSM2_CONF=$home/none.conf|C_Initialize of $softhsm: CKR_GENERAL_ERROR
TABLE
rm "$MSCAPI_HOME/registry/70-bad.reg"

# Files and folders of the home that the caller may not use are named with
# their owner and mode. Root may use every file: as root the tool runs as
# nobody on a home of nobody's in which root takes one file or folder
# (owner-only mode MODE); as another user, on its own home in which it
# takes its own permissions from one file or folder (mode 0000).
own=$(mktemp -d) && chmod 755 "$own" && trap 'rm -rf "$home" "$own"' EXIT
H=$own/h
"$(dirname "$0")/../tokens/token-home.sh" "$(dirname "$launcher")" "$H" none || fail "token-home.sh"
MSCAPI_HOME=$H "$launcher" genkey --container soft --bits 1024 >/dev/null || fail "genkey in $H"
mkdir -p "$H/softhsm/tokens" "$own/user"
printf 'directories.tokendir = %s/softhsm/tokens\nobjectstore.backend = file\n' "$H" >"$H/softhsm/softhsm2.conf"
bad_provider "$softhsm" "SOFTHSM2_CONF=$H/softhsm/softhsm2.conf" "$H"
echo data >"$own/data" && chmod 644 "$own/data"
real=$launcher
skip_denied=
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$H" "$own/user"
  launcher=$own/as-nobody
  runas() {
    printf '#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=%s XDG_CACHE_HOME=%s/cache TMPDIR=%s "%s" "$@"\n' \
      "$own/user" "$own/user" "$own/user" "$1" >"$launcher"
    chmod 755 "$launcher"
  }
  runas "$real"
  # The build tree and the JDK must be nobody's to read; else a copy of the
  # launcher, library, jars and admin program is used.
  if ! MSCAPI_HOME=$H "$launcher" providers >/dev/null 2>&1; then
    mkdir "$own/bin"
    for f in mscapi libmscapi.so mscapi.jar picocli.jar mscapi-admin; do
      cp -L "$(dirname "$real")/$f" "$own/bin/" || fail "cannot copy $f for nobody"
    done
    chmod -R a+rX "$own/bin"
    runas "$own/bin/mscapi"
    MSCAPI_HOME=$H "$launcher" providers >/dev/null 2>&1 || fail "nobody cannot run the tool, not even from $own/bin"
  fi
  owner=root
  take() { chown root:root "$1" && chmod "$2" "$1"; }
  give() { chown nobody:nogroup "$1" && chmod "$2" "$1"; }
else
  owner=$(id -un)
  take() { chmod 000 "$1"; }
  give() { chmod "$2" "$1"; }
  chmod 000 "$own/data"
  if [ -r "$own/data" ]; then
    echo "SKIPPED the permission causes: this user may read a file of mode 0000, and is not root"
    skip_denied=1
  fi
  chmod 644 "$own/data"
fi
kept_home=$MSCAPI_HOME
MSCAPI_HOME=$H
while [ -z "$skip_denied" ] && IFS='|' read -r path mode what; do
  was=$(stat -c %a "$path")
  take "$path" "$mode"
  [ "$(id -u)" -eq 0 ] || mode=0
  denied="permission denied: $path is owned by $owner, mode $(printf '%04o' "0$mode")"
  if [ "$what" = check ]; then
    expect 1 check
    has out "PROBLEM  $denied"
    expect 1 check --json
    tr -d '\n' <"$home/out" | grep -q "\"level\": *\"problem\", *\"text\": *\"$denied\"" ||
      { cat "$home/out"; fail "no problem '$denied' in check --json"; }
  else
    # shellcheck disable=SC2086 # the command's words
    cause PERMISSION_DENIED "$denied" $what
  fi
  give "$path" "$was"
done <<TABLE
$H/keys.db|600|sign $own/data --container soft
$H/keys.db-changes|600|genkey --container y --bits 1024
$H/registry/00-default.reg|600|genkey --container y --bits 1024
$H|700|keys
$H/softhsm/softhsm2.conf|600|genkey --container y --provider Bad
$H/keys.db|600|check
$H/softhsm/tokens|700|check
TABLE
launcher=$real
MSCAPI_HOME=$kept_home

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
