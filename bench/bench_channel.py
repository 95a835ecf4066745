"""Channel against the standard library's queues: same-thread send + recv,
one producer and one consumer thread, a bounded(1) ping-pong between two
threads, select over four channels; the asyncio side against janus and
culsans (thread to task) and asyncio.Queue (task to task); then the native
memory an unbounded channel holding 1,000,000 items costs per item."""
import asyncio
import ctypes
import gc
import os
import queue
import sys
import threading
import time

from common import best_of, table

import _vornic
from _vornic import Channel, select

CROSS_ITEMS = 200_000
PING_PONGS = 20_000
MEMORY_ITEMS = 1_000_000


def free_threaded():
    is_gil_enabled = getattr(sys, "_is_gil_enabled", None)
    return is_gil_enabled is not None and not is_gil_enabled()


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
    pp_sq = ping_pong(queue.SimpleQueue, "put", "get")
    # At most one item is ever in flight, so an unbounded SimpleQueue behaves
    # as a capacity-1 one here: the interpreter's cheapest hand-off.
    pp_goal = "<= 0.3x" if free_threaded() else "<= 1.0x"
    return [
        (f"1 producer, 1 consumer, {CROSS_ITEMS:,} items", ours, "Queue", locked, "<= 0.2x (5x faster)"),
        (f"1 producer, 1 consumer, {CROSS_ITEMS:,} items", ours, "SimpleQueue", simple),
        (f"same, Channel(1024)", ours_bounded, "Queue", locked),
        ("bounded(1) ping-pong round trip", pp, "Queue(maxsize=1)", pp_q),
        ("bounded(1) ping-pong round trip", pp, "two SimpleQueue", pp_sq, pp_goal),
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


ASYNC_ITEMS = 20_000


def _timed_async(coro_fn, n):
    """Seconds per item: coro_fn(n) runs on a fresh loop and returns the
    seconds its measured part took."""
    return asyncio.run(coro_fn(n)) / n


def thread_to_task(make, put_of, get_of, n=ASYNC_ITEMS):
    """Seconds per item: a thread produces n items, a task on the loop consumes
    them. The queue is made inside the loop (janus and culsans need one)."""
    async def run(k):
        q = make()
        put, get = put_of(q), get_of(q)
        producer = threading.Thread(target=lambda: [put(i) for i in range(k)])
        t0 = time.perf_counter()
        producer.start()
        for _ in range(k):
            await get()
        elapsed = time.perf_counter() - t0
        producer.join()
        return elapsed

    return min(_timed_async(run, n) for _ in range(3))


def task_ping_pong(make, put_of, get_of, n=ASYNC_ITEMS):
    """Seconds per round trip between two tasks of one loop, one item there
    over one queue and back over another."""
    async def run(k):
        there, back = make(), make()

        async def echo():
            get, put = get_of(there), put_of(back)
            for _ in range(k):
                await put(await get())

        t0 = time.perf_counter()
        task = asyncio.ensure_future(echo())
        put, get = put_of(there), get_of(back)
        for i in range(k):
            await put(i)
            await get()
        await task
        return time.perf_counter() - t0

    return min(_timed_async(run, n) for _ in range(3))


def buffered_receive(n=200_000):
    """Seconds per receive with items already buffered: await arecv() on a
    loop against try_recv(); only the receiving loop is timed."""
    item = object()

    def filled():
        ch = Channel()
        for _ in range(n):
            ch.send(item)
        return ch

    async def awaited(k):
        ch = filled()
        arecv = ch.arecv
        t0 = time.perf_counter()
        for _ in range(k):
            await arecv()
        return time.perf_counter() - t0

    def tried():
        ch = filled()
        try_recv = ch.try_recv
        t0 = time.perf_counter()
        for _ in range(n):
            try_recv()
        return (time.perf_counter() - t0) / n

    a, t = float("inf"), float("inf")
    for _ in range(5):
        a = min(a, _timed_async(awaited, n))
        t = min(t, tried())
    return a, t


def asyncio_bridge():
    rows = []
    ours = thread_to_task(Channel, lambda c: c.send, lambda c: c.arecv)
    peers = []
    try:
        import janus

        peers.append(("janus sync_q.put / await async_q.get",
                      thread_to_task(janus.Queue, lambda q: q.sync_q.put, lambda q: q.async_q.get)))
    except ImportError:
        pass
    try:
        import culsans

        peers.append(("culsans sync_q.put / await async_q.get",
                      thread_to_task(culsans.Queue, lambda q: q.sync_q.put, lambda q: q.async_q.get)))
    except ImportError:
        pass
    for name, t in peers:
        goal = "<= 0.5x (2x faster)" if name.startswith("janus") else ""
        rows.append((f"thread send -> await arecv(), {ASYNC_ITEMS:,} items", ours, name, t, goal))
    if not peers:
        print("\n(janus and culsans not installed: pip install '.[bench]')")
    pp = task_ping_pong(Channel, lambda c: c.asend, lambda c: c.arecv)
    pp_q = task_ping_pong(asyncio.Queue, lambda q: q.put, lambda q: q.get)
    rows.append(("task <-> task ping-pong, two channels", pp, "two asyncio.Queue", pp_q, "<= 1.5x"))
    a, t = buffered_receive()
    rows.append(("await arecv(), item buffered", a, "try_recv(), item buffered", t, "<= 3x"))
    return rows


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
