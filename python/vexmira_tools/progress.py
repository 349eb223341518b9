"""What vexmira-stats shows on stderr while it runs, when stderr is a terminal: one bar, first
over the files being planned (each opened and read once without decoding, which numbers its
frames), then over the frames of every file, whose total is known by then, with the files
written so far beside it."""

import sys

from tqdm import tqdm


class Progress:
    def __init__(self, files: int):
        self.files, self.written = files, 0
        self.bar = tqdm(total=files, unit="file", desc="planning", file=sys.stderr, disable=not sys.stderr.isatty(),
                        dynamic_ncols=True)

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc_info) -> None:
        self.bar.close()

    def planned(self) -> None:
        self.bar.update(1)

    def reading(self, frames: int) -> None:
        self.bar.unit = "frame"
        self.bar.set_description("reading", refresh=False)
        self.bar.reset(total=frames)
        self.file_written(0)

    def read(self, frames: int) -> None:
        self.bar.update(frames)

    def file_written(self, count: int = 1) -> None:
        self.written += count
        self.bar.set_postfix_str(f"{self.written}/{self.files} files")
