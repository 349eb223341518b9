"""vexmira-stats --yuview FILE -o out.csv [--frames A:B]

Writes what vexmira reads of each frame of one H.264 file as a YUView statistics file (its CSV
format), so that YUView draws it over the video: the QP of each macroblock, its type, the
partitions of motion-compensated macroblocks, field macroblocks, the motion vectors from
each list, and the bits each macroblock spent, read from its syntax. Frames are numbered in presentation order, as YUView's POC column expects; a
frame the decoder does not produce is left out and reported on stderr."""

import argparse
import sys
from pathlib import Path

import numpy as np

import vexmira
from vexmira_tools.mb_type_colours import MB_TYPE_COLOURS

MbType, Partition = vexmira.MbType, vexmira.Partition

QP, TYPE, PARTITION, FIELD, MOTION_L0, MOTION_L1, BITS = range(7)
# (x, y, w, h) of each part of a macroblock, by partition.
PARTS = {Partition.P16X16: [(0, 0, 16, 16)],
         Partition.P16X8: [(0, 0, 16, 8), (0, 8, 16, 8)],
         Partition.P8X16: [(0, 0, 8, 16), (8, 0, 8, 16)],
         Partition.P8X8: [(0, 0, 8, 8), (8, 0, 8, 8), (0, 8, 8, 8), (8, 8, 8, 8)]}
PARTITION_COLOURS = {Partition.P16X16: (31, 119, 180), Partition.P16X8: (255, 127, 14),
                     Partition.P8X16: (44, 160, 44), Partition.P8X8: (214, 39, 40)}
# Quarter pixels: H.264's motion vectors as FFmpeg reports them.
VECTOR_SCALE = 4
INTRA = [MbType.INTRA_4X4, MbType.INTRA_16X16, MbType.INTRA_PCM]


def header(session, name: str, most_bits: int) -> list[str]:
    """The format's header: version, sequence, and each type with how YUView colours it; the
    bits' colour scale runs to the most any macroblock of the frames written spent."""
    # Above 8 bits FFmpeg's QP carries 6 * (bit depth - 8), which takes it up to 63.
    highest_qp = 51 if session.bytes_per_sample == 1 else 63
    lines = ["%;syntax-version;v1.22",
             f"%;seq-specs;{name.replace(';', '_')};0;{session.width};{session.height};{session.fps:g}",
             f"%;type;{QP};QP;range", f"%;defaultRange;0;{highest_qp};jet",
             f"%;type;{TYPE};MacroblockType;map"]
    lines += [f"%;mapColor;{int(kind)};{r};{g};{b};255" for kind, (r, g, b) in MB_TYPE_COLOURS.items()]
    lines += ["%;%;MacroblockType: " + ", ".join(f"{int(kind)} {kind.name}" for kind in MB_TYPE_COLOURS),
              f"%;type;{PARTITION};Partition;map"]
    lines += [f"%;mapColor;{int(part)};{r};{g};{b};255" for part, (r, g, b) in PARTITION_COLOURS.items()]
    lines += ["%;%;Partition: " + ", ".join(f"{int(part)} {part.name}" for part in PARTITION_COLOURS)
              + "; one block per part, motion-compensated macroblocks only",
              f"%;type;{FIELD};FieldMacroblock;map", "%;mapColor;1;255;255;0;255",
              f"%;type;{MOTION_L0};MotionL0;vector", "%;vectorColor;255;0;0;255", f"%;scaleFactor;{VECTOR_SCALE}",
              f"%;type;{MOTION_L1};MotionL1;vector", "%;vectorColor;0;0;255;255", f"%;scaleFactor;{VECTOR_SCALE}",
              f"%;type;{BITS};Bits;range", f"%;defaultRange;0;{max(most_bits, 1)};heat",
              "%;%;Bits: header, prediction and residual bits of each macroblock the parser read"]
    return lines


class FrameRows:
    """The data rows of one frame, each block cut to the picture."""

    def __init__(self, poc: int, width: int, height: int):
        self.poc, self.width, self.height = poc, width, height
        self.lines: list[str] = []

    def add(self, x: int, y: int, w: int, h: int, kind: int, *values: int) -> None:
        w, h = min(w, self.width - x), min(h, self.height - y)
        if x >= 0 and y >= 0 and w > 0 and h > 0:
            self.lines.append(";".join(str(int(v)) for v in (self.poc, x, y, w, h, kind, *values)))


def add_macroblocks(rows: FrameRows, qp_map: np.ndarray, types: np.ndarray) -> None:
    for (row, column), qp in np.ndenumerate(qp_map):
        if qp >= 0:
            rows.add(16 * column, 16 * row, 16, 16, QP, qp)
    for (row, column), cell in np.ndenumerate(types):
        x, y, kind = 16 * column, 16 * row, int(cell["type"])
        if kind == MbType.UNKNOWN:
            continue
        rows.add(x, y, 16, 16, TYPE, kind)
        if kind not in INTRA and cell["partition"] in PARTS:
            for dx, dy, w, h in PARTS[Partition(cell["partition"])]:
                rows.add(x + dx, y + dy, w, h, PARTITION, cell["partition"])
        if cell["interlaced"]:
            rows.add(x, y, 16, 16, FIELD, 1)


def add_vectors(rows: FrameRows, vectors: np.ndarray) -> None:
    """Each block from its centre (dst) towards where it was predicted from (src), as FFmpeg's
    motion_x and motion_y point, in quarter pixels."""
    for vector in vectors:
        w, h = int(vector["w"]), int(vector["h"])
        scale = int(vector["motion_scale"])
        rows.add(int(vector["dst_x"]) - w // 2, int(vector["dst_y"]) - h // 2, w, h,
                 MOTION_L0 if vector["source"] < 0 else MOTION_L1,
                 int(vector["motion_x"]) * VECTOR_SCALE // scale, int(vector["motion_y"]) * VECTOR_SCALE // scale)


def macroblock_bits(syntaxes: np.ndarray) -> np.ndarray:
    """Bits each macroblock spent, -1 where the parser did not read it."""
    bits = syntaxes["bits_header"].astype(np.int64) + syntaxes["bits_prediction"] + syntaxes["bits_residual"]
    return np.where(syntaxes["parsed"], bits, -1)


def add_bits(rows: FrameRows, bits: np.ndarray) -> None:
    for (row, column), value in np.ndenumerate(bits):
        if value >= 0:
            rows.add(16 * column, 16 * row, 16, 16, BITS, value)


def write_yuview_csv(path: str, output: Path, frames: slice = slice(None)) -> list[int]:
    """Writes the file for the frames the slice picks; returns those the decoder did not produce."""
    session = vexmira.H264DecoderSession(path, mb_types=True, motion_vectors=True)
    wanted = range(session.num_frames)[frames]
    bits = macroblock_bits(session.get_mb_syntaxes(list(wanted)))
    missing = []
    with Path(output).open("w", newline="\n") as file:
        file.write("\n".join(header(session, Path(path).name, int(bits.max(initial=0)))) + "\n")
        for index, frame_bits in zip(wanted, bits):
            rows = FrameRows(index, session.width, session.height)
            try:
                add_macroblocks(rows, session.get_qpmap(index), session.get_mbtype_map(index))
                add_vectors(rows, session.get_motion_vectors(index))
            except RuntimeError:
                missing.append(index)
                continue
            add_bits(rows, frame_bits)
            file.writelines(line + "\n" for line in rows.lines)
    return missing


def frame_range(text: str) -> slice:
    first, separator, end = text.partition(":")
    if not separator:
        raise argparse.ArgumentTypeError("--frames takes A:B, either side may be left out")
    return slice(int(first) if first else None, int(end) if end else None)


def main(argv) -> int:
    parser = argparse.ArgumentParser(prog="vexmira-stats --yuview", description=__doc__.split("\n\n")[1])
    parser.add_argument("--yuview", required=True, metavar="FILE", help="the H.264 file")
    parser.add_argument("-o", "--output", required=True, type=Path, help="out.csv")
    parser.add_argument("--frames", type=frame_range, default=slice(None), metavar="A:B",
                        help="frames A to B-1, as a Python slice (default: all)")
    args = parser.parse_args(argv)
    if args.output.suffix.lower() != ".csv":
        parser.error("the output must end in .csv")
    try:
        missing = write_yuview_csv(args.yuview, args.output, args.frames)
    except (RuntimeError, ValueError) as error:
        print(f"vexmira-stats: {args.yuview}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    if missing:
        print(f"vexmira-stats: no picture for frames {missing} of {args.yuview}", file=sys.stderr)
    return 1 if missing else 0
