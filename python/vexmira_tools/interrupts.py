"""Ctrl-C held back while the output is being written, so that an interruption leaves it
whole: the KeyboardInterrupt comes once the write is done."""

import signal
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

# How often a wait for a cluster's results looks for a Ctrl-C.
POLL_SECONDS = 0.02


@contextmanager
def interrupt_deferred():
    if threading.current_thread() is not threading.main_thread():
        # Only the main thread receives signals; elsewhere there is nothing to hold back.
        yield
        return
    arrived = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: arrived.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if arrived:
        raise KeyboardInterrupt


@contextmanager
def ignored_by_processes_started():
    """Ctrl-C in a terminal goes to every process of its foreground group, local Dask workers
    included, which would each print a traceback. Processes started inside this block begin
    with SIGINT ignored (Python then leaves it so), and this process alone ends the run."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextmanager
def interrupts_checked() -> Iterator[Callable[[], None]]:
    """Ctrl-C noted rather than raised where it lands, and raised by the check this yields,
    called where it is safe. A Dask client runs finalizers (Future.__del__) on the main
    thread, and a KeyboardInterrupt raised inside one is printed and lost, so the run would
    go on as if nothing had been pressed."""
    if threading.current_thread() is not threading.main_thread():
        yield lambda: None
        return
    arrived = threading.Event()
    previous = signal.signal(signal.SIGINT, lambda number, frame: arrived.set())

    def check() -> None:
        if arrived.is_set():
            raise KeyboardInterrupt

    try:
        yield check
    finally:
        signal.signal(signal.SIGINT, previous)


def wait_checked(ready: Callable[[], bool], check: Callable[[], None]) -> None:
    """Waits until ready() holds, checking for Ctrl-C in between."""
    while not ready():
        check()
        time.sleep(POLL_SECONDS)
    check()
