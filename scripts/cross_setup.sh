#!/bin/bash
# Installs what the builds for other architectures need on a Debian 12 or 13
# amd64 machine (run as root): what building the package needs (setup.sh
# package), the foreign architectures (arm64, armhf and i386, or those named:
# cross_setup.sh arm64 armhf), Debian's cross compilers, qemu-user for
# running arm64 and armhf programs, and the packages of each architecture:
# the development packages, and the C++ runtime, which the package's
# dependency scan reads (an amd64 machine's multilib copy does not stand for
# i386's). SANE's header is the same for every architecture: the build
# machine's libsane-dev serves them all. Safe to run again.
set -eu
. "$(dirname "$0")/packages_lib.sh"
"$(dirname "$0")/setup.sh" package
packages=(qemu-user)
arches=("$@")
[ $# -gt 0 ] || arches=(arm64 armhf i386)
for a in "${arches[@]}"; do
  packages+=("crossbuild-essential-$a")
  for p in libusb-1.0-0-dev libhwy-dev libjpeg62-turbo-dev libstdc++6 libgtest-dev libgmock-dev; do packages+=("$p:$a"); done
done
install_packages "cross setup" "${packages[@]}"
