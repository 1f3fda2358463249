# Shared by the tool's CLI tests (sourced after `launcher=$1`): a fresh home
# without the machine's PKCS#11 modules, JNI checks on, and the helpers
#   expect RC CMD...  runs the tool; stdout and stderr in $home/out, $home/err;
#                     fails on another exit code or a Java stack trace
#   has F TEXT, hasnt F TEXT   TEXT is (not) in $home/F
#   mode FILE         FILE's permission bits in octal
home=$(mktemp -d) && trap 'rm -rf "$home"' EXIT
export MSCAPI_HOME="$home/h"
# No machine PKCS#11 modules in this home (the default registration's proxy).
"$(dirname "$0")/../tokens/token-home.sh" "$(dirname "$launcher")" "$MSCAPI_HOME" none || exit 1
export MSCAPI_JAVA_OPTS="-Xcheck:jni"
fail() { echo "FAILED: $*"; exit 1; }
expect() {
  want=$1; shift
  "$launcher" "$@" >"$home/out" 2>"$home/err" </dev/null; rc=$?
  [ "$rc" -eq "$want" ] || { cat "$home/out" "$home/err"; fail "mscapi $* gave $rc, expected $want"; }
  if grep -Eq '^[[:space:]]+at [a-z]|Exception in thread|^(java|javax|org)\.[a-zA-Z.]+(Exception|Error)' "$home/err"; then
    cat "$home/err"; fail "a Java stack trace reached the user: mscapi $*"
  fi
}
has() { grep -qF -- "$2" "$home/$1" || { cat "$home/$1"; fail "no '$2' in $1"; }; }
hasnt() { ! grep -qF -- "$2" "$home/$1" || { cat "$home/$1"; fail "'$2' in $1"; }; }
mode() { stat -c %a "$1"; }
