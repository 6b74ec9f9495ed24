#!/usr/bin/env bash
# A free-threaded CPython (built with --disable-gil), made from the newest CPython source the Debian archive serves.
#
#   tools/ft.sh ensure [tsan]   build and install it when it is not there yet (needs root the first time)
#   tools/ft.sh path [tsan]     print its interpreter (like .../bin/python3.13t), making it first when missing
#
# The flavour tsan is the same interpreter built with ThreadSanitizer, in a prefix of its own.
# Everything lives under ${QUENLORY_FT_ROOT:-/var/lib/quenlory/ft}: apt's own state (apt/), the source packages
# (src/), and one prefix per flavour (3.13t/, 3.13t-tsan/). A flavour's stamp file (FLAVOUR.ready) names its
# interpreter; while it exists, ensure does nothing. Remove the root to take a newer source the archive has.
# The source is looked for as python3.15, python3.14, then python3.13 in Debian unstable; the upstream tarball inside
# the source package is built as it is, without Debian's patches. The host's apt configuration is not used or
# changed: the lists, the cache and the sources list are the root's own. Missing -dev packages the build needs
# (ssl for pip, zlib, ffi, ...) are installed with the host's apt-get.
set -euo pipefail

ft=${QUENLORY_FT_ROOT:-/var/lib/quenlory/ft}
checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
candidates=(3.15 3.14 3.13)
build_deps=(gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev)
export DEBIAN_FRONTEND=noninteractive

die() { echo "$0: $*" >&2; exit 1; }

flavour=${2:-release}
case $flavour in
  release) extra=(--with-ensurepip=install) suffix= ;;
  # pip is not needed there, and running ensurepip under the sanitizer costs minutes.
  tsan) extra=(--with-ensurepip=no --with-thread-sanitizer) suffix=-tsan ;;
  *) die "unknown flavour '$flavour' (release or tsan)" ;;
esac
ready=$ft/$flavour.ready

# The mirror that the host's apt already uses (as tools/sid.sh).
mirror() {
  local uri
  uri=$(grep -hm1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n 1)
  [[ -n $uri ]] || uri=$(grep -hm1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# apt-get ARGS...: the host's apt-get with a state, cache and source list of the root's own. Debian unstable's
# Release file may be past its Valid-Until date on the mirror; its signature is still checked.
private_apt() {
  local apt=$ft/apt
  mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$apt/preferences.d"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) sid main" >"$apt/sources.list"
  apt-get -o Dir::State="$apt/state" -o Dir::State::status=/var/lib/dpkg/status -o Dir::Cache="$apt/cache" \
    -o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts="$apt/sources.list.d" \
    -o Dir::Etc::preferences="$apt/preferences" -o Dir::Etc::preferencesparts="$apt/preferences.d" \
    -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root "$@" </dev/null
}

private_apt_cache() {
  local apt=$ft/apt
  apt-cache -o Dir::State="$apt/state" -o Dir::State::status=/var/lib/dpkg/status -o Dir::Cache="$apt/cache" \
    -o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts="$apt/sources.list.d" "$@" </dev/null
}

host_deps() {
  local missing=() p
  for p in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "== installing ${missing[*]}" >&2
  apt-get update </dev/null >&2
  apt-get install -y "${missing[@]}" </dev/null >&2
}

# The upstream tarball of the newest source package served, unpacked into $1; prints its version (like 3.13).
fetch_source() {
  local into=$1 v dir tarball version
  echo "== apt-get update (Debian unstable sources, private state)" >&2
  private_apt update >&2 || die "apt-get update of the private source list failed"
  for v in "${candidates[@]}"; do
    dir=$ft/src/python$v
    tarball=$(ls "$dir"/python"$v"_*.orig.tar.* 2>/dev/null | head -n 1 || true)
    if [[ -z $tarball ]]; then
      # The index may list versions whose files the mirror no longer (or does not yet) serve: newest first.
      for version in $(private_apt_cache showsrc "python$v" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV); do
        rm -rf "$dir" && mkdir -p "$dir"
        if (cd "$dir" && private_apt source --download-only "python$v=$version") >&2; then
          tarball=$(ls "$dir"/python"$v"_*.orig.tar.* 2>/dev/null | head -n 1 || true)
          [[ -n $tarball ]] && break
        fi
        echo "== python$v $version: not served" >&2
        rm -rf "$dir"
      done
      [[ -n $tarball ]] || continue
    fi
    rm -rf "$into" && mkdir -p "$into"
    tar -xf "$tarball" -C "$into" --strip-components=1
    echo "$v"
    return 0
  done
  die "the archive serves none of python${candidates[*]// /, python}"
}

ensure() {
  [[ -f $ready && -x $(cat "$ready") ]] && return 0
  [[ $(id -u) -eq 0 ]] || die "building the interpreter needs root the first time (or set QUENLORY_FT_ROOT)"
  mkdir -p "$ft"
  exec 9>"$ft/.lock"
  flock 9  # another run may be building it right now
  [[ -f $ready && -x $(cat "$ready") ]] && return 0
  host_deps
  local tree=$ft/build-$flavour v prefix start python
  v=$(fetch_source "$tree")
  prefix=$ft/${v}t$suffix
  start=$(date +%s)
  echo "== building CPython $v free-threaded ($flavour) into $prefix (about 5 minutes on 2 cores)" >&2
  rm -rf "$prefix"
  (
    cd "$tree"
    ./configure --prefix="$prefix" --disable-gil "${extra[@]}" >configure.log 2>&1 ||
      { tail -n 40 configure.log >&2; exit 1; }
    make -j "$(nproc 2>/dev/null || echo 2)" >make.log 2>&1 || { tail -n 60 make.log >&2; exit 1; }
    make install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
  ) || die "the build failed; its logs are in $tree"
  python=$prefix/bin/python${v}t
  "$python" -c 'import sys, ssl, zlib, ctypes; assert not sys._is_gil_enabled()' ||
    die "$python was built but lacks a working ssl, zlib or ctypes, or has the GIL on"
  if [[ $flavour == tsan ]]; then
    # The interpreter's own known reports, for the runs under it.
    cp "$tree/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt" 2>/dev/null || true
  fi
  rm -rf "$tree"
  echo "$python" >"$ready"
  echo "== CPython $v free-threaded ($flavour) built in $(($(date +%s) - start)) s: $python" >&2
}

case ${1-} in
  ensure) ensure ;;
  path) ensure; cat "$ready" ;;
  *) echo "usage: $0 ensure|path [release|tsan]" >&2; exit 2 ;;
esac
