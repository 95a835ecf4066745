"""Signals during blocking waits on the main thread: handlers run while the
thread waits, a handler that raises abandons the wait with no effect, and one
that returns lets the wait go on with its original deadline."""
import signal
import subprocess
import sys
import threading
import time
from select import select as select_fds

import pytest

from _vornic import Channel, select

# Each case sets up a wait that cannot complete, prints "ready", blocks in the
# main thread, and on KeyboardInterrupt prints "interrupted" followed by what
# it found afterwards, then lets the exception end the process.
CHILD = r"""
import sys, threading, time
from _vornic import Channel, RwLock, ThreadPool, select

case = sys.argv[1]
after = []

def hold(make_guard, seconds):
    entered = threading.Event()
    def run():
        with make_guard():  # guards belong to the thread that makes them
            entered.set()
            time.sleep(seconds)
    threading.Thread(target=run, daemon=True).start()
    entered.wait()

if case == "recv":
    ch = Channel()
    block = ch.recv
    def check():
        ch.send("late")
        after.append(ch.try_recv())  # still there: the interrupted recv took nothing
elif case == "send":
    ch = Channel(0)
    block = lambda: ch.send("offered")
    def check():
        try:
            ch.try_recv()
        except RuntimeError as e:
            after.append(str(e))  # nothing was delivered
elif case == "recv_timeout":
    ch = Channel()
    block = lambda: ch.recv_timeout(30)
    check = lambda: None
elif case == "send_timeout":
    ch = Channel(1)
    ch.send("first")
    block = lambda: ch.send_timeout("second", 30)
    def check():
        after.append(ch.try_recv())
        after.append(ch.try_send("third"))  # room again: "second" never went in
elif case == "iteration":
    ch = Channel()
    block = lambda: [x for x in ch]
    check = lambda: None
elif case == "select":
    a, b = Channel(), Channel(1)
    b.send("first")
    ops = [a.recv_op(), b.send_op("second")]
    block = lambda: select(ops)
    def check():
        after.append(b.try_recv())
        after.append(b.try_send("third"))  # room again: "second" never went in
elif case == "read":
    lock = RwLock()
    hold(lock.write, 30)
    block = lambda: lock.read().__enter__()
    check = lambda: None
elif case == "write":
    lock = RwLock()
    hold(lock.read, 30)
    block = lambda: lock.write().__enter__()
    def check():
        with lock.read():  # no writer claim left behind: readers still get in
            after.append("read")
elif case == "shutdown":
    pool = ThreadPool(1)
    started = threading.Event()
    pool.submit(lambda: (started.set(), time.sleep(1.5)))
    started.wait()
    block = lambda: pool.shutdown(wait=True)
    def check():
        try:
            pool.submit(print)
        except RuntimeError as e:
            after.append(str(e))  # still shut down

print("ready", flush=True)
try:
    block()
except KeyboardInterrupt:
    print("interrupted", flush=True)
    check()
    print(repr(after), flush=True)
    raise
print("not interrupted", flush=True)
"""

CASES = {
    "recv": ["'late'"],
    "send": ["'Channel is empty'"],
    "recv_timeout": [],
    "send_timeout": ["'first'", "None"],
    "iteration": [],
    "select": ["'first'", "None"],
    "read": [],
    "write": ["'read'"],
    "shutdown": ["'ThreadPool is shutdown'"],
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", sorted(CASES))
def test_sigint_interrupts_a_blocked_main_thread_promptly(case):
    with subprocess.Popen([sys.executable, "-c", CHILD, case], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline().strip() == "ready"
            time.sleep(0.3)  # well inside the wait
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            readable, _, _ = select_fds([proc.stdout], [], [], 5)
            assert readable, "no KeyboardInterrupt within 5 s"
            line = proc.stdout.readline().strip()
            elapsed = time.monotonic() - sent
            proc.wait(timeout=30)
            rest, err = proc.stdout.read(), proc.stderr.read()
        finally:
            proc.kill()
    assert line == "interrupted", err
    assert elapsed < 1.0
    assert "KeyboardInterrupt" in err
    for found in CASES[case]:
        assert found in rest, (rest, err)


@pytest.fixture
def sigusr1():
    """Installs a SIGUSR1 handler for the test and sends the signal to the
    main thread every 20 ms from another thread while the test waits."""
    assert threading.current_thread() is threading.main_thread()
    stop = threading.Event()

    def install(handler):
        signal.signal(signal.SIGUSR1, handler)

        def kick():
            while not stop.wait(0.02):
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

        threading.Thread(target=kick, daemon=True).start()

    previous = signal.getsignal(signal.SIGUSR1)
    yield install
    stop.set()
    time.sleep(0.05)
    signal.signal(signal.SIGUSR1, previous)


@pytest.mark.timeout(30)
def test_a_handler_that_returns_keeps_the_original_deadline(sigusr1):
    ran = []
    sigusr1(lambda *_: ran.append(1))
    ch = Channel()
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="recv\\(\\) timed out"):
        ch.recv_timeout(0.5)
    elapsed = time.monotonic() - start
    assert 0.45 <= elapsed < 0.9
    assert len(ran) >= 5


class Raised(Exception):
    pass


@pytest.mark.timeout(30)
def test_a_handler_that_raises_abandons_the_wait(sigusr1):
    def handler(*_):
        raise Raised

    sigusr1(handler)
    a, b = Channel(), Channel(0)
    start = time.monotonic()
    with pytest.raises(Raised):
        select([a.recv_op(), b.send_op("offered")])
    assert time.monotonic() - start < 1.0
    signal.signal(signal.SIGUSR1, signal.SIG_IGN)
    a.send("kept")
    assert a.try_recv() == "kept"
    with pytest.raises(RuntimeError, match="Channel is empty"):
        b.try_recv()


@pytest.mark.timeout(30)
def test_a_handler_exception_is_not_lost_when_the_wait_completed_first():
    """The handler itself makes a peer complete the receive before it raises:
    the receive has taken the item, and the exception still arrives."""
    ch = Channel()
    calls = []

    def handler(*_):
        calls.append(1)
        peer = threading.Thread(target=ch.send, args=("x",))
        peer.start()
        peer.join()
        raise Raised

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        threading.Timer(0.1, signal.pthread_kill, (threading.main_thread().ident, signal.SIGUSR1)).start()
        with pytest.raises(Raised):
            ch.recv()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert calls == [1]
    with pytest.raises(RuntimeError, match="Channel is empty"):
        ch.try_recv()
