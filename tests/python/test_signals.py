"""Signals during blocking waits on the main thread: handlers run while it
waits, one that raises abandons the wait with no effect, one that returns
lets the wait go on with its original deadline."""
import signal
import subprocess
import sys
import threading
import time
from select import select as select_fds

import pytest

from _vornic import Channel, select

# Blocks the main thread in one call that cannot complete; on KeyboardInterrupt
# prints "interrupted" and what a follow-up finds, then lets it end the process.
CHILD = r"""
import signal, sys, threading, time
from _vornic import Channel, RwLock, ThreadPool, select
# A parent started in the background by a non-interactive shell passes SIGINT
# on as ignored; the test needs Python's own handler whatever the parent did.
signal.signal(signal.SIGINT, signal.default_int_handler)
ch, full, lock, pool, case = Channel(), Channel(1), RwLock(), ThreadPool(1), sys.argv[1]
full.send("first")
def hold(make_guard):  # another thread keeps a guard entered
    entered = threading.Event()
    def run():
        with make_guard():
            entered.set()
            time.sleep(60)
    threading.Thread(target=run, daemon=True).start()
    entered.wait()
def read_again():  # would block for good behind a writer claim left over
    with lock.read():
        return "read"
hold(lock.write) if case == "read" else hold(lock.read) if case == "write" else None
pool.submit(time.sleep, 1.5)
block, check = {
    "recv": (ch.recv, lambda: (ch.send("late"), ch.try_recv())),
    "send": (lambda: Channel(0).send(1), lambda: None),
    "recv_timeout": (lambda: ch.recv_timeout(30), lambda: None),
    "send_timeout": (lambda: full.send_timeout("second", 30), lambda: (full.try_recv(), full.try_send("x"))),
    "iteration": (lambda: list(ch), lambda: None),
    "select": (lambda: select([ch.recv_op(), full.send_op("second")]), lambda: (full.try_recv(), full.try_send("x"))),
    "read": (lambda: lock.read().__enter__(), lambda: None),
    "write": (lambda: lock.write().__enter__(), read_again),
    "shutdown": (lambda: pool.shutdown(wait=True), lambda: pool.submit(print)),
}[case]
print("ready", flush=True)
try:
    block()
except KeyboardInterrupt:
    print("interrupted", flush=True)
    try:
        print(repr(check()), flush=True)
    except Exception as e:
        print(repr(e), flush=True)
    raise
"""
# What the follow-up finds: nothing taken, "second" never sent (there is room
# again), no claim left, the pool still shut down.
CASES = {"recv": "(None, 'late')", "send": "None", "recv_timeout": "None", "send_timeout": "('first', None)",
         "iteration": "None", "select": "('first', None)", "read": "None", "write": "'read'",
         "shutdown": "RuntimeError('ThreadPool is shutdown')"}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", CASES)
def test_sigint_interrupts_a_blocked_main_thread_within_a_second(case):
    with subprocess.Popen([sys.executable, "-c", CHILD, case], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True) as proc:
        try:
            assert proc.stdout.readline().strip() == "ready"
            time.sleep(0.3)  # well inside the wait
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            assert select_fds([proc.stdout], [], [], 5)[0], "no KeyboardInterrupt within 5 s"
            line = proc.stdout.readline().strip()
            elapsed = time.monotonic() - sent
            proc.wait(timeout=30)
            after, err = proc.stdout.read().strip(), proc.stderr.read()
        finally:
            proc.kill()
    assert (line, after) == ("interrupted", CASES[case]), err
    assert elapsed < 1.0
    assert err.rstrip().endswith("KeyboardInterrupt"), err


class Raised(Exception):
    pass


@pytest.fixture
def on_sigusr1():
    """on_sigusr1(handler, every, once): SIGUSR1 runs `handler`; another
    thread sends it to the main thread every `every` seconds (or once)."""
    previous, stop = signal.getsignal(signal.SIGUSR1), threading.Event()

    def install(handler, every, once=False):
        signal.signal(signal.SIGUSR1, handler)

        def kick():
            while not stop.wait(every):
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
                if once:
                    return
        threading.Thread(target=kick, daemon=True).start()
    yield install
    stop.set()
    signal.signal(signal.SIGUSR1, previous)


@pytest.mark.timeout(30)
def test_a_handler_that_returns_keeps_the_original_deadline(on_sigusr1):
    ran = []
    on_sigusr1(lambda *_: ran.append(1), 0.02)
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        Channel().recv_timeout(0.5)
    assert 0.45 <= time.monotonic() - start < 0.9
    assert len(ran) >= 5


@pytest.mark.timeout(30)
@pytest.mark.parametrize("peer_first", [False, True])
def test_a_handler_that_raises_ends_the_wait_promptly(on_sigusr1, peer_first):
    """Without a peer the wait is abandoned with no effect. With one that
    completes the receive inside the handler, before it raises, the receive
    keeps the item and the exception still arrives. The handler waits on a
    channel of its own first, on the thread whose wait it interrupts."""
    a, b = Channel(), Channel(0)

    def handler(*_):
        with pytest.raises(TimeoutError):
            Channel().recv_timeout(0.001)
        if peer_first:
            peer = threading.Thread(target=a.send, args=("first",))
            peer.start()
            peer.join()
        raise Raised

    on_sigusr1(handler, 0.1, once=True)
    start = time.monotonic()
    with pytest.raises(Raised):
        select([a.recv_op(), b.send_op("offered")])
    assert time.monotonic() - start < 1.0
    a.send("later")
    assert a.try_recv() == "later"  # "first" went to the select, "later" stayed
    with pytest.raises(RuntimeError, match="Channel is empty"):
        b.try_recv()
