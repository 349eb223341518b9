#include "record_dtype.hpp"

py::dtype record_dtype(std::initializer_list<RecordField> fields, std::size_t size) {
    py::list names;
    py::list formats;
    py::list offsets;
    for (const RecordField& field : fields) {
        names.append(field.name);
        formats.append(field.format);
        offsets.append(field.offset);
    }
    return py::dtype(names, formats, offsets, static_cast<py::ssize_t>(size));
}
