// code_tables.h: the fixed Huffman codes of DEFLATE, bit-reversed with their extra bits merged, ready to push.
//
// Every entry is derived at compile time from the code assignment of RFC 1951 (3.2.5 and 3.2.6) by the
// generators below, so the tables are read-only data in the binary and need no set-up call.
#pragma once

#include <cstdint>

namespace kiv_tables {

constexpr uint32_t reverse_bits(uint32_t value, uint32_t width) {
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < width; i++) reversed |= ((value >> i) & 1u) << (width - 1 - i);
    return reversed;
}

// Fixed literal/length code: symbols 0-143 take 8 bits from 0x30, 144-255 9 bits from 0x190,
// 256-279 7 bits from 0, 280-287 8 bits from 0xC0.
constexpr uint32_t fixed_width(uint32_t s) { return s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8; }
constexpr uint32_t fixed_code(uint32_t s) {
    return s < 144 ? 0x30 + s : s < 256 ? 0x190 + (s - 144) : s < 280 ? s - 256 : 0xC0 + (s - 280);
}

// Length symbols 257..285: base length and number of extra bits.
constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// Distance symbols 0..29: base distance and number of extra bits.
constexpr uint16_t DISTANCE_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

template <typename T, int N>
struct table {
    T entries[N];
};

// Entry s: (reversed code << 4) | width.
constexpr table<uint16_t, 288> make_literal_codes() {
    table<uint16_t, 288> t{};
    for (uint32_t s = 0; s < 288; s++)
        t.entries[s] = static_cast<uint16_t>((reverse_bits(fixed_code(s), fixed_width(s)) << 4) | fixed_width(s));
    return t;
}

// Entry L: (total width << 16) | reversed code | (L - base) << code width. Length 258 has a symbol of
// its own (285) although symbol 284 with 5 extra bits could also reach it.
constexpr table<uint32_t, 260> make_length_codes() {
    table<uint32_t, 260> t{};
    for (uint32_t len = 3; len <= 258; len++) {
        uint32_t sym = 28;
        if (len < 258) {
            sym = 0;
            while (sym + 1 < 28 && LENGTH_BASE[sym + 1] <= len) sym++;
        }
        uint32_t hw = fixed_width(257 + sym);
        uint32_t pattern = reverse_bits(fixed_code(257 + sym), hw) | ((len - LENGTH_BASE[sym]) << hw);
        t.entries[len] = ((hw + LENGTH_EXTRA[sym]) << 16) | pattern;
    }
    return t;
}

// Entry D - 1: ((reversed 5-bit code | (D - base) << 5) << 5) | total width.
constexpr table<uint32_t, 32768> make_distance_codes() {
    table<uint32_t, 32768> t{};
    uint32_t sym = 0;
    for (uint32_t dist = 1; dist <= 32768; dist++) {
        while (sym < 29 && DISTANCE_BASE[sym + 1] <= dist) sym++;
        uint32_t pattern = reverse_bits(sym, 5) | ((dist - DISTANCE_BASE[sym]) << 5);
        t.entries[dist - 1] = (pattern << 5) | (5u + DISTANCE_EXTRA[sym]);
    }
    return t;
}

inline constexpr auto LITERAL_TABLE = make_literal_codes();
inline constexpr auto LENGTH_TABLE = make_length_codes();
inline constexpr auto DISTANCE_TABLE = make_distance_codes();

}  // namespace kiv_tables

// fixed_literal_codes[s]: bits 0-3 the width (7, 8 or 9), bits 4-15 the reversed code of symbol s.
inline constexpr const uint16_t (&fixed_literal_codes)[288] = kiv_tables::LITERAL_TABLE.entries;
// length_codes[L]: bits 0-15 the reversed length code followed by its extra bits, bits 16-31 the total
// width (7..13). Indexed by the match length itself; entries 0, 1, 2 and 259 are 0.
inline constexpr const uint32_t (&length_codes)[260] = kiv_tables::LENGTH_TABLE.entries;
// distance_codes[D - 1]: bits 0-4 the total width (5..18), bits 5-31 the reversed 5-bit code followed
// by the extra bits. 128 KiB, one entry per distance, so that coding a distance needs no search.
inline constexpr const uint32_t (&distance_codes)[32768] = kiv_tables::DISTANCE_TABLE.entries;
