#!/usr/bin/env bash
# Make (once) the bench's venv for one interpreter and print its python.
#
#   bench/setup.sh [--chart] PYTHON
#
# The venv is build/bench/venv-<tag> (build/bench/chart-<tag> with --chart) and gets the pinned libraries of
# bench/requirements.txt (bench/requirements-chart.txt), each installed on its own from wheels only: a library with
# no wheel for this interpreter is reported and skipped, and the bench leaves its column blank. The interpreter
# itself is not touched. The venv is made again when the requirements change.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=venv requirements=$root/bench/requirements.txt
if [[ ${1-} == --chart ]]; then kind=chart requirements=$root/bench/requirements-chart.txt; shift; fi
[[ $# -eq 1 ]] || { echo "usage: $0 [--chart] PYTHON" >&2; exit 2; }
python=$(command -v "$1") || { echo "$0: no interpreter '$1'" >&2; exit 2; }
tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag)')
venv=$root/build/bench/$kind-$tag
stamp=$venv/.requirements
export PIP_DISABLE_PIP_VERSION_CHECK=1

if [[ -x $venv/bin/python ]] && cmp -s "$requirements" "$stamp"; then
  echo "$venv/bin/python"
  exit 0
fi
rm -rf "$venv"
mkdir -p "$root/build/bench"
"$python" -m venv "$venv" >&2
log=$venv/pip.log
echo "== $kind for $("$python" --version 2>&1) in $venv" >&2
while read -r line; do
  line=${line%%#*}
  [[ -n ${line// /} ]] || continue
  if out=$("$venv/bin/python" -m pip install --only-binary=:all: "$line" 2>&1); then
    [[ $out == *"Ignoring "* ]] || echo "   ${line%%;*}" >&2  # "Ignoring": the marker is for other interpreters
  else
    echo "   ${line%%;*}: no wheel for this interpreter, left out (see $log)" >&2
  fi
  printf '%s\n' "== $line" "$out" >>"$log"
done <"$requirements"
cp "$requirements" "$stamp"
echo "$venv/bin/python"
