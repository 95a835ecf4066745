"""Channel.arecv / asend / async for: pending operations wait as channel
waiters woken on their own loop. Errors of the call itself surface at once,
errors of the operation when awaited; a cancelled operation either completed
or had no effect."""
import asyncio
import inspect
import random
import re
import threading
import time

import pytest

from _vornic import Channel

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
        assert len(sent) > 1_000, "too few sends completed to mean anything"
        assert sorted(got) == sorted(sent) and len(set(sent)) == len(sent)
