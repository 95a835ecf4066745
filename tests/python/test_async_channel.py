"""Channel.arecv / asend: the blocking call runs on the loop's default
executor; errors of the call itself surface at once, errors of the receive or
send when the future is awaited."""
import asyncio
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
    def test_bad_timeout_type_raises_before_any_job(self):
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
        def expect(exc_type, message):
            return pytest.raises(exc_type, match="^" + re.escape(message) + "$")

        async def main():
            ch = Channel(1)
            ch.send("kept")
            # Each call returns a future at once; the error comes with the await.
            futures = [ch.arecv(timeout=-1), ch.asend(1, timeout=-0.5)]
            assert all(isinstance(f, asyncio.Future) for f in futures)
            for fut in futures:
                with expect(ValueError, "Timeout must be non-negative"):
                    await fut
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

        run(main())


class TestCompletion:
    @pytest.mark.timeout(60)
    def test_arecv_completed_by_another_thread(self):
        async def main():
            ch = Channel()
            later(0.1, ch.send, "from a thread")
            t0 = time.monotonic()
            item = await ch.arecv()
            return item, time.monotonic() - t0

        item, waited = run(main())
        assert item == "from a thread"
        assert waited >= 0.05

    @pytest.mark.timeout(60)
    def test_loop_keeps_running_while_arecv_waits(self):
        async def main():
            ch = Channel()
            fut = ch.arecv()
            ticks = 0
            while not fut.done():
                ticks += 1
                if ticks == 5:
                    ch.send("done")
                await asyncio.sleep(0.01)
            return await fut, ticks

        item, ticks = run(main())
        assert item == "done" and ticks >= 5

    @pytest.mark.timeout(60)
    def test_close_while_awaiting_an_empty_channel(self):
        async def main():
            ch = Channel()
            later(0.1, ch.close)
            with pytest.raises(ValueError, match="^Channel is closed and empty$"):
                await ch.arecv()

        run(main())

    @pytest.mark.timeout(60)
    def test_asend_to_rendezvous_taken_by_a_thread(self):
        async def main():
            ch = Channel(0)
            got = []
            t = threading.Thread(target=lambda: got.append(ch.recv(timeout=WAIT)), daemon=True)
            t.start()
            await ch.asend("handed over")
            t.join(WAIT)
            return got

        assert run(main()) == ["handed over"]

    @pytest.mark.timeout(60)
    def test_many_tasks_exchange_through_one_channel(self):
        async def main():
            ch = Channel(4)
            n = 200

            async def produce(start):
                for i in range(start, n, 2):
                    await ch.asend(i)

            async def consume():
                return [await ch.arecv(timeout=WAIT) for _ in range(n // 2)]

            results = await asyncio.gather(produce(0), produce(1), consume(), consume())
            return results[2] + results[3]

        assert sorted(run(main())) == list(range(200))

    @pytest.mark.timeout(60)
    def test_cancelled_await_still_takes_the_item(self):
        # Cancelling the awaiting task does not stop the executor's recv: the
        # next item goes to it and is dropped with the cancelled future.
        async def main():
            ch = Channel()
            fut = ch.arecv()
            await asyncio.sleep(0.05)
            fut.cancel()
            with pytest.raises(asyncio.CancelledError):
                await fut
            ch.send("lost")
            return ch

        # asyncio.run joins the default executor before it returns, so the
        # cancelled job has finished by then.
        ch = run(main())
        with pytest.raises(RuntimeError, match="^Channel is empty$"):
            ch.try_recv()
