"""Channel against the standard library's queues: same-thread send + recv,
one producer and one consumer thread, a bounded(1) ping-pong between two
threads, select over four channels, the asyncio bridge; then the native
memory an unbounded channel holding 1,000,000 items costs per item."""
import asyncio
import ctypes
import gc
import os
import queue
import threading

from common import best_of, table

import _vornic
from _vornic import Channel, select

CROSS_ITEMS = 200_000
PING_PONGS = 20_000
MEMORY_ITEMS = 1_000_000


def interleaved(fns, number, rounds=7):
    """best_of for several callables, taken in turns so that a busy spell of
    the machine hits every case alike; the best per-call time of each."""
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], best_of(fn, number, repeat=1))
    return best


def same_thread():
    n = 200_000
    ch = Channel()
    sq = queue.SimpleQueue()
    q = queue.Queue()
    item = object()

    def pairs(put, get):
        # k put+get pairs on one thread, the bound methods looked up once.
        def run(k):
            for _ in range(k):
                put(item)
                get()
        return run

    ours = pairs(ch.send, ch.recv)
    simple = pairs(sq.put, sq.get)
    locked = pairs(q.put, q.get)
    ours_try = pairs(ch.try_send, ch.try_recv)

    o, s, q, t = interleaved([ours, simple, locked, ours_try], n)
    return [
        ("send + recv", o, "SimpleQueue put + get", s, "<= 3x"),
        ("send + recv", o, "Queue put + get", q, "<= 0.067x (15x faster)"),
        ("try_send + try_recv", t, "SimpleQueue put + get", s),
    ]


def cross_thread(make, put_name, get_name, n=CROSS_ITEMS):
    """Seconds per item for one producer and one consumer thread moving n items."""
    def run(number):
        c = make()
        put, get = getattr(c, put_name), getattr(c, get_name)

        def produce():
            for i in range(number):
                put(i)

        def consume():
            for _ in range(number):
                get()

        threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return best_of(run, n, repeat=3)


def ping_pong(make, put_name, get_name, n=PING_PONGS):
    """Seconds per round trip: one item there over one capacity-1 channel, one back
    over another."""
    def run(number):
        there, back = make(), make()
        put_there, get_there = getattr(there, put_name), getattr(there, get_name)
        put_back, get_back = getattr(back, put_name), getattr(back, get_name)

        def echo():
            for _ in range(number):
                put_back(get_there())

        t = threading.Thread(target=echo)
        t.start()
        for i in range(number):
            put_there(i)
            get_back()
        t.join()

    return best_of(run, n, repeat=3)


def threads():
    ours = cross_thread(Channel, "send", "recv")
    ours_bounded = cross_thread(lambda: Channel(1024), "send", "recv")
    locked = cross_thread(queue.Queue, "put", "get")
    simple = cross_thread(queue.SimpleQueue, "put", "get")
    pp = ping_pong(lambda: Channel(1), "send", "recv")
    pp_q = ping_pong(lambda: queue.Queue(maxsize=1), "put", "get")
    return [
        (f"1 producer, 1 consumer, {CROSS_ITEMS:,} items", ours, "Queue", locked, "<= 0.2x (5x faster)"),
        (f"1 producer, 1 consumer, {CROSS_ITEMS:,} items", ours, "SimpleQueue", simple),
        (f"same, Channel(1024)", ours_bounded, "Queue", locked),
        ("bounded(1) ping-pong round trip", pp, "Queue(maxsize=1)", pp_q),
    ]


def selecting():
    n = 100_000
    chans = [Channel() for _ in range(4)]
    ops = [c.recv_op() for c in chans]
    ready = chans[2]
    item = object()

    def ours(k):
        send = ready.send
        for _ in range(k):
            send(item)
            select(ops)

    def plain(k):
        send, recv = ready.send, ready.recv
        for _ in range(k):
            send(item)
            recv()

    q = queue.Queue()

    def locked(k):
        put, get = q.put, q.get
        for _ in range(k):
            put(item)
            get()

    o, p, q = interleaved([ours, plain, locked], n, rounds=5)
    return [
        ("send + select over 4 recv ops, 1 ready", o, "send + recv (same channel)", p),
        ("send + select over 4 recv ops, 1 ready", o, "Queue put + get", q),
    ]


def asyncio_bridge():
    n = 5_000
    ch = Channel()
    q = queue.Queue()

    async def ours(k):
        for i in range(k):
            ch.send(i)
            await ch.arecv()

    async def executor_get(k):
        loop = asyncio.get_running_loop()
        for i in range(k):
            q.put(i)
            await loop.run_in_executor(None, q.get)

    def run(coro_fn):
        return lambda k: asyncio.run(coro_fn(k))

    o, e = interleaved([run(ours), run(executor_get)], n, rounds=3)
    return [("send + await arecv()", o, "put + await run_in_executor(Queue.get)", e)]


def _malloc_in_use():
    """Bytes the C allocator has handed out (arena plus mmap'd chunks), or None."""
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    fn.restype = MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory():
    """Native bytes per buffered item: the same object is sent every time, so
    the items themselves cost nothing and what grows is the channel."""
    item = object()
    gc.collect()
    ch = Channel()
    malloc0, rss0 = _malloc_in_use(), _rss()
    send = ch.send
    for _ in range(MEMORY_ITEMS):
        send(item)
    malloc1, rss1 = _malloc_in_use(), _rss()
    for _ in range(MEMORY_ITEMS):
        ch.try_recv()
    del ch
    rows = [("RSS growth", (rss1 - rss0) / MEMORY_ITEMS)]
    if malloc0 is not None:
        rows.append(("malloc in use (mallinfo2)", (malloc1 - malloc0) / MEMORY_ITEMS))
    print(f"\n## Channel memory: unbounded, {MEMORY_ITEMS:,} items buffered\n")
    print("| measure | bytes per item | goal |")
    print("|---|---|---|")
    for name, per_item in rows:
        print(f"| {name} | {per_item:.1f} | <= 24 |")


def main():
    table("Channel, single thread", same_thread())
    table("Channel, two threads", threads())
    table("select", selecting())
    table("asyncio bridge", asyncio_bridge())
    memory()


if __name__ == "__main__":
    main()
