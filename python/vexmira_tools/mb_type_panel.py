"""The demo's macroblock-type panel (examples/demo.py): one colour per type over the frame's
grid, partitions drawn as lines inside the macroblocks, and a legend of the types the frame
has. Matplotlib is needed only to draw (the demo extra)."""

import numpy as np

import vexmira
from vexmira_tools.mb_type_colours import MB_TYPE_COLOURS

MbType, Partition = vexmira.MbType, vexmira.Partition
UNKNOWN_COLOUR = (0, 0, 0)
# Where each partition divides a macroblock: vertical and horizontal lines, in its own units.
DIVIDERS = {Partition.P16X8: ([], [0.5]), Partition.P8X16: ([0.5], []), Partition.P8X8: ([0.5], [0.5])}


def coloured(types: np.ndarray) -> np.ndarray:
    """An RGB picture with one pixel per macroblock."""
    picture = np.empty(types.shape + (3,), dtype=np.uint8)
    picture[:] = UNKNOWN_COLOUR
    for kind, colour in MB_TYPE_COLOURS.items():
        picture[types == kind] = colour
    return picture


def draw_partitions(axes, partitions: np.ndarray) -> None:
    for (row, column), partition in np.ndenumerate(partitions):
        vertical, horizontal = DIVIDERS.get(partition, ([], []))
        for x in vertical:
            axes.plot([column - 0.5 + x] * 2, [row - 0.5, row + 0.5], color="white", linewidth=0.4)
        for y in horizontal:
            axes.plot([column - 0.5, column + 0.5], [row - 0.5 + y] * 2, color="white", linewidth=0.4)


def draw_mb_types(session, index: int, axes) -> None:
    from matplotlib.patches import Patch

    mb = session.get_mbtype_map(index)
    axes.imshow(coloured(mb["type"]), interpolation="nearest")
    draw_partitions(axes, mb["partition"])
    present = [kind for kind in MB_TYPE_COLOURS if (mb["type"] == kind).any()]
    axes.legend(handles=[Patch(color=np.array(MB_TYPE_COLOURS[kind]) / 255, label=kind.name) for kind in present],
                loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8, frameon=False)
    fields = int(mb["interlaced"].sum())
    axes.set_title(f"frame {index} ({session.get_frame_type(index)}): macroblock types"
                   + (f", {fields} field macroblocks" if fields else ""))
