#!/usr/bin/env bash
# Installs what building and testing Ventrix needs on Debian/Ubuntu; a no-op when all is there.
# Package names are those Debian 12 and 13 and Ubuntu 22.04 and 24.04 all know,
# except the clang runtime, which is picked to match the clang that is installed.
set -euo pipefail

pkgs=(cmake ninja-build g++ googletest
      g++-mingw-w64-i686 gcc-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
      g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
      wine wine64 wine32:i386 xvfb xdotool x11-utils imagemagick fonts-wine wixl msitools
      clang python3 osslsigncode openssl)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

updated=0
apt_install() {  # apt_install PACKAGE...
  echo "installing: $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    updated=0
  fi
  if [ $updated -eq 0 ]; then "${sudo_cmd[@]}" apt-get update -qq; updated=1; fi
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"

# The sanitizer and libFuzzer runtime of the installed clang. Its package is
# named per release: libclang-rt-<major>-dev (Debian 12 and later, Ubuntu
# 23.04 and later), with libclang-rt-dev for the default clang on the newer
# ones; Ubuntu 22.04 ships it inside libclang-common-<major>-dev.
clang_major=$(clang -dumpversion | cut -d. -f1)
runtimes=("libclang-rt-$clang_major-dev" libclang-rt-dev "libclang-common-$clang_major-dev")
known() { apt-cache show "$1" 2>/dev/null | grep -q '^Package:'; }
pick_runtime() { local p; for p in "${runtimes[@]}"; do known "$p" && { echo "$p"; return 0; }; done; return 1; }
runtime=$(pick_runtime) || { "${sudo_cmd[@]}" apt-get update -qq; updated=1; runtime=$(pick_runtime); } || {
  echo "no clang runtime package found for clang $clang_major (tried: ${runtimes[*]})" >&2
  exit 1
}
installed "$runtime" || apt_install "$runtime"
