# Sourced by the set-up scripts (run as root on Debian 12):
#   install_packages WHO PACKAGE...
# installs those of the packages that are missing. A plain name means the
# build machine's own architecture (a package installed for arm64 only does
# not count), NAME:ARCH another one, which is added to dpkg's architectures
# first. Packages already present are left as they are; WHO starts the
# messages.
install_packages() {
  local who=$1 native p missing=() foreign=()
  shift
  native=$(dpkg --print-architecture)
  for p in "$@"; do
    if [[ $p == *:* ]]; then
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' && continue
      foreign+=("${p##*:}")
    else
      dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
        grep -qE "^($native|all) install ok installed" && continue
      p=$p:$native
    fi
    missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "$who: missing packages (${missing[*]}); run this script as root" >&2
      return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    for a in $(printf '%s\n' "${foreign[@]}" | sort -u); do
      dpkg --print-foreign-architectures | grep -qx "$a" || dpkg --add-architecture "$a"
    done
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  echo "$who: all packages present"
}
