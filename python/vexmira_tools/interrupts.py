"""Ctrl-C held back while the output is being written, so that an interruption leaves it
whole: the KeyboardInterrupt comes once the write is done."""

import signal
import threading
from contextlib import contextmanager


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
