"""Reference-leak check for _vornic, run under a debug build of CPython.

Each group is one iteration of a leak-prone workload: error paths that must
give back every reference they took, objects crossing threads, containers
dropped while full. The check runs a group's iteration many times per round,
brings the process to a quiet point (references parked by detached threads
released, garbage collected) and reads sys.gettotalrefcount() and
sys.getallocatedblocks() there. After warm-up rounds (caches, specialised
bytecode, interned names) a leak-free group reads the same numbers at the
end of every round. A group fails when every measured round grew, or when
the rounds together grew by at least one reference per iteration.

Groups whose classes are not registered on the module are reported as
skipped. Every iteration asserts what it does, so a group that stops doing
its work fails instead of passing trivially.

Usage: python-dbg tools/refleak_check.py [-v] [group ...]
"""
import argparse
import asyncio
import contextvars
import faulthandler
import gc
import os
import sys
import threading
import time

import _vornic

WARMUP_ROUNDS = 3
MEASURED_ROUNDS = 4
# The whole check must finish well within this; a hang dumps every thread's
# stack and exits.
WATCHDOG_SECONDS = 300
# Every blocking wait in a group has its own bound as well.
WAIT = 30.0


class ExpectedError(Exception):
    pass


def panic_type():
    try:
        _vornic.AtomicInteger().get(ordering="release")
    except BaseException as e:  # noqa: BLE001 - derives from BaseException
        return type(e)
    raise AssertionError("a release load must fault")


PANIC = panic_type()


def expect(exc_type, fn, *args, message=None, **kwargs):
    """Calls fn and checks that it raises exc_type (with message, if given)."""
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        if message is not None and str(e) != message:
            raise AssertionError(f"{fn!r}: expected message {message!r}, got {str(e)!r}") from e
        return e
    raise AssertionError(f"{fn!r}{args}{kwargs} did not raise {exc_type.__name__}")


# The interpreter's attribute cache keeps a reference to each name it caches,
# and names built for one lookup (PyObject_GetAttrString and friends) come
# and go with the cache's evictions: emptied before every reading so that
# they are not mistaken for growth.
_clear_caches = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache")


def quiesce():
    """A quiet point: references that detached threads parked are released on
    the next call into the module, then cycles are collected (which may park
    nothing new: no thread of ours is detached now) and caches emptied."""
    _vornic.AtomicInteger().get()
    gc.collect()
    gc.collect()
    _vornic.AtomicInteger().get()
    _clear_caches()


def open_fds():
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def join_all(threads):
    for t in threads:
        t.join(WAIT)
        if t.is_alive():
            raise AssertionError(f"thread {t.name} did not finish within {WAIT}s")


def in_thread(fn, *args):
    """Starts fn(*args) on a thread; returns (thread, errors)."""
    errors = []

    def run():
        try:
            fn(*args)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, errors


def finish(threads_and_errors):
    join_all([t for t, _ in threads_and_errors])
    for _, errors in threads_and_errors:
        if errors:
            raise errors[0]


# --------------------------------------------------------------------------
# Groups. Each factory returns (iteration, iterations per round, teardown).


def group_argument_errors():
    """Every kind of binding and conversion failure, panics, and the generic
    probe of every method of every registered class."""
    AI, AB = _vornic.AtomicInteger, _vornic.AtomicBoolean
    a, b = AI(5), AB()
    probe = object()

    class Idx:
        def __index__(self):
            return 3

    class BadIdx:
        def __index__(self):
            raise ExpectedError("index")

    class S(str):
        pass

    probes = _method_probes()

    def it():
        expect(TypeError, a.set)
        expect(TypeError, a.compare_and_set)
        expect(TypeError, a.set, 1, None, 3)
        expect(TypeError, a.fetch_add_relaxed, 1, 2)
        expect(TypeError, a.get, order="relaxed")
        expect(TypeError, a.set, 1, value=2)
        expect(TypeError, AI, 1, 2)
        expect(TypeError, AI, bogus=probe)
        expect(TypeError, a.increment_relaxed, probe)
        e = expect(TypeError, a.get, ordering=probe)
        assert e.__notes__ == ["while processing 'ordering'"]
        expect(TypeError, AB, probe)
        expect(TypeError, AB, None)
        expect(TypeError, b.set, 1)
        expect(OverflowError, AI, 2**64)
        expect(TypeError, AI, 1.5)
        expect(ExpectedError, AI, BadIdx())
        expect(TypeError, a.set, "x", "bogus")
        expect(ValueError, a.get, ordering="bogus")
        expect(ValueError, b.get_and_set, True, ordering="bogus")
        expect(PANIC, a.get, ordering="release")
        expect(PANIC, a.set, 1, ordering="acq_rel")
        expect(PANIC, b.get, ordering="Release")
        expect(PANIC, b.set, True, ordering="acquire")
        # Successful calls that build results and convert arguments.
        assert AI(Idx()).get(S("relaxed")) == 3
        assert a.compare_and_set(5, 5, ordering="acq_rel") is True
        assert repr(a) == "AtomicInteger(5)" and str(b) == "False"
        assert AB(True).get_and_set(False) is True
        for call in probes:
            call()

    return it, 300, None


def _method_probes():
    """For every registered class: calls of each of its methods with an
    unknown keyword and with too many positional arguments, each of which
    must be refused before anything else happens."""
    made = []
    if hasattr(_vornic, "Channel"):
        ch = _vornic.Channel()
        made += [ch]
        if hasattr(_vornic, "select"):
            made += [ch.recv_op(), ch.send_op(1)]
    if hasattr(_vornic, "ConcurrentMap"):
        made.append(_vornic.ConcurrentMap(2))
    if hasattr(_vornic, "RwLock"):
        lk = _vornic.RwLock()
        made += [lk, lk.read(), lk.write()]
    made += [_vornic.AtomicInteger(), _vornic.AtomicBoolean()]
    if hasattr(_vornic, "ThreadPool"):
        # Only methods that bind their arguments are probed, so the pool
        # never runs anything; it is shut down with the interpreter.
        made.append(_vornic.ThreadPool(1))
    probe = object()
    calls = []
    for obj in made:
        for name in dir(type(obj)):
            attr = getattr(type(obj), name)
            if type(attr).__name__ != "method_descriptor":
                continue
            sig = getattr(attr, "__text_signature__", None) or ""
            if "*" in sig:  # collects surplus arguments (submit)
                continue
            bound = getattr(obj, name)

            def kw(bound=bound):
                expect(TypeError, bound, __leak_probe__=probe)

            def many(bound=bound):
                expect(TypeError, bound, probe, probe, probe, probe, probe, probe)

            calls += [kw, many]
    if hasattr(_vornic, "select"):
        calls.append(lambda: expect(TypeError, _vornic.select, [], __leak_probe__=probe))
    return calls


def group_channel():
    """Sends, receives, timeouts, closing, select and the errors of each, on
    one thread; channels dropped with items still buffered."""
    C, select = _vornic.Channel, _vornic.select
    nan = float("nan")

    def it():
        ch = C()
        items = [object(), [1, 2], "x" * 50]
        for x in items:
            ch.send(x)
        ch.try_send(items[0])
        ch.send_timeout(items[1], 5.0)
        assert ch.recv() is items[0]
        assert ch.recv(timeout=WAIT) is items[1]
        assert ch.recv_timeout(WAIT) is items[2]
        assert ch.try_recv() is items[0]
        assert ch.recv() is items[1]
        expect(RuntimeError, ch.try_recv, message="Channel is empty")
        expect(TimeoutError, ch.recv_timeout, 0.001)
        expect(TimeoutError, ch.recv, timeout=0.0005)
        ch.send(items[2])
        expect(ValueError, ch.recv, timeout=-1, message="Timeout must be non-negative")
        expect(PANIC, ch.recv, timeout=nan)
        expect(PANIC, ch.send, object(), timeout=float("inf"))
        expect(TypeError, ch.recv, timeout="soon")
        expect(TypeError, ch.send_timeout, object())
        assert ch.recv() is items[2]

        bounded = C(1)
        bounded.send(object())
        expect(RuntimeError, bounded.try_send, object(), message="Channel is full")
        expect(TimeoutError, bounded.send_timeout, object(), 0.001)
        expect(TimeoutError, bounded.send, [object()], timeout=0.0005)

        # select: receive, send, timeout, validation.
        rop, sop = bounded.recv_op(), ch.send_op(items[0])
        idx, got = select([rop])
        assert idx == 0 and got is not None
        idx, got = select([sop], timeout=WAIT)
        assert (idx, got) == (0, None) and ch.recv() is items[0]
        expect(TimeoutError, select, [rop], timeout=0.001)
        expect(TimeoutError, select, [rop, bounded.recv_op()], timeout=-1)
        bounded.send(items[1])
        expect(TimeoutError, select, [bounded.send_op(object())], timeout=0.001)
        expect(ValueError, select, [], message="Operations list cannot be empty")
        expect(TypeError, select, [rop, 1], message="Operations must be of type RecvOp or SendOp")
        expect(TypeError, select, "ops")
        expect(TypeError, select, 5)
        expect(TypeError, select, [rop], timeout="x")
        expect(PANIC, select, [rop], timeout=float("inf"))

        # Closing with items buffered: they drain, then the closed errors.
        bounded.close()
        bounded.close()
        assert bounded.recv() is items[1]
        expect(ValueError, bounded.recv, message="Channel is closed and empty")
        expect(ValueError, bounded.try_recv, message="Channel is closed and empty")
        expect(ValueError, bounded.send, object(), message="Channel is closed")
        expect(ValueError, bounded.try_send, object(), message="Channel is closed")
        expect(ValueError, bounded.send_op, object(), message="Channel is closed")
        expect(ValueError, select, [bounded.recv_op()], message="Selected channel is closed and empty")

        # A send op that outlives close keeps the channel connected.
        r0 = C(0)
        late = r0.send_op(object())
        r0.close()
        expect(ValueError, select, [late], timeout=WAIT, message="Selected channel is closed")
        expect(RuntimeError, r0.try_recv, message="Channel is empty")
        del late

        with C(4) as cm:
            cm.send(object())
            cm.send(items)
        assert [type(x) for x in cm] == [object, list]

        # Dropped while holding items, and with ops alive past the channel.
        full = C()
        for _ in range(5):
            full.send([object()])
        keep = full.recv_op()
        del full
        assert type(select([keep])[1]) is list
        del keep

        expect(TypeError, C, "big")
        expect(ValueError, C, -1, message="Capacity must be non-negative")
        expect(OverflowError, C, 2**70)

    return it, 150, None


def group_channel_threads():
    """Items crossing threads through every flavour; receivers and senders
    woken by close; select woken from another thread."""
    C, select = _vornic.Channel, _vornic.select
    n = 20

    def echo(src, dst, count):
        for _ in range(count):
            dst.send(src.recv(timeout=WAIT), timeout=WAIT)

    def blocked_recv(ch, out):
        try:
            ch.recv(timeout=WAIT)
        except ValueError as e:
            out.append(str(e))

    def blocked_send(ch, out):
        try:
            ch.send(object(), timeout=WAIT)
        except ValueError as e:
            out.append(str(e))

    def blocked_select(ops, out):
        try:
            select(ops, timeout=WAIT)
        except ValueError as e:
            out.append(str(e))

    def it():
        for cap in (None, 0, 1, 3):
            there, back = C(cap), C(cap)
            job = in_thread(echo, there, back, n)
            sent = [object() for _ in range(n)]
            for x in sent:
                there.send(x, timeout=WAIT)
                assert back.recv(timeout=WAIT) is x
            finish([job])

        # Close wakes blocked parties; each gets the closed error.
        out = []
        empty, full = C(), C(0)
        sel = C()
        jobs = [in_thread(blocked_recv, empty, out), in_thread(blocked_recv, empty, out),
                in_thread(blocked_send, full, out), in_thread(blocked_select, [sel.recv_op()], out)]
        time.sleep(0.002)
        empty.close()
        full.close()
        sel.close()
        finish(jobs)
        assert sorted(out) == sorted(["Channel is closed and empty"] * 2 + ["Channel is closed",
                                      "Selected channel is closed and empty"]), out

        # A select woken by a send from another thread.
        a, b = C(), C(0)
        item = object()
        got = []
        job = in_thread(lambda: got.append(select([a.recv_op(), b.recv_op()], timeout=WAIT)))
        b.send(item, timeout=WAIT)
        finish([job])
        assert got == [(1, item)]

    return it, 8, None


def group_channel_async():
    """arecv/asend/async for: the immediate path, waits woken from the loop's
    own thread and from another thread, timeouts, errors at the await, a
    cancelled wait whose wake-up is passed on, a rendezvous send taken
    before its cancel, close waking waiters, and a loop closed while one of
    its tasks still waits."""
    C = _vornic.Channel

    async def work():
        ch = C(1)
        item = object()
        await ch.asend(item)
        assert await ch.arecv(timeout=WAIT) is item
        waiter = asyncio.ensure_future(ch.arecv())
        await asyncio.sleep(0)
        ch.send(item)  # from the loop's thread
        assert await waiter is item
        waiter = asyncio.ensure_future(ch.arecv())
        await asyncio.sleep(0)
        sender, errors = in_thread(ch.send, item)  # from another thread
        assert await asyncio.wait_for(waiter, WAIT) is item
        finish([(sender, errors)])
        for call in (lambda: ch.arecv(-1), lambda: ch.arecv(0.001)):
            try:
                await call()
            except (ValueError, TimeoutError):
                pass
            else:
                raise AssertionError("an invalid or expired receive yielded an item")
        first, second = asyncio.ensure_future(ch.arecv()), asyncio.ensure_future(ch.arecv())
        await asyncio.sleep(0)
        ch.send(object())
        first.cancel()  # after its wake-up: passed on to second
        await second
        r = C(0)
        taken = asyncio.ensure_future(r.asend(object()))
        await asyncio.sleep(0)
        r.try_recv()
        taken.cancel()
        try:
            await taken
        except asyncio.CancelledError:
            pass
        else:
            raise AssertionError("a cancelled task did not end cancelled")
        it = C()
        for _ in range(3):
            it.send(object())
        it.close()
        assert len([x async for x in it]) == 3
        left = [asyncio.ensure_future(ch.arecv()) for _ in range(3)]
        await asyncio.sleep(0)
        ch.close()
        assert all(isinstance(e, ValueError) for e in await asyncio.gather(*left, return_exceptions=True))
        try:
            await ch.asend(object())
        except ValueError:
            pass
        else:
            raise AssertionError("send on a closed channel accepted")

    def closed_loop():
        ch = C()
        loop = asyncio.new_event_loop()

        async def wait():
            return await ch.arecv()

        loop.set_exception_handler(lambda loop, context: None)  # the task is left pending
        loop.create_task(wait())
        loop.run_until_complete(asyncio.sleep(0))
        loop.close()
        got = []
        job = in_thread(lambda: got.append(ch.recv(timeout=WAIT)))
        time.sleep(0.001)
        ch.send(object())  # reaches the closed loop's task first, passed on
        finish([job])
        assert len(got) == 1

    def it():
        expect(RuntimeError, C().arecv)
        expect(TypeError, C().arecv, "soon")
        asyncio.run(work())
        closed_loop()

    return it, 6, None


def group_map():
    """Every map operation, keys whose __hash__, __eq__ or truth test raises,
    unhashable keys, maps dropped while full, subclasses."""
    M = _vornic.ConcurrentMap

    class Key:
        __slots__ = ("v",)

        def __init__(self, v):
            self.v = v

        def __hash__(self):
            return 7  # one bucket: every lookup compares

        def __eq__(self, other):
            return self.v == other.v if isinstance(other, Key) else NotImplemented

    class EqRaises:
        def __hash__(self):
            return 7

        def __eq__(self, other):
            raise ExpectedError("eq")

    class Falsy:
        def __bool__(self):
            raise ExpectedError("bool")

    class TruthRaises:
        def __hash__(self):
            return 7

        def __eq__(self, other):
            return Falsy()

    class HashRaises:
        def __hash__(self):
            raise ExpectedError("hash")

    class Sub(M):
        pass

    def it():
        m = M(4)
        keys = [Key(i) for i in range(6)]
        vals = [object() for _ in range(6)]
        for k, v in zip(keys, vals):
            m.set(k, v)
        m.set(Key(0), vals[1])
        assert m.get(Key(0)) is vals[1] and m.get(Key(99)) is None
        assert m.get_val(Key(2)) == (True, vals[2]) and m.get_val("absent") == (False, None)
        d = object()
        assert m.get_or_insert(Key(3), d) is vals[3]
        assert m.get_or_insert(key=Key(6), default=d) is d
        assert m.contains_key(Key(6)) and not m.contains_key(Key(7))
        assert m.delete(Key(6)) is True and m.delete(Key(6)) is False
        found, val = m.pop_val(Key(5))
        assert found is True and val is vals[5]
        assert m.pop_val(Key(5)) == (False, None)
        assert len(m) == m.len() == 5
        assert len(m.keys()) == len(m.values()) == len(m.items()) == 5
        for bad, err in ((EqRaises(), ExpectedError), (TruthRaises(), ExpectedError),
                         (HashRaises(), ExpectedError), ([1], TypeError)):
            expect(err, m.get, bad)
            expect(err, m.get_val, bad)
            expect(err, m.get_or_insert, bad, object())
            expect(err, m.set, bad, object())
            expect(err, m.delete, bad)
            expect(err, m.pop_val, bad)
            expect(err, m.contains_key, bad)
        assert len(m) == 5
        m.clear()
        assert len(m) == 0 and m.items() == []
        for k, v in zip(keys, vals):
            m.set(k, [v])
        s = Sub(shard_count=2)
        s.set(Key(1), object())
        s.set("k", m)  # a map inside a map
        expect(ValueError, M, 0, message="shard_count must be greater than zero")
        expect(TypeError, M, "x")
        expect(OverflowError, M, -1)
        expect(TypeError, M, shard_count=1.5)

    return it, 200, None


def group_guards():
    """Read and write guards entered and left, re-entry refused, exceptions
    inside the block, guards dropped while held or after their lock, guards
    used from another thread, contended acquisition."""
    L = _vornic.RwLock

    def hold_write(lk, entered, release):
        with lk.write():
            entered.set()
            release.wait(WAIT)

    def it():
        lk = L()
        with lk.read() as g:
            assert type(g) is _vornic.RwLockReadGuard
            with lk.read():
                pass
        with lk.write() as w:
            assert type(w) is _vornic.RwLockWriteGuard
        g = lk.read()
        g.__enter__()
        expect(RuntimeError, g.__enter__, message="Lock guard already entered")
        expect(TypeError, g.__exit__, None)
        g.__exit__(None, None, None)
        try:
            with lk.write():
                raise ExpectedError("inside")
        except ExpectedError:
            pass
        # Dropped while held: the deallocator releases the lock.
        held = lk.write()
        held.__enter__()
        del held
        with lk.write():
            pass
        orphan = L().read()
        with orphan:
            pass
        del orphan
        # Used from another thread: refused.
        foreign = lk.read()
        job = in_thread(lambda: expect(PANIC, foreign.__enter__))
        finish([job])
        del foreign
        # Contended: this thread waits detached for the writer to leave.
        entered, release = threading.Event(), threading.Event()
        job = in_thread(hold_write, lk, entered, release)
        assert entered.wait(WAIT)
        timer = threading.Timer(0.002, release.set)
        timer.start()
        with lk.read():
            assert release.is_set()
        finish([job])
        timer.join(WAIT)

    return it, 40, None


def group_pool():
    """Tasks submitted with arguments, results and exceptions through the
    futures, contexts, shutdown in each of its forms, pools reclaimed
    without shutdown, submit refused after shutdown."""
    P = _vornic.ThreadPool
    var = contextvars.ContextVar("vornic_leak_var")

    def task(x, *, scale=None):
        return [x if scale is None else x * scale, var.get(None)]

    def boom(x):
        raise ExpectedError(x)

    def enter_and_raise(pool):
        with pool:
            pool.submit(task, object())
            raise ExpectedError(pool)

    def it():
        pool = P(2)
        token = var.set(object())
        futs = [pool.submit(task, i, scale=3) for i in range(10)]
        for i, f in enumerate(futs):
            assert f.result(WAIT)[0] == 3 * i
        assert futs[0].result(WAIT)[1] is var.get()
        var.reset(token)
        bad = pool.submit(boom, object())
        assert isinstance(bad.exception(WAIT), ExpectedError)
        expect(TypeError, pool.submit)
        expect(TypeError, pool.shutdown, wait="yes")
        pool.shutdown()
        expect(RuntimeError, pool.submit, task, 1, message="ThreadPool is shutdown")
        pool.shutdown(cancel_futures=True)

        # Cancel what is still queued behind a running task.
        gate = threading.Event()
        one = P(1)
        started = threading.Event()

        def hold():
            started.set()
            return gate.wait(WAIT)

        running = one.submit(hold)
        assert started.wait(WAIT)
        queued = [one.submit(task, object()) for _ in range(5)]
        opener = threading.Timer(0.005, gate.set)
        opener.start()
        one.shutdown(cancel_futures=True)
        opener.join(WAIT)
        assert running.result(WAIT) is True
        assert all(f.cancelled() or f.done() for f in queued)

        # Shut down without waiting; the queued tasks still run.
        later = P(2)
        futs = [later.submit(task, object()) for _ in range(4)]
        later.shutdown(wait=False)
        for f in futs:
            f.result(WAIT)
        later.shutdown(wait=True)
        del later

        # Reclaimed without shutdown: the deallocator joins.
        dropped = P(2)
        futs = [dropped.submit(task, [i]) for i in range(4)]
        del dropped
        for f in futs:
            f.result(WAIT)

        # The executor protocol: map() (with its arguments refused) inside a
        # with block, and a block left by an exception.
        with P(2) as ex:
            assert [r[0] for r in ex.map(task, range(6), timeout=WAIT)] == list(range(6))
            args = [object() for _ in range(4)]
            if sys.version_info >= (3, 14):
                assert [r[0] for r in ex.map(task, args, buffersize=2)] == args
            else:
                expect(TypeError, ex.map, task, args, buffersize=2)
            assert [r[0] for r in ex.map(task, args, buffersize=None)] == args
            expect(ExpectedError, list, ex.map(boom, args))
            expect(TypeError, ex.map)
        expect(ExpectedError, enter_and_raise, P(1))

        expect(ValueError, P, 0, message="num_workers must be greater than zero")
        expect(TypeError, P, "two")

    return it, 6, None


GROUPS = [
    ("argument errors", ("AtomicInteger", "AtomicBoolean"), group_argument_errors),
    ("channel", ("Channel", "select"), group_channel),
    ("channel threads", ("Channel", "select"), group_channel_threads),
    ("channel async", ("Channel",), group_channel_async),
    ("map", ("ConcurrentMap",), group_map),
    ("guards", ("RwLock", "RwLockReadGuard", "RwLockWriteGuard"), group_guards),
    ("pool", ("ThreadPool",), group_pool),
]


# --------------------------------------------------------------------------


_pooled = {}


def pooled(n):
    """The same int object for equal values, so that recording a delta does
    not itself allocate once a value has been seen."""
    return _pooled.setdefault(n, n)


def measure(it, iterations):
    """Runs the warm-up and measured rounds; returns the measured rounds'
    growth of references, memory blocks and open file descriptors."""
    rounds = WARMUP_ROUNDS + MEASURED_ROUNDS
    refs = [0] * rounds
    blocks = [0] * rounds
    fds = [0] * rounds
    interned = getattr(sys, "getunicodeinternedsize", None)

    def immortal_names():
        # Names interned for good (attribute names the interpreter saw for
        # the first time) stay until shutdown; they are not the module's.
        return interned(_only_immortal=True) if interned else 0

    quiesce()
    refs_before = sys.gettotalrefcount()
    blocks_before = sys.getallocatedblocks() - immortal_names()
    fds_before = open_fds()
    for r in range(rounds):
        for _ in range(iterations):
            it()
        quiesce()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks() - immortal_names()
        fds_after = open_fds()
        refs[r] = pooled(refs_after - refs_before)
        blocks[r] = pooled(blocks_after - blocks_before)
        fds[r] = pooled(fds_after - fds_before)
        refs_before, blocks_before, fds_before = refs_after, blocks_after, fds_after
    return refs[WARMUP_ROUNDS:], blocks[WARMUP_ROUNDS:], fds[WARMUP_ROUNDS:]


def grew(deltas, iterations):
    return all(d > 0 for d in deltas) or sum(deltas) >= iterations


def self_check():
    """The check must see the two shapes of leak it exists for: an object
    kept per iteration, and a reference to an existing object never given
    back (a missing decrement in native code, made here through the
    interpreter's own Py_IncRef); and a clean workload must read zero."""
    import ctypes

    kept = []
    anchor = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    incref.restype = None
    shapes = [("kept object", lambda: kept.append(object()), True),
              ("lost decrement", lambda: incref(anchor), True),
              ("clean", lambda: [object()], False)]
    for what, it, leaks in shapes:
        refs, blocks, _ = measure(it, 50)
        if grew(refs, 50) != leaks:
            raise AssertionError(f"self-check: {what}: refs {refs} blocks {blocks}")
    # Give back what the lost-decrement shape took, so the anchor can go.
    ctypes.pythonapi.Py_DecRef.argtypes = [ctypes.py_object]
    for _ in range((WARMUP_ROUNDS + MEASURED_ROUNDS) * 50):
        ctypes.pythonapi.Py_DecRef(anchor)
    kept.clear()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("groups", nargs="*", help="names of the groups to run (default: all)")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug build of CPython (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    wanted = set(args.groups)
    unknown = wanted - {name for name, _, _ in GROUPS}
    if unknown:
        print(f"refleak: unknown groups: {sorted(unknown)}", file=sys.stderr)
        return 2
    self_check()
    passed = failed = skipped = 0
    for name, needs, factory in GROUPS:
        if wanted and name not in wanted:
            continue
        missing = [n for n in needs if not hasattr(_vornic, n)]
        if missing:
            print(f"SKIP {name}: not registered yet: {', '.join(missing)}")
            skipped += 1
            continue
        start = time.monotonic()
        try:
            it, iterations, teardown = factory()
            try:
                refs, blocks, fds = measure(it, iterations)
            finally:
                if teardown:
                    teardown()
        except BaseException as e:  # noqa: BLE001 - report and go on
            import traceback
            traceback.print_exc()
            print(f"FAIL {name}: the workload itself failed: {type(e).__name__}: {e}")
            failed += 1
            continue
        took = time.monotonic() - start
        rounds = f"{MEASURED_ROUNDS} rounds x {iterations} iterations"
        line = f"{name}: refs {refs} blocks {blocks} fds {fds} ({rounds}, {took:.1f}s)"
        if grew(refs, iterations) or grew(blocks, iterations) or grew(fds, iterations):
            print(f"FAIL {line}")
            failed += 1
        else:
            print(f"ok   {line}")
            passed += 1
    print(f"refleak: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
