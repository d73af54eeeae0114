// Fixed Huffman code tables: every entry against the code assignment, recomputed here from first principles.
#include <gtest/gtest.h>

#include <cstdint>

#include "code_tables.h"

namespace {

uint32_t rev(uint32_t v, uint32_t w) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < w; i++)
        if (v & (1u << i)) r |= 1u << (w - 1 - i);
    return r;
}

struct huff {
    uint32_t code, width;
};

huff fixed_literal(uint32_t s) {
    if (s <= 143) return {0x30 + s, 8};
    if (s <= 255) return {0x190 + (s - 144), 9};
    if (s <= 279) return {s - 256, 7};
    return {0xC0 + (s - 280), 8};
}

// Symbol ranges: base and extra-bit count; symbol 284 stops at 257 and 285 is 258 alone.
const uint32_t LBASE[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115,
                            131, 163, 195, 227, 258};
const uint32_t LEXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint32_t DBASE[30] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537,
                            2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint32_t DEXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

uint32_t expected_length_entry(uint32_t len) {
    uint32_t sym = 28;
    if (len != 258) {
        for (sym = 0; sym < 28; sym++)
            if (len >= LBASE[sym] && len < LBASE[sym] + (1u << LEXTRA[sym])) break;
    }
    huff h = fixed_literal(257 + sym);
    uint32_t pattern = rev(h.code, h.width) | ((len - LBASE[sym]) << h.width);
    return ((h.width + LEXTRA[sym]) << 16) | pattern;
}

uint32_t expected_distance_entry(uint32_t d) {
    uint32_t sym = 0;
    while (!(d >= DBASE[sym] && d < DBASE[sym] + (1u << DEXTRA[sym]))) sym++;
    uint32_t pattern = rev(sym, 5) | ((d - DBASE[sym]) << 5);
    return (pattern << 5) | (5 + DEXTRA[sym]);
}

TEST(CodeTables, EveryLiteralEntryFollowsTheFixedCode) {
    for (uint32_t s = 0; s < 288; s++) {
        huff h = fixed_literal(s);
        EXPECT_EQ(fixed_literal_codes[s], (rev(h.code, h.width) << 4) | h.width) << "symbol " << s;
    }
}

TEST(CodeTables, EveryLengthEntryFollowsTheRule) {
    for (uint32_t len = 3; len <= 258; len++) EXPECT_EQ(length_codes[len], expected_length_entry(len)) << "length " << len;
}

TEST(CodeTables, NoMatchLengthEntriesAreZero) {
    for (uint32_t len : {0u, 1u, 2u, 259u}) EXPECT_EQ(length_codes[len], 0u) << "length " << len;
}

TEST(CodeTables, EveryDistanceEntryFollowsTheRule) {
    for (uint32_t d = 1; d <= 32768; d++) {
        ASSERT_EQ(distance_codes[d - 1], expected_distance_entry(d)) << "distance " << d;
    }
}

struct telling_row {
    const char *table;
    uint32_t index;
    uint32_t value;
};

class TellingRows : public ::testing::TestWithParam<telling_row> {};

TEST_P(TellingRows, Value) {
    const telling_row &r = GetParam();
    uint32_t actual = r.table[0] == 'f' ? fixed_literal_codes[r.index]
                    : r.table[0] == 'l' ? length_codes[r.index]
                                        : distance_codes[r.index];
    EXPECT_EQ(actual, r.value) << r.table << "[" << r.index << "]";
}

INSTANTIATE_TEST_SUITE_P(
    CodeTables, TellingRows,
    ::testing::Values(telling_row{"fixed_literal_codes", 0, 0x00C8}, telling_row{"fixed_literal_codes", 143, 0x0FD8},
                      telling_row{"fixed_literal_codes", 144, 0x0139}, telling_row{"fixed_literal_codes", 255, 0x1FF9},
                      telling_row{"fixed_literal_codes", 256, 0x0007}, telling_row{"fixed_literal_codes", 287, 0x0E38},
                      telling_row{"length_codes", 3, 0x70040}, telling_row{"length_codes", 4, 0x70020},
                      telling_row{"length_codes", 11, 0x80048}, telling_row{"length_codes", 12, 0x800C8},
                      telling_row{"length_codes", 257, 0xD1E23}, telling_row{"length_codes", 258, 0x800A3},
                      telling_row{"distance_codes", 0, 0x5}, telling_row{"distance_codes", 1, 0x205},
                      telling_row{"distance_codes", 4, 0x86}, telling_row{"distance_codes", 8191, 0x1FFE70},
                      telling_row{"distance_codes", 8192, 0x171}, telling_row{"distance_codes", 32767, 0x7FFEF2}),
    [](const ::testing::TestParamInfo<telling_row> &info) {
        return std::string(info.param.table) + "_" + std::to_string(info.param.index);
    });

TEST(CodeTables, Widths) {
    for (uint32_t len = 4; len <= 258; len++) {
        uint32_t width = length_codes[len] >> 16;
        if (len >= 131 && len <= 257) {
            EXPECT_EQ(width, 13u) << "length " << len;
        }
        if (len == 258) {
            EXPECT_EQ(width, 8u);
        }
        EXPECT_GE(width, 7u);
        EXPECT_LE(width, 13u);
        EXPECT_LT(length_codes[len] & 0xFFFF, 1u << width) << "pattern wider than its width, length " << len;
    }
    for (uint32_t d = 1; d <= 32768; d++) {
        uint32_t width = distance_codes[d - 1] & 31;
        if (d >= 16385) {
            ASSERT_EQ(width, 18u) << "distance " << d;
        }
        ASSERT_GE(width, 5u);
        ASSERT_LE(width, 18u);
        ASSERT_LT(distance_codes[d - 1] >> 5, 1u << width) << "pattern wider than its width, distance " << d;
    }
    for (uint32_t s = 0; s < 256; s++) EXPECT_EQ(fixed_literal_codes[s] & 15, s < 144 ? 8u : 9u);
}

}  // namespace
