#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

// Picture buffers for the decoders of one session: its own and its read-ahead's. A buffer
// that the decoders and the snapshots are done with goes back to memory blocks this process
// keeps (up to kIdlePictureBytes) and serves the next picture of the same size, of whichever
// decoder or session asks. So the memory behind pictures is the most the process holds at
// once (a session's cache, its read-ahead's snapshots, each decoder's references), not the
// sum of each decoder's busiest moment, and pictures are decoded into memory the process
// already has rather than pages the system must fault in and clear, a tenth of the decoding
// time of a loop that reads pictures. Buffers are laid out as FFmpeg's own pool lays them out
// (the same row pitches and alignment), all planes of a picture in one block. Every block is
// handed out zeroed, reused ones too: where a picture is damaged, FFmpeg's concealment leaves
// samples it never writes (at 2 bytes per sample it works on bytes, so half of each damaged
// row; in 4:2:2 and 4:4:4 part of each chroma block), and it reads them back to guess the
// rest. In a reused block those would be another picture's, of whichever file this process
// decoded before, and the picture would depend on the order of requests.
//
// Thread-safe. A decoder that takes its pictures from the pool must be freed before the
// pool; the buffers may outlive both.
class PicturePool {
public:
    // Before the decoder is opened: it takes its pictures from this pool from then on.
    void serve(AVCodecContext& decoder);

private:
    // Where the planes of one picture size and format lie in a block.
    struct Layout {
        AVPixelFormat format;
        int width;
        int height;
        std::array<int, 4> linesize{};
        std::array<std::size_t, 4> offset{};
        int planes = 0;
        std::size_t block_bytes = 0;
    };

    static int get_buffer(AVCodecContext* decoder, AVFrame* frame, int flags);
    int fill(AVCodecContext& decoder, AVFrame& frame);
    const Layout* layout_for(AVCodecContext& decoder, const AVFrame& frame);

    std::mutex mutex_;
    // Layouts of the sizes met; a stream rarely changes size more than once.
    std::vector<Layout> layouts_;
};

// Memory of pictures this process keeps for reuse once no picture uses it, at most: about 80
// pictures of 1080p.
constexpr std::size_t kIdlePictureBytes = std::size_t{256} << 20;
