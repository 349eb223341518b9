"""The files the viewer was started with: a session per deblocking mode, opened when the page
first asks for it, and the per-frame table, computed by the batch path in the background in
runs of key-frame intervals so that the page can draw what is done while the rest follows."""

import csv
import io
import os
import threading
from pathlib import Path

import numpy as np

import vexmira
from vexmira_tools.mb_type_colours import MB_TYPE_COLOURS
from vexmira_tools.view.layers import available_layers
from vexmira_tools.view.pictures import picture_layout

DEBLOCKING = ("skip", "exact", "on")
STATS_COLUMNS = ("frame", "time", "pict_type", "key_frame", "pkt_size", "qp_mean", "qp_min", "qp_max", "damaged")
# The first run is short so that the timeline starts filling at once; later ones are long
# enough that the batch path keeps every core busy.
FIRST_RUN_FRAMES, RUN_FRAMES = 50, 500


def json_values(column: np.ndarray) -> list:
    """The column as JSON takes it: NaN (no QP) as null."""
    if column.dtype.kind == "f":
        return [None if value != value else value for value in column.tolist()]
    return column.tolist()


def runs(interval_starts: list[int], frames: int) -> list[range]:
    """Consecutive frame ranges cut at key-frame interval starts, each at least as long as
    its target but for the last."""
    cuts, start, target = [], 0, FIRST_RUN_FRAMES
    for cut in [*interval_starts[1:], frames]:
        if cut - start >= target or cut == frames:
            cuts.append(range(start, cut))
            start, target = cut, RUN_FRAMES
    return [run for run in cuts if len(run)]


class VideoSource:
    def __init__(self, path: str | os.PathLike):
        self.path = Path(path).resolve()
        self._sessions: dict[str, vexmira.H264DecoderSession] = {}
        self._opening = threading.Lock()
        first = self.session("skip")
        self.info = {
            "name": self.path.name, "frames": first.num_frames, "fps": first.fps,
            "mb_cols": first.mb_cols, "mb_rows": first.mb_rows, "codec": first.codec, "qp_scale": first.qp_scale,
            "pix_fmt": first.pix_fmt,
            "layers": available_layers(first), **picture_layout(first.pix_fmt, first.width, first.height),
            "mb_types": {int(kind): {"name": kind.name, "colour": colour} for kind, colour in MB_TYPE_COLOURS.items()},
            "partitions": {int(kind): kind.name for kind in vexmira.Partition}}
        self._table = {column: [] for column in STATS_COLUMNS}
        self._table_lock = threading.Lock()
        # Where key-frame intervals start: finding them reads every packet's headers, a second
        # or more for a long file, so it is left to the background as well.
        self.key_frames: list[int] | None = None
        self.stats_error: str | None = None
        self._stop = threading.Event()
        self._worker = threading.Thread(target=self._compute_stats, name=f"stats {self.path.name}", daemon=True)

    def session(self, deblocking: str) -> vexmira.H264DecoderSession:
        with self._opening:
            if deblocking not in self._sessions:
                # read_ahead=None: key-frame intervals decoded ahead on the idle cores, so that
                # stepping forward finds its frames done. Vectors and types are captured on
                # the way, so that any overlay is there without decoding a frame twice.
                self._sessions[deblocking] = vexmira.H264DecoderSession(
                    self.path, deblocking=deblocking, motion_vectors=True, mb_types=True, read_ahead=None)
            return self._sessions[deblocking]

    def _compute_stats(self) -> None:
        session = self.session("skip")
        try:
            self.key_frames = session.key_frame_intervals().tolist()
            for frames in runs(self.key_frames, self.info["frames"]):
                if self._stop.is_set():
                    return
                table = session.frame_stats(frames)
                with self._table_lock:
                    for column in STATS_COLUMNS:
                        self._table[column].extend(json_values(table[column]))
        except RuntimeError as error:
            self.stats_error = str(error)

    def _start_table(self) -> None:
        """The table is begun when first asked for: the page asks once its first frame is
        shown, which thus has the cores to itself. Called with the table's lock held."""
        if self._worker.ident is None and not self._stop.is_set():
            self._worker.start()

    def stats_since(self, first: int) -> dict:
        """The rows from first on that are done."""
        with self._table_lock:
            self._start_table()
            rows = {column: values[first:] for column, values in self._table.items()}
            done = len(self._table["frame"])
        return {"done": done, "total": self.info["frames"], "error": self.stats_error, "key_frames": self.key_frames,
                "rows": rows}

    def stats_csv(self) -> str:
        with self._table_lock:
            self._start_table()
            columns = [self._table[column] for column in STATS_COLUMNS]
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(STATS_COLUMNS)
        writer.writerows(zip(*columns))
        return text.getvalue()

    def close(self) -> None:
        with self._table_lock:
            self._stop.set()
            started = self._worker.ident is not None
        if started:
            self._worker.join()
        for session in self._sessions.values():
            session.close()
