#!/usr/bin/env bash
# Runs a command on the committed tree inside a minimal Debian, as a fresh
# machine with nothing but Debian's own packages would run it.
#
#   scripts/clean-room.sh [--fresh] SUITE [COMMAND...]
#
# SUITE is bookworm (Debian 12), trixie (Debian 13) or sid (Debian
# unstable); COMMAND defaults to .ci/run. The room is made with debootstrap
# under build/clean-room/SUITE the first time (again with --fresh) and reused
# after; each run exports the committed tree, without .git, into a new folder
# of the room and runs the command there as root, with CI=true, and with the
# commit and its time as KALVO_SOURCE_COMMIT and SOURCE_DATE_EPOCH. Needs
# root and debootstrap.
#
# Nothing of the host is mounted into the room: /dev is a tmpfs of its own
# with the device nodes made afresh, so that no bind mount left behind could
# ever lead a later `rm -rf build` into the host's /dev. Everything mounted
# is unmounted when the run ends, however it ends, and the script checks
# that nothing under the room stays mounted.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

fresh=0
if [[ "${1:-}" == "--fresh" ]]; then
  fresh=1
  shift
fi
suite="${1:-}"
case "$suite" in
  bookworm | trixie | sid) shift ;;
  *)
    echo "usage: scripts/clean-room.sh [--fresh] bookworm|trixie|sid [COMMAND...]" >&2
    exit 2
    ;;
esac
command=("$@")
((${#command[@]})) || command=(bash .ci/run)

if [[ $(id -u) -ne 0 ]]; then
  echo "clean-room.sh: debootstrap, chroot and the mounts need root" >&2
  exit 2
fi
command -v debootstrap >/dev/null || {
  echo "Installing debootstrap"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

mirror="${KALVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
room="$root/build/clean-room/$suite"
ready="$room/.clean-room-ready"
tree=/root/kalvo-update

mounted() { grep -F " $room/" /proc/self/mountinfo | cut -d' ' -f5 || true; }

# Every process still running inside the room (a wineserver, say) is ended,
# then every mount is undone, innermost first.
# shellcheck disable=SC2317 # run by the traps below
cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  for pid in /proc/[0-9]*; do
    if [[ "$(readlink "$pid/root" 2>/dev/null)" == "$room" ]]; then
      kill -KILL "${pid#/proc/}" 2>/dev/null || true
    fi
  done
  sleep 0.2
  local point
  while read -r point; do
    [[ -z "$point" ]] || umount "$point" 2>/dev/null || umount --lazy "$point"
  done < <(mounted | sort -r)
  if [[ -n "$(mounted)" ]]; then
    echo "clean-room.sh: still mounted under $room:" >&2
    mounted >&2
    exit 1
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Whatever an earlier run could not undo (it was killed outright) goes first.
while read -r point; do
  [[ -z "$point" ]] || umount --lazy "$point"
done < <(mounted | sort -r)

if ((fresh)) || [[ ! -e "$ready" ]]; then
  rm -rf --one-file-system "$room"
  mkdir -p "$room"
  echo "Making a minimal Debian $suite in $room"
  debootstrap --variant=minbase "$suite" "$room" "$mirror" >"$room.debootstrap.log" 2>&1 || {
    tail -20 "$room.debootstrap.log" >&2
    exit 1
  }
  # What a default installation reads: the point-release updates and the
  # security archive beside the release itself. Unstable has neither, and
  # its Release file is valid for a week only: a mirror that has not synced
  # for longer (or a snapshot given as KALVO_DEBIAN_MIRROR) serves one that
  # apt refuses as expired. For unstable alone, a moving target anyway, an
  # expired one is taken; a release keeps the check, where an expired file
  # would mean updates withheld.
  if [[ "$suite" == sid ]]; then
    echo "deb [check-valid-until=no] $mirror $suite main" >"$room/etc/apt/sources.list"
  else
    security="${mirror%/debian}/debian-security"
    cat >"$room/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  fi
  touch "$ready"
fi

# The network's certificate authorities, for the registries reached over TLS
# (npm): given to Node and npm as the host has them, never switched off.
cp /etc/resolv.conf "$room/etc/resolv.conf"
ca=/etc/ssl/certs/ca-certificates.crt
ca_in_room=/usr/local/share/clean-room-host-ca.crt
cp "$ca" "$room$ca_in_room"

mount -t proc proc "$room/proc"
mount -t sysfs sysfs "$room/sys"
mount -t tmpfs -o mode=0755,nosuid clean-room-dev "$room/dev"
mknod -m 666 "$room/dev/null" c 1 3
mknod -m 666 "$room/dev/zero" c 1 5
mknod -m 666 "$room/dev/full" c 1 7
mknod -m 666 "$room/dev/random" c 1 8
mknod -m 666 "$room/dev/urandom" c 1 9
mknod -m 666 "$room/dev/tty" c 5 0
mkdir "$room/dev/pts" "$room/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$room/dev/pts"
ln -s pts/ptmx "$room/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$room/dev/shm"
ln -s /proc/self/fd "$room/dev/fd"
ln -s /proc/self/fd/0 "$room/dev/stdin"
ln -s /proc/self/fd/1 "$room/dev/stdout"
ln -s /proc/self/fd/2 "$room/dev/stderr"

# The committed tree alone, as a hosted checkout gives it, and which commit
# it is and when that was made, which the release's bill of materials gives
# and a tree without .git cannot tell.
rm -rf --one-file-system "$room$tree"
mkdir -p "$room$tree"
git -C "$root" archive --format=tar HEAD | tar -x -C "$room$tree"
commit="$(git -C "$root" rev-parse HEAD)"
commit_time="$(git -C "$root" log -1 --format=%ct HEAD)"
echo "Running '${command[*]}' on ${commit:0:7} in Debian $suite"

# In the background, so that a signal to this script is handled at once
# (bash runs a trap only after a foreground child has ended) and the cleanup
# ends whatever runs in the room.
# shellcheck disable=SC2016 # expanded by the room's shell
chroot "$room" /usr/bin/env -i \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  CI=true TERM="${TERM:-dumb}" NODE_EXTRA_CA_CERTS="$ca_in_room" npm_config_cafile="$ca_in_room" \
  KALVO_SOURCE_COMMIT="$commit" SOURCE_DATE_EPOCH="$commit_time" \
  /bin/bash -c 'cd "$0" && exec "$@"' "$tree" "${command[@]}" </dev/null &
status=0
wait $! || status=$?
exit "$status"
