#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ahead/read_ahead.hpp"
#include "ffmpeg/picture_pool.hpp"
#include "ffmpeg/session_options.hpp"
#include "ffmpeg/stream_facts.hpp"
#include "ffmpeg/video_input.hpp"
#include "frame/frame_snapshot.hpp"
#include "frame_retrieval.hpp"
#include "index/stream_index.hpp"
#include "syntax/frame_syntax_reader.hpp"

// Random access, by frame number in presentation order, to the pictures of one video file,
// decoded with the deblocking filter skipped unless the options ask otherwise, and with the
// encoder's per-block QP exported.
//
// The session owns its demuxer and decoder exclusively. Construction scans the whole file once,
// without decoding, to number the frames; the index it builds never changes and is shared with
// the batch readers of the same file. get_frame's FrameRetrieval keeps the snapshots of the
// last 64 frames decoded (fewer when they would take more than 1 GiB), with their pictures
// where the request that decoded them wanted pixels, and decodes forward instead of seeking
// when the requested frame lies a little ahead, in the same key-frame interval or in one whose
// key packet the decoder has already taken. Whether the pictures before the requested frame
// that nothing references are decoded for the cache depends on the pattern of requests
// (RequestPattern). While requests move forward, the key-frame intervals after the caller's are
// decoded ahead on decoders of their own (ReadAhead), and their snapshots join the cache as the
// caller reaches them. A frame's picture is the one decoding from its own key packet gives,
// whatever was asked for before and whichever decoder decoded it. get_frame serialises
// concurrent callers with its own mutex; the facts and the index never change after
// construction and may be read at any time. The options choose the loop filter's mode
// (LoopFilterSwitch says how "exact" keeps that promise), whether motion vectors and macroblock
// types are exported, and how far the session reads ahead.
//
// close() lets go of the demuxer, the decoder, the read-ahead's decoders and the cached
// snapshots at once; get_frame and check_open then throw std::runtime_error, while the facts
// and the index stay readable.
class H264DecoderSession {
public:
    explicit H264DecoderSession(const std::string& path, const SessionOptions& options = {});
    H264DecoderSession(const H264DecoderSession&) = delete;
    H264DecoderSession& operator=(const H264DecoderSession&) = delete;

    // The frame with this number, or an exception: std::out_of_range for a number outside
    // 0..num_frames-1, std::runtime_error when the decoder does not produce the frame or the
    // session is closed.
    // Without needs_pixels the snapshot may hold the QP map and offsets only.
    std::shared_ptr<FrameSnapshot> get_frame(int32_t index, bool needs_pixels = true);

    const StreamFacts& facts() const { return index_->facts; }
    int32_t num_frames() const { return index_->num_frames(); }
    const SessionOptions& options() const { return options_; }
    const std::shared_ptr<const StreamIndex>& index() const { return index_; }

    // Seeks since the session was opened, for tests and diagnostics of the cache's policy.
    int64_t seek_count() const { return retrieval_.seek_count(); }

    // Frames the read-ahead has served since the session was opened, for tests and diagnostics.
    int64_t frames_read_ahead() const { return read_ahead_.frames_taken(); }
    // The bytes of the snapshots the read-ahead holds, for tests and diagnostics.
    SnapshotBytes read_ahead_bytes() const { return read_ahead_.snapshot_bytes(); }

    // The reader of frames' syntax, with a demuxer of its own, opened at its first use and
    // let go of by close() (a read under way keeps it until it ends); std::runtime_error once
    // the session is closed.
    std::shared_ptr<FrameSyntaxReader> syntax_reader();

    // Waits for a get_frame under way, then closes the file; closing again does nothing.
    void close();
    bool closed() const { return closed_.load(); }
    // std::runtime_error("The session is closed: <path>") once it is.
    void check_open() const;

private:
    std::shared_ptr<FrameSnapshot> take_from_read_ahead(int32_t index, bool needs_pixels);

    const SessionOptions options_;
    // Shared by the session's decoder and its read-ahead's.
    const std::shared_ptr<PicturePool> pictures_;
    VideoInput input_;
    const std::shared_ptr<const StreamIndex> index_;
    // Decodes on input_, which nothing else uses after the scan.
    FrameRetrieval retrieval_;
    std::atomic<bool> closed_{false};
    std::mutex decode_mutex_;
    std::mutex syntax_mutex_;
    std::shared_ptr<FrameSyntaxReader> syntax_reader_;
    // Last, so that its threads end before anything else of the session goes.
    ReadAhead read_ahead_;
};
