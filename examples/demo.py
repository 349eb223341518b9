"""Open an H.264 video with vexmira, print per-frame picture types, QP statistics and the
chroma QP offsets, and draw one frame's luma plane (deblocking skipped) beside its QP map,
its macroblock types, the bits each of its macroblocks spent (read from its syntax), its
luma residual (rebuilt from the syntax: what was coded on top of the prediction) and a P
frame's motion vectors over its luma."""

import argparse
import math
import sys
from pathlib import Path

import numpy as np

import vexmira
from vexmira_tools.mb_type_panel import draw_mb_types

PROGRAM = "demo.py"
PROPERTIES = ("width", "height", "mb_cols", "mb_rows", "num_frames",
              "fps", "fps_num", "fps_den", "pix_fmt", "bytes_per_sample")
LONG_FILE = 300
# At most this many arrows across the motion panel: at 720p one per 16x16 block would be 80,
# too dense to read at the figure's size.
ARROW_COLUMNS = 40


def print_properties(session, path):
    print(path)
    for name in PROPERTIES:
        print(f"  {name:<17}{getattr(session, name)}")
    print()


def qp_row(session, index):
    qp_map = session.get_qpmap(index)
    reported = qp_map[qp_map >= 0]
    cb, cr = session.get_chroma_qp_offset(index)
    kind = session.get_frame_type(index) + ("*" if session.is_key_frame(index) else "")
    if reported.size == 0:
        return f"{index:>7} {kind:>4}  {'-':>7} {'-':>4} {'-':>4}  {cb:>4} {cr:>4}"
    return f"{index:>7} {kind:>4}  {reported.mean():7.2f} {reported.min():4d} {reported.max():4d}  {cb:>4} {cr:>4}"


class ProgressBar:
    """A bar on the terminal's last line, redrawn below each printed row."""

    def __init__(self, total, enabled):
        self.total, self.enabled = total, enabled

    def print_above(self, line, done):
        if not self.enabled:
            print(line)
            return
        filled = 30 * done // self.total
        sys.stdout.write(f"\r\033[K{line}\n[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}")
        sys.stdout.flush()

    def close(self):
        if self.enabled:
            sys.stdout.write("\r\033[K")


def print_qp_table(session):
    print(f"{'frame':>7} {'type':>4}  {'mean QP':>7} {'min':>4} {'max':>4}  {'Cb':>4} {'Cr':>4}   (* key frame)")
    bar = ProgressBar(session.num_frames, session.num_frames > LONG_FILE and sys.stdout.isatty())
    for index in range(session.num_frames):
        bar.print_above(qp_row(session, index), index + 1)
    bar.close()


def qp_scale(session) -> tuple[int, int] | None:
    """The lowest and highest QP of the whole file: one colour scale for every frame's map, so
    that two heatmaps compare. None in a file whose decoder reports no QP."""
    stats = session.frame_stats()
    reported = stats["qp_min"] >= 0
    if not reported.any():
        return None
    return int(stats["qp_min"][reported].min()), int(stats["qp_max"][reported].max())


def first_p_frame(session, start):
    """The first P frame from start on, wrapping around; None in a file without one."""
    for offset in range(session.num_frames):
        index = (start + offset) % session.num_frames
        if session.get_frame_type(index) == "P":
            return index
    return None


def middle(number: int, cell: int, size: int) -> float:
    """The middle of a cell's part inside the picture: the last cell may be cut by its edge."""
    return (number * cell + min((number + 1) * cell, size)) / 2


def thinned_motion(vectors, width: int, height: int, columns: int = ARROW_COLUMNS):
    """One arrow per square cell, at most `columns` across: the median displacement of the
    blocks whose centre lies in the cell, at the cell's middle. Returns the cell size and
    x, y, dx, dy of the cells with any block."""
    cell = 16 * max(1, math.ceil(width / 16 / columns))
    dx = -vectors["motion_x"] / vectors["motion_scale"]
    dy = -vectors["motion_y"] / vectors["motion_scale"]
    column = np.clip(vectors["dst_x"] // cell, 0, (width - 1) // cell)
    row = np.clip(vectors["dst_y"] // cell, 0, (height - 1) // cell)
    arrows = []
    for key in sorted(set(zip(row.tolist(), column.tolist()))):
        inside = (row == key[0]) & (column == key[1])
        arrows.append((middle(key[1], cell, width), middle(key[0], cell, height),
                       np.median(dx[inside]), np.median(dy[inside])))
    x, y, u, v = (np.array(values, dtype=float) for values in zip(*arrows)) if arrows else [np.array([])] * 4
    return cell, x, y, u, v


def draw_motion_vectors(session, index, axes):
    """The vectors from the past reference, as the way the content moved."""
    axes.imshow(session.get_plane_data(index, 0)[:, :session.width], cmap="gray")
    vectors = session.get_motion_vectors(index)
    cell, x, y, u, v = thinned_motion(vectors[vectors["source"] < 0], session.width, session.height)
    moving = (u != 0) | (v != 0)
    axes.quiver(x[moving], y[moving], u[moving], v[moving], color="yellow",
                angles="xy", scale_units="xy", scale=1, width=0.003)
    axes.set_xlim(0, session.width)
    axes.set_ylim(session.height, 0)
    axes.set_title(f"frame {index} (P): motion from the past, median per {cell}x{cell} cell")


def draw_bits(session, index, figure, axes):
    """Header, prediction and residual bits of each macroblock, as the parser read them;
    macroblocks it could not read are left blank."""
    syntax = session.get_mb_syntax(index)
    bits = syntax["bits_header"].astype(np.int64) + syntax["bits_prediction"] + syntax["bits_residual"]
    shown = axes.imshow(np.ma.masked_where(~syntax["parsed"], bits), cmap="viridis", interpolation="nearest")
    axes.set_title(f"frame {index}: bits per macroblock")
    figure.colorbar(shown, ax=axes, label="bits")


def draw_residual(session, index, figure, axes):
    """The luma residual as the decoder adds it to its prediction, on a scale symmetric
    about zero, cut to the picture the stream shows."""
    residual = session.get_residual(index)[0][:session.height, :session.width]
    reach = max(int(np.abs(residual).max()), 1)
    shown = axes.imshow(residual, cmap="RdBu_r", vmin=-reach, vmax=reach, interpolation="nearest")
    axes.set_title(f"frame {index}: luma residual")
    figure.colorbar(shown, ax=axes, label="residual (samples)")


def heatmap_figure(session, index, scale):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    luma = session.get_plane_data(index, 0)[:, :session.width]
    qp_map = np.ma.masked_less(session.get_qpmap(index), 0)
    predicted = first_p_frame(session, index)
    panels = 5 if predicted is None else 6
    figure, panel = plt.subplots(1, panels, figsize=(6 * panels, 4.2), constrained_layout=True)
    left, right = panel[0], panel[1]
    draw_mb_types(session, index, panel[2])
    draw_bits(session, index, figure, panel[3])
    draw_residual(session, index, figure, panel[4])
    if predicted is not None:
        draw_motion_vectors(session, predicted, panel[5])
    left.imshow(luma, cmap="gray")
    left.set_title(f"frame {index}: luma, deblocking skipped")
    low, high = scale or (None, None)
    shown = right.imshow(qp_map, cmap="inferno", interpolation="nearest", vmin=low, vmax=high)
    right.set_title(f"frame {index}: QP per macroblock")
    figure.colorbar(shown, ax=right, label="QP (the whole file's range)" if scale else "QP")
    for axes in panel:
        axes.set_xticks([])
        axes.set_yticks([])
    return figure, predicted


def draw_heatmap(session, index, output):
    import matplotlib.pyplot as plt
    figure, predicted = heatmap_figure(session, index, qp_scale(session))
    figure.savefig(output, dpi=100)
    plt.close(figure)
    print(f"wrote {output} (frame {index}" + ("" if predicted is None else f", motion vectors of frame {predicted}") + ")")


def fail(message: str, status: int) -> int:
    print(f"{PROGRAM}: {message}", file=sys.stderr)
    return status


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__)
    parser.add_argument("video", help="path of an H.264 video file")
    parser.add_argument("--frame", type=int, help="frame to draw (default: the middle one)")
    parser.add_argument("--heatmap", default="qp_heatmap.png", help="where to write the picture")
    args = parser.parse_args(argv)

    if not Path(args.video).is_file():
        return fail(f"{args.video}: no such file", 2)
    try:
        session = vexmira.H264DecoderSession(args.video, motion_vectors=True, mb_types=True)
    except RuntimeError as error:
        return fail(str(error), 1)
    frame = session.num_frames // 2 if args.frame is None else args.frame
    if session.num_frames and not 0 <= frame < session.num_frames:
        return fail(f"--frame {frame}: {args.video} has frames 0 to {session.num_frames - 1}", 2)
    print_properties(session, args.video)
    if session.num_frames == 0:
        print("no frames with a presentation timestamp")
        return 1
    print_qp_table(session)
    draw_heatmap(session, frame, args.heatmap)
    return 0


if __name__ == "__main__":
    sys.exit(main())
