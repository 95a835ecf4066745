"""Shared fixtures and helpers for the Python suite."""
import gc
import inspect
import sys
import sysconfig
import threading

import pytest

import _vornic


def panic_type():
    """The PanicException type, reached through a fault (it is not a module attribute)."""
    try:
        _vornic.AtomicInteger().get(ordering="release")
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e)
    raise AssertionError("expected a fault")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


def run_threads(target, n, *args, timeout=60):
    """Starts n threads running target(i, *args), joins them with a timeout and
    re-raises the first exception any of them raised."""
    errors = []

    def wrap(i):
        try:
            target(i, *args)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        assert not t.is_alive(), "thread did not finish in time (deadlock?)"
    if errors:
        raise errors[0]


def assert_no_leak(fn, repeat=20_000, objs=(), slack=50):
    """Runs fn() repeat times and checks that the reference counts of objs and
    the number of live gc-tracked objects stay where they were."""
    fn()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in objs]
    before_objs = len(gc.get_objects())
    for _ in range(repeat):
        fn()
    gc.collect()
    after_refs = [sys.getrefcount(o) for o in objs]
    after_objs = len(gc.get_objects())
    assert after_refs == before_refs, (before_refs, after_refs)
    assert after_objs - before_objs < slack, (before_objs, after_objs)


# Under pytest-run-parallel (make test-ft runs the suite with four threads per
# test body) these tests run once, on one thread: they watch process-wide
# state that the other copies of the body would change (reference counts,
# live objects, memory use, signal handlers, patched or removed modules,
# warnings), start processes, or drive hypothesis, whose engine is not
# thread-safe. Matched by file and by
# what the test's source uses, so that a new test of that kind is covered
# without a marker of its own.
THREAD_UNSAFE_FILES = {"test_signals.py", "test_typing.py"}
THREAD_UNSAFE_USES = ("subprocess", "assert_no_leak", "getrefcount", "get_objects", "monkeypatch",
                      "pytest.warns", "sys.setswitchinterval", "faulthandler", "sys.modules", "/proc/self",
                      # A collection already running on another thread makes
                      # gc.collect() return without collecting; the unraisable
                      # hook is one per process.
                      "gc.collect", "collected(", "unraisables(")


def _thread_unsafe_reason(item):
    if item.path.name in THREAD_UNSAFE_FILES:
        return item.path.name
    fn = getattr(item, "function", None)
    if fn is None:
        return None
    if getattr(fn, "is_hypothesis_test", False):
        return "hypothesis"
    try:
        source = inspect.getsource(fn)
    except (OSError, TypeError):
        return None
    use = next((use for use in THREAD_UNSAFE_USES if use in source), None)
    if use:
        return use
    # Holding the only worker of, or shutting down, a pool that the copies of
    # the body share.
    if {"pool", "executor"} & set(getattr(item, "fixturenames", ())):
        for use in ("Held(", ".shutdown("):
            if use in source:
                return f"{use} on a shared pool fixture"
    return None


def pytest_configure(config):
    config.addinivalue_line("markers", "thread_unsafe: run once, on one thread, under pytest-run-parallel")


def pytest_collection_modifyitems(config, items):
    for item in items:
        reason = _thread_unsafe_reason(item)
        if reason:
            item.add_marker(pytest.mark.thread_unsafe(reason=f"uses {reason}"))


def pytest_sessionfinish(session, exitstatus):
    """On a free-threaded build the GIL must stay off for the whole run:
    importing an extension that does not declare itself free-threading safe
    turns it back on, and every result would then be obtained with the
    threads serialised."""
    if sysconfig.get_config_var("Py_GIL_DISABLED") and sys._is_gil_enabled():
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
        print("\nERROR: the GIL was re-enabled during the run", file=sys.stderr)
