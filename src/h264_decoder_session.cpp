#include "h264_decoder_session.hpp"

#include <stdexcept>

#include "decode/first_output.hpp"
#include "h264/reference_packet.hpp"

// The scan leaves the demuxer at the end of the file and the decoder untouched; the first
// request seeks in any case, as last_decoded_index_ says.
H264DecoderSession::H264DecoderSession(const std::string& path, const SessionOptions& options)
    : options_(options),
      pictures_(std::make_shared<PicturePool>()),
      input_(path, options, pictures_),
      index_(scan_stream_index(
          input_, path,
          [this](const std::vector<PacketInfo>& packets) { return find_first_output(input_, packets); },
          [this](const std::vector<PacketInfo>& packets) { return find_output_order(input_, packets); })),
      run_(input_, index_),
      read_ahead_(index_, options_, pictures_) {
    const AVCodecParameters* codecpar = input_.video_stream().codecpar;
    loop_filter_.configure(options_.deblocking, nal_length_size(codecpar->extradata, codecpar->extradata_size),
                           codecpar->codec_id == AV_CODEC_ID_H264);
}

void H264DecoderSession::close() {
    std::lock_guard<std::mutex> lock(decode_mutex_);
    if (closed_.exchange(true)) {
        return;
    }
    read_ahead_.stop();
    cache_ = FrameCache{};
    input_.close();
    const std::lock_guard<std::mutex> syntax_lock(syntax_mutex_);
    syntax_reader_.reset();
}

std::shared_ptr<FrameSyntaxReader> H264DecoderSession::syntax_reader() {
    const std::lock_guard<std::mutex> lock(syntax_mutex_);
    check_open();
    if (!syntax_reader_) {
        syntax_reader_ = std::make_shared<FrameSyntaxReader>(index_, options_);
    }
    return syntax_reader_;
}

void H264DecoderSession::check_open() const {
    if (closed_.load()) {
        throw std::runtime_error("The session is closed: " + index_->path);
    }
}
