#!/bin/sh
# The application's PIN source wins over the provider's registered PIN
# prompt. A token made by `mscapi token init` with a prompt program that
# records each run; a Java program signs twice through the JCA provider with
# a key of "MY" on that token, its PIN given by a callback handler
# (KeyStore.Builder with CallbackHandlerProtection), a key password or an
# MscapiPin, and, for comparison, with no PIN source at all. With a source,
# the prompt never runs, the callback (if any) is asked exactly once, nothing
# reaches the program's standard error, and both signatures verify with the
# certificate; a callback that answers a wrong PIN is asked once, the
# signature is refused, and the prompt is not run in its place. Without a
# source, the prompt runs once (the login is the process's).
#   pin_source_cli.sh LAUNCHER notty   the program has no controlling terminal
#   pin_source_cli.sh LAUNCHER tty     it runs on a pseudo-terminal (script);
#                                      exits 77 (skipped) where none can be had
set -u
launcher=$1 terminal=$2
. "$(dirname "$0")/lib.sh"
build=$(cd "$(dirname "$launcher")" && pwd)
cd "$home" || exit 1
if [ "$terminal" = tty ]; then
  command -v script >/dev/null 2>&1 || { echo "SKIP: no script(1) to make a pseudo-terminal"; exit 77; }
  if ! why=$(script -qec 'tty' /dev/null </dev/null 2>&1) || ! printf '%s' "$why" | grep -q '^/dev/'; then
    echo "SKIP: no pseudo-terminal can be made here: $why"
    exit 77
  fi
fi
provider="SoftHSM2 Token RSA Provider"
container='\\.\pin token\signer'
printf '24681357\n' >so.txt
printf '1357\n' >pin.txt
{
  echo '#!/bin/sh'
  echo "echo ran >>'$home/prompt-runs'"
  echo "cat '$home/pin.txt'"
} >prompt.sh
chmod 700 prompt.sh
expect 0 token init --label "pin token" --so-pin-file so.txt --pin-file pin.txt --pin-prompt "$home/prompt.sh"
expect 0 genkey --container "$container" --provider "$provider" --spec signature
expect 0 selfsign --container "$container" --provider "$provider" --spec signature --subject "CN=Pin Source" \
  --days 2 --add MY
[ -s prompt-runs ] || fail "the registered prompt did not run for genkey (the test's prompt is not the one used)"

mkdir -p classes
cat >PinSource.java <<'EOF'
import java.nio.charset.StandardCharsets;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Security;
import java.security.Signature;
import java.util.concurrent.atomic.AtomicInteger;
import javax.security.auth.callback.PasswordCallback;

/**
 * args: source (callback, password, parameter, none), alias, PIN. Signs twice, verifies with the JDK; a
 * refused signature is said on standard output.
 */
public class PinSource {
    public static void main(String[] args) throws Exception {
        Security.addProvider(new com.qel.varnel.MscapiProvider());
        String source = args[0];
        char[] pin = args[2].toCharArray();
        AtomicInteger asked = new AtomicInteger();
        KeyStore my;
        if (source.equals("callback")) {
            my = KeyStore.Builder.newInstance("MSCAPI-MY", null, new KeyStore.CallbackHandlerProtection(cbs -> {
                asked.incrementAndGet();
                ((PasswordCallback) cbs[0]).setPassword(pin);
            })).getKeyStore();
        } else {
            my = KeyStore.getInstance("MSCAPI-MY");
            my.load(null, null);
        }
        PrivateKey key = (PrivateKey) my.getKey(args[1], source.equals("password") ? pin : null);
        byte[] message = "signed with the application's PIN".getBytes(StandardCharsets.UTF_8);
        StringBuilder verified = new StringBuilder("verified:");
        for (int i = 0; i < 2; i++) {
            Signature signer = Signature.getInstance("SHA256withRSA");
            signer.initSign(key);
            if (source.equals("parameter")) {
                signer.setParameter(new com.qel.varnel.MscapiPin(pin));
            }
            signer.update(message);
            byte[] signature;
            try {
                signature = signer.sign();
            } catch (java.security.SignatureException e) {
                verified.append(" refused");
                break;
            }
            Signature verifier = Signature.getInstance("SHA256withRSA", "SunRsaSign");
            verifier.initVerify(my.getCertificate(args[1]));
            verifier.update(message);
            verified.append(' ').append(verifier.verify(signature));
        }
        System.out.println(verified);
        System.out.println("callback asked " + asked.get() + " time(s)");
    }
}
EOF
javac -cp "$build/mscapi.jar" -d classes PinSource.java || fail "javac"
# A sanitizer build's library needs its runtime loaded first (as run-java.sh does).
asan=
if grep -q '^MSCAPI_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then
  asan="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
fi
cat >run.sh <<EOF
#!/bin/sh
tty >'$home/tty' 2>&1
exec env ${asan:+LD_PRELOAD="'$asan'" ASAN_OPTIONS=detect_leaks=0:handle_segv=0} java -Xcheck:jni \
  -cp '$build/mscapi.jar:$home/classes' -Djava.library.path='$build' PinSource "\$@" >'$home/out' 2>'$home/err'
EOF
chmod 700 run.sh

# source | the PIN it gives | prompt runs expected | callback calls expected | signatures
while IFS='|' read -r source pin runs calls result; do
  rm -f prompt-runs out err tty
  if [ "$terminal" = tty ]; then
    script -qec "'$home/run.sh' $source 'Pin Source' $pin" /dev/null </dev/null >script.txt 2>&1
    grep -q '^/dev/' tty || { cat tty; fail "$source: not on a terminal"; }
  else
    setsid -w "$home/run.sh" "$source" 'Pin Source' "$pin" </dev/null
    ! grep -q '^/dev/' tty || { cat tty; fail "$source: on a terminal"; }
  fi
  [ -f out ] || { cat script.txt 2>/dev/null; fail "$source: the program did not run"; }
  grep -qx "verified: $result" out || { cat out err; fail "$source ($pin): expected verified: $result"; }
  has out "callback asked $calls time(s)"
  ran=$(cat prompt-runs 2>/dev/null | wc -l)
  [ "$ran" -eq "$runs" ] || { cat out err; fail "$source: the registered prompt ran $ran time(s), expected $runs"; }
  if [ "$source" != none ] && [ -s err ]; then
    cat err; fail "$source: the program's standard error is not empty"
  fi
  echo "$terminal $source ($pin): prompt ran $ran, callback asked $calls, $result"
done <<'CASES'
callback|0000|0|1|refused
callback|1357|0|1|true true
password|1357|0|0|true true
parameter|1357|0|0|true true
none|1357|1|0|true true
CASES
echo "PIN source checks held"
