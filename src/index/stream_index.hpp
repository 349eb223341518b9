#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ffmpeg/stream_facts.hpp"
#include "ffmpeg/video_input.hpp"
#include "index/data_extent.hpp"
#include "index/file_identity.hpp"
#include "index/frame_index.hpp"
#include "index/packet_scan.hpp"
#include "h264/parameter_set_history.hpp"

// What the opening scan learnt of a file: built once, never changed, and shared read-only,
// through std::shared_ptr<const StreamIndex>, by the session and every interval decoder that
// reads the same file with a demuxer and decoder of its own. Any thread may read it.
struct StreamIndex {
    std::string path;
    // The file the scan read, for readers that open it again by its path.
    FileIdentity file;
    // The video stream's position in the demuxer's list.
    int32_t stream = -1;
    StreamFacts facts;
    // Every packet of the video stream, in file order, with the frame the numbering gave it.
    std::vector<PacketInfo> packets;
    FrameIndex frames;
    // Whether the timestamps of `packets` and `frames` are frame numbers read from the
    // bitstream, because the container's do not tell the pictures apart: packets get theirs
    // on the way to a decoder, and are told apart by counting them (PacketLocator).
    bool frames_from_bitstream = false;
    // The first frame of each run of frames decoded from the same key packet.
    std::vector<int32_t> interval_starts;
    // For H.264, the parameter sets in force where each packet begins, which a reader gives
    // its decoder before the key packet it starts from.
    ParameterSetHistory parameter_sets;
    // What the container declares of the stream, and whether the file holds all of it.
    DataExtent extent;

    int32_t num_frames() const { return frames.count(); }

    // The unit of the frames' timestamps: the stream's time base, or, where the frames are
    // numbered from the bitstream, one frame at the stream's rate (facts.fps_num/fps_den).
    AVRational pts_time_base() const;
};

// Decodes a stream from its first packet until the decoder outputs a picture, and says which
// packet of the table that picture came from; -1 where none comes out.
using FirstOutputFinder = std::function<int32_t(const std::vector<PacketInfo>& packets)>;
// Decodes a whole stream from its first packet and says, for each picture the decoder
// outputs in turn, which packet of the table it came from.
using OutputOrderFinder = std::function<std::vector<int32_t>(const std::vector<PacketInfo>& packets)>;

// Reads the rest of the input once, without decoding, and numbers its frames; for a stream
// that does not begin with a picture the decoder is sure to output, `find_first_output` tells
// where the decoder's output begins. A stream of a codec whose headers the module does not
// read, and whose timestamps do not tell its pictures apart, is numbered by
// `find_output_order` (without it, such a stream has no frames). std::runtime_error naming the
// file where the stream has no packet ("No video packets found in: ") or no picture the
// decoder outputs ("No video frames found in: ").
std::shared_ptr<const StreamIndex> scan_stream_index(VideoInput& input, const std::string& path,
                                                     const FirstOutputFinder& find_first_output,
                                                     const OutputOrderFinder& find_output_order = {});
