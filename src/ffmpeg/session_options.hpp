#pragma once

#include <string>

// Which reconstruction the pictures show. The loop filter changes nothing but the pictures:
// QP maps, offsets, picture types and motion vectors are the same in every mode.
enum class DeblockingMode {
    // Every picture decoded without the filter, references included: inter pictures drift
    // from what the encoder had, because they predict from unfiltered references.
    Skip,
    // References filtered as the stream intends, the requested picture's own filter skipped:
    // the reconstruction a conforming decoder holds just before filtering it.
    Exact,
    // The filtered pictures a player shows.
    On,
};

// Parses "skip", "exact" or "on"; std::invalid_argument for anything else.
DeblockingMode parse_deblocking_mode(const std::string& name);

// What a session decodes beyond the default; the defaults keep a session as it always was.
struct SessionOptions {
    DeblockingMode deblocking = DeblockingMode::Skip;
    bool motion_vectors = false;
};
