#include "mb_type_records.hpp"

#include <cstddef>
#include <stdexcept>

#include <pybind11/native_enum.h>

#include "docstrings.hpp"
#include "record_dtype.hpp"

void register_mb_type_enums(py::module_& module) {
    py::native_enum<MbType>(module, "MbType", "enum.IntEnum", docstrings::kMbType)
        .value("INTRA_4X4", MbType::Intra4x4, "intra prediction from 4x4 or 8x8 blocks")
        .value("INTRA_16X16", MbType::Intra16x16)
        .value("INTRA_PCM", MbType::IntraPcm, "samples coded as they are")
        .value("SKIP", MbType::Skip, "P skip: no residual, motion predicted from the neighbours")
        .value("DIRECT_SKIP", MbType::DirectSkip, "B skip: no residual, direct motion")
        .value("DIRECT", MbType::Direct, "B direct with residual")
        .value("L0", MbType::L0, "motion coded from list 0")
        .value("L1", MbType::L1, "motion coded from list 1")
        .value("BI", MbType::Bi, "motion coded from both lists")
        .value("UNKNOWN", MbType::Unknown, "no data: a damaged picture, or a cell the decoder reported nothing for")
        .finalize();
    py::native_enum<Partition>(module, "Partition", "enum.IntEnum", docstrings::kPartition)
        .value("P16X16", Partition::P16x16)
        .value("P16X8", Partition::P16x8)
        .value("P8X16", Partition::P8x16)
        .value("P8X8", Partition::P8x8, "four 8x8 blocks, each possibly divided further")
        .value("UNKNOWN", Partition::Unknown, "no data, as MbType.UNKNOWN")
        .finalize();
}

py::dtype mb_type_dtype() {
    return record_dtype({{"type", "u1", offsetof(MacroblockCoding, type)},
                         {"partition", "u1", offsetof(MacroblockCoding, partition)},
                         {"interlaced", "?", offsetof(MacroblockCoding, interlaced)}},
                        sizeof(MacroblockCoding));
}

void check_mb_types_exported(const H264DecoderSession& session) {
    session.check_open();
    if (!session.options().mb_types) {
        throw std::runtime_error("Macroblock types are not exported by this session: open it with "
                                 "H264DecoderSession(path, mb_types=True)");
    }
}

