#!/usr/bin/env bash
# Build the extension for one interpreter and flavour, then print the importable folder (<builddir>/site).
#
#   tools/build.sh [--quiet] PYTHON release|asan|tsan
#
# The build folder is build/<tag>-<flavour> (tag like cp39, or cp313t for a free-threaded build). The flavour asan
# also turns on the debug assertions (QUENLORY_ASSERT, -DQUENLORY_DEBUG): `make sanitize` runs it. The flavour tsan
# is for an interpreter built with ThreadSanitizer (tools/ft.sh ensure tsan). It is configured on first use, and again from
# scratch when it was configured for another interpreter. --quiet hides the build log unless the build fails.
set -euo pipefail

quiet=
if [[ ${1-} == --quiet ]]; then quiet=1; shift; fi
[[ $# -eq 2 ]] || { echo "usage: $0 [--quiet] PYTHON release|asan|tsan" >&2; exit 2; }
flavour=$2
case $flavour in
  release) sanitize=OFF tsan=OFF ;;
  asan) sanitize=ON tsan=OFF ;;
  tsan) sanitize=OFF tsan=ON ;;
  *) echo "$0: unknown flavour '$flavour' (release, asan or tsan)" >&2; exit 2 ;;
esac
python=$(command -v "$1") || { echo "$0: no interpreter '$1'" >&2; exit 2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
unset MAKEFLAGS MFLAGS MAKELEVEL  # the build runs its own make, not as part of ours
tag=$("$python" -c 'import sys
i = sys.implementation
print("cp%d%d%s" % (sys.version_info[0], sys.version_info[1], getattr(sys, "abiflags", ""))
      if i.name == "cpython" else i.cache_tag)')
dir=$root/build/$tag-$flavour

build() {
  if ! grep -qxF "Python3_EXECUTABLE:FILEPATH=$python" "$dir/CMakeCache.txt" 2>/dev/null; then
    rm -rf "$dir"
    cmake -S "$root" -B "$dir" -DPython3_EXECUTABLE:FILEPATH="$python" -DQUENLORY_SANITIZE=$sanitize -DQUENLORY_TSAN=$tsan
  fi
  cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
}

if [[ -n $quiet ]]; then
  mkdir -p "$root/build"
  log=$(mktemp "$root/build/.log.XXXXXX")
  trap 'rm -f "$log"' EXIT
  build >"$log" 2>&1 || { cat "$log" >&2; echo "$0: build failed for $python ($flavour)" >&2; exit 1; }
else
  build >&2
fi
echo "$dir/site"
