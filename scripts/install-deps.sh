#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12; installs only what
# is missing, so it is cheap to run again. Run as root (or with sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache clang clang-format clang-tidy
  libclang-rt-14-dev python3
  desktop-file-utils appstream shared-mime-info
  libgtest-dev libgmock-dev libbenchmark-dev
  libhidapi-dev libudev-dev libcurl4-openssl-dev libminizip-dev zlib1g-dev libpng-dev
  libcli11-dev nlohmann-json3-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth fonts-noto-cjk
  lighttpd lighttpd-mod-openssl openssl
)
if [ "${KORVANA_WITH_VM:-0}" = 1 ]; then
  packages+=(qemu-system-x86 cpio busybox-static udev kmod xz-utils)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
