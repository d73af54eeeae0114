// checksums.cpp: slice-by-4 CRC-32 and block-reduced Adler-32, with their byte-at-a-time references.
#include "checksums.h"

#include "encoder_state.h"

namespace {

inline uint32_t crc32_byte(uint32_t r, uint8_t b) { return (r >> 8) ^ crc32_tables[0][(r ^ b) & 0xFF]; }

// The first byte of the word goes through table 3, the last through table 0.
inline uint32_t crc32_word(uint32_t r, const uint8_t *p) {
    uint32_t x = r ^ kiv_load_le32(p);
    return crc32_tables[3][x & 0xFF] ^ crc32_tables[2][(x >> 8) & 0xFF] ^ crc32_tables[1][(x >> 16) & 0xFF] ^
           crc32_tables[0][x >> 24];
}

// Sums grow unreduced for this many bytes: s2 stays below 2^32 up to 5552 bytes, 4096 keeps a margin.
constexpr uint32_t ADLER_BLOCK = 4096;

// 2^16 = 15 (mod 65521): folding the high half down reduces without division.
inline uint32_t adler_fold(uint32_t v) { return (v >> 16) * 15 + (v & 0xFFFF); }

}  // namespace

uint32_t kiv_crc32_slice4(uint32_t crc, const uint8_t *data, int32_t length) {
    if (length <= 0) return crc;
    uint32_t r = crc;
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    while (end - p >= 16) {
        r = crc32_word(r, p);
        r = crc32_word(r, p + 4);
        r = crc32_word(r, p + 8);
        r = crc32_word(r, p + 12);
        p += 16;
    }
    while (end - p >= 4) {
        r = crc32_word(r, p);
        p += 4;
    }
    if ((end - p) & 1) r = crc32_byte(r, *p++);
    while (p < end) {
        r = crc32_byte(r, p[0]);
        r = crc32_byte(r, p[1]);
        p += 2;
    }
    return r;
}

uint32_t kiv_crc32_bytewise(uint32_t crc, const uint8_t *data, int32_t length) {
    if (length <= 0) return crc;
    uint32_t r = crc;
    int32_t i = 0;
    for (; i + 2 <= length; i += 2) {
        r = crc32_byte(r, data[i]);
        r = crc32_byte(r, data[i + 1]);
    }
    if (i < length) r = crc32_byte(r, data[i]);
    return r;
}

uint32_t kiv_adler32_portable(uint32_t adler, const uint8_t *data, uint32_t length) {
    uint32_t s1 = adler & 0xFFFF;
    uint32_t s2 = adler >> 16;
    uint32_t remaining = length;
    do {
        uint32_t n = remaining < ADLER_BLOCK ? remaining : ADLER_BLOCK;
        remaining -= n;
        const uint8_t *end4 = data + (n & ~3u);
        const uint8_t *end = data + n;
        while (data < end4) {
            s1 += data[0]; s2 += s1;
            s1 += data[1]; s2 += s1;
            s1 += data[2]; s2 += s1;
            s1 += data[3]; s2 += s1;
            data += 4;
        }
        while (data < end) {
            s1 += *data++;
            s2 += s1;
        }
        uint32_t t = adler_fold(s1);
        s1 = t < KIV_ADLER_MODULUS ? t : t - KIV_ADLER_MODULUS;
        t = adler_fold(adler_fold(s2));
        s2 = t < KIV_ADLER_MODULUS ? t : t - KIV_ADLER_MODULUS;
    } while (remaining != 0);
    return (s2 << 16) + s1;
}

uint32_t kiv_adler32_bytewise(uint32_t adler, const uint8_t *data, int32_t length) {
    if (length <= 0) return adler;
    uint32_t s1 = adler & 0xFFFF;
    uint32_t s2 = adler >> 16;
    int32_t i = 0;
    for (; i + 2 <= length; i += 2) {
        s1 = (s1 + data[i]) % KIV_ADLER_MODULUS;
        s2 = (s2 + s1) % KIV_ADLER_MODULUS;
        s1 = (s1 + data[i + 1]) % KIV_ADLER_MODULUS;
        s2 = (s2 + s1) % KIV_ADLER_MODULUS;
    }
    if (i < length) {
        s1 = (s1 + data[i]) % KIV_ADLER_MODULUS;
        s2 = (s2 + s1) % KIV_ADLER_MODULUS;
    }
    return (s2 << 16) | s1;
}
