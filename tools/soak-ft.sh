#!/usr/bin/env bash
# Soak: the concurrency test files on free-threaded 3.14, run again and again
# for a while, so that a hang or a failure that one run in a hundred meets
# shows up. A tool, not a test: it reports, it does not gate CI.
#
#   tools/soak-ft.sh [MINUTES]      default 20 (or SOAK_MINUTES)
#
# Each run is one pytest process over the files below, under faulthandler,
# with a time limit (SOAK_RUN_LIMIT seconds, default 600). A run still going
# at the limit counts as a hang: every thread's native stack (with gdb, where
# installed) and then its Python stack (faulthandler, on SIGABRT) go to its
# log under build/soak/, and the soak goes on. pytest's own per-test timeouts
# are off here, so that a hang reaches the limit with its stacks intact.
# At the end it prints runs, passes, failures and hangs; it exits non-zero
# if there was any failure or hang.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
minutes=${1:-${SOAK_MINUTES:-20}}
limit=${SOAK_RUN_LIMIT:-600}
files=(tests/python/test_channel_stress.py tests/python/test_map_stress.py
       tests/python/test_pool.py tests/python/test_pool_executor.py
       tests/python/test_channel.py tests/python/test_select.py
       tests/python/test_rwlock.py tests/python/test_async_channel.py)

# Builds (or refreshes) the free-threaded venv and the module, runs nothing.
tools/ft-test.sh plain --collect-only -q "${files[@]}" >/dev/null || { echo "soak: build failed" >&2; exit 2; }
py=build/ft-plain-venv/bin/python
logs=build/soak
rm -rf "$logs"; mkdir -p "$logs"

end=$(( $(date +%s) + minutes * 60 ))
runs=0 passes=0 failures=0 hangs=0
while [ "$(date +%s)" -lt "$end" ]; do
    runs=$((runs + 1))
    log=$logs/run-$runs.log
    "$py" -X faulthandler -W error::RuntimeWarning -m pytest -q -p no:cacheprovider -p no:timeout \
        -W ignore::pytest.PytestUnknownMarkWarning "${files[@]}" >"$log" 2>&1 &
    pid=$!
    deadline=$(( $(date +%s) + limit ))
    while kill -0 "$pid" 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do sleep 1; done
    if kill -0 "$pid" 2>/dev/null; then
        hangs=$((hangs + 1))
        {
            echo "==== hang after ${limit}s: native stacks"
            if command -v gdb >/dev/null; then
                timeout 120 gdb -p "$pid" -batch -ex "thread apply all bt" 2>&1
            else
                echo "(gdb not installed)"
            fi
            echo "==== Python stacks"
        } >>"$log"
        kill -ABRT "$pid" 2>/dev/null
        sleep 5
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        echo "run $runs: HANG (log: $log)"
        continue
    fi
    if wait "$pid"; then
        passes=$((passes + 1))
        rm -f "$log"
    else
        failures=$((failures + 1))
        echo "run $runs: FAILED (log: $log)"
    fi
done
echo "soak: $minutes min on $("$py" -c 'import sys; print(sys.version.split()[0] + ("t" if not sys._is_gil_enabled() else ""))'):" \
     "runs $runs, passes $passes, failures $failures, hangs $hangs"
[ $((failures + hangs)) -eq 0 ]
