#!/bin/sh
# The DLL's export table holds exactly the catalogue: MSCAPI's sixteen
# methods and the library's own entry points (ContainerKeys, SilentSigning), no
# more; and the DLL imports only system DLLs (the C++ runtime is linked in).
#   check_dll_exports.sh OBJDUMP DLL i686 DEF   32-bit: the decorated names
#       (_Java_...@N, N = 4 bytes per argument, environment and class
#       included), and DEF lists exactly those
#   check_dll_exports.sh OBJDUMP DLL x86_64     64-bit: the undecorated names
set -u
objdump=$1 dll=$2 arch=$3 def=${4:-}
catalogue='_Java_com_qel_varnel_MSCAPI_generateRandom@16
_Java_com_qel_varnel_MSCAPI_queryProviders@8
_Java_com_qel_varnel_MSCAPI_generateKeyPair@24
_Java_com_qel_varnel_MSCAPI_deleteKeyPair@16
_Java_com_qel_varnel_MSCAPI_queryKeyPairs@8
_Java_com_qel_varnel_MSCAPI_importKeyPair@56
_Java_com_qel_varnel_MSCAPI_importKeyPairPwd@60
_Java_com_qel_varnel_MSCAPI_getPrivateKey@24
_Java_com_qel_varnel_MSCAPI_addCertToStore@32
_Java_com_qel_varnel_MSCAPI_setFriendlyName@24
_Java_com_qel_varnel_MSCAPI_setFlags@24
_Java_com_qel_varnel_MSCAPI_deleteCertFromStore@20
_Java_com_qel_varnel_MSCAPI_queryCerts@12
_Java_com_qel_varnel_MSCAPI_sign@32
_Java_com_qel_varnel_MSCAPI_verifyAndSign@36
_Java_com_qel_varnel_MSCAPI_getDLLVersion@8
_Java_com_qel_varnel_SilentSigning_sign@32
_Java_com_qel_varnel_ContainerKeys_publicKeyBlob@20'
# DLLs every Windows has; anything else (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll) would have to be shipped beside the DLL.
system_dlls='advapi32.dll crypt32.dll kernel32.dll msvcrt.dll'
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
case $arch in
  i686)
    format=pei-i386
    echo "$catalogue" | sort > "$tmp/catalogue"
    ;;
  x86_64)
    # x86_64 has one calling convention: no underscore, no argument size.
    format=pei-x86-64
    echo "$catalogue" | sed 's/^_//; s/@[0-9]*$//' | sort > "$tmp/catalogue"
    ;;
  *)
    echo "usage: $0 OBJDUMP DLL i686 DEF | OBJDUMP DLL x86_64" >&2
    exit 2
    ;;
esac
status=0
if ! "$objdump" -f "$dll" | grep -q "file format $format\$"; then
  echo "$dll is not a $format image"; status=1
fi
# Export table lines look like: "	[   0] +base[   1] 0000 _Java_...@8"
"$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -o '_\?Java_[A-Za-z0-9_@]*' | sort > "$tmp/exported"
if [ -n "$def" ]; then
  grep -o '^ *_\?Java_[A-Za-z0-9_@]*' "$def" | tr -d ' ' | sort > "$tmp/declared"
  if ! diff -u "$tmp/declared" "$tmp/exported"; then
    echo "export table differs from $(basename "$def")"; status=1
  fi
fi
if ! diff -u "$tmp/catalogue" "$tmp/exported"; then
  echo "export table differs from the catalogue"; status=1
fi
# Everything in the export directory, not only the Java_ names.
others=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep '^\s*\[ *[0-9]' | grep -vc 'Java_com_qel_varnel_MSCAPI_\|Java_com_qel_varnel_ContainerKeys_\|Java_com_qel_varnel_SilentSigning_')
if [ "$others" -ne 0 ]; then
  echo "the DLL exports $others names besides the natives"; status=1
fi
"$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort > "$tmp/imports"
grep -qx advapi32.dll "$tmp/imports" || { echo "the DLL does not import advapi32"; status=1; }
for imported in $(cat "$tmp/imports"); do
  case " $system_dlls " in
    *" $imported "*) ;;
    *) echo "the DLL imports $imported, which is not a system DLL"; status=1 ;;
  esac
done
[ $status -eq 0 ] &&
  echo "$arch: $(wc -l < "$tmp/exported") exports, exactly the catalogue; imports $(tr '\n' ' ' < "$tmp/imports")"
exit $status
