"""Run as a child process by the tests: opens one file with vexmira, asks for every frame in
several orders with all the frame methods, and prints a JSON report. A crash or a hang
ends only this process, and the test that started it fails instead of the whole run.

Usage: frame_probe.py VIDEO EXPECTED
The report also holds every frame's QP map, None for a frame that raised, asked for in
order on a session of their own. EXPECTED is a pickle of, for each frame number, the pictures the frame may be: a list of
(width, height, (y, cb, cr)) with tightly packed 8-bit 4:2:0 planes. An empty list means
that the frame cannot be decoded and every method must raise for it.
"""

import json
import pickle
import random
import sys

import numpy as np

import vexmira

ORDERS = {
    "sequential": lambda n: list(range(n)),
    "reverse": lambda n: list(range(n))[::-1],
    "random": lambda n: random.Random(11).sample(range(n), n),
    "sequential, read ahead": lambda n: list(range(n)),
}
# Sessions of an order that reads ahead on two decoders whatever the machine's load, which the
# automatic setting of the other orders heeds.
READ_AHEAD = {"sequential, read ahead": 2}
PLANES = 3
GUARD_ROWS = 2
SENTINEL = 0xA5
PICTURE_TYPES = {"I", "P", "B", "S", "SI", "SP", "BI", "?"}


def describe(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def plane_sizes(width: int, height: int) -> list[tuple[int, int]]:
    chroma = ((width + 1) // 2, (height + 1) // 2)
    return [(width, height), chroma, chroma]


def matches(planes: list[np.ndarray], candidate) -> bool:
    width, height, packed = candidate
    for data, (columns, rows), expected in zip(planes, plane_sizes(width, height), packed):
        if data.shape[0] != rows or data.shape[1] < columns:
            return False
        if np.ascontiguousarray(data[:, :columns]).tobytes() != expected:
            return False
    return True


def failure_of_every_method(session, index: int, first: BaseException) -> str:
    """A frame that fails must fail the same way whichever method asks for it."""
    scratch = np.zeros(16, np.uint8)
    calls = [lambda: session.get_chroma_qp_offset(index), lambda: session.get_plane_data(index, 0),
             lambda: session.copy_plane_to_ptr(index, 0, scratch.ctypes.data, 0),
             lambda: session.get_frame_type(index), lambda: session.is_key_frame(index),
             lambda: session.get_motion_vectors(index), lambda: session.get_mv_field(index)]
    for call in calls:
        try:
            call()
        except Exception as error:  # noqa: BLE001 - every error is reported
            if describe(error) != describe(first):
                return f"raised {describe(first)}, then {describe(error)}"
        else:
            return f"raised {describe(first)}, then returned"
    return f"raised {describe(first)}"


def copied_plane_problem(session, index: int, plane: int, expected: np.ndarray) -> str | None:
    rows, columns = expected.shape
    buffer = np.full((rows + GUARD_ROWS, columns), SENTINEL, np.uint8)
    session.copy_plane_to_ptr(index, plane, buffer.ctypes.data, columns)
    if not np.array_equal(buffer[:rows], expected):
        return f"copy_plane_to_ptr plane {plane} differs from the picture"
    if (buffer[rows:] != SENTINEL).any():
        return f"copy_plane_to_ptr plane {plane} wrote past the picture's rows"
    return None


def refused_copy_problem(session, index: int) -> str | None:
    """A picture of another size than the session's does not fit a destination sized from
    the session's facts, so copying it must be refused without writing anything."""
    columns, rows = plane_sizes(session.width, session.height)[0]
    buffer = np.full((rows + GUARD_ROWS, columns), SENTINEL, np.uint8)
    try:
        session.copy_plane_to_ptr(index, 0, buffer.ctypes.data, columns)
    except ValueError:
        return None if (buffer == SENTINEL).all() else "a refused copy_plane_to_ptr wrote into the buffer"
    return "copy_plane_to_ptr copied a picture of another size than the session's"


def picture_problem(session, index: int, candidates) -> str | None:
    planes = [session.get_plane_data(index, plane) for plane in range(PLANES)]
    if not candidates:
        return "returned a picture where the ffmpeg tool decodes none"
    picture = next((candidate for candidate in candidates if matches(planes, candidate)), None)
    if picture is None:
        shapes = [plane.shape for plane in planes]
        sizes = [(width, height) for width, height, _ in candidates]
        return f"picture differs from the ffmpeg tool's (planes {shapes}, reference sizes {sizes})"
    width, height, _ = picture
    if (width, height) != (session.width, session.height):
        problem = refused_copy_problem(session, index)
    else:
        copies = (copied_plane_problem(session, index, plane, planes[plane][:, :columns])
                  for plane, (columns, _) in enumerate(plane_sizes(width, height)))
        problem = next(filter(None, copies), None)
    if problem:
        return problem
    qp_map = session.get_qpmap(index)
    if qp_map.shape != ((height + 15) // 16, (width + 15) // 16):
        return f"QP map of shape {qp_map.shape} for a {width}x{height} picture"
    if qp_map.min() < -1 or qp_map.max() > 63:
        return f"QP values outside -1..63: {qp_map.min()}..{qp_map.max()}"
    offsets = session.get_chroma_qp_offset(index)
    if len(offsets) != 2 or not all(-12 <= offset <= 12 for offset in offsets):
        return f"chroma QP offsets out of range: {offsets}"
    return prediction_problem(session, index, width, height)


def prediction_problem(session, index: int, width: int, height: int) -> str | None:
    kind, key = session.get_frame_type(index), session.is_key_frame(index)
    if kind not in PICTURE_TYPES or not isinstance(key, bool):
        return f"picture type {kind!r}, key flag {key!r}"
    vectors = session.get_motion_vectors(index)
    if not set(vectors["source"].tolist()) <= {-1, 1} or (vectors["motion_scale"] == 0).any():
        return "motion vectors with a direction other than -1 or 1, or without scale"
    field = session.get_mv_field(index)
    if field.shape != (2, 2, (height + 15) // 16 * 4, (width + 15) // 16 * 4):
        return f"motion field of shape {field.shape} for a {width}x{height} picture"
    return None


def extra_plane_problem(session, index: int) -> str | None:
    try:
        session.get_plane_data(index, PLANES)
    except IndexError as error:
        return None if str(error).startswith("Invalid plane index:") else describe(error)
    return f"plane {PLANES} of a 4:2:0 picture was returned"


def outcome(session, index: int, candidates) -> str:
    """'picture' when every method gave the frame's picture, 'raised ...' when every
    method raised the same error, otherwise what went wrong."""
    try:
        session.get_qpmap(index)
    except Exception as error:  # noqa: BLE001 - every error is reported
        return failure_of_every_method(session, index, error)
    try:
        problem = picture_problem(session, index, candidates) or extra_plane_problem(session, index)
    except Exception as error:  # noqa: BLE001 - every error is reported
        problem = f"after a picture: {describe(error)}"
    return problem or "picture"


def qp_map_or_none(session, index: int) -> list[list[int]] | None:
    try:
        return session.get_qpmap(index).tolist()
    except RuntimeError:
        return None


def exact_outcome(session, index: int) -> str:
    """With deblocking="exact" the pictures differ from the ffmpeg tool's unfiltered ones,
    but not which frames decode."""
    try:
        session.get_plane_data(index, 0)
    except Exception as error:  # noqa: BLE001 - every error is reported
        return describe(error)
    return "picture"


def main(video: str, expected_path: str) -> None:
    with open(expected_path, "rb") as file:
        expected = pickle.load(file)
    report = {}
    try:
        session = vexmira.H264DecoderSession(video)
    except Exception as error:  # noqa: BLE001 - every error is reported
        report["open"] = describe(error)
    else:
        report["open"] = "ok"
        report["num_frames"] = session.num_frames
        report["mb_shape"] = [session.mb_rows, session.mb_cols]
        report["qp_maps"] = [qp_map_or_none(session, index) for index in range(session.num_frames)]
        if session.num_frames == len(expected):
            report["outcomes"] = {}
            for order, numbering in ORDERS.items():
                session = vexmira.H264DecoderSession(video, motion_vectors=True, read_ahead=READ_AHEAD.get(order))
                outcomes = {index: outcome(session, index, expected[index]) for index in numbering(len(expected))}
                report["outcomes"][order] = [outcomes[index] for index in range(len(expected))]
            session = vexmira.H264DecoderSession(video, deblocking="exact")
            outcomes = {index: exact_outcome(session, index) for index in ORDERS["random"](len(expected))}
            report["exact_outcomes"] = [outcomes[index] for index in range(len(expected))]
    print(json.dumps(report))


if __name__ == "__main__":
    main(*sys.argv[1:])
