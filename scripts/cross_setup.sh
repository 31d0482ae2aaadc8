#!/bin/bash
# Installs what the builds for other architectures need on a Debian 12 amd64
# machine (run as root): the foreign architectures arm64, armhf and i386,
# Debian's cross compilers, qemu-user for running arm64 and armhf programs,
# and the development packages of each architecture (SANE's header is the
# same for every architecture: the build machine's libsane-dev, which
# scripts/setup.sh installs, serves them all). Safe to run again.
set -eu
. "$(dirname "$0")/packages_lib.sh"
packages=(qemu-user)
for a in arm64 armhf i386; do
  packages+=("crossbuild-essential-$a")
  for p in libusb-1.0-0-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev; do packages+=("$p:$a"); done
done
install_packages "cross setup" "${packages[@]}"
