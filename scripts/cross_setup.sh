#!/bin/bash
# Installs what the builds for other architectures need on a Debian 12 amd64
# machine (run as root): the foreign architectures arm64, armhf and i386,
# Debian's cross compilers, qemu-user for running arm64 and armhf programs,
# and the development packages of each architecture (SANE's header is the
# same for every architecture: the build machine's libsane-dev, which
# scripts/setup.sh installs, serves them all). Safe to run again.
set -eu
arches=(arm64 armhf i386)
dev_packages=(libusb-1.0-0-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev)
packages=(qemu-user)
for a in "${arches[@]}"; do
  packages+=("crossbuild-essential-$a")
  for p in "${dev_packages[@]}"; do packages+=("$p:$a"); done
done
# (The cross compilers themselves are packages of the build machine.)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "cross setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  known=$(dpkg --print-foreign-architectures)
  for a in "${arches[@]}"; do
    echo "$known" | grep -qx "$a" || dpkg --add-architecture "$a"
  done
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "cross setup: all packages present"
