// CRC-32 and Adler-32: check values, split invariance, fast vs byte-at-a-time, alignment, zlib agreement.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "checksums.h"
#include "support.h"

namespace {

using kivtest::bytes;

uint32_t zlib_crc(const bytes &b) { return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size()))); }
uint32_t zlib_adler(const bytes &b) {
    return static_cast<uint32_t>(adler32(1, b.data(), static_cast<uInt>(b.size())));
}

// The CRC register after `bits` single-bit steps from `v` (reflected polynomial, no complement).
uint32_t shift_register(uint32_t v, int bits) {
    for (int i = 0; i < bits; i++) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    return v;
}

TEST(Crc32Tables, FirstEntriesOfEachTable) {
    const uint32_t expected[4][2] = {
        {0xD202EF8D, 0xA505DF1B}, {0x93DBFD72, 0x8AC0CC33}, {0xBE98CBED, 0xBF5AA1DA}, {0xDE05060E, 0x66B9616B}};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(crc32_tables[k][0], expected[k][0]) << "table " << k;
        EXPECT_EQ(crc32_tables[k][1], expected[k][1]) << "table " << k;
    }
}

TEST(Crc32Tables, EveryEntryIsByteThenZeroBytesComplemented) {
    for (int k = 0; k < 4; k++)
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t sk = shift_register(i ^ 0xFF, 8 * (k + 1));
            ASSERT_EQ(crc32_tables[k][i], sk ^ (0xFF000000u >> (8 * k))) << "table " << k << " entry " << i;
            ASSERT_EQ(crc32_tables[k][i], shift_register(i, 8 * (k + 1)) ^ crc32_tables[k][0]) << "linearity";
        }
}

struct check_value {
    const char *name;
    bytes data;
    uint32_t crc, adler;
};

class CheckValues : public ::testing::TestWithParam<check_value> {};

TEST_P(CheckValues, FastAndBytewise) {
    const check_value &c = GetParam();
    const uint8_t *p = c.data.empty() ? nullptr : c.data.data();
    int32_t n = static_cast<int32_t>(c.data.size());
    EXPECT_EQ(kiv_crc32_update(0, p, n), c.crc);
    EXPECT_EQ(kiv_crc32_bytewise(0, p, n), c.crc);
    EXPECT_EQ(kiv_adler32_update(1, p, static_cast<uint32_t>(n)), c.adler);
    EXPECT_EQ(kiv_adler32_bytewise(1, p, n), c.adler);
    EXPECT_EQ(zlib_crc(c.data), c.crc) << "the expected value itself";
    EXPECT_EQ(zlib_adler(c.data), c.adler) << "the expected value itself";
}

INSTANTIATE_TEST_SUITE_P(
    Checksums, CheckValues,
    ::testing::Values(check_value{"empty", {}, 0, 1}, check_value{"one_zero_byte", {0}, 0xD202EF8D, 0x00010001},
                      check_value{"digits", kivtest::from_string("123456789"), 0xCBF43926, 0x091E01DE},
                      check_value{"ff_8192", bytes(8192, 0xFF), static_cast<uint32_t>(crc32(0, bytes(8192, 0xFF).data(), 8192)),
                                  0xF4A3E1D2}),
    [](const ::testing::TestParamInfo<check_value> &info) { return std::string(info.param.name); });

TEST(Checksums, ZeroAndNegativeLengthsChangeNothing) {
    const uint8_t data[4] = {1, 2, 3, 4};
    for (uint32_t v : {0u, 1u, 0xCBF43926u, 0xFFFFFFFFu}) {
        EXPECT_EQ(kiv_crc32_update(v, data, 0), v);
        EXPECT_EQ(kiv_crc32_bytewise(v, data, 0), v);
        EXPECT_EQ(kiv_crc32_update(v, data, -1), v);
        EXPECT_EQ(kiv_crc32_update(v, data, INT32_MIN), v);
        EXPECT_EQ(kiv_crc32_bytewise(v, data, -3), v);
    }
    for (uint32_t v : {1u, 0x091E01DEu, 0xFFF0FFF0u}) {
        EXPECT_EQ(kiv_adler32_update(v, data, 0), v);
        EXPECT_EQ(kiv_adler32_bytewise(v, data, 0), v);
        EXPECT_EQ(kiv_adler32_bytewise(v, data, -2), v);
    }
}

class SplitInvariance : public ::testing::TestWithParam<size_t> {};

TEST_P(SplitInvariance, EveryTwoWaySplitAndRandomThreeWaySplits) {
    const size_t n = GetParam();
    std::mt19937_64 rng(n);
    bytes data = kivtest::random_bytes(rng, n);
    const uint32_t crc = zlib_crc(data), adler = zlib_adler(data);
    ASSERT_EQ(kiv_crc32_update(0, data.data(), static_cast<int32_t>(n)), crc);
    ASSERT_EQ(kiv_adler32_update(1, data.data(), static_cast<uint32_t>(n)), adler);
    // Every split for short inputs; for long ones the points around word, 16-byte and 4096-byte edges.
    std::vector<size_t> points;
    for (size_t s = 0; s <= n; s++)
        if (n <= 64 || s <= 40 || n - s <= 40 || (s % 4096) <= 20 || (s % 4096) >= 4076) points.push_back(s);
    for (size_t s : points) {
        uint32_t c = kiv_crc32_update(0, data.data(), static_cast<int32_t>(s));
        c = kiv_crc32_update(c, data.data() + s, static_cast<int32_t>(n - s));
        ASSERT_EQ(c, crc) << "CRC split at " << s;
        uint32_t a = kiv_adler32_update(1, data.data(), static_cast<uint32_t>(s));
        a = kiv_adler32_update(a, data.data() + s, static_cast<uint32_t>(n - s));
        ASSERT_EQ(a, adler) << "Adler split at " << s;
    }
    for (int round = 0; round < 200; round++) {
        size_t a = rng() % (n + 1), b = rng() % (n + 1);
        if (a > b) std::swap(a, b);
        uint32_t c = 0, ad = 1;
        size_t cuts[4] = {0, a, b, n};
        for (int i = 0; i < 3; i++) {
            c = kiv_crc32_update(c, data.data() + cuts[i], static_cast<int32_t>(cuts[i + 1] - cuts[i]));
            ad = kiv_adler32_update(ad, data.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i]));
        }
        ASSERT_EQ(c, crc) << "cuts " << a << ", " << b;
        ASSERT_EQ(ad, adler) << "cuts " << a << ", " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(Checksums, SplitInvariance,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 33, 4095, 4096, 4097, 8193, 12289));

TEST(Checksums, FastAgreesWithBytewiseAndZlibOnRandomInput) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 300; round++) {
        size_t n = round < 100 ? rng() % 70 : rng() % 20000;
        bytes data = (round % 3 == 0) ? bytes(n, static_cast<uint8_t>(0xFF - (round % 2))) : kivtest::random_bytes(rng, n);
        const int32_t len = static_cast<int32_t>(n);
        uint32_t crc_start = round % 4 ? static_cast<uint32_t>(rng()) : 0;
        uint32_t adler_start = round % 4 ? static_cast<uint32_t>(((rng() % 65521) << 16) | (rng() % 65521)) : 1;
        uint32_t fast = kiv_crc32_update(crc_start, data.data(), len);
        ASSERT_EQ(fast, kiv_crc32_bytewise(crc_start, data.data(), len)) << "n " << n;
        ASSERT_EQ(fast, static_cast<uint32_t>(crc32(crc_start, data.data(), static_cast<uInt>(n)))) << "n " << n;
        uint32_t a = kiv_adler32_update(adler_start, data.data(), static_cast<uint32_t>(n));
        ASSERT_EQ(a, kiv_adler32_bytewise(adler_start, data.data(), len)) << "n " << n;
        ASSERT_EQ(a, static_cast<uint32_t>(adler32(adler_start, data.data(), static_cast<uInt>(n)))) << "n " << n;
    }
}

TEST(Checksums, AdlerLargeAllFfStaysExact) {
    // The unreduced s2 of a 4096-byte block of 0xFF comes close to 2^32; many such blocks in one call.
    bytes data(1 << 20, 0xFF);
    uint32_t start = (65520u << 16) | 65520u;  // both halves at their largest
    EXPECT_EQ(kiv_adler32_update(start, data.data(), static_cast<uint32_t>(data.size())),
              static_cast<uint32_t>(adler32(start, data.data(), static_cast<uInt>(data.size()))));
    EXPECT_EQ(kiv_adler32_update(1, data.data(), static_cast<uint32_t>(data.size())), zlib_adler(data));
}

// Spans summed apart and combined give what one update over both gives: both checksums, lengths around
// the edges of the update routines' blocks, empty spans on either side, and any start value of A.
TEST(ChecksumCombine, EqualsOneUpdateOverBothSpans) {
    std::mt19937_64 rng(41);
    const bytes data = kivtest::random_bytes(rng, 300000);
    const bytes ff(70000, 0xFF);  // the largest sums
    const size_t lengths[] = {0, 1, 2, 3, 15, 16, 4095, 4096, 5552, 65520, 65521, 65522, 65535, 65536, 131042, 299000};
    for (const bytes *src : std::initializer_list<const bytes *>{&data, &ff})
        for (size_t na : {size_t{0}, size_t{1}, size_t{777}, size_t{65536}})
            for (size_t nb : lengths) {
                if (na + nb > src->size()) continue;
                const uint8_t *a = src->data(), *b = a + na;
                const int32_t la = static_cast<int32_t>(na), lb = static_cast<int32_t>(nb);
                const uint32_t crc_a = kiv_crc32_update(0, a, la), crc_b = kiv_crc32_update(0, b, lb);
                ASSERT_EQ(kiv_crc32_combine(crc_a, crc_b, nb), kiv_crc32_update(crc_a, b, lb)) << na << " + " << nb;
                const uint32_t ad_a = kiv_adler32_update(1, a, static_cast<uint32_t>(na));
                const uint32_t ad_b = kiv_adler32_update(1, b, static_cast<uint32_t>(nb));
                ASSERT_EQ(kiv_adler32_combine(ad_a, ad_b, nb), kiv_adler32_update(ad_a, b, static_cast<uint32_t>(nb)))
                    << na << " + " << nb;
            }
    // Any running value stands for some A: the combine does not care how it came about.
    for (int round = 0; round < 200; round++) {
        const size_t nb = rng() % 100000;
        const uint8_t *b = data.data() + rng() % 1000;
        const uint32_t crc_a = static_cast<uint32_t>(rng());
        const uint32_t ad_a = static_cast<uint32_t>((rng() % 65521) << 16 | (rng() % 65521));
        ASSERT_EQ(kiv_crc32_combine(crc_a, kiv_crc32_update(0, b, static_cast<int32_t>(nb)), nb),
                  kiv_crc32_update(crc_a, b, static_cast<int32_t>(nb)));
        ASSERT_EQ(kiv_adler32_combine(ad_a, kiv_adler32_update(1, b, static_cast<uint32_t>(nb)), nb),
                  kiv_adler32_update(ad_a, b, static_cast<uint32_t>(nb)));
    }
}

// Lengths past 2^32 use the largest operators. "x" and then 2^32 + 5 zero bytes: the Adler-32 of zeros
// from 1 is n mod 65521 in the high half and 1 in the low; the CRC-32 is fed for real where a folding
// routine makes 4 GiB quick (the portable path would take minutes under emulation). And grouping three
// spans either way gives the same value, for lengths up to 2^62.
TEST(ChecksumCombine, LengthsBeyondFourGigabytes) {
    const uint64_t n = (uint64_t{1} << 32) + 5;
    const uint8_t x = 'x';
    const uint32_t x_adler = kiv_adler32_update(1, &x, 1);
    const uint32_t zeros_adler = static_cast<uint32_t>(n % KIV_ADLER_MODULUS) << 16 | 1;
    const uint64_t x1 = x_adler & 0xFFFF, x2 = x_adler >> 16;  // zeros leave s1 and add s1 n times to s2
    EXPECT_EQ(kiv_adler32_combine(x_adler, zeros_adler, n),
              static_cast<uint32_t>((x2 + n % KIV_ADLER_MODULUS * x1) % KIV_ADLER_MODULUS << 16 | x1));
    if (kiv_crc32_best_routine() != KIV_CRC32_SLICE4) {
        const bytes zeros(1 << 20, 0);
        uint32_t zeros_crc = 0, direct_crc = kiv_crc32_update(0, &x, 1);
        const uint32_t x_crc = direct_crc;
        for (int i = 0; i <= 4096; i++) {
            const int32_t len = i < 4096 ? static_cast<int32_t>(zeros.size()) : 5;
            zeros_crc = kiv_crc32_update(zeros_crc, zeros.data(), len);
            direct_crc = kiv_crc32_update(direct_crc, zeros.data(), len);
        }
        EXPECT_EQ(kiv_crc32_combine(x_crc, zeros_crc, n), direct_crc);
    }

    std::mt19937_64 rng(43);
    for (int round = 0; round < 100; round++) {
        const uint32_t a = static_cast<uint32_t>(rng()), b = static_cast<uint32_t>(rng()), c = static_cast<uint32_t>(rng());
        const uint64_t nb = rng() >> 2, nc = rng() >> 2;
        ASSERT_EQ(kiv_crc32_combine(kiv_crc32_combine(a, b, nb), c, nc),
                  kiv_crc32_combine(a, kiv_crc32_combine(b, c, nc), nb + nc));
        const uint32_t p = static_cast<uint32_t>((rng() % 65521) << 16 | (rng() % 65521));
        const uint32_t q = static_cast<uint32_t>((rng() % 65521) << 16 | (rng() % 65521));
        const uint32_t r = static_cast<uint32_t>((rng() % 65521) << 16 | (rng() % 65521));
        ASSERT_EQ(kiv_adler32_combine(kiv_adler32_combine(p, q, nb), r, nc),
                  kiv_adler32_combine(p, kiv_adler32_combine(q, r, nc), nb + nc));
    }
}

TEST(Checksums, OddStartAddresses) {
    std::mt19937_64 rng(7);
    for (size_t n : {3, 4, 15, 16, 17, 64, 1000, 4097}) {
        bytes data = kivtest::random_bytes(rng, n);
        const uint32_t crc = zlib_crc(data), adler = zlib_adler(data);
        bytes buf(n + 16);
        for (size_t off = 0; off < 8; off++) {
            std::memcpy(buf.data() + off, data.data(), n);
            EXPECT_EQ(kiv_crc32_update(0, buf.data() + off, static_cast<int32_t>(n)), crc) << "n " << n << " offset " << off;
            EXPECT_EQ(kiv_adler32_update(1, buf.data() + off, static_cast<uint32_t>(n)), adler)
                << "n " << n << " offset " << off;
        }
    }
}

}  // namespace

namespace {

// Every CRC routine this processor runs (the portable one always) against the byte-at-a-time CRC, over
// lengths around the folding widths, odd start addresses and continued values.
TEST(Crc32Routines, EveryAvailableRoutineAgreesWithBytewise) {
    std::mt19937_64 rng(31);
    const bytes data = kivtest::random_bytes(rng, 70000);
    int tested = 0;
    for (kiv_crc32_routine r : {KIV_CRC32_SLICE4, KIV_CRC32_CLMUL128, KIV_CRC32_CLMUL512}) {
        if (!kiv_crc32_routine_available(r)) {
            std::printf("[ info     ] CRC routine %d not available here\n", static_cast<int>(r));
            continue;
        }
        tested++;
        std::vector<size_t> lengths;
        for (size_t n = 0; n <= 300; n++) lengths.push_back(n);
        for (size_t n : {511, 512, 513, 1023, 1024, 1025, 4095, 4096, 4097, 65536, 69990}) lengths.push_back(n);
        for (size_t n : lengths)
            for (size_t off : {0, 1, 3, 8}) {
                const uint8_t *p = data.data() + off;
                const int32_t len = static_cast<int32_t>(n);
                uint32_t start = n % 3 == 0 ? 0 : static_cast<uint32_t>(rng());
                ASSERT_EQ(kiv_crc32_with(r, start, p, len), kiv_crc32_bytewise(start, p, len))
                    << "routine " << r << " n " << n << " offset " << off;
            }
        EXPECT_EQ(kiv_crc32_with(r, 0x1234, data.data(), -7), 0x1234u);
        EXPECT_EQ(kiv_crc32_with(r, 0, reinterpret_cast<const uint8_t *>("123456789"), 9), 0xCBF43926u);
    }
    EXPECT_GE(tested, 1);
    EXPECT_TRUE(kiv_crc32_routine_available(kiv_crc32_best_routine()));
}

// The vector Adler-32 against the byte-at-a-time one, across its 32-byte steps and its reduction
// blocks, from valid running values including the largest halves.
TEST(Adler32Routines, VectorRoutineAgreesWithBytewise) {
    if (!kiv_adler32_avx2_available()) GTEST_SKIP() << "no AVX2 here";
    std::mt19937_64 rng(37);
    const bytes random = kivtest::random_bytes(rng, 70000);
    const bytes high(20008, 0xFF);  // room for the largest length at the largest offset
    for (const bytes *src : std::initializer_list<const bytes *>{&random, &high})
        for (size_t n : {0, 1, 31, 32, 33, 63, 64, 65, 5535, 5536, 5537, 11072, 11073, 19999})
            for (size_t off : {0, 1, 7})
                for (uint32_t start : {1u, 0xFFF0FFF0u, static_cast<uint32_t>(rng() % 65521) << 16 | 77u}) {
                    const uint8_t *p = src->data() + off;
                    ASSERT_EQ(kiv_adler32_avx2(start, p, static_cast<uint32_t>(n)),
                              kiv_adler32_bytewise(start, p, static_cast<int32_t>(n)))
                        << "n " << n << " offset " << off << " start " << start;
                    ASSERT_EQ(kiv_adler32_portable(start, p, static_cast<uint32_t>(n)),
                              kiv_adler32_update(start, p, static_cast<uint32_t>(n)));
                }
}

}  // namespace
