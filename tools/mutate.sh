#!/usr/bin/env bash
# Apply each single-line fault of a list to a copy of the tree, one at a time, build it, run the suite, and print
# one table: fault, the seconds its build and runs took, whether the suite caught it, and the first test that failed.
#
#   tools/mutate.sh [--list FILE] [--python 3.13] [--jobs 1] [--only NAME[,NAME...]] [--no-check] [--fuzz N]
#                   [--asan] [-- RUN_ARGS...]
#
# The list (default tools/mutations.txt) describes its own format. Every pattern must match exactly one line of
# its file before anything is built. The copies are build/mutate/tree-<n> (made from the working tree, tracked and
# untracked files alike, build/ left out), each with its own build folder, so that rebuilding after a fault is
# incremental; the file a fault changed is put back before the next one. The unchanged copy must pass the suite
# first (--no-check skips that). A fault whose build fails is shown as "no build": fix its replacement. RUN_ARGS go
# to tests/run.py (a pattern such as 'test_fast*.py'). --fuzz N also plays N hostile fuzz cases (tests/fuzzgen.py
# --hostile, from seed 1) on a fault the suite missed. --asan runs a fault the release build missed again on the
# AddressSanitizer build (a memory fault need not crash a release build), the fuzz cases too; a sanitizer report
# fails the run. The runs get the pinned test packages as tools/suite.sh gives them (tools/test_deps.sh): the
# package's own below 3.11 (and SUITE_DEPS's) after the build on PYTHONPATH, and the type checkers through
# QUENLORY_TYPING_BIN unless SUITE_TYPING=0. Exit status: 0 when every fault was caught.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=$root/tools/mutations.txt python=3.13 jobs=1 only= check=1 fuzz=0 asan=
while [[ $# -gt 0 ]]; do
  case $1 in
    --list) list=$(realpath "$2"); shift 2 ;;
    --python) python=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --no-check) check=; shift ;;
    --fuzz) fuzz=$2; shift 2 ;;
    --asan) asan=1; shift ;;
    --) shift; break ;;
    *) echo "usage: $0 [--list FILE] [--python 3.X] [--jobs N] [--only NAMES] [--no-check] [--fuzz N] [--asan] [-- RUN_ARGS...]" >&2
       exit 2 ;;
  esac
done
# shellcheck disable=SC2012  # version-sorted names of pyenv folders
find_python() {
  ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1 \
    || true
}
resolve() {
  local p
  if [[ $1 == 3.* ]]; then p=$(find_python "$1"); p=${p:-$(command -v "python$1" || true)}; else p=$1; fi
  [[ -n $p ]] || { echo "$0: no CPython $1 found" >&2; exit 2; }
  echo "$p"
}
host=$(resolve 3.13 2>/dev/null || command -v python3)
work=$root/build/mutate
mkdir -p "$work"

# The list, checked against the tree: one line per fault, "name<TAB>file<TAB>line<TAB>versions".
plan=$work/plan.tsv
"$host" - "$list" "$root" "$python" "$only" >"$plan" <<'EOF'
import sys

path, root, default, only = sys.argv[1:]
faults, block = [], {}
for number, line in enumerate(open(path).read().split("\n") + [""], 1):
    if line.startswith("#"):
        continue
    if not line.strip():
        if block:
            faults.append(block)
        block = {}
        continue
    key, sep, value = line.partition(":")
    if not sep or key.strip() not in ("fault", "file", "find", "put", "breaks", "python", "note"):
        sys.exit("%s:%d: expected 'key: value', key one of: fault file find put breaks python note" % (path, number))
    block.setdefault("at", number)
    block[key.strip()] = value.strip()
wanted = set(filter(None, only.split(",")))
bad, names = [], set()
for f in faults:
    for key in ("fault", "file", "find", "breaks"):
        if not f.get(key):
            bad.append("%s:%d: no %s" % (path, f["at"], key))
    if f.get("fault") in names:
        bad.append("%s:%d: fault %s given twice" % (path, f["at"], f["fault"]))
    names.add(f.get("fault"))
    if not f.get("file") or not f.get("find"):
        continue
    try:
        lines = open("%s/%s" % (root, f["file"])).read().split("\n")
    except OSError as e:
        bad.append("%s:%d: %s" % (path, f["at"], e))
        continue
    hits = [i for i, text in enumerate(lines, 1) if f["find"] in text]
    if len(hits) != 1:
        bad.append("%s:%d: fault %s: the pattern matches %d lines of %s (%s), not one: %s" % (
            path, f["at"], f["fault"], len(hits), f["file"], ", ".join(map(str, hits)) or "none", f["find"]))
    f["line"] = hits[0] if hits else 0
unknown = wanted - names
if unknown:
    bad.append("--only names no fault of the list: " + ", ".join(sorted(unknown)))
if bad:
    sys.exit("\n".join(bad))
for f in faults:
    if not wanted or f["fault"] in wanted:
        print("\t".join((f["fault"], f["file"], str(f["line"]), f.get("python") or default)))
EOF
# apply PLAN_LINE_INDEX TREE: write fault number $1 of the list into the copy.
apply() {
  "$host" - "$list" "$1" "$2" <<'EOF'
import sys

path, name, tree = sys.argv[1:]
block, blocks = {}, []
for line in open(path).read().split("\n") + [""]:
    if line.startswith("#"):
        continue
    if not line.strip():
        blocks.append(block) if block else None
        block = {}
        continue
    key, _, value = line.partition(":")
    block[key.strip()] = value.strip()
f = next(b for b in blocks if b["fault"] == name)
target = "%s/%s" % (tree, f["file"])
lines = open(target).read().split("\n")
i = next(i for i, text in enumerate(lines) if f["find"] in text)
lines[i] = lines[i].replace(f["find"], f.get("put", ""), 1)
open(target, "w").write("\n".join(lines))
EOF
}

# copy N: a fresh copy of the working tree (build/ and .git left out), once per run.
copy() {
  local tree=$work/tree-$1
  mkdir -p "$tree"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | grep -zv '^build/' |
    tar --null --ignore-failed-read -cf - -T - 2>/dev/null) | tar -xmf - -C "$tree"  # -m: every file newer than its last build
  echo "$tree"
}

# The pinned test packages of each interpreter the plan names, and the type checkers, installed once before any
# worker starts (the venvs are the working tree's, shared by every copy): "VERSION<TAB>site-packages or nothing".
deps=$work/deps.tsv
: >"$deps"
typing=()
if [[ ${SUITE_TYPING:-1} != 0 ]]; then
  typing_bin=$("$root/tools/test_deps.sh" --typing) || { echo "$0: the type checkers could not be installed" >&2; exit 2; }
  typing=(QUENLORY_TYPING_BIN="$typing_bin")
fi
for v in $(cut -f4 "$plan" | tr ' ,' '\n\n' | sort -u); do
  # shellcheck disable=SC2086  # SUITE_DEPS is a word list
  site=$("$root/tools/test_deps.sh" "$(resolve "$v")" ${SUITE_DEPS-}) ||
    { echo "$0: the pinned test packages could not be installed for $v" >&2; exit 2; }
  printf '%s\t%s\n' "$v" "$site" >>"$deps"
done

# suite TREE VERSION [KIND]: build the copy (release, or asan) and run the suite; prints
# "caught|missed|no build<TAB>first failing test".
suite() {
  local tree=$1 py site out rc kind=${3:-release} env=() packages
  py=$(resolve "$2")
  packages=$(awk -F '\t' -v v="$2" '$1 == v { print $2 }' "$deps")
  out=$(mktemp)
  if [[ $kind == asan ]]; then
    env=(LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0
         UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
    ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true
  fi
  if ! site=$("$tree/tools/build.sh" --quiet "$py" "$kind" 2>"$out"); then
    printf 'no build\t%s\n' "$(grep -m1 -E 'error' "$out" | cut -c1-80)"
    rm -f "$out"
    return
  fi
  rc=0
  site="$site:$tree${packages:+:$packages}"
  (cd "$tree" && env "${env[@]}" PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 "${typing[@]}" timeout 1200 "$py" \
    -X faulthandler tests/run.py "${RUN_ARGS[@]}" >"$out" 2>&1) || rc=$?
  if [[ $rc -eq 0 && $fuzz -gt 0 ]]; then
    (cd "$tree" && env "${env[@]}" PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 "$py" tests/fuzzgen.py --hostile --seed 1 \
      --count "$fuzz" >"$out" 2>&1) && rc=0 || rc=$?
    if [[ $rc -ne 0 ]]; then
      printf 'caught\tfuzzgen --hostile: %s\n' "$(grep -m1 -oE '^seed [0-9]+' "$out" || echo "exit status $rc")"
      rm -f "$out"
      return
    fi
  fi
  "$host" - "$out" "$rc" <<'EOF'
import re, sys

text, rc = open(sys.argv[1], errors="replace").read(), int(sys.argv[2])
summary = re.findall(r"^(\d+) passed, (\d+) failed", text, re.M)
failed = re.search(r"^(?:FAIL|ERROR): (\w+) \(([\w.]+)\)", text, re.M)
frames = re.findall(r'File "[^"]*/tests/(test_\w+)\.py", line \d+ in (\w+)', text)
if failed:  # "test (module.Class)", or from 3.11 "test (module.Class.test)"
    where = failed.group(2)
    print("caught\t%s.%s" % (where[:-len(failed.group(1)) - 1] if where.endswith("." + failed.group(1)) else where,
                             failed.group(1)))
elif summary and summary[-1][1] != "0" or rc:
    crash = next(("%s.%s (crash)" % f for f in frames if f[1].startswith("test")), None)
    print("caught\t%s" % (crash or "exit status %d, no test named" % rc))
else:
    print("missed\t-")
EOF
  rm -f "$out"
}

RUN_ARGS=("$@")
mapfile -t faults <"$plan"
[[ ${#faults[@]} -gt 0 ]] || { echo "$0: no faults to run" >&2; exit 2; }
results=$work/results
rm -rf "$results" && mkdir -p "$results"

# worker N: runs every jobs-th fault from the N-th in copy N.
worker() {
  local n=$1 tree i name file line versions v verdict started
  tree=$(copy "$n")
  if [[ -n $check ]]; then
    for v in $(cut -f4 "$plan" | tr ' ,' '\n\n' | sort -u); do
      verdict=$(suite "$tree" "$v")
      if [[ $verdict != missed* ]]; then
        echo "$0: the unchanged tree does not pass the suite on $v ($verdict); nothing is judged" >&2
        echo "fail" >"$results/check-$n"
        return
      fi
    done
  fi
  for ((i = n; i < ${#faults[@]}; i += jobs)); do
    IFS=$'\t' read -r name file line versions <<<"${faults[$i]}"
    echo "== $name ($file:$line)" >&2
    started=$SECONDS
    apply "$name" "$tree"
    for v in ${versions//,/ }; do  # caught on any of them is caught
      verdict=$(suite "$tree" "$v")
      if [[ $verdict == missed* && -n $asan ]]; then
        verdict=$(suite "$tree" "$v" asan)
        [[ $verdict == caught* ]] && verdict="$verdict (asan)"
      fi
      [[ $verdict == missed* ]] && v=$versions || break
    done
    printf '%s\t%s\t%s\t%s\t%s\n' "$i" "$name" "$v" "$((SECONDS - started))" "$verdict" >>"$results/$n"
    cp "$root/$file" "$tree/$file"
  done
}

pids=()
for ((n = 0; n < jobs; n++)); do worker "$n" & pids+=($!); done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
if compgen -G "$results/check-*" >/dev/null; then exit 1; fi

echo
printf '%-34s %-6s %7s %-9s %s\n' fault python seconds verdict "caught by"
sort -n -t $'\t' -k1,1 "$results"/[0-9]* | while IFS=$'\t' read -r _ name v seconds verdict test; do
  printf '%-34s %-6s %7s %-9s %s\n' "$name" "$v" "$seconds" "$verdict" "$test"
done
missed=$(cat "$results"/[0-9]* | cut -f5 | grep -cv '^caught$' || true)
total=${#faults[@]}
echo "$((total - missed)) of $total faults caught"
[[ $missed -eq 0 && $status -eq 0 ]]
