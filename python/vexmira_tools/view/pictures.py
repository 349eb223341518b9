"""A frame's planes as the page receives them: luma, then the two chroma planes, each cut to
its picture area and packed without padding, 8 bits per sample. The page converts them to RGB
itself (static/colour.js): three planes of 8 bits are 1.5 bytes a pixel at 4:2:0 against
RGBA's 4 and cost the server nothing but a copy, where encoding PNG would cost it tens of
milliseconds per 720p picture."""

import re

import numpy as np

# Chroma plane size from the luma one, per FFmpeg pixel format family.
SUBSAMPLING = {"420": (2, 2), "422": (2, 1), "440": (1, 2), "444": (1, 1)}


def picture_layout(pix_fmt: str, width: int, height: int) -> dict:
    """Bit depth, whether samples use the full range, and the chroma planes' size (0 for a
    format the page shows as grey from its luma plane alone)."""
    found = re.fullmatch(r"yuvj?(4[24][024])p(\d+)?(le|be)?", pix_fmt)
    depth = int(found.group(2) or 8) if found else 8
    across, down = SUBSAMPLING[found.group(1)] if found else (0, 0)
    return {"width": width, "height": height, "depth": depth, "full_range": pix_fmt.startswith("yuvj"),
            "chroma_width": -(-width // across) if across else 0, "chroma_height": -(-height // down) if down else 0}


def eight_bits(plane: np.ndarray, depth: int) -> np.ndarray:
    return plane if depth == 8 else (plane >> (depth - 8)).astype(np.uint8)


def picture_bytes(session, index: int, layout: dict) -> bytes:
    sizes = [(layout["height"], layout["width"])]
    if layout["chroma_width"]:
        sizes += [(layout["chroma_height"], layout["chroma_width"])] * 2
    parts = [eight_bits(session.get_plane_data(index, plane)[:rows, :columns], layout["depth"])
             for plane, (rows, columns) in enumerate(sizes)]
    return b"".join(np.ascontiguousarray(part).tobytes() for part in parts)
