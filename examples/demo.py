"""Open an H.264 video with vexmira, print per-frame picture types, QP statistics and the
chroma QP offsets, and draw one frame's luma plane (deblocking skipped) beside its QP map,
its macroblock types and a P frame's motion vectors over its luma."""

import argparse
import sys

import numpy as np

import vexmira
from mb_type_panel import draw_mb_types

PROPERTIES = ("width", "height", "mb_cols", "mb_rows", "num_frames",
              "fps", "fps_num", "fps_den", "pix_fmt", "bytes_per_sample")
LONG_FILE = 300


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


def first_p_frame(session, start):
    """The first P frame from start on, wrapping around; None in a file without one."""
    for offset in range(session.num_frames):
        index = (start + offset) % session.num_frames
        if session.get_frame_type(index) == "P":
            return index
    return None


def draw_motion_vectors(session, index, axes):
    """Each block's vector from the past reference, as the way its content moved."""
    axes.imshow(session.get_plane_data(index, 0)[:, :session.width], cmap="gray")
    vectors = session.get_motion_vectors(index)
    vectors = vectors[vectors["source"] < 0]
    dx = -vectors["motion_x"] / vectors["motion_scale"]
    dy = -vectors["motion_y"] / vectors["motion_scale"]
    moving = (dx != 0) | (dy != 0)
    axes.quiver(vectors["src_x"][moving], vectors["src_y"][moving], dx[moving], dy[moving], color="yellow",
                angles="xy", scale_units="xy", scale=1, width=0.002)
    axes.set_xlim(0, session.width)
    axes.set_ylim(session.height, 0)
    axes.set_title(f"frame {index} (P): motion vectors from the past, {moving.sum()} of {len(vectors)} moving")


def draw_heatmap(session, index, output):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    luma = session.get_plane_data(index, 0)[:, :session.width]
    qp_map = np.ma.masked_less(session.get_qpmap(index), 0)
    predicted = first_p_frame(session, index)
    panels = 3 if predicted is None else 4
    figure, panel = plt.subplots(1, panels, figsize=(6 * panels, 4.2), constrained_layout=True)
    left, right = panel[0], panel[1]
    draw_mb_types(session, index, panel[2])
    if predicted is not None:
        draw_motion_vectors(session, predicted, panel[3])
    left.imshow(luma, cmap="gray")
    left.set_title(f"frame {index}: luma, deblocking skipped")
    shown = right.imshow(qp_map, cmap="inferno", interpolation="nearest")
    right.set_title(f"frame {index}: QP per macroblock")
    figure.colorbar(shown, ax=right, label="QP")
    for axes in panel:
        axes.set_xticks([])
        axes.set_yticks([])
    figure.savefig(output, dpi=100)
    print(f"wrote {output} (frame {index}" + ("" if predicted is None else f", motion vectors of frame {predicted}") + ")")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("video", help="path of an H.264 video file")
    parser.add_argument("--frame", type=int, help="frame to draw (default: the middle one)")
    parser.add_argument("--heatmap", default="qp_heatmap.png", help="where to write the picture")
    args = parser.parse_args()

    session = vexmira.H264DecoderSession(args.video, motion_vectors=True, mb_types=True)
    print_properties(session, args.video)
    if session.num_frames == 0:
        print("no frames with a presentation timestamp")
        return
    print_qp_table(session)
    draw_heatmap(session, session.num_frames // 2 if args.frame is None else args.frame, args.heatmap)


if __name__ == "__main__":
    main()
