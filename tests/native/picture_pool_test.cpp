// The picture pool against FFmpeg's own: the same row pitches for every size and format a
// session meets, aligned planes inside their block, blocks reused once free, the last freed
// first, in this and other sessions' pools, and no more kept than kIdlePictureBytes.

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "check.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/picture_pool.hpp"

namespace {

// An opened H.264 decoder: FFmpeg's own get_buffer2 needs one.
CodecContextHandle open_decoder(PicturePool* pool) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    CodecContextHandle decoder(avcodec_alloc_context3(codec));
    decoder->thread_count = 1;
    if (pool) {
        pool->serve(*decoder);
    }
    CHECK(avcodec_open2(decoder.get(), codec, nullptr) >= 0);
    return decoder;
}

FrameHandle picture(AVCodecContext& decoder, AVPixelFormat format, int width, int height,
                    bool ffmpegs_own = false) {
    FrameHandle frame = allocate_frame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    decoder.pix_fmt = format;
    const int result = ffmpegs_own ? avcodec_default_get_buffer2(&decoder, frame.get(), 0)
                                   : decoder.get_buffer2(&decoder, frame.get(), 0);
    CHECK_EQ(result, 0);
    return frame;
}

int planes_of(AVPixelFormat format) { return av_pix_fmt_count_planes(format); }

// Every plane's rows fit inside the buffers behind the picture, at aligned addresses.
bool planes_lie_in_buffers(const AVFrame& frame) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    for (int plane = 0; plane < planes_of(static_cast<AVPixelFormat>(frame.format)); ++plane) {
        const int rows = plane == 0 ? frame.height : -((-frame.height) >> desc->log2_chroma_h);
        const uint8_t* first = frame.data[plane];
        const uint8_t* end = first + static_cast<std::ptrdiff_t>(frame.linesize[plane]) * rows;
        bool inside = false;
        for (const AVBufferRef* buffer : frame.buf) {
            inside = inside || (buffer && first >= buffer->data && end <= buffer->data + buffer->size);
        }
        if (!inside || reinterpret_cast<uintptr_t>(first) % 64 != 0) {
            return false;
        }
    }
    return true;
}

void row_pitches_are_ffmpegs(PicturePool& pool) {
    const CodecContextHandle ours = open_decoder(&pool);
    const CodecContextHandle theirs = open_decoder(nullptr);
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P,
                                     AV_PIX_FMT_YUV444P, AV_PIX_FMT_GRAY8};
    const int sizes[][2] = {{64, 48}, {33, 17}, {1920, 1080}, {640, 360}, {34, 18}, {1, 1}};
    for (const AVPixelFormat format : formats) {
        for (const auto& size : sizes) {
            const FrameHandle mine = picture(*ours, format, size[0], size[1]);
            const FrameHandle reference = picture(*theirs, format, size[0], size[1], true);
            for (int plane = 0; plane < AV_NUM_DATA_POINTERS; ++plane) {
                CHECK_EQ(mine->linesize[plane], reference->linesize[plane]);
                CHECK_EQ(mine->data[plane] == nullptr, reference->data[plane] == nullptr);
            }
            CHECK(planes_lie_in_buffers(*mine));
        }
    }
}

void free_blocks_serve_the_next_pictures_of_any_pool() {
    PicturePool first;
    const CodecContextHandle decoder = open_decoder(&first);
    FrameHandle held = picture(*decoder, AV_PIX_FMT_YUV420P, 640, 360);
    const uint8_t* block = held->buf[0]->data;
    // While it is held, the block is no other picture's.
    const FrameHandle other = picture(*decoder, AV_PIX_FMT_YUV420P, 640, 360);
    CHECK(other->buf[0]->data != block);
    held.reset();
    CHECK(picture(*decoder, AV_PIX_FMT_YUV420P, 640, 360)->buf[0]->data == block);

    // A picture that outlives its pool and decoder is freed into the blocks kept all the same,
    // and serves another session's pool.
    auto gone = std::make_unique<PicturePool>();
    CodecContextHandle gone_decoder = open_decoder(gone.get());
    FrameHandle survivor = picture(*gone_decoder, AV_PIX_FMT_YUV420P, 320, 240);
    const uint8_t* survivor_block = survivor->buf[0]->data;
    gone_decoder.reset();
    gone.reset();
    survivor.reset();
    CHECK(picture(*decoder, AV_PIX_FMT_YUV420P, 320, 240)->buf[0]->data == survivor_block);
}

void no_more_than_the_idle_bytes_are_kept() {
    PicturePool pool;
    const CodecContextHandle decoder = open_decoder(&pool);
    std::vector<FrameHandle> pictures;
    std::size_t bytes = 0;
    while (bytes <= 2 * kIdlePictureBytes) {
        pictures.push_back(picture(*decoder, AV_PIX_FMT_YUV420P, 4096, 2304));
        bytes += pictures.back()->buf[0]->size;
    }
    // Every block comes back zeroed, a kept one too: a damaged picture's concealment reads
    // samples it never writes. The mark shows whether a kept block was cleared.
    constexpr uint8_t kMark = 0xA5;
    std::set<const uint8_t*> handed_out;
    for (const FrameHandle& frame : pictures) {
        frame->buf[0]->data[0] = kMark;
        handed_out.insert(frame->buf[0]->data);
    }
    const std::size_t block_bytes = pictures.front()->buf[0]->size;
    const std::size_t allocated = pictures.size();
    pictures.clear();
    // Kept blocks come back before any new one, so they are the leading run of blocks handed
    // out before; a new block may be mapped where a freed one was, which lengthens the run by
    // one at most.
    std::size_t reused = 0;
    bool in_run = true;
    for (std::size_t i = 0; i < allocated; ++i) {
        pictures.push_back(picture(*decoder, AV_PIX_FMT_YUV420P, 4096, 2304));
        CHECK(pictures.back()->buf[0]->data[0] == 0);
        in_run = in_run && handed_out.count(pictures.back()->buf[0]->data) > 0;
        reused += in_run;
    }
    // As many as fit in the idle bytes are kept, and no more (the small blocks the checks
    // before left idle may take the room of one).
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer's allocator maps new blocks where several freed ones were, so there an
    // address cannot tell a kept block from a new one.
    CHECK(reused <= kIdlePictureBytes / block_bytes + 1);
#endif
    CHECK(reused + 1 >= kIdlePictureBytes / block_bytes);
}

}  // namespace

int main() {
    PicturePool pool;
    row_pitches_are_ffmpegs(pool);
    free_blocks_serve_the_next_pictures_of_any_pool();
    no_more_than_the_idle_bytes_are_kept();
    return finish("picture_pool_test");
}
