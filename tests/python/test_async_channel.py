"""Channel.arecv / asend / async for and aselect: pending operations wait as
channel waiters woken on their own loop. Errors of the call itself surface at
once, errors of the operation when awaited; a cancelled operation either
completed or had no effect. Every test runs on asyncio's loop and on uvloop's."""
import asyncio
import inspect
import random
import re
import threading
import time
import warnings
from collections import Counter

import pytest

from _vornic import Channel, aselect, select

try:
    import uvloop
except Exception:  # noqa: BLE001 - no wheel here, or it would turn the GIL back on
    uvloop = None


@pytest.fixture(autouse=True, params=["asyncio", "uvloop"])
def event_loop_kind(request, monkeypatch):
    """Every loop the tests make, asyncio.run's and the explicit ones alike,
    comes from the loop implementation under test."""
    if request.param == "uvloop":
        if uvloop is None:
            pytest.skip("uvloop does not import on this interpreter")
        monkeypatch.setattr(asyncio, "new_event_loop", uvloop.new_event_loop)
        monkeypatch.setattr(asyncio.events, "new_event_loop", uvloop.new_event_loop)
    return request.param

# Every await below is bounded by this, on top of the test's own timeout.
WAIT = 20


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, WAIT))


def later(delay, fn, *args):
    t = threading.Timer(delay, fn, args)
    t.daemon = True
    t.start()
    return t


def expect(exc_type, message):
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


class TestAtTheCall:
    def test_no_running_loop(self):
        ch = Channel()
        ch.send("kept")
        with pytest.raises(RuntimeError, match="no running event loop"):
            ch.arecv()
        with pytest.raises(RuntimeError, match="no running event loop"):
            ch.asend("never")
        assert ch.try_recv() == "kept"  # nothing was received...
        with pytest.raises(RuntimeError, match="Channel is empty"):
            ch.try_recv()  # ...and nothing sent

    @pytest.mark.timeout(60)
    def test_bad_timeout_type_raises_at_the_call(self):
        async def main():
            ch = Channel()
            ch.send("kept")
            for call in (lambda: ch.arecv(timeout="1"), lambda: ch.asend(1, timeout=[])):
                with pytest.raises(TypeError) as info:
                    call()
                assert info.value.__notes__ == ["while processing 'timeout'"]
            return ch.try_recv()

        assert run(main()) == "kept"


class TestAtTheAwait:
    @pytest.mark.timeout(60)
    def test_operation_errors_surface_when_awaited(self):
        async def main():
            ch = Channel(1)
            ch.send("kept")
            # Each call returns an awaitable at once; the error comes with the await.
            pending = [ch.arecv(timeout=-1), ch.asend(1, timeout=-0.5)]
            assert all(inspect.isawaitable(p) for p in pending)
            for p in pending:
                with expect(ValueError, "Timeout must be non-negative"):
                    await p
            with expect(TimeoutError, "send() timed out waiting for channel capacity"):
                await ch.asend("over", 0.05)
            assert await ch.arecv() == "kept"
            with expect(TimeoutError, "recv() timed out waiting for available item"):
                await ch.arecv(0.05)
            assert await ch.asend("last") is None
            ch.close()
            with expect(ValueError, "Channel is closed"):
                await ch.asend(1)
            assert await ch.arecv(1) == "last"
            with expect(ValueError, "Channel is closed and empty"):
                await ch.arecv()
            done = ch.arecv()
            with pytest.raises(ValueError):
                await done
            with pytest.raises(RuntimeError, match="already awaited"):
                await done

        run(main())


class TestNeverAwaited:
    @pytest.mark.timeout(60)
    def test_unstarted_awaitables_warn_and_move_nothing(self):
        async def main():
            ch = Channel()
            ch.send("kept")
            with pytest.warns(RuntimeWarning) as caught:
                ch.asend("lost")
                ch.arecv()
                ch.__anext__()
                aselect([ch.recv_op()])
                pending = ch.arecv()
                ch.close()  # closing the channel does not handle it
                del pending
            assert [str(w.message) for w in caught] == [
                "Channel.asend() was never awaited", "Channel.arecv() was never awaited",
                "Channel.__anext__() was never awaited", "aselect() was never awaited",
                "Channel.arecv() was never awaited"]
            assert ch.try_recv() == "kept"  # nothing was received, nothing sent
            with expect(ValueError, "Channel is closed and empty"):
                ch.try_recv()

            # Awaited, wrapped in a task, or given up with close(): no warning.
            other = Channel()
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                other.send(1)
                assert await other.arecv() == 1
                task = asyncio.ensure_future(aselect([other.recv_op()]))
                other.send(2)
                assert await task == (0, 2)
                other.asend(3).close()
                other.arecv().close()

        run(main())


class TestCompletion:
    @pytest.mark.timeout(60)
    def test_close_while_awaiting(self):
        async def main():
            ch, full = Channel(), Channel(1)
            full.send("fills it")
            later(0.1, ch.close)
            later(0.1, full.close)
            with expect(ValueError, "Channel is closed and empty"):
                await ch.arecv()
            with expect(ValueError, "Channel is closed"):
                await full.asend("never")
            assert full.try_recv() == "fills it"
            # A waiting task does not keep its Channel alive: dropping the
            # Channel closes it and wakes the task, as it wakes threads.
            dropped = Channel()
            task = asyncio.ensure_future(dropped.arecv())
            await asyncio.sleep(0)
            del dropped
            with expect(ValueError, "Channel is closed and empty"):
                await task

        run(main())

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("capacity", [None, 4, 0])
    def test_tasks_exchange_and_async_for_drains(self, capacity):
        async def main():
            ch = Channel(capacity)
            n = 200

            async def produce(start):
                for i in range(start, n, 2):
                    await ch.asend(i)

            async def consume():
                return [item async for item in ch]

            consumers = [asyncio.ensure_future(consume()) for _ in range(2)]
            await asyncio.gather(produce(0), produce(1))
            ch.close()
            return (await consumers[0]) + (await consumers[1])

        assert sorted(run(main())) == list(range(200))


class TestCancellation:
    @pytest.mark.timeout(60)
    def test_cancelled_arecv_leaves_the_item(self):
        # Once, a cancelled arecv left a thread behind that swallowed the
        # next item, so every expired wait_for lost one.
        async def main():
            ch = Channel()
            for _ in range(3):
                with pytest.raises(TimeoutError):
                    await asyncio.wait_for(ch.arecv(), 0.01)
            task = asyncio.ensure_future(ch.arecv())
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            ch.send("precious")
            return ch.try_recv()

        assert run(main()) == "precious"

    @pytest.mark.timeout(60)
    def test_cancel_after_the_wake_up_passes_it_on(self):
        async def main():
            ch = Channel()
            first = asyncio.create_task(ch.arecv())
            second = asyncio.create_task(ch.arecv())
            await asyncio.sleep(0)  # both wait, first in line
            ch.send("only")  # wakes first...
            first.cancel()  # ...which is cancelled before it can take the item
            assert await second == "only"
            with pytest.raises(asyncio.CancelledError):
                await first
            assert first.cancelled()

        run(main())

    @pytest.mark.timeout(60)
    def test_rendezvous_send_taken_before_the_cancel_completes(self):
        async def main():
            ch = Channel(0)
            # A task cancelled from outside still ends cancelled.
            task = asyncio.ensure_future(ch.asend("taken"))
            await asyncio.sleep(0)
            assert ch.try_recv() == "taken"
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

            # A timeout that fires after the item was taken does not: the
            # send returns and nothing is cancelled later.
            async def send_in_time():
                async with asyncio.timeout(WAIT) as cm:
                    box.append(cm)
                    await ch.asend("also taken")
                await asyncio.sleep(0)
                return "sent"

            box = []
            sender = asyncio.ensure_future(send_in_time())
            await asyncio.sleep(0)
            assert ch.try_recv() == "also taken"
            box[0].reschedule(asyncio.get_running_loop().time())
            assert await sender == "sent"

        run(main())

    @pytest.mark.timeout(300)
    def test_pending_operations_hold_no_thread(self):
        # Once, each pending call held an executor thread: with the executor
        # full of quiet receives, a rendezvous hand-over between two tasks
        # never ran.
        async def main():
            threads = threading.active_count()
            quiet = Channel()
            waiting = [asyncio.ensure_future(quiet.arecv()) for _ in range(10_000)]
            await asyncio.sleep(0.05)
            out = Channel(0)
            receiver = asyncio.ensure_future(out.arecv())
            await asyncio.wait_for(out.asend(1), 2)
            assert await receiver == 1
            assert threading.active_count() == threads
            assert not any(t.done() for t in waiting)
            quiet.close()
            results = await asyncio.gather(*waiting, return_exceptions=True)
            assert all(isinstance(r, ValueError) for r in results)

        # 10,000 tasks take a while under a debug build in asyncio's debug mode.
        asyncio.run(asyncio.wait_for(main(), 200))

    @pytest.mark.timeout(60)
    def test_wake_up_to_a_closed_loop_is_passed_on(self):
        ch = Channel()
        loop = asyncio.new_event_loop()

        async def wait():
            return await ch.arecv()

        loop.set_exception_handler(lambda loop, context: None)  # the task is left pending
        loop.create_task(wait())
        loop.run_until_complete(asyncio.sleep(0.01))
        loop.close()  # with the task still waiting, first in line
        got = []
        t = threading.Thread(target=lambda: got.append(ch.recv(timeout=WAIT)), daemon=True)
        t.start()
        time.sleep(0.05)
        ch.send("kept")
        t.join(WAIT)
        assert got == ["kept"]


class TestAselect:
    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("case", ["ops a string", "empty", "not an op", "closed and empty",
                                      "closed for sending", "timed out"])
    def test_errors(self, case):
        async def main():
            full, empty, closed = Channel(1), Channel(), Channel()
            full.send("kept")
            stale = full.send_op("never")
            closed.close()
            table = {  # case: (ops, timeout, error, message, raised at the call)
                "ops a string": ("ab", None, TypeError, "Can't extract `str` to `Vec`\nwhile processing 'ops'", True),
                "empty": ([], None, ValueError, "Operations list cannot be empty", True),
                "not an op": ([full.recv_op(), full], None, TypeError, "Operations must be of type RecvOp or SendOp",
                              True),
                "closed and empty": ([closed.recv_op()], None, ValueError, "Selected channel is closed and empty",
                                     False),
                "closed for sending": ([stale], None, ValueError, "Selected channel is closed", False),
                "timed out": ([empty.recv_op(), full.send_op("never")], 0.05, TimeoutError,
                              "select() timed out waiting for ready channel", False),
            }
            ops, timeout, error, message, at_call = table[case]
            if case == "closed for sending":
                full.close()  # full, so only the close signal is ready
            if at_call:
                with expect(error, message):
                    aselect(ops, timeout)
            else:
                pending = aselect(ops, timeout)
                with expect(error, message):
                    await pending
            # Whatever failed moved nothing.
            assert full.try_recv() == "kept"
            with pytest.raises((RuntimeError, ValueError)):
                full.try_recv()

        run(main())

    @pytest.mark.timeout(60)
    def test_ready_operations_are_chosen_alike(self):
        async def main():
            a, b = Channel(), Channel()
            for i in range(400):
                a.send(i)
                b.send(i)
            return Counter([(await aselect([a.recv_op(), b.recv_op()]))[0] for _ in range(400)])

        chosen = run(main())
        assert 140 <= chosen[0] <= 260, chosen

    @pytest.mark.timeout(60)
    def test_rendezvous_send_taken_before_the_cancel_completes(self):
        async def main():
            ch, quiet = Channel(0), Channel()
            # Cancelled from outside: the send happened, the task ends cancelled.
            task = asyncio.ensure_future(aselect([quiet.recv_op(), ch.send_op("taken")]))
            await asyncio.sleep(0)
            assert ch.try_recv() == "taken"
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

            # Cancelled by a timeout that fires after the item was taken: the
            # await returns the send that completed.
            async def select_in_time():
                async with asyncio.timeout(WAIT) as cm:
                    box.append(cm)
                    return await aselect([quiet.recv_op(), ch.send_op("also taken")])

            box = []
            selecting = asyncio.ensure_future(select_in_time())
            await asyncio.sleep(0)
            assert ch.try_recv() == "also taken"
            box[0].reschedule(asyncio.get_running_loop().time())
            assert await selecting == (1, None)
            with pytest.raises(RuntimeError):
                quiet.try_recv()

        run(main())


class TestStorm:
    """Random cancellations and timeouts across several loops and threads:
    every item a completed operation moved was moved exactly once, and none
    that raised moved anything."""

    @staticmethod
    def run_loops(loop_main, threads, others=(), wait=300):
        workers = [threading.Thread(target=asyncio.run, args=(loop_main(s),), daemon=True) for s in range(threads)]
        workers += [threading.Thread(target=fn, daemon=True) for fn in others]
        for t in workers:
            t.start()
        return workers

    @staticmethod
    def join(threads, wait=300):
        for t in threads:
            t.join(wait)
        assert not any(t.is_alive() for t in threads), "storm did not finish in time"

    @pytest.mark.timeout(600)
    def test_arecv_with_timeouts_and_cancels(self):
        n = 100_000
        ch = Channel(16)
        got, failures = [], []

        async def consume():
            while True:
                try:
                    got.append(await asyncio.wait_for(ch.arecv(), random.choice((0.0001, 0.001, 0.01))))
                except TimeoutError:
                    continue
                except ValueError:
                    return

        async def loop_main(seed):
            rnd = random.Random(seed)
            tasks = [asyncio.ensure_future(consume()) for _ in range(4)]
            while not all(t.done() for t in tasks):
                await asyncio.sleep(rnd.choice((0, 0.0005, 0.002)))
                i = rnd.randrange(len(tasks))
                if tasks[i].cancel():
                    try:
                        await tasks[i]
                    except asyncio.CancelledError:
                        pass
                    if not tasks[i].cancelled():
                        failures.append("a cancelled consumer did not end cancelled")
                    tasks[i] = asyncio.ensure_future(consume())

        def thread_consumer():
            while True:
                try:
                    got.append(ch.recv(timeout=0.001))
                except TimeoutError:
                    continue
                except ValueError:
                    return

        def produce(start):
            for i in range(start, n, 2):
                ch.send(i)

        consumers = self.run_loops(loop_main, 2, [thread_consumer])
        producers = [threading.Thread(target=produce, args=(s,), daemon=True) for s in (0, 1)]
        for t in producers:
            t.start()
        self.join(producers)
        ch.close()
        self.join(consumers)
        assert not failures
        assert len(got) == n and set(got) == set(range(n))

    @pytest.mark.timeout(600)
    @pytest.mark.parametrize("capacity", [4, 0])
    def test_asend_with_timeouts_and_cancels(self, capacity):
        n = 100_000
        ch = Channel(capacity)
        sent, got = [], []
        stop = threading.Event()

        async def produce(items):
            for i in items:
                try:
                    await asyncio.wait_for(ch.asend(i), random.choice((0.0005, 0.005)))
                except TimeoutError:
                    continue
                sent.append(i)

        async def loop_main(seed):
            rnd = random.Random(seed)
            todo = list(range(seed, n, 2))
            tasks = []
            while todo or not all(t.done() for t in tasks):
                if todo:
                    tasks.append(asyncio.ensure_future(produce(todo[:50])))
                    del todo[:50]
                await asyncio.sleep(rnd.choice((0, 0.0005)))
                if rnd.random() < 0.2:
                    rnd.choice(tasks).cancel()
                tasks = [t for t in tasks if not t.done()]
            await asyncio.gather(*tasks, return_exceptions=True)

        async def async_consume():
            while not stop.is_set():
                try:
                    got.append(await asyncio.wait_for(ch.arecv(), 0.001))
                except TimeoutError:
                    pass

        def thread_consume():
            while not stop.is_set():
                try:
                    got.append(ch.recv(timeout=0.0005))
                except TimeoutError:
                    pass

        consumers = self.run_loops(lambda _: async_consume(), 1, [thread_consume])
        producers = self.run_loops(loop_main, 2)
        self.join(producers)
        while True:  # what is still buffered
            try:
                got.append(ch.try_recv())
            except RuntimeError:
                break
        stop.set()
        self.join(consumers)
        assert len(sent) > 200, f"too few sends completed to mean anything: {len(sent)} of {n}"
        assert sorted(got) == sorted(sent) and len(set(sent)) == len(sent)

    @pytest.mark.timeout(600)
    def test_aselect_over_two_channels(self):
        # Tasks and threads send and receive through select over a buffered
        # and a rendezvous channel; tasks time out and are cancelled at random.
        n, m = 40_000, 10_000  # items of the tasks, of the thread
        a, b = Channel(8), Channel(0)
        sent, got = [], []
        counts = Counter()
        stop = threading.Event()

        async def produce(items, rnd):
            for i in items:
                try:
                    await asyncio.wait_for(aselect([a.send_op(i), b.send_op(i)]), rnd.choice((0.0005, 0.005)))
                except TimeoutError:
                    counts["send timeouts"] += 1
                    continue
                sent.append(i)

        async def consume(rnd):
            while True:
                try:
                    got.append((await asyncio.wait_for(aselect([b.recv_op(), a.recv_op()]),
                                                       rnd.choice((0.0001, 0.001, 0.01))))[1])
                except TimeoutError:
                    counts["receive timeouts"] += 1

        async def loop_main(seed):
            rnd = random.Random(seed)
            todo = list(range(seed, n, 2))
            producers, consumers = [], [asyncio.ensure_future(consume(rnd)) for _ in range(3)]
            while not stop.is_set():
                if todo:
                    producers.append(asyncio.ensure_future(produce(todo[:40], rnd)))
                    del todo[:40]
                await asyncio.sleep(rnd.choice((0, 0.0005, 0.002)))
                if rnd.random() < 0.3:
                    victims = producers if producers and rnd.random() < 0.5 else consumers
                    if rnd.choice(victims).cancel():
                        counts["cancels"] += 1
                consumers = [t if not t.done() else asyncio.ensure_future(consume(rnd)) for t in consumers]
                producers = [t for t in producers if not t.done()]
                if not todo and not producers and seed not in finished:
                    finished.append(seed)
            for t in consumers:
                t.cancel()
            await asyncio.gather(*consumers, return_exceptions=True)

        def thread_produce():
            for i in range(n, n + m):
                try:
                    select([a.send_op(i), b.send_op(i)], timeout=0.001)
                except TimeoutError:
                    continue
                sent.append(i)

        def thread_consume():
            while not stop.is_set():
                try:
                    got.append(select([a.recv_op(), b.recv_op()], timeout=0.0005)[1])
                except TimeoutError:
                    pass

        finished = []  # the loops whose sends are over
        loops = self.run_loops(loop_main, 2, [thread_consume])
        producer = threading.Thread(target=thread_produce, daemon=True)
        producer.start()
        self.join([producer])
        deadline = time.monotonic() + 300
        while len(finished) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        stop.set()
        self.join(loops)
        while True:  # what is still buffered
            try:
                got.append(a.try_recv())
            except RuntimeError:
                break
        assert len(sent) > 5_000 and counts["cancels"] > 50, (len(sent), counts)
        assert sorted(got) == sorted(sent) and len(set(sent)) == len(sent), (len(got), len(sent), counts)
