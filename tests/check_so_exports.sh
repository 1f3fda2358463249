#!/bin/sh
# The shared library exports the native methods (MSCAPI's and the library's
# own entry points, ContainerKeys, SilentSigning) and nothing else.
lib=$1
others=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^Java_com_qel_varnel_MSCAPI_\|^Java_com_qel_varnel_ContainerKeys_\|^Java_com_qel_varnel_SilentSigning_' | grep -v '^_init$\|^_fini$')
if [ -n "$others" ]; then
  echo "unexpected exports:"; echo "$others"; exit 1
fi
count=$(nm -D --defined-only "$lib" | grep -c ' Java_com_qel_varnel_\(MSCAPI\|SilentSigning\)_')
[ "$count" -ge 1 ] || { echo "no native methods exported"; exit 1; }
nm -D --defined-only "$lib" | grep -q ' Java_com_qel_varnel_ContainerKeys_publicKeyBlob$' ||
  { echo "ContainerKeys.publicKeyBlob is not exported"; exit 1; }
echo "$count native methods exported, nothing else"
