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

#include "cache_policy.hpp"
#include "cached_frame.hpp"
#include "frame_index.hpp"
#include "loop_filter_switch.hpp"
#include "packet_locator.hpp"
#include "session_options.hpp"

// What the session's scan of its file found, for readers of the same file that bring their
// own demuxer and decoder. Refers into the session, which sets it all at construction and
// never changes it: any thread may read it for as long as the session lives.
struct ScannedFile {
    const std::string& path;
    int32_t video_stream_index;
    AVRational time_base;
    // Every packet of the video stream in file order, and for each frame its timestamp and
    // the position in `packets` of the key packet that decoding it starts from.
    const std::vector<PacketInfo>& packets;
    const std::vector<int64_t>& frame_pts;
    const std::vector<int32_t>& frame_start_packet;
    const std::map<int64_t, int32_t>& pts_to_index;
    // Whether the timestamps above are frame numbers read from the bitstream, which packets
    // get before they are sent to a decoder, and the demuxer's packets are told apart by
    // counting them (PacketLocator::count_packets).
    bool frames_from_bitstream;
    // Which pictures the session gives: a batch decodes them the same way.
    DeblockingMode deblocking;
};

// Random access, by frame number in presentation order, to the pictures of one video file,
// decoded with the deblocking filter skipped unless the options ask otherwise, and with the
// encoder's per-block QP exported.
//
// The session owns its demuxer and decoder exclusively and releases them in close(), on a
// failed construction and in the destructor. Construction scans the whole file once,
// without decoding, to number the frames. get_frame keeps the snapshots of the last 64
// frames decoded (fewer when they would take more than 1 GiB), with their pictures where the
// request that decoded them wanted pixels, and decodes forward instead of seeking when the
// requested frame lies a little ahead, in the same key-frame interval or in one whose key
// packet the decoder has already taken. Whether the pictures before the requested frame that
// nothing references are decoded for the cache depends on the pattern of requests
// (RequestPattern). A frame's picture is the one decoding from its own key packet gives,
// whatever was asked for before. get_frame
// serialises concurrent callers with its own mutex; the stream facts below never change
// after construction and may be read at any time. The options choose the loop filter's
// mode (LoopFilterSwitch says how "exact" keeps that promise) and whether motion vectors
// are exported.
class H264DecoderSession {
public:
    explicit H264DecoderSession(const std::string& path, const SessionOptions& options = {});
    ~H264DecoderSession();
    H264DecoderSession(const H264DecoderSession&) = delete;
    H264DecoderSession& operator=(const H264DecoderSession&) = delete;

    // The frame with this number, or an exception: std::out_of_range for a number outside
    // 0..num_frames-1, std::runtime_error when the decoder does not produce the frame.
    // Without needs_pixels the snapshot may hold the QP map and offsets only.
    std::shared_ptr<CachedFrame> get_frame(int32_t index, bool needs_pixels = true);

    // Seeks since the session was opened, for tests and diagnostics of the cache's policy.
    int64_t seek_count() const { return seeks; }

    ScannedFile scanned_file() const {
        return ScannedFile{path,      video_stream_index, time_base,    packets,
                           frame_pts, frame_start_packet, pts_to_index, frames_from_bitstream,
                           options.deblocking};
    }

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
    const SessionOptions options;

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
    void seek_to_packet(int32_t packet);
    std::shared_ptr<CachedFrame> decode_until(int32_t index, bool last_resort);
    bool skips_unreferenced(const AVPacket& packet, int32_t index) const;
    void receive_frames(AVFrame* frame, int32_t index, bool last_resort, std::shared_ptr<CachedFrame>& result);
    void lose_track();
    void drain_decoder(AVFrame* frame, int32_t index, bool last_resort, std::shared_ptr<CachedFrame>& result);
    bool depends_on_earlier_interval(int32_t decoded, const AVFrame& frame);
    static bool serves(const CachedFrame& cached, bool needs_pixels);
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
    RequestPattern request_pattern;
    // Whether the request being served wants pixels: the pictures decoded on its way are
    // cached with pixels only then.
    bool request_needs_pixels = true;
    int64_t seeks = 0;
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
    LoopFilterSwitch loop_filter;
    std::mutex decode_mutex;
};
