"""Byte-level damage and edits that make bad files out of sound ones: MP4 boxes and their
samples, MPEG-TS packets, raw streams' NAL units and parameter sets."""

import random
import struct
from pathlib import Path
from typing import Callable

from bitstream_edit import SPS, annex_b_units, nal_type, parsed, serialized, sps_syntax


def top_level_boxes(data: bytes) -> dict[bytes, tuple[int, int]]:
    """Offset and size of each top-level MP4 box."""
    boxes, offset = {}, 0
    while offset + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        if size == 1:
            size = struct.unpack(">Q", data[offset + 8:offset + 16])[0]
        elif size == 0:
            size = len(data) - offset
        boxes[kind] = (offset, size)
        offset += size
    return boxes


def slice_nal_units(data: bytes) -> list[tuple[int, int]]:
    """(start, end) of each coded slice in an MP4's mdat, whose samples are NAL units behind
    4-byte lengths; a single video track and nothing else is assumed."""
    offset, size = top_level_boxes(data)[b"mdat"]
    position, end, slices = offset + 8, offset + size, []
    while position + 4 < end:
        length = struct.unpack(">I", data[position:position + 4])[0]
        nal_type = data[position + 4] & 0x1F
        if nal_type in (1, 5):
            slices.append((position + 4, position + 4 + length))
        position += 4 + length
    return slices


def slice_damage(data: bytes, seed: int) -> dict[int, int]:
    """Random bytes for random places in a third of the slices of pictures that are not key
    pictures, past their first bytes so that most slice headers survive and the decoder
    conceals rather than drops: file offset -> new byte."""
    rng = random.Random(seed)
    damage = {}
    for start, end in slice_nal_units(data):
        if data[start] & 0x1F == 1 and end - start > 12 and rng.random() < 0.35:
            for _ in range(rng.randint(1, 4)):
                damage[rng.randrange(start + 8, end)] = rng.randrange(256)
    return damage


def overwritten(data: bytes, damage: dict[int, int]) -> bytes:
    damaged = bytearray(data)
    for offset, byte in damage.items():
        damaged[offset] = byte
    return bytes(damaged)


def overwrite_ts_payload_bytes(data: bytes, seed: int) -> bytes:
    """Random bytes in the payload of video transport packets that continue an access unit:
    slice data, key pictures' included, while the packet headers and the PES headers stay
    intact."""
    rng = random.Random(seed)
    damaged = bytearray(data)
    video_pids = {pid_of(data, offset) for offset in range(0, len(data), 188) if starts_video_pes(data, offset)}
    for offset in range(0, len(data) - 187, 188):
        if pid_of(data, offset) in video_pids and not data[offset + 1] & 0x40 and rng.random() < 0.2:
            payload = offset + 4 + (1 + data[offset + 4] if data[offset + 3] & 0x20 else 0)
            if payload < offset + 188:
                damaged[rng.randrange(payload, offset + 188)] = rng.randrange(256)
    return bytes(damaged)


def pid_of(data: bytes, offset: int) -> int:
    return ((data[offset + 1] & 0x1F) << 8) | data[offset + 2]


def starts_video_pes(data: bytes, offset: int) -> bool:
    payload = offset + 4 + (1 + data[offset + 4] if data[offset + 3] & 0x20 else 0)
    return bool(data[offset + 1] & 0x40) and data[payload:payload + 4] == b"\x00\x00\x01\xe0"


def resized_parameter_set(unit: bytes, macroblocks_wide: int, macroblocks_high: int) -> bytes:
    """A sequence parameter set that declares another picture size and is otherwise the same."""
    values = parsed(unit, sps_syntax)
    values.update(pic_width_in_mbs_minus1=macroblocks_wide - 1, pic_height_in_map_units_minus1=macroblocks_high - 1)
    return serialized(unit, values, sps_syntax)


def with_declared_size(annex_b: bytes, macroblocks_wide: int, macroblocks_high: int) -> bytes:
    return b"".join(resized_parameter_set(unit, macroblocks_wide, macroblocks_high) if nal_type(unit) == SPS else unit
                    for unit in annex_b_units(annex_b))



def without_parameter_sets(units: list[bytes]) -> list[bytes]:
    return [unit for unit in units if nal_type(unit) not in (7, 8)]


def declaring_overflowing_width(units: list[bytes]) -> list[bytes]:
    """Parameter sets 2**28 macroblocks wide: more samples than an int holds."""
    return [resized_parameter_set(unit, 1 << 28, 9) if nal_type(unit) == SPS else unit for unit in units]


def without_first_key_picture(units: list[bytes]) -> list[bytes]:
    """The stream from its first P slices on, with the parameter sets kept in front."""
    first_p = next(i for i, unit in enumerate(units) if nal_type(unit) == 1)
    return [unit for unit in units[:first_p] if nal_type(unit) in (7, 8)] + units[first_p:]


def flipped_slice_bits(seed: int) -> Callable[[list[bytes]], list[bytes]]:
    """A few bits flipped in a third of the slices of pictures that are not key pictures,
    past their headers."""
    def change(units: list[bytes]) -> list[bytes]:
        rng, changed = random.Random(seed), []
        for unit in units:
            if nal_type(unit) == 1 and len(unit) > 16 and rng.random() < 0.35:
                data = bytearray(unit)
                for _ in range(rng.randint(1, 3)):
                    data[rng.randrange(12, len(data))] ^= 1 << rng.randrange(8)
                unit = bytes(data)
            changed.append(unit)
        return changed
    return change



def in_box(name: bytes, fraction: float) -> Callable[[bytes], int]:
    def where(data: bytes) -> int:
        offset, size = top_level_boxes(data)[name]
        return offset + int(size * fraction)
    return where


def fraction_of(fraction: float) -> Callable[[bytes], int]:
    return lambda data: int(len(data) * fraction)


def huge_sample_entry_size(data: bytearray) -> None:
    entry = data.index(b"avc1", data.index(b"stsd"))
    data[entry + 28:entry + 32] = struct.pack(">HH", 0xFFFF, 0xFFFF)


def huge_track_size(data: bytearray) -> None:
    header = data.index(b"tkhd")
    data[header + 80:header + 88] = struct.pack(">II", 0xFFFF0000, 0xFFFF0000)


def huge_mdat_size(data: bytearray) -> None:
    offset, _ = top_level_boxes(bytes(data))[b"mdat"]
    data[offset:offset + 4] = struct.pack(">I", 0xFFFFFFF0)


def huge_sample_count(data: bytearray) -> None:
    sizes = data.index(b"stsz")
    data[sizes + 12:sizes + 16] = struct.pack(">I", 0x7FFFFFFF)


def refer_to_missing_parameter_set(source: Path, target: Path, number: int) -> None:
    """Rewrites the `number`-th slice of an MP4 file so that its header refers to picture
    parameter set 63, which the stream lacks: the packet stays, with its timestamp, and the
    decoder makes no picture of it."""
    data = bytearray(source.read_bytes())
    start, end = slice_nal_units(bytes(data))[number]
    # first_mb_in_slice 0, slice_type 0 (P), pic_parameter_set_id 63, then filler.
    data[start + 1:end] = b"\xc0\x81" + b"\xff" * (end - start - 3)
    target.write_bytes(bytes(data))
