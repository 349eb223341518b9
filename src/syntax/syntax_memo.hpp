#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

struct FrameSyntax;

// The syntax of the frames read last with their context (records, slice headers, the
// pictures before them), without their levels: a frame asked of another method next (its
// residual, then its motion field, then its macroblocks) is parsed once, not once per
// method. Holds at most `budget` bytes of records; the frame kept first goes first.
// Safe to use from many threads.
class SyntaxMemo {
public:
    // How a frame was read: alone, or in a run of frames in file order, which gives a frame
    // the pictures before it from further back (FrameSyntax::earlier). Where the context is
    // used, a frame is taken only as it was read, so that a frame and the pictures it names
    // always come from reads of one kind.
    enum class Read { Alone, InFileOrder };

    explicit SyntaxMemo(std::size_t budget) : budget_(budget) {}

    // The frame's syntax as read `read`, or as read either way where `records_only`; null
    // where it is not kept.
    std::shared_ptr<const FrameSyntax> find(int32_t frame, Read read, bool records_only) const;
    // Keeps a copy of a frame's syntax read with its context (any levels left out).
    void keep(int32_t frame, Read read, const FrameSyntax& syntax);
    // Keeps it as keep() does, but takes its vectors rather than copying them (a copy costs
    // as much as a tenth of reading the frame): `syntax` is left those of a frame let go,
    // their contents stale, to be read into again. Its levels stay where they are.
    void take(int32_t frame, Read read, FrameSyntax& syntax);

private:
    struct Entry {
        int32_t frame;
        Read read;
        std::shared_ptr<const FrameSyntax> syntax;
    };

    bool holds(int32_t frame, Read read) const;
    // Lets the frames kept first go until `bytes` more fit; the first of them no caller holds
    // any more, if any.
    std::shared_ptr<FrameSyntax> make_room(std::size_t bytes);

    const std::size_t budget_;
    mutable std::mutex mutex_;
    std::deque<Entry> entries_;
    std::size_t held_ = 0;
};
