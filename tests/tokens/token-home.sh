#!/bin/sh
# Prepares a test's MSCAPI_HOME for a run with or without a PKCS#11 token.
# Usage: token-home.sh BUILDDIR HOME MODE [LABEL]
#
# Every mode first gives the home its default registration and then removes
# the default registration's PKCS#11 provider (whose image is p11-kit's proxy,
# serving every module the machine registers), so that no test depends on the
# machine's own modules or tokens. The token modes then make a SoftHSM2 token
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
#           only this home's tokens through SOFTHSM2_CONF;
#   client  p11-kit's client module, talking to a `p11-kit server` started
#           here that exports the token over a socket in HOME/run.
# MODE "none" does only the first part.
#
# Prints shell assignments for the caller to eval (SOFTHSM2_CONF,
# XDG_CONFIG_HOME, P11_KIT_SERVER_ADDRESS, P11_KIT_SERVER_PID); a server
# started here is the caller's to stop (kill "$P11_KIT_SERVER_PID").
set -eu
umask 077
builddir=$1 home=$2 mode=$3 label=${4:-L}
softhsm_module=/usr/lib/softhsm/libsofthsm2.so
p11kit_modules=$(pkg-config --variable=p11_module_path p11-kit-1 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/pkcs11)
proxy_module=$(pkg-config --variable=proxy_module p11-kit-1 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so)
providers='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider'

mkdir -p "$home"
MSCAPI_HOME=$home "$builddir/tests/emu_registry_ready" >&2
reg=$home/registry/50-tokens.reg
printf 'Windows Registry Editor Version 5.00\n\n[-%s\\PKCS#11 Token RSA Provider]\n\n' "$providers" >"$reg"

case $mode in
  none) exit 0 ;;
  direct) image=$softhsm_module ;;
  proxy) image=$proxy_module ;;
  client) image=$p11kit_modules/p11-kit-client.so ;;
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

# p11-kit's user configuration: only this module (for users other than root).
mkdir -p "$home/config/pkcs11/modules"
printf 'user-config: only\n' >"$home/config/pkcs11/pkcs11.conf"
printf 'module: %s\n' "$softhsm_module" >"$home/config/pkcs11/modules/test-softhsm.module"
echo "XDG_CONFIG_HOME='$home/config'; export XDG_CONFIG_HOME;"

if [ "$mode" = client ]; then
  mkdir -p "$home/run"
  chmod 700 "$home/run"
  out=$home/run/server.out
  SOFTHSM2_CONF=$conf XDG_RUNTIME_DIR=$home/run \
    p11-kit server --provider "$softhsm_module" -f "pkcs11:token=$label" >"$out" 2>&1 </dev/null &
  pid=$!
  tries=0
  until grep -q '^P11_KIT_SERVER_PID=' "$out"; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
      cat "$out" >&2
      echo "token-home.sh: p11-kit server did not start" >&2
      kill "$pid" 2>/dev/null || true
      exit 1
    fi
    sleep 0.1
  done
  grep '^P11_KIT_SERVER_ADDRESS=' "$out"
  echo "P11_KIT_SERVER_PID=$pid; export P11_KIT_SERVER_PID;"
fi

{
  printf '[%s\\SoftHSM Test Provider]\n' "$providers"
  printf '"Image Path"="%s"\n"Type"=dword:00000001\n' "$image"
  printf '"PIN Prompt"="%s"\n\n' "$dir/pin-prompt"
} >>"$reg"
