#include "decode/first_output.hpp"

#include <memory>

#include "decode/decode_run.hpp"

namespace {

// The packets as a stream of their own whose every packet is a frame numbered by its position:
// counted and stamped on the way to the decoder, so that each picture names its packet.
std::shared_ptr<const StreamIndex> numbered_by_position(VideoInput& input, const std::vector<PacketInfo>& packets) {
    auto index = std::make_shared<StreamIndex>();
    index->stream = input.stream();
    index->packets = packets;
    for (PacketInfo& packet : index->packets) {
        packet.pts = packet.decode_order;
        packet.frame_pts = packet.decode_order;
    }
    index->frames = build_frame_index(index->packets);
    index->frames_from_bitstream = true;
    return index;
}

}  // namespace

int32_t find_first_output(VideoInput& input, const std::vector<PacketInfo>& packets) {
    const std::shared_ptr<const StreamIndex> index = numbered_by_position(input, packets);
    int32_t first = -1;
    DecodeSteps steps;
    steps.skips_unreferenced = [](int32_t) { return false; };
    steps.take_picture = [&first](const AVFrame&, const MbTypeRows&, int32_t frame) {
        if (first < 0) {
            first = frame;
        }
    };
    steps.done = [&first] { return first >= 0; };
    DecodeRun run(input, index);
    run.start_at(0);
    run.decode(steps);
    return first;
}
