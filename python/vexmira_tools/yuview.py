"""vexmira-stats --yuview FILE -o out.csv [--frames A:B] [--layers qp,types,...]

Writes what vexmira reads of each frame of one H.264 file as a YUView statistics file (its CSV
format), so that YUView draws it over the video: the QP of each macroblock, its type, the
partitions of motion-compensated macroblocks, field macroblocks, the motion vectors from each
list, and the bits each macroblock spent, read from its syntax, each a layer that --layers
chooses. Frames are numbered in presentation order, as
YUView's POC column expects, and each frame's rows are grouped by layer, as its format asks; a
frame the decoder does not produce is left out and reported on stderr. A file of a codec that
gives none of the layers chosen, or a range of no frames, writes nothing and ends with status 1."""

import sys
from collections import defaultdict
from pathlib import Path

import numpy as np

import vexmira
from vexmira_tools.columns import bit_depth
from vexmira_tools.mb_type_colours import MB_TYPE_COLOURS

MbType, Partition = vexmira.MbType, vexmira.Partition

QP, TYPE, PARTITION, FIELD, MOTION_L0, MOTION_L1, BITS = range(7)
# The layers --layers names, and the types of each.
LAYERS = {"qp": [QP], "types": [TYPE], "partitions": [PARTITION], "fields": [FIELD], "motion": [MOTION_L0, MOTION_L1],
          "bits": [BITS]}
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


def highest_qp(session) -> int:
    """The top of the QP colour scale, on the file's own scale: above 8 bits FFmpeg's H.264 QP
    carries 6 * (bit depth - 8), so 10 bits reach 63; MPEG-2's quantiser_scale reaches 112."""
    if session.qp_scale == "mpeg2":
        return 112
    return 51 + 6 * max(bit_depth(session.pix_fmt, session.bytes_per_sample) - 8, 0)


def type_lines(session, kind: int, most_bits: int) -> list[str]:
    """A type's declaration, with how YUView colours it; the bits' colour scale runs to the
    most any macroblock of the frames written spent."""
    if kind == BITS:
        return [f"%;type;{BITS};Bits;range", f"%;defaultRange;0;{max(most_bits, 1)};heat",
                "%;%;Bits: header, prediction and residual bits of each macroblock the parser read"]
    if kind == QP:
        return [f"%;type;{QP};QP;range", f"%;defaultRange;0;{highest_qp(session)};jet"]
    if kind == TYPE:
        return ([f"%;type;{TYPE};MacroblockType;map"]
                + [f"%;mapColor;{int(kind)};{r};{g};{b};255" for kind, (r, g, b) in MB_TYPE_COLOURS.items()]
                + ["%;%;MacroblockType: " + ", ".join(f"{int(kind)} {kind.name}" for kind in MB_TYPE_COLOURS)])
    if kind == PARTITION:
        return ([f"%;type;{PARTITION};Partition;map"]
                + [f"%;mapColor;{int(part)};{r};{g};{b};255" for part, (r, g, b) in PARTITION_COLOURS.items()]
                + ["%;%;Partition: " + ", ".join(f"{int(part)} {part.name}" for part in PARTITION_COLOURS)
                   + "; one block per part, motion-compensated macroblocks only"])
    if kind == FIELD:
        return [f"%;type;{FIELD};FieldMacroblock;map", "%;mapColor;1;255;255;0;255"]
    name, colour = ("MotionL0", "255;0;0;255") if kind == MOTION_L0 else ("MotionL1", "0;0;255;255")
    return [f"%;type;{kind};{name};vector", f"%;vectorColor;{colour}", f"%;scaleFactor;{VECTOR_SCALE}"]


def header(session, name: str, kinds: list[int], most_bits: int) -> list[str]:
    """The format's header: version, sequence, and each type written."""
    lines = ["%;syntax-version;v1.22",
             f"%;seq-specs;{name.replace(';', '_')};0;{session.width};{session.height};{session.fps:g}"]
    return lines + [line for kind in kinds for line in type_lines(session, kind, most_bits)]


class FrameRows:
    """The data rows of one frame, by type, each block cut to the picture."""

    def __init__(self, poc: int, width: int, height: int, kinds: list[int]):
        self.poc, self.width, self.height = poc, width, height
        self.by_type: dict[int, list[str]] = defaultdict(list)
        self.kinds = kinds

    def add(self, x: int, y: int, w: int, h: int, kind: int, *values: int) -> None:
        w, h = min(w, self.width - x), min(h, self.height - y)
        if kind in self.kinds and x >= 0 and y >= 0 and w > 0 and h > 0:
            self.by_type[kind].append(";".join(str(int(v)) for v in (self.poc, x, y, w, h, kind, *values)))

    def lines(self) -> list[str]:
        """Type by type, as YUView reads a frame's rows."""
        return [line for kind in sorted(self.by_type) for line in self.by_type[kind]]


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


def available_kinds(session, kinds: list[int]) -> tuple[list[int], list[str]]:
    """The types of kinds the file's codec gives, and why each other is left out."""
    left_out = []
    if session.qp_scale is None and QP in kinds:
        left_out.append(f"FFmpeg exports no QP for {session.codec}")
        kinds = [kind for kind in kinds if kind != QP]
    if session.codec != "h264" and {TYPE, PARTITION, FIELD, BITS} & set(kinds):
        left_out.append(f"macroblock types and bits are read for H.264 only, not {session.codec}")
        kinds = [kind for kind in kinds if kind not in (TYPE, PARTITION, FIELD, BITS)]
    return kinds, left_out


def write_yuview_csv(session, name: str, output: Path, frames: range, kinds: list[int], bar) -> tuple[list[int], int]:
    """Writes the file for the frames given; returns those the decoder did not produce, and
    how many data rows it wrote."""
    missing, written = [], 0
    bits = macroblock_bits(session.get_mb_syntaxes(list(frames))) if BITS in kinds else None
    with Path(output).open("w", newline="\n") as file:
        file.write("\n".join(header(session, name, kinds, 0 if bits is None else int(bits.max(initial=0)))) + "\n")
        for position, index in enumerate(frames):
            rows = FrameRows(index, session.width, session.height, kinds)
            try:
                if {QP, TYPE, PARTITION, FIELD} & set(kinds):
                    add_macroblocks(rows, session.get_qpmap(index),
                                    session.get_mbtype_map(index) if session.codec == "h264" else np.empty((0, 0)))
                if MOTION_L0 in kinds:
                    add_vectors(rows, session.get_motion_vectors(index))
            except RuntimeError:
                missing.append(index)
                continue
            finally:
                bar.update(1)
            if bits is not None:
                add_bits(rows, bits[position])
            lines = rows.lines()
            file.writelines(line + "\n" for line in lines)
            written += len(lines)
    return missing, written


def frame_range(text: str, frames: int) -> range:
    """A:B as a Python slice of the file's frames; either side may be left out or negative."""
    first, separator, end = text.partition(":")
    if not separator:
        raise ValueError("--frames takes A:B, either side may be left out")
    return range(frames)[slice(int(first) if first else None, int(end) if end else None)]


def layer_kinds(text: str) -> list[int]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in LAYERS]
    if unknown or not names:
        raise ValueError(f"--layers takes some of {','.join(LAYERS)}, not {text!r}")
    return sorted({kind for name in names for kind in LAYERS[name]})


def say(message: str) -> None:
    from tqdm import tqdm
    tqdm.write(f"vexmira-stats: {message}", file=sys.stderr)


def run(path: str, output: Path, frames_text: str, layers_text: str) -> int:
    from tqdm import tqdm
    try:
        kinds = layer_kinds(layers_text)
        session = vexmira.H264DecoderSession(path, mb_types=True, motion_vectors=MOTION_L0 in kinds)
        frames = frame_range(frames_text, session.num_frames)
    except (RuntimeError, ValueError) as error:
        say(f"{path}: {type(error).__name__}: {error}")
        return 1
    kinds, left_out = available_kinds(session, kinds)
    for reason in left_out:
        say(f"warning: {path}: {reason}")
    if not kinds or not frames:
        why = "no layer chosen has data" if not kinds else f"--frames {frames_text} picks none of its " \
                                                           f"{session.num_frames} frames"
        say(f"warning: nothing written for {path}: {why}")
        return 1
    try:
        with tqdm(total=len(frames), unit="frame", file=sys.stderr, disable=not sys.stderr.isatty()) as bar:
            missing, written = write_yuview_csv(session, Path(path).name, output, frames, kinds, bar)
    except KeyboardInterrupt:
        # A file cut short would load in YUView as if its last frames had no data.
        output.unlink(missing_ok=True)
        say(f"interrupted: nothing written for {path}")
        return 130
    if not written:
        output.unlink()
        say(f"warning: nothing written for {path}: its {session.codec} frames gave no data for the layers chosen")
        return 1
    if missing:
        say(f"no picture for frames {missing} of {path}")
    return 1 if missing else 0
