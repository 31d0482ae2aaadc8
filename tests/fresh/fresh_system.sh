#!/bin/bash
# What a new Debian 12 machine sees (stage 5 of scripts/test.sh; as root): a
# clean root from mmdebstrap (minbase; the tarball is kept in /var/cache/orvela)
# holding only a clone of the committed sources. In it, with no network but
# Debian's archive: setup.sh package alone, then the README's amd64 package
# build; cross_setup.sh, then its recipe for arm64, armhf and i386, each
# package's backend path, files (amd64's) and dependencies checked; the demo
# and its page; the amd64 package installed, scanned through and purged
# (e2e_package.sh); cross_test.sh, in a private network namespace. Then
# lintian on the four packages, here. The root's mounts live in a mount
# namespace of this script's and are undone on every way out.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
say() { echo "fresh system: $*"; }

case ${1:-} in
'')
  . "$top/scripts/packages_lib.sh"
  install_packages "fresh system" mmdebstrap lintian >/dev/null
  tar=/var/cache/orvela/bookworm-minbase.tar
  # From deb.debian.org alone, the mirror this machine's apt uses.
  [ -s "$tar" ] || { mkdir -p "${tar%/*}" && mmdebstrap -q --variant=minbase --format=tar bookworm "$tar.part" \
    "deb http://deb.debian.org/debian bookworm main" "deb http://deb.debian.org/debian bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main" && mv "$tar.part" "$tar"; }
  root=$(mktemp -d /var/tmp/orvela-fresh.XXXXXX)
  trap 'rm -rf --one-file-system "$root"' EXIT
  tar -xf "$tar" -C "$root"
  # What an installed system has besides its packages: a resolver, localhost.
  cp /etc/resolv.conf "$root/etc/"
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  git clone -q "$top" "$root/root/proj"
  rc=0
  unshare -m --propagation private "$0" --mounted "$root" || rc=1
  shopt -s nullglob
  debs=("$root"/root/proj/build-{pkg,arm64,armhf,i386}/libsane-orvela_*.deb)
  if [ ${#debs[@]} = 0 ]; then
    say "no package to check with lintian"
  elif lintian -I --pedantic --fail-on error,warning,info,pedantic "${debs[@]}" >"$root/lintian.log" 2>&1; then
    say "lintian -I --pedantic: ${#debs[@]} packages, no tag"
  else
    say "lintian FAILED:"; cat "$root/lintian.log"; rc=1
  fi
  say "$([ $rc = 0 ] && echo passed || echo FAILED) in $SECONDS s"
  exit $rc
  ;;
--mounted)
  root=$2
  trap 'umount -R "$root"' EXIT
  mount --bind "$root" "$root"  # a mount point, as a system's root is (unshare -m needs it)
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    /bin/bash /root/proj/tests/fresh/fresh_system.sh --inside
  ;;
--inside)
  cd /root/proj
  log=/root/step.log failed=0
  run() {  # WHAT COMMAND...: the output in $log, its end shown on failure
    local what=$1 start=$SECONDS; shift
    if "$@" >"$log" 2>&1; then say "$what ($((SECONDS - start)) s)"; else say "$what FAILED"; tail -25 "$log"; exit 1; fi
  }
  readme_package() {  # DIR [TOOLCHAIN ARGUMENT]: a warning fails it, shown at the log's end
    cmake -S . -B "$1" "${@:2}" -DBUILD_TESTING=OFF && cmake --build "$1" -j"$(nproc)" || return 1
    # Through a file of their own: grep does not read the file it writes to.
    if grep -A2 ': warning:' "$log" >"$log.warnings"; then echo "the build warned:"; cat "$log.warnings"; return 1; fi
    (cd "$1" && cpack -G DEB)
  }
  run "setup.sh package" bash scripts/setup.sh package
  run "amd64 package as the README builds it" readme_package build-pkg
  run "cross_setup.sh" bash scripts/cross_setup.sh
  for arch in arm64 armhf i386; do
    run "$arch package as the README builds it" readme_package "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake"
  done
  for deb in build-{pkg,arm64,armhf,i386}/libsane-orvela_*.deb; do
    arch=$(dpkg-deb -f "$deb" Architecture) depends=$(dpkg-deb -f "$deb" Depends) wrong=
    backend=/usr/lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)/sane/libsane-orvela.so.1.0.0
    files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed "s|^.${backend%/sane/*}/|./usr/lib/MULTIARCH/|")
    [ "${amd64_files:=$files}" = "$files" ] || wrong+=" other files than amd64's: $(diff <(echo "$amd64_files") <(echo "$files") | grep '^[<>]')"
    names=$(tr , '\n' <<<"$depends" | awk '{print $1}')
    for d in libsane1 libusb-1.0-0 libjpeg62-turbo libstdc++6; do grep -qxF $d <<<"$names" || wrong+=" no $d"; done
    ! grep -qE '^lib(32|64|x32)' <<<"$names" || wrong+=" a multilib dependency"
    elf=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$backend" | file -b -)
    say "$deb: $backend (${elf%%, BuildID*}); Depends: $depends${wrong:+; FAILED:$wrong}"
    [ -z "$wrong" ] || failed=1
  done
  run "bash scripts/demo.sh" bash scripts/demo.sh
  grep -E '^(device|Scanned)' "$log" | sed 's/^/fresh system: demo: /'
  page=$(file -b out/page.png)
  say "out/page.png: $page"
  [[ $page == "PNG image data, 2480 x 3507, 8-bit/color RGB"* ]] || { say "not an A4 colour page at 300 dpi"; failed=1; }
  # The README's package again (its build is up to date), installed and
  # purged; the probe is a host program the demo does not build.
  cmake --build build --target host_probe >/dev/null
  LAB_BIN=$PWD/build/lab ORVELA_PACKAGE_BUILD=$PWD/build-pkg unshare -n tests/e2e/e2e_package.sh >"$log" 2>&1 || failed=1
  grep -E "^(FAIL|device|ok: (grey scan|package gone|/usr and /etc))|passed," "$log" | sed 's/^/fresh system: installed package: /'
  unshare -n bash -c 'ip link set lo up && bash scripts/cross_test.sh' || failed=1
  exit $failed
  ;;
esac
