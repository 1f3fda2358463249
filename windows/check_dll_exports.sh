#!/bin/sh
# The DLL's export table holds exactly the catalogue's sixteen decorated
# names (argument size N = 4 bytes per argument, environment and class
# included), no more, and mscapi.def lists exactly those.
set -u
objdump=$1 dll=$2 def=$3
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
_Java_com_qel_varnel_MSCAPI_getDLLVersion@8'
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
# Export table lines look like: "	[   0] +base[   1] 0000 _Java_...@8"
"$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -o '_\?Java_[A-Za-z0-9_@]*' | sort > "$tmp/exported"
grep -o '^ *_Java_[A-Za-z0-9_@]*' "$def" | tr -d ' ' | sort > "$tmp/declared"
echo "$catalogue" | sort > "$tmp/catalogue"
status=0
if ! diff -u "$tmp/declared" "$tmp/exported"; then
  echo "export table differs from mscapi.def"; status=1
fi
if ! diff -u "$tmp/catalogue" "$tmp/exported"; then
  echo "export table differs from the catalogue"; status=1
fi
if ! "$objdump" -p "$dll" | grep -q 'DLL Name: ADVAPI32.dll\|DLL Name: advapi32.dll'; then
  echo "the DLL does not import advapi32"; status=1
fi
[ $status -eq 0 ] && echo "$(wc -l < "$tmp/exported") exports: exactly the catalogue"
exit $status
