// One battery for every filter: many buffers (empty, odd and even sizes,
// random contents, allocated size beyond the valid bytes, every flag bit
// but the reverse bit set), each sent forward and checked against a model
// of the stored bytes, then sent back and checked to restore the input.
// A new plug-in gets the whole battery from one more line in kBattery.
#include "plugin_harness.hpp"

#include <functional>
#include <random>

using namespace q7plug;

namespace {

// What a forward pass must leave: the bytes of the (possibly new) buffer
// and the callback's result.
struct Stored {
    std::vector<uint8_t> bytes;
    uint64_t result;
};
using Model = std::function<Stored(const std::vector<uint8_t> &whole, uint64_t valid)>;

// Adds to (or multiplies) every whole 32-bit integer; trailing bytes stay.
Model per_word(std::function<uint32_t(uint32_t)> op) {
    return [op](const std::vector<uint8_t> &whole, uint64_t valid) {
        Stored s{whole, valid};
        for (size_t off = 0; off + 4 <= whole.size(); off += 4) {
            uint32_t w;
            std::memcpy(&w, &whole[off], 4);
            w = op(w);
            std::memcpy(&s.bytes[off], &w, 4);
        }
        return s;
    };
}

Model per_byte(uint8_t shift) {
    return [shift](const std::vector<uint8_t> &whole, uint64_t valid) {
        Stored s{whole, valid};
        for (auto &b : s.bytes) b = static_cast<uint8_t>(b + shift);
        return s;
    };
}

Model with_suffix() {
    return [](const std::vector<uint8_t> &whole, uint64_t valid) {
        Stored s{std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(valid)), valid + 8};
        for (char c : std::string(".q7group")) s.bytes.push_back(static_cast<uint8_t>(c));
        return s;
    };
}

// Shrinks random integers so that their triple fits (scale round trip).
void shrink_words(std::vector<uint8_t> &bytes) {
    for (size_t off = 0; off + 4 <= bytes.size(); off += 4) {
        int32_t w;
        std::memcpy(&w, &bytes[off], 4);
        w /= 4;
        std::memcpy(&bytes[off], &w, 4);
    }
}

struct BatteryEntry {
    const char *plugin;
    std::vector<uint32_t> client_data;
    Model forward;
    void (*prepare)(std::vector<uint8_t> &);  // null: any contents round-trip
    bool in_place;
};

void PrintTo(const BatteryEntry &e, std::ostream *os) { *os << e.plugin; }

std::vector<BatteryEntry> battery() {
    return {
        {"offset_plugin", {7}, per_word([](uint32_t w) { return w + 7u; }), nullptr, true},
        {"scale_plugin", {}, per_word([](uint32_t w) { return w * 3u; }), shrink_words, true},
        {"group_suffix_plugin", {}, with_suffix(), nullptr, false},
        {"checked_offset_plugin", {9, Q7_VERS_MAJOR, Q7_VERS_MINOR}, per_word([](uint32_t w) { return w + 9u; }),
         nullptr, true},
        {"byteshift_plugin_dump", {}, per_byte(3), nullptr, true},
        {"byteshift_plugin_diff", {}, per_byte(3), nullptr, true},
    };
}

// Flag words to try: none, each single bit but the reverse bit, all of them.
std::vector<uint32_t> extra_flag_sets() {
    std::vector<uint32_t> sets{0, ~Q7Z_FLAG_REVERSE};
    for (int bit = 0; bit < 32; bit++)
        if ((1u << bit) != Q7Z_FLAG_REVERSE) sets.push_back(1u << bit);
    return sets;
}

// (allocated size, valid bytes)
std::vector<std::pair<uint64_t, uint64_t>> buffer_shapes() {
    std::vector<std::pair<uint64_t, uint64_t>> shapes;
    for (uint64_t size : {0, 1, 3, 4, 7, 8, 12, 13, 64, 4095, 4096, 65536 + 5}) {
        shapes.push_back({size, size});
        if (size >= 4) shapes.push_back({size, (size / 2) & ~uint64_t{3}});  // allocated beyond the valid bytes
        if (size >= 3) shapes.push_back({size, size - 3});
    }
    return shapes;
}

class RoundTrip : public ::testing::TestWithParam<BatteryEntry> {};

TEST_P(RoundTrip, EveryBufferStoredAsModelledAndRestored) {
    const BatteryEntry &entry = GetParam();
    LoadedPlugin plug(entry.plugin);
    ASSERT_TRUE(plug.ok());
    std::mt19937 rng(20261208);
    const auto flag_sets = extra_flag_sets();

    for (auto [size, valid] : buffer_shapes()) {
        std::vector<uint8_t> input(size);
        for (auto &b : input) b = static_cast<uint8_t>(rng());
        if (entry.prepare) entry.prepare(input);
        const Stored expected = entry.forward(input, valid);

        for (uint32_t extra : flag_sets) {
            SCOPED_TRACE("size " + std::to_string(size) + " valid " + std::to_string(valid) + " flags " +
                         std::to_string(extra));
            FilterBuffer buf(input);
            void *original = buf.data();
            const uint64_t stored_len = buf.apply(plug.record(), extra, entry.client_data, valid);
            ASSERT_EQ(stored_len, expected.result);
            ASSERT_EQ(buf.size(), expected.bytes.size());
            ASSERT_EQ(buf.bytes(), expected.bytes);
            if (entry.in_place) {
                ASSERT_EQ(buf.data(), original);
            }

            void *stored_at = buf.data();
            const uint64_t restored_len =
                buf.apply(plug.record(), extra | Q7Z_FLAG_REVERSE, entry.client_data, stored_len);
            ASSERT_EQ(restored_len, valid);
            ASSERT_EQ(buf.data(), stored_at);  // the reverse direction never replaces the buffer
            if (entry.in_place) {
                ASSERT_EQ(buf.size(), size);
                ASSERT_EQ(buf.bytes(), input);
            } else {
                ASSERT_EQ(buf.size(), valid);
                ASSERT_EQ(buf.bytes(valid), std::vector<uint8_t>(input.begin(), input.begin() + valid));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plugins, RoundTrip, ::testing::ValuesIn(battery()),
                         [](const auto &info) { return std::string(info.param.plugin); });

} // namespace
