// checksum_combine.cpp: the CRC-32 and Adler-32 of two spans joined, from the checksums of each span.
#include "checksums.h"

namespace {

// A 32 x 32 matrix over GF(2) acting on the CRC register: column i is the image of bit i.
struct gf2_matrix {
    uint32_t column[32];
};

// The image of v: the sum (exclusive or) of the columns of v's set bits.
constexpr uint32_t apply(const gf2_matrix &m, uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; i++) r ^= m.column[i] & (0u - ((v >> i) & 1));
    return r;
}

constexpr gf2_matrix square(const gf2_matrix &m) {
    gf2_matrix r{};
    for (int i = 0; i < 32; i++) r.column[i] = apply(m, m.column[i]);
    return r;
}

// Feeding one zero bit to the reflected register (no complement): shift right, and fold the
// polynomial 0xEDB88320 in when bit 0 falls out. Bit 0's image is the polynomial, bit i's is bit i - 1.
constexpr gf2_matrix one_zero_bit() {
    gf2_matrix m{};
    m.column[0] = 0xEDB88320u;
    for (int i = 1; i < 32; i++) m.column[i] = 1u << (i - 1);
    return m;
}

// zero_bytes[k]: the register after 2^k zero bytes, for every k a 64-bit length can need. Derived at
// compile time: three squarings of the one-bit step give one byte, each further squaring doubles.
struct zero_byte_operators {
    gf2_matrix power[64];
};

constexpr zero_byte_operators make_zero_byte_operators() {
    zero_byte_operators z{};
    gf2_matrix m = square(square(square(one_zero_bit())));
    for (int k = 0; k < 64; k++) {
        z.power[k] = m;
        m = square(m);
    }
    return z;
}

constexpr zero_byte_operators ZERO_BYTES = make_zero_byte_operators();

}  // namespace

// The register is affine in its start value, so crc(A B) = Z(crc(A)) xor crc(B), with Z the linear effect
// of |B| zero bytes; the pre- and post-complements cancel between the two sides. Z is the product of the
// operators of the set bits of |B|: at most 64 matrix-vector steps of 32 masked xors each.
uint32_t kiv_crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
    uint32_t v = crc_a;
    for (int k = 0; length_b != 0; k++, length_b >>= 1)
        if (length_b & 1) v = apply(ZERO_BYTES.power[k], v);
    return v ^ crc_b;
}

// With B's sums taken from their start values (s1 = 1, s2 = 0) and n = |B|:
//   s1 = s1(A) + s1(B) - 1,   s2 = s2(A) + s2(B) + n (s1(A) - 1),   both modulo 65521,
// since every byte of B adds s1(A) - 1 more to s2 than it did when B was summed alone.
uint32_t kiv_adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t length_b) {
    const uint64_t m = KIV_ADLER_MODULUS;
    const uint64_t a1 = adler_a & 0xFFFF, a2 = adler_a >> 16, b1 = adler_b & 0xFFFF, b2 = adler_b >> 16;
    const uint64_t n = length_b % m;
    const uint64_t s1 = (a1 + b1 + m - 1) % m;
    const uint64_t s2 = (a2 + b2 + n * a1 + m - n) % m;  // n (a1 - 1), kept non-negative
    return static_cast<uint32_t>(s2 << 16 | s1);
}
