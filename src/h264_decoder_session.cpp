#include "h264_decoder_session.hpp"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "decode/first_output.hpp"

H264DecoderSession::H264DecoderSession(const std::string& path, const SessionOptions& options)
    : options_(options),
      pictures_(std::make_shared<PicturePool>()),
      input_(path, options, pictures_),
      index_(scan_stream_index(
          input_, path,
          [this](const std::vector<PacketInfo>& packets) { return find_first_output(input_, packets); },
          [this](const std::vector<PacketInfo>& packets) { return find_output_order(input_, packets); })),
      retrieval_(input_, index_, options_.deblocking),
      read_ahead_(index_, options_, pictures_, session_read_ahead_budget()) {}

void H264DecoderSession::close() {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    if (closed_.exchange(true)) {
        return;
    }
    read_ahead_.stop();
    retrieval_.drop_cache();
    input_.close();
    const std::lock_guard<std::mutex> syntax_lock(syntax_mutex_);
    syntax_reader_.reset();
}

namespace {

// Frames' syntax kept for the next method asked of them: about 48 frames of 720p or 20 of
// 1080p, the size of a batch a data loader takes at once.
constexpr std::size_t kSyntaxMemoBytes = std::size_t{64} << 20;

}  // namespace

std::shared_ptr<FrameSyntaxReader> H264DecoderSession::syntax_reader() {
    const std::lock_guard<std::mutex> lock(syntax_mutex_);
    check_open();
    if (!syntax_reader_) {
        syntax_reader_ = std::make_shared<FrameSyntaxReader>(index_, options_, kSyntaxMemoBytes);
    }
    return syntax_reader_;
}

void H264DecoderSession::check_open() const {
    if (closed_.load()) {
        throw std::runtime_error("The session is closed: " + index_->path);
    }
}

std::shared_ptr<FrameSnapshot> H264DecoderSession::get_frame(int32_t index, bool needs_pixels) {
    check_open();
    if (index < 0 || index >= num_frames()) {
        throw std::out_of_range("Frame index out of bounds: " + std::to_string(index));
    }
    std::lock_guard<std::mutex> lock(decode_mutex_);
    // close() may have come in while this call waited for the lock.
    check_open();
    retrieval_.note_request(index, needs_pixels);
    if (std::shared_ptr<FrameSnapshot> cached = retrieval_.cached(index, needs_pixels)) {
        return cached;
    }
    const bool keeps_pixels = needs_pixels || retrieval_.keeps_pixels();
    if (std::shared_ptr<FrameSnapshot> ahead = take_from_read_ahead(index, keeps_pixels)) {
        return ahead;
    }
    std::shared_ptr<FrameSnapshot> result = retrieval_.decode(index, keeps_pixels);
    if (retrieval_.requests_move_forward()) {
        read_ahead_.run_ahead_of(index, keeps_pixels);
    }
    return result;
}

// The frame where the read-ahead has it, and the frames before it that the caller passed
// over, into the cache as if decoded on the way.
std::shared_ptr<FrameSnapshot> H264DecoderSession::take_from_read_ahead(int32_t index, bool needs_pixels) {
    std::vector<NumberedSnapshot> passed;
    std::shared_ptr<FrameSnapshot> result = read_ahead_.take(index, needs_pixels, passed);
    for (NumberedSnapshot& frame : passed) {
        retrieval_.keep(frame.frame, std::move(frame.snapshot));
    }
    if (result) {
        retrieval_.keep(index, result);
    }
    return result;
}
