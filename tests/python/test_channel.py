"""Channel: flavours, failures and their messages, close-then-drain, timeouts,
threads woken by close, length and closed state, cyclic collection, and
reference leaks."""
import gc
import sys
import threading
import time
import weakref

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
        self.result = self.error = self.finished_at = None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as e:  # noqa: BLE001 - PanicException and StopIteration too
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


def wait_until_accepted(call, deadline=10):
    """Retries a non-blocking call that raises RuntimeError until it succeeds."""
    end = time.monotonic() + deadline
    while True:
        try:
            return call()
        except RuntimeError:
            assert time.monotonic() < end, "peer never showed up"
            time.sleep(0.001)


class TestConstruction:
    def test_capacity(self):
        assert Channel().capacity is None
        assert Channel(None).capacity is None
        assert Channel(0).capacity == 0
        assert Channel(capacity=5).capacity == 5
        raises(ValueError, "Capacity must be non-negative", Channel, -1)

    @pytest.mark.parametrize("capacity, exc_type", [("3", TypeError), (2.0, TypeError), (2**63, OverflowError)])
    def test_capacity_conversion_names_the_argument(self, capacity, exc_type):
        with pytest.raises(exc_type) as info:
            Channel(capacity)
        assert info.value.__notes__ == ["while processing 'capacity'"]

    @pytest.mark.parametrize("capacity", [2**62, 2**40])
    def test_unreservable_capacity_is_memory_error(self, capacity):
        with pytest.raises(MemoryError):
            Channel(capacity)
        ch = Channel(4)  # the process is fine
        ch.send(1)
        assert ch.recv() == 1

    def test_required_arguments(self):
        ch = Channel()
        raises(TypeError, "Channel.send_timeout() missing 1 required positional argument: 'timeout'",
               ch.send_timeout, 1)
        raises(TypeError, "Channel.__exit__() missing 3 required positional arguments: "
                          "'_exc_type', '_exc_val', and '_exc_tb'", ch.__exit__)

    @pytest.mark.parametrize("call", [
        lambda ch: ch.recv(timeout="soon"),
        lambda ch: ch.recv_timeout(None),
        lambda ch: ch.send(1, timeout=[]),
        lambda ch: ch.send_timeout(1, "1"),
    ])
    def test_timeout_conversion_names_the_argument(self, call):
        ch = Channel()
        ch.send("kept")
        with pytest.raises(TypeError) as info:
            call(ch)
        assert info.value.__notes__ == ["while processing 'timeout'"]
        assert ch.try_recv() == "kept"  # nothing was received or sent


class TestFlavours:
    def test_bounded_fifo_until_full(self):
        ch = Channel(2)
        ch.try_send("a")
        ch.send("b")
        raises(RuntimeError, "Channel is full", ch.try_send, "c")
        assert ch.try_recv() == "a"
        ch.try_send("c")
        assert [ch.recv(), ch.recv()] == ["b", "c"]
        raises(RuntimeError, "Channel is empty", ch.try_recv)

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
    def test_rendezvous_hands_over_directly(self):
        ch = Channel(0)
        raises(RuntimeError, "Channel is full", ch.try_send, 1)
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        item = object()
        sender = Background(lambda: ch.send(item))
        time.sleep(SETTLE)
        assert sender.is_alive()  # send returns only once a receiver has the item
        assert ch.recv(timeout=10) is item
        assert sender.outcome() == (None, None)
        # A non-blocking send succeeds once a receiver is waiting.
        receiver = Background(lambda: ch.recv(timeout=10))
        wait_until_accepted(lambda: ch.try_send("x"))
        assert receiver.outcome() == ("x", None)


class TestClose:
    def test_close_then_drain(self):
        ch = Channel(4)
        ch.send("a")
        ch.send("b")
        ch.close()
        assert ch.recv() == "a"
        assert ch.try_recv() == "b"
        for call in (ch.recv, lambda: ch.recv_timeout(0.01), ch.try_recv):
            raises(ValueError, "Channel is closed and empty", call)

    def test_timed_receives_drain_after_close(self):
        # A timed receive goes straight to the multi-way wait, where the close
        # signal and the buffered item are both ready; whichever wins, the
        # item must come out.
        ch = Channel(100)
        for i in range(100):
            ch.send(i)
        ch.close()
        assert [ch.recv(timeout=5) if i % 2 else ch.recv_timeout(5) for i in range(100)] == list(range(100))
        raises(ValueError, "Channel is closed and empty", ch.recv, timeout=5)

    @pytest.mark.parametrize("capacity", [None, 0, 3])
    def test_every_send_refused_after_close(self, capacity):
        ch = Channel(capacity)
        ch.close()
        ch.close()  # a second close does nothing
        for call in (lambda: ch.send(1), lambda: ch.send(1, 5), lambda: ch.send_timeout(1, 0.5),
                     lambda: ch.try_send(1), lambda: ch.send_op(1),
                     # the closed check comes before the timeout's
                     lambda: ch.send(1, timeout=-1), lambda: ch.send(1, timeout=float("nan"))):
            raises(ValueError, "Channel is closed", call)

    @pytest.mark.timeout(30)
    def test_iteration_follows_a_producer_to_its_close(self):
        ch = Channel(2)
        assert iter(ch) is ch

        def produce():
            for i in range(500):
                ch.send(i)
            ch.close()

        producer = Background(produce)
        assert list(ch) == list(range(500))
        assert producer.outcome() == (None, None)
        assert list(ch) == []
        with pytest.raises(StopIteration) as info:
            next(ch)
        assert info.value.value is None

    def test_send_op_keeps_the_item_channel_connected(self):
        # A SendOp holds a Sender copy: after close, try_recv (which does not
        # look at the close signal) still sees an open, empty channel, while
        # the blocking receive wakes through the close signal, and iteration
        # ends because the Channel's own sending side is gone.
        ch = Channel()
        op = ch.send_op("pending")
        ch.close()
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        raises(ValueError, "Channel is closed and empty", ch.recv)
        assert list(ch) == []
        del op
        raises(ValueError, "Channel is closed and empty", ch.try_recv)

    def test_context_manager(self):
        with Channel() as ch:
            assert isinstance(ch, Channel)
            ch.send(1)
        raises(ValueError, "Channel is closed", ch.send, 2)
        assert list(ch) == [1]
        with pytest.raises(KeyError):
            with Channel(1) as ch:
                raise KeyError("not suppressed")
        raises(ValueError, "Channel is closed", ch.try_send, 1)

    def test_failed_calls_leave_the_channel_usable(self):
        ch = Channel(1)
        ch.send("first")
        raises(RuntimeError, "Channel is full", ch.try_send, "x")
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send, "y", timeout=0.01)
        raises(TimeoutError, "send() timed out waiting for channel capacity", ch.send_timeout, "z", 0.01)
        assert ch.recv() == "first"
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv, timeout=0.01)
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv_timeout, 0.01)
        ch.send("second")
        assert ch.recv() == "second"


class TestLengthAndState:
    def test_len_counts_buffered_items_and_truth_stays(self):
        for ch in (Channel(), Channel(3)):
            assert len(ch) == 0 and bool(ch) is True and ch.closed is False
            ch.send("a")
            ch.send("b")
            assert len(ch) == 2
            ch.recv()
            ch.close()
            assert len(ch) == 1 and ch.closed is True and ch
            with pytest.raises(AttributeError):
                ch.closed = False
        rendezvous = Channel(0)
        t = threading.Thread(target=rendezvous.send, args=("x",), daemon=True)
        t.start()
        time.sleep(SETTLE)
        assert len(rendezvous) == 0  # the sender holds its item; nothing is buffered
        assert rendezvous.recv() == "x"
        t.join(PROMPT)


class TestCycles:
    class Holder:
        pass

    def collected(self, build):
        """build(holder) makes a cycle through holder; True if, with every
        outside reference dropped, a collection frees it."""
        h = self.Holder()
        keep = build(h)
        probe = weakref.ref(h)
        del h, keep
        gc.collect()
        return probe() is None

    @pytest.mark.parametrize("capacity", [None, 2])
    def test_buffered_item_holding_its_channel(self, capacity):
        def build(h):
            h.ch = Channel(capacity)
            h.ch.send(h)
        assert self.collected(build)

    def test_send_op_holding_itself_through_its_item(self):
        def build(h):
            h.op = Channel().send_op(h)
        assert self.collected(build)

    def test_items_an_op_can_still_receive_are_kept(self):
        # The RecvOp shares the channel's buffer: the cycle through the buffer
        # is not the channel's alone, so a collection must leave it.
        h = self.Holder()
        h.ch = Channel()
        h.ch.send(h)
        op = h.ch.recv_op()
        probe = weakref.ref(h)
        del h
        gc.collect()
        _, item = select([op])
        assert isinstance(item, self.Holder) and item is probe()


class TestCloseWakesBlockedThreads:
    """close() must wake every party blocked on the channel at once, whether or
    not other Sender copies keep the item channel connected."""

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("keep_connected", [False, True])
    def test_blocked_receivers(self, keep_connected):
        ch = Channel()
        keeper = ch.send_op(None) if keep_connected else None
        receivers = [Background(ch.recv), Background(ch.recv), Background(lambda: ch.recv_timeout(60))]
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
        items = [object() for _ in range(3)]
        before = [sys.getrefcount(x) for x in items]
        calls = [Background(lambda: ch.send(items[0])), Background(lambda: ch.send(items[1], timeout=1e9)),
                 Background(lambda: ch.send_timeout(items[2], 60))]
        time.sleep(SETTLE)
        assert all(c.is_alive() for c in calls)
        closed_at = time.monotonic()
        ch.close()
        for c in calls:
            _, error = c.outcome()
            assert isinstance(error, ValueError) and str(error) == "Channel is closed"
            assert c.finished_at - closed_at < PROMPT
        del calls, c, error
        # None of the items went in, and each reference was given back.
        assert list(ch) == (["filler"] if capacity else [])
        gc.collect()
        assert [sys.getrefcount(x) for x in items] == before

    @pytest.mark.timeout(60)
    def test_blocked_selects(self):
        a, b, full = Channel(), Channel(), Channel(1)
        full.send(0)
        receivers = [Background(lambda: select([a.recv_op(), b.recv_op()])) for _ in range(2)]
        sender = Background(lambda: select([full.send_op(1), b.recv_op()]))
        time.sleep(SETTLE)
        closed_at = time.monotonic()
        a.close()
        for c in receivers:
            _, error = c.outcome()
            assert str(error) == "Selected channel is closed and empty"
            assert c.finished_at - closed_at < PROMPT
        assert sender.is_alive()
        full.close()
        _, error = sender.outcome()
        assert str(error) == "Selected channel is closed"


class TestTimeouts:
    def test_negative_refused_even_with_items(self):
        ch = Channel()
        ch.send("kept")
        for call in (lambda: ch.recv(timeout=-1), lambda: ch.recv_timeout(-0.001),
                     lambda: ch.send(1, timeout=-1), lambda: ch.send_timeout(1, -5)):
            raises(ValueError, "Timeout must be non-negative", call)
        assert ch.try_recv() == "kept"
        raises(RuntimeError, "Channel is empty", ch.try_recv)
        # -0.0 is zero, not negative.
        raises(TimeoutError, "recv() timed out waiting for available item", ch.recv, timeout=-0.0)

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

    @pytest.mark.parametrize("op", ["recv", "send"])
    def test_zero_timeout_races_a_ready_operation(self, op):
        # A timed call skips the immediate attempt, so an already expired
        # timer competes with the ready operation: each wins about half the
        # time, and a timed-out call leaves the channel as it was.
        ch = Channel()
        trials, done = 600, 0
        for i in range(trials):
            try:
                if op == "recv":
                    ch.send(i)
                    assert ch.recv(timeout=0) == i
                else:
                    ch.send(i, timeout=0)
                    assert ch.try_recv() == i
                done += 1
            except TimeoutError:
                if op == "recv":
                    assert ch.try_recv() == i  # the item stayed
                else:
                    raises(RuntimeError, "Channel is empty", ch.try_recv)  # nothing went in
        assert 0.3 * trials < done < 0.7 * trials, done

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
    def test_timeout_beyond_the_clock_waits_for_a_peer(self):
        # 1e18 s converts to a duration but lies past the clock's range: the
        # wait has no limit, and only the peer can end it.
        ch = Channel(0)
        receiver = Background(lambda: ch.recv(timeout=1e18))
        time.sleep(SETTLE)
        assert receiver.is_alive()
        ch.send("late", timeout=1e18)
        assert receiver.outcome() == ("late", None)


class TestLeaks:
    """Each workload runs 20,000 times; the sentinel's reference count and the
    number of live gc-tracked objects must not move."""

    def test_sends_receives_and_failures(self):
        item = object()
        unbounded, bounded, full, rendezvous, closed = Channel(), Channel(2), Channel(1), Channel(0), Channel()
        full.send(item)
        closed.close()
        failing = ((lambda: full.try_send(item), RuntimeError), (lambda: full.send(item, timeout=0), TimeoutError),
                   (lambda: rendezvous.send(item, timeout=0), TimeoutError),
                   (lambda: rendezvous.recv(timeout=0), TimeoutError),
                   (lambda: closed.send(item), ValueError), (lambda: closed.try_send(item), ValueError),
                   (lambda: closed.send_op(item), ValueError), (lambda: closed.recv(), ValueError),
                   (lambda: full.send(item, timeout=-1), ValueError))

        def once():
            unbounded.send(item)
            unbounded.try_send(item)
            assert unbounded.recv() is item
            assert unbounded.try_recv() is item
            bounded.send(item, timeout=1)
            bounded.send_timeout(item, 1)
            assert bounded.recv_timeout(1) is item
            assert bounded.recv(timeout=1) is item
            for call, exc in failing:
                with pytest.raises(exc):
                    call()

        assert_no_leak(once, objs=(item,))

    def test_channels_and_ops_dropped_full(self):
        item = object()

        def once():
            for capacity in (None, 3):
                ch = Channel(capacity)
                ch.send(item)
                ch.send(item)
                ops = [ch.recv_op(), ch.send_op(item)]
                if capacity is None:
                    ch.close()
                    assert sum(1 for _ in ch) == 2
            with Channel(0) as ch:
                ch.send_op(item)

        assert_no_leak(once, objs=(item,))

    def test_select_operations(self):
        item = object()
        a, b, full, closed = Channel(), Channel(), Channel(1), Channel()
        full.send(item)
        closed.close()
        recv_a, recv_b, send_a = a.recv_op(), b.recv_op(), a.send_op(item)
        send_full, recv_closed = full.send_op(item), closed.recv_op()

        def once():
            assert select([send_a, recv_b]) == (0, None)
            assert select([recv_a, recv_b], timeout=1) == (0, item)
            with pytest.raises(TimeoutError):
                select([send_full, recv_b], timeout=0)
            with pytest.raises(ValueError):
                select((recv_closed,))
            with pytest.raises(TypeError):
                select([recv_a, 1])

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
        ch.send(None)  # any later call releases references parked by detached threads
        assert ch.recv() is None
        gc.collect()
        assert sys.getrefcount(item) == before
