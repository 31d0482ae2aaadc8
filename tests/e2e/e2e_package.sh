#!/bin/bash
# The Debian package, end to end: build it from the sources, install it with
# apt-get, find and scan from a simulated network scanner with scanimage and
# no environment variable (the package alone makes libsane load the backend),
# check the translated option lists and the udev marking of the USB models,
# then purge it and check that no file is left behind.
#
# Everything that touches /usr, /etc and /var happens inside a private mount
# namespace where the three are overlays on a tmpfs: the machine itself never
# sees the package, whatever happens to this script.
#
# Runs inside a fresh network namespace (ctest starts it under unshare -n).
# Needs LAB_BIN (see lab_lib.sh); builds the package in <build>/package-build
# (or ORVELA_PACKAGE_BUILD, which may hold the README's package build).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

if [ -z "${ORVELA_PKG_INSIDE:-}" ]; then
  if [ "$(ip -o link | wc -l)" != 1 ]; then
    echo "not in a fresh network namespace; run under unshare -n" >&2
    exit 2
  fi
  # Build the package in a build directory of its own, configured the way a
  # distribution would (prefix /usr, no tests).
  pkgbuild=${ORVELA_PACKAGE_BUILD:-$(cd "$LAB_BIN/.." && pwd)/package-build}
  cmake -S "$top" -B "$pkgbuild" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$pkgbuild.log" 2>&1 ||
    { tail -n 30 "$pkgbuild.log"; exit 1; }
  cmake --build "$pkgbuild" -j2 >>"$pkgbuild.log" 2>&1 || { tail -n 30 "$pkgbuild.log"; exit 1; }
  rm -f "$pkgbuild"/libsane-orvela_*.deb
  (cd "$pkgbuild" && cpack -G DEB >>"$pkgbuild.log" 2>&1) || { tail -n 30 "$pkgbuild.log"; exit 1; }
  deb=$(ls "$pkgbuild"/libsane-orvela_*.deb)
  echo "package: $deb"
  cc -Wall -Wextra -Werror -O1 -o "$pkgbuild/option_probe" "$here/option_probe.c" -ldl
  exec env ORVELA_PKG_INSIDE=1 ORVELA_DEB="$deb" ORVELA_OPTION_PROBE="$pkgbuild/option_probe" ORVELA_PKGBUILD="$pkgbuild" \
    unshare -m --propagation private "$0"
fi

# --- inside the private mount namespace ------------------------------------
. "$here/checks_lib.sh"
overlay=$(mktemp -d "${TMPDIR:-/tmp}/orvela-pkg.XXXXXX")
pkg_unmount() {
  umount -l /usr /etc /var "$overlay" 2>/dev/null || true
  rmdir "$overlay" 2>/dev/null || true
}
E2E_CLEANUP=pkg_unmount
mount -t tmpfs tmpfs "$overlay"
for d in usr etc var; do
  mkdir -p "$overlay/$d.up" "$overlay/$d.work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=$overlay/$d.up,workdir=$overlay/$d.work" "/$d"
done
cp "$ORVELA_DEB" "$overlay/"
deb=$overlay/$(basename "$ORVELA_DEB")

lab_init
lab_bridge br1 10.232.1.10/24
# A feeder model of the model table.
lab_device feeder br1 10.232.1.21/24 1.3.6.1.4.1.93501.1.104 "MFG:Orvela;MDL:OR-M2270fdw;CMD:PCL;" OR-0101

# A frontend started the way a user starts it, with the backend where the
# package put it (no LD_LIBRARY_PATH) and a SANE configuration that loads it
# alone.
sane_config=$(lab_sane_config)
clean() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root SANE_CONFIG_DIR="$sane_config" "$@"; }
# A user's locale, under which gettext follows LANGUAGE (it ignores LANGUAGE
# in C.UTF-8 from glibc 2.39 on, and a minimal system has no other locale):
# the system's C.UTF-8 under another name.
mkdir -p "$overlay/locale" && cp -r /usr/lib/locale/C.utf8 "$overlay/locale/en_US.UTF-8"
in_language() { local l=$1; shift; clean env LOCPATH="$overlay/locale" LC_ALL=en_US.UTF-8 LANGUAGE="$l" "$@"; }

listing() { find /usr /etc -xdev 2>/dev/null | sort; }
listing >"$overlay/before"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends "$deb" >"$overlay/apt-install.log" 2>&1 ||
  { cat "$overlay/apt-install.log"; exit 1; }
dpkg -L libsane-orvela | sort >"$overlay/files"
cat "$overlay/files"

backend_dir=$(pkg-config --variable=libdir sane-backends)/sane
# udev's directory as the build found it: its pkg-config file's (Debian 12), else the prefix's.
udev_dir=$(pkg-config --variable=udevdir udev 2>/dev/null) || udev_dir=/usr/lib/udev
for f in "$backend_dir/libsane-orvela.so.1" /etc/sane.d/dll.d/orvela "$udev_dir/hwdb.d/20-sane-orvela.hwdb" \
         /usr/share/man/man5/sane-orvela.5.gz /usr/share/locale/de/LC_MESSAGES/sane_orvela_drv.mo \
         /usr/bin/orvela-discover /usr/share/man/man1/orvela-discover.1.gz \
         /usr/share/locale/fr/LC_MESSAGES/sane_orvela_drv.mo; do
  check "installed $f" grep -qxF "$f" "$overlay/files"
  check "present $f" test -e "$f"
done
check "dll.d entry names the backend" grep -qx orvela /etc/sane.d/dll.d/orvela
for f in /etc/sane.d/dll.d/orvela /etc/sane.d/orvela.conf; do
  check "$f is a conffile" grep -q "^ $f " <(dpkg-query -W -f='${Conffiles}\n' libsane-orvela)
done
# udev's trigger rebuilt its database: the USB models are marked for the
# SANE rules (which give the seat's user access), the third vendor is not.
check "udev marks a USB model" \
  test "$(systemd-hwdb query usb:v5E5Ap1006d0100dc00dsc00dp00ic07isc01ip02in00)" = "libsane_matched=yes"
check "udev leaves other devices alone" \
  test -z "$(systemd-hwdb query usb:v5E5Cp1006d0100dc00dsc00dp00ic07isc01ip02in00)"
check "manual page" sh -c 'MANPAGER=cat MANWIDTH=80 man 5 sane-orvela 2>/dev/null | grep -q "REPORTING PROBLEMS"'
check "orvela-discover's manual page" sh -c 'MANPAGER=cat man 1 orvela-discover 2>/dev/null | grep -q "EXIT STATUS"'

# scanimage -L with no environment variable finds the simulated scanner.
start=$(date +%s.%N)
list=$(clean timeout 180 scanimage -L 2>&1) || true
end=$(date +%s.%N)
echo "$list"
echo "scanimage -L took $(echo "$end - $start" | bc)s"
check "scanimage -L lists the scanner" grep -q "device \`orvela:socket://10.232.1.21' is a Orvela OR-M2270fdw" <<<"$list"
check "orvela-discover gives the scanner's line" grep -qxF socket://10.232.1.21 <(clean timeout 60 orvela-discover)

if grep -q "socket://10.232.1.21" <<<"$list"; then
  dev=orvela:socket://10.232.1.21
  out=$overlay/page.pnm
  if clean timeout 180 scanimage -d "$dev" --mode Gray --resolution 100 --format=pnm -o "$out" \
       >"$overlay/scan.log" 2>&1; then
    header=$(head -c 2 "$out")
    check "grey scan is a PGM page" test "$header" = P5
    check "page has data" test "$(stat -c %s "$out")" -gt 100000
  else
    cat "$overlay/scan.log"
    check "grey scan" false
  fi

  if clean timeout 180 scanimage -d "$dev" --mode "Black & White" --resolution 200 --format=pnm \
       -o "$overlay/bw.pnm" >"$overlay/scan-bw.log" 2>&1; then
    check "black-and-white scan is a PBM page" test "$(head -c 2 "$overlay/bw.pnm")" = P4
  else
    cat "$overlay/scan-bw.log"
    check "black-and-white scan" false
  fi

  # Language of the options: scanimage never sets a locale and stays English.
  opts=$(in_language de timeout 120 scanimage -d "$dev" -A 2>&1) || true
  check "scanimage option lists" grep -qF -- "--mode Color|Gray|Black & White [Color]" <<<"$opts"
fi

# The installed catalogues, found without any binding by a host that sets its
# locale as graphical frontends do.
probe=$(cd "$LAB_BIN/.." && pwd)/tests/host/host_probe
lib=$backend_dir/libsane-orvela.so.1
de=$(in_language de "$probe" "$lib" 2>&1) || true
for line in "TL(Color)=Farbe" "mode[2]=Schwarzweiß" "source[1]=Automatischer Dokumenteneinzug" \
            "paper[6]=Benutzerdefiniert"; do
  check "German: $line" grep -qxF "$line" <<<"$de"
done
fr=$(in_language fr "$probe" "$lib" 2>&1) || true
for line in "TL(Color)=Couleur" "mode[1]=Niveaux de gris" "source[0]=Vitre" "paper[0]=Taille maximale"; do
  check "French: $line" grep -qxF "$line" <<<"$fr"
done
# Through an open handle: translated titles and lists, and a scan with the
# translated entries chosen.
opt_de=$(in_language de timeout 180 "$ORVELA_OPTION_PROBE" "$lib" socket://10.232.1.21 \
         Graustufen Flachbett 2>&1) || true
echo "$opt_de" | grep -v '^list\[Page' || true
for line in "title[source]=Scan-Quelle" "title[mode]=Scan-Modus" "title[Page Size]=Seitengröße" \
            "title[resolution]=Scan resolution" "title[br-y]=Rechts unten Y" \
            "list[source][1]=Automatischer Dokumenteneinzug" "list[Page Size][0]=Volle Größe" \
            "set[source]=Flachbett status=0" "set[mode]=Graustufen status=0"; do
  check "German handle: $line" grep -qxF "$line" <<<"$opt_de"
done
check "German handle: grey page read whole" grep -q "^format=0 depth=8 .* end=5$" <<<"$opt_de"
opt_fr=$(in_language fr timeout 180 "$ORVELA_OPTION_PROBE" "$lib" socket://10.232.1.21 \
         "Noir et blanc" Vitre 2>&1) || true
for line in "title[tl-x]=Haut gauche X" "list[mode][1]=Niveaux de gris" "set[mode]=Noir et blanc status=0"; do
  check "French handle: $line" grep -qxF "$line" <<<"$opt_fr"
done
check "French handle: black-and-white page read whole" grep -q "^format=0 depth=1 .* end=5$" <<<"$opt_fr"

cp "$probe" "$overlay/soffice.bin"
office=$(in_language de "$overlay/soffice.bin" "$lib" 2>&1) || true
check "office host stays English" grep -qxF "mode[2]=Black & White" <<<"$office"

# Purge: every file of the package goes, and nothing else appears.
apt-get purge -y -q libsane-orvela >"$overlay/apt-purge.log" 2>&1 || { cat "$overlay/apt-purge.log"; exit 1; }
check "package gone" test -z "$(dpkg-query -W -f='${Status}' libsane-orvela 2>/dev/null | grep installed)"
while read -r f; do
  [ -d "$f" ] && continue
  check "removed $f" test ! -e "$f"
done <"$overlay/files"
check "udev database no longer marks the models" \
  test -z "$(systemd-hwdb query usb:v5E5Ap1006d0100dc00dsc00dp00ic07isc01ip02in00)"
listing >"$overlay/after"
if diff "$overlay/before" "$overlay/after" >"$overlay/diff"; then
  ok "/usr and /etc hold the same files as before the installation"
else
  bad "files differ after the purge:"
  cat "$overlay/diff"
fi

# The same from source, as the README tells: cmake --install, udev's database
# rebuilt, scanimage finds the scanner; then removal by the install manifest.
if cmake --install "$ORVELA_PKGBUILD" >"$overlay/cmake-install.log" 2>&1; then
  systemd-hwdb --usr update
  check "source install: udev marks a USB model" \
    test "$(systemd-hwdb query usb:v5E5Bp2002d0100dc00dsc00dp00ic07isc01ip02in00)" = "libsane_matched=yes"
  list=$(clean timeout 180 scanimage -L 2>&1) || true
  check "source install: scanimage -L lists the scanner" grep -q "orvela:socket://10.232.1.21" <<<"$list"
  xargs rm -f <"$ORVELA_PKGBUILD/install_manifest.txt"
  rmdir /usr/share/doc/libsane-orvela
  systemd-hwdb --usr update
  listing >"$overlay/after-source"
  if diff "$overlay/before" "$overlay/after-source" >"$overlay/diff-source"; then
    ok "source install removed without a trace"
  else
    bad "files differ after removing the source install:"
    cat "$overlay/diff-source"
  fi
else
  cat "$overlay/cmake-install.log"
  check "source install" false
fi

finish
