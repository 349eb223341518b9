"""Reading and rewriting the NAL units of raw Annex B H.264 streams, to make streams that
x264 cannot write: field pictures, memory-management resets in the middle of a stream, and
parameter sets without a picture.

Parameter sets and slice headers are described once each, by a syntax function that a
Parser runs to read a NAL unit into a dict of named elements and a Serializer runs to write
that dict back. A rewriter parses, changes or adds elements, and serialises: conditions in
the syntax then follow the new values, so an element that a change brings in (field_pic_flag
once frame_mbs_only_flag is 0) is written where it belongs. What follows the last element a
syntax reads (the VUI, slice data) is carried over bit for bit: CAVLC slice data is not byte
aligned, so every NAL is re-packed bit by bit and escaped anew."""

import re

# ---- Bits -------------------------------------------------------------------------------


class BitReader:
    def __init__(self, data: bytes):
        self.data, self.position = data, 0
        self.text = format(int.from_bytes(data, "big"), f"0{len(data) * 8}b") if data else ""

    def bits(self, count: int) -> int:
        if self.position + count > len(self.text):
            raise IndexError("read past the end of the NAL unit")
        value = int(self.text[self.position:self.position + count] or "0", 2)
        self.position += count
        return value

    def exp_golomb(self) -> int:
        zeros = 0
        while self.bits(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.bits(zeros)

    def signed_exp_golomb(self) -> int:
        code = self.exp_golomb()
        return (code + 1) // 2 if code % 2 else -(code // 2)


class BitWriter:
    def __init__(self):
        self.parts: list[str] = []

    def bits(self, count: int, value: int) -> None:
        if count:
            self.parts.append(format(value, f"0{count}b")[-count:])

    def text(self, bits: str) -> None:
        self.parts.append(bits)

    def exp_golomb(self, value: int) -> None:
        length = (value + 1).bit_length()
        self.bits(length - 1, 0)
        self.bits(length, value + 1)

    def signed_exp_golomb(self, value: int) -> None:
        self.exp_golomb(2 * value - 1 if value > 0 else -2 * value)

    @property
    def position(self) -> int:
        return sum(map(len, self.parts))

    def payload(self) -> bytes:
        text = "".join(self.parts)
        text += "0" * (-len(text) % 8)
        return int(text, 2).to_bytes(len(text) // 8, "big") if text else b""


def signed_exp_golomb(reader: BitReader) -> int:
    return reader.signed_exp_golomb()


def write_signed_exp_golomb(writer: BitWriter, value: int) -> None:
    writer.signed_exp_golomb(value)


def stop_bit_position(payload: bytes) -> int:
    """The rbsp_stop_one_bit: the last bit set, before any trailing zero bytes."""
    position = len(payload) * 8 - 1
    while not (payload[position >> 3] >> (7 - (position & 7))) & 1:
        position -= 1
    return position


def escape_emulation(payload: bytes) -> bytes:
    escaped, zeros = bytearray(), 0
    for byte in payload:
        if zeros >= 2 and byte <= 3:
            escaped.append(3)
            zeros = 0
        escaped.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(escaped)


def unescaped(payload: bytes) -> bytes:
    return payload.replace(b"\x00\x00\x03", b"\x00\x00")


# ---- NAL units --------------------------------------------------------------------------

SLICE, IDR, SEI, SPS, PPS = 1, 5, 6, 7, 8
P_SLICE, B_SLICE, I_SLICE, SP_SLICE, SI_SLICE = range(5)
HIGH_PROFILES = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}
RECOVERY_POINT = 6


def annex_b_units(data: bytes) -> list[bytes]:
    """The NAL units of a raw Annex B stream, each with the start code before it."""
    starts = [match.start() for match in re.finditer(b"\x00\x00\x01", data)]
    return [data[start:end] for start, end in zip(starts, starts[1:] + [len(data)])]


def nal_type(unit: bytes) -> int:
    return unit[3] & 0x1F


def nal_ref_idc(unit: bytes) -> int:
    return (unit[3] >> 5) & 3


def sei_payload_types(unit: bytes) -> list[int]:
    """The payload type of each message in an SEI NAL unit."""
    payload, position, types = unescaped(unit[4:]).rstrip(b"\x00"), 0, []
    while position < len(payload) - 1:
        kind = size = 0
        while payload[position] == 0xFF:
            kind, position = kind + 255, position + 1
        kind, position = kind + payload[position], position + 1
        while payload[position] == 0xFF:
            size, position = size + 255, position + 1
        size, position = size + payload[position], position + 1
        types.append(kind)
        position += size
    return types


# ---- Syntax, read and written by the same description -----------------------------------


class Parser:
    """Reads the elements a syntax function names into `values`; `tail` keeps the bits
    after the last one, up to and including the stop bit."""

    def __init__(self, payload: bytes):
        self.reader, self.values = BitReader(payload), {}
        self.payload = payload

    def u(self, name: str, count: int) -> int:
        self.values[name] = self.reader.bits(count)
        return self.values[name]

    def ue(self, name: str) -> int:
        self.values[name] = self.reader.exp_golomb()
        return self.values[name]

    def se(self, name: str) -> int:
        self.values[name] = self.reader.signed_exp_golomb()
        return self.values[name]

    def byte_aligned_tail(self) -> None:
        """CABAC slice data begins on a byte boundary, after cabac_alignment_one_bits."""
        self.reader.position += -self.reader.position % 8
        self.tail()

    def tail(self) -> None:
        self.values["tail"] = self.reader.text[self.reader.position:stop_bit_position(self.payload) + 1]


class Serializer:
    def __init__(self, values: dict):
        self.writer, self.values = BitWriter(), values

    def u(self, name: str, count: int) -> int:
        self.writer.bits(count, self.values[name])
        return self.values[name]

    def ue(self, name: str) -> int:
        self.writer.exp_golomb(self.values[name])
        return self.values[name]

    def se(self, name: str) -> int:
        self.writer.signed_exp_golomb(self.values[name])
        return self.values[name]

    def byte_aligned_tail(self) -> None:
        self.writer.text("1" * (-self.writer.position % 8))
        self.tail()

    def tail(self) -> None:
        self.writer.text(self.values["tail"])


def sps_syntax(s) -> None:
    profile = s.u("profile_idc", 8)
    s.u("constraint_set_flags", 8)
    s.u("level_idc", 8)
    s.ue("seq_parameter_set_id")
    if profile in HIGH_PROFILES:
        if s.ue("chroma_format_idc") == 3:
            s.u("separate_colour_plane_flag", 1)
        s.ue("bit_depth_luma_minus8")
        s.ue("bit_depth_chroma_minus8")
        s.u("qpprime_y_zero_transform_bypass_flag", 1)
        assert s.u("seq_scaling_matrix_present_flag", 1) == 0, "scaling matrices"
    s.ue("log2_max_frame_num_minus4")
    order_type = s.ue("pic_order_cnt_type")
    if order_type == 0:
        s.ue("log2_max_pic_order_cnt_lsb_minus4")
    elif order_type == 1:
        s.u("delta_pic_order_always_zero_flag", 1)
        s.se("offset_for_non_ref_pic")
        s.se("offset_for_top_to_bottom_field")
        for i in range(s.ue("num_ref_frames_in_pic_order_cnt_cycle")):
            s.se(f"offset_for_ref_frame[{i}]")
    s.ue("max_num_ref_frames")
    s.u("gaps_in_frame_num_allowed_flag", 1)
    s.ue("pic_width_in_mbs_minus1")
    s.ue("pic_height_in_map_units_minus1")
    if not s.u("frame_mbs_only_flag", 1):
        s.u("mb_adaptive_frame_field_flag", 1)
    s.u("direct_8x8_inference_flag", 1)
    if s.u("frame_cropping_flag", 1):
        for side in ("left", "right", "top", "bottom"):
            s.ue(f"frame_crop_{side}_offset")
    s.tail()  # the VUI, as it was


def pps_syntax(s) -> None:
    s.ue("pic_parameter_set_id")
    s.ue("seq_parameter_set_id")
    s.u("entropy_coding_mode_flag", 1)
    s.u("bottom_field_pic_order_in_frame_present_flag", 1)
    assert s.ue("num_slice_groups_minus1") == 0, "slice groups"
    s.ue("num_ref_idx_l0_default_active_minus1")
    s.ue("num_ref_idx_l1_default_active_minus1")
    s.u("weighted_pred_flag", 1)
    s.u("weighted_bipred_idc", 2)
    s.se("pic_init_qp_minus26")
    s.se("pic_init_qs_minus26")
    s.se("chroma_qp_index_offset")
    s.u("deblocking_filter_control_present_flag", 1)
    s.u("constrained_intra_pred_flag", 1)
    s.u("redundant_pic_cnt_present_flag", 1)
    s.tail()


def slice_header_syntax(s, unit_type: int, ref_idc: int, sps: dict, pps: dict) -> None:
    s.ue("first_mb_in_slice")
    kind = s.ue("slice_type") % 5
    s.ue("pic_parameter_set_id")
    if sps.get("separate_colour_plane_flag"):
        s.u("colour_plane_id", 2)
    s.u("frame_num", sps["log2_max_frame_num_minus4"] + 4)
    field = False
    if not sps["frame_mbs_only_flag"] and (field := s.u("field_pic_flag", 1)):
        s.u("bottom_field_flag", 1)
    if unit_type == IDR:
        s.ue("idr_pic_id")
    if sps["pic_order_cnt_type"] == 0:
        s.u("pic_order_cnt_lsb", sps["log2_max_pic_order_cnt_lsb_minus4"] + 4)
        if pps["bottom_field_pic_order_in_frame_present_flag"] and not field:
            s.se("delta_pic_order_cnt_bottom")
    if sps["pic_order_cnt_type"] == 1 and not sps["delta_pic_order_always_zero_flag"]:
        s.se("delta_pic_order_cnt[0]")
        if pps["bottom_field_pic_order_in_frame_present_flag"] and not field:
            s.se("delta_pic_order_cnt[1]")
    if pps["redundant_pic_cnt_present_flag"]:
        s.ue("redundant_pic_cnt")
    if kind == B_SLICE:
        s.u("direct_spatial_mv_pred_flag", 1)
    lists = {P_SLICE: [0], SP_SLICE: [0], B_SLICE: [0, 1]}.get(kind, [])
    if lists and s.u("num_ref_idx_active_override_flag", 1):
        for number in lists:
            s.ue(f"num_ref_idx_l{number}_active_minus1")
    for number in lists:
        if s.u(f"ref_pic_list_modification_flag_l{number}", 1):
            for i in range(33):
                idc = s.ue(f"modification_of_pic_nums_idc_l{number}[{i}]")
                if idc == 3:
                    break
                s.ue(f"pic_num_argument_l{number}[{i}]")
    if (pps["weighted_pred_flag"] and kind in (P_SLICE, SP_SLICE)) or (pps["weighted_bipred_idc"] == 1
                                                                        and kind == B_SLICE):
        pred_weight_table_syntax(s, lists, active_references(s.values, pps), chroma_array_type(sps))
    if ref_idc:
        if unit_type == IDR:
            s.u("no_output_of_prior_pics_flag", 1)
            s.u("long_term_reference_flag", 1)
        elif s.u("adaptive_ref_pic_marking_mode_flag", 1):
            for i in range(66):
                operation = s.ue(f"memory_management_control_operation[{i}]")
                if operation == 0:
                    break
                if operation in (1, 3):
                    s.ue(f"difference_of_pic_nums_minus1[{i}]")
                if operation == 2:
                    s.ue(f"long_term_pic_num[{i}]")
                if operation in (3, 6):
                    s.ue(f"long_term_frame_idx[{i}]")
                if operation == 4:
                    s.ue(f"max_long_term_frame_idx_plus1[{i}]")
    if pps["entropy_coding_mode_flag"] and kind not in (I_SLICE, SI_SLICE):
        s.ue("cabac_init_idc")
    s.se("slice_qp_delta")
    if kind in (SP_SLICE, SI_SLICE):
        if kind == SP_SLICE:
            s.u("sp_for_switch_flag", 1)
        s.se("slice_qs_delta")
    if pps["deblocking_filter_control_present_flag"]:
        if s.ue("disable_deblocking_filter_idc") != 1:
            s.se("slice_alpha_c0_offset_div2")
            s.se("slice_beta_offset_div2")
    if pps["entropy_coding_mode_flag"]:
        s.byte_aligned_tail()
    else:
        s.tail()


def chroma_array_type(sps: dict) -> int:
    return 0 if sps.get("separate_colour_plane_flag") else sps.get("chroma_format_idc", 1)


def active_references(header: dict, pps: dict) -> list[int]:
    """The number of entries in each list: the slice's own counts, or the picture parameter
    set's."""
    source = header if header.get("num_ref_idx_active_override_flag") else {
        f"num_ref_idx_l{number}_active_minus1": pps[f"num_ref_idx_l{number}_default_active_minus1"]
        for number in (0, 1)}
    return [source.get(f"num_ref_idx_l{number}_active_minus1", 0) + 1 for number in (0, 1)]


def pred_weight_table_syntax(s, lists: list[int], references: list[int], chroma: int) -> None:
    s.ue("luma_log2_weight_denom")
    if chroma:
        s.ue("chroma_log2_weight_denom")
    for number in lists:
        for i in range(references[number]):
            if s.u(f"luma_weight_l{number}_flag[{i}]", 1):
                s.se(f"luma_weight_l{number}[{i}]")
                s.se(f"luma_offset_l{number}[{i}]")
            if chroma and s.u(f"chroma_weight_l{number}_flag[{i}]", 1):
                for j in range(2):
                    s.se(f"chroma_weight_l{number}[{i}][{j}]")
                    s.se(f"chroma_offset_l{number}[{i}][{j}]")


def parsed(unit: bytes, syntax, *context) -> dict:
    parser = Parser(unescaped(unit[4:]))
    syntax(parser, *context)
    return parser.values


def serialized(unit: bytes, values: dict, syntax, *context) -> bytes:
    """The NAL unit, start code and header byte kept, with these values as its payload (the
    tail ends with the stop bit)."""
    serializer = Serializer(values)
    syntax(serializer, *context)
    return unit[:4] + escape_emulation(serializer.writer.payload())


class Stream:
    """Walks the NAL units of a stream, keeping its parameter sets as it meets them, for
    rewriters that change slice headers."""

    def __init__(self, data: bytes):
        self.units = annex_b_units(data)
        self.sps: dict[int, dict] = {}
        self.pps: dict[int, dict] = {}

    def walk(self):
        """(unit, slice header or None, number of the picture it belongs to, from 0 in
        decoding order)."""
        picture = -1
        for unit in self.units:
            kind = nal_type(unit)
            if kind == SPS:
                values = parsed(unit, sps_syntax)
                self.sps[values["seq_parameter_set_id"]] = values
            elif kind == PPS:
                values = parsed(unit, pps_syntax)
                self.pps[values["pic_parameter_set_id"]] = values
            if kind in (SLICE, IDR):
                header = self.slice_header(unit)
                if header["first_mb_in_slice"] == 0:
                    picture += 1
                yield unit, header, picture
            else:
                yield unit, None, picture

    def parameter_sets_of(self, header: dict) -> tuple[dict, dict]:
        pps = self.pps[header["pic_parameter_set_id"]]
        return self.sps[pps["seq_parameter_set_id"]], pps

    def slice_header(self, unit: bytes) -> dict:
        # The picture parameter set id is the third element; read it before the rest.
        reader = BitReader(unescaped(unit[4:12]))
        reader.exp_golomb()
        reader.exp_golomb()
        pps = self.pps[reader.exp_golomb()]
        sps = self.sps[pps["seq_parameter_set_id"]]
        return parsed(unit, slice_header_syntax, nal_type(unit), nal_ref_idc(unit), sps, pps)

    def slice_unit(self, unit: bytes, header: dict, sps: dict | None = None, pps: dict | None = None) -> bytes:
        """The slice NAL unit written with this header, under sps or pps if the header is for
        a rewritten parameter set."""
        own_sps, own_pps = self.parameter_sets_of(header)
        return serialized(unit, header, slice_header_syntax, nal_type(unit), nal_ref_idc(unit), sps or own_sps,
                          pps or own_pps)


# ---- Rewriters --------------------------------------------------------------------------

def as_field_pictures(data: bytes) -> bytes:
    """Field pictures (PAFF) from a CAVLC stream whose pictures are the fields of an
    interlaced clip, one after the other, top field first (x264 encoding a clip through
    `separatefields`), and whose pictures pair up in decoding order: both of a pair
    references, or neither.

    The sequence parameter set says that pictures may be fields (frame_mbs_only_flag 0, no
    MBAFF) in the Main profile, which allows them where Baseline does not; its height in map
    units stays that of one field, and its crop (counted in pairs of rows once pictures may be
    fields) now crops the frame. Picture n becomes the top (n even) or bottom (n odd) field of
    frame n // 2, whose two fields share one frame_num: that of the reference frames before it
    since the last IDR picture. An IDR picture must be a first field; the second field of an
    IDR frame is the non-IDR picture that x264 made after it. A field slice that leaves its
    reference counts to the picture parameter set would get twice the count (fields of the
    same frames), which changes how its reference indexes are coded: every P and B slice
    states the counts it was coded with. x264's list modifications and memory management
    operations name frames; in fields they would name others, so the lists stay as
    initialised and reference fields are marked by the sliding window."""
    stream = Stream(data)
    fields_sps: dict[int, dict] = {}
    units, references, first_reference = [], 0, None
    for unit, header, picture in stream.walk():
        kind = nal_type(unit)
        if kind == SPS:
            values = dict(stream.sps[parsed(unit, sps_syntax)["seq_parameter_set_id"]])
            assert values["frame_mbs_only_flag"] == 1
            # Main allows fields where Baseline does not: no longer Baseline-compatible, Main-compatible.
            values.update(profile_idc=77, constraint_set_flags=values["constraint_set_flags"] & 0x3F | 0x40,
                          frame_mbs_only_flag=0, mb_adaptive_frame_field_flag=0)
            fields_sps[values["seq_parameter_set_id"]] = values
            unit = serialized(unit, values, sps_syntax)
        elif header is not None:
            sps, pps = stream.parameter_sets_of(header)
            assert pps["entropy_coding_mode_flag"] == 0, "CAVLC only"
            bottom = picture % 2
            if kind == IDR:
                assert not bottom, "an IDR picture that would be a second field"
                references = 0
            if not bottom:
                first_reference = bool(nal_ref_idc(unit))
            assert bool(nal_ref_idc(unit)) == first_reference, "a reference field paired with a non-reference one"
            max_frame_num = 1 << (sps["log2_max_frame_num_minus4"] + 4)
            header.update(frame_num=references % max_frame_num, field_pic_flag=1, bottom_field_flag=bottom)
            lists = {P_SLICE: [0], B_SLICE: [0, 1]}.get(header["slice_type"] % 5, [])
            if lists and not header["num_ref_idx_active_override_flag"]:
                header.update(num_ref_idx_active_override_flag=1, **{
                    f"num_ref_idx_l{number}_active_minus1": pps[f"num_ref_idx_l{number}_default_active_minus1"]
                    for number in lists})
            header.update({f"ref_pic_list_modification_flag_l{number}": 0 for number in lists})
            if header.get("adaptive_ref_pic_marking_mode_flag"):
                header.update(adaptive_ref_pic_marking_mode_flag=0)
            unit = stream.slice_unit(unit, header, fields_sps[sps["seq_parameter_set_id"]])
            if bottom and first_reference and header["first_mb_in_slice"] == 0:
                references += 1
        units.append(unit)
    return b"".join(units)


def with_list_1_from_the_frame_before(data: bytes) -> bytes:
    """The field pictures of as_field_pictures with list 1 of each reference B field that is a
    second field modified to begin with the field of its parity of the reference frame before
    (abs_diff_pic_num_minus1 1: that frame's frame_num is one less). Initialised, list 1 of
    such a field begins with the first field of its own frame, as its lists 0 and 1 start
    alike: FFmpeg then reads the co-located macroblock's type from the field being decoded,
    at the current macroblock's place, which holds whatever the picture's memory held."""
    stream = Stream(data)
    units = []
    for unit, header, picture in stream.walk():
        if header is not None and header["slice_type"] % 5 == B_SLICE and nal_ref_idc(unit) and picture % 2:
            header.update({"ref_pic_list_modification_flag_l1": 1, "modification_of_pic_nums_idc_l1[0]": 0,
                           "pic_num_argument_l1[0]": 1, "modification_of_pic_nums_idc_l1[1]": 3})
            unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def with_second_fields_unfiltered(data: bytes) -> bytes:
    """The field pictures of as_field_pictures with the loop filter off in every bottom field
    (disable_deblocking_filter_idc 1), each a second field: a decode with the filter on then
    holds each frame's second field as it was before filtering, predicted from its first
    field filtered as the decoder filters a reference."""
    stream = Stream(data)
    units = []
    for unit, header, _ in stream.walk():
        if header is not None and header["bottom_field_flag"]:
            header.update(disable_deblocking_filter_idc=1)
            unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def adaptive_marking(operations) -> dict:
    """The slice header's elements of adaptive reference marking with these operations, each
    an operation and its arguments by name, ended by operation 0."""
    marking = {"adaptive_ref_pic_marking_mode_flag": 1, f"memory_management_control_operation[{len(operations)}]": 0}
    for i, (operation, arguments) in enumerate(operations):
        marking[f"memory_management_control_operation[{i}]"] = operation
        marking.update({f"{name}[{i}]": value for name, value in arguments.items()})
    return marking


def with_field_marking_adaptive(data: bytes, operations_of) -> bytes:
    """The field pictures of as_field_pictures with adaptive reference marking in the fields
    for which operations_of(number of the field, counted over the stream) gives operations
    (each an operation and its arguments by name) rather than None. With none, a field is
    marked as a short-term reference without the sliding window."""
    stream = Stream(data)
    units = []
    for unit, header, picture in stream.walk():
        if header is not None and (operations := operations_of(picture)) is not None:
            header.update(adaptive_marking(operations))
            unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def fields_dropped(field: int):
    """Operation 1 in every third field: from a first field twice, both fields of the frame
    before no longer references (picture numbers 2 * FrameNumWrap of the other parity, then
    + 1 of its own); from a second field once, the first field of its own frame."""
    if field < 3 or field % 3:
        return None
    if field % 2 == 0:
        return [(1, {"difference_of_pic_nums_minus1": 2}), (1, {"difference_of_pic_nums_minus1": 1})]
    return [(1, {"difference_of_pic_nums_minus1": 0})]


def with_memory_resets(data: bytes, every: int) -> bytes:
    """The stream with a memory-management reset (memory_management_control_operation 5) in
    every `every`-th reference picture that is not an IDR picture, counted over the whole
    stream; frames only.

    A reset picture counts afterwards as frame_num 0 and picture order count 0, so the
    pictures after it are renumbered as a conformant stream must be: frame_num one past the
    last reference picture's (0 for an IDR picture), and the picture order count (type 0,
    where B pictures follow their later reference) relative to the last reset or IDR picture
    before it in decoding order. A B picture decoded after a reset but shown before the reset
    picture then has a negative count, which puts it before the reset picture in output
    order, where it is in the stream without resets. Prediction changes where a picture after a reset refers to one before
    it: the reset left only the reset picture as a reference, and both lists hold it.

    FFmpeg's decoder keeps the reset picture's count as it was, though: it outputs the reset
    picture before those B pictures, and orders its reference lists for the B pictures
    after them by the old count, so that they predict differently too."""
    stream = Stream(data)
    units, current, references = [], None, 0
    for unit, header, picture in stream.walk():
        if header is None:
            units.append(unit)
            continue
        sps, _ = stream.parameter_sets_of(header)
        assert sps["frame_mbs_only_flag"], "frames only"
        max_frame_num = 1 << (sps["log2_max_frame_num_minus4"] + 4)
        max_lsb = 1 << (sps.get("log2_max_pic_order_cnt_lsb_minus4", 0) + 4)
        if picture != current:  # the first slice of a picture decides for all of its slices
            current, is_idr, is_reference = picture, nal_type(unit) == IDR, nal_ref_idc(unit) != 0
            if is_idr:
                previous_frame_num = previous_msb = previous_lsb = base = 0
            frame_num = 0 if is_idr else (previous_frame_num + 1) % max_frame_num
            reset = is_reference and not is_idr and (references := references + 1) % every == 0
            if sps["pic_order_cnt_type"] == 0:
                # The count x264 meant, from the lsb and the last reference picture's.
                lsb = header["pic_order_cnt_lsb"]
                msb = previous_msb + (max_lsb if previous_lsb - lsb >= max_lsb // 2 else
                                      -max_lsb if lsb - previous_lsb > max_lsb // 2 else 0)
                if is_reference:
                    previous_msb, previous_lsb = msb, lsb
                new_lsb = (msb + lsb - base) % max_lsb
                if reset:
                    base = msb + lsb
            if is_reference:
                previous_frame_num = 0 if reset else frame_num
        header["frame_num"] = frame_num
        if sps["pic_order_cnt_type"] == 0:
            header["pic_order_cnt_lsb"] = new_lsb
        if reset:
            assert not header["adaptive_ref_pic_marking_mode_flag"], "the stream marks references itself"
            header.update({"adaptive_ref_pic_marking_mode_flag": 1, "memory_management_control_operation[0]": 5,
                           "memory_management_control_operation[1]": 0})
        units.append(stream.slice_unit(unit, header))
    return b"".join(units)


def with_long_term_references(data: bytes, every: int) -> bytes:
    """The stream, of frames, with long-term references made by memory management operations
    in every `every`-th reference picture after each IDR picture, in turn: the picture itself
    becomes long-term frame 0 (operations 4 and 6: at most one long-term frame index, the
    picture long-term, replacing the one before; the first time, where the sliding window
    would drop a frame, operation 1 between them drops the short-term frame two before),
    then the picture before it does (2 and 3: the long-term frame no longer a reference, the
    frame before long-term). Either way the picture holds no more references than the
    sliding window would, and with three of them the long-term frame is the last entry of
    list 0 in the P pictures after it, where x264 meant the frame three before. Prediction
    changes, as every decoder of the stream predicts."""
    stream = Stream(data)
    units, current, references = [], None, 0
    for unit, header, picture in stream.walk():
        kind = nal_type(unit)
        if header is not None:
            sps, _ = stream.parameter_sets_of(header)
            assert sps["frame_mbs_only_flag"], "frames only"
            if picture != current:  # the first slice of a picture decides for all of its slices
                current, operations = picture, {}
                references = 0 if kind == IDR else references + (nal_ref_idc(unit) != 0)
                if kind != IDR and nal_ref_idc(unit) and references % every == 0:
                    assert not header["adaptive_ref_pic_marking_mode_flag"], "the stream marks references itself"
                    turn = references // every
                    listed = ([(4, {"max_long_term_frame_idx_plus1": 1})] +
                              [(1, {"difference_of_pic_nums_minus1": 1})] * (
                                  turn == 1 and references >= sps["max_num_ref_frames"]) +
                              [(6, {"long_term_frame_idx": 0})] if turn % 2 else
                              [(2, {"long_term_pic_num": 0}),
                               (3, {"difference_of_pic_nums_minus1": 0, "long_term_frame_idx": 0})])
                    operations = adaptive_marking(listed)
            header.update(operations)
            unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def with_long_term_first_in_list_0(data: bytes) -> bytes:
    """The stream, whose pictures make long-term frame 0 (with_long_term_references), with that
    frame put first in list 0 (modification_of_pic_nums_idc 2) of every P and B slice decoded
    while it is held: most inter blocks then refer to it, and so do the co-located blocks of
    temporal direct prediction, whose vectors then go unscaled."""
    stream = Stream(data)
    units, current, held = [], None, False
    for unit, header, picture in stream.walk():
        if header is not None:
            if picture != current:  # the first slice of a picture decides for all of its slices
                current = picture
                held = held and nal_type(unit) != IDR
                named = held
                operations = [header.get(f"memory_management_control_operation[{i}]") for i in range(66)]
                held = held or 3 in operations or 6 in operations
            if named and header["slice_type"] % 5 in (P_SLICE, B_SLICE):
                assert not header["ref_pic_list_modification_flag_l0"], "the stream modifies its lists itself"
                header.update({"ref_pic_list_modification_flag_l0": 1, "modification_of_pic_nums_idc_l0[0]": 2,
                               "pic_num_argument_l0[0]": 0, "modification_of_pic_nums_idc_l0[1]": 3})
                unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def with_order_count_type_1(data: bytes) -> bytes:
    """The stream, of frames with order count type 0, with the same order counts in type 1:
    a cycle of one reference frame two counts on, nothing for pictures that are not
    references, and each picture's difference from that in delta_pic_order_cnt[0]."""
    stream = Stream(data)
    converted: dict[int, dict] = {}
    units, current = [], None
    for unit, header, picture in stream.walk():
        kind = nal_type(unit)
        if kind == SPS:
            values = dict(stream.sps[parsed(unit, sps_syntax)["seq_parameter_set_id"]])
            assert values["pic_order_cnt_type"] == 0 and values["frame_mbs_only_flag"], "frames, order count type 0"
            values.update({"pic_order_cnt_type": 1, "delta_pic_order_always_zero_flag": 0,
                           "offset_for_non_ref_pic": 0, "offset_for_top_to_bottom_field": 0,
                           "num_ref_frames_in_pic_order_cnt_cycle": 1, "offset_for_ref_frame[0]": 2})
            converted[values["seq_parameter_set_id"]] = values
            unit = serialized(unit, values, sps_syntax)
        elif header is not None:
            sps, _ = stream.parameter_sets_of(header)
            max_lsb = 1 << (sps["log2_max_pic_order_cnt_lsb_minus4"] + 4)
            max_frame_num = 1 << (sps["log2_max_frame_num_minus4"] + 4)
            if picture != current:  # the first slice of a picture decides for all of its slices
                current, is_reference = picture, nal_ref_idc(unit) != 0
                if kind == IDR:
                    previous_msb = previous_lsb = frame_num_offset = previous_frame_num = 0
                # The count of type 0 (8.2.1.1), from the lsb and the last reference picture's.
                lsb = header["pic_order_cnt_lsb"]
                msb = previous_msb + (max_lsb if previous_lsb - lsb >= max_lsb // 2 else
                                      -max_lsb if lsb - previous_lsb > max_lsb // 2 else 0)
                if is_reference:
                    previous_msb, previous_lsb = msb, lsb
                # The count type 1 expects (8.2.1.2), with one frame in its cycle.
                if kind != IDR and previous_frame_num > header["frame_num"]:
                    frame_num_offset += max_frame_num
                previous_frame_num = header["frame_num"]
                absolute = frame_num_offset + header["frame_num"] - (0 if is_reference else 1)
                expected = 2 * absolute if absolute > 0 else 0
                delta = msb + lsb - expected
            header["delta_pic_order_cnt[0]"] = delta
            unit = stream.slice_unit(unit, header, sps=converted[sps["seq_parameter_set_id"]])
        units.append(unit)
    return b"".join(units)


def with_references_lost(data: bytes, every: int) -> bytes:
    """The stream, of frames, without every `every`-th reference picture after each IDR
    picture, as if lost, and with gaps in frame_num allowed: the decoder holds a frame in
    place of each lost one, which the pictures after it name where they named the lost one."""
    stream = Stream(data)
    units, current, references, lost = [], None, 0, False
    for unit, header, picture in stream.walk():
        kind = nal_type(unit)
        if kind == SPS:
            values = dict(stream.sps[parsed(unit, sps_syntax)["seq_parameter_set_id"]],
                          gaps_in_frame_num_allowed_flag=1)
            unit = serialized(unit, values, sps_syntax)
        elif header is not None and picture != current:  # the first slice decides for the picture
            current = picture
            references = 0 if kind == IDR else references + (nal_ref_idc(unit) != 0)
            lost = kind != IDR and nal_ref_idc(unit) != 0 and references % every == 0
        if not (lost and header is not None):
            units.append(unit)
    return b"".join(units)


def exp_golomb_bits(value: int) -> str:
    writer = BitWriter()
    writer.exp_golomb(value)
    return "".join(writer.parts)


def pcm_macroblocks(kind: int, first_mb: int, count: int, start: int, picture: int) -> str:
    """Slice data of `count` I_PCM macroblocks of 4:2:0 at 8 bits (CAVLC), its first bit at
    bit `start` of the payload, ending with the stop bit: in a P slice each after a skip run
    of 0, its mb_type 25 in an I slice and 30 in a P slice (Tables 7-11 and 7-13); samples of a
    pattern that moves from picture to picture, between 16 and 239."""
    bits = []
    position = start
    for mb in range(first_mb, first_mb + count):
        coded = (exp_golomb_bits(0) if kind == P_SLICE else "") + exp_golomb_bits(25 if kind == I_SLICE else 30)
        position += len(coded)
        coded += "0" * (-position % 8)  # pcm_alignment_zero_bit
        position += -position % 8
        samples = [16 + (x * 9 + y * 5 + mb * 37 + picture * 13) % 224 for y in range(16) for x in range(16)]
        samples += [16 + (x * 23 + y * 11 + plane * 64 + mb * 7 + picture * 5) % 224
                    for plane in range(2) for y in range(8) for x in range(8)]
        coded += "".join(format(sample, "08b") for sample in samples)
        position += 8 * len(samples)
        bits.append(coded)
    return "".join(bits) + "1"


def with_pcm_slices(data: bytes, every: int) -> bytes:
    """The stream, CAVLC frames of 4:2:0 at 8 bits in slices, with every `every`-th I or P
    slice (counted over the stream) made of I_PCM macroblocks as many as it had. Slices are
    parsed apart, so the others read as before; the pictures predicted from these change, as
    every decoder of the stream predicts them."""
    stream = Stream(data)
    walked = list(stream.walk())
    units, slices = [], 0
    for position, (unit, header, picture) in enumerate(walked):
        if header is not None and header["slice_type"] % 5 in (I_SLICE, P_SLICE):
            sps, pps = stream.parameter_sets_of(header)
            assert not pps["entropy_coding_mode_flag"] and sps["frame_mbs_only_flag"], "CAVLC frames"
            assert sps.get("chroma_format_idc", 1) == 1 and not sps.get("bit_depth_luma_minus8"), "4:2:0, 8 bits"
            slices += 1
            if slices % every == 0:
                following = [later["first_mb_in_slice"] for _, later, number in walked[position + 1:]
                             if later is not None and number == picture][:1]
                total = (sps["pic_width_in_mbs_minus1"] + 1) * (sps["pic_height_in_map_units_minus1"] + 1)
                count = (following[0] if following else total) - header["first_mb_in_slice"]
                serializer = Serializer(dict(header, tail=""))
                slice_header_syntax(serializer, nal_type(unit), nal_ref_idc(unit), sps, pps)
                header["tail"] = pcm_macroblocks(header["slice_type"] % 5, header["first_mb_in_slice"], count,
                                                 serializer.writer.position, picture)
                unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


# Factors of a weight and offsets for the entries of explicit weight tables, taken in turn.
WEIGHT_FACTORS = (0.75, 1.125, 1.25, 0.875, 0.5)
WEIGHT_OFFSETS = (-6, 5, 0, 12, -3)


def weight_table(picture: int, references: list[int], chroma: int) -> dict:
    """A table of explicit weights for both lists of a B slice of this picture: denominators
    that change from picture to picture, and each entry's weights and offsets from the
    picture, list and index, every fourth one left to its default. Weights stay under 1.25
    and denominators at most 5, so that the two weights of a pair sum to at most 80."""
    table = {"luma_log2_weight_denom": 1 + picture % 5, "chroma_log2_weight_denom": 5 - picture % 5}
    for number in (0, 1):
        for i in range(references[number]):
            turn = picture + 3 * number + i
            factor, offset = WEIGHT_FACTORS[turn % 5], WEIGHT_OFFSETS[turn % 5]
            table[f"luma_weight_l{number}_flag[{i}]"] = int(turn % 4 != 3)
            table[f"luma_weight_l{number}[{i}]"] = round(factor * (1 << table["luma_log2_weight_denom"]))
            table[f"luma_offset_l{number}[{i}]"] = offset
            if chroma:
                table[f"chroma_weight_l{number}_flag[{i}]"] = int(turn % 4 != 1)
                for j in range(2):
                    chroma_factor = WEIGHT_FACTORS[(turn + 2 + j) % 5]
                    table[f"chroma_weight_l{number}[{i}][{j}]"] = round(
                        chroma_factor * (1 << table["chroma_log2_weight_denom"]))
                    table[f"chroma_offset_l{number}[{i}][{j}]"] = WEIGHT_OFFSETS[(turn + j) % 5]
    return table


def with_explicit_bipred_weights(data: bytes) -> bytes:
    """The stream with explicit weights in its B slices (weighted_bipred_idc 1), a weight
    table of weight_table in each. The B pictures then predict otherwise than x264 meant, but
    every decoder of the stream predicts alike."""
    stream = Stream(data)
    weighted: dict[int, dict] = {}
    units = []
    for unit, header, picture in stream.walk():
        if nal_type(unit) == PPS:
            values = dict(stream.pps[parsed(unit, pps_syntax)["pic_parameter_set_id"]], weighted_bipred_idc=1)
            weighted[values["pic_parameter_set_id"]] = values
            unit = serialized(unit, values, pps_syntax)
        elif header is not None and header["slice_type"] % 5 == B_SLICE:
            sps, pps = stream.parameter_sets_of(header)
            header.update(weight_table(picture, active_references(header, pps), chroma_array_type(sps)))
            unit = stream.slice_unit(unit, header, pps=weighted[header["pic_parameter_set_id"]])
        units.append(unit)
    return b"".join(units)


def with_b_pictures_after_their_references(data: bytes) -> bytes:
    """The stream with each picture that is not a reference (B pictures without a pyramid)
    shown right after the reference picture decoded before it: the j-th of them after that
    picture gets its order count plus 2j + 1, which stays below the next reference picture's
    where x264 puts a fixed number of B pictures between references. Every reference of a B
    picture is then before it: both lists initialise alike, so list 1 has its first two entries
    swapped, and implicit weights extrapolate. Output order becomes decoding order."""
    stream = Stream(data)
    units, current = [], None
    for unit, header, picture in stream.walk():
        if header is not None:
            sps, _ = stream.parameter_sets_of(header)
            assert sps["pic_order_cnt_type"] == 0 and sps["frame_mbs_only_flag"], "frames, order count type 0"
            max_lsb = 1 << (sps["log2_max_pic_order_cnt_lsb_minus4"] + 4)
            if picture != current:  # the first slice of a picture decides for all of its slices
                current = picture
                if nal_ref_idc(unit):
                    reference_lsb, following, lsb = header["pic_order_cnt_lsb"], 0, header["pic_order_cnt_lsb"]
                else:
                    lsb, following = (reference_lsb + 2 * following + 1) % max_lsb, following + 1
            header["pic_order_cnt_lsb"] = lsb
            unit = stream.slice_unit(unit, header)
        units.append(unit)
    return b"".join(units)


def without_direct_8x8_inference(data: bytes) -> bytes:
    """The stream, of frames, with direct_8x8_inference_flag 0: each 4x4 block of a direct 8x8
    block takes the motion of its own co-located block, not that of its 8x8 block's corner.
    Only the sequence parameter sets change: the slices must not code transform_size_8x8_flag,
    which the flag leaves out of direct macroblocks."""
    units = []
    for unit in annex_b_units(data):
        if nal_type(unit) == SPS:
            values = parsed(unit, sps_syntax)
            assert values["frame_mbs_only_flag"], "frames"
            unit = serialized(unit, {**values, "direct_8x8_inference_flag": 0}, sps_syntax)
        units.append(unit)
    return b"".join(units)


def parameter_sets_only(data: bytes) -> bytes:
    """The sequence and picture parameter sets and SEI messages of a stream, no slice."""
    return b"".join(unit for unit in annex_b_units(data) if nal_type(unit) in (SPS, PPS, SEI))
