"""RwLock and its guards: the guard protocol, writer preference against the
per-thread read depth, thread binding, lifetimes, detaching while waiting,
a threaded invariant check and reference-leak loops."""
import contextlib
import gc
import re
import sys
import threading
import time

import pytest

from _vornic import AtomicInteger, RwLock, RwLockReadGuard, RwLockWriteGuard
from conftest import assert_no_leak

# A thread blocked inside a native wait cannot signal that it got there, so
# tests that need "B is now waiting" give it this long after it announced it
# was about to wait. Enough on a loaded machine; the failure it guards against
# would show up as a wrong order, never as a hang.
SETTLE = 0.3
JOIN = 10

GUARDS = {"read": RwLockReadGuard, "write": RwLockWriteGuard}
NONE3 = (None, None, None)


class Worker:
    """Runs fn() on a daemon thread and keeps what it raised for join()."""

    def __init__(self, fn, *args):
        self.error = None
        self.result = None
        self.thread = threading.Thread(target=self._run, args=(fn, args), daemon=True)
        self.thread.start()

    def _run(self, fn, args):
        try:
            self.result = fn(*args)
        except BaseException as e:  # noqa: BLE001 - PanicException included
            self.error = e

    def join(self, timeout=JOIN):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "worker still blocked"
        if self.error is not None:
            raise self.error
        return self.result

    def alive(self):
        return self.thread.is_alive()


def hold(lock, kind, entered, release):
    """Thread body: enter a guard of `kind`, signal, hold until released."""
    with getattr(lock, kind)():
        entered.set()
        assert release.wait(JOIN)


def start_holder(lock, kind):
    entered, release = threading.Event(), threading.Event()
    w = Worker(hold, lock, kind, entered, release)
    assert entered.wait(JOIN)
    return w, release


def start_blocked_writer(lock):
    """A thread that enters lock.write() while the lock is held elsewhere.
    Returns (worker, entered event, release event)."""
    about, entered, release = threading.Event(), threading.Event(), threading.Event()

    def body():
        g = lock.write()
        about.set()
        with g:
            entered.set()
            assert release.wait(JOIN)

    w = Worker(body)
    assert about.wait(JOIN)
    time.sleep(SETTLE)
    assert not entered.is_set(), "the writer should be waiting"
    return w, entered, release


def lock_is_free(lock):
    """True when a writer on another thread gets in within the join time."""
    def body():
        with lock.write():
            pass
    w = Worker(body)
    w.thread.join(JOIN)
    return not w.alive()


def lock_stays_held(lock, release):
    """A writer on another thread stays out while the lock is held; once
    release() has let go of it, the writer gets in."""
    entered = threading.Event()

    def body():
        with lock.write():
            entered.set()
    w = Worker(body)
    time.sleep(SETTLE)
    held = not entered.is_set()
    release()
    w.join()
    return held


def read_passes_waiting_writer():
    """Whether this thread's next read gets past a writer that has claimed a
    lock another thread still reads, which is the case exactly when this
    thread's READ_DEPTH is above 0. The probe uses a fresh lock."""
    probe = RwLock()
    reader, reader_release = start_holder(probe, "read")
    writer, _, writer_release = start_blocked_writer(probe)
    writer_release.set()
    # Let the outside reader go after a while; a read that queued behind the
    # writer can only get in after that.
    timer = threading.Timer(2 * SETTLE, reader_release.set)
    timer.start()
    try:
        g = probe.read()
        g.__enter__()
        passed = not reader_release.is_set()
        g.__exit__(*NONE3)
    finally:
        timer.join(JOIN)
        reader_release.set()
    reader.join()
    writer.join()
    return passed


@contextlib.contextmanager
def unraisables():
    seen = []
    saved = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = saved


def made_on_other_thread(lock, kind, enter):
    """A guard created (and entered if `enter`) by a thread that has ended."""
    box = []

    def body():
        g = getattr(lock, kind)()
        if enter:
            g.__enter__()
        box.append(g)
    Worker(body).join()
    return box.pop()


# ---- construction, types, docstrings ------------------------------------------------


class TestInterface:
    def test_read_and_write_prepare_guards_of_their_kind(self):
        lock = RwLock()
        for kind, cls in GUARDS.items():
            g = getattr(lock, kind)()
            assert type(g) is cls
            assert g.__enter__() is g
            assert g.__exit__(*NONE3) is None
            with getattr(lock, kind)() as g2:
                assert type(g2) is cls

    def test_argument_errors(self):
        with pytest.raises(TypeError) as info:
            RwLock(1)
        assert str(info.value) == "RwLock.__new__() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as info:
            RwLock(x=1)
        assert str(info.value) == "RwLock.__new__() got an unexpected keyword argument 'x'"
        lock = RwLock()
        for kind in GUARDS:
            with pytest.raises(TypeError, match=re.escape(f"RwLock.{kind}() takes no arguments (1 given)")):
                getattr(lock, kind)(1)
        for cls in GUARDS.values():
            with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
                cls()

    def test_exit_needs_its_three_arguments_and_keeps_the_lock(self):
        lock = RwLock()
        g = lock.write()
        g.__enter__()
        with pytest.raises(TypeError) as info:
            g.__exit__(None, None)
        assert str(info.value) == \
            "RwLockWriteGuard.__exit__() missing 1 required positional argument: '_traceback'"
        with pytest.raises(TypeError) as info:
            g.__exit__(None, None, None, None)
        assert str(info.value) == \
            "RwLockWriteGuard.__exit__() takes 3 positional arguments but 4 were given"
        assert lock_stays_held(lock, lambda: g.__exit__(_exc_type=1, _exc_value=2, _traceback=3))

    def test_docstrings(self):
        assert RwLock.__doc__ == (
            "A native Reader-Writer lock based on parking_lot::RwLock.\n"
            "Allows multiple concurrent readers or a single exclusive writer.\n"
            "Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.")
        assert RwLock.__text_signature__ == "()"
        for kind, cls in GUARDS.items():
            mode = "shared read" if kind == "read" else "exclusive write"
            assert cls.__doc__ == (
                f"A context-manager guard for holding {mode} access of an RwLock.\n"
                "Since it keeps references to local FFI contexts, it is marked as `unsendable`.")
            assert getattr(RwLock, kind).__doc__ == \
                f"Prepare a {kind} lock guard. Acquisition occurs upon entering the context."
            assert cls.__enter__.__doc__ == f"Enter the {kind} lock context."
            assert cls.__exit__.__doc__ == f"Exit the {kind} lock context, releasing the lock."
            assert cls.__exit__.__text_signature__ == "($self, _exc_type, _exc_value, _traceback)"


# ---- entering and exiting -------------------------------------------------------------


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
        assert type(info.value) is RuntimeError
        if kind == "read":
            assert read_passes_waiting_writer()  # still entered, counted once
        # One exit undoes the one acquisition: had the refused enter taken a
        # second reader slot, the writer would never get in.
        assert lock_stays_held(lock, lambda: g.__exit__(*NONE3))
        assert lock_is_free(lock)
        assert not read_passes_waiting_writer()

    @pytest.mark.timeout(30)
    def test_exit_without_enter_and_twice_does_nothing(self):
        lock = RwLock()
        owner = lock.write()
        owner.__enter__()
        for kind in GUARDS:
            stray = getattr(lock, kind)()
            assert stray.__exit__(*NONE3) is None
        # The stray exits released nothing of the owner's.
        assert lock_stays_held(lock, lambda: owner.__exit__(*NONE3))
        assert owner.__exit__(*NONE3) is None
        assert lock_is_free(lock)

    @pytest.mark.timeout(30)
    def test_stray_read_exits_leave_read_depth_alone(self):
        lock = RwLock()
        with lock.read():
            lock.read().__exit__(*NONE3)
            g = lock.read()
            g.__enter__()
            g.__exit__(*NONE3)
            g.__exit__(*NONE3)
            assert read_passes_waiting_writer()
        lock.read().__exit__(*NONE3)  # at 0 already: stays 0
        assert not read_passes_waiting_writer()

    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_a_guard_can_be_entered_again(self, kind):
        lock = RwLock()
        g = getattr(lock, kind)()
        for _ in range(3):
            g.__enter__()
            assert lock_stays_held(lock, lambda: g.__exit__(*NONE3))
        with g:
            pass
        assert lock_is_free(lock)

    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_exception_inside_with_propagates_and_frees_the_lock(self, kind):
        lock = RwLock()

        class Boom(Exception):
            pass
        with pytest.raises(Boom):
            with getattr(lock, kind)():
                raise Boom
        assert lock_is_free(lock)
        assert not read_passes_waiting_writer()

    @pytest.mark.timeout(30)
    def test_guards_outlive_the_lock_object(self):
        lock = RwLock()
        w = lock.write()
        w.__enter__()
        made, go = threading.Event(), threading.Event()
        entered = threading.Event()

        def reader():
            g = lock_ref[0].read()
            made.set()
            assert go.wait(JOIN)
            with g:
                entered.set()
        lock_ref = [lock]
        t = Worker(reader)
        assert made.wait(JOIN)
        del lock, lock_ref[0]
        gc.collect()
        go.set()
        time.sleep(SETTLE)
        assert not entered.is_set(), "the dropped lock's state must still exclude the reader"
        w.__exit__(*NONE3)
        t.join()
        assert entered.is_set()
        with w:  # the state is still there for its last guard
            pass


# ---- writer preference and READ_DEPTH ------------------------------------------------


class TestReadDepth:
    @pytest.mark.timeout(30)
    def test_nested_reads_pass_a_waiting_writer(self):
        lock = RwLock()
        outer = lock.read()
        outer.__enter__()
        writer, writer_in, writer_release = start_blocked_writer(lock)
        writer_release.set()
        with lock.read():
            with lock.read():
                assert not writer_in.is_set()
        assert not writer_in.is_set()
        outer.__exit__(*NONE3)
        writer.join()
        assert writer_in.is_set()

    @pytest.mark.timeout(30)
    def test_fresh_reader_waits_until_the_writer_has_been_in(self):
        lock = RwLock()
        order = []
        a, a_release = start_holder(lock, "read")
        b, b_in, b_release = start_blocked_writer(lock)
        c_about = threading.Event()

        def third():
            g = lock.read()
            c_about.set()
            with g:
                order.append("C in")
        c = Worker(third)
        assert c_about.wait(JOIN)
        time.sleep(SETTLE)
        assert order == [] and not b_in.is_set()
        a_release.set()
        a.join()
        assert b_in.wait(JOIN)
        time.sleep(SETTLE)
        order.append("B out")
        assert order == ["B out"], "the third reader got in while the writer held the lock"
        b_release.set()
        b.join()
        c.join()
        assert order == ["B out", "C in"]

    @pytest.mark.timeout(30)
    def test_depth_is_per_thread_not_per_lock(self):
        assert not read_passes_waiting_writer()
        other = RwLock()
        with other.read():
            assert read_passes_waiting_writer()
        assert not read_passes_waiting_writer()

    @pytest.mark.timeout(30)
    def test_destroying_an_entered_read_guard_restores_depth(self):
        lock = RwLock()
        g = lock.read()
        g.__enter__()
        assert read_passes_waiting_writer()
        del g
        assert not read_passes_waiting_writer()
        assert lock_is_free(lock)
        w = lock.write()
        w.__enter__()
        del w
        assert lock_is_free(lock)


# ---- thread binding ------------------------------------------------------------------


PANIC = re.compile(
    r"assertion `left == right` failed: _vornic::lock::(RwLockReadGuard|RwLockWriteGuard) is unsendable, "
    r"but sent to another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)")


class TestThreadBinding:
    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    def test_other_threads_get_the_assertion(self, PanicException, kind):
        lock = RwLock()
        g, g2 = getattr(lock, kind)(), getattr(lock, kind)()
        entered = getattr(lock, kind)()
        entered.__enter__()

        def misuse():
            messages = []
            for call in (g.__enter__, lambda: g.__exit__(*NONE3), g2.__enter__,
                         lambda: entered.__exit__(*NONE3), entered.__enter__):
                with pytest.raises(PanicException) as info:
                    call()
                messages.append(str(info.value))
            return messages
        messages = Worker(misuse).join()
        ids = set()
        for m in messages:
            match = PANIC.fullmatch(m)
            assert match, m
            assert match[1] == GUARDS[kind].__name__
            ids.add((int(match[2]), int(match[3])))
        assert len(ids) == 1, "one calling thread, one creating thread"
        (left, right), = ids
        assert left > 0 and right > 0 and left != right
        # Nothing changed: the entered guard still holds, the others still work.
        assert lock_stays_held(lock, lambda: entered.__exit__(*NONE3))
        with g:
            pass

    @pytest.mark.timeout(30)
    def test_identities_differ_per_thread(self, PanicException):
        lock = RwLock()

        def misuse(g):
            # Keeps no traceback: one would hold this frame, and so g, alive
            # until some later collection on another thread.
            try:
                g.__enter__()
            except PanicException as e:
                m = PANIC.fullmatch(str(e))
            return int(m[2]), int(m[3])
        g = lock.read()
        first = Worker(misuse, g).join()
        second = Worker(misuse, g).join()
        assert first[1] == second[1]
        assert first[0] != second[0], "two threads, two identities"
        other = made_on_other_thread(lock, "write", enter=False)
        with unraisables():
            third = Worker(misuse, other).join()
            del other
        assert third[1] not in (first[1], first[0], second[0])


class TestForeignDestruction:
    @pytest.mark.timeout(30)
    @pytest.mark.parametrize("kind", GUARDS)
    @pytest.mark.parametrize("enter", [False, True])
    def test_reported_and_the_lock_released(self, kind, enter):
        lock = RwLock()
        g = made_on_other_thread(lock, kind, enter)
        with unraisables() as seen:
            del g
        assert len(seen) == 1
        u = seen[0]
        assert u.exc_type is RuntimeError and u.object is None
        assert str(u.exc_value) == \
            f"_vornic::lock::{GUARDS[kind].__name__} is unsendable, but is being dropped on another thread"
        assert lock_is_free(lock)

    @pytest.mark.timeout(30)
    def test_creators_depth_is_given_back(self):
        lock = RwLock()
        handed, dropped = threading.Event(), threading.Event()
        box = []

        def creator():
            g = lock.read()
            g.__enter__()
            box.append(g)
            del g
            handed.set()
            assert dropped.wait(JOIN)
            return read_passes_waiting_writer()
        w = Worker(creator)
        assert handed.wait(JOIN)
        with unraisables() as seen:
            box.clear()
        assert len(seen) == 1
        dropped.set()
        assert w.join() is False

    @pytest.mark.timeout(30)
    def test_report_keeps_a_propagating_exception(self):
        # sorted() frees the keys it computed while the key function's error
        # is already set, so the guard's deallocator runs with it pending.
        lock = RwLock()
        box = [made_on_other_thread(lock, "write", enter=True)]
        with unraisables() as seen:
            with pytest.raises(ZeroDivisionError):
                sorted([0, 1], key=lambda i: box.pop() if i == 0 else 1 / 0)
        assert len(seen) == 1 and seen[0].exc_type is RuntimeError
        assert lock_is_free(lock)


# ---- waiting detaches ----------------------------------------------------------------


@pytest.mark.timeout(30, method="thread")
@pytest.mark.parametrize("kind", GUARDS)
def test_other_threads_run_while_one_waits(kind):
    # A waiter that kept the interpreter would stop this thread and the
    # counter here, and the test would hang (hence the thread timeout).
    lock = RwLock()
    owner = lock.write()
    owner.__enter__()
    about, entered, stop = threading.Event(), threading.Event(), threading.Event()
    ticks = [0]

    def waiter():
        g = getattr(lock, kind)()
        about.set()
        with g:
            entered.set()

    def counter():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)
    w = Worker(waiter)
    c = Worker(counter)
    assert about.wait(JOIN)
    time.sleep(SETTLE)
    start = ticks[0]
    deadline = time.monotonic() + JOIN
    while ticks[0] < start + 20 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert ticks[0] >= start + 20
    assert not entered.is_set()
    owner.__exit__(*NONE3)
    w.join()
    stop.set()
    c.join()


# ---- many threads ------------------------------------------------------------------


@pytest.mark.timeout(60)
def test_readers_never_see_a_half_written_table():
    lock = RwLock()
    table = {"a": 0, "b": 0, "c": 0}
    readers_in = AtomicInteger()
    writers_in = AtomicInteger()
    torn = AtomicInteger()
    reads = AtomicInteger()
    overlap = AtomicInteger()
    stop = threading.Event()
    writes = [0, 0]

    def reader(i):
        n = 0
        while not stop.is_set():
            with lock.read():
                readers_in.increment()
                if writers_in.get():
                    overlap.increment()
                a = table["a"]
                time.sleep(0)
                if n % 4 == 0:
                    with lock.read():  # recursive: must pass a waiting writer
                        b = table["b"]
                else:
                    b = table["b"]
                if not (a == b == table["c"]):
                    torn.increment()
                readers_in.decrement()
            n += 1
        reads.add_and_get(n)

    def writer(i):
        k = 0
        while not stop.is_set():
            with lock.write():
                if writers_in.increment() != 1 or readers_in.get():
                    overlap.increment()
                k += 1
                table["a"] = k
                time.sleep(0)
                table["b"] = k
                table["c"] = k
                writers_in.decrement()
            writes[i] += 1
            time.sleep(0.0005)

    threads = [Worker(reader, i) for i in range(6)] + [Worker(writer, i) for i in range(2)]
    time.sleep(1.5)
    stop.set()
    for t in threads:
        t.join(30)
    assert torn.get() == 0
    assert overlap.get() == 0
    assert all(w > 10 for w in writes), writes
    assert reads.get() > 100


# ---- reference leaks -----------------------------------------------------------------


class TestNoLeaks:
    @pytest.mark.timeout(120)
    def test_guard_cycles(self):
        lock = RwLock()
        sentinel = object()

        def cycle():
            with lock.read():
                pass
            with lock.write():
                pass
            g = lock.read()
            g.__enter__()
            g.__exit__(sentinel, sentinel, sentinel)
            g.__exit__(sentinel, sentinel, sentinel)
            w = lock.write()
            w.__enter__()
            del w
            r = lock.read()
            r.__enter__()
            del r
        assert_no_leak(cycle, objs=(lock, sentinel, RwLockReadGuard, RwLockWriteGuard))
        assert lock_is_free(lock)
        assert not read_passes_waiting_writer()

    @pytest.mark.timeout(120)
    def test_error_paths(self):
        lock = RwLock()
        sentinel = object()

        class Boom(Exception):
            pass

        def cycle():
            g = lock.write()
            g.__enter__()
            try:
                g.__enter__()
            except RuntimeError:
                pass
            try:
                g.__exit__(sentinel, sentinel)
            except TypeError:
                pass
            g.__exit__(sentinel, sentinel, sentinel)
            try:
                with lock.read():
                    raise Boom(sentinel)
            except Boom:
                pass
            try:
                RwLock(sentinel)
            except TypeError:
                pass
            try:
                lock.read(sentinel)
            except TypeError:
                pass
        assert_no_leak(cycle, repeat=10_000, objs=(lock, sentinel))
        assert lock_is_free(lock)

    @pytest.mark.timeout(120)
    def test_cross_thread_panics(self, PanicException):
        lock = RwLock()
        g = lock.read()
        sentinel = object()

        def misuse():
            for call in (g.__enter__, lambda: g.__exit__(sentinel, sentinel, sentinel)):
                try:
                    call()
                except PanicException:
                    pass
        Worker(assert_no_leak, misuse, 5_000, (lock, g, sentinel)).join(100)
