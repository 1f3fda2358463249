#!/bin/sh
# make install's result, run from where it was staged: cmake --install into
# a temporary DESTDIR, then the installed launcher with JAVA_HOME set (and
# java off the PATH), through a symbolic link from another folder, with
# each JDK in /usr/lib/jvm that runs the tool, with no warning on either.
# The launcher holds no path of the build tree; the class-data archive goes
# to the user's cache (here a temporary XDG_CACHE_HOME), never into the
# JDK; the man page and the bash completion are there and offer exactly the
# commands of `mscapi --help`.
# Usage: install_cli.sh BUILD
set -u
build=$(cd "$1" && pwd)
. "$(dirname "$0")/lib.sh"
tmp=$home
# The installed launcher as a user runs it, without JNI checks.
unset MSCAPI_JAVA_OPTS
# Paths with a blank: the launcher keeps each one a single word.
export XDG_CACHE_HOME="$tmp/cache dir"

DESTDIR="$tmp/dest dir" cmake --install "$build" --prefix /opt/mscapi-test >"$tmp/install.log" ||
  { cat "$tmp/install.log"; fail "cmake --install"; }
root="$tmp/dest dir/opt/mscapi-test"
for f in bin/mscapi lib/mscapi/libmscapi.so lib/mscapi/mscapi.jar lib/mscapi/picocli.jar lib/mscapi/mscapi-admin \
  share/man/man1/mscapi.1 share/bash-completion/completions/mscapi; do
  [ -f "$root/$f" ] || fail "$f not installed"
done
[ -x "$root/bin/mscapi" ] && [ -x "$root/lib/mscapi/mscapi-admin" ] || fail "not executable"

# For applications: the library in the multiarch JNI folder (where Debian's
# JDK looks when the prefix is /usr), the versioned API jar in share/java with
# its link, the javadoc. A program compiled against the installed API jar
# runs with plain java -cp; the library folder is named only because this
# prefix is not /usr.
arch=$(gcc -print-multiarch)
jni="$root/lib/$arch/jni"
[ -f "$jni/libmscapi.so" ] || fail "libmscapi.so not in lib/$arch/jni"
[ "$(readlink -f "$root/lib/mscapi/libmscapi.so")" = "$(readlink -f "$jni/libmscapi.so")" ] ||
  fail "lib/mscapi/libmscapi.so is not the JNI folder's library"
[ -f "$root/share/java/mscapi-api-4.2.jar" ] && [ -L "$root/share/java/mscapi-api.jar" ] || fail "no API jar"
[ -f "$root/share/doc/mscapi/api/com/qel/varnel/MscapiProvider.html" ] || fail "no javadoc"
jar tf "$root/share/java/mscapi-api.jar" | grep -q 'com/qel/varnel/tool/' && fail "the API jar holds the tool"
mkdir "$tmp/app"
cat >"$tmp/app/App.java" <<'JAVA'
import java.security.KeyStore;
import java.security.Provider;
import java.security.Security;
import java.util.ServiceLoader;

public class App {
    public static void main(String[] args) throws Exception {
        for (Provider p : ServiceLoader.load(Provider.class)) {
            Security.addProvider(p);
        }
        KeyStore ks = KeyStore.getInstance("MSCAPI-MY");
        ks.load(null, null);
        System.out.println(ks.getProvider().getName() + " " + ks.size());
    }
}
JAVA
javac -cp "$root/share/java/mscapi-api.jar" -d "$tmp/app" "$tmp/app/App.java" || fail "compiling against the API jar"
# A sanitizer build's library needs its runtime loaded first (as run-java.sh does).
asan=
if grep -q '^MSCAPI_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then
  asan="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
fi
out=$(env ${asan:+LD_PRELOAD="$asan"} ${asan:+ASAN_OPTIONS=detect_leaks=0:handle_segv=0} \
  java -cp "$root/share/java/mscapi-api.jar:$tmp/app" -Djava.library.path="$jni" App 2>&1) ||
  { echo "$out"; fail "a program from the installed tree"; }
[ "$out" = "MSCAPI 0" ] || { echo "$out"; fail "the installed provider's key store"; }
grep -qF "$build" "$root/bin/mscapi" && fail "the installed launcher names the build tree"
readelf -d "$root/lib/mscapi/libmscapi.so" "$root/lib/mscapi/mscapi-admin" | grep -qF "$build" &&
  fail "an installed binary keeps a path of the build tree"

# Java from JAVA_HOME only: PATH has no java.
java17=$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")
mkdir "$tmp/bin"
for t in sh cat rm mv mkdir mktemp readlink sed grep env; do ln -s "$(command -v $t)" "$tmp/bin/$t"; done
runs=0
for jdk in "$java17" /usr/lib/jvm/temurin-25-jdk-amd64; do
  [ -x "$jdk/bin/java" ] || continue
  touch "$tmp/before"
  for i in 1 2; do
    # The first run makes the archive, the second uses it: both quiet.
    env PATH="$tmp/bin" JAVA_HOME="$jdk" "$root/bin/mscapi" version >"$tmp/out" 2>"$tmp/err" ||
      { cat "$tmp/out" "$tmp/err"; fail "installed mscapi version with $jdk"; }
    [ "$(cat "$tmp/out")" = "mscapi 4.2 (262146)" ] || { cat "$tmp/out"; fail "version output with $jdk"; }
    [ -s "$tmp/err" ] && { cat "$tmp/err"; fail "stderr not empty with $jdk (run $i)"; }
    runs=$((runs + 1))
  done
  # (a sanitizer build makes no archive)
  grep -q '^MSCAPI_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt" ||
    find "$XDG_CACHE_HOME/mscapi" -name '*.jsa' | grep -q "cds$jdk/" || fail "no class-data archive for $jdk"
  [ -z "$(find "$jdk" -newer "$tmp/before" 2>/dev/null | head -1)" ] || fail "the JDK $jdk was written to"
done
[ "$runs" -ge 2 ] || fail "no JDK ran the tool"
[ -z "$(ls "$XDG_CACHE_HOME/mscapi/runs")" ] || fail "a run left its trace behind"

# Through a link in another folder, with a command that fails with a cause
# (the trace is found) and the native commands (mscapi-admin is found).
ln -s "$root/bin/mscapi" "$tmp/bin/mscapi"
env PATH="$tmp/bin" JAVA_HOME="$java17" mscapi sign /dev/null --container nowhere 2>"$tmp/err" &&
  fail "sign without a container"
grep -qF 'no container nowhere' "$tmp/err" || { cat "$tmp/err"; fail "no cause through the link"; }
env PATH="$tmp/bin" JAVA_HOME="$java17" mscapi check >"$tmp/out" || { cat "$tmp/out"; fail "check through the link"; }
grep -q "^check: 0 problems" "$tmp/out" || fail "check output"
env PATH="$tmp/bin" JAVA_HOME="$tmp/nojdk" mscapi version 2>"$tmp/err" && fail "a JAVA_HOME without java"
grep -qF "is not a Java runtime; set JAVA_HOME" "$tmp/err" || { cat "$tmp/err"; fail "no word on a bad JAVA_HOME"; }

# The man page and the completion name every command of --help.
JAVA_HOME="$java17" "$root/bin/mscapi" --help >"$tmp/help" || fail "--help"
commands=$(sed -n 's/^  mscapi \([a-z-]*\).*/\1/p' "$tmp/help" | sort -u)
[ "$(echo "$commands" | wc -l)" -ge 20 ] || fail "few commands in --help: $commands"
man=$root/share/man/man1/mscapi.1
grep -q '^\.TH MSCAPI 1 ' "$man" || fail "no .TH in the man page"
grep -q 'MSCAPI_HOME' "$man" || fail "the man page does not name MSCAPI_HOME"
for c in $commands; do
  grep -q "^\.B mscapi $(echo "$c" | sed 's/-/\\\\-/g')\b" "$man" || fail "the man page lacks $c"
done
if command -v man >/dev/null 2>&1; then
  MANWIDTH=80 man --warnings -l "$man" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l"
  grep -q "unblock" "$tmp/man.txt" || fail "the man page does not render"
  [ -s "$tmp/man.err" ] && { cat "$tmp/man.err"; fail "groff warns about the man page"; }
fi
completion=$root/share/bash-completion/completions/mscapi
complete_words() {
  bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _complete_mscapi; echo "${COMPREPLY[*]}"' _ "$completion" "$@"
}
got=$(complete_words mscapi "")
for c in $commands; do
  case " $got " in *" $c "*) ;; *) fail "completion lacks $c: $got" ;; esac
done
[ "$(complete_words mscapi ex)" = "export export-pfx" ] || fail "completion of ex: $(complete_words mscapi ex)"
[ "$(complete_words mscapi certs "")" = "MY ROOT CA AddressBook Varnel" ] || fail "completion of a store"
[ "$(complete_words mscapi sign --h | tr ' ' '\n' | sort | tr '\n' ' ')" = "--hash --help " ] || fail "completion of sign --h: $(complete_words mscapi sign --h)"
[ "$(complete_words mscapi genkey --spec "")" = "exchange signature" ] || fail "completion of --spec"

# No more commands either: the man page and the completion offer exactly
# --help's command list, so a command dropped from the tool leaves neither.
man_commands=$(sed -n 's/^\.B mscapi \([a-z][a-z\\-]*\).*/\1/p' "$man" | sed 's/\\-/-/g' | sort -u)
[ "$man_commands" = "$commands" ] ||
  { printf 'man page: %s\n--help: %s\n' "$man_commands" "$commands"; fail "the man page's commands differ from --help's"; }
completion_commands=$(complete_words mscapi "" | tr ' ' '\n' | grep -v '^-' | sort -u)
[ "$completion_commands" = "$commands" ] ||
  { printf 'completion: %s\n--help: %s\n' "$completion_commands" "$commands"; fail "the completion's commands differ from --help's"; }
echo "install checks held"
