#include "ffmpeg/picture_pool.hpp"

#include <cstring>
#include <map>
#include <vector>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

namespace {

// FFmpeg's largest stride alignment (AVX-512), and the bytes its own pool adds after each
// plane for reads past the last row: 16 + the alignment - 1.
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPlanePadding = 16 + kAlignment - 1;
// Layouts a session keeps; a stream of more sizes has its oldest forgotten.
constexpr std::size_t kLayoutsKept = 4;

std::size_t aligned(std::size_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

// Blocks that no picture uses, by size, shared by every session of the process.
class IdleBlocks {
public:
    static IdleBlocks& process_wide() {
        // Never destroyed: buffers may be released while the process exits.
        static IdleBlocks* blocks = new IdleBlocks;
        return *blocks;
    }

    // A zeroed block of this size: the one kept last, the warmest, else a new one; null when
    // memory runs out.
    uint8_t* take(std::size_t bytes) {
        if (uint8_t* block = take_kept(bytes)) {
            std::memset(block, 0, bytes);
            return block;
        }
        return static_cast<uint8_t*>(av_mallocz(bytes));
    }

    // Kept while the blocks kept stay within kIdlePictureBytes, else freed.
    void give(uint8_t* block, std::size_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (idle_bytes_ + bytes <= kIdlePictureBytes) {
                blocks_[bytes].push_back(block);
                idle_bytes_ += bytes;
                return;
            }
        }
        av_free(block);
    }

private:
    uint8_t* take_kept(std::size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto kept = blocks_.find(bytes);
        if (kept == blocks_.end() || kept->second.empty()) {
            return nullptr;
        }
        uint8_t* block = kept->second.back();
        kept->second.pop_back();
        idle_bytes_ -= bytes;
        return block;
    }

    std::mutex mutex_;
    std::map<std::size_t, std::vector<uint8_t*>> blocks_;
    std::size_t idle_bytes_ = 0;
};

// The buffer's opaque pointer carries its block's size.
void release_block(void* bytes, uint8_t* block) {
    IdleBlocks::process_wide().give(block, reinterpret_cast<std::size_t>(bytes));
}

AVBufferRef* picture_buffer(std::size_t bytes) {
    uint8_t* block = IdleBlocks::process_wide().take(bytes);
    if (!block) {
        return nullptr;
    }
    AVBufferRef* buffer = av_buffer_create(block, bytes, release_block, reinterpret_cast<void*>(bytes), 0);
    if (!buffer) {
        IdleBlocks::process_wide().give(block, bytes);
    }
    return buffer;
}

// Row pitches as avcodec_default_get_buffer2 finds them: the aligned width widened until
// every plane's pitch is a multiple of its alignment. Returns false for a format without
// planes.
bool fill_linesizes(AVPixelFormat format, int width, const int* alignment, std::array<int, 4>& linesize) {
    bool unaligned = false;
    do {
        if (av_image_fill_linesizes(linesize.data(), format, width) < 0) {
            return false;
        }
        width += width & ~(width - 1);
        unaligned = false;
        for (int plane = 0; plane < 4; ++plane) {
            unaligned = unaligned || (alignment[plane] > 0 && linesize[plane] % alignment[plane] != 0);
        }
    } while (unaligned);
    return true;
}

}  // namespace

// With one decoding thread, as every session has, FFmpeg calls get_buffer2 on the thread that
// sends the packet; frame threads are never started, and saying so keeps FFmpeg from warning
// about a callback it would have to call from several.
void PicturePool::serve(AVCodecContext& decoder) {
    decoder.opaque = this;
    decoder.get_buffer2 = &PicturePool::get_buffer;
    decoder.thread_type &= ~FF_THREAD_FRAME;
}

int PicturePool::get_buffer(AVCodecContext* decoder, AVFrame* frame, int flags) {
    if (decoder->codec_type != AVMEDIA_TYPE_VIDEO) {
        return avcodec_default_get_buffer2(decoder, frame, flags);
    }
    return static_cast<PicturePool*>(decoder->opaque)->fill(*decoder, *frame);
}

int PicturePool::fill(AVCodecContext& decoder, AVFrame& frame) {
    Layout layout;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Layout* found = layout_for(decoder, frame);
        if (!found) {
            return AVERROR(ENOMEM);
        }
        layout = *found;
    }
    AVBufferRef* buffer = picture_buffer(layout.block_bytes);
    if (!buffer) {
        return AVERROR(ENOMEM);
    }
    frame.buf[0] = buffer;
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS; ++plane) {
        const bool used = plane < layout.planes;
        frame.data[plane] = used ? buffer->data + layout.offset[plane] : nullptr;
        frame.linesize[plane] = used ? layout.linesize[plane] : 0;
    }
    frame.extended_data = frame.data;
    return 0;
}

// Under the lock.
const PicturePool::Layout* PicturePool::layout_for(AVCodecContext& decoder, const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    for (const Layout& layout : layouts_) {
        if (layout.format == format && layout.width == frame.width && layout.height == frame.height) {
            return &layout;
        }
    }
    Layout layout{format, frame.width, frame.height};
    int width = frame.width;
    int height = frame.height;
    int alignment[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(&decoder, &width, &height, alignment);
    if (!fill_linesizes(format, width, alignment, layout.linesize)) {
        return nullptr;
    }
    std::array<ptrdiff_t, 4> pitches{};
    std::array<std::size_t, 4> sizes{};
    for (int plane = 0; plane < 4; ++plane) {
        pitches[plane] = layout.linesize[plane];
    }
    if (av_image_fill_plane_sizes(sizes.data(), format, height, pitches.data()) < 0) {
        return nullptr;
    }
    for (int plane = 0; plane < 4 && sizes[plane] > 0; ++plane) {
        layout.offset[plane] = layout.block_bytes;
        layout.block_bytes = aligned(layout.block_bytes + sizes[plane] + kPlanePadding);
        layout.planes = plane + 1;
    }
    if (layouts_.size() == kLayoutsKept) {
        layouts_.erase(layouts_.begin());
    }
    layouts_.push_back(layout);
    return &layouts_.back();
}
