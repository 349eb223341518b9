#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/handles.hpp"
#include "ffmpeg/video_input.hpp"
#include "index/packet_locator.hpp"
#include "index/stream_index.hpp"

// What differs between the readers that decode a file: which pictures may be skipped, the
// decoder's settings right before each packet, what becomes of each picture, and when to
// stop. `frame` is the frame number of the packet or picture, -1 where it is no frame's.
struct DecodeSteps {
    // Whether the packet's picture need not be decoded when no other picture references it.
    std::function<bool(int32_t frame)> skips_unreferenced;
    // May be empty.
    std::function<void(AVCodecContext& decoder, const AVPacket& packet, int32_t frame)> before_sending;
    // Each picture the decoder outputs that is a frame's, in output order, with its
    // macroblock-type rows where the input captures them.
    std::function<void(const AVFrame& picture, const MbTypeRows& mb_types, int32_t frame)> take_picture;
    // After each round of receiving, the pictures that one packet (or the drain) released;
    // may be empty.
    std::function<void()> after_receiving;
    // Whether the run has what it is for. Asked before every packet is read.
    std::function<bool()> done;
};

// How a call of DecodeRun::decode ended.
enum class RunEnd {
    // The steps had what they wanted; decoding can go on from here.
    Done,
    // Every packet was read and the decoder drained: it takes no more packets until the
    // next start_at.
    InputEnded,
    // The demuxer delivered another packet than the scan did, or could not be brought to the
    // key packet: which picture anything decoded from now on would be cannot be told.
    LostTrack,
};

// The one decode loop of the program: from a key packet of the scan, read, recognise and stamp
// each packet (PacketLocator), decide whether its picture is skipped, send it, receive what the
// decoder releases, and at the end of input drain the decoder. The session's frame retrieval
// and every interval decoder are users of it; they differ only in their DecodeSteps.
//
// Uses the input's demuxer and decoder, which nothing else may use meanwhile. With the
// decoder's single thread, a packet is decoded while it is being sent, so a setting made right
// before a packet is sent applies to exactly that packet; and what the decoder prints of a
// picture it prints on the thread that decodes, before the picture is received, which is how
// the input's MbTypeLog hears it.
class DecodeRun {
public:
    DecodeRun(VideoInput& input, std::shared_ptr<const StreamIndex> index);
    DecodeRun(const DecodeRun&) = delete;
    DecodeRun& operator=(const DecodeRun&) = delete;

    // Brings the demuxer to the key packet at this position in the index's packet table and
    // renews the decoder (VideoInput::renew_decoder): what follows decodes as if the file
    // began there, the parameter sets in force there given to the decoder with the key packet.
    void start_at(int32_t key_packet);

    // Decodes on from where the last call stopped, until one of RunEnd's reasons.
    RunEnd decode(const DecodeSteps& steps);

    // The key packet the current run began with.
    int32_t start_packet() const { return start_packet_; }
    // Position in the packet table of the packet read next.
    int32_t next_packet() const { return next_packet_; }

private:
    bool send(const AVPacket& packet);
    bool send_after_parameter_sets(const AVPacket& packet);
    void receive(const DecodeSteps& steps);
    MbTypeRows take_mb_type_rows();
    void drain(const DecodeSteps& steps);

    VideoInput& input_;
    std::shared_ptr<const StreamIndex> index_;
    PacketLocator locator_;
    PacketHandle packet_;
    // The key packet of a run with the parameter sets in force before it in front.
    PacketHandle led_packet_;
    // Bytes of the length before each NAL unit (0: start codes).
    int length_size_ = 0;
    // The parameter sets to give with the next packet sent, framed as the stream's units are.
    std::vector<uint8_t> leading_units_;
    FrameHandle picture_;
    bool waiting_for_start_ = false;
    int32_t start_packet_ = -1;
    // The frame of the key packet the run began with; -1 where it is no frame's.
    int32_t start_frame_ = -1;
    // Whether the decoder has output the key frame's picture, or a later one, in this run.
    bool start_picture_out_ = false;
    // Whether the packet sent last was sent with non-reference pictures skipped.
    bool skipped_last_ = false;
    int32_t next_packet_ = 0;
};
