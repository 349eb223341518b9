"""The four frame methods as a caller meets them: results that are new arrays, exact errors,
and copies into memory the caller owns."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vexmira
from oracle import plane_sizes, pps_chroma_offsets, reference_qp_maps
from thread_probe import probe

TIMEOUT = 120 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))


@pytest.fixture(scope="module")
def session(media):
    return vexmira.H264DecoderSession(str(media("mp4")))


@pytest.fixture(scope="module")
def reference_planes(media, reference_pictures):
    """reference_planes(clip, frame): the ffmpeg tool's three planes of that frame, picture
    area only, as arrays of the module's sample type."""
    def of(clip, index):
        session = vexmira.H264DecoderSession(str(media(clip)))
        dtype = np.uint16 if session.bytes_per_sample == 2 else np.uint8
        packed = np.frombuffer(reference_pictures(clip)[index], dtype)
        planes, start = [], 0
        for columns, rows in plane_sizes(session.width, session.height, session.pix_fmt):
            planes.append(packed[start:start + rows * columns].reshape(rows, columns))
            start += rows * columns
        return planes
    return of


class TestResults:
    def test_arrays_are_new_owning_and_writeable(self, session):
        for array in (session.get_qpmap(3), session.get_plane_data(3, 0), session.get_plane_data(3, 2)):
            assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
            assert array.base is None

    def test_writing_into_a_result_changes_nothing_else(self, session):
        first, second = session.get_qpmap(4), session.get_qpmap(4)
        assert first is not second and np.array_equal(first, second)
        first[:] = -7
        assert not (session.get_qpmap(4) == -7).any()
        plane = session.get_plane_data(4, 0)
        plane[:] = 0
        assert session.get_plane_data(4, 0).any()

    def test_plane_shapes_carry_the_row_padding(self, session, media):
        luma, cb, cr = (session.get_plane_data(0, plane) for plane in range(3))
        assert luma.dtype == np.uint8 and luma.shape[0] == 48 and luma.shape[1] >= 64
        assert cb.shape[0] == cr.shape[0] == 24 and cb.shape[1] >= 32

        deep = vexmira.H264DecoderSession(str(media("mp4_10bit")))
        assert deep.bytes_per_sample == 2
        luma = deep.get_plane_data(0, 0)
        assert luma.dtype == np.uint16 and luma.shape[0] == 48 and luma.shape[1] >= 64
        assert luma[:, :64].max() < 1024, "10-bit samples in 16-bit words"

    def test_row_padding_is_zero_however_often_a_frame_is_decoded(self, media):
        # The decoder leaves the bytes past the width as whichever picture used the buffer
        # last; decoded again, a frame would bring other bytes there.
        session = vexmira.H264DecoderSession(str(media("mp4_long")))
        for _ in range(2):
            for index in [10, 11, 12] + list(range(90, 100)) + [10, 11, 12]:
                for plane, (columns, _) in enumerate(plane_sizes(session.width, session.height, session.pix_fmt)):
                    data = session.get_plane_data(index, plane)
                    assert data.shape[1] > columns and not data[:, columns:].any(), (index, plane)

    def test_odd_sizes_round_chroma_and_macroblocks_up(self, media):
        session = vexmira.H264DecoderSession(str(media("mp4_34x18")))
        assert session.get_qpmap(0).shape == (2, 3)
        assert session.get_plane_data(0, 1).shape[0] == 9

    def test_numpy_integers_are_accepted(self, session, media, reference_planes):
        path = media("mp4")
        assert session.get_qpmap(np.int64(2)).tolist() == reference_qp_maps(path, 3, 4)[2]
        assert session.get_chroma_qp_offset(frame_idx=np.int32(2)) == pps_chroma_offsets(path)
        cb = reference_planes("mp4", 7)[1]
        assert np.array_equal(session.get_plane_data(np.int16(7), np.uint8(1))[:, :32], cb)
        buffer = np.zeros_like(cb)
        session.copy_plane_to_ptr(np.int64(7), np.int32(1), np.uint64(buffer.ctypes.data), np.int32(32))
        assert np.array_equal(buffer, cb)


class TestErrors:
    @pytest.mark.parametrize("index", [-1, 36, 2**31 - 1, -2**31])
    def test_frame_numbers_outside_the_file(self, session, index):
        for call in (lambda: session.get_qpmap(index), lambda: session.get_plane_data(index, 0),
                     lambda: session.get_chroma_qp_offset(index),
                     lambda: session.copy_plane_to_ptr(index, 0, 1, 64)):
            with pytest.raises(IndexError, match=f"^Frame index out of bounds: {index} \\("):
                call()

    @pytest.mark.parametrize("plane", [-1, 3, 100])
    def test_plane_numbers_outside_the_format(self, session, plane):
        buffer = np.full((48, 64), 9, dtype=np.uint8)
        with pytest.raises(IndexError, match="^Invalid plane index: "):
            session.get_plane_data(0, plane)
        with pytest.raises(IndexError, match="^Invalid plane index: "):
            session.copy_plane_to_ptr(0, plane, buffer.ctypes.data, 64)
        assert (buffer == 9).all()

    def test_frame_number_is_checked_before_plane_number(self, session):
        with pytest.raises(IndexError, match="^Frame index out of bounds: -1 \\("):
            session.get_plane_data(-1, 7)

    @pytest.mark.parametrize("argument", [0.0, 1.5, None, "0"])
    def test_arguments_that_do_not_convert(self, session, argument):
        with pytest.raises(TypeError):
            session.get_qpmap(argument)
        with pytest.raises(TypeError):
            session.get_plane_data(0, argument)

    @pytest.mark.parametrize("address", [-1, 2**64])
    def test_addresses_that_do_not_convert(self, session, address):
        with pytest.raises(TypeError):
            session.copy_plane_to_ptr(0, 0, address, 64)

    def test_null_address_and_negative_stride_are_refused(self, session):
        buffer = np.full((48, 64), 9, dtype=np.uint8)
        with pytest.raises(ValueError, match="dst_ptr"):
            session.copy_plane_to_ptr(0, 0, 0, 64)
        with pytest.raises(ValueError, match="dst_stride"):
            session.copy_plane_to_ptr(0, 0, buffer.ctypes.data, -64)
        assert (buffer == 9).all()


# Run in a child process: a destination offset cut to 32 bits writes 2 GiB before the
# buffer, which ends the process. The rows are written to standard output.
COPY_PAST_TWO_GIB = """
import sys
import numpy as np
import vexmira
session = vexmira.H264DecoderSession(sys.argv[1])
frame, stride = int(sys.argv[2]), 1 << 26
# Zeroed pages are mapped only when written: the 3 GiB cost one page per row.
buffer = np.zeros(session.height * stride, np.uint8)
session.copy_plane_to_ptr(frame, 0, buffer.ctypes.data, stride)
rows = buffer.reshape(session.height, stride)[:, :2 * session.width]
sys.stdout.buffer.write(np.ascontiguousarray(rows).tobytes())
"""


class TestCopyPlaneToPtr:
    def test_packed_copy_equals_the_picture_area(self, session, reference_planes):
        for plane, expected in enumerate(reference_planes("mp4", 0)):
            buffer = np.zeros_like(expected)
            assert session.copy_plane_to_ptr(0, plane, buffer.ctypes.data, expected.shape[1]) is None
            assert np.array_equal(buffer, expected)

    def test_keywords_and_sixteen_bit_samples(self, media, reference_planes):
        deep = vexmira.H264DecoderSession(str(media("mp4_10bit")))
        buffer = np.zeros((48, 64), dtype=np.uint16)
        deep.copy_plane_to_ptr(frame_idx=1, plane=0, dst_ptr=buffer.ctypes.data, dst_stride=128)
        assert np.array_equal(buffer, reference_planes("mp4_10bit", 1)[0])

    def test_wider_rows_keep_their_tail(self, session, reference_planes):
        buffer = np.full((48, 80), 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 80)
        assert np.array_equal(buffer[:, :64], reference_planes("mp4", 5)[0])
        assert (buffer[:, 64:] == 7).all()

    def test_narrower_rows_get_their_first_bytes(self, session, reference_planes):
        buffer = np.full(48 * 40 + 16, 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 40)
        assert np.array_equal(buffer[:48 * 40].reshape(48, 40), reference_planes("mp4", 5)[0][:, :40])
        assert (buffer[48 * 40:] == 7).all()

    def test_rows_past_two_gib_into_a_sparse_destination(self, media, reference_planes):
        frame = 9
        command = [sys.executable, "-X", "faulthandler", "-c", COPY_PAST_TWO_GIB, str(media("mp4")), str(frame)]
        result = subprocess.run(command, capture_output=True, timeout=TIMEOUT)
        output = result.stderr.decode(errors="replace")[-3000:]
        assert result.returncode == 0, f"the child process ended with status {result.returncode}:\n{output}"
        rows = np.frombuffer(result.stdout, np.uint8).reshape(48, 128)
        assert np.array_equal(rows[:, :64], reference_planes("mp4", frame)[0])
        assert not rows[:, 64:].any(), "nothing written past each row's picture"

    def test_zero_stride_writes_nothing(self, session):
        buffer = np.full(64, 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 0)
        assert (buffer == 7).all()


def test_threads_sharing_one_session_see_the_right_frames(media, reference_answers, tmp_path):
    # Four threads on a Matroska file, beside test_threads' eight on MP4 and MPEG-TS.
    assert probe(media("mkv_long"), reference_answers("mkv_long"), tmp_path, "shared", 4, 30, 1000) == []
