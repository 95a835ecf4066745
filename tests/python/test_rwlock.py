"""RwLock and its guards: the guard protocol, writer preference against the
per-thread read depth, thread binding, lifetimes, detaching while waiting,
a threaded invariant check and reference-leak loops."""
import contextlib
import re
import subprocess
import sys
import threading
import time

import pytest

from _vornic import AtomicInteger, Channel, RwLock, RwLockReadGuard, RwLockWriteGuard
from conftest import assert_no_leak

# A thread blocked inside a native wait cannot signal that it got there, so
# "B is now waiting" means: B announced it was about to wait, then this long
# passed. A machine too slow for it shows up as a wrong order, not a hang.
SETTLE = 0.3
JOIN = 10
GUARDS = {"read": RwLockReadGuard, "write": RwLockWriteGuard}
NONE3 = (None, None, None)


class Worker(threading.Thread):
    """A daemon thread whose join() checks it ended and re-raises its error."""

    def __init__(self, fn, *args):
        super().__init__(daemon=True)
        self.fn, self.args, self.error, self.result = fn, args, None, None
        self.start()

    def run(self):
        try:
            self.result = self.fn(*self.args)
        except BaseException as e:  # noqa: BLE001 - PanicException included
            self.error = e
        self.fn = self.args = None

    def join(self, timeout=JOIN):
        super().join(timeout)
        assert not self.is_alive(), "worker still blocked"
        if self.error is not None:
            raise self.error
        return self.result


def start_in(lock, kind, wait_first=False):
    """A thread inside `with lock.<kind>():` until the returned release event
    is set. With wait_first the lock is expected to be busy: returns once the
    thread has been waiting for SETTLE. Returns (worker, entered, release)."""
    about, entered, release = threading.Event(), threading.Event(), threading.Event()

    def body():
        g = getattr(lock, kind)()
        about.set()
        with g:
            entered.set()
            assert release.wait(JOIN)
    w = Worker(body)
    if wait_first:
        assert about.wait(JOIN)
        time.sleep(SETTLE)
        assert not entered.is_set(), "expected to be waiting"
    else:
        assert entered.wait(JOIN)
    return w, entered, release


def write_once(lock, entered=None):
    with lock.write():
        if entered:
            entered.set()


def stays_held(lock, release):
    """Whether a writer on another thread stays out until release() runs
    (after which it must get in)."""
    entered = threading.Event()
    w = Worker(write_once, lock, entered)
    time.sleep(SETTLE)
    held = not entered.is_set()
    release()
    w.join()
    return held


def assert_free(lock):
    Worker(write_once, lock).join()


def passes_waiting_writer():
    """Whether this thread's next read gets past a writer that has claimed a
    lock another thread reads: true exactly while its READ_DEPTH is above 0."""
    probe = RwLock()
    reader, _, reader_release = start_in(probe, "read")
    writer, _, writer_release = start_in(probe, "write", wait_first=True)
    writer_release.set()
    # A read that queued behind the writer gets in only after this fires.
    timer = threading.Timer(2 * SETTLE, reader_release.set)
    timer.start()
    with probe.read():
        passed = not reader_release.is_set()
    timer.join(JOIN)
    reader.join()
    writer.join()
    return passed


@contextlib.contextmanager
def unraisables():
    seen, saved = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = saved


def made_elsewhere(lock, kind, enter):
    """A guard created (and entered if `enter`) by a thread that has ended."""
    def body():
        g = getattr(lock, kind)()
        if enter:
            g.__enter__()
        return [g]
    return Worker(body).join().pop()


class TestInterface:
    def test_guards_and_argument_errors(self):
        lock = RwLock()
        for kind, cls in GUARDS.items():
            g = getattr(lock, kind)()
            assert type(g) is cls and g.__enter__() is g and g.__exit__(*NONE3) is None
            with pytest.raises(TypeError, match=re.escape(
                    f"RwLock.{kind}() takes from 0 to 1 positional arguments but 2 were given")):
                getattr(lock, kind)(1, 2)
            with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
                cls()
        with pytest.raises(TypeError) as info:
            RwLock(1)
        assert str(info.value) == "RwLock.__new__() takes 0 positional arguments but 1 was given"

    @pytest.mark.timeout(30)
    def test_exit_needs_three_arguments_and_keeps_the_lock_otherwise(self):
        lock = RwLock()
        g = lock.write()
        g.__enter__()
        with pytest.raises(TypeError) as info:
            g.__exit__(None, None)
        assert str(info.value) == "RwLockWriteGuard.__exit__() missing 1 required positional argument: '_traceback'"
        assert stays_held(lock, lambda: g.__exit__(_exc_type=1, _exc_value=2, _traceback=3))


class TestGuardStates:
    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_double_enter_is_refused_and_changes_nothing(self, kind):
        lock = RwLock()
        g = getattr(lock, kind)()
        g.__enter__()
        with pytest.raises(RuntimeError) as info:
            g.__enter__()
        assert str(info.value) == "Lock guard already entered"
        if kind == "read":
            assert passes_waiting_writer()  # still entered
        # One exit undoes the one acquisition: a second reader slot taken by
        # the refused enter would keep the writer out for good.
        assert stays_held(lock, lambda: g.__exit__(*NONE3))
        assert not passes_waiting_writer()

    @pytest.mark.timeout(30)
    def test_stray_exits_release_nothing(self):
        lock = RwLock()
        with lock.read():
            for kind in GUARDS:
                assert getattr(lock, kind)().__exit__(*NONE3) is None
            g = lock.read()
            with g:
                pass
            assert g.__exit__(*NONE3) is None
            assert passes_waiting_writer(), "READ_DEPTH lost a count it never had"
        owner = lock.write()
        owner.__enter__()
        lock.write().__exit__(*NONE3)
        assert stays_held(lock, lambda: owner.__exit__(*NONE3))
        assert owner.__exit__(*NONE3) is None

    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_reenter_and_exceptions_inside_with(self, kind):
        lock = RwLock()
        g = getattr(lock, kind)()
        for _ in range(2):
            g.__enter__()
            assert stays_held(lock, lambda: g.__exit__(*NONE3))

        class Boom(Exception):
            pass
        with pytest.raises(Boom):
            with g:
                raise Boom
        assert_free(lock)
        assert not passes_waiting_writer()

    @pytest.mark.timeout(30)
    def test_guards_outlive_the_lock_object(self):
        holder = [RwLock()]
        w = holder[0].write()
        w.__enter__()
        made, go, entered = threading.Event(), threading.Event(), threading.Event()

        def reader():
            g = holder[0].read()
            made.set()
            assert go.wait(JOIN)
            with g:
                entered.set()
        t = Worker(reader)
        assert made.wait(JOIN)
        holder.clear()  # the RwLock object is gone; the guards share its state
        go.set()
        time.sleep(SETTLE)
        assert not entered.is_set()
        w.__exit__(*NONE3)
        t.join()
        with w:
            pass


class TestReadDepth:
    @pytest.mark.timeout(30)
    def test_nested_reads_pass_a_waiting_writer(self):
        lock = RwLock()
        with lock.read():
            writer, writer_in, writer_release = start_in(lock, "write", wait_first=True)
            writer_release.set()
            with lock.read():
                with lock.read():
                    pass
            assert not writer_in.is_set()
        writer.join()
        assert writer_in.is_set()

    @pytest.mark.timeout(30)
    def test_reader_without_depth_waits_until_the_writer_has_been_in(self):
        lock = RwLock()
        a, _, a_release = start_in(lock, "read")
        b, b_in, b_release = start_in(lock, "write", wait_first=True)
        order = []

        def third():
            with lock.read():
                order.append("C in")
        c = Worker(third)
        time.sleep(SETTLE)
        assert order == [], "C got past the waiting writer"
        a_release.set()
        assert b_in.wait(JOIN)
        time.sleep(SETTLE)
        order.append("B out")
        b_release.set()
        for w in (a, b, c):
            w.join()
        assert order == ["B out", "C in"]

    @pytest.mark.timeout(60)
    def test_depth_is_per_thread_and_follows_guards(self):
        assert not passes_waiting_writer()
        other = RwLock()
        with other.read():
            assert passes_waiting_writer()  # a read of any lock counts
        g = other.read()
        g.__enter__()
        assert passes_waiting_writer()
        del g  # destroyed while entered: releases and gives the count back
        assert not passes_waiting_writer()
        w = other.write()
        w.__enter__()
        del w
        assert_free(other)


PANIC = re.compile(
    r"assertion `left == right` failed: _vornic::lock::(RwLockReadGuard|RwLockWriteGuard) is unsendable, "
    r"but sent to another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)")


class TestThreadBinding:
    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_other_threads_get_the_assertion_and_change_nothing(self, PanicException, kind):
        lock = RwLock()
        idle, held = getattr(lock, kind)(), getattr(lock, kind)()
        held.__enter__()

        def misuse():
            ids = set()
            for call in (idle.__enter__, held.__enter__, lambda: held.__exit__(*NONE3)):
                try:
                    call()
                except PanicException as e:
                    m = PANIC.fullmatch(str(e))
                    assert m and m[1] == GUARDS[kind].__name__, str(e)
                    ids.add((int(m[2]), int(m[3])))
                else:
                    raise AssertionError("no assertion")
            return ids
        first, = Worker(misuse).join()
        second, = Worker(misuse).join()
        assert min(first + second) > 0
        assert first[1] == second[1], "the creator's identity"
        assert len({first[0], second[0], first[1]}) == 3, "one identity per thread"
        assert stays_held(lock, lambda: held.__exit__(*NONE3))
        with idle:
            pass


class TestForeignDestruction:
    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    @pytest.mark.parametrize("enter", [False, True])
    def test_reported_and_the_lock_released(self, kind, enter):
        lock = RwLock()
        g = made_elsewhere(lock, kind, enter)
        with unraisables() as seen:
            del g
        assert [(u.exc_type, str(u.exc_value), u.object) for u in seen] == [(
            RuntimeError,
            f"_vornic::lock::{GUARDS[kind].__name__} is unsendable, but is being dropped on another thread",
            None)]
        assert_free(lock)

    @pytest.mark.timeout(30)
    def test_the_creator_gets_its_depth_back(self):
        lock = RwLock()
        (handed, taken, let_go, dropped), box = (threading.Event() for _ in range(4)), []

        def creator():
            box.append(lock.read())
            box[0].__enter__()
            handed.set()
            # The creator lets go of its own reference first: on a
            # free-threaded build the last drop of an object its owner
            # thread still references is handed back to that owner, and the
            # guard would end on the creator after all.
            assert taken.wait(JOIN)
            box.clear()
            let_go.set()
            assert dropped.wait(JOIN)
            return passes_waiting_writer()
        w = Worker(creator)
        assert handed.wait(JOIN)
        mine = box[0]
        taken.set()
        assert let_go.wait(JOIN)
        with unraisables() as seen:
            del mine
        assert len(seen) == 1
        dropped.set()
        assert w.join() is False

    @pytest.mark.timeout(30)
    def test_the_report_keeps_a_propagating_exception(self):
        # sorted() frees the keys it computed with the key function's error
        # already set, so the guard's deallocator runs with it pending.
        lock = RwLock()
        box = [made_elsewhere(lock, "write", enter=True)]
        with unraisables() as seen:
            with pytest.raises(ZeroDivisionError):
                sorted([0, 1], key=lambda i: box.pop() if i == 0 else 1 / 0)
        assert len(seen) == 1
        assert_free(lock)


WAITER_SCRIPT = """
import sys, threading, time, _vornic
lock, about, entered, stop = _vornic.RwLock(), threading.Event(), threading.Event(), threading.Event()
ticks = [0]
def waiter():
    g = getattr(lock, sys.argv[1])()
    about.set()
    with g:
        entered.set()
def counter():
    while not stop.is_set():
        ticks[0] += 1
        time.sleep(0.001)
with lock.write():
    w = threading.Thread(target=waiter)
    w.start()
    about.wait(10)
    time.sleep(0.3)
    c = threading.Thread(target=counter)
    c.start()
    deadline = time.monotonic() + 10
    while ticks[0] < 20 and time.monotonic() < deadline:
        time.sleep(0.005)
    stop.set()
    c.join()
    print(ticks[0] >= 20, entered.is_set())
w.join(10)
print(entered.is_set())
"""


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind", GUARDS)
def test_other_threads_run_while_one_waits(kind):
    # In a child process: a waiter that kept the interpreter would stop every
    # other thread, the timer of this test's timeout included.
    out = subprocess.run([sys.executable, "-c", WAITER_SCRIPT, kind], capture_output=True, text=True,
                         timeout=30, check=True).stdout
    assert out.split() == ["True", "False", "True"], out


def raised(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - PanicException included
        return type(e), str(e), getattr(e, "__notes__", None)
    return None


class TestTimeouts:
    @pytest.mark.parametrize("bad", ["1", -1, -0.5, float("nan"), float("inf"), 2.0 ** 64])
    def test_checked_as_the_channel_checks_its_own(self, bad):
        expected = raised(lambda: Channel().recv_timeout(bad))
        assert expected is not None
        for kind in GUARDS:
            assert raised(lambda: getattr(RwLock(), kind)(bad)) == expected
            assert raised(lambda: getattr(RwLock(), kind)(timeout=bad)) == expected

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("holder, kind, timeout, waits", [
        ("write", "read", 0, False),
        ("write", "read", 0.2, True),
        ("write", "write", 0, False),
        ("write", "write", 0.2, True),
        ("read", "write", 0, False),
        ("read", "write", 0.2, True),
    ])
    def test_a_timeout_that_passes_raises_from_enter_and_leaves_the_lock_as_it_was(self, holder, kind, timeout, waits):
        lock = RwLock()
        other, _, release = start_in(lock, holder)
        g = getattr(lock, kind)(timeout)
        t0 = time.monotonic()
        with pytest.raises(TimeoutError) as info:
            with g:
                pytest.fail("entered a held lock")
        took = time.monotonic() - t0
        assert str(info.value) == f"Timed out waiting for the {kind} lock"
        assert took >= timeout and (waits or took < SETTLE)
        assert g.__exit__(*NONE3) is None  # not entered: nothing to release
        if holder == "read":
            # A writer that gave up left no claim: ordinary readers still enter.
            with lock.read(0):
                pass
        release.set()
        other.join()
        with g:  # the same guard, entered again once the lock is free
            assert raised(lambda: lock.write(0).__enter__()) == (
                TimeoutError, "Timed out waiting for the write lock", None)
        assert_free(lock)

    @pytest.mark.timeout(60)
    def test_try_read_keeps_the_recursion_rule(self):
        lock = RwLock()
        with lock.read():
            writer, entered, release = start_in(lock, "write", wait_first=True)
            with lock.read(0):  # recursive: passes the waiting writer
                assert not entered.is_set()
            with pytest.raises(TimeoutError):
                Worker(lambda: lock.read(0).__enter__()).join()
        release.set()
        writer.join()


@pytest.mark.timeout(60)
def test_readers_never_see_a_half_written_table():
    lock = RwLock()
    table = {"a": 0, "b": 0}
    readers_in, writers_in = AtomicInteger(), AtomicInteger()
    torn, overlaps, together = AtomicInteger(), AtomicInteger(), AtomicInteger()
    stop = threading.Event()
    writes, reads = [0, 0], [0] * 6

    def reader(i):
        while not stop.is_set():
            with lock.read():
                together.add_and_get(readers_in.increment() > 1)
                overlaps.add_and_get(writers_in.get())
                a = table["a"]
                time.sleep(0)
                if reads[i] % 4 == 0:
                    with lock.read():  # recursive: passes a claiming writer
                        b = table["b"]
                else:
                    b = table["b"]
                torn.add_and_get(a != b)
                readers_in.decrement()
            reads[i] += 1

    def writer(i):
        while not stop.is_set():
            with lock.write():
                overlaps.add_and_get(writers_in.increment() - 1 + readers_in.get())
                table["a"] += 1
                time.sleep(0)
                table["b"] += 1
                writers_in.decrement()
            writes[i] += 1

    threads = [Worker(reader, i) for i in range(6)] + [Worker(writer, i) for i in range(2)]
    time.sleep(1.5)
    stop.set()
    for t in threads:
        t.join(30)
    print(f"reads {sum(reads)}, writes {sum(writes)}, reads shared with another reader {together.get()}")
    assert torn.get() == 0 and overlaps.get() == 0
    assert min(writes) > 10 and min(reads) > 10, (writes, reads)
    assert together.get() > 0, "readers never held the lock at the same time"
    assert table["a"] == table["b"] == sum(writes)


class TestNoLeaks:
    @pytest.mark.timeout(120)
    def test_guard_cycles_and_error_paths(self):
        lock = RwLock()
        sentinel = object()

        def cycle():
            with lock.read():
                pass
            with lock.write():
                pass
            g = lock.write()
            g.__enter__()
            with contextlib.suppress(RuntimeError):
                g.__enter__()
            with contextlib.suppress(TypeError):
                g.__exit__(sentinel, sentinel)
            g.__exit__(sentinel, sentinel, sentinel)
            r = lock.read()
            r.__enter__()
            del r  # entered, never exited
            with contextlib.suppress(KeyError):
                with lock.read():
                    raise KeyError(sentinel)
            with contextlib.suppress(TypeError):
                RwLock(sentinel)
            with contextlib.suppress(TypeError):
                lock.read(sentinel)
        assert_no_leak(cycle, repeat=10_000, objs=(lock, sentinel, RwLockReadGuard, RwLockWriteGuard))
        assert_free(lock)
        assert not passes_waiting_writer()

    @pytest.mark.timeout(120)
    def test_cross_thread_panics(self, PanicException):
        lock = RwLock()
        g, sentinel = lock.read(), object()

        def misuse():
            for call in (g.__enter__, lambda: g.__exit__(sentinel, sentinel, sentinel)):
                with contextlib.suppress(PanicException):
                    call()
        Worker(assert_no_leak, misuse, 5_000, (lock, g, sentinel)).join(100)
