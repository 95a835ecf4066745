"""select over RecvOp/SendOp: argument handling, timeouts, fairness, close
behaviour of both op kinds, waking, and the rendezvous self-pairing rule."""
import time

import pytest

from _vornic import Channel, RecvOp, SendOp, select
from test_channel import SETTLE, Background, raises


class TestArguments:
    def test_ops_must_be_a_non_string_sequence(self):
        ch = Channel()
        for ops, message in (("ab", "Can't extract `str` to `Vec`"),
                             (5, "'int' object is not an instance of 'Sequence'"),
                             (None, "'None' is not an instance of 'Sequence'"),
                             ((op for op in [ch.recv_op()]), "'generator' object is not an instance of 'Sequence'")):
            e = raises(TypeError, message, select, ops)
            assert e.__notes__ == ["while processing 'ops'"]

    def test_empty_and_wrong_elements(self):
        ch = Channel()
        ch.send("kept")
        raises(ValueError, "Operations list cannot be empty", select, [])
        raises(ValueError, "Operations list cannot be empty", select, ())
        raises(TypeError, "Operations must be of type RecvOp or SendOp", select, [1])
        # A bad element anywhere refuses the whole call before any wait, even
        # when an earlier operation is ready.
        raises(TypeError, "Operations must be of type RecvOp or SendOp", select, [ch.recv_op(), ch])
        assert ch.try_recv() == "kept"

    def test_binding_and_timeout_conversion(self):
        raises(TypeError, "select() missing 1 required positional argument: 'ops'", select)
        raises(TypeError, "select() takes from 1 to 2 positional arguments but 3 were given", select, [], 1, 2)
        ch = Channel()
        e = raises(TypeError, "must be real number, not str", select, [ch.recv_op()], timeout="1")
        assert e.__notes__ == ["while processing 'timeout'"]
        ch.send("x")
        assert select(ops=(ch.recv_op(),), timeout=1) == (0, "x")

    def test_op_descriptors(self):
        ch = Channel()
        assert type(ch.recv_op()) is RecvOp
        assert type(ch.send_op(1)) is SendOp
        raises(TypeError, "Channel.send_op() missing 1 required positional argument: 'item'", ch.send_op)
        ch.close()
        raises(ValueError, "Channel is closed", ch.send_op, 1)
        assert type(ch.recv_op()) is RecvOp  # receiving stays possible


class TestTimeouts:
    @pytest.mark.parametrize("timeout", [-5, -0.0, 0, float("nan"), float("-inf")])
    def test_negative_and_nan_mean_a_single_check(self, timeout):
        ch = Channel()
        for i in range(50):
            # No timer competes with a ready item here: it always wins.
            ch.send(i)
            assert select([ch.recv_op()], timeout=timeout) == (0, i)
        t0 = time.monotonic()
        raises(TimeoutError, "select() timed out waiting for ready channel", select, [ch.recv_op()], timeout=timeout)
        assert time.monotonic() - t0 < 1

    @pytest.mark.parametrize("timeout", [float("inf"), 2.0**64, 1e300])
    def test_unconvertible_durations_panic(self, PanicException, timeout):
        ch = Channel()
        ch.send("kept")
        with pytest.raises(PanicException) as info:
            select([ch.recv_op()], timeout=timeout)
        assert str(info.value) == "cannot convert float seconds to Duration: value is either too big or NaN"
        assert ch.try_recv() == "kept"
        # Validation of the operations comes first.
        raises(TypeError, "Operations must be of type RecvOp or SendOp", select, [0], timeout=timeout)

    @pytest.mark.timeout(30)
    def test_send_to_full_channel_times_out(self):
        ch = Channel(1)
        ch.send("first")
        item = object()
        t0 = time.monotonic()
        raises(TimeoutError, "select() timed out waiting for ready channel", select, [ch.send_op(item)], timeout=0.1)
        assert 0.09 <= time.monotonic() - t0 < 2
        assert ch.recv() == "first"
        raises(RuntimeError, "Channel is empty", ch.try_recv)  # item was not enqueued
        op = ch.send_op(item)
        assert select([op], timeout=0.1) == (0, None)
        assert ch.recv() is item
        # The same SendOp sends the same object again.
        assert select([op]) == (0, None)
        assert ch.recv() is item

    @pytest.mark.timeout(30)
    def test_timeout_beyond_the_clock_waits_for_a_peer(self):
        ch = Channel()
        waiter = Background(lambda: select([ch.recv_op()], timeout=1e18))
        time.sleep(SETTLE)
        assert waiter.is_alive()
        ch.send("x")
        assert waiter.outcome() == ((0, "x"), None)


class TestChoice:
    @pytest.mark.parametrize("n", [2, 4])
    def test_ready_operations_are_chosen_fairly(self, n):
        chans = [Channel() for _ in range(n)]
        ops = [c.recv_op() for c in chans]
        for i, c in enumerate(chans):
            c.send(i)
        trials, counts = 400 * n, [0] * n
        for _ in range(trials):
            index, item = select(ops)
            assert item == index
            counts[index] += 1
            chans[index].send(item)  # the others kept theirs; refill this one
        assert min(counts) > 0.6 * trials / n, counts
        assert [c.try_recv() for c in chans] == list(range(n))

    def test_only_the_ready_operation_completes(self):
        full, empty, out = Channel(1), Channel(), Channel()
        full.send("stays")
        item = object()
        ops = [full.send_op("never"), empty.recv_op(), out.send_op(item)]
        for _ in range(20):
            assert select(ops) == (2, None)
            assert out.try_recv() is item
        assert full.try_recv() == "stays"
        raises(RuntimeError, "Channel is empty", full.try_recv)

    def test_mixed_receive_and_send_across_channels(self):
        src, dst = Channel(), Channel(1)
        src.send("in")
        dst.send("blocker")
        assert select([src.recv_op(), dst.send_op("out")], timeout=1) == (0, "in")
        assert dst.recv() == "blocker"
        assert select([src.recv_op(), dst.send_op("out")], timeout=1) == (1, None)
        assert dst.recv() == "out"


class TestClose:
    @pytest.mark.parametrize("made_after_close", [False, True])
    def test_recv_op_drains_then_reports_closed(self, made_after_close):
        # The data operation and the close signal are both ready for every
        # buffered item; whichever wins, the item comes out.
        ch = Channel(30)
        op = None if made_after_close else ch.recv_op()
        for i in range(30):
            ch.send(i)
        ch.close()
        op = op or ch.recv_op()
        assert [select([op], timeout=i % 2)[1] for i in range(30)] == list(range(30))
        for _ in range(3):
            raises(ValueError, "Selected channel is closed and empty", select, [op])

    def test_send_op_on_a_closed_channel_with_room(self):
        # The send and the close signal are both ready: either can win.
        trials, sent = 400, 0
        for _ in range(trials):
            ch = Channel()
            op = ch.send_op("x")
            ch.close()
            try:
                assert select([op]) == (0, None)
                sent += 1
                assert ch.try_recv() == "x"
            except ValueError as e:
                assert str(e) == "Selected channel is closed"
                raises(RuntimeError, "Channel is empty", ch.try_recv)  # not enqueued
        assert 0.3 * trials < sent < 0.7 * trials, sent

    @pytest.mark.parametrize("capacity", [0, 1])
    def test_send_op_on_a_closed_channel_without_room(self, capacity):
        ch = Channel(capacity)
        if capacity:
            ch.send("full")
        op = ch.send_op("x")
        ch.close()
        for _ in range(20):
            raises(ValueError, "Selected channel is closed", select, [op])
        assert list(ch) == (["full"] if capacity else [])


class TestWaking:
    @pytest.mark.timeout(30)
    def test_blocked_select_takes_a_sent_item(self):
        a, b = Channel(), Channel()
        waiter = Background(lambda: select([a.recv_op(), b.recv_op()]))
        time.sleep(SETTLE)
        assert waiter.is_alive()
        b.send("for b")
        assert waiter.outcome() == ((1, "for b"), None)

    @pytest.mark.timeout(30)
    def test_blocked_select_woken_by_close(self):
        a, b = Channel(), Channel()
        waiter = Background(lambda: select([a.recv_op(), b.recv_op()]))
        time.sleep(SETTLE)
        t0 = time.monotonic()
        b.close()
        _, error = waiter.outcome()
        assert str(error) == "Selected channel is closed and empty"
        assert time.monotonic() - t0 < 3

    @pytest.mark.timeout(30)
    def test_blocked_select_send_taken_by_a_receiver(self):
        ch = Channel(0)
        item = object()
        waiter = Background(lambda: select([ch.send_op(item)]))
        time.sleep(SETTLE)
        assert ch.recv(timeout=10) is item
        assert waiter.outcome() == ((0, None), None)


class TestRendezvousSelfPairing:
    """One select holding a RecvOp and a SendOp of the same rendezvous channel
    must never hand its own item to itself."""

    def test_alone_it_times_out(self):
        ch = Channel(0)
        for _ in range(5):
            raises(TimeoutError, "select() timed out waiting for ready channel",
                   select, [ch.recv_op(), ch.send_op("self")], timeout=0.02)

    @pytest.mark.timeout(60)
    def test_a_peer_completes_one_side(self):
        ch = Channel(0)
        for _ in range(10):
            waiter = Background(lambda: select([ch.recv_op(), ch.send_op("mine")], timeout=20))
            time.sleep(0.02)
            assert ch.recv(timeout=10) == "mine"
            assert waiter.outcome() == ((1, None), None)

            waiter = Background(lambda: select([ch.send_op("mine"), ch.recv_op()], timeout=20))
            time.sleep(0.02)
            ch.send("yours", timeout=10)
            assert waiter.outcome() == ((1, "yours"), None)
