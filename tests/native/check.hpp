#pragma once

// A few lines of test harness: every failed check is printed and makes the program fail.

#include <iostream>
#include <sstream>
#include <vector>

template <typename T>
std::ostream& operator<<(std::ostream& out, const std::vector<T>& values) {
    out << "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        out << (i ? ", " : "") << values[i];
    }
    return out << "}";
}

inline int& failed_checks() {
    static int failures = 0;
    return failures;
}

#define CHECK_EQ(actual, expected)                                                                  \
    do {                                                                                            \
        const auto& actual_value = (actual);                                                        \
        const auto& expected_value = (expected);                                                    \
        if (!(actual_value == expected_value)) {                                                    \
            std::ostringstream message;                                                             \
            message << __FILE__ << ":" << __LINE__ << ": " #actual " == " << actual_value           \
                    << ", expected " << expected_value;                                             \
            std::cerr << message.str() << "\n";                                                     \
            ++failed_checks();                                                                      \
        }                                                                                           \
    } while (false)

#define CHECK(condition) CHECK_EQ(static_cast<bool>(condition), true)

inline int finish(const char* program) {
    if (failed_checks() > 0) {
        std::cerr << program << ": " << failed_checks() << " failed checks\n";
        return 1;
    }
    std::cout << program << ": all checks passed\n";
    return 0;
}
