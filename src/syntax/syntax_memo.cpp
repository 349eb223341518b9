#include "syntax/syntax_memo.hpp"

#include <algorithm>

#include "syntax/frame_syntax_reader.hpp"

namespace {

std::shared_ptr<const FrameSyntax> without_levels(const FrameSyntax& syntax) {
    auto copy = std::make_shared<FrameSyntax>();
    copy->rows = syntax.rows;
    copy->cols = syntax.cols;
    copy->records = syntax.records;
    copy->fills_grid = syntax.fills_grid;
    copy->facts = syntax.facts;
    copy->nonzero_levels = syntax.nonzero_levels;
    copy->coded_records = syntax.coded_records;
    copy->coded_cols = syntax.coded_cols;
    copy->sequence = syntax.sequence;
    copy->picture = syntax.picture;
    copy->slices = syntax.slices;
    copy->earlier = syntax.earlier;
    copy->order_count = syntax.order_count;
    return copy;
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

void SyntaxMemo::keep(int32_t frame, Read read, const FrameSyntax& syntax) {
    const std::size_t bytes = bytes_of(syntax);
    if (bytes > budget_) {
        return;
    }
    std::shared_ptr<const FrameSyntax> copy = without_levels(syntax);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (std::any_of(entries_.begin(), entries_.end(),
                    [&](const Entry& entry) { return entry.frame == frame && entry.read == read; })) {
        return;
    }
    while (!entries_.empty() && held_ + bytes > budget_) {
        held_ -= bytes_of(*entries_.front().syntax);
        entries_.pop_front();
    }
    entries_.push_back({frame, read, std::move(copy)});
    held_ += bytes;
}
