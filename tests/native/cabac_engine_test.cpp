// The CABAC decoding engine against the arithmetic encoder of 9.3.4, written here from the
// Recommendation with its own copy of Tables 9-44 and 9-45: random decisions over many
// contexts, bypass bins and terminates are encoded, decoded back bin for bin, and the
// position after the final terminate is the encoded length. A wrong table entry or a
// wrong renormalisation desynchronises the two within a few bins.
// Usage: cabac_engine_test

#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "h264/cabac_engine.hpp"

namespace {

// Table 9-44 by qCodIRangeIdx, then pStateIdx.
constexpr int kLpsRangeByColumn[4][64] = {
    {128, 128, 128, 123, 116, 111, 105, 100, 95, 90, 85, 81, 77, 73, 69, 66, 62, 59, 56, 53, 51, 48, 46, 43, 41, 39, 37, 35, 33, 32, 30, 29,
     27, 26, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 14, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8, 7, 7, 7, 6, 6, 6, 2},
    {176, 167, 158, 150, 142, 135, 128, 122, 116, 110, 104, 99, 94, 89, 85, 80, 76, 72, 69, 65, 62, 59, 56, 53, 50, 48, 45, 43, 41, 39, 37, 35,
     33, 31, 30, 28, 27, 26, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 14, 13, 12, 12, 11, 11, 10, 9, 9, 9, 8, 8, 7, 7, 2},
    {208, 197, 187, 178, 169, 160, 152, 144, 137, 130, 123, 117, 111, 105, 100, 95, 90, 86, 81, 77, 73, 69, 66, 63, 59, 56, 54, 51, 48, 46, 43, 41,
     39, 37, 35, 33, 32, 30, 29, 27, 26, 25, 23, 22, 21, 20, 19, 18, 17, 16, 15, 15, 14, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 2},
    {240, 227, 216, 205, 195, 185, 175, 166, 158, 150, 142, 135, 128, 122, 116, 110, 104, 99, 94, 89, 85, 80, 76, 72, 69, 65, 62, 59, 56, 53, 50, 48,
     45, 43, 41, 39, 37, 35, 33, 31, 30, 28, 27, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 14, 13, 12, 12, 11, 11, 10, 9, 2},
};

// Table 9-45, transIdxLPS.
constexpr int kLpsTransition[64] = {
    0, 0, 1, 2, 2, 4, 4, 5, 6, 7, 8, 9, 9, 11, 11, 12, 13, 13, 15, 15, 16, 16, 18, 18, 19, 19, 21, 21,
    22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30, 31, 32, 32, 33, 33, 33, 34, 34, 35,
    35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63};

struct Context {
    int p_state;
    int val_mps;
};

// 9.3.4.1 to 9.3.4.6.
class Encoder {
public:
    void decision(Context& context, int bin) {
        const int lps = kLpsRangeByColumn[(range_ >> 6) & 3][context.p_state];
        range_ -= lps;
        if (bin != context.val_mps) {
            low_ += range_;
            range_ = lps;
            if (context.p_state == 0) {
                context.val_mps = 1 - context.val_mps;
            }
            context.p_state = kLpsTransition[context.p_state];
        } else if (context.p_state < 62) {
            ++context.p_state;
        }
        renormalise();
    }

    void bypass(int bin) {
        low_ <<= 1;
        if (bin) {
            low_ += range_;
        }
        if (low_ >= 1024) {
            put_bit(1);
            low_ -= 1024;
        } else if (low_ < 512) {
            put_bit(0);
        } else {
            low_ -= 512;
            ++outstanding_;
        }
    }

    void terminate(int bin) {
        range_ -= 2;
        if (bin) {
            low_ += range_;
            flush();
        } else {
            renormalise();
        }
    }

    const std::vector<int>& bits() const { return bits_; }

private:
    void renormalise() {
        while (range_ < 256) {
            if (low_ < 256) {
                put_bit(0);
            } else if (low_ >= 512) {
                low_ -= 512;
                put_bit(1);
            } else {
                low_ -= 256;
                ++outstanding_;
            }
            range_ <<= 1;
            low_ <<= 1;
        }
    }

    void put_bit(int bit) {
        if (first_bit_) {
            first_bit_ = false;
        } else {
            bits_.push_back(bit);
        }
        for (; outstanding_ > 0; --outstanding_) {
            bits_.push_back(1 - bit);
        }
    }

    void flush() {
        range_ = 2;
        renormalise();
        put_bit((low_ >> 9) & 1);
        bits_.push_back((low_ >> 8) & 1);
        bits_.push_back(1);
    }

    int low_ = 0;
    int range_ = 510;
    bool first_bit_ = true;
    int outstanding_ = 0;
    std::vector<int> bits_;
};

enum class Kind { decision, bypass, terminate };

struct Bin {
    Kind kind;
    int context;
    int value;
};

constexpr int kContexts = 64;

struct Stream {
    std::vector<Bin> bins;
    std::vector<Context> initial;
    std::vector<uint8_t> bytes;
    std::size_t encoded_bits;
};

// `count` bins, then an end_of_slice terminate of 1; the data starts after `start` bytes
// of other syntax and ends with alignment zeros and a cabac_zero_word.
Stream random_stream(uint32_t seed, int count, std::size_t start) {
    std::mt19937 random(seed);
    Stream stream;
    std::vector<double> chance_of_one(kContexts);
    for (int i = 0; i < kContexts; ++i) {
        stream.initial.push_back({static_cast<int>(random() % 63), static_cast<int>(random() % 2)});
        chance_of_one[i] = std::uniform_real_distribution<double>(0, 1)(random);
        // Half the contexts nearly certain, so that states near 62 and their smallest LPS
        // ranges (the longest renormalisations) are frequent.
        chance_of_one[i] = i % 2 == 0 ? chance_of_one[i] * 0.02 : chance_of_one[i];
    }
    std::vector<Context> contexts = stream.initial;
    Encoder encoder;
    for (int i = 0; i < count; ++i) {
        const uint32_t pick = random() % 100;
        Bin bin{pick < 85 ? Kind::decision : pick < 97 ? Kind::bypass : Kind::terminate,
                static_cast<int>(random() % kContexts), 0};
        if (bin.kind == Kind::decision) {
            bin.value = std::bernoulli_distribution(chance_of_one[bin.context])(random);
            encoder.decision(contexts[bin.context], bin.value);
        } else if (bin.kind == Kind::bypass) {
            bin.value = static_cast<int>(random() % 2);
            encoder.bypass(bin.value);
        } else {
            encoder.terminate(0);
        }
        stream.bins.push_back(bin);
    }
    encoder.terminate(1);
    stream.bins.push_back({Kind::terminate, 0, 1});
    stream.encoded_bits = encoder.bits().size();
    stream.bytes.assign(start + (stream.encoded_bits + 7) / 8 + 2, 0);
    for (std::size_t i = 0; i < start; ++i) {
        stream.bytes[i] = 0xA5;
    }
    for (std::size_t i = 0; i < stream.encoded_bits; ++i) {
        stream.bytes[start + i / 8] |= static_cast<uint8_t>(encoder.bits()[i] << (7 - i % 8));
    }
    return stream;
}

std::vector<CabacState> packed_states(const std::vector<Context>& contexts) {
    std::vector<CabacState> states;
    for (const Context& context : contexts) {
        states.push_back(static_cast<CabacState>((context.p_state << 1) | context.val_mps));
    }
    return states;
}

// The number of bins decoded as encoded before the first that differs.
std::size_t matching_bins(const Stream& stream, CabacEngine& engine) {
    std::vector<CabacState> states = packed_states(stream.initial);
    for (std::size_t i = 0; i < stream.bins.size(); ++i) {
        const Bin& bin = stream.bins[i];
        const int value = bin.kind == Kind::decision ? engine.decision(states[bin.context])
                          : bin.kind == Kind::bypass ? engine.bypass()
                                                     : engine.terminate();
        if (value != bin.value) {
            return i;
        }
    }
    return stream.bins.size();
}

void decoded_bins_and_final_position_match_the_encoder() {
    for (const uint32_t seed : {1u, 2u, 3u}) {
        for (const int count : {0, 1, 50, 200000}) {
            for (const std::size_t start : {std::size_t{0}, std::size_t{3}}) {
                const Stream stream = random_stream(seed, count, start);
                CabacEngine engine(stream.bytes.data(), stream.bytes.size(), start);
                CHECK_EQ(engine.bit_position(), 8 * start + 9);
                CHECK_EQ(matching_bins(stream, engine), stream.bins.size());
                // After end_of_slice_flag the position is just past the rbsp_stop_one_bit.
                CHECK_EQ(engine.bit_position(), 8 * start + stream.encoded_bits);
                CHECK(!engine.overrun());
            }
        }
    }
}

void truncated_data_reads_zeros_and_reports_overrun() {
    Stream stream = random_stream(9, 20000, 0);
    const std::size_t kept = stream.bytes.size() / 2;
    std::vector<uint8_t> half(stream.bytes.begin(), stream.bytes.begin() + static_cast<std::ptrdiff_t>(kept));
    CabacEngine engine(half.data(), half.size(), 0);
    std::vector<CabacState> states = packed_states(stream.initial);
    std::size_t last = engine.bit_position();
    for (const Bin& bin : stream.bins) {
        if (bin.kind == Kind::decision) {
            engine.decision(states[bin.context]);
        } else if (bin.kind == Kind::bypass) {
            engine.bypass();
        } else {
            engine.terminate();
        }
        CHECK(engine.bit_position() >= last);
        last = engine.bit_position();
    }
    CHECK(engine.overrun());
    CabacEngine empty(nullptr, 0, 0);
    CHECK(empty.overrun());
}

}  // namespace

int main() {
    decoded_bins_and_final_position_match_the_encoder();
    truncated_data_reads_zeros_and_reports_overrun();
    return finish("cabac_engine_test");
}
