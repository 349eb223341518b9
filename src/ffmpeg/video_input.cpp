#include "ffmpeg/video_input.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "ffmpeg/decoder_settings.hpp"
#include "ffmpeg/error.hpp"
#include "ffmpeg/ffmpeg_messages.hpp"
#include "ffmpeg/local_files.hpp"
#include "ffmpeg/quiet_log.hpp"

namespace {

bool is_video(const AVStream& stream) { return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO; }

// Cover art and thumbnails: one picture that the demuxer delivers once, not a video.
bool is_attached_picture(const AVStream& stream) { return (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0; }

std::string describe_stream(unsigned int index, const AVStream& stream) {
    const char* type = av_get_media_type_string(stream.codecpar->codec_type);
    std::string text = std::to_string(index) + ": " + (type ? type : "unknown") + " " +
                       avcodec_get_name(stream.codecpar->codec_id);
    return is_attached_picture(stream) ? text + " (attached picture)" : text;
}

}  // namespace

VideoInput::VideoInput(const std::string& path, const SessionOptions& options, std::shared_ptr<PicturePool> pictures)
    : path_(path), options_(options), pictures_(std::move(pictures)) {
    const MessageContext messages(path);
    open_demuxer(path);
    probe(path);
    if (options.stream == kFirstVideoStream) {
        choose_first_video_stream(path);
    } else {
        choose_stream(path, options.stream);
    }
    discard_other_streams();
    open_decoder();
}

VideoInput::VideoInput(const std::string& path, int32_t stream, const SessionOptions& options,
                       std::shared_ptr<PicturePool> pictures)
    : path_(path), options_(options), pictures_(std::move(pictures)) {
    const MessageContext messages(path);
    open_demuxer(path);
    probe(path);
    if (stream < 0 || stream >= static_cast<int32_t>(demuxer_->nb_streams) || !is_video(*demuxer_->streams[stream])) {
        throw std::runtime_error("No video stream at index " + std::to_string(stream) + " in: " + path);
    }
    stream_ = stream;
    discard_other_streams();
    open_decoder();
}

// Streams other than video are discarded before probing, so that the probe and every read
// after it skip their packets.
void VideoInput::open_demuxer(const std::string& path) {
    // FFmpeg takes the path as a C string: it would open the file named by the bytes before
    // the first null.
    if (path.find('\0') != std::string::npos) {
        throw std::invalid_argument("The path contains a null byte");
    }
    check_local_path(path);
    DictionaryHandle options = local_files_only();
    AVDictionary* passed = options.release();
    AVFormatContext* opened = nullptr;
    const int result = avformat_open_input(&opened, path.c_str(), nullptr, &passed);
    // What FFmpeg leaves in the dictionary is the options it did not use.
    options.reset(passed);
    if (result < 0) {
        // FFmpeg frees the context itself when opening fails.
        throw std::runtime_error("Cannot open input video: " + path + " (" + ffmpeg_error_text(result) + ")");
    }
    demuxer_.reset(opened);
    for (unsigned int i = 0; i < demuxer_->nb_streams; ++i) {
        if (!is_video(*demuxer_->streams[i])) {
            demuxer_->streams[i]->discard = AVDISCARD_ALL;
        }
    }
}

// The decoder has to start from what probing learns of the stream (its extradata, size and
// format), whichever reader opens the file.
void VideoInput::probe(const std::string& path) {
    int result = 0;
    {
        QuietFfmpegLog quiet;
        result = avformat_find_stream_info(demuxer_.get(), nullptr);
    }
    if (result < 0) {
        throw std::runtime_error("Cannot find stream info in: " + path);
    }
}

void VideoInput::choose_first_video_stream(const std::string& path) {
    for (unsigned int i = 0; i < demuxer_->nb_streams; ++i) {
        if (is_video(*demuxer_->streams[i]) && !is_attached_picture(*demuxer_->streams[i])) {
            stream_ = static_cast<int32_t>(i);
            return;
        }
    }
    throw std::runtime_error("No video stream found in: " + path);
}

void VideoInput::choose_stream(const std::string& path, int32_t stream) {
    if (stream < 0 || stream >= static_cast<int32_t>(demuxer_->nb_streams) || !is_video(*demuxer_->streams[stream])) {
        throw std::invalid_argument("Stream " + std::to_string(stream) + " of " + path +
                                    " is no video stream; the file holds " + describe_streams());
    }
    stream_ = stream;
}

std::string VideoInput::describe_streams() const {
    std::string text;
    for (unsigned int i = 0; i < demuxer_->nb_streams; ++i) {
        text += (i == 0 ? "" : ", ") + describe_stream(i, *demuxer_->streams[i]);
    }
    return text.empty() ? "no streams" : text;
}

void VideoInput::discard_other_streams() {
    for (unsigned int i = 0; i < demuxer_->nb_streams; ++i) {
        if (static_cast<int32_t>(i) != stream_) {
            demuxer_->streams[i]->discard = AVDISCARD_ALL;
        }
    }
}

void VideoInput::open_decoder() {
    const AVCodecParameters* codecpar = video_stream().codecpar;
    const AVCodec* codec = avcodec_find_decoder(codecpar->codec_id);
    if (!codec) {
        throw std::runtime_error(std::string("No decoder for codec ") + avcodec_get_name(codecpar->codec_id) +
                                 " in: " + path_);
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) {
        throw std::runtime_error("Cannot allocate AVCodecContext");
    }
    int result = avcodec_parameters_to_context(decoder_.get(), codecpar);
    if (result < 0) {
        throw std::runtime_error("Cannot open codec: " + ffmpeg_error_text(result));
    }
    apply_decoder_settings(decoder_.get(), options_);
    if (pictures_) {
        pictures_->serve(*decoder_);
    }
    if (options_.mb_types) {
        mb_type_log_ = std::make_unique<MbTypeLog>(*decoder_);
    }
    result = avcodec_open2(decoder_.get(), codec, nullptr);
    if (result < 0) {
        throw std::runtime_error("Cannot open codec: " + ffmpeg_error_text(result));
    }
}

// The capture goes first: it refers to the decoder.
void VideoInput::renew_decoder() {
    mb_type_log_.reset();
    decoder_.reset();
    open_decoder();
}

bool VideoInput::seek_to_timestamp(int64_t timestamp) {
    // Where the demuxer has no index (MPEG-TS) it searches by reading packets through FFmpeg's
    // parser from points between parameter sets, whose complaints ("non-existing PPS") are
    // the search's, not the stream's: kept as the file's, at debug level.
    MessageContext messages(path_);
    messages.set_frame(-1, true);
    return av_seek_frame(demuxer_.get(), stream_, timestamp, AVSEEK_FLAG_BACKWARD) >= 0;
}

bool VideoInput::seek_to_byte(int64_t byte) {
    return av_seek_frame(demuxer_.get(), stream_, byte, AVSEEK_FLAG_BYTE) >= 0;
}

// In the reverse order of declaration, as the destructor frees them.
void VideoInput::close() {
    mb_type_log_.reset();
    decoder_.reset();
    demuxer_.reset();
}
