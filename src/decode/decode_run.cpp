#include "decode/decode_run.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "ffmpeg/ffmpeg_messages.hpp"
#include "h264/nal_units.hpp"

namespace {

DemuxerSeeks seeks_of(VideoInput& input) {
    return DemuxerSeeks{[&input](int64_t timestamp) { return input.seek_to_timestamp(timestamp); },
                        [&input](int64_t byte) { return input.seek_to_byte(byte); }};
}

}  // namespace

DecodeRun::DecodeRun(VideoInput& input, std::shared_ptr<const StreamIndex> index)
    : input_(input),
      index_(std::move(index)),
      locator_(index_->packets, index_->frames_from_bitstream, seeks_of(input)),
      packet_(allocate_packet()),
      led_packet_(allocate_packet()),
      length_size_(nal_length_size(input.video_stream().codecpar->extradata,
                                   input.video_stream().codecpar->extradata_size)),
      picture_(allocate_frame()) {}

void DecodeRun::start_at(int32_t key_packet) {
    locator_.seek(key_packet);
    input_.renew_decoder();
    waiting_for_start_ = true;
    start_packet_ = key_packet;
    start_frame_ = index_->frames.frame_of_pts(index_->packets[key_packet].pts);
    start_picture_out_ = false;
    skipped_last_ = false;
    next_packet_ = key_packet;
    leading_units_ = ParameterSetHistory::framed(index_->parameter_sets.before_packet(key_packet), length_size_);
}

RunEnd DecodeRun::decode(const DecodeSteps& steps) {
    const MbTypeLog::Listening listening(input_.mb_type_log());
    MessageContext messages(index_->path);
    AVPacket& packet = *packet_;
    while (!steps.done()) {
        // Until the packet is known, what is said (by the demuxer, or the parser that
        // recognises the packet) is no frame's.
        messages.set_frame(-1, false);
        // A read error ends the input as its end does: what was read is decoded.
        if (av_read_frame(input_.demuxer(), &packet) < 0) {
            drain(steps);
            return RunEnd::InputEnded;
        }
        const PacketReference read(packet);
        if (packet.stream_index != input_.stream()) {
            continue;
        }
        if (waiting_for_start_) {
            const PacketLocator::Arrival arrival = locator_.arrive(packet);
            if (arrival == PacketLocator::Arrival::Before) {
                continue;
            }
            if (arrival == PacketLocator::Arrival::Lost) {
                return RunEnd::LostTrack;
            }
            waiting_for_start_ = false;
        }
        if (!locator_.take(packet, next_packet_)) {
            return RunEnd::LostTrack;
        }
        ++next_packet_;
        const int32_t frame = index_->frames.frame_of_pts(packet.pts);
        // Pictures before the key frame in presentation order that follow it in the file (an
        // open GOP's) refer to pictures before the key packet, which this run never decoded,
        // and so may the reference marking of the pictures decoded with them: until the key
        // frame's picture is out, what the decoder says is expected of a start there, and of
        // the leading pictures, which are dropped, always.
        const bool leading = frame >= 0 && start_frame_ >= 0 && frame < start_frame_;
        messages.set_frame(frame, leading || !start_picture_out_);
        AVCodecContext& decoder = *input_.decoder();
        // A packet that shows no frame (the second field of a frame whose first field came in
        // the packet before) is skipped as that one was: the decoder, given a non-reference
        // frame's second field alone, would pair it with the next frame's first field.
        skipped_last_ = frame >= 0 ? steps.skips_unreferenced(frame) : skipped_last_;
        decoder.skip_frame = skipped_last_ ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        if (steps.before_sending) {
            steps.before_sending(decoder, packet, frame);
        }
        if (send(packet)) {
            receive(steps);
        }
    }
    return RunEnd::Done;
}

// The decoder refuses a packet it finds damaged beyond use, after taking from it what it
// could; the ffmpeg tool goes on with the next packet too. The pictures that needed it come
// out concealed or not at all, and a frame without a picture raises where it is asked for.
// The decoder is never full when a packet is sent, since every round receives all it has.
bool DecodeRun::send(const AVPacket& packet) {
    if (!leading_units_.empty()) {
        return send_after_parameter_sets(packet);
    }
    const int sent = avcodec_send_packet(input_.decoder(), &packet);
    if (sent == AVERROR(ENOMEM)) {
        throw std::bad_alloc();
    }
    return sent >= 0;
}

// A decoder brought to a key packet holds the parameter sets of what it decoded before;
// given those in force there in front of the key packet's own units, it decodes the key
// picture as the stream declares it, as if the packet repeated its parameter sets.
bool DecodeRun::send_after_parameter_sets(const AVPacket& packet) {
    const std::vector<uint8_t> units = std::move(leading_units_);
    leading_units_.clear();
    AVPacket& led = *led_packet_;
    // Both fail only where memory runs out.
    if (av_new_packet(&led, static_cast<int>(units.size()) + packet.size) < 0) {
        throw std::bad_alloc();
    }
    const PacketReference sent_once(led);
    if (av_packet_copy_props(&led, &packet) < 0) {
        throw std::bad_alloc();
    }
    std::copy(units.begin(), units.end(), led.data);
    std::copy(packet.data, packet.data + packet.size, led.data + units.size());
    return send(led);
}

// Receiving ends with "needs more input" or "drained" (AVERROR(EAGAIN), AVERROR_EOF), or with
// an error on a picture the decoder gave up, after which it takes the next packet as usual:
// in each case no picture comes out now.
void DecodeRun::receive(const DecodeSteps& steps) {
    AVFrame& picture = *picture_;
    while (avcodec_receive_frame(input_.decoder(), &picture) >= 0) {
        const FrameReference received(picture);
        // Taken for every picture returned, so that the next picture's rows are the next ones.
        const MbTypeRows mb_types = take_mb_type_rows();
        // A picture whose packet carried no timestamp is no frame's. Its decoding timestamp
        // is not its own but that of the packet sent when it came out, often another frame's.
        const int32_t frame = index_->frames.frame_of_pts(picture.pts);
        start_picture_out_ = start_picture_out_ || frame >= start_frame_;
        if (frame >= 0) {
            steps.take_picture(picture, mb_types, frame);
        }
    }
    if (steps.after_receiving) {
        steps.after_receiving();
    }
}

MbTypeRows DecodeRun::take_mb_type_rows() {
    MbTypeLog* log = input_.mb_type_log();
    return log ? log->take_rows_of_returned_picture() : MbTypeRows{};
}

// At the end of input the decoder still holds the pictures of its reordering delay; they
// only come out once it is told that no more packets follow. The signal fails only when the
// decoder has been drained already, and then it has nothing left to give.
void DecodeRun::drain(const DecodeSteps& steps) {
    if (avcodec_send_packet(input_.decoder(), nullptr) >= 0) {
        receive(steps);
    }
}
