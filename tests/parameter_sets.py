"""Rewrites the chroma QP offsets of the picture parameter sets of an Annex B H.264 stream.

x264 always writes second_chroma_qp_index_offset (Cr) equal to chroma_qp_index_offset (Cb),
so a stream whose two offsets differ has to be made by editing one of its streams."""

import re

from bitstream_edit import (BitReader, BitWriter, escape_emulation, signed_exp_golomb, stop_bit_position,
                            write_signed_exp_golomb)

PPS_NAL_TYPE = 8


def copy_bits(reader: BitReader, writer: BitWriter, count: int) -> None:
    writer.bits(count, reader.bits(count))


def copy_exp_golomb(reader: BitReader, writer: BitWriter, count: int = 1) -> None:
    for _ in range(count):
        writer.exp_golomb(reader.exp_golomb())


def pps_with_chroma_offsets(nal: bytes, cb: int, cr: int) -> bytes:
    """The PPS NAL unit with these offsets and otherwise the same, extension fields included:
    the Cr offset lives in them, so a PPS without them gets them, with no 8x8 transform and
    no scaling matrices. A single slice group and no scaling matrices are assumed (x264's)."""
    payload = nal[1:].replace(b"\x00\x00\x03", b"\x00\x00")
    reader, writer = BitReader(payload), BitWriter()
    copy_exp_golomb(reader, writer, 2)  # pic and seq parameter set ids
    copy_bits(reader, writer, 2)  # entropy coding mode, field order flag
    assert reader.exp_golomb() == 0, "slice groups"
    writer.exp_golomb(0)
    copy_exp_golomb(reader, writer, 2)  # default reference counts
    copy_bits(reader, writer, 3)  # weighted prediction flags
    for _ in range(2):  # initial QP and QS
        write_signed_exp_golomb(writer, signed_exp_golomb(reader))
    signed_exp_golomb(reader)
    write_signed_exp_golomb(writer, cb)
    copy_bits(reader, writer, 3)  # deblocking control, constrained intra, redundant count
    transform_8x8 = 0
    if reader.position < stop_bit_position(payload):
        transform_8x8 = reader.bits(1)
        assert reader.bits(1) == 0, "scaling matrices"
        signed_exp_golomb(reader)
    writer.bits(1, transform_8x8)
    writer.bits(1, 0)
    write_signed_exp_golomb(writer, cr)
    writer.bits(1, 1)
    return nal[:1] + escape_emulation(writer.payload())


def with_chroma_offsets(annex_b: bytes, cb: int, cr: int) -> bytes:
    parts = re.split(b"(\x00\x00\x01)", annex_b)
    return b"".join(pps_with_chroma_offsets(part, cb, cr)
                    if part and part[0] & 0x1F == PPS_NAL_TYPE and not part.startswith(b"\x00\x00") else part
                    for part in parts)
