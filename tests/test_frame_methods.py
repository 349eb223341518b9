"""The four frame methods as a caller meets them: results that are new arrays, exact errors,
and copies into memory the caller owns."""

import threading

import numpy as np
import pytest

import vexmira


@pytest.fixture(scope="module")
def session(media):
    return vexmira.H264DecoderSession(str(media("mp4")))


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

    def test_odd_sizes_round_chroma_and_macroblocks_up(self, media):
        session = vexmira.H264DecoderSession(str(media("mp4_34x18")))
        assert session.get_qpmap(0).shape == (2, 3)
        assert session.get_plane_data(0, 1).shape[0] == 9

    def test_numpy_integers_are_accepted(self, session):
        assert np.array_equal(session.get_qpmap(np.int64(2)), session.get_qpmap(2))
        assert session.get_chroma_qp_offset(frame_idx=np.int32(2)) == session.get_chroma_qp_offset(2)


class TestErrors:
    @pytest.mark.parametrize("index", [-1, 36, 2**31 - 1, -2**31])
    def test_frame_numbers_outside_the_file(self, session, index):
        for call in (lambda: session.get_qpmap(index), lambda: session.get_plane_data(index, 0),
                     lambda: session.get_chroma_qp_offset(index),
                     lambda: session.copy_plane_to_ptr(index, 0, 1, 64)):
            with pytest.raises(IndexError, match=f"^Frame index out of bounds: {index}$"):
                call()

    @pytest.mark.parametrize("plane", [-1, 3, 100])
    def test_plane_numbers_outside_the_format(self, session, plane):
        buffer = np.full((48, 64), 9, dtype=np.uint8)
        with pytest.raises(IndexError, match="^Invalid plane index$"):
            session.get_plane_data(0, plane)
        with pytest.raises(IndexError, match="^Invalid plane index$"):
            session.copy_plane_to_ptr(0, plane, buffer.ctypes.data, 64)
        assert (buffer == 9).all()

    def test_frame_number_is_checked_before_plane_number(self, session):
        with pytest.raises(IndexError, match="^Frame index out of bounds: -1$"):
            session.get_plane_data(-1, 7)

    @pytest.mark.parametrize("argument", [0.0, 1.5, 2**31, -2**31 - 1, None, "0"])
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


class TestCopyPlaneToPtr:
    def test_packed_copy_equals_the_picture_area(self, session):
        for plane, (rows, columns) in enumerate([(48, 64), (24, 32), (24, 32)]):
            buffer = np.zeros((rows, columns), dtype=np.uint8)
            assert session.copy_plane_to_ptr(0, plane, buffer.ctypes.data, columns) is None
            assert np.array_equal(buffer, session.get_plane_data(0, plane)[:, :columns])

    def test_keywords_and_sixteen_bit_samples(self, media):
        deep = vexmira.H264DecoderSession(str(media("mp4_10bit")))
        buffer = np.zeros((48, 64), dtype=np.uint16)
        deep.copy_plane_to_ptr(frame_idx=1, plane=0, dst_ptr=buffer.ctypes.data, dst_stride=128)
        assert np.array_equal(buffer, deep.get_plane_data(1, 0)[:, :64])

    def test_wider_rows_keep_their_tail(self, session):
        buffer = np.full((48, 80), 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 80)
        assert np.array_equal(buffer[:, :64], session.get_plane_data(5, 0)[:, :64])
        assert (buffer[:, 64:] == 7).all()

    def test_narrower_rows_get_their_first_bytes(self, session):
        buffer = np.full(48 * 40 + 16, 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 40)
        assert np.array_equal(buffer[:48 * 40].reshape(48, 40), session.get_plane_data(5, 0)[:, :40])
        assert (buffer[48 * 40:] == 7).all()

    def test_zero_stride_writes_nothing(self, session):
        buffer = np.full(64, 7, dtype=np.uint8)
        session.copy_plane_to_ptr(5, 0, buffer.ctypes.data, 0)
        assert (buffer == 7).all()


def test_threads_sharing_one_session_see_the_right_frames(media):
    path = str(media("mp4_long"))
    expected = [vexmira.H264DecoderSession(path).get_plane_data(i, 0) for i in range(0, 100, 9)]
    shared = vexmira.H264DecoderSession(path)
    wrong = []

    def work(offset):
        for k in range(30):
            slot = (offset + 5 * k) % len(expected)
            if not np.array_equal(shared.get_plane_data(slot * 9, 0), expected[slot]):
                wrong.append(slot * 9)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
