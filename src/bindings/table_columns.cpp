#include "table_columns.hpp"

#include <algorithm>

py::array bool_column(const std::vector<uint8_t>& values) { return column(values).attr("astype")("bool"); }

// NumPy's UCS-4 storage, one code point a letter.
py::array picture_type_column(const std::vector<std::string>& types) {
    constexpr std::size_t kLetters = 2;
    py::array array(py::dtype("<U2"), py::array::ShapeContainer{static_cast<py::ssize_t>(types.size())});
    auto* code_points = static_cast<uint32_t*>(array.mutable_data());
    std::fill(code_points, code_points + types.size() * kLetters, 0);
    for (std::size_t i = 0; i < types.size(); ++i) {
        for (std::size_t letter = 0; letter < std::min(types[i].size(), kLetters); ++letter) {
            code_points[i * kLetters + letter] = static_cast<unsigned char>(types[i][letter]);
        }
    }
    return array;
}
