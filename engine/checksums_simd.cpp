// checksums_simd.cpp: CRC-32 by carry-less multiplication (128- and 512-bit folding) and Adler-32 with AVX2,
// chosen at run time; the table and scalar routines of checksums.cpp stay the portable path.
// Compiled on x86-64 only; checksums_portable.cpp gives the same entries elsewhere.
#if defined(__x86_64__)

#include <immintrin.h>

#include "checksums.h"

namespace {

// Folding constants, derived from the generator polynomial G = 0x104C11DB7 at compile time. Moving a
// 64-bit half of the accumulator forward by D bits multiplies it by x^D; in the bit-reflected domain
// the low half (earlier bytes) takes x^(D+32) mod G and the high half x^(D-32) mod G, each reflected
// over 32 bits and shifted left once for the 33-bit reflected product.
constexpr uint64_t x_power_mod_g(uint32_t n) {
    uint64_t r = 1;
    for (uint32_t i = 0; i < n; i++) {
        r <<= 1;
        if (r & (1ull << 32)) r ^= 0x104C11DB7ull;
    }
    return r;
}
constexpr uint64_t reflect32(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 32; i++) r |= ((v >> i) & 1) << (31 - i);
    return r;
}
constexpr uint64_t fold_low(uint32_t distance) { return reflect32(x_power_mod_g(distance + 32)) << 1; }
constexpr uint64_t fold_high(uint32_t distance) { return reflect32(x_power_mod_g(distance - 32)) << 1; }

static_assert(fold_low(128) == 0x1751997D0ull && fold_high(128) == 0x0CCAA009Eull, "128-bit fold constants");
static_assert(fold_low(512) == 0x154442BD4ull && fold_high(512) == 0x1C6E41596ull, "512-bit fold constants");

struct fold_constant {
    uint64_t low, high;
};
constexpr fold_constant fold_by(uint32_t distance) { return {fold_low(distance), fold_high(distance)}; }

constexpr fold_constant FOLD_128 = fold_by(128), FOLD_256 = fold_by(256), FOLD_384 = fold_by(384),
                        FOLD_512 = fold_by(512), FOLD_1024 = fold_by(1024), FOLD_1536 = fold_by(1536),
                        FOLD_2048 = fold_by(2048);

// The folded 16 bytes are a message whose CRC from a zero register equals the register of everything
// folded; the running value of a zero register is 0xFFFFFFFF.
uint32_t finish_folded(const uint8_t folded[16], const uint8_t *tail, int32_t tail_length) {
    uint32_t crc = kiv_crc32_slice4(0xFFFFFFFFu, folded, 16);
    return kiv_crc32_slice4(crc, tail, tail_length);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load_constant(fold_constant k) {
    return _mm_set_epi64x(static_cast<long long>(k.high), static_cast<long long>(k.low));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold128(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load128(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Four consecutive 16-byte accumulators into one: each earlier one moves forward onto the last.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_four(__m128i a0, __m128i a1, __m128i a2, __m128i a3) {
    __m128i x = fold128(a0, load_constant(FOLD_384), a3);
    x = fold128(a1, load_constant(FOLD_256), x);
    return fold128(a2, load_constant(FOLD_128), x);
}

// Folds 16-byte blocks into x until fewer than 16 bytes remain, then finishes with the table routine.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_tail(__m128i x, const uint8_t *p, int32_t n) {
    const __m128i k128 = load_constant(FOLD_128);
    while (n >= 16) {
        x = fold128(x, k128, load128(p));
        p += 16;
        n -= 16;
    }
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(folded), x);
    return finish_folded(folded, p, n);
}

// Four 16-byte accumulators, 64 bytes a step. Needs at least 64 bytes.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_clmul128(uint32_t crc, const uint8_t *p, int32_t n) {
    const __m128i k512 = load_constant(FOLD_512);
    __m128i a0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i a1 = load128(p + 16), a2 = load128(p + 32), a3 = load128(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        a0 = fold128(a0, k512, load128(p));
        a1 = fold128(a1, k512, load128(p + 16));
        a2 = fold128(a2, k512, load128(p + 32));
        a3 = fold128(a3, k512, load128(p + 48));
        p += 64;
        n -= 64;
    }
    return fold_tail(fold_four(a0, a1, a2, a3), p, n);
}

__attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1"))) inline __m512i broadcast(
    fold_constant k) {
    __m128i pair = _mm_set_epi64x(static_cast<long long>(k.high), static_cast<long long>(k.low));
    return _mm512_maskz_broadcast_i32x4(0xFFFF, pair);
}

__attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1"))) inline __m512i fold512(
    __m512i x, __m512i k, __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11),
                                     next, 0x96);
}

// Four 64-byte accumulators, 256 bytes a step, then one, then its four lanes into 16 bytes.
// Needs at least 256 bytes.
__attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1"))) uint32_t crc32_clmul512(
    uint32_t crc, const uint8_t *p, int32_t n) {
    const __m512i k2048 = broadcast(FOLD_2048);
    __m512i a0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
    __m512i a1 = _mm512_loadu_si512(p + 64), a2 = _mm512_loadu_si512(p + 128), a3 = _mm512_loadu_si512(p + 192);
    p += 256;
    n -= 256;
    while (n >= 256) {
        a0 = fold512(a0, k2048, _mm512_loadu_si512(p));
        a1 = fold512(a1, k2048, _mm512_loadu_si512(p + 64));
        a2 = fold512(a2, k2048, _mm512_loadu_si512(p + 128));
        a3 = fold512(a3, k2048, _mm512_loadu_si512(p + 192));
        p += 256;
        n -= 256;
    }
    __m512i x = fold512(a0, broadcast(FOLD_1536), a3);
    x = fold512(a1, broadcast(FOLD_1024), x);
    x = fold512(a2, broadcast(FOLD_512), x);
    const __m512i k512 = broadcast(FOLD_512);
    while (n >= 64) {
        x = fold512(x, k512, _mm512_loadu_si512(p));
        p += 64;
        n -= 64;
    }
    __m128i lane0 = _mm512_maskz_extracti32x4_epi32(0xF, x, 0), lane1 = _mm512_maskz_extracti32x4_epi32(0xF, x, 1);
    __m128i lane2 = _mm512_maskz_extracti32x4_epi32(0xF, x, 2), lane3 = _mm512_maskz_extracti32x4_epi32(0xF, x, 3);
    return fold_tail(fold_four(lane0, lane1, lane2, lane3), p, n);
}

// What this processor offers, read once: it does not change under a running process.
struct cpu_features {
    bool clmul128, clmul512, avx2;
};

cpu_features detect_features() {
    __builtin_cpu_init();
    cpu_features f{};
    f.clmul128 = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    f.clmul512 = f.clmul128 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                 __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
    f.avx2 = __builtin_cpu_supports("avx2");
    return f;
}

const cpu_features &cpu() {
    static const cpu_features features = detect_features();
    return features;
}

// Bytes between two reductions: 173 steps of 32. The lane sums stay far below 2^31 (at most
// 173 * 4 * 32 * 255 per weighted lane), and the 64-bit totals are reduced with one division each.
constexpr uint32_t ADLER_AVX2_BLOCK = 173 * 32;

__attribute__((target("avx2"))) inline uint64_t sum_lanes64(__m256i v) {
    __m128i x = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint64_t>(_mm_cvtsi128_si64(x)) + static_cast<uint64_t>(_mm_extract_epi64(x, 1));
}

// 32 bytes a step: s1 grows by their sum (sum of absolute differences against zero), s2 by 32 times s1
// before the step plus the bytes weighted 32, 31, ..., 1.
__attribute__((target("avx2"))) uint32_t adler32_avx2(uint32_t adler, const uint8_t *p, uint32_t n) {
    uint64_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                             14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    while (n >= 32) {
        uint32_t block = (n < ADLER_AVX2_BLOCK ? n : ADLER_AVX2_BLOCK) & ~31u;
        n -= block;
        __m256i byte_sums = zero, earlier_sums = zero, weighted = zero;
        for (uint32_t i = 0; i < block; i += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
            earlier_sums = _mm256_add_epi64(earlier_sums, byte_sums);
            byte_sums = _mm256_add_epi64(byte_sums, _mm256_sad_epu8(v, zero));
            weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
        }
        p += block;
        __m256i weighted64 = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(weighted)),
                                              _mm256_cvtepu32_epi64(_mm256_extracti128_si256(weighted, 1)));
        s2 += s1 * block + 32 * sum_lanes64(earlier_sums) + sum_lanes64(weighted64);
        s1 += sum_lanes64(byte_sums);
        s1 %= KIV_ADLER_MODULUS;
        s2 %= KIV_ADLER_MODULUS;
    }
    for (; n > 0; n--) {
        s1 += *p++;
        s2 += s1;
    }
    return static_cast<uint32_t>(((s2 % KIV_ADLER_MODULUS) << 16) | (s1 % KIV_ADLER_MODULUS));
}

// Below these lengths the set-up of the folding routines costs more than the tables.
constexpr int32_t CLMUL128_MIN = 64;
constexpr int32_t CLMUL512_MIN = 256;

}  // namespace

bool kiv_crc32_routine_available(kiv_crc32_routine routine) {
    switch (routine) {
    case KIV_CRC32_CLMUL512: return cpu().clmul512;
    case KIV_CRC32_CLMUL128: return cpu().clmul128;
    default: return true;
    }
}

kiv_crc32_routine kiv_crc32_best_routine() {
    static const kiv_crc32_routine best = cpu().clmul512   ? KIV_CRC32_CLMUL512
                                          : cpu().clmul128 ? KIV_CRC32_CLMUL128
                                                           : KIV_CRC32_SLICE4;
    return best;
}

uint32_t kiv_crc32_with(kiv_crc32_routine routine, uint32_t crc, const uint8_t *data, int32_t length) {
    if (routine == KIV_CRC32_CLMUL512 && length >= CLMUL512_MIN && cpu().clmul512)
        return crc32_clmul512(crc, data, length);
    if (routine != KIV_CRC32_SLICE4 && length >= CLMUL128_MIN && cpu().clmul128)
        return crc32_clmul128(crc, data, length);
    return kiv_crc32_slice4(crc, data, length);
}

uint32_t kiv_crc32_update(uint32_t crc, const uint8_t *data, int32_t length) {
    return kiv_crc32_with(kiv_crc32_best_routine(), crc, data, length);
}

bool kiv_adler32_avx2_available() { return cpu().avx2; }

uint32_t kiv_adler32_avx2(uint32_t adler, const uint8_t *data, uint32_t length) {
    return cpu().avx2 ? adler32_avx2(adler, data, length) : kiv_adler32_portable(adler, data, length);
}

uint32_t kiv_adler32_update(uint32_t adler, const uint8_t *data, uint32_t length) {
    // Short spans are not worth the vector set-up; the portable routine also reduces an empty span
    // exactly as the block algorithm does.
    if (length >= 64 && cpu().avx2) return adler32_avx2(adler, data, length);
    return kiv_adler32_portable(adler, data, length);
}

#endif  // __x86_64__
