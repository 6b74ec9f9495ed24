#!/usr/bin/env bash
# CPython 3.14 and 3.15 from Debian unstable, in a root of their own run with chroot (they cannot be installed on
# the host's Debian directly).
#
#   tools/sid.sh ensure        make the root when it is missing (needs root, debootstrap, ~1 GB of disk)
#   tools/sid.sh run CMD...    run CMD inside the root, in the current directory
#
# The root is ${QUENLORY_SID_ROOT:-/var/lib/quenlory/sid}. `run` makes it first when it is missing. The checkout is
# bind-mounted at its own path inside the root, with /proc, /dev and the host's resolv.conf and CA bundle, so paths and the working directory are the
# same on both sides; the mounts live in a mount namespace of their own, so they vanish when CMD ends, however it
# ends.
set -euo pipefail

sid=${QUENLORY_SID_ROOT:-/var/lib/quenlory/sid}
checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=python3.14-dev,python3.15-dev,python3.14-venv,python3.15-venv,g++,make,cmake,valgrind
# The stamp holds the package list the root was made or last completed with; a root whose stamp lists fewer (an
# empty stamp: one made before the list was kept) gets the missing packages installed by the next `ensure`.
ready=$sid/.quenlory-ready
export DEBIAN_FRONTEND=noninteractive

die() { echo "$0: $*" >&2; exit 1; }

# The mirror that the host's apt already uses.
mirror() {
  local uri
  uri=$(grep -hm1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n 1)
  [[ -n $uri ]] || uri=$(grep -hm1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# A root is usable when the tools it is made for (or those given) run inside it, with /proc (valgrind needs it).
usable() {
  local tools=("$@")
  [[ $# -gt 0 ]] || tools=(python3.14 python3.15 g++ make cmake valgrind)
  (cd "$checkout" && inside /bin/bash -c 'for tool; do "$tool" --version || exit 1; done' - "${tools[@]}") \
    >/dev/null 2>&1
}

current() { [[ -f $ready && $(cat "$ready") == "$packages" ]]; }

# The packages of the list that the root lacks, installed from the mirror it was made from. The mirror may be a
# snapshot whose Release file has passed its Valid-Until date, so apt is told not to hold that against it.
complete() {
  local missing=() package
  for package in ${packages//,/ }; do
    chroot "$sid" /usr/bin/dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "== installing ${missing[*]} into $sid" >&2
  inside apt-get -o Acquire::Check-Valid-Until=false update </dev/null >&2 &&
    inside apt-get install -y --no-install-recommends "${missing[@]}" </dev/null >&2 ||
    die "installing ${missing[*]} into $sid failed"
}

ensure() {
  current && return 0
  [[ $(id -u) -eq 0 ]] || die "making or completing $sid needs root (or set QUENLORY_SID_ROOT to a root made already)"
  mkdir -p "$(dirname "$sid")"
  exec 9>"$sid.lock"
  flock 9  # another run may be making it right now
  current && return 0
  # A root with no stamp counts as made when its interpreters run (the stamp came after them); it is completed.
  if [[ ! -f $ready && -d $sid && -n $(ls -A "$sid") ]] && ! usable python3.14 python3.15; then
    die "$sid exists but is not a usable root (an interrupted debootstrap?); remove it and run again"
  fi
  if [[ ! -d $sid || -z $(ls -A "$sid") ]]; then
    if ! command -v debootstrap >/dev/null; then
      echo "== installing debootstrap" >&2
      apt-get update </dev/null >&2
      apt-get install -y debootstrap </dev/null >&2
    fi
    echo "== debootstrap sid into $sid (a few minutes)" >&2
    debootstrap --variant=minbase --include="$packages" sid "$sid" "$(mirror)" </dev/null >&2 ||
      die "debootstrap failed; remove $sid before trying again"
  fi
  complete
  usable || die "the root at $sid lacks a working $packages"
  echo "$packages" >"$ready"
}

# CMD run inside the root, in the current directory. In a private mount namespace: nothing mounted here is seen
# outside, and it all goes with the namespace.
inside() {
  [[ $(id -u) -eq 0 ]] || die "chroot needs root"
  unshare --mount --propagation private -- /bin/bash -euc '
    sid=$1 checkout=$2 cwd=$3; shift 3
    mkdir -p "$sid$checkout"
    mount --bind "$checkout" "$sid$checkout"
    mount -t proc proc "$sid/proc"
    mount --rbind /dev "$sid/dev"
    # The host'"'"'s name servers and certificate authorities, so that pip reaches the package index as it does here.
    for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
      [[ -f $file ]] && touch "$sid$file" && mount --bind "$file" "$sid$file"
    done
    [[ -d $sid/tmp ]] && chmod 1777 "$sid/tmp"
    exec chroot "$sid" /usr/bin/env PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin HOME=/root \
      DEBIAN_FRONTEND=noninteractive /bin/bash -c '\''cd "$1" && shift && exec "$@"'\'' - "$cwd" "$@"
  ' - "$sid" "$checkout" "$PWD" "$@"
}

run() {
  [[ $# -gt 0 ]] || die "usage: $0 run CMD..."
  ensure
  exec 9>&-  # the lock is for making the root, not for what runs in it
  inside "$@"
}

case ${1-} in
  ensure) ensure ;;
  run) shift; run "$@" ;;
  *) echo "usage: $0 ensure | run CMD..." >&2; exit 2 ;;
esac
