#!/usr/bin/env bash
# Build and run the test suite for each interpreter given, then print the totals as the last line.
#
#   tools/suite.sh FLAVOUR PYTHON... [-- RUN_ARGS...]
#
# Every interpreter is tried even when an earlier one fails; the exit status is non-zero if any build or run
# failed. A failed build, a run that dies before its summary, or a non-zero exit with no failing test (a
# sanitizer or valgrind report) counts as one failure. SUITE_ENV (assignments separated by spaces) is added
# to the environment of the test runs only, not the build; SUITE_WRAP is a command prefix for the interpreter.
# An interpreter written sid:PATH is one of the Debian unstable root's, built and run there by tools/sid.sh; one
# written ft (or ft:tsan) is the free-threaded build of tools/ft.sh, made first when it is missing. A free-threaded
# interpreter runs with PYTHON_GIL=0 (unless PYTHON_GIL is set already), so that nothing turns its global lock on.
# Every run gets the package's own dependencies below 3.11 (tools/test_deps.sh), and SUITE_DEPS (versions like
# "3.11") adds the other pinned test packages to the runs of those interpreters. The runs on the
# host get the pinned type checkers (tools/test_deps.sh --typing) through QUENLORY_TYPING_BIN unless SUITE_TYPING=0;
# the sid root's runs do not (the checkers' venv is made from a host interpreter).
set -uo pipefail

flavour=$1; shift
pythons=()
while [[ $# -gt 0 && $1 != -- ]]; do pythons+=("$1"); shift; done
[[ ${1-} == -- ]] && shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

passed=0 failed=0 skipped=0 status=0
typing_bin= typing_tried=
out=$(mktemp); trap 'rm -f "$out"' EXIT
seen=" "
for python in "${pythons[@]}"; do
  inside=()
  if [[ $python == ft || $python == ft:* ]]; then
    flavour_of_ft=release; [[ $python == ft:* ]] && flavour_of_ft=${python#ft:}
    if ! python=$("$root/tools/ft.sh" path "$flavour_of_ft"); then
      echo "== $python: the free-threaded interpreter could not be made, counted as one failure" >&2
      failed=$((failed + 1)) status=1
      continue
    fi
  fi
  if [[ $python == sid:* ]]; then
    python=${python#sid:} inside=("$root/tools/sid.sh" run)
    real=sid:$python
  else
    real=$(realpath "$(command -v "$python")" 2>/dev/null || echo "$python")
  fi
  if [[ $seen == *" $real "* ]]; then
    echo "== $python is $real, already run" >&2
    continue
  fi
  seen+="$real "
  echo "== $python ($flavour)" >&2
  if ! site=$("${inside[@]}" "$root/tools/build.sh" --quiet "$python" "$flavour"); then
    echo "== $python: build failed, counted as one failure" >&2
    failed=$((failed + 1)) status=1
    continue
  fi
  # Pinned third-party packages: the package's own below 3.11, and the test packages for the interpreters whose
  # version SUITE_DEPS lists (tools/test_deps.sh).
  deps=
  # shellcheck disable=SC2086  # SUITE_DEPS is a word list
  if ! deps=$("${inside[@]}" "$root/tools/test_deps.sh" "$python" ${SUITE_DEPS-}); then
    echo "== $python: the pinned test packages could not be installed, counted as one failure" >&2
    failed=$((failed + 1)) status=1 deps=
  fi
  typing=()
  if [[ ${#inside[@]} -eq 0 && ${SUITE_TYPING:-1} != 0 ]]; then
    if [[ -z $typing_tried ]]; then
      typing_tried=1
      if ! typing_bin=$("$root/tools/test_deps.sh" --typing); then
        echo "== the type checkers could not be installed, counted as one failure" >&2
        failed=$((failed + 1)) status=1 typing_bin=
      fi
    fi
    [[ -n $typing_bin ]] && typing=(QUENLORY_TYPING_BIN="$typing_bin")
  fi
  gil=()
  if [[ $("${inside[@]}" "$python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)') == 1 ]]
  then
    gil=(PYTHON_GIL="${PYTHON_GIL:-0}")
    echo "== $python is free-threaded: ${gil[*]}" >&2
  fi
  # shellcheck disable=SC2086  # SUITE_ENV and SUITE_WRAP are word lists on purpose
  "${inside[@]}" env PYTHONPATH="$site:$root${deps:+:$deps}" PYTHONDONTWRITEBYTECODE=1 "${typing[@]}" "${gil[@]}" ${SUITE_ENV-} \
    ${SUITE_WRAP-} "$python" tests/run.py "$@" | tee "$out"
  rc=$?
  [[ $rc -eq 0 ]] || status=1
  last=$(tail -n 1 "$out")
  if [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed(,\ ([0-9]+)\ skipped)?$ ]]; then
    p=${BASH_REMATCH[1]} f=${BASH_REMATCH[2]} s=${BASH_REMATCH[4]:-0}
    if [[ $rc -ne 0 && $f -eq 0 ]]; then
      echo "== $python: exit status $rc with no failing test, counted as one failure" >&2
      f=1
    fi
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  else
    echo "== $python: the run ended without a summary (exit $rc), counted as one failure" >&2
    failed=$((failed + 1)) status=1
  fi
done
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
