// checksums.h: running CRC-32 (gzip) and Adler-32 (zlib) over spans of input.
#pragma once

#include <cstdint>

namespace kiv_tables {

// Four slice-by-4 tables. Sk[i] is the reflected CRC register effect of byte i followed by k zero
// bytes (polynomial 0xEDB88320); table k entry i = Sk[i ^ 0xFF] ^ (0xFF000000 >> 8k). The index flip and
// the masks fold the pre- and post-complement into the lookups, so the running value is always the
// finished CRC of the bytes so far.
struct crc_table_set {
    uint32_t entries[4][256];
};

constexpr crc_table_set make_crc32_tables() {
    uint32_t s[4][256] = {};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t x = i;
        for (int b = 0; b < 8; b++) x = (x & 1) ? (x >> 1) ^ 0xEDB88320u : x >> 1;
        s[0][i] = x;
    }
    for (int k = 1; k < 4; k++)
        for (uint32_t i = 0; i < 256; i++) s[k][i] = (s[k - 1][i] >> 8) ^ s[0][s[k - 1][i] & 0xFF];
    crc_table_set t{};
    for (int k = 0; k < 4; k++)
        for (uint32_t i = 0; i < 256; i++) t.entries[k][i] = s[k][i ^ 0xFF] ^ (0xFF000000u >> (8 * k));
    return t;
}

inline constexpr crc_table_set CRC32_TABLES = make_crc32_tables();

}  // namespace kiv_tables

// crc32_tables[k][i]: table k of the slice-by-4 CRC (4 x 256 entries, 4096 bytes).
inline constexpr const uint32_t (&crc32_tables)[4][256] = kiv_tables::CRC32_TABLES.entries;

// The CRC-32 of RFC 1952 of everything fed so far, starting from 0; lengths of zero or less change nothing.
// Picks the fastest routine this processor runs; every routine returns the same value.
uint32_t kiv_crc32_update(uint32_t crc, const uint8_t *data, int32_t length);
uint32_t kiv_crc32_bytewise(uint32_t crc, const uint8_t *data, int32_t length);

// The portable path: slice-by-4 tables, four bytes a step.
uint32_t kiv_crc32_slice4(uint32_t crc, const uint8_t *data, int32_t length);

// The routines behind kiv_crc32_update, for tests and benchmarks. The folding ones need carry-less
// multiplication (PCLMULQDQ; VPCLMULQDQ with AVX-512 for the 512-bit one); asked for on a processor
// without it, or for a span too short to fold, kiv_crc32_with uses the next routine down.
enum kiv_crc32_routine { KIV_CRC32_SLICE4 = 0, KIV_CRC32_CLMUL128 = 1, KIV_CRC32_CLMUL512 = 2 };
kiv_crc32_routine kiv_crc32_best_routine();
bool kiv_crc32_routine_available(kiv_crc32_routine routine);
uint32_t kiv_crc32_with(kiv_crc32_routine routine, uint32_t crc, const uint8_t *data, int32_t length);

// Adler-32 sums are kept modulo the largest prime below 2^16.
constexpr uint32_t KIV_ADLER_MODULUS = 65521;

// The Adler-32 of RFC 1950 of everything fed so far, starting from 1. Uses AVX2 where the processor
// has it; every routine returns the same value.
uint32_t kiv_adler32_update(uint32_t adler, const uint8_t *data, uint32_t length);
// The portable path: scalar sums reduced once per 4096 bytes.
uint32_t kiv_adler32_portable(uint32_t adler, const uint8_t *data, uint32_t length);
// The AVX2 routine, for tests and benchmarks; falls back to the portable one without AVX2.
bool kiv_adler32_avx2_available();
uint32_t kiv_adler32_avx2(uint32_t adler, const uint8_t *data, uint32_t length);
uint32_t kiv_adler32_bytewise(uint32_t adler, const uint8_t *data, int32_t length);

// The checksum of a span A followed by a span B, from the checksum of each (CRC-32 from 0, Adler-32 from
// 1) and B's length: what one update over A then B would give. Lets spans be summed apart, in any order,
// and joined in order afterwards.
uint32_t kiv_crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);
uint32_t kiv_adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t length_b);
