// libFuzzer harness over the decoding session: the input is a request plan followed by a
// file, the same layout as tools/fuzz_session.py's, so the two harnesses share seeds. The
// file is opened from memory through a memfd, and the plan asks for up to eight frames, each
// read the way one of the four frame methods reads a snapshot, or the way the three syntax
// methods read the frame's packets without decoding.
//
// A rule broken aborts with a message, which libFuzzer reports as a crash with its input:
// opening fails only with std::runtime_error or std::bad_alloc; a frame number outside the
// file is std::out_of_range and one inside is not; a snapshot's QP map, planes and offsets
// fit the frame; a frame asked for twice gives the same picture; a frame's syntax fills the
// macroblock grid, with parsed QPs in range, and its residual is rebuilt or refused with
// std::runtime_error.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "frame/picture_area.hpp"
#include "h264_decoder_session.hpp"
#include "reconstruct/rebuilt_picture.hpp"

namespace {

constexpr std::size_t kMaxRequests = 8;
// One byte for the number of requests, then three for each: frame, method, plane.
constexpr std::size_t kPlanSize = 1 + 3 * kMaxRequests;
// The four that decode, then the syntax, its levels, and the residual rebuilt from them.
constexpr uint8_t kMethods = 7;

[[noreturn]] void broken(const std::string& rule) {
    std::fprintf(stderr, "rule broken: %s\n", rule.c_str());
    std::abort();
}

// Mostly frames of the file, sometimes just past either end.
int32_t frame_number(uint8_t selector, int32_t num_frames) {
    return selector >= 250 ? num_frames + selector - 252 : selector % num_frames;
}

// The memfd holding the current input, reopened by path like any file on disk.
class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("fuzz-input", 0)) {
        if (fd_ < 0) {
            broken("memfd_create failed");
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }

    const std::string& hold(const uint8_t* data, std::size_t size) {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) {
            broken("cannot write the input to the memfd");
        }
        return path_;
    }

private:
    int fd_;
    std::string path_;
};

void read_qp_map(const FrameSnapshot& frame) {
    if (frame.qp_map.size() != static_cast<std::size_t>(frame.mb_rows) * static_cast<std::size_t>(frame.mb_cols)) {
        broken("QP map size differs from the macroblock grid");
    }
    for (const int8_t qp : frame.qp_map) {
        if (qp < -1 || qp > 63) {
            broken("QP " + std::to_string(qp) + " outside -1..63");
        }
    }
}

// As get_plane_data: every row of the plane, padding included, copied out of the snapshot.
std::vector<uint8_t> read_plane(const FrameSnapshot& frame, int plane) {
    if (frame.linesize[plane] < frame.plane_width[plane] * frame.bytes_per_sample) {
        broken("plane rows shorter than the picture");
    }
    return std::vector<uint8_t>(frame.planes[plane], frame.planes[plane] + frame.plane_size(plane));
}

void read_offsets(const FrameSnapshot& frame) {
    for (const int32_t offset : {frame.chroma_qp_offset_cb, frame.chroma_qp_offset_cr}) {
        if (offset < -12 || offset > 12) {
            broken("chroma offset " + std::to_string(offset) + " outside -12..12");
        }
    }
}

// As get_mb_syntax, get_coefficients and get_residual: the frame's packets parsed, and for
// method 6 its residual rebuilt from the levels.
void read_syntax(H264DecoderSession& session, int32_t index, int method) {
    FrameSyntax syntax;
    try {
        session.syntax_reader()->read(index, method == 4 ? SyntaxDepth::Records : SyntaxDepth::Levels, syntax);
    } catch (const std::runtime_error&) {
        return;
    }
    if (syntax.records.size() != static_cast<std::size_t>(syntax.rows) * static_cast<std::size_t>(syntax.cols)) {
        broken("syntax records differ from the macroblock grid");
    }
    for (const MbSyntaxRecord& record : syntax.records) {
        if (record.parsed != 0 && (record.qp < 0 || record.qp > 63)) {
            broken("parsed QP " + std::to_string(record.qp) + " outside 0..63");
        }
    }
    if (method == 6) {
        RebuiltPicture picture;
        try {
            rebuild_residual(syntax, picture);
        } catch (const std::runtime_error&) {
        }
    }
}

// As copy_plane_to_ptr: the picture's rows into a destination sized from the session's facts,
// refused for a frame of another size or format.
void copy_plane(const H264DecoderSession& session, const FrameSnapshot& frame, int32_t index, int plane) {
    const StreamFacts& facts = session.facts();
    try {
        check_fits(facts, frame, index);
    } catch (const std::invalid_argument&) {
        return;
    }
    const int64_t stride = static_cast<int64_t>(facts.width) * facts.bytes_per_sample;
    std::vector<uint8_t> destination(static_cast<std::size_t>(stride) * facts.height);
    copy_picture_rows(frame, plane, destination.data(), stride);
}

using SeenPlanes = std::map<std::pair<int32_t, int>, std::vector<uint8_t>>;

void answer(H264DecoderSession& session, const FrameSnapshot& frame, int32_t index, uint8_t method, uint8_t plane,
            SeenPlanes& seen) {
    if (method == 0) {
        read_qp_map(frame);
        return;
    }
    if (method == 2) {
        read_offsets(frame);
        return;
    }
    const int p = plane % 4;
    if (p >= frame.readable_planes()) {
        return;
    }
    if (method == 3) {
        copy_plane(session, frame, index, p);
        return;
    }
    std::vector<uint8_t> data = read_plane(frame, p);
    const auto [first, inserted] = seen.try_emplace({index, p}, std::move(data));
    if (!inserted && first->second != data) {
        broken("frame " + std::to_string(index) + " plane " + std::to_string(p) + ": another picture than before");
    }
}

void request(H264DecoderSession& session, const uint8_t* plan) {
    SeenPlanes seen;
    for (std::size_t step = 0; step < std::min<std::size_t>(plan[0], kMaxRequests); ++step) {
        const uint8_t* triplet = plan + 1 + 3 * step;
        const int32_t index = frame_number(triplet[0], session.num_frames());
        const bool inside = index >= 0 && index < session.num_frames();
        const uint8_t method = triplet[1] % kMethods;
        if (method >= 4) {
            if (inside) {
                read_syntax(session, index, method);
            }
            continue;
        }
        std::shared_ptr<FrameSnapshot> frame;
        try {
            frame = session.get_frame(index);
        } catch (const std::out_of_range&) {
            if (inside) {
                broken("IndexError for frame " + std::to_string(index) + " of " + std::to_string(session.num_frames()));
            }
            continue;
        } catch (const std::runtime_error&) {
            continue;
        } catch (const std::bad_alloc&) {
            continue;
        }
        if (!inside) {
            broken("frame " + std::to_string(index) + " returned, outside the file");
        }
        answer(session, *frame, index, method, triplet[2], seen);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Damaged inputs make FFmpeg complain on every run, which would slow the fuzzer down.
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static MemoryFile file;
    if (size <= kPlanSize) {
        return 0;
    }
    const std::string& path = file.hold(data + kPlanSize, size - kPlanSize);
    std::unique_ptr<H264DecoderSession> session;
    try {
        session = std::make_unique<H264DecoderSession>(path);
    } catch (const std::runtime_error&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (session->num_frames() > 0) {
        request(*session, data);
    }
    return 0;
}
