#include "h264_decoder_session.hpp"

#include "decode/first_output.hpp"
#include "h264/reference_packet.hpp"

// The scan leaves the demuxer at the end of the file and the decoder untouched; the first
// request seeks in any case, as last_decoded_index_ says.
H264DecoderSession::H264DecoderSession(const std::string& path, const SessionOptions& options)
    : options_(options),
      pictures_(std::make_shared<PicturePool>()),
      input_(path, options, pictures_),
      index_(scan_stream_index(input_, path,
                               [this](const std::vector<PacketInfo>& packets) {
                                   return find_first_output(input_, packets);
                               })),
      run_(input_, index_),
      read_ahead_(index_, options_, pictures_) {
    const AVCodecParameters* codecpar = input_.video_stream().codecpar;
    loop_filter_.configure(options_.deblocking, nal_length_size(codecpar->extradata, codecpar->extradata_size));
}
