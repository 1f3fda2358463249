#!/bin/sh
# Prepares a test's MSCAPI_HOME for a run with or without a PKCS#11 token.
# Usage: token-home.sh BUILDDIR HOME MODE [LABEL]
#
# Every mode first gives the home its default registration and then removes
# the default registration's PKCS#11 provider (whose image is p11-kit's proxy,
# serving every module the machine registers), so that no test depends on the
# machine's own modules or tokens, and points the machine's trust anchors in
# "ROOT" (p11-kit's trust module) at HOME/trust-anchors instead of the
# machine's: a folder the harness does not make (p11-kit's trust module then
# serves none), which a test may fill with anchors of its own. The token modes then make a SoftHSM2 token
# store inside the home (HOME/softhsm, SOFTHSM2_CONF), initialise a token
# LABEL (default "L"; user PIN 123456, SO PIN 654321), write the PIN prompt
# program HOME/softhsm/pin-prompt (SSH_ASKPASS convention: the prompt as its
# argument, the PIN from HOME/softhsm/pin on its stdout, each prompt logged
# to HOME/softhsm/prompts.log) and register the PROV_RSA_FULL provider
# "SoftHSM Test Provider" with that "PIN Prompt", whose image is
#   direct  SoftHSM2's module itself;
#   proxy   p11-kit's proxy module, with a p11-kit user configuration
#           (XDG_CONFIG_HOME) that names only SoftHSM2's module. p11-kit reads
#           no user configuration in a process of root: the proxy then serves
#           the machine's registered modules, and the SoftHSM2 among them sees
#           only this home's tokens through SOFTHSM2_CONF.
# MODE "none" does only the first part.
#
# Prints shell assignments for the caller to eval (SOFTHSM2_CONF,
# XDG_CONFIG_HOME). A token reached over a p11-kit server socket is tested
# natively (tests/native/pkcs11_test.cpp).
set -eu
umask 077
builddir=$1 home=$2 mode=$3 label=${4:-L}
softhsm_module=/usr/lib/softhsm/libsofthsm2.so
proxy_module=$(pkg-config --variable=proxy_module p11-kit-1 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so)
providers='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider'
anchors='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\SystemCertificates\ROOT\Trust Anchors'

mkdir -p "$home"
MSCAPI_HOME=$home "$builddir/tests/emu_registry_ready" >&2
reg=$home/registry/50-tokens.reg
printf 'Windows Registry Editor Version 5.00\n\n[-%s\\PKCS#11 Token RSA Provider]\n\n' "$providers" >"$reg"
printf '[%s]\n"Init Args"="paths=%s/trust-anchors"\n\n' "$anchors" "$home" >>"$reg"

case $mode in
  none) exit 0 ;;
  direct) image=$softhsm_module ;;
  proxy) image=$proxy_module ;;
  *) echo "token-home.sh: unknown mode $mode" >&2; exit 2 ;;
esac

dir=$home/softhsm
mkdir -p "$dir/tokens"
chmod 700 "$dir"
conf=$dir/softhsm2.conf
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" >"$conf"
SOFTHSM2_CONF=$conf softhsm2-util --init-token --free --label "$label" --pin 123456 --so-pin 654321 >&2
echo "SOFTHSM2_CONF='$conf'; export SOFTHSM2_CONF;"

printf '123456\n' >"$dir/pin"
cat >"$dir/pin-prompt" <<EOF
#!/bin/sh
# The test's PIN prompt: logs the prompt it was given, answers the PIN.
printf '%s\n' "\$1" >>'$dir/prompts.log'
cat '$dir/pin'
EOF
chmod 700 "$dir/pin-prompt"

# p11-kit's user configuration (read for users other than root): only this
# module; every module the machine registers is blanked out ("module:" with
# no value ignores it).
mkdir -p "$home/config/pkcs11/modules"
printf 'user-config: only\n' >"$home/config/pkcs11/pkcs11.conf"
for f in /usr/share/p11-kit/modules/*.module /etc/pkcs11/modules/*.module; do
  if [ -e "$f" ]; then printf 'module:\n' >"$home/config/pkcs11/modules/$(basename "$f")"; fi
done
printf 'module: %s\n' "$softhsm_module" >"$home/config/pkcs11/modules/softhsm2.module"
echo "XDG_CONFIG_HOME='$home/config'; export XDG_CONFIG_HOME;"

{
  printf '[%s\\SoftHSM Test Provider]\n' "$providers"
  printf '"Image Path"="%s"\n"Type"=dword:00000001\n' "$image"
  printf '"PIN Prompt"="%s"\n\n' "$dir/pin-prompt"
} >>"$reg"
