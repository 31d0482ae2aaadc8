# Sourced by the set-up scripts (run as root on Debian 12 or 13):
#   install_packages WHO PACKAGE...
# installs those of the packages that are missing. A plain name means the
# build machine's own architecture (a package installed for arm64 only does
# not count), NAME:ARCH another one, which is added to dpkg's architectures
# first. Packages already present are left as they are; WHO starts the
# messages.
#   update_lists WHO [APT OPTION...]
# the one place package lists are fetched (install_packages and the clean
# roots of the tests use it).
#   debian_release
# prints the running system's Debian release number (12, 13).

# A mirror in the middle of a sync serves lists that do not match its Release
# file, sometimes for hours: each try waits longer, and when lists still fail
# they are named and apt goes on with the lists it has. Whether that is enough
# is for the install to tell: a package that cannot be had fails it with
# apt's own message. Returns 1 when some list failed.
update_lists() {
  local who=$1 try out
  shift
  for try in 1 2 3; do
    # A list that cannot be fetched is an error (exit 100) or, for a host
    # that does not answer, only a warning (exit 0).
    out=$(apt-get -q "$@" update 2>&1) && ! grep -qE '^(E|W): (Failed to fetch|Some index files failed)' <<<"$out" &&
      return 0
    [ $try = 3 ] || sleep $((try * ${ORVELA_APT_RETRY_PAUSE:-10}))
  done
  echo "$who: warning: some package lists could not be fetched after 3 tries; going on with what apt has:" >&2
  # Each list that failed (apt's Err lines, with their reasons) and apt's verdicts.
  awk '/^Err:/ { err = 1; print; next } err && /^  / { print; next } { err = 0 }
       /^(E|W): / && !/Some index files failed/' <<<"$out" | sed 's/^/  /' >&2
  return 1
}

debian_release() {
  (. /etc/os-release && echo "${VERSION_ID%%.*}")
}

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
    update_lists "$who" || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      { echo "$who: could not install ${missing[*]} (apt's message above)" >&2; return 1; }
  fi
  echo "$who: all packages present"
}
