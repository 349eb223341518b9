#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "cached_frame.hpp"
#include "frame_index.hpp"
#include "packet_locator.hpp"

// Random access, by frame number in presentation order, to the pictures of one video file,
// decoded with the deblocking filter skipped and with the encoder's per-block QP exported.
//
// The session owns its demuxer and decoder exclusively and releases them in close(), on a
// failed construction and in the destructor. Construction scans the whole file once,
// without decoding, to number the frames. get_frame keeps the last 64 snapshots (fewer when
// they would take more than 1 GiB) and decodes forward instead of seeking when the
// requested frame lies a little ahead, in the same key-frame interval or in one whose key
// packet the decoder has already taken. A frame's picture is the one decoding from its own
// key packet gives, whatever was asked for before. get_frame
// serialises concurrent callers with its own mutex; the stream facts below never change
// after construction and may be read at any time.
class H264DecoderSession {
public:
    explicit H264DecoderSession(const std::string& path);
    ~H264DecoderSession();
    H264DecoderSession(const H264DecoderSession&) = delete;
    H264DecoderSession& operator=(const H264DecoderSession&) = delete;

    // The frame with this number, or an exception: std::out_of_range for a number outside
    // 0..num_frames-1, std::runtime_error when the decoder does not produce the frame.
    std::shared_ptr<CachedFrame> get_frame(int32_t index);

    int32_t width = 0;
    int32_t height = 0;
    int32_t mb_cols = 0;
    int32_t mb_rows = 0;
    int32_t num_frames = 0;
    double fps = 24.0;
    int32_t fps_num = 24;
    int32_t fps_den = 1;
    std::string pix_fmt = "yuv420p";
    int32_t bytes_per_sample = 1;

private:
    void open();
    void close();

    void open_input();
    void discard_non_video_streams();
    void probe_stream_info();
    void choose_video_stream();
    void read_stream_facts(const AVStream* stream);
    void open_decoder(const AVStream* stream);
    void build_index();
    void rewind();

    bool can_decode_forward(int32_t index) const;
    int32_t previous_key_packet(int32_t packet) const;
    void seek_to_packet(int32_t packet);
    std::shared_ptr<CachedFrame> decode_until(int32_t index, bool last_resort);
    bool leaves_cache_before(const AVPacket& packet, int32_t index) const;
    void receive_frames(AVFrame* frame, int32_t index, bool last_resort, std::shared_ptr<CachedFrame>& result);
    void lose_track();
    void drain_decoder(AVFrame* frame, int32_t index, bool last_resort, std::shared_ptr<CachedFrame>& result);
    bool depends_on_earlier_interval(int32_t decoded, const AVFrame& frame);
    void cache_frame(int32_t index, std::shared_ptr<CachedFrame> snapshot);

    std::string path;
    std::vector<PacketInfo> packets;
    std::vector<int64_t> frame_pts;
    std::vector<int64_t> frame_seek_pts;
    std::vector<int32_t> frame_start_packet;
    std::map<int64_t, int32_t> pts_to_index;
    // Whether frames are numbered from the bitstream, because not every packet carried a
    // timestamp: each packet's timestamp in `packets` is then its frame number, and packets
    // are stamped with it on their way to the decoder.
    bool frames_from_bitstream = false;
    PacketLocator locator;
    AVFormatContext* fmt_ctx = nullptr;
    AVCodecContext* codec_ctx = nullptr;
    int32_t video_stream_index = -1;
    AVRational time_base{0, 1};
    std::map<int32_t, std::shared_ptr<CachedFrame>> frame_cache;
    std::deque<int32_t> cache_order;
    std::size_t cache_bytes = 0;
    int32_t last_decoded_index = -1;
    // Positions in `packets`: the key packet that decoding has to begin with after a seek,
    // until it has been read; the key packet the current run of decoding began with; and
    // the packet the demuxer delivers next.
    int32_t pending_start_packet = -1;
    int32_t decode_run_start = -1;
    int32_t next_packet = 0;
    // Whether the decoder has concealed damage in a picture of a later interval than the
    // one at decode_run_start since the last seek.
    bool run_concealed_later_interval = false;
    std::mutex decode_mutex;
};
