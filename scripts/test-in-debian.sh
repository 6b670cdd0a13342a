#!/usr/bin/env bash
# For maintainers: runs the README's test command on another Debian release.
#   scripts/test-in-debian.sh SUITE     (bookworm, trixie, ...)
# Makes a root of that suite with debootstrap in build/debian-SUITE (kept and
# reused), puts a clean clone of the current commit into it (uncommitted
# changes are not taken), runs scripts/test.sh there as root with /proc, /sys,
# /dev, /dev/pts and /dev/shm bound, prints its closing line and exits with its status.
# Needs root (or sudo) and the Debian mirror.
set -uo pipefail
suite=${1:?usage: scripts/test-in-debian.sh SUITE (e.g. bookworm, trixie)}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if ! command -v debootstrap >/dev/null; then
  echo "installing: debootstrap"
  "${sudo_cmd[@]}" apt-get update -qq && "${sudo_cmd[@]}" apt-get install -y -qq debootstrap >/dev/null ||
    { echo "could not install debootstrap"; exit 1; }
fi

chroot_dir="$root/build/debian-$suite"
mkdir -p "$root/build"
if [ ! -f "$chroot_dir/.ventrix-root-ready" ]; then
  echo "== debootstrap $suite into $chroot_dir (once; a few minutes)"
  "${sudo_cmd[@]}" rm -rf "$chroot_dir"
  "${sudo_cmd[@]}" debootstrap --variant=minbase "$suite" "$chroot_dir" "$mirror" >"$root/build/debootstrap-$suite.log" 2>&1 ||
    { tail -n 20 "$root/build/debootstrap-$suite.log"; echo "debootstrap $suite failed"; exit 1; }
  "${sudo_cmd[@]}" touch "$chroot_dir/.ventrix-root-ready"
fi

commit=$(git rev-parse HEAD)
echo "== clean clone of $commit into the $suite root"
"${sudo_cmd[@]}" rm -rf "$chroot_dir/src/ventrix"
"${sudo_cmd[@]}" mkdir -p "$chroot_dir/src"
"${sudo_cmd[@]}" git clone -q --no-checkout "$root" "$chroot_dir/src/ventrix" &&
  "${sudo_cmd[@]}" git -C "$chroot_dir/src/ventrix" -c advice.detachedHead=false checkout -q "$commit" ||
  { echo "could not clone $commit"; exit 1; }
"${sudo_cmd[@]}" cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null

mounted=()
cleanup() {
  # Whatever the run left inside (wineserver, Xvfb) would keep the mounts busy.
  local p i
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$chroot_dir" ] && "${sudo_cmd[@]}" kill -9 "${p#/proc/}" 2>/dev/null
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    "${sudo_cmd[@]}" umount "${mounted[i]}" 2>/dev/null || "${sudo_cmd[@]}" umount -l "${mounted[i]}"
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for m in proc sys dev dev/pts dev/shm; do
  "${sudo_cmd[@]}" mkdir -p "$chroot_dir/$m"
  "${sudo_cmd[@]}" mount --bind "/$m" "$chroot_dir/$m" || { echo "could not bind /$m"; exit 1; }
  mounted+=("$chroot_dir/$m")
done

log="$root/build/test-in-debian-$suite.log"
echo "== bash scripts/test.sh in the $suite root (log: $log)"
"${sudo_cmd[@]}" chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  ${VENTRIX_FUZZ_SECONDS:+VENTRIX_FUZZ_SECONDS=$VENTRIX_FUZZ_SECONDS} ${VENTRIX_NO_32BIT:+VENTRIX_NO_32BIT=$VENTRIX_NO_32BIT} \
  bash -c 'cd /src/ventrix && bash scripts/test.sh' 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
closing=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n1)
echo "$suite: ${closing:-no closing line} (exit $rc)"
exit "$rc"
