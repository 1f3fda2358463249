# Shared by the tool's CLI tests, sourced after `launcher=$1` (or, for a
# test of an installed tree, after `build=BUILD_DIR`): a temporary folder
# $home, removed on exit, with a fresh MSCAPI_HOME in $home/h that has no
# PKCS#11 module of the machine (the default registration's proxy finds
# none) and no SoftHSM2 configuration from the caller; JNI checks on. The
# helpers:
#   fail TEXT...      prints FAILED: TEXT and exits 1
#   expect RC CMD...  runs the tool; stdout and stderr in $home/out, $home/err;
#                     fails on another exit code or a Java stack trace
#   has F TEXT, hasnt F TEXT   TEXT is (not) in $home/F
#   has_file PATH PATTERN      the grep pattern matches in PATH
#   no_trace WHAT FILE...      fails when a Java stack trace is in a FILE
#   mode FILE         FILE's permission bits in octal
home=$(mktemp -d) && trap 'rm -rf "$home"' EXIT
export MSCAPI_HOME="$home/h"
unset SOFTHSM2_CONF
"$(dirname "$0")/../tokens/token-home.sh" "${build:-$(dirname "$launcher")}" "$MSCAPI_HOME" none || exit 1
export MSCAPI_JAVA_OPTS="-Xcheck:jni"
fail() { echo "FAILED: $*"; exit 1; }
expect() {
  want=$1; shift
  "$launcher" "$@" >"$home/out" 2>"$home/err" </dev/null; rc=$?
  [ "$rc" -eq "$want" ] || { cat "$home/out" "$home/err"; fail "mscapi $* gave $rc, expected $want"; }
  no_trace "mscapi $*" "$home/err"
}
no_trace() {
  what=$1; shift
  if grep -Eq '^[[:space:]]+at ([a-z]|[a-zA-Z_.$]+\()|Exception in thread|^Caused by:|\.java:[0-9]+\)|^(java|javax|org)\.[a-zA-Z.]+(Exception|Error)' "$@"; then
    cat "$@"; fail "a Java stack trace reached the user: $what"
  fi
}
has() { grep -qF -- "$2" "$home/$1" || { cat "$home/$1"; fail "no '$2' in $1"; }; }
hasnt() { ! grep -qF -- "$2" "$home/$1" || { cat "$home/$1"; fail "'$2' in $1"; }; }
has_file() { grep -q -- "$2" "$1" || fail "no '$2' in $1"; }
mode() { stat -c %a "$1"; }
