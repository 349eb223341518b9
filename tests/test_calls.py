"""How the methods take their arguments and what they say of wrong ones: frames first and
threads by keyword in every batch method, one number meaning that one frame; one-line errors
that name the argument and the valid range; a frame the decoder makes nothing of."""

import numpy as np
import pytest

import vexmira
from oracle import reference_qp_maps

BATCHES = {
    "get_qpmaps": lambda s, *a, **k: s.get_qpmaps(*a, **k),
    "get_mbtype_maps": lambda s, *a, **k: s.get_mbtype_maps(*a, **k),
    "get_planes": lambda s, *a, **k: s.get_planes(*a, 0, **k),
    "frame_stats": lambda s, *a, **k: s.frame_stats(*a, **k)["frame"],
}


@pytest.fixture(scope="module")
def session(media):
    return vexmira.H264DecoderSession(str(media("mp4")), mb_types=True)


@pytest.mark.parametrize("method", BATCHES)
def test_one_number_is_that_one_frame(session, method):
    call = BATCHES[method]
    one = call(session, 5, threads=2)
    assert len(one) == 1
    assert np.array_equal(one, call(session, [5], threads=2))
    assert np.array_equal(call(session, np.int64(7)), call(session, [7]))
    with pytest.raises(TypeError):
        call(session, [5], 2)


def test_one_number_gives_the_reference_map_and_row(session, media):
    maps = reference_qp_maps(media("mp4"), session.mb_rows, session.mb_cols)
    assert session.get_qpmaps(5).tolist() == [maps[5]]
    assert session.frame_stats(5)["qp_max"].tolist() == [max(max(row) for row in maps[5])]


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda s: s.get_qpmap(2**40), IndexError, "Frame index out of bounds: 1099511627776 (frame_idx takes 0 to 35)"),
    (lambda s: s.get_qpmap(-1), IndexError, "Frame index out of bounds: -1 (frame_idx takes 0 to 35)"),
    (lambda s: s.get_qpmap(1.5), TypeError, "frame_idx must be an integer, not float"),
    (lambda s: s.is_damaged("3"), TypeError, "frame_idx must be an integer, not str"),
    (lambda s: s.get_plane_data(0, 7), IndexError, "Invalid plane index: 7 (plane takes 0 to 2 for yuv420p)"),
    (lambda s: s.get_plane_data(0, None), TypeError, "plane must be an integer, not NoneType"),
    (lambda s: s.get_qpmaps([0, 36]), IndexError, "Frame index out of bounds: 36 (frames takes 0 to 35)"),
    (lambda s: s.get_planes(2**70, 0), IndexError, f"Frame index out of bounds: {2**70} (frames takes 0 to 35)"),
    (lambda s: s.get_qpmaps(1.5), TypeError,
     "frames must be None, a frame number or an iterable of frame numbers, not float"),
    (lambda s: s.frame_stats(["0"]), TypeError, "frames must be an integer, not str"),
    (lambda s: s.get_mbtype_maps(threads=0.5), TypeError, "threads must be an integer, not float"),
    (lambda s: s.get_qpmaps(undecodable="skip"), ValueError, 'undecodable must be "raise" or "mark", not "skip"'),
])
def test_wrong_arguments_get_one_line_naming_them(session, call, error, message):
    with pytest.raises(error) as raised:
        call(session)
    assert str(raised.value) == message


def test_a_frame_without_picture_is_damaged_and_marked_on_request(undecodable):
    path, u = undecodable
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    assert session.is_damaged(u)
    with pytest.raises(RuntimeError, match=f"^Failed to decode frame {u}$"):
        session.get_qpmap(u)
    with pytest.raises(RuntimeError, match=f"^Failed to decode frame {u}$"):
        session.get_qpmaps(threads=2)
    reference = reference_qp_maps(path, session.mb_rows, session.mb_cols)
    stats = session.frame_stats(threads=2)
    for threads in (1, 3):
        maps = session.get_qpmaps(undecodable="mark", threads=threads)
        assert (maps[u] == -1).all()
        # The frames of the intervals before u's are untouched by it.
        first_of_u = session.key_frame_intervals()[session.key_frame_intervals() <= u][-1]
        assert maps[:first_of_u].tolist() == reference[:first_of_u]
        assert (maps[stats["damaged"]] == -1).all()
        types = session.get_mbtype_maps(undecodable="mark", threads=threads)
        assert (types[u]["type"] == vexmira.MbType.UNKNOWN).all()
        assert (types[:first_of_u]["type"] != vexmira.MbType.UNKNOWN).all()
