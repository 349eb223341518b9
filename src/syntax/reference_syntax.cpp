#include "syntax/reference_syntax.hpp"

namespace {

// Lists of modifications and marking operations are short; a longer one is damage.
constexpr int kLongestOperationList = 100;

bool read_list_modification(BitReader& reader, std::vector<ListModification>& operations) {
    operations.clear();
    if (!reader.flag()) {
        return true;
    }
    for (int i = 0; i < kLongestOperationList && !reader.overrun(); ++i) {
        const uint32_t idc = reader.ue();
        if (idc == 3) {
            return true;
        }
        if (idc > 5) {
            return false;
        }
        operations.push_back(ListModification{static_cast<int>(idc), reader.ue()});
    }
    return false;
}

void read_weights(BitReader& reader, int first, int count, int denominator, PredictionWeight& weight) {
    for (int component = first; component < first + count; ++component) {
        weight.weight[component] = 1 << denominator;
        weight.offset[component] = 0;
    }
    if (!reader.flag()) {
        return;
    }
    for (int component = first; component < first + count; ++component) {
        weight.weight[component] = reader.se();
        weight.offset[component] = reader.se();
    }
}

}  // namespace

bool read_list_modifications(BitReader& reader, int lists, std::array<std::vector<ListModification>, 2>& out) {
    for (int list = 0; list < lists; ++list) {
        if (!read_list_modification(reader, out[list])) {
            return false;
        }
    }
    return true;
}

void read_weight_table(BitReader& reader, int lists, const std::array<int, 2>& references, bool chroma,
                       WeightTable& table) {
    table.coded = true;
    table.entries.assign(2, {});
    table.luma_log2_denominator = static_cast<int>(reader.ue() & 7);
    table.chroma_log2_denominator = chroma ? static_cast<int>(reader.ue() & 7) : 0;
    for (int list = 0; list < lists; ++list) {
        for (int i = 0; i < references[list] && i < 32 && !reader.overrun(); ++i) {
            PredictionWeight& weight = table.entries[list][i];
            read_weights(reader, 0, 1, table.luma_log2_denominator, weight);
            if (chroma) {
                read_weights(reader, 1, 2, table.chroma_log2_denominator, weight);
            } else {
                weight.weight[1] = weight.weight[2] = 1 << table.chroma_log2_denominator;
            }
        }
    }
}

bool read_marking(BitReader& reader, bool idr, ReferenceMarking& marking) {
    marking = ReferenceMarking{};
    if (idr) {
        reader.flag();  // no_output_of_prior_pics_flag
        marking.long_term_reference = reader.flag();
        return true;
    }
    marking.adaptive = reader.flag();
    if (!marking.adaptive) {
        return true;
    }
    for (int i = 0; i < kLongestOperationList && !reader.overrun(); ++i) {
        MarkingOperation operation;
        operation.operation = static_cast<int>(reader.ue());
        if (operation.operation == 0) {
            return true;
        }
        if (operation.operation > 6) {
            return false;
        }
        if (operation.operation != 5) {
            operation.first = reader.ue();
        }
        if (operation.operation == 3) {
            operation.second = reader.ue();
        }
        marking.operations.push_back(operation);
    }
    return false;
}
