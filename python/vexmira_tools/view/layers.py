"""What the page can draw over a frame, read per frame from a session as compact binary: each
layer is one entry here and one in the page's overlay list (static/overlays.js)."""

from dataclasses import dataclass
from typing import Callable

import numpy as np


@dataclass(frozen=True)
class Layer:
    # The array the page receives, row-major, little-endian.
    read: Callable[[object, int], np.ndarray]
    dtype: str
    available: Callable[[object], bool] = lambda session: True


def mb_types(session, index: int) -> np.ndarray:
    """(type, partition) per macroblock, interleaved."""
    types = session.get_mbtype_map(index)
    return np.stack([types["type"], types["partition"]], axis=-1)


# Per vector: list (0 past, 1 future), block width and height, where it lies (dst) and where
# its prediction came from (src), in pixels.
def motion_vectors(session, index: int) -> np.ndarray:
    vectors = session.get_motion_vectors(index)
    return np.stack([(vectors["source"] > 0).astype(np.int16), vectors["w"], vectors["h"], vectors["dst_x"],
                     vectors["dst_y"], vectors["src_x"], vectors["src_y"]], axis=-1)


def mb_bits(session, index: int) -> np.ndarray:
    """Bits each macroblock took (header, prediction and residual), -1 where the syntax could
    not be read."""
    syntax = session.get_mb_syntax(index)
    bits = sum(syntax[part].astype(np.float32) for part in ("bits_header", "bits_prediction", "bits_residual"))
    return np.where(syntax["parsed"], bits, -1)


LAYERS = {
    "qp": Layer(lambda session, index: session.get_qpmap(index), "<i1"),
    "mbtype": Layer(mb_types, "<u1"),
    "mv": Layer(motion_vectors, "<i2"),
    "bits": Layer(mb_bits, "<f4", lambda session: hasattr(session, "get_mb_syntax")),
}


def layer_bytes(name: str, session, index: int) -> bytes:
    layer = LAYERS[name]
    return np.ascontiguousarray(layer.read(session, index), dtype=layer.dtype).tobytes()


def available_layers(session) -> list[str]:
    return [name for name, layer in LAYERS.items() if layer.available(session)]
