"""Open an H.264 video with vexmira, print per-frame QP statistics and the chroma QP offsets,
and draw one frame's luma plane (deblocking skipped) beside its QP map."""

import argparse
import sys

import numpy as np

import vexmira

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
    if reported.size == 0:
        return f"{index:>7}  {'-':>7} {'-':>4} {'-':>4}  {cb:>4} {cr:>4}"
    return f"{index:>7}  {reported.mean():7.2f} {reported.min():4d} {reported.max():4d}  {cb:>4} {cr:>4}"


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
    print(f"{'frame':>7}  {'mean QP':>7} {'min':>4} {'max':>4}  {'Cb':>4} {'Cr':>4}")
    bar = ProgressBar(session.num_frames, session.num_frames > LONG_FILE and sys.stdout.isatty())
    for index in range(session.num_frames):
        bar.print_above(qp_row(session, index), index + 1)
    bar.close()


def draw_heatmap(session, index, output):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    luma = session.get_plane_data(index, 0)[:, :session.width]
    qp_map = np.ma.masked_less(session.get_qpmap(index), 0)
    figure, (left, right) = plt.subplots(1, 2, figsize=(12, 4.2), constrained_layout=True)
    left.imshow(luma, cmap="gray")
    left.set_title(f"frame {index}: luma, deblocking skipped")
    shown = right.imshow(qp_map, cmap="inferno", interpolation="nearest")
    right.set_title(f"frame {index}: QP per macroblock")
    figure.colorbar(shown, ax=right, label="QP")
    for axes in (left, right):
        axes.set_xticks([])
        axes.set_yticks([])
    figure.savefig(output, dpi=100)
    print(f"wrote {output} (frame {index})")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("video", help="path of an H.264 video file")
    parser.add_argument("--frame", type=int, help="frame to draw (default: the middle one)")
    parser.add_argument("--heatmap", default="qp_heatmap.png", help="where to write the picture")
    args = parser.parse_args()

    session = vexmira.H264DecoderSession(args.video)
    print_properties(session, args.video)
    if session.num_frames == 0:
        print("no frames with a presentation timestamp")
        return
    print_qp_table(session)
    draw_heatmap(session, session.num_frames // 2 if args.frame is None else args.frame, args.heatmap)


if __name__ == "__main__":
    main()
