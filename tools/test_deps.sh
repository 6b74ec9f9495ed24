#!/usr/bin/env bash
# The suite's pinned third-party packages (tools/requirements-dask.txt) for one interpreter, in a venv of their own.
#
#   tools/test_deps.sh PYTHON VERSION...
#
# When PYTHON's version (like 3.11) is one of the VERSIONS, print the venv's site-packages folder, which the suite
# puts on PYTHONPATH after the build; otherwise print nothing. The venv is build/deps-<tag>, made from PYTHON on
# first use and again whenever the requirements change; the interpreter itself is never installed into, and the
# suite still runs with it (not with the venv's copy), so its build folder stays its own.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 PYTHON VERSION..." >&2; exit 2; }
python=$(command -v "$1") || { echo "$0: no interpreter '$1'" >&2; exit 2; }
shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
read -r version tag < <("$python" -c 'import sys; print("%d.%d cp%d%d" % (sys.version_info[:2] * 2))')
[[ " $* " == *" $version "* ]] || exit 0

requirements=$root/tools/requirements-dask.txt
venv=$root/build/deps-$tag
if ! cmp -s "$requirements" "$venv/requirements.txt"; then
  echo "== $python: installing $(basename "$requirements") into $venv" >&2
  rm -rf "$venv"
  mkdir -p "$root/build"
  log=$(mktemp "$root/build/.log.XXXXXX")
  trap 'rm -f "$log"' EXIT
  if ! { "$python" -m venv "$venv" && PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --no-input \
         -r "$requirements"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -rf "$venv"
    echo "$0: installing $requirements for $python failed" >&2
    exit 1
  fi
  cp "$requirements" "$venv/requirements.txt"
fi
"$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'
