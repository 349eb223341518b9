"""A Matroska file written from a raw H.264 stream of field pictures with both fields of each
frame in one block, which FFmpeg's muxers never write from a raw stream: its parser cuts a
packet at each field. Only what FFmpeg's demuxer needs: the EBML header, and a segment of
info, one video track (its avcC record) and one cluster of simple blocks."""

import struct

from bitstream_edit import PPS, SPS, Stream, nal_type


def element(identifier: int, payload: bytes) -> bytes:
    """An EBML element: its ID, its size as an 8-byte variable-length integer, its payload."""
    size = (1 << 56) | len(payload)
    return identifier.to_bytes((identifier.bit_length() + 7) // 8, "big") + size.to_bytes(8, "big") + payload


def unsigned(identifier: int, value: int) -> bytes:
    return element(identifier, value.to_bytes(max(1, (value.bit_length() + 7) // 8), "big"))


def avc_configuration(sps: bytes, pps: bytes) -> bytes:
    """The avcC record (ISO/IEC 14496-15) of one sequence and one picture parameter set, NAL
    units behind 4-byte lengths."""
    return (bytes([1, sps[1], sps[2], sps[3], 0xFF, 0xE1]) + struct.pack(">H", len(sps)) + sps + bytes([1])
            + struct.pack(">H", len(pps)) + pps)


def fields_paired_in_matroska(data: bytes, width: int, height: int, frame_ms: int = 40) -> bytes:
    """The stream's pictures two by two (the fields of a frame) in one block each, a frame
    every `frame_ms` milliseconds; its first parameter sets in the track's avcC record."""
    stream = Stream(data)
    parameter_sets: dict[int, bytes] = {}
    frames: list[list[bytes]] = []
    pending: list[bytes] = []
    for unit, header, picture in stream.walk():
        nal = unit[3:].rstrip(b"\x00")
        if nal_type(unit) in (SPS, PPS):
            parameter_sets.setdefault(nal_type(unit), nal)
        if header is None:
            pending.append(nal)
            continue
        while len(frames) <= picture // 2:
            frames.append([])
        frames[picture // 2] += pending + [nal]
        pending = []
    blocks = b"".join(
        element(0xA3, bytes([0x81]) + struct.pack(">hB", number * frame_ms, 0x80 if number == 0 else 0)
                + b"".join(struct.pack(">I", len(nal)) + nal for nal in units))
        for number, units in enumerate(frames))
    track = element(0xAE, unsigned(0xD7, 1) + unsigned(0x73C5, 1) + unsigned(0x83, 1)
                    + element(0x86, b"V_MPEG4/ISO/AVC") + element(0x63A2, avc_configuration(parameter_sets[SPS],
                                                                                          parameter_sets[PPS]))
                    + element(0xE0, unsigned(0xB0, width) + unsigned(0xBA, height)))
    header = element(0x1A45DFA3, unsigned(0x4286, 1) + unsigned(0x42F7, 1) + unsigned(0x42F2, 4)
                     + unsigned(0x42F3, 8) + element(0x4282, b"matroska") + unsigned(0x4287, 4)
                     + unsigned(0x4285, 2))
    segment = element(0x18538067, element(0x1549A966, unsigned(0x2AD7B1, 1_000_000))
                      + element(0x1654AE6B, track) + element(0x1F43B675, unsigned(0xE7, 0) + blocks))
    return header + segment
