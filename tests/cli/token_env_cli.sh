#!/bin/sh
# A token `mscapi token init` made is usable by any program: a Java program
# of its own, run in a clean environment (no SOFTHSM2_CONF), generates a
# key on the registered provider and signs with it, because the
# registration carries the store's SOFTHSM2_CONF; a SOFTHSM2_CONF the
# caller set wins over it. The files token init writes are private, and
# `mscapi check` finds no problem with them.
set -u
launcher=$1
. "$(dirname "$0")/lib.sh"
build=$(cd "$(dirname "$launcher")" && pwd)
cd "$home" || exit 1
provider="SoftHSM2 Token RSA Provider"
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
{
  echo '#!/bin/sh'
  echo "cat '$home/pin.txt'"
} >prompt.sh
chmod 700 prompt.sh

expect 0 token init --label "env token" --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"
has out "SOFTHSM2_CONF=$MSCAPI_HOME/softhsm/softhsm2.conf"
reg=$MSCAPI_HOME/registry/60-softhsm2.reg
has_file "$reg" "^\"Environment\"=\"SOFTHSM2_CONF=$MSCAPI_HOME/softhsm/softhsm2.conf\"$"

# Private files, whatever softhsm2-util made.
for f in "$reg:600" "$MSCAPI_HOME/softhsm/softhsm2.conf:600" "$MSCAPI_HOME/softhsm/tokens:700" \
  "$MSCAPI_HOME/softhsm:700"; do
  [ "$(mode "${f%:*}")" = "${f##*:}" ] || fail "${f%:*} has mode $(mode "${f%:*}"), expected ${f##*:}"
done
for f in $(find "$MSCAPI_HOME/softhsm/tokens" -mindepth 1); do
  m=$(mode "$f")
  case "$m" in [67]00) ;; *) fail "$f has mode $m, open to others" ;; esac
done
expect 0 check
has out "check: 0 problems"

mkdir -p src/com/qel/varnel classes
cat >src/com/qel/varnel/TokenSigner.java <<'EOF'
package com.qel.varnel;

import java.math.BigInteger;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.RSAPublicKeySpec;
import java.util.Arrays;

/** Generates a key on the provider named in args[0], signs with it, verifies with the JDK. */
public class TokenSigner {
    public static void main(String[] args) throws Exception {
        String provider = args[0];
        String container = args[1];
        if (args.length > 2) {
            // List every provider's key pairs first, as an application
            // looking for its key does: every token provider's module loads.
            MSCAPI.queryKeyPairs();
        }
        byte[] pub = MSCAPI.generateKeyPair(provider, container, 2, 2048);
        int e = ByteBuffer.wrap(pub, 0, 4).order(ByteOrder.LITTLE_ENDIAN).getInt();
        BigInteger n = new BigInteger(1, Arrays.copyOfRange(pub, 4, pub.length));
        PublicKey key = KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(n, BigInteger.valueOf(e)));
        byte[] message = "signed on a token".getBytes(StandardCharsets.UTF_8);
        byte[] hash = MessageDigest.getInstance("SHA-256").digest(message);
        byte[] signature = MSCAPI.sign(provider, container, 2, hash, message.length, 0x800C);
        Signature verifier = Signature.getInstance("SHA256withRSA");
        verifier.initVerify(key);
        verifier.update(message);
        System.out.println("verified: " + verifier.verify(signature));
    }
}
EOF
javac -cp "$build/mscapi.jar" -d classes src/com/qel/varnel/TokenSigner.java || fail "javac"
# Runs the program on container $1 with only PATH, HOME, MSCAPI_HOME and
# the further NAME=VALUE given in the environment.
# A sanitizer build's library needs its runtime loaded first (as run-java.sh
# does): that and the sanitizer's options are the only other variables.
asan=
if grep -q '^MSCAPI_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then
  asan="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
fi
run_java() {
  container=$1; shift
  env -i PATH="$PATH" HOME="$HOME" MSCAPI_HOME="$MSCAPI_HOME" ${asan:+LD_PRELOAD="$asan"} \
    ${asan:+ASAN_OPTIONS=detect_leaks=0:handle_segv=0} "$@" java -Xcheck:jni \
    -cp "$build/mscapi.jar:classes" -Djava.library.path="$build" \
    com.qel.varnel.TokenSigner "$provider" "$container" ${list_first:+list} >"$home/out" 2>"$home/err"
}

run_java '\\.\env token\signer' || { cat "$home/out" "$home/err"; fail "a program in a clean environment"; }
has out "verified: true"
# The key is on the home's token, where OpenSC finds it.
SOFTHSM2_CONF="$MSCAPI_HOME/softhsm/softhsm2.conf" pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so \
  --token-label "env token" --list-objects --type pubkey >objects.txt 2>&1 || { cat objects.txt; fail "pkcs11-tool"; }
grep -q 'label: *signer' objects.txt || { cat objects.txt; fail "no key signer on the token"; }

# With the default registration's provider back (p11-kit's proxy, which
# serves the machine's SoftHSM2 too, listed before the home's own), a
# program that lists every provider's keys first still finds the home's
# token: the registrations' environments hold before any module loads.
sed -i '/^\[-HKEY_LOCAL_MACHINE.*PKCS#11 Token RSA Provider\]$/d' "$MSCAPI_HOME/registry/50-tokens.reg"
expect 0 providers
has out "PKCS#11 Token RSA Provider"
list_first=1
run_java '\\.\env token\lister' || { cat "$home/out" "$home/err"; fail "a program that lists first"; }
has out "verified: true"
unset list_first

# A configuration the caller chose is left as it is: an empty store of its
# own holds no token of that label.
mkdir -p other/tokens
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$home/other/tokens" >other/softhsm2.conf
if run_java '\\.\env token\other' SOFTHSM2_CONF="$home/other/softhsm2.conf"; then
  fail "the registration's SOFTHSM2_CONF replaced the caller's"
fi
has err 'no initialised, writable token labelled "env token"'
echo "token environment checks held"
