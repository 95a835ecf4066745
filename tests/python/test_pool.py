"""ThreadPool: submission, futures, shutdown, reclamation and process exit."""
import concurrent.futures as cf
import contextvars
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from _vornic import AtomicInteger, ThreadPool
from conftest import assert_no_leak, run_threads

pytestmark = pytest.mark.timeout(60)

var = contextvars.ContextVar("var", default="unset")


class Held:
    """A callable that reports when it starts and runs until released."""

    def __init__(self):
        self.started = threading.Event()
        self.release = threading.Event()

    def __call__(self, value=None):
        self.started.set()
        assert self.release.wait(30), "never released"
        return value


@pytest.fixture
def pool():
    """A one-worker pool, shut down without waiting at the end of the test."""
    p = ThreadPool(1)
    yield p
    p.shutdown(wait=False)


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.001)


def quota_may_apply():
    """Whether a cgroup CPU quota may lower the processor count."""
    for path in ("/sys/fs/cgroup/cpu.max", "/sys/fs/cgroup/cpu/cpu.cfs_quota_us"):
        try:
            with open(path) as f:
                if f.read().split()[0] not in ("max", "-1"):
                    return True
        except (OSError, IndexError):
            pass
    return False


def concurrent_capacity(p, n, patience=10):
    """True when n tasks of p meet at a barrier, that is run at the same
    moment; a pool with fewer workers gives up after `patience` seconds."""
    barrier = threading.Barrier(n, timeout=patience)
    futures = [p.submit(barrier.wait) for _ in range(n)]
    return all(f.exception(timeout=patience + 20) is None for f in futures)


class TestConstruction:
    def test_worker_count(self):
        class Three:
            def __index__(self):
                return 3
        cpus = len(os.sched_getaffinity(0))
        for p, n in ((ThreadPool(), cpus), (ThreadPool(num_workers=None), cpus), (ThreadPool(Three()), 3)):
            try:
                if n == 3 or not quota_may_apply():
                    assert concurrent_capacity(p, n)
                assert not concurrent_capacity(p, n + 1, patience=1)
            finally:
                p.shutdown()

    def test_count_errors(self):
        for n in (0, -1):
            with pytest.raises(ValueError, match="^num_workers must be greater than zero$"):
                ThreadPool(n)
        with pytest.raises(TypeError) as e:
            ThreadPool(2.0)
        assert e.value.__notes__ == ["while processing 'num_workers'"]
        with pytest.raises(OverflowError):
            ThreadPool(2**63)
        # A count whose handle list cannot even be allocated fails before
        # any thread starts.
        with pytest.raises(MemoryError):
            ThreadPool(2**62)

    def test_weakref_and_no_instance_dict(self):
        p = ThreadPool(1)
        called = []
        ref = weakref.ref(p, called.append)
        assert ref() is p
        with pytest.raises(AttributeError):
            p.anything = 1
        p.shutdown()
        del p
        assert ref() is None and called == [ref]


class TestSubmit:
    def test_arguments_reach_the_callable(self, pool):
        assert pool.submit(lambda a, b, *, c: (a, b, c), 1, 2, c=3).result(10) == (1, 2, 3)
        assert pool.submit(func=lambda: "no args").result(10) == "no args"
        assert pool.submit(lambda: None).result(10) is None

    def test_argument_binding_errors(self, pool):
        with pytest.raises(TypeError, match=r"^ThreadPool.submit\(\) missing 1 required positional argument: 'func'$"):
            pool.submit()
        # `func` can never be forwarded as a keyword.
        with pytest.raises(TypeError, match=r"^ThreadPool.submit\(\) got multiple values for argument 'func'$"):
            pool.submit(dict, func=1)

    def test_exception_is_the_raised_instance(self, pool):
        err = ValueError("boom")

        def fail():
            raise err
        f = pool.submit(fail)
        assert f.exception(10) is err
        assert err.__traceback__ is not None
        not_callable = pool.submit(42).exception(10)
        assert isinstance(not_callable, TypeError) and "not callable" in str(not_callable)
        assert pool.submit(int, "7").result(10) == 7  # the worker carried on

    def test_futures_come_from_the_type_seen_at_construction(self, monkeypatch):
        class Mine(cf.Future):
            pass

        class Refused(cf.Future):
            def __init__(self):
                raise LookupError("no future today")
        before = ThreadPool(1)
        monkeypatch.setattr(cf, "Future", Mine)
        after = ThreadPool(1)
        monkeypatch.setattr(cf, "Future", Refused)
        refused = ThreadPool(1)
        ran = []
        try:
            assert type(before.submit(int)) is cf._base.Future
            assert type(after.submit(int)) is Mine
            with pytest.raises(LookupError, match="no future today"):
                refused.submit(ran.append, 1)
        finally:
            for p in (before, after, refused):
                p.shutdown()
        assert ran == []  # nothing was queued

    def test_context_is_copied_at_submission(self, pool):
        def body():
            held = Held()
            var.set("submitted")

            def read_then_set():
                held()
                seen = var.get()
                var.set("task")
                return seen
            first = pool.submit(read_then_set)
            second = pool.submit(var.get)
            var.set("changed after submit")
            held.release.set()
            assert first.result(10) == "submitted"
            assert second.result(10) == "submitted"  # not the first task's value
            assert var.get() == "changed after submit"  # nothing leaked back
        contextvars.copy_context().run(body)

    def test_task_runs_without_context_when_copying_fails(self, pool, monkeypatch):
        def refuse():
            raise RuntimeError("no copy")
        monkeypatch.setattr(contextvars, "copy_context", refuse)
        var.set("submitter")
        assert pool.submit(var.get).result(10) == "unset"


@pytest.fixture(params=["ThreadPool", "ThreadPoolExecutor"])
def executor(request):
    """One worker, from this module or from the standard library: the future
    contract tests run the same body on both."""
    e = ThreadPool(1) if request.param == "ThreadPool" else cf.ThreadPoolExecutor(1)
    yield e
    e.shutdown(wait=False)


class TestFutureContract:
    def test_future_is_marked_running_while_it_runs(self, executor):
        # ... and can no longer be cancelled then.
        held = Held()
        f = executor.submit(held, "value")
        assert held.started.wait(10)
        assert f.running() and not f.done()
        assert not f.cancel()
        held.release.set()
        assert f.result(10) == "value"
        assert not f.cancelled()

    def test_user_cancelled_before_it_ran(self, executor):
        # It never runs its callable, lets go of the call's references, and
        # counts as done for wait() and as_completed().
        held = Held()
        executor.submit(held)
        assert held.started.wait(10)
        ran = []
        arg = Held()
        arg_ref = weakref.ref(arg)
        queued = executor.submit(ran.append, arg)
        del arg
        assert queued.cancel()
        held.release.set()
        done, not_done = cf.wait([queued], timeout=10)
        assert not not_done
        assert list(cf.as_completed([queued], timeout=10)) == [queued]
        executor.submit(int).result(10)
        assert ran == [] and queued.cancelled()
        wait_until(lambda: arg_ref() is None)

    def test_cancelling_means_not_run(self, executor):
        # A map() that times out and shutdown(cancel_futures=True) both
        # cancel what is still queued; none of it runs.
        held = Held()
        executor.submit(held)
        assert held.started.wait(10)
        ran = []
        results = executor.map(ran.append, range(5), timeout=0.05)
        with pytest.raises(TimeoutError):
            next(results)
        queued = [executor.submit(ran.append, i) for i in range(5)]
        executor.shutdown(wait=False, cancel_futures=True)
        held.release.set()
        for q in queued:
            with pytest.raises(cf.CancelledError):
                q.result(10)
        assert ran == []


class TestShutdown:
    @pytest.mark.parametrize("wait", [True, False])
    @pytest.mark.parametrize("cancel", [False, True])
    def test_four_combinations(self, wait, cancel):
        p = ThreadPool(1)
        held = Held()
        running = p.submit(held, "first")
        ran = []
        queued = [p.submit(ran.append, i) for i in range(3)]
        assert held.started.wait(10)
        if wait:
            t = threading.Thread(target=p.shutdown, kwargs={"wait": True, "cancel_futures": cancel})
            t.start()
            t.join(0.2)
            assert t.is_alive()  # waiting for the running task
            held.release.set()
            t.join(10)
            assert not t.is_alive()
            # Every worker has ended, so every queued task is settled.
            assert all(q.done() for q in queued)
        else:
            assert p.shutdown(wait=False, cancel_futures=cancel) is None
            assert not running.done()
            held.release.set()
        assert running.result(10) == "first"  # running tasks always complete
        done, not_done = cf.wait(queued, timeout=10)
        assert not not_done
        assert len(list(cf.as_completed(queued, timeout=10))) == 3
        if cancel:
            assert all(q.cancelled() for q in queued) and ran == []
        else:
            assert [q.result() for q in queued] == [None] * 3 and ran == [0, 1, 2]

    def test_later_shutdowns_change_nothing(self, pool):
        held = Held()
        pool.submit(held)
        queued = pool.submit(int, "5")
        assert held.started.wait(10)
        assert pool.shutdown(wait=False) is None
        # Nothing left to join, and the cancel flag comes too late.
        assert pool.shutdown(wait=True, cancel_futures=True) is None
        assert not queued.done()
        held.release.set()
        assert queued.result(10) == 5

    @pytest.mark.parametrize("wait", [True, False])
    def test_submit_after_shutdown(self, wait):
        p = ThreadPool(1)
        p.shutdown(wait=wait)
        with pytest.raises(RuntimeError, match="^ThreadPool is shutdown$"):
            p.submit(int)

    def test_argument_errors_leave_the_pool_running(self, pool):
        for kwargs, param in (({"wait": "x"}, "wait"), ({"cancel_futures": 1}, "cancel_futures")):
            with pytest.raises(TypeError) as e:
                pool.shutdown(**kwargs)
            assert e.value.__notes__ == [f"while processing '{param}'"]
        with pytest.raises(TypeError, match="unexpected keyword argument 'now'"):
            pool.shutdown(now=True)
        assert pool.submit(int, "3").result(10) == 3

    def test_calls_overlapping_a_waiting_shutdown(self, pool):
        held = Held()
        seen = []

        def inner():
            held()
            try:
                pool.shutdown()
            except RuntimeError as e:
                seen.append(str(e))
            return pool.submit(int)  # raises: becomes this task's exception

        def probe():
            try:
                pool.submit(int)
            except RuntimeError as e:
                return str(e)
        f = pool.submit(inner)
        assert held.started.wait(10)
        def shutdown():
            # Our own probe's submit may hold the pool at the moment shutdown
            # asks for it; shutdown refuses rather than waits, so ask again.
            while True:
                try:
                    return pool.shutdown()
                except RuntimeError as e:
                    if str(e) != "Already borrowed":
                        raise
        t = threading.Thread(target=shutdown)
        t.start()
        wait_until(lambda: probe() == "Already mutably borrowed")  # shutdown holds the pool now
        held.release.set()
        err = f.exception(10)
        assert isinstance(err, RuntimeError) and str(err) == "Already mutably borrowed"
        assert seen == ["Already borrowed"]
        t.join(10)
        assert not t.is_alive()

    @pytest.mark.parametrize("workers", [1, 3])
    def test_task_shutting_down_its_own_pool(self, workers):
        p = ThreadPool(workers)
        gate = threading.Event()

        def stop():
            assert gate.wait(10)
            return p.shutdown()
        stopping = p.submit(stop)
        queued = [p.submit(int, str(i)) for i in range(5)]
        gate.set()
        assert stopping.result(10) is None  # no deadlock: the worker skips itself
        assert [q.result(10) for q in queued] == list(range(5))
        assert p.shutdown() is None

    @pytest.mark.timeout(120)
    def test_task_dropping_the_last_reference(self):
        # On a free-threaded build the worker's drop is carried out later by
        # the thread that made the pool, at some bytecode boundary, possibly
        # inside Future.result() holding the future's lock, which the worker
        # needs to complete that future: a deallocator that waited for the
        # workers would hang there. Each round holds that lock as result()
        # does while the drop lands; many rounds, because the moment varies.
        for _ in range(300):
            box = [ThreadPool(3)]
            ref = weakref.ref(box[0])
            gate = threading.Event()

            def drop():
                assert gate.wait(10)
                box.clear()
                return "dropped"
            dropping = box[0].submit(drop)
            queued = [box[0].submit(int, str(i)) for i in range(5)]
            wait_until(dropping.running)  # the worker took the lock once already
            with dropping._condition:
                gate.set()
                wait_until(lambda: ref() is None)
            assert dropping.result(10) == "dropped"
            assert [q.result(10) for q in queued] == list(range(5))

    def test_dropping_a_pool_runs_everything_queued(self):
        p = ThreadPool(1)
        held = Held()
        p.submit(held)
        done = []
        futures = [p.submit(done.append, i) for i in range(100)]
        del p  # returns at once; the worker goes on with the queue
        held.release.set()
        _, not_done = cf.wait(futures, timeout=10)
        assert not not_done
        assert done == list(range(100))

    def test_dropped_under_a_lock_its_tasks_need(self):
        # The dropping thread's caller holds a lock the queued tasks need and
        # waits for the dropping thread: the drop must return without
        # waiting for the tasks, which then all run once the lock is free.
        lock = threading.Lock()
        box = [ThreadPool(2)]
        ran = []

        def task(i):
            with lock:
                ran.append(i)
        futures = [box[0].submit(task, i) for i in range(10)]
        with lock:
            dropper = threading.Thread(target=box.clear)
            dropper.start()
            dropper.join(10)
            assert not dropper.is_alive()
        _, not_done = cf.wait(futures, timeout=10)
        assert not not_done
        assert sorted(ran) == list(range(10))


class TestOrderAndLoad:
    def test_one_worker_runs_tasks_one_at_a_time_in_order(self, pool):
        active = AtomicInteger()
        peak = AtomicInteger()
        log = []

        def task(tag):
            now = active.increment()
            if now > peak.get():
                peak.set(now)
            log.append(tag)
            active.decrement()

        def submit_many(i):
            return [pool.submit(task, (i, k)) for k in range(500)]
        run_threads(submit_many, 2)
        pool.submit(int).result(10)
        assert peak.get() == 1
        for i in range(2):
            assert [k for j, k in log if j == i] == list(range(500))

    @pytest.mark.timeout(180)
    def test_stress_every_future_completes_once(self):
        p = ThreadPool(4)
        runs = AtomicInteger()
        completions = AtomicInteger()
        per_thread = 25_000
        futures = [None] * 4

        def task(i):
            runs.increment_relaxed()
            return i

        def submit_all(t):
            fs = [p.submit(task, t * per_thread + k) for k in range(per_thread)]
            for f in fs:
                f.add_done_callback(lambda _: completions.increment_relaxed())
            futures[t] = fs
        try:
            run_threads(submit_all, 4, timeout=120)
            flat = [f for fs in futures for f in fs]
            done, not_done = cf.wait(flat, timeout=120)
            assert not not_done
            assert [f.result() for f in flat] == list(range(4 * per_thread))
        finally:
            p.shutdown()
        assert runs.get() == 4 * per_thread
        assert completions.get() == 4 * per_thread


class TestReferences:
    def test_result_freed_once_the_future_is_dropped(self, pool):
        class Big:
            def __init__(self):
                self.payload = bytearray(1 << 20)
        arg = Big()
        arg_ref = weakref.ref(arg)
        f = pool.submit(lambda a: Big(), arg)
        result_ref = weakref.ref(f.result(10))
        del arg, f
        # No further call into the module: the worker must have released
        # the task's references itself, not parked them for a later drain.
        wait_until(lambda: result_ref() is None and arg_ref() is None)

    def test_no_leaks_across_submissions(self, pool):
        func = lambda *a, **k: None  # noqa: E731
        arg = object()

        def fail(x):
            raise KeyError(x)

        def flush():
            # The only worker releases a task's references before it takes
            # the next one, so this settles the previous task.
            pool.submit(int).result(10)

        def plain():
            pool.submit(func, arg, key=arg).result(10)
            flush()

        def raising():
            assert isinstance(pool.submit(fail, arg).exception(10), KeyError)
            flush()
        assert_no_leak(plain, repeat=5_000, objs=(func, arg))
        assert_no_leak(raising, repeat=5_000, objs=(fail, arg))

    @pytest.mark.parametrize("wait", [True, False])
    @pytest.mark.parametrize("cancel", [False, True])
    def test_no_leaks_across_pools(self, wait, cancel):
        func = lambda x: x  # noqa: E731
        arg = object()

        def cycle():
            p = ThreadPool(1)
            p.submit(func, arg)
            last = p.submit(func, arg)
            p.shutdown(wait=wait, cancel_futures=cancel)
            # One worker: once the last task is settled, so is the first.
            cf.wait([last], timeout=10)
        assert_no_leak(cycle, repeat=300, objs=(func, arg))


# The tasks come from a namespace of their own: a function defined in the
# script would reference the script's globals, and so keep the pool alive
# through the task for as long as the task exists. The atexit handler runs
# after threading's exit hooks, by when every queued task must have run.
EXIT_PRELUDE = r"""
import atexit, threading, time
from _vornic import ThreadPool
started, submitted = threading.Event(), threading.Event()
queued = []
tasks = {"started": started, "time": time}
exec(
    "def slow():\n    started.set()\n    time.sleep(0.2)\n"
    "def moment():\n    started.set()\n    time.sleep(0.5)\n",
    tasks,
)
slow, moment = tasks["slow"], tasks["moment"]
def busy(pool):
    queued.append(pool.submit(slow))
    for _ in range(200):
        queued.append(pool.submit(time.sleep, 0.001))
    submitted.set()
@atexit.register
def report():
    ran = sum(1 for f in queued if f.done() and not f.cancelled() and f.exception() is None)
    print("ran", ran, "of", len(queued))
"""

EXIT_SCRIPTS = {
    "module-level pool": """
        pool = ThreadPool(2)
        busy(pool)
        """,
    "pool kept in a cycle": """
        class Holder:
            pass
        h = Holder()
        h.me, h.pool = h, ThreadPool(2)
        busy(h.pool)
        del h
        """,
    "dropped pools": """
        for _ in range(3):
            pool = ThreadPool(2)
            busy(pool)
            del pool
        """,
    "shut down without waiting": """
        pool = ThreadPool(2)
        busy(pool)
        pool.shutdown(wait=False)
        """,
    # The tasks queued behind a long one still run.
    "task that ends after a moment": """
        pool = ThreadPool(1)
        queued.append(pool.submit(moment))
        busy(pool)
        """,
    "pool held by a daemon thread": """
        def owner():
            pool = ThreadPool(2)
            busy(pool)
            threading.Event().wait()
        threading.Thread(target=owner, daemon=True).start()
        assert submitted.wait(10)
        """,
    # A worker submitting in a loop when the process exits: its submit
    # starts to raise, and whatever it queued before still runs.
    "task submitting while the process exits": """
        pool = ThreadPool(2)
        def hammer():
            queued.append(pool.submit(int))
            started.set()  # after one submit, so the exit finds something queued
            while True:
                queued.append(pool.submit(int))
        pool.submit(hammer)
        """,
}


# GCC's AddressSanitizer runtime misreports a thread that the interpreter
# ends with pthread_exit: unpoisoning the stack that the unwinding left
# behind trips its own sigaltstack check. Under it these runs prove nothing.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer misreports threads ended by pthread_exit")
@pytest.mark.parametrize("name", sorted(EXIT_SCRIPTS))
def test_process_exits_cleanly_with_a_busy_pool(name):
    script = EXIT_PRELUDE + textwrap.dedent(EXIT_SCRIPTS[name]) + "\nassert started.wait(10)\n"
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=30)
        assert (proc.returncode, proc.stderr.decode()) == (0, "")
        word, ran, of, total = proc.stdout.decode().split()
        assert (word, of) == ("ran", "of") and int(total) > 0
        assert int(ran) == int(total)
