#!/usr/bin/env bash
# The suite's pinned third-party packages for one interpreter, in a venv of their own: the package's own
# dependencies below 3.11 (tools/requirements-test.txt: the exceptiongroup backport), and Dask
# (tools/requirements-dask.txt) for the interpreters whose version is listed.
#
#   tools/test_deps.sh PYTHON [VERSION...]
#   tools/test_deps.sh --typing
#
# With --typing: the type checkers of tools/requirements-typing.txt (mypy and pyright) in the venv build/typing-venv,
# made from the newest host CPython 3.10 to 3.13 on first use and again whenever the requirements change; prints the
# venv's bin folder. pyright runs with the machine's node when it is 18 or newer, else with the node of
# tools/requirements-node.txt, installed into the same venv.
#
# When PYTHON is older than 3.11 or its version (like 3.11) is one of the VERSIONS, print the venv's site-packages
# folder, which the suite (and make demo) puts on PYTHONPATH after the build; otherwise print nothing. The venv is build/deps-<tag>, made from PYTHON on
# first use and again whenever the requirements change; the interpreter itself is never installed into, and the
# suite still runs with it (not with the venv's copy), so its build folder stays its own.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install VENV PYTHON REQUIREMENTS...: a fresh venv holding the requirements; the log is shown only on failure.
install() {
  local venv=$1 python=$2 log
  shift 2
  rm -rf "$venv"
  mkdir -p "$root/build"
  log=$(mktemp "$root/build/.log.XXXXXX")
  if ! ( "$python" -m venv "$venv" && for requirements in "$@"; do
           PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --no-input -r "$requirements" || exit 1
         done ) >"$log" 2>&1; then
    cat "$log" >&2
    rm -rf "$venv" "$log"
    echo "$0: installing $* for $python failed" >&2
    exit 1
  fi
  rm -f "$log"
}

if [[ ${1-} == --typing ]]; then
  requirements=("$root/tools/requirements-typing.txt")
  major=$(node --version 2>/dev/null | sed -n 's/^v\([0-9]*\)\..*/\1/p')
  [[ -n $major && $major -ge 18 ]] || requirements+=("$root/tools/requirements-node.txt")
  venv=$root/build/typing-venv
  stamp=$(cat "${requirements[@]}")
  if [[ $(cat "$venv/requirements.txt" 2>/dev/null) != "$stamp" ]]; then
    python=
    for v in $(sed -n 's/^tools //p' "$root/tools/versions.txt"); do
      python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v.*/bin/python$v 2>/dev/null | sort -V | tail -n 1)
      [[ -n $python ]] || python=$(command -v "python$v" 2>/dev/null) || true
      [[ -n $python ]] && break
    done
    [[ -n $python ]] || { echo "$0: no CPython 3.10 to 3.13 for the type checkers" >&2; exit 1; }
    echo "== installing the type checkers ($(basename "${requirements[0]}")) into $venv" >&2
    install "$venv" "$python" "${requirements[@]}"
    echo "$stamp" >"$venv/requirements.txt"
  fi
  echo "$venv/bin"
  exit 0
fi

[[ $# -ge 1 ]] || { echo "usage: $0 PYTHON [VERSION...] | --typing" >&2; exit 2; }
python=$(command -v "$1") || { echo "$0: no interpreter '$1'" >&2; exit 2; }
shift
read -r version tag old < <("$python" -c 'import sys; print("%d.%d cp%d%d" % (sys.version_info[:2] * 2), int(sys.version_info < (3, 11)))')
requirements=()
[[ $old == 1 ]] && requirements+=("$root/tools/requirements-test.txt")
[[ " $* " == *" $version "* ]] && requirements+=("$root/tools/requirements-dask.txt")
[[ ${#requirements[@]} -gt 0 ]] || exit 0

venv=$root/build/deps-$tag
stamp=$(cat "${requirements[@]}")
if [[ $(cat "$venv/requirements.txt" 2>/dev/null) != "$stamp" ]]; then
  echo "== $python: installing $(for r in "${requirements[@]}"; do basename "$r"; done | paste -sd' ') into $venv" >&2
  install "$venv" "$python" "${requirements[@]}"
  echo "$stamp" >"$venv/requirements.txt"
fi
"$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'
