#!/usr/bin/env bash
# The long fuzzing run: every fuzz test with many more examples, drawn anew
# on every run, in parallel processes; prints the cases compared with the
# rules. Usage: scripts/fuzz.sh [examples per test] [processes]
#   e.g. scripts/fuzz.sh 20000 2
set -euo pipefail
cd "$(dirname "$0")/.."
examples=${1:-5000}
jobs=${2:-2}
[ -x .venv/bin/pytest ] || bash scripts/setup.sh test
report=$(mktemp)
trap 'rm -f "$report"' EXIT
pids=()
for i in $(seq "$jobs"); do
    KELVANE_FUZZ_EXAMPLES="$examples" KELVANE_FUZZ_REPORT="$report" \
        .venv/bin/pytest -q -p no:cacheprovider tests/fuzz > "build/fuzz-$i.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
        status=1
        echo "fuzz process $((i + 1)) failed:"; tail -50 "build/fuzz-$((i + 1)).log"
    fi
done
echo "cases compared with the rules: $(awk '{s += $1} END {print s + 0}' "$report") ($jobs processes x $examples examples per test)"
exit $status
