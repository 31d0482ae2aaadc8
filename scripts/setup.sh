#!/bin/bash
# Installs what the project needs on a Debian 12 machine (run as root).
# Safe to run again: packages already present are left as they are.
set -eu
packages=(
  build-essential cmake pkg-config clang lld libclang-rt-14-dev
  libusb-1.0-0-dev libsane-dev libjpeg62-turbo-dev libjpeg62-turbo
  libgtest-dev libgmock-dev libbenchmark-dev
  sane-utils libsane1 sane python3-sane python3-pil
  snmpd snmp umockdev libumockdev-dev iproute2 util-linux
  gettext valgrind systemd libvips-dev bc procps
)
# The build machine's own architecture counts: once foreign architectures are
# added (scripts/cross_setup.sh), a package may be installed for arm64 only.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
    grep -qE "^($native|all) install ok installed" || missing+=("$p:$native")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
