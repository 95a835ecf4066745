"""Many producers and consumers on one channel of each flavour, then close:
every item is received exactly once, and each consumer sees any one
producer's items in the order they were sent."""
import sysconfig
import threading
import time

import pytest

from _vornic import Channel, select

PRODUCERS = 8
CONSUMERS = 8
# A million items per flavour where threads really run at once; a build with
# a GIL serialises them, and a smaller run covers it.
PER_PRODUCER = 125_000 if sysconfig.get_config_var("Py_GIL_DISABLED") else 50_000
JOIN = 240


def hammer(ch, per_producer, consume):
    """Runs the producers and the consumers, closes the channel once every
    producer is done, and returns each consumer's list of (producer, seq)."""
    received = [[] for _ in range(CONSUMERS)]
    errors = []

    def producer(p):
        try:
            send = ch.send
            for seq in range(per_producer):
                send((p, seq))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def consumer(c):
        try:
            consume(ch, received[c].append)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    consumers = [threading.Thread(target=consumer, args=(c,), daemon=True) for c in range(CONSUMERS)]
    producers = [threading.Thread(target=producer, args=(p,), daemon=True) for p in range(PRODUCERS)]
    for t in consumers + producers:
        t.start()
    deadline = time.monotonic() + JOIN
    for t in producers:
        t.join(max(0.0, deadline - time.monotonic()))
        assert not t.is_alive(), "producer did not finish in time"
    ch.close()
    for t in consumers:
        t.join(max(0.0, deadline - time.monotonic()))
        assert not t.is_alive(), "consumer did not finish in time"
    assert not errors, errors[:3]
    return received


def check(received, per_producer):
    total = sum(len(r) for r in received)
    assert total == PRODUCERS * per_producer
    seen = set()
    for items in received:
        seen.update(items)
        last = [-1] * PRODUCERS
        for p, seq in items:
            assert seq > last[p], "a producer's items arrived out of order"
            last[p] = seq
    assert len(seen) == total  # no duplicates, so every item exactly once


def iterate(ch, keep):
    for item in ch:
        keep(item)


def recv_until_closed(ch, keep):
    recv = ch.recv
    while True:
        try:
            keep(recv())
        except ValueError as e:
            assert str(e) == "Channel is closed and empty"
            return


@pytest.mark.timeout(600)
@pytest.mark.parametrize("capacity", [None, 16, 0], ids=["unbounded", "bounded16", "rendezvous"])
def test_exactly_once(capacity):
    ch = Channel(capacity)
    check(hammer(ch, PER_PRODUCER, iterate if capacity is None else recv_until_closed), PER_PRODUCER)
    with pytest.raises(ValueError, match="^Channel is closed and empty$"):
        ch.try_recv()


@pytest.mark.timeout(300)
def test_exactly_once_through_select():
    # Consumers wait on the channel and on a second, idle one; the idle
    # channel's operation must never take or invent an item.
    idle = Channel()

    def consume(ch, keep):
        ops = [idle.recv_op(), ch.recv_op()]
        while True:
            try:
                index, item = select(ops, timeout=60)
            except ValueError as e:
                assert str(e) == "Selected channel is closed and empty"
                return
            assert index == 1
            keep(item)

    per_producer = PER_PRODUCER // 10
    check(hammer(Channel(16), per_producer, consume), per_producer)


@pytest.mark.timeout(120)
def test_close_racing_senders():
    # Sends in flight while two threads close at once: each send either went in
    # (and is drained afterwards) or reported the channel closed, and once a
    # sender has seen it closed it never gets an item in again.
    ch = Channel()
    senders = 6
    accepted = [[] for _ in range(senders)]
    errors = []
    start = threading.Barrier(senders + 2)

    def sender(s):
        try:
            calls = (lambda x: ch.send(x), lambda x: ch.try_send(x), lambda x: ch.send(x, timeout=5),
                     lambda x: select([ch.send_op(x)]))
            start.wait(30)
            seq = 0
            while True:
                try:
                    calls[seq % len(calls)]((s, seq))
                except ValueError as e:
                    assert str(e) in ("Channel is closed", "Selected channel is closed")
                    break
                accepted[s].append(seq)
                seq += 1
            for late in range(20):
                with pytest.raises(ValueError):
                    calls[late % 3]((s, -1))
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def closer():
        start.wait(30)
        time.sleep(0.05)
        ch.close()

    threads = [threading.Thread(target=sender, args=(s,), daemon=True) for s in range(senders)]
    threads += [threading.Thread(target=closer, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    assert not errors, errors[:3]
    drained = list(ch)
    assert sorted(drained) == sorted((s, seq) for s in range(senders) for seq in accepted[s])
    for s in range(senders):
        assert [seq for p, seq in drained if p == s] == accepted[s]
