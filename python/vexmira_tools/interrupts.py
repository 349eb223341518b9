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
