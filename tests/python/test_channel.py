"""Channel: flavours, failures and their messages, close-then-drain, timeouts,
threads woken by close, and reference leaks."""
import gc
import sys
import threading
import time

import pytest

from _vornic import Channel, select
from conftest import assert_no_leak, run_threads

# How long a thread gets to reach its wait before the test acts on it. The
# tests stay correct if it has not arrived yet; they only check less.
SETTLE = 0.1
# Generous bound for "at once": a woken thread needs the interpreter back,
# which a loaded 2-core machine may take a while to give.
PROMPT = 3.0


class Background(threading.Thread):
    """Runs fn() in a daemon thread and keeps its result or exception."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn = fn
        self.result = None
        self.error = None
        self.finished_at = None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as e:  # noqa: BLE001 - PanicException included
            self.error = e
        self.finished_at = time.monotonic()

    def outcome(self, timeout=10):
        self.join(timeout)
        assert not self.is_alive(), "background call did not finish"
        return self.result, self.error


def raises(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


# ---- construction and flavours ---------------------------------------------------


class TestConstruction:
    def test_capacity_property(self):
        assert Channel().capacity is None
        assert Channel(None).capacity is None
        assert Channel(0).capacity == 0
        assert Channel(capacity=5).capacity == 5
        with pytest.raises(AttributeError):
            Channel().capacity = 3

    def test_negative_capacity(self):
        raises(ValueError, "Capacity must be non-negative", Channel, -1)

    @pytest.mark.parametrize("capacity, exc_type", [
        ("3", TypeError), (2.0, TypeError), (2**63, OverflowError),
    ])
    def test_capacity_conversion_names_the_argument(self, capacity, exc_type):
        with pytest.raises(exc_type) as info:
            Channel(capacity)
        assert info.value.__notes__ == ["while processing 'capacity'"]

    @pytest.mark.parametrize("capacity", [2**62, 2**40])
    def test_unreservable_capacity_is_memory_error(self, capacity):
        with pytest.raises(MemoryError):
            Channel(capacity)
        # The process is fine and a sane channel still works.
        ch = Channel(4)
        ch.send(1)
        assert ch.recv() == 1

    def test_argument_binding(self):
        raises(TypeError, "Channel.__new__() takes from 0 to 1 positional arguments but 2 were given",
               Channel, 1, 2)
        raises(TypeError, "Channel.__new__() got an unexpected keyword argument 'size'", Channel, size=1)
        ch = Channel()
        raises(TypeError, "Channel.send_timeout() missing 1 required positional argument: 'timeout'",
               ch.send_timeout, 1)
        raises(TypeError, "Channel.recv_timeout() missing 1 required positional argument: 'timeout'",
               ch.recv_timeout)
        raises(TypeError, "Channel.__exit__() missing 3 required positional arguments: "
                          "'_exc_type', '_exc_val', and '_exc_tb'", ch.__exit__)
        raises(TypeError, "Channel.send() got multiple values for argument 'item'", ch.send, 1, item=2)

    @pytest.mark.parametrize("call", [
        lambda ch: ch.recv(timeout="soon"),
        lambda ch: ch.recv_timeout(None),
        lambda ch: ch.send(1, timeout=[]),
        lambda ch: ch.send_timeout(1, "1"),
        lambda ch: ch.arecv(timeout=object()),
        lambda ch: ch.asend(1, timeout="x"),
    ])
    def test_timeout_conversion_names_the_argument(self, call):
        ch = Channel()
        ch.send("kept")
        with pytest.raises(TypeError) as info:
            call(ch)
        assert info.value.__notes__ == ["while processing 'timeout'"]
        assert ch.try_recv() == "kept"  # nothing was received or sent


class TestFlavours:
    def test_unbounded_fifo_never_blocks(self):
        ch = Channel()
        for i in range(10_000):
            ch.send(i)
        assert [ch.recv() for _ in range(10_000)] == list(range(10_000))
        raises(RuntimeError, "Channel is empty", ch.try_recv)

    def test_bounded_try_send_until_full(self):
        ch = Channel(2)
        ch.try_send("a")
        ch.try_send("b")
        raises(RuntimeError, "Channel is full", ch.try_send, "c")
        assert ch.try_recv() == "a"
        ch.try_send("c")
        assert [ch.recv(), ch.recv()] == ["b", "c"]

    @pytest.mark.timeout(30)
    def test_bounded_send_waits_for_room(self):
        ch = Channel(1)
        ch.send(1)  # returns at once
        sender = Background(lambda: ch.send(2))
        time.sleep(SETTLE)
        assert sender.is_alive()
        assert ch.recv() == 1
        assert sender.outcome() == (None, None)
        assert ch.recv() == 2

    @pytest.mark.timeout(30)
    def test_rendezvous_send_returns_once_taken(self):
        ch = Channel(0)
        raises(RuntimeError, "Channel is full", ch.try_send, 1)
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        item = object()
        sender = Background(lambda: ch.send(item))
        time.sleep(SETTLE)
        assert sender.is_alive()
        assert ch.recv(timeout=10) is item
        assert sender.outcome() == (None, None)

    @pytest.mark.timeout(30)
    def test_rendezvous_try_calls_meet_a_blocked_peer(self):
        ch = Channel(0)
        receiver = Background(lambda: ch.recv(timeout=10))
        deadline = time.monotonic() + 10
        while True:  # until the receiver is registered
            try:
                ch.try_send("x")
                break
            except RuntimeError:
                assert time.monotonic() < deadline
                time.sleep(0.001)
        assert receiver.outcome() == ("x", None)

        sender = Background(lambda: ch.send("y", timeout=10))
        while True:
            try:
                got = ch.try_recv()
                break
            except RuntimeError:
                assert time.monotonic() < deadline
                time.sleep(0.001)
        assert got == "y"
        assert sender.outcome() == (None, None)


# ---- close, drain, iteration -----------------------------------------------------------


class TestClose:
    def test_close_then_drain(self):
        ch = Channel(4)
        ch.send("a")
        ch.send("b")
        ch.close()
        assert ch.recv() == "a"
        assert ch.recv_timeout(1) == "b"
        raises(ValueError, "Channel is closed and empty", ch.recv)
        raises(ValueError, "Channel is closed and empty", ch.recv_timeout, 0.01)
        raises(ValueError, "Channel is closed and empty", ch.try_recv)

    def test_timed_receives_drain_after_close(self):
        # A timed receive goes straight to the multi-way wait, where the close
        # signal and the buffered item are both ready; whichever wins, the
        # item must come out.
        ch = Channel(100)
        for i in range(100):
            ch.send(i)
        ch.close()
        got = [ch.recv(timeout=5) if i % 2 else ch.recv_timeout(5) for i in range(100)]
        assert got == list(range(100))
        raises(ValueError, "Channel is closed and empty", ch.recv, timeout=5)

    @pytest.mark.parametrize("capacity", [None, 0, 3])
    def test_every_send_refused_after_close(self, capacity):
        ch = Channel(capacity)
        ch.close()
        ch.close()  # a second close does nothing
        raises(ValueError, "Channel is closed", ch.send, 1)
        raises(ValueError, "Channel is closed", ch.send, 1, 5)
        raises(ValueError, "Channel is closed", ch.send_timeout, 1, 0.5)
        raises(ValueError, "Channel is closed", ch.try_send, 1)
        raises(ValueError, "Channel is closed", ch.send_op, 1)
        # The closed check comes before the timeout's.
        raises(ValueError, "Channel is closed", ch.send, 1, timeout=-1)
        raises(ValueError, "Channel is closed", ch.send, 1, timeout=float("nan"))

    def test_iteration_ends_when_closed_and_drained(self):
        ch = Channel()
        for i in range(3):
            ch.send(i)
        ch.close()
        assert iter(ch) is ch
        assert list(ch) == [0, 1, 2]
        assert list(ch) == []
        with pytest.raises(StopIteration) as info:
            next(ch)
        assert info.value.value is None

    @pytest.mark.timeout(30)
    def test_iteration_follows_a_producer_to_its_close(self):
        ch = Channel(2)

        def produce():
            for i in range(500):
                ch.send(i)
            ch.close()

        producer = Background(produce)
        assert list(ch) == list(range(500))
        assert producer.outcome() == (None, None)

    def test_send_op_keeps_the_item_channel_connected(self):
        # A SendOp holds a Sender copy: after close, try_recv (which does not
        # look at the close signal) still sees an open, empty channel, while
        # the blocking receive wakes through the close signal.
        ch = Channel()
        op = ch.send_op("pending")
        ch.close()
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        raises(ValueError, "Channel is closed and empty", ch.recv)
        with pytest.raises(StopIteration):
            next(ch)
        del op
        raises(ValueError, "Channel is closed and empty", ch.try_recv)
        assert list(ch) == []

    def test_context_manager(self):
        with Channel() as ch:
            assert isinstance(ch, Channel)
            ch.send(1)
        raises(ValueError, "Channel is closed", ch.send, 2)
        assert list(ch) == [1]

        with pytest.raises(KeyError):
            with Channel(1) as ch2:
                raise KeyError("body")
        raises(ValueError, "Channel is closed", ch2.try_send, 1)
        assert ch2.__exit__(None, None, None) is None
        assert ch2.__enter__() is ch2

    def test_failed_calls_leave_the_channel_usable(self):
        ch = Channel(1)
        ch.send("first")
        raises(RuntimeError, "Channel is full", ch.try_send, "x")
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send, "y", timeout=0.01)
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send_timeout, "z", 0.01)
        assert ch.recv() == "first"
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv, timeout=0.01)
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv_timeout, 0.01)
        ch.send("second")
        assert ch.recv() == "second"


class TestCloseWakesBlockedThreads:
    """close() must wake every party blocked on the channel at once, whether or
    not other Sender copies keep the item channel connected."""

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("keep_connected", [False, True])
    def test_blocked_receivers(self, keep_connected):
        ch = Channel()
        keeper = ch.send_op(None) if keep_connected else None
        receivers = [Background(ch.recv) for _ in range(3)]
        receivers.append(Background(lambda: ch.recv_timeout(60)))
        iterator = Background(lambda: next(ch))
        time.sleep(SETTLE)
        assert all(c.is_alive() for c in receivers + [iterator])
        closed_at = time.monotonic()
        ch.close()
        for c in receivers + [iterator]:
            c.outcome()
            assert c.finished_at - closed_at < PROMPT
        for c in receivers:
            assert isinstance(c.error, ValueError) and str(c.error) == "Channel is closed and empty"
        # The Channel's own sending side is gone and nothing is buffered, so the
        # iteration ends even while a SendOp keeps the item channel connected.
        assert isinstance(iterator.error, StopIteration)
        del keeper

    @pytest.mark.timeout(60)
    def test_woken_receivers_drain_what_is_left(self):
        ch = Channel()
        calls = [Background(ch.recv) for _ in range(4)]
        time.sleep(SETTLE)
        ch.send("a")
        ch.send("b")
        ch.close()
        outcomes = [c.outcome() for c in calls]
        assert sorted(r for r, e in outcomes if e is None) == ["a", "b"]
        assert [str(e) for _, e in outcomes if e is not None] == ["Channel is closed and empty"] * 2

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("capacity", [0, 1])
    def test_blocked_senders(self, capacity):
        ch = Channel(capacity)
        if capacity:
            ch.send("filler")
        items = [object() for _ in range(4)]
        before = [sys.getrefcount(x) for x in items]
        calls = [Background(lambda x=x: ch.send(x)) for x in items[:2]]
        calls += [Background(lambda: ch.send(items[2], timeout=1e9)),
                  Background(lambda: ch.send_timeout(items[3], 60))]
        time.sleep(SETTLE)
        assert all(c.is_alive() for c in calls)
        closed_at = time.monotonic()
        ch.close()
        for c in calls:
            _, error = c.outcome()
            assert isinstance(error, ValueError) and str(error) == "Channel is closed"
            assert c.finished_at - closed_at < PROMPT
        del calls, c
        # None of the items went in, and each reference was given back.
        assert list(ch) == (["filler"] if capacity else [])
        gc.collect()
        assert [sys.getrefcount(x) for x in items] == before

    @pytest.mark.timeout(60)
    def test_blocked_selects(self):
        a, b, full = Channel(), Channel(), Channel(1)
        full.send(0)
        recv_side = [Background(lambda: select([a.recv_op(), b.recv_op()])) for _ in range(2)]
        send_side = [Background(lambda: select([full.send_op(1), b.recv_op()]))]
        time.sleep(SETTLE)
        closed_at = time.monotonic()
        a.close()
        for c in recv_side:
            _, error = c.outcome()
            assert str(error) == "Selected channel is closed and empty"
            assert c.finished_at - closed_at < PROMPT
        assert send_side[0].is_alive()
        full.close()
        _, error = send_side[0].outcome()
        assert str(error) == "Selected channel is closed"


# ---- timeouts ------------------------------------------------------------------------


class TestTimeouts:
    def test_negative_refused_even_with_items(self):
        ch = Channel()
        ch.send("kept")
        for call in (lambda: ch.recv(timeout=-1), lambda: ch.recv_timeout(-0.001),
                     lambda: ch.send(1, timeout=-1), lambda: ch.send_timeout(1, -5)):
            raises(ValueError, "Timeout must be non-negative", call)
        assert ch.try_recv() == "kept"
        raises(RuntimeError, "Channel is empty", ch.try_recv)

    @pytest.mark.parametrize("value", [float("nan"), float("inf"), 2.0**64, 1e300])
    def test_unconvertible_durations_panic(self, PanicException, value):
        ch = Channel()
        ch.send("kept")
        message = "cannot convert float seconds to Duration: value is either too big or NaN"
        for call in (lambda: ch.recv(timeout=value), lambda: ch.recv_timeout(value),
                     lambda: ch.send(1, timeout=value), lambda: ch.send_timeout(1, value)):
            with pytest.raises(PanicException) as info:
                try:
                    call()
                except Exception:  # noqa: BLE001 - a panic must get past this
                    pytest.fail("PanicException was caught as an Exception")
            assert str(info.value) == message
        ch.close()
        assert list(ch) == ["kept"]

    def test_zero_counts_as_a_timeout(self):
        ch = Channel(1)
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv, timeout=-0.0)
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv_timeout, 0)
        ch.send(1)
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send, 2, timeout=0)

    def test_zero_timeout_races_a_ready_receive(self):
        # A timed receive skips the immediate attempt, so an already expired
        # timer competes with the ready item: either wins about half the time.
        ch = Channel()
        trials, got = 600, 0
        for i in range(trials):
            ch.send(i)
            try:
                assert ch.recv(timeout=0) == i
                got += 1
            except TimeoutError:
                assert ch.try_recv() == i  # the item stayed
        assert 0.3 * trials < got < 0.7 * trials, got

    def test_zero_timeout_races_a_ready_send(self):
        ch = Channel()
        trials, sent = 600, 0
        for i in range(trials):
            try:
                ch.send(i, timeout=0)
                sent += 1
                assert ch.try_recv() == i
            except TimeoutError:
                raises(RuntimeError, "Channel is empty", ch.try_recv)  # nothing went in
        assert 0.3 * trials < sent < 0.7 * trials, sent

    @pytest.mark.timeout(30)
    def test_short_timeouts_take_about_their_time(self):
        ch = Channel(1)
        t0 = time.monotonic()
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv, timeout=0.05)
        assert 0.045 <= time.monotonic() - t0 < 2
        ch.send("full")
        t0 = time.monotonic()
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send_timeout, "x", 0.05)
        assert 0.045 <= time.monotonic() - t0 < 2
        ch.close()
        assert list(ch) == ["full"]

    @pytest.mark.timeout(30)
    def test_timeout_beyond_the_clock_waits_without_limit(self):
        # 1e18 s converts to a duration but lies past the clock's range: the
        # wait has no limit, and only the peer can end it.
        ch = Channel(0)
        receiver = Background(lambda: ch.recv(timeout=1e18))
        time.sleep(SETTLE)
        assert receiver.is_alive()
        ch.send("late", timeout=1e18)
        assert receiver.outcome() == ("late", None)

    @pytest.mark.timeout(30)
    def test_timed_receive_completed_by_a_peer(self):
        ch = Channel()
        receiver = Background(lambda: ch.recv_timeout(20))
        time.sleep(SETTLE)
        ch.send("x")
        assert receiver.outcome() == ("x", None)


# ---- reference leaks -----------------------------------------------------------------------


class TestLeaks:
    """Each workload runs 20,000 times; the sentinel's reference count and the
    number of live gc-tracked objects must not move."""

    def test_send_and_receive(self):
        item = object()
        unbounded, bounded, rendezvous = Channel(), Channel(2), Channel(0)

        def once():
            unbounded.send(item)
            unbounded.try_send(item)
            assert unbounded.recv() is item
            assert unbounded.try_recv() is item
            bounded.send(item, timeout=1)
            bounded.send_timeout(item, 1)
            assert bounded.recv_timeout(1) is item
            assert bounded.recv(timeout=1) is item

        assert_no_leak(once, objs=(item,))

    def test_failures(self):
        item = object()
        full, closed, empty = Channel(1), Channel(), Channel(0)
        full.send(item)
        closed.close()

        def once():
            for call, exc in ((lambda: full.try_send(item), RuntimeError),
                              (lambda: full.send(item, timeout=0), TimeoutError),
                              (lambda: empty.send(item, timeout=0), TimeoutError),
                              (lambda: empty.recv(timeout=0), TimeoutError),
                              (lambda: closed.send(item), ValueError),
                              (lambda: closed.try_send(item), ValueError),
                              (lambda: closed.send_op(item), ValueError),
                              (lambda: closed.recv(), ValueError),
                              (lambda: full.send(item, timeout=-1), ValueError)):
                try:
                    call()
                except exc:
                    pass
                else:
                    raise AssertionError("expected a failure")

        assert_no_leak(once, objs=(item,))

    def test_channels_dropped_with_items_and_ops(self):
        item = object()

        def once():
            for capacity in (None, 3):
                ch = Channel(capacity)
                ch.send(item)
                ch.send(item)
                ops = [ch.recv_op(), ch.send_op(item)]
                if capacity is None:
                    ch.close()
                del ch, ops
            with Channel(0) as ch:
                ch.send_op(item)

        assert_no_leak(once, objs=(item,))

    def test_iteration_and_close(self):
        item = object()

        def once():
            ch = Channel()
            ch.send(item)
            ch.send(item)
            ch.close()
            assert sum(1 for _ in ch) == 2

        assert_no_leak(once, objs=(item,))

    def test_select_operations(self):
        item = object()
        a, b, full = Channel(), Channel(), Channel(1)
        full.send(item)
        closed = Channel()
        closed.close()
        recv_a, recv_b, send_a = a.recv_op(), b.recv_op(), a.send_op(item)
        send_full, recv_closed = full.send_op(item), closed.recv_op()

        def once():
            assert select([send_a, recv_b]) == (0, None)
            assert select([recv_a, recv_b], timeout=1) == (0, item)
            try:
                select([send_full, recv_b], timeout=0)
            except TimeoutError:
                pass
            try:
                select((recv_closed,))
            except ValueError:
                pass
            try:
                select([recv_a, 1])
            except TypeError:
                pass

        assert_no_leak(once, objs=(item,))

    @pytest.mark.timeout(120)
    def test_items_crossing_threads(self):
        item = object()
        ch = Channel(8)
        before = sys.getrefcount(item)

        def work(i):
            for _ in range(5_000):
                if i % 2:
                    ch.send(item)
                else:
                    assert ch.recv(timeout=30) is item

        run_threads(work, 4)
        gc.collect()
        ch.send(None)  # any later call releases references parked by detached threads
        assert ch.recv() is None
        assert sys.getrefcount(item) == before
