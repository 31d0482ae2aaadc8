#!/bin/bash
# Installs what the project needs on a Debian 12 or 13 machine (run as root):
#   setup.sh           everything: the build with its tests, the demo and the
#                      test run
#   setup.sh package   only what building the library and its Debian package
#                      needs (cpack's dependency scan runs file and
#                      dpkg-shlibdeps; libsane-dev brings udev, whose
#                      pkg-config file names the hwdb directory)
# Safe to run again: packages already present are left as they are.
set -eu
. "$(dirname "$0")/packages_lib.sh"
packages=(build-essential cmake pkg-config gettext file libusb-1.0-0-dev libhwy-dev libsane-dev libjpeg62-turbo-dev)
[ "${1:-}" = package ] || packages+=(
  clang lld libclang-rt-dev libjpeg62-turbo
  libgtest-dev libgmock-dev libbenchmark-dev
  sane-utils libsane1 python3-sane python3-pil
  snmpd snmp umockdev libumockdev-dev iproute2 util-linux
  valgrind systemd libvips-dev bc procps man-db)
# scanadf comes with the old frontends package, which Debian 13 no longer has
# (the test that drives it says so and leaves it out).
[ "${1:-}" = package ] || [ "$(debian_release)" != 12 ] || packages+=(sane)
install_packages setup "${packages[@]}"
