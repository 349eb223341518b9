#pragma once

#include <stdexcept>

// A syntax element out of its range, or data read past the slice's end: the slice cannot be
// read from the macroblock where it was met.
struct SyntaxError : std::runtime_error {
    explicit SyntaxError(const char* what) : std::runtime_error(what) {}
};

inline void check_syntax(bool holds, const char* what) {
    if (!holds) {
        throw SyntaxError(what);
    }
}
