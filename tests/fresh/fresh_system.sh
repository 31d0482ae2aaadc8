#!/bin/bash
# What a new machine sees (stage 5 of scripts/test.sh; as root): a clean
# Debian 12 root and a clean Debian 13 root, side by side, each made by
# mmdebstrap (minbase; the tarballs are kept in /var/cache/orvela) and holding
# only a clone of the committed sources. In each, with no network but
# Debian's archive: setup.sh package alone, then the README's amd64 package
# build; cross_setup.sh, then its recipe for the other architectures (Debian
# 12: arm64, armhf and i386; Debian 13: arm64 and armhf), each package's
# backend path, files (amd64's) and dependencies checked; the demo and its
# page; the amd64 package installed, scanned through and purged
# (e2e_package.sh); that release's own lintian on its packages. The Debian 13
# root also builds every variant of stage 0 with its compilers; the Debian 12
# root then runs cross_test.sh in a private network namespace. A root's
# mounts live in a mount namespace of its own and are undone on every way out.
#   ORVELA_FRESH_RELEASES="trixie" picks roots (default "bookworm trixie").
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
say() { echo "fresh system${release:+ ($release)}: $*"; }
number() { case $1 in bookworm) echo 12 ;; trixie) echo 13 ;; *) echo "?" ;; esac; }
# The architectures each release's root builds packages for besides amd64
# (Debian 13 no longer installs as i386).
cross_arches() { case $1 in bookworm) echo arm64 armhf i386 ;; *) echo arm64 armhf ;; esac; }

# The source lines of a root: the release's main suite, and its updates and
# security suites when their lists fetch for every architecture the root
# installs from. A suite whose lists fetch for some architectures only (a
# mirror in the middle of a sync) would split the versions of multi-arch
# packages: amd64's linux-libc-dev from the security suite, i386's from the
# main suite, and no libc6-dev:i386 to be had.
root_sources() {  # RELEASE ARCH...
  local release=$1 suite line work ok
  shift
  echo "deb http://deb.debian.org/debian $release main"
  for suite in "$release-updates" "$release-security"; do
    line="deb http://deb.debian.org/debian $suite main"
    [[ $suite != *-security ]] || line="deb http://deb.debian.org/debian-security $suite main"
    work=$(mktemp -d)
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    echo "$line" >"$work/sources.list"
    ok=1
    update_lists "fresh system ($release)" -o Dir::State::Lists="$work/lists" -o Dir::State::status=/dev/null \
      -o Dir::Cache="$work/cache" -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
      $(printf -- '-o APT::Architectures::=%s ' "$@") 2>"$work/err" || ok=0
    if [ $ok = 1 ]; then echo "$line"; else say "$suite left out: its lists do not all fetch for $*:" >&2; grep '^  Err:' "$work/err" >&2; fi
    rm -rf "$work"
  done
}

case ${1:-} in
'')
  . "$top/scripts/packages_lib.sh"
  install_packages "fresh system" mmdebstrap >/dev/null
  logs=$(mktemp -d) rc=0
  trap 'rm -rf "$logs"' EXIT
  releases=${ORVELA_FRESH_RELEASES:-bookworm trixie}
  for release in $releases; do "$0" --root "$release" >"$logs/$release" 2>&1 & echo $! >"$logs/$release.pid"; done
  for release in $releases; do wait "$(cat "$logs/$release.pid")" || rc=1; cat "$logs/$release"; done
  release=
  say "$([ $rc = 0 ] && echo passed || echo FAILED) in $SECONDS s"
  exit $rc
  ;;
--root)
  release=$2
  . "$top/scripts/packages_lib.sh"
  arches=(amd64 $(cross_arches "$release"))
  say "a clean Debian $(number "$release") root"
  mapfile -t sources < <(root_sources "$release" "${arches[@]}")
  # The architectures are known before the first list is fetched, so that
  # every list the root ever fetches is of the same suites for all of them.
  tar=/var/cache/orvela/$release-minbase-$(echo "${arches[*]} ${sources[*]}" | md5sum | cut -c1-8).tar
  if [ ! -s "$tar" ]; then
    mkdir -p "${tar%/*}" && rm -f "$tar.part"
    mmdebstrap -q --variant=minbase --architectures="$(IFS=,; echo "${arches[*]}")" --format=tar \
      "$release" "$tar.part" "${sources[@]}" || { say "mmdebstrap FAILED"; exit 1; }
    mv "$tar.part" "$tar"
  fi
  say "from ${sources[*]#deb }"
  root=$(mktemp -d "/var/tmp/orvela-fresh-$release.XXXXXX")
  trap 'rm -rf --one-file-system "$root"' EXIT
  tar -xf "$tar" -C "$root"
  # What an installed system has besides its packages: a resolver, localhost.
  cp /etc/resolv.conf "$root/etc/"
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  git clone -q "$top" "$root/root/proj"
  rc=0
  unshare -m --propagation private "$0" --mounted "$root" "$release" || rc=1
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
    /bin/bash /root/proj/tests/fresh/fresh_system.sh --inside "$3"
  ;;
--inside)
  release=$2
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
  cross=($(cross_arches "$release"))
  run "setup.sh package" bash scripts/setup.sh package
  run "amd64 package as the README builds it" readme_package build-pkg
  # The README's command sets up all three; a root without i386 names its own.
  if [ "$release" = bookworm ]; then run "cross_setup.sh" bash scripts/cross_setup.sh
  else run "cross_setup.sh ${cross[*]}" bash scripts/cross_setup.sh "${cross[@]}"; fi
  for arch in "${cross[@]}"; do
    run "$arch package as the README builds it" readme_package "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake"
  done
  debs=()
  for arch in pkg "${cross[@]}"; do debs+=(build-"$arch"/libsane-orvela_*.deb); done
  for deb in "${debs[@]}"; do
    arch=$(dpkg-deb -f "$deb" Architecture) depends=$(dpkg-deb -f "$deb" Depends) wrong=
    backend=/usr/lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)/sane/libsane-orvela.so.1.0.0
    files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed "s|^.${backend%/sane/*}/|./usr/lib/MULTIARCH/|" | sort)
    [ "${amd64_files:=$files}" = "$files" ] || wrong+=" other files than amd64's: $(diff <(echo "$amd64_files") <(echo "$files") | grep '^[<>]')"
    names=$(tr , '\n' <<<"$depends" | awk '{print $1}')
    for d in libsane1 libusb-1.0-0 libjpeg62-turbo libstdc++6; do grep -qxF $d <<<"$names" || wrong+=" no $d"; done
    # Highway is built in from its headers: no runtime package (libhwy1 or libhwy1t64).
    ! grep -qE '^libhwy' <<<"$names" || wrong+=" depends on Highway's runtime"
    ! grep -qE '^lib(32|64|x32)' <<<"$names" || wrong+=" a multilib dependency"
    elf=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$backend" | file -b -)
    say "$deb: $backend (${elf%%, BuildID*}); Depends: $depends${wrong:+; FAILED:$wrong}"
    [ -z "$wrong" ] || failed=1
  done
  run "bash scripts/demo.sh" bash scripts/demo.sh
  grep -E '^(device|Scanned)' "$log" | sed "s/^/fresh system ($release): demo: /"
  page=$(file -b out/page.png)
  say "out/page.png: $page"
  [[ $page == "PNG image data, 2480 x 3507, 8-bit/color RGB"* ]] || { say "not an A4 colour page at 300 dpi"; failed=1; }
  # The compilers of a release the other stages do not build with (they run
  # on Debian 12): every build variant of stage 0, warnings as errors.
  if [ "$release" != bookworm ]; then
    run "build variants with $(gcc -dumpfullversion) and clang $(clang -dumpversion)" bash scripts/build_variants.sh
    sed 's/^/  /' "$log"
  fi
  # The README's package again (its build is up to date), installed and
  # purged; the probe is a host program the demo does not build.
  cmake --build build --target host_probe >/dev/null
  LAB_BIN=$PWD/build/lab ORVELA_PACKAGE_BUILD=$PWD/build-pkg unshare -n tests/e2e/e2e_package.sh >"$log" 2>&1 || failed=1
  grep -E "^(FAIL|device|ok: (grey scan|package gone|/usr and /etc))|passed," "$log" |
    sed "s/^/fresh system ($release): installed package: /"
  # This release's own lintian.
  . scripts/packages_lib.sh
  if ! install_packages "fresh system" lintian >"$log" 2>&1; then
    say "lintian could not be installed:"; cat "$log"; failed=1
  elif lintian -I --pedantic --fail-on error,warning,info,pedantic "${debs[@]}" >"$log" 2>&1; then
    say "lintian $(dpkg-query -W -f='${Version}' lintian) -I --pedantic: ${#debs[@]} packages, no tag"
  else
    say "lintian FAILED:"; cat "$log"; failed=1
  fi
  [ "$release" != bookworm ] || unshare -n bash -c 'ip link set lo up && bash scripts/cross_test.sh' || failed=1
  exit $failed
  ;;
esac
