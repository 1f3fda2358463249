#!/bin/bash
# Runs the README's two commands, `make test` then `make demo`, on a bare
# Debian 12 system: a debootstrap --variant=minbase chroot with only make and
# git added, holding a fresh clone of this repository's committed HEAD.
# Run as root on a Debian host (debootstrap is installed with apt if missing).
# Not part of `make test`. Exits non-zero when either command fails.
#
# The bare base is kept as a tarball, so later runs start in seconds:
#   DEB12_ROOT     the chroot         (default /tmp/deb12, made afresh each run)
#   DEB12_TARBALL  the cached base    (default /tmp/deb12-minbase.tar.gz;
#                                      delete it to debootstrap again)
#   DEB12_MIRROR   the Debian mirror  (default http://deb.debian.org/debian)
# The output of both commands, each line prefixed with the seconds since the
# command started, is also kept in $DEB12_ROOT.log.
set -euo pipefail

root=${DEB12_ROOT:-/tmp/deb12}
tarball=${DEB12_TARBALL:-/tmp/deb12-minbase.tar.gz}
mirror=${DEB12_MIRROR:-http://deb.debian.org/debian}
repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
log=$root.log

[ "$(id -u)" -eq 0 ] || {
  echo "$0: run as root (debootstrap, chroot and mount need it)" >&2
  exit 1
}
case $root in
  /?*/?*) ;;
  *)
    echo "$0: DEB12_ROOT must be an absolute path below a directory: $root" >&2
    exit 1
    ;;
esac

# Mount points at or below the chroot, deepest first.
mounts_below() {
  awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}
unmount_all() {
  local m
  for m in $(mounts_below); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}
# Never deletes a tree that still has the host's /dev or /proc inside it.
remove_root() {
  unmount_all
  if [ -n "$(mounts_below)" ]; then
    echo "$0: still mounted below $root: $(mounts_below | tr '\n' ' ')" >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}

step_names=()
step_secs=()
# timed NAME COMMAND...: runs the command and records how long it took.
timed() {
  local name=$1 start=$SECONDS rc=0
  shift
  "$@" || rc=$?
  step_names+=("$name")
  step_secs+=($((SECONDS - start)))
  printf '== %s: %ds (exit %d)\n' "$name" $((SECONDS - start)) "$rc"
  return $rc
}
summary() {
  local i
  echo "== times on the bare Debian 12 system:"
  for i in "${!step_names[@]}"; do
    printf '   %-30s %5ds\n' "${step_names[$i]}" "${step_secs[$i]}"
  done
}

# A command inside the chroot, with the environment a root shell in a
# container has: HOME and PATH, no USER, LANG or JAVA_HOME, nothing from here.
in_chroot() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# The step functions run under `timed`, where set -e does not apply: each
# checks its own commands.
write_sources() {
  # The sources a Debian 12 installation has: the release, its updates and
  # its security fixes.
  rm -f "$root/etc/apt/sources.list"
  printf '%s\n' \
    "Types: deb" "URIs: $mirror" "Suites: bookworm bookworm-updates" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "" \
    "Types: deb" "URIs: http://deb.debian.org/debian-security" "Suites: bookworm-security" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
    >"$root/etc/apt/sources.list.d/debian.sources"
}

make_base() {
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap ||
      return 1
  fi
  remove_root || return 1
  debootstrap --variant=minbase bookworm "$root" "$mirror" || return 1
  write_sources || return 1
  rm -rf "${root:?}"/var/cache/apt/archives/*.deb "${root:?}"/var/lib/apt/lists/*
  tar -czf "$tarball.tmp" -C "$root" . && mv "$tarball.tmp" "$tarball"
}

unpack_base() {
  remove_root || return 1
  mkdir -p "$root" && tar -xzf "$tarball" -C "$root"
}

add_project() {
  # The committed HEAD only: uncommitted changes in the working tree stay out.
  git clone --quiet --no-hardlinks "$repo" "$root/root/mscapi" || return 1
  echo "HEAD $(git -C "$root/root/mscapi" log -1 --format='%h %s')"
}

add_make_git() {
  in_chroot DEBIAN_FRONTEND=noninteractive sh -c \
    'apt-get update -qq && apt-get install -y -qq --no-install-recommends make git >/dev/null'
}

# `make TARGET` in the clone, each output line prefixed with the seconds since
# it started, also appended to the log.
run_make() {
  local start=$SECONDS line
  in_chroot sh -c "cd /root/mscapi && make $1" 2>&1 | while IFS= read -r line; do
    printf '%05d %s\n' $((SECONDS - start)) "$line"
  done | tee -a "$log"
}

cleanup() {
  local rc=$?
  unmount_all
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The previous run's chroot (several GB) goes first, timed on its own.
[ -e "$root" ] && timed "remove the previous chroot" remove_root
if [ -s "$tarball" ]; then
  timed "unpack the cached base" unpack_base
else
  timed "debootstrap (minbase)" make_base
fi
: >"$log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
timed "git clone of HEAD" add_project
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
# apt and anything that opens a terminal expect /dev/pts, as on any machine.
mount --bind /dev/pts "$root/dev/pts"
timed "apt-get install make git" add_make_git

status=0
timed "make test" run_make test || status=1
# Where `make test` spent its time, from the line prefixes.
awk '
  / installing:/ && !i { i = 1; print "   install-deps started at " $1 + 0 "s" }
  / -- The CXX compiler/ && !c { c = 1; print "   configure started at    " $1 + 0 "s" }
  / \[ *[0-9]+%\] / && !b { b = 1; print "   build started at        " $1 + 0 "s" }
  / Test project / && !t { t = 1; print "   ctest started at        " $1 + 0 "s" }
  /tests passed|tests failed|Total Test time/ { print "   " $0 }
' "$log"
timed "make demo" run_make demo || status=1
summary
echo "== log: $log"
if [ $status -eq 0 ]; then
  echo "== make test and make demo passed"
else
  echo "== FAILED"
fi
exit $status
