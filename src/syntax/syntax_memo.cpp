#include "syntax/syntax_memo.hpp"

#include <algorithm>

#include "syntax/frame_syntax_reader.hpp"

namespace {

// Everything of a frame's syntax but its levels, in one list for a copy and a take: each
// vector is given to `vector` with its place in `into`, the rest copied.
template <typename Syntax, typename Vector>
void all_but_levels(Syntax& from, FrameSyntax& into, Vector vector) {
    into.rows = from.rows;
    into.cols = from.cols;
    vector(from.records, into.records);
    into.fills_grid = from.fills_grid;
    into.facts = from.facts;
    into.nonzero_levels = from.nonzero_levels;
    vector(from.coded_records, into.coded_records);
    into.coded_cols = from.coded_cols;
    into.sequence = from.sequence;
    into.picture = from.picture;
    vector(from.slices, into.slices);
    vector(from.earlier, into.earlier);
    into.order_count = from.order_count;
}

std::shared_ptr<const FrameSyntax> without_levels(const FrameSyntax& syntax) {
    auto copy = std::make_shared<FrameSyntax>();
    all_but_levels(syntax, *copy, [](const auto& from, auto& into) { into = from; });
    return copy;
}

// The vectors are swapped, the rest copied; `from` keeps its levels.
void take_all_but_levels(FrameSyntax& from, FrameSyntax& into) {
    all_but_levels(from, into, [](auto& taken, auto& place) { place.swap(taken); });
    // What the caller reads into next need not be cleared, but a frame kept before is no
    // frame's slices.
    from.slices.clear();
    from.earlier.clear();
}

std::size_t bytes_of(const FrameSyntax& syntax) {
    return (syntax.records.size() + syntax.coded_records.size()) * sizeof(MbSyntaxRecord) +
           syntax.slices.size() * sizeof(SliceSyntaxHeader) + syntax.earlier.size() * sizeof(EarlierPicture) +
           sizeof(FrameSyntax);
}

}  // namespace

std::shared_ptr<const FrameSyntax> SyntaxMemo::find(int32_t frame, Read read, bool records_only) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto kept = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.frame == frame && (records_only || entry.read == read);
    });
    return kept == entries_.end() ? nullptr : kept->syntax;
}

bool SyntaxMemo::holds(int32_t frame, Read read) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.frame == frame && entry.read == read; });
}

std::shared_ptr<FrameSyntax> SyntaxMemo::make_room(std::size_t bytes) {
    std::shared_ptr<FrameSyntax> unused;
    while (!entries_.empty() && held_ + bytes > budget_) {
        Entry& oldest = entries_.front();
        held_ -= bytes_of(*oldest.syntax);
        // Under the lock no other holder can appear: find() is the only way to one.
        if (!unused && oldest.syntax.use_count() == 1) {
            unused = std::const_pointer_cast<FrameSyntax>(std::move(oldest.syntax));
        }
        entries_.pop_front();
    }
    return unused;
}

void SyntaxMemo::keep(int32_t frame, Read read, const FrameSyntax& syntax) {
    const std::size_t bytes = bytes_of(syntax);
    if (bytes > budget_) {
        return;
    }
    std::shared_ptr<const FrameSyntax> copy = without_levels(syntax);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (holds(frame, read)) {
        return;
    }
    make_room(bytes);
    entries_.push_back({frame, read, std::move(copy)});
    held_ += bytes;
}

void SyntaxMemo::take(int32_t frame, Read read, FrameSyntax& syntax) {
    const std::size_t bytes = bytes_of(syntax);
    if (bytes > budget_) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (holds(frame, read)) {
        return;
    }
    std::shared_ptr<FrameSyntax> kept = make_room(bytes);
    if (!kept) {
        kept = std::make_shared<FrameSyntax>();
    }
    take_all_but_levels(syntax, *kept);
    entries_.push_back({frame, read, std::move(kept)});
    held_ += bytes;
}
