#!/usr/bin/env bash
# The Python suite on free-threaded CPython 3.14.
#
#   tools/ft-test.sh           the whole suite on the plain free-threaded build,
#                              then again with four threads per test body
#   tools/ft-test.sh plain [PYTEST ARGS]
#                              PYTEST ARGS (once) on the plain build
#   tools/ft-test.sh tsan [PYTEST ARGS]
#                              the concurrent tests (or PYTEST ARGS) on the
#                              thread-sanitized free-threaded build, with the
#                              module built with -fsanitize=thread
#
# The interpreters come from tools/ft-python.sh (built once, cached outside the
# clone). Each flavour gets its own venv and build dir under build/. Importing
# anything that would turn the GIL back on fails the run: RuntimeWarnings are
# errors from the start, and the suite checks at its end that the GIL is off.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
flavour=${1:-plain}
[ $# -gt 0 ] && shift
py=$(tools/ft-python.sh "$flavour")
venv=build/ft-$flavour-venv
strict=(-C cmake.define.VORNIC_WERROR=ON -C build-dir=build/ft-$flavour)
[ "$flavour" = tsan ] && strict+=(-C cmake.define.VORNIC_SANITIZE=thread -C cmake.build-type=RelWithDebInfo)

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
# The sanitized interpreter reports races inside pip's own threads too; the
# install is not what is being checked.
TSAN_OPTIONS="report_bugs=0" "$venv/bin/python" -m pip install -q --upgrade pip
TSAN_OPTIONS="report_bugs=0" "$venv/bin/python" -m pip install -q "${strict[@]}" ".[test]"

# The import alone, with the GIL checked right after it.
"$venv/bin/python" -W error::RuntimeWarning -c '
import sys, _vornic
assert not sys._is_gil_enabled(), "importing _vornic enabled the GIL"
'

if [ "$flavour" = plain ]; then
    [ $# -gt 0 ] && exec "$venv/bin/python" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider "$@"
    "$venv/bin/python" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider
    # The whole suite once more with every test body run by four threads at
    # once (pytest-run-parallel), which finds what one thread per test cannot:
    # state shared by accident, and hangs that need overlapping calls. Tests
    # that cannot run that way are marked thread_unsafe (conftest.py) and run
    # once, on one thread.
    exec "$venv/bin/python" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider --parallel-threads=4
fi

# Under the race detector: the tests where threads overlap. halt_on_error
# stops at the first report, so a race fails the run with its two stacks.
[ $# -gt 0 ] || set -- tests/python/test_map_stress.py tests/python/test_channel_stress.py \
    tests/python/test_pool.py tests/python/test_channel.py tests/python/test_map.py \
    tests/python/test_rwlock.py tests/python/test_select.py tests/python/test_atomic.py \
    tests/python/test_async_channel.py tests/python/test_signals.py
# Reports also go to files: a report that halts the pytest process itself is
# written while pytest holds its standard error, and would be lost with it.
reports=$repo/build/tsan-reports
rm -rf "$reports"; mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$repo/tools/tsan-python.supp log_path=$reports/report ${VORNIC_TSAN_OPTIONS:-}"
rc=0
"$venv/bin/python" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider -o timeout=600 "$@" || rc=$?
for f in "$reports"/report*; do
    [ -e "$f" ] || continue
    echo "---- $f" >&2
    cat "$f" >&2
    [ "$rc" -ne 0 ] || rc=66
done
exit "$rc"
