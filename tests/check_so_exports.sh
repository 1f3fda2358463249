#!/bin/sh
# The shared library exports the native methods (the sixteen of MSCAPI and
# SilentSigning's) and nothing else.
lib=$1
others=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^Java_com_qel_varnel_\(MSCAPI\|SilentSigning\)_[A-Za-z]*$' | grep -v '^_init$\|^_fini$')
if [ -n "$others" ]; then
  echo "unexpected exports:"; echo "$others"; exit 1
fi
count=$(nm -D --defined-only "$lib" | grep -c ' Java_com_qel_varnel_\(MSCAPI\|SilentSigning\)_')
[ "$count" -ge 1 ] || { echo "no native methods exported"; exit 1; }
echo "$count native methods exported, nothing else"
