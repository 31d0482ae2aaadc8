#!/bin/bash
# Installs what the project needs on a Debian 12 machine (run as root).
# Safe to run again: packages already present are left as they are.
set -eu
. "$(dirname "$0")/packages_lib.sh"
install_packages setup \
  build-essential cmake pkg-config clang lld libclang-rt-14-dev \
  libusb-1.0-0-dev libsane-dev libjpeg62-turbo-dev libjpeg62-turbo \
  libgtest-dev libgmock-dev libbenchmark-dev \
  sane-utils libsane1 sane python3-sane python3-pil \
  snmpd snmp umockdev libumockdev-dev iproute2 util-linux \
  gettext valgrind systemd libvips-dev bc procps
