#!/usr/bin/env bash
# What each memo table saves: the extension built with one table switched off at a time (-DQUENLORY_MEMOS_OFF),
# and instructions per operation under callgrind (bench/bench.py --callgrind) beside the build with all of them.
#
#   tools/memo_cost.sh PYTHON [OP...]     (default ops: read write construct_dict read_compound)
#
# Builds go to build/<tag>-memos-<mask>; the bench's venv comes from bench/setup.sh. Needs valgrind.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$1; shift
ops=("$@"); [[ ${#ops[@]} -gt 0 ]] || ops=(read write construct_dict read_compound)
tag=$("$python" -c 'import sys, sysconfig; print("cp%d%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
venv=$("$root/bench/setup.sh" "$python")
declare -A names=([0]="all on" [1]="read memo off" [2]="write memo off" [4]="slot offsets off" [16]="property names off")
masks=(0 1 2 4)
"$python" -c 'import sys; sys.exit(sys.version_info >= (3, 11))' && masks+=(16)  # property names are remembered before 3.11 only
for mask in "${masks[@]}"; do
  dir=$root/build/$tag-memos-$mask
  cmake -S "$root" -B "$dir" -DPython3_EXECUTABLE:FILEPATH="$python" -DQUENLORY_MEMOS_OFF=$mask >/dev/null
  cmake --build "$dir" -j 2 >/dev/null
  counts=$(PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$dir/site:$root" "$venv" "$root/bench/bench.py" --callgrind \
    "${ops[@]}" --columns quenlory --iterations 5000 | tail -n +4)
  echo "== $("$python" -c 'import platform; print(platform.python_version())'): ${names[$mask]}"
  echo "$counts"
done
