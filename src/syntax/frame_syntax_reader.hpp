#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ffmpeg/handles.hpp"
#include "ffmpeg/session_options.hpp"
#include "ffmpeg/video_input.hpp"
#include "index/packet_locator.hpp"
#include "index/stream_index.hpp"
#include "syntax/picture_syntax.hpp"
#include "syntax/syntax_memo.hpp"

// A picture decoded before a frame from the same key packet, in decoding order: what the
// decoder's reference pictures are when the frame is decoded follows from these.
struct EarlierPicture {
    // The session's frame that shows it; -1 where none does.
    int32_t frame = -1;
    // Its picture order count (8.2.1).
    int32_t order_count = 0;
    SliceSyntaxHeader header;
    // Of a field, the first header of the other field of its frame where the same packet
    // holds it (Matroska, MP4): its reference marking follows the first field's.
    std::optional<SliceSyntaxHeader> second_field;
    // That field's picture order count.
    int32_t second_field_order_count = 0;
};

// One frame's syntax on the grid of the session's QP maps (facts.mb_rows x facts.mb_cols,
// each cell the macroblock MacroblockPlacement puts there), and where asked for its levels.
struct FrameSyntax {
    int32_t rows = 0;
    int32_t cols = 0;
    std::vector<MbSyntaxRecord> records;
    // Whether the picture's macroblocks and the grid's cells match one to one, every cell
    // holding one of them (parsed or not) and none of them left out.
    bool fills_grid = false;
    // Its first slice's kind and its key flag; the nonzero levels of all its blocks.
    PictureFacts facts;
    int64_t nonzero_levels = 0;
    CoefficientPlanes coefficients;
    // Where its context is asked for: the records in the coded grid's order (PictureGrid's) and
    // the parameter sets of the picture, which rebuilding its samples needs.
    std::vector<MbSyntaxRecord> coded_records;
    int32_t coded_cols = 0;
    SequenceSyntax sequence;
    PictureSyntax picture;
    // Where its context is asked for: the headers of the slices the records number, the
    // pictures decoded before the frame's from its key packet on, and the picture's own
    // order count.
    std::vector<SliceSyntaxHeader> slices;
    std::vector<EarlierPicture> earlier;
    int32_t order_count = 0;
};

class H264HeaderReader;

// What a read gives of a frame beyond its records on the frame's grid: nothing; what
// rebuilding it needs (the records in coded order, the parameter sets, the slice headers and
// the pictures decoded before it, as FrameSyntax says); that and its levels.
enum class SyntaxDepth { Records, Context, Levels };

// Reads frames' syntax from the packets of a file the session's index describes, with a
// demuxer of its own and no decoder in use: a frame costs reading its own packet, with the
// parameter sets in force from the index, in MP4 and MOV files, whose demuxer seeks to any
// packet; elsewhere reading the packets from its key packet, whose parameter sets it takes
// on the way. Serialises its callers.
class FrameSyntaxReader {
public:
    // `memo_bytes`: where nonzero, frames read with their context are kept in a memo of that
    // size (syntax_memo.hpp), which later reads of them to that depth are served from.
    FrameSyntaxReader(std::shared_ptr<const StreamIndex> index, const SessionOptions& options,
                      std::size_t memo_bytes = 0);

    // std::out_of_range for a frame outside the index; std::runtime_error where its packet
    // cannot be read.
    void read(int32_t frame, SyntaxDepth depth, FrameSyntax& result);

    // Reads the frames `frames` (numbers in the index, in any order) in one pass through the
    // file from the key packet before the first, and gives `take` each one's syntax with
    // its position in `frames`, in file order, to the depth asked. Where `keep_in` is given
    // and the context asked for, each frame is kept there once taken, read in file order.
    void read_in_file_order(const std::vector<int32_t>& frames,
                            const std::function<void(std::size_t position, const FrameSyntax& syntax)>& take,
                            SyntaxDepth depth = SyntaxDepth::Records, SyntaxMemo* keep_in = nullptr);

    // Whether the stream is H.264, the one codec whose syntax the reader knows.
    bool reads_h264() const { return index_->facts.codec_id == AV_CODEC_ID_H264; }

    // The grid of a frame whose picture no packet holds: every cell unparsed.
    void place_nothing(FrameSyntax& result) const;

    // The memo of frames read last, null where the reader keeps none.
    SyntaxMemo* memo() const { return memo_.get(); }

    // The packet that holds the frame's picture (its first field), -1 where none does.
    int32_t packet_of(int32_t frame) const { return frame_packets_[static_cast<std::size_t>(frame)]; }

private:
    // Seeks to `first` itself where `from_first`, else to the key packet before it, and reads
    // packets in file order, giving each to `visit` with its number until it returns false;
    // false where the input ends first.
    bool walk_from(int32_t first, bool from_first, const std::function<bool(int32_t packet)>& visit);
    // Reads the packets from `first` (as walk_from) to the frame's in `target`, parsing the
    // frame's and, with its context, the headers of the pictures before it into `result`;
    // returns whether the target packet was reached.
    bool walk_to(int32_t target, int32_t first, bool from_first, bool context, FrameSyntax& result);
    // Whether the frame read is shown before the key picture it was read after, which is no
    // IDR picture: it may refer to pictures before that key picture.
    static bool leads_non_idr_key(const FrameSyntax& result);
    // Takes the grid's records where the context is asked for.
    void place(PictureGrid& grid, bool context, FrameSyntax& result) const;
    // Sets all of `result` but its records for a frame placed on the session's grid.
    void clear_all_but_records(FrameSyntax& result) const;
    // Reads the header of the picture in the packet just read into `result.earlier`; returns
    // whether it holds one.
    bool earlier_picture(int32_t packet, H264HeaderReader& orders, FrameSyntax& result);

    const std::shared_ptr<const StreamIndex> index_;
    VideoInput input_;
    PacketLocator locator_;
    PacketHandle packet_;
    // The packet of the table that holds each frame's picture (its first field's).
    std::vector<int32_t> frame_packets_;
    PictureSyntaxParser parser_;
    PictureGrid grid_;
    // Whether a seek lands on any packet asked for, not only on key packets.
    const bool exact_seeks_;
    std::mutex mutex_;
    const std::unique_ptr<SyntaxMemo> memo_;
};
