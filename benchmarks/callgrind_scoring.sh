#!/usr/bin/env bash
# Instructions per call of each scoring-time operation, counted by callgrind
# (stable where timings are not). Each operation runs N times through
# itertools.starmap in its own process; only starmap_next is collected, so the
# setup and the imports are left out. "floor" is the probe's empty method;
# "limit:<prefix>" is the operation's limit loop (the probe's plain C loop over
# the same records), listed beside the C++ method by default. The string hash
# seed is fixed: dict probes, and so the counts, then repeat from run to run.
# Usage: bash benchmarks/callgrind_scoring.sh [N] [operation prefix...]
#        (py:<prefix>: plain Python; limit:<prefix>: the limit loop)
set -euo pipefail
cd "$(dirname "$0")"
python=${PYTHON:-../.venv/bin/python}
if ! "$python" -c 'import kelvane_analytics_utils._frame_probe' 2>/dev/null; then
    echo "the call floor needs the private probe module: build with 'bash scripts/test.sh' (KELVANE_PROBE=1) first" >&2
    exit 1
fi
n=${1:-4000}
shift || true
ops=("$@")
if [ ${#ops[@]} -eq 0 ]; then
    ops=(floor)
    for op in "bin_numeric_attribute, 4" "bin_numeric_attribute, 20" "bin_categoric_attribute, 4" \
              "bin_categoric_attribute, 20" "monitoring get_discretisation, numeric" \
              "monitoring get_discretisation, categorical" apply_discretisation apply_dummy_encoding; do
        ops+=("limit:$op" "$op")
    done
    ops+=(apply_preprocessing batch)
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for op in "${ops[@]}"; do
    count=$n
    [ "$op" = batch ] && count=3
    PYTHONHASHSEED=0 valgrind --tool=callgrind --toggle-collect=starmap_next --callgrind-out-file="$out/cg" \
        "$python" bench_scoring.py --count "$op" "$count" 2>"$out/log" >/dev/null ||
        { echo "$op: the run failed:" >&2; tail -n 5 "$out/log" >&2; exit 1; }
    total=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$out/log")
    printf '%-48s %12.0f instructions per call\n' "$op" "$(echo "$total / $count" | bc -l)"
done
