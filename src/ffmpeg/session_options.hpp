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
// The name parse_deblocking_mode takes for the mode.
std::string deblocking_mode_name(DeblockingMode mode);

// The read-ahead setting that sizes itself: the cores this process may use but the caller's,
// paused while other work has the cores (ReadAhead, CoreGuard).
constexpr int kAutomaticReadAhead = -1;

// What a session decodes beyond the default, and how: by default the deblocking filter is
// skipped and neither motion vectors nor macroblock types are exported.
struct SessionOptions {
    DeblockingMode deblocking = DeblockingMode::Skip;
    bool motion_vectors = false;
    // How each macroblock was coded, read from the decoder's debug text (MbTypeLog).
    bool mb_types = false;
    // Key-frame intervals decoded ahead of the caller's while its requests move forward, each
    // on a decoder of its own: kAutomaticReadAhead, 0 (never) or a number.
    int read_ahead = kAutomaticReadAhead;
};
