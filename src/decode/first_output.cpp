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

// Decodes from the first packet, handing each picture's packet position to `take`, until
// `done` says so or the input ends.
void decode_from_start(VideoInput& input, const std::vector<PacketInfo>& packets,
                       const std::function<void(int32_t packet)>& take, const std::function<bool()>& done) {
    const std::shared_ptr<const StreamIndex> index = numbered_by_position(input, packets);
    DecodeSteps steps;
    steps.skips_unreferenced = [](int32_t) { return false; };
    steps.take_picture = [&take](const AVFrame&, const MbTypeRows&, int32_t frame) { take(frame); };
    steps.done = done;
    DecodeRun run(input, index);
    run.start_at(0);
    run.decode(steps);
}

}  // namespace

int32_t find_first_output(VideoInput& input, const std::vector<PacketInfo>& packets) {
    int32_t first = -1;
    decode_from_start(
        input, packets,
        [&first](int32_t packet) {
            if (first < 0) {
                first = packet;
            }
        },
        [&first] { return first >= 0; });
    return first;
}

// A run that loses track of the packets ends the order where it lost them, as it ends the
// frame methods' decoding there.
std::vector<int32_t> find_output_order(VideoInput& input, const std::vector<PacketInfo>& packets) {
    std::vector<int32_t> order;
    decode_from_start(
        input, packets, [&order](int32_t packet) { order.push_back(packet); }, [] { return false; });
    return order;
}
