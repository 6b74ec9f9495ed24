#!/usr/bin/env bash
# The documentation site: docs/reference.md written again from the stubs and docstrings (tools/reference.py), then
# docs/ built by the MkDocs of tools/requirements-docs.txt with --strict (a warning fails the build) into build/docs.
#
#   tools/docs.sh          (make docs)
#
# MkDocs and its dependencies, pinned, live in the venv build/docs-venv, made from the first host CPython of the
# "tools" list of tools/versions.txt on first use and again whenever the requirements change. Ends with
# "1 passed, 0 failed" for a clean build and "0 passed, 1 failed" otherwise, so that CI counts it as a step.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
requirements=$root/tools/requirements-docs.txt
venv=$root/build/docs-venv

fail() { echo "$0: $*" >&2; echo "0 passed, 1 failed"; exit 1; }

if ! cmp -s "$requirements" "$venv/requirements.txt"; then
  python=
  for v in $(sed -n 's/^tools //p' tools/versions.txt); do
    python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v.*/bin/python$v 2>/dev/null | sort -V | tail -n 1)
    [[ -n $python ]] || python=$(command -v "python$v" 2>/dev/null) || true
    [[ -n $python ]] && break
  done
  [[ -n $python ]] || fail "no host CPython of the tools list in tools/versions.txt for MkDocs"
  echo "== installing $(basename "$requirements") into $venv" >&2
  rm -rf "$venv" && mkdir -p build
  log=$(mktemp "$root/build/.log.XXXXXX")
  if ! { "$python" -m venv "$venv" && PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install --no-input \
           -r "$requirements"; } >"$log" 2>&1; then
    cat "$log" >&2; rm -rf "$venv" "$log"
    fail "installing $requirements failed"
  fi
  rm -f "$log"
  cp "$requirements" "$venv/requirements.txt"
fi
"$venv/bin/python" tools/reference.py --write docs/reference.md || fail "tools/reference.py failed"
rm -rf build/docs
"$venv/bin/mkdocs" build --strict --clean --site-dir build/docs || fail "mkdocs build --strict failed"
echo "== the site is in build/docs (open build/docs/index.html)" >&2
echo "1 passed, 0 failed"
