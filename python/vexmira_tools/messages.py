"""FFmpeg's messages during a vexmira-stats run, taken from the logger vexmira.ffmpeg by the
task that reads their file: each file's are counted in its row of the file table and shown
above the progress bar with its result, rather than printed across the bar as they come (or,
on a Dask worker, into the worker's log)."""

import logging
import re
from collections.abc import Iterable, Iterator
from contextlib import contextmanager

LOGGER = logging.getLogger("vexmira.ffmpeg")


class _MessagesByFile(logging.Handler):
    """Each warning or error of a file some task is taking messages of, in that task's list;
    the others go on to the handlers the logger's parents have."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.taking: dict[str, list[list[str]]] = {}
        self.saved_propagate = True

    def emit(self, record: logging.LogRecord) -> None:
        takers = self.taking.get(getattr(record, "path", None))
        if takers:
            takers[0].append(record.getMessage())
        elif LOGGER.parent is not None:
            LOGGER.parent.handle(record)


_handler = _MessagesByFile()


@contextmanager
def messages_taken(path: str) -> Iterator[list[str]]:
    """The warnings and errors FFmpeg logs of the file at path while the block runs, in the
    list this yields, whichever thread logs them. Tasks of the same file at once each take
    some; together they take all."""
    taken: list[str] = []
    _handler.acquire()
    try:
        if not _handler.taking:
            _handler.saved_propagate = LOGGER.propagate
            LOGGER.addHandler(_handler)
            LOGGER.propagate = False
        _handler.taking.setdefault(path, []).append(taken)
    finally:
        _handler.release()
    try:
        yield taken
    finally:
        _handler.acquire()
        try:
            takers = _handler.taking[path]
            takers[:] = [other for other in takers if other is not taken]
            if not takers:
                del _handler.taking[path]
            if not _handler.taking:
                LOGGER.removeHandler(_handler)
                LOGGER.propagate = _handler.saved_propagate
        finally:
            _handler.release()


def in_frame_order(path: str, messages: Iterable[str]) -> list[str]:
    """Each message once, those of no frame first, then by frame: the order does not depend on
    which of the file's tasks logged a message or when it ended. Messages of one frame keep
    the order FFmpeg gave them."""
    frame = re.compile(re.escape(path) + r" frame (\d+): ")

    def frame_of(message: str) -> int:
        found = frame.match(message)
        return int(found.group(1)) if found else -1

    return sorted(dict.fromkeys(messages), key=frame_of)
