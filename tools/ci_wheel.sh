#!/usr/bin/env bash
# The pip route end to end, with Debian's own python3: build a wheel, install it into a fresh venv, and run the
# test suite from a copy outside the repository, so that the installed package is the one tested.
#
#   tools/ci_wheel.sh
#
# Everything comes from Debian's packages (installed here when missing) and nothing is fetched from a package index:
# the venv gets pip from the wheels that python3-venv bundles, and the wheel is installed with --no-index. The last
# line is the run's "N passed, N failed, N skipped"; the exit status is non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=/usr/bin/python3
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1

# Debian package -> a file it installs.
declare -A needs=(
  [g++]=/usr/bin/g++ [python3-dev]=/usr/include/python3*/Python.h [python3-pip]=/usr/lib/python3/dist-packages/pip
  [python3-setuptools]=/usr/lib/python3/dist-packages/setuptools [python3-wheel]=/usr/lib/python3/dist-packages/wheel
  [python3-venv]=/usr/share/python-wheels/pip-*.whl [mypy]=/usr/bin/mypy
  [iso-codes]=/usr/share/iso-codes/json/iso_639-3.json
)
missing=()
for package in "${!needs[@]}"; do
  compgen -G "${needs[$package]}" >/dev/null || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=; [[ $(id -u) -eq 0 ]] || sudo=sudo
  echo "== installing ${missing[*]}" >&2
  $sudo apt-get update </dev/null >&2
  $sudo apt-get install -y "${missing[@]}" </dev/null >&2
fi

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
echo "== wheel ($($python --version))" >&2
"$python" -m pip wheel --no-build-isolation --no-deps --no-index -w "$work/dist" "$root" >&2
wheel=$(echo "$work"/dist/quenlory-*.whl)
[[ -f $wheel ]] || { echo "$0: no wheel was built" >&2; exit 1; }

echo "== venv with $(basename "$wheel")" >&2
"$python" -m venv "$work/venv" >&2
"$work/venv/bin/pip" install --no-index --no-deps "$wheel" >&2

# The suite, the baseline it compares with and the examples it runs, copied away from the source tree.
mkdir "$work/run"
cp -r "$root/tests" "$root/bench" "$root/examples" "$work/run/"
cd "$work/run"
unset PYTHONPATH
export PYTHONDONTWRITEBYTECODE=1
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
where=$("$work/venv/bin/python" -c 'import quenlory.model_decorator as m; print(m.__file__)')
if [[ $where != "$site"/quenlory/* ]]; then
  echo "$0: the venv imports quenlory from $where, not from its site-packages $site" >&2
  exit 1
fi
echo "== suite against $where" >&2
"$work/venv/bin/python" tests/run.py
