"""The README tour as a typed user writes it, with the types a checker must
infer spelled out. Checked by mypy --strict (tests/python/test_typing.py),
and run as well: the annotations are evaluated at run time, so the generic
classes must be subscriptable there too."""
import asyncio
import concurrent.futures as cf
import threading
from collections.abc import Iterator, MutableMapping
from typing import assert_type

from _vornic import (
    AtomicBoolean,
    AtomicInteger,
    AtomicReference,
    Channel,
    ConcurrentMap,
    RecvOp,
    RwLock,
    RwLockReadGuard,
    SendOp,
    ThreadPool,
    select,
)


def atomics() -> None:
    hits = AtomicInteger()
    assert_type(hits.increment(), int)
    assert_type(hits.fetch_add(10, ordering="relaxed"), int)
    assert_type(hits.increment_relaxed(), int)
    assert_type(hits.compare_and_set(12, 0), bool)
    ready = AtomicBoolean()
    assert_type(ready.get_and_set(True), bool)
    assert_type(ready.get(ordering="Acquire"), bool)
    hits += 5
    assert_type(hits, AtomicInteger)
    assert_type(int(hits), int)
    assert f"{hits:,}" == "5"
    assert_type(hits.update_and_get(lambda n: n * 2), int)
    assert_type(hits.fetch_or(1, ordering="acq_rel"), int)
    assert ready
    config: AtomicReference[dict[str, int] | None] = AtomicReference()
    assert_type(config.get(), dict[str, int] | None)
    assert_type(config.update_and_get(lambda c: {**(c or {}), "n": 1}), dict[str, int] | None)
    names: AtomicReference[tuple[str, ...]] = AtomicReference(("a",))
    assert_type(names.get_and_update(lambda t: (*t, "b")), tuple[str, ...])


def concurrent_map() -> None:
    m: ConcurrentMap[str, int] = ConcurrentMap()
    m.set("a", 1)
    assert_type((m.get("a"), m.get("zz")), tuple[int | None, int | None])
    assert_type(m.get_val("zz"), tuple[bool, int | None])
    assert_type(m.pop_val("a"), tuple[bool, int | None])
    assert_type(m.keys(), list[str])
    assert_type(m.values(), list[int])
    assert_type(m.items(), list[tuple[str, int]])
    assert_type(len(m), int)
    m["b"] = 2
    assert_type(m["b"], int)
    assert_type(m.get("zz", 0), int)
    assert_type(m.pop("b", None), int | None)
    m.update({"c": 3}, d=4)
    m.update([("e", 5)])
    assert_type(m.setdefault("f", 6), int)
    assert_type([k for k in m if k in m], list[str])
    as_mapping: MutableMapping[str, int] = m
    del as_mapping["c"]
    counters: ConcurrentMap[str, AtomicInteger] = ConcurrentMap()
    assert_type(counters.get_or_insert("hits", AtomicInteger()).increment(), int)


def channels() -> None:
    jobs: Channel[int] = Channel(16)
    seen: list[int] = []

    def worker() -> None:
        for job in jobs:
            assert_type(job, int)
            seen.append(job)

    t = threading.Thread(target=worker)
    t.start()
    for i in range(3):
        jobs.send(i)
    jobs.close()
    t.join(30)
    assert seen == [0, 1, 2]

    a: Channel[str] = Channel()
    b: Channel[str] = Channel()
    b.send("hello")
    index, item = select([a.recv_op(), b.recv_op()], timeout=1.0)
    assert_type(index, int)
    assert_type(item, str)
    assert (index, item) == (1, "hello")

    out: Channel[int] = Channel(1)
    ops: list[RecvOp[str] | SendOp[int]] = [a.recv_op(), out.send_op(7)]
    assert_type(select(ops, timeout=1.0), tuple[int, str | None])
    assert out.recv(timeout=1.0) == 7
    assert_type(select([out.send_op(1)], timeout=0), tuple[int, None])


async def channels_async(ch: Channel[bytes]) -> None:
    await ch.asend(b"x")
    assert_type(await ch.arecv(timeout=1.0), bytes)
    got = asyncio.create_task(ch.arecv())
    await ch.asend(b"y")
    assert_type(await got, bytes)
    ch.close()
    async for item in ch:
        assert_type(item, bytes)


def rwlock() -> None:
    lock = RwLock()
    with lock.read() as guard:
        assert_type(guard, RwLockReadGuard)
        with lock.read():
            pass
    with lock.write():
        pass


def square(n: int) -> int:
    return n * n


def thread_pool() -> None:
    pool = ThreadPool(4)
    futures = [pool.submit(square, n) for n in range(10)]
    assert_type(futures, list[cf.Future[int]])
    assert sorted(f.result(timeout=30) for f in cf.as_completed(futures, timeout=30)) == [n * n for n in range(10)]
    pool.shutdown(wait=True, cancel_futures=False)

    with ThreadPool(2) as p:
        assert_type(p, ThreadPool)
        assert list(p.map(pow, [2, 3], [5, 6])) == [32, 729]
        squares = p.map(square, range(4), timeout=30)
        assert_type(squares, Iterator[int])
        assert list(squares) == [0, 1, 4, 9]
        assert_type(p.map(str.join, [","], [["a", "b"]]), Iterator[str])


if __name__ == "__main__":
    atomics()
    concurrent_map()
    channels()
    asyncio.run(channels_async(Channel(1)))
    rwlock()
    thread_pool()
