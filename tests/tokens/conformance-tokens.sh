#!/bin/sh
# The conformance suite's key, import, export, enumeration and signing cases
# once more, with a SoftHSM2 token's provider as the registry's type-1
# default in every test's home. The token lives in a scratch folder for the
# whole run (SoftHSM2 reads SOFTHSM2_CONF once per process).
# Usage: conformance-tokens.sh BUILDDIR SUITE MODE   (MODE: direct or proxy)
set -u
builddir=$1 suite=$2 mode=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mscapi-conformance-XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
setup=$("$(dirname "$0")/token-home.sh" "$builddir" "$scratch" "$mode") || exit 1
eval "$setup"
reg=$scratch/tokens.reg
cp "$scratch/registry/50-tokens.reg" "$reg"
printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001]\n"Name"="SoftHSM Test Provider"\n\n' >>"$reg"
MSCAPI_CONFORMANCE_REG=$reg MSCAPI_CONFORMANCE_TOKEN_PROVIDER="SoftHSM Test Provider" MSCAPI_CONFORMANCE_TOKEN_LABEL=L \
  "$suite" --gtest_filter='Keys.*'
