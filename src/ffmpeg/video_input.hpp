#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "ffmpeg/handles.hpp"
#include "ffmpeg/mb_type_log.hpp"
#include "ffmpeg/picture_pool.hpp"
#include "ffmpeg/session_options.hpp"

// One file opened for decoding: its demuxer, probed, with the video stream chosen and every
// other stream discarded, and a one-thread decoder for that stream with a session's settings.
// The session and every interval decoder open their files this way, so that their decoders
// start from the same state and give the same pictures.
//
// Owns both contexts and frees them when it goes; not copyable. One thread uses it at a time.
class VideoInput {
public:
    // Opens the file and takes the stream the options name, else its first video stream that
    // is not an attached picture. std::runtime_error, naming the file, where it cannot be
    // opened or probed, has no such video stream, or has no decoder for it;
    // std::invalid_argument, listing the file's streams, where the stream named is missing or
    // is no video.
    // The decoder takes its pictures from `pictures` where given, else from its own buffers.
    VideoInput(const std::string& path, const SessionOptions& options, std::shared_ptr<PicturePool> pictures = {});
    // Opens the file again for the stream an earlier opening chose.
    VideoInput(const std::string& path, int32_t stream, const SessionOptions& options,
               std::shared_ptr<PicturePool> pictures = {});

    AVFormatContext* demuxer() const { return demuxer_.get(); }
    AVCodecContext* decoder() const { return decoder_.get(); }
    int32_t stream() const { return stream_; }
    // The capture of the decoder's macroblock types, where the options ask for them; else null.
    MbTypeLog* mb_type_log() const { return mb_type_log_.get(); }
    const AVStream& video_stream() const { return *demuxer_->streams[stream_]; }

    // Moves the demuxer to the packet that `timestamp`, in the stream's time base, or `byte`
    // position lies in; whether the demuxer accepted.
    bool seek_to_timestamp(int64_t timestamp);
    bool seek_to_byte(int64_t byte);

    // Replaces the decoder with one opened as the first was. A flush does not make the decoder
    // new: FFmpeg's H.264 decoder keeps the coefficients of a macroblock it gave up on and adds
    // them to the next macroblock it reconstructs, in whichever picture that is.
    void renew_decoder();

    // Frees the decoder and the demuxer, closing the file: nothing may use them afterwards.
    void close();

private:
    void open_demuxer(const std::string& path);
    void probe(const std::string& path);
    void choose_first_video_stream(const std::string& path);
    void choose_stream(const std::string& path, int32_t stream);
    std::string describe_streams() const;
    void discard_other_streams();
    void open_decoder();

    const std::string path_;
    const SessionOptions options_;
    FormatContextHandle demuxer_;
    // Before the decoder, which must go first.
    std::shared_ptr<PicturePool> pictures_;
    CodecContextHandle decoder_;
    // Declared after the decoder, so that it goes first: it refers to the decoder.
    std::unique_ptr<MbTypeLog> mb_type_log_;
    int32_t stream_ = -1;
};
