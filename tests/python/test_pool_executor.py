"""ThreadPool as a concurrent.futures executor: `with` and map()."""
import sys
import threading
import time

import pytest

from _vornic import ThreadPool

pytestmark = pytest.mark.timeout(60)

HAS_BUFFERSIZE = sys.version_info >= (3, 14)


@pytest.fixture
def pool():
    p = ThreadPool(3)
    yield p
    p.shutdown(wait=False)


class TestMap:
    def test_results_in_argument_order_not_completion_order(self, pool):
        last_done = threading.Event()

        def task(i):
            if i == 0:
                assert last_done.wait(30), "the last task never ran"
            if i == 2:
                last_done.set()
            return i * 10

        assert list(pool.map(task, range(3))) == [0, 10, 20]
        # Several iterables are zipped, the shortest deciding, as map() does.
        assert list(pool.map(pow, [2, 3, 4], [5, 6])) == [32, 729]

    def test_exception_surfaces_at_its_position(self, pool):
        def task(i):
            if i == 2:
                raise KeyError(i)
            return i

        results = pool.map(task, range(5))
        assert next(results) == 0
        assert next(results) == 1
        with pytest.raises(KeyError) as info:
            next(results)
        assert info.value.args == (2,)
        assert list(results) == []  # the iterator ends with the failure

    def test_timeout_counts_from_the_call(self, pool):
        release = threading.Event()
        results = pool.map(lambda x: release.wait(30) and x, [1, 2], timeout=0.3)
        time.sleep(0.4)
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            next(results)
        # Already past its deadline: no second wait of the full timeout.
        assert time.monotonic() - started < 0.25
        release.set()

    @pytest.mark.skipif(not HAS_BUFFERSIZE, reason="Executor.map has buffersize from 3.14 on")
    def test_buffersize_pulls_the_input_lazily(self, pool):
        pulled = []

        def inputs():
            for i in range(100):
                pulled.append(i)
                yield i

        results = pool.map(lambda x: x + 1, inputs(), buffersize=2)
        assert pulled == [0, 1]
        assert next(results) == 1
        assert pulled == [0, 1, 2]
        assert list(results) == list(range(2, 101))
        with pytest.raises(ValueError):
            pool.map(abs, [1], buffersize=0)

    @pytest.mark.skipif(HAS_BUFFERSIZE, reason="3.14's Executor.map takes buffersize")
    def test_buffersize_refused_before_3_14(self, pool):
        with pytest.raises(TypeError, match=r"^ThreadPool.map\(\) supports buffersize on Python 3.14 and newer only, "
                                            r"as concurrent.futures.Executor.map does$"):
            pool.map(abs, [1], buffersize=2)
        assert list(pool.map(abs, [-1, -2], buffersize=None)) == [1, 2]

    def test_argument_errors(self, pool):
        with pytest.raises(TypeError, match=r"^ThreadPool.map\(\) missing 1 required positional argument: 'fn'$"):
            pool.map()
        with pytest.raises(TypeError):
            pool.map(abs, [1], nonsense=1)
        pool.shutdown()
        with pytest.raises(RuntimeError, match="^ThreadPool is shutdown$"):
            pool.map(abs, [1])


class TestWith:
    def test_block_ending_in_an_exception_shuts_down_and_waits(self):
        ran = threading.Event()

        def slow():
            time.sleep(0.2)
            ran.set()
            return "done"

        with pytest.raises(KeyError):
            with ThreadPool(2) as p:
                assert isinstance(p, ThreadPool)
                future = p.submit(slow)
                raise KeyError("inside the block")
        # shutdown(wait=True) ran: the queued task finished before the with
        # statement let the exception through.
        assert ran.is_set() and future.result(0) == "done"
        with pytest.raises(RuntimeError, match="^ThreadPool is shutdown$"):
            p.submit(slow)
        p.__exit__(None, None, None)  # a later exit, like a later shutdown, does nothing
