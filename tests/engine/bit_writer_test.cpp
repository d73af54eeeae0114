// Bit writer, stored blocks, the end of a DEFLATE stream and the raw init.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "block_encoder.h"
#include "containers.h"
#include "encoder_state.h"
#include "support.h"

namespace {

using kivtest::bytes;
using kivtest::from_hex;
using kivtest::hex;

kiv_encoder raw_record(int level = 1) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_deflate_init(&enc, level);
    return enc;
}

TEST(PutBits, SpillsFourBytesAtAnyCursorAlignment) {
    std::mt19937_64 rng(1);
    for (uint32_t align = 0; align < 8; align++)
        for (uint32_t count = 0; count < 32; count++)
            for (uint32_t nbits = 0; nbits <= 32; nbits++) {
                uint8_t buf[24];
                std::memset(buf, 0xA5, sizeof buf);
                kiv_encoder enc = raw_record();
                enc.bit_queue = rng() & ((uint64_t{1} << count) - 1);
                enc.bit_count = count;
                enc.out_cursor = buf + align;
                uint64_t value = rng() & ((uint64_t{1} << nbits) - 1);
                const uint64_t joined = enc.bit_queue | (value << count);
                kiv_put_bits(&enc, value, nbits);
                SCOPED_TRACE("align " + std::to_string(align) + " count " + std::to_string(count) + " nbits " +
                             std::to_string(nbits));
                size_t written = count + nbits >= 32 ? 4 : 0;
                ASSERT_EQ(enc.out_cursor, buf + align + written);
                for (size_t i = 0; i < written; i++) ASSERT_EQ(buf[align + i], static_cast<uint8_t>(joined >> (8 * i)));
                for (size_t i = 0; i < sizeof buf; i++)
                    if (i < align || i >= align + written) {
                        ASSERT_EQ(buf[i], 0xA5) << "byte " << i << " touched";
                    }
                ASSERT_EQ(enc.bit_count, (count + nbits) % 32);
                ASSERT_EQ(enc.bit_queue, written ? joined >> 32 : joined);
            }
}

TEST(PutBits, LongRandomSequenceMatchesABitModel) {
    std::mt19937_64 rng(2);
    bytes out(1 << 16);
    kiv_encoder enc = raw_record();
    enc.out_cursor = out.data() + 3;  // an odd cursor for the whole run
    kivtest::bits model;
    for (int i = 0; i < 20000; i++) {
        uint32_t nbits = static_cast<uint32_t>(rng() % 33);
        uint64_t value = rng() & ((uint64_t{1} << nbits) - 1);
        kivtest::append_value(model, value, nbits);
        kiv_put_bits(&enc, value, nbits);
        ASSERT_LT(enc.bit_count, 32u);
        ASSERT_EQ(enc.bit_queue >> enc.bit_count, 0u) << "bits above bit_count must stay zero";
    }
    size_t n = static_cast<size_t>(enc.out_cursor - (out.data() + 3));
    ASSERT_EQ(n % 4, 0u);
    EXPECT_EQ(kivtest::stream_bits(out.data() + 3, n, enc), model);
}

TEST(DrainBits, WritesCeilCountOverEightBytes) {
    for (uint32_t count = 0; count < 32; count++) {
        uint8_t buf[16];
        std::memset(buf, 0xA5, sizeof buf);
        kiv_encoder enc = raw_record();
        enc.bit_queue = 0xFEDCBA98u & ((uint64_t{1} << count) - 1);
        enc.bit_count = count;
        enc.out_cursor = buf + 1;
        const uint64_t q = enc.bit_queue;
        kiv_drain_bits(&enc);
        size_t n = (count + 7) / 8;
        EXPECT_EQ(enc.out_cursor, buf + 1 + n) << "count " << count;
        for (size_t i = 0; i < n; i++) EXPECT_EQ(buf[1 + i], static_cast<uint8_t>(q >> (8 * i)));
        EXPECT_EQ(buf[1 + n], 0xA5);
        EXPECT_EQ(enc.bit_count, 0u);
        EXPECT_EQ(enc.bit_queue, 0u);
    }
}

struct stored_case {
    const char *name;
    uint16_t state;
    uint64_t queue;
    uint32_t count;
    const char *input;
    int more;
    const char *expected;
    uint16_t state_after;
};

class EmitStored : public ::testing::TestWithParam<stored_case> {};

TEST_P(EmitStored, Bytes) {
    const stored_case &c = GetParam();
    bytes in = kivtest::from_string(c.input);
    uint8_t dummy = 0;
    kiv_encoder enc = raw_record();
    enc.state = c.state;
    enc.bit_queue = c.queue;
    enc.bit_count = c.count;
    bytes out(64, 0xA5);
    enc.out_cursor = out.data();
    kiv_emit_stored(&enc, in.empty() ? &dummy : in.data(), static_cast<uint32_t>(in.size()), c.more);
    bytes expected = from_hex(c.expected);
    EXPECT_EQ(hex(out.data(), static_cast<size_t>(enc.out_cursor - out.data())), hex(expected));
    EXPECT_EQ(out[expected.size()], 0xA5) << "wrote past the block";
    EXPECT_EQ(enc.state, c.state_after);
    EXPECT_EQ(enc.bit_count, 0u);
    EXPECT_EQ(enc.bit_queue, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    BitWriter, EmitStored,
    ::testing::Values(
        stored_case{"idle_final", KIV_ST_IDLE, 0, 0, "abc", 0, "01 03 00 FC FF 61 62 63", KIV_ST_CLOSED},
        stored_case{"idle_more", KIV_ST_IDLE, 0, 0, "abc", 1, "00 03 00 FC FF 61 62 63", KIV_ST_IDLE},
        stored_case{"empty_final", KIV_ST_IDLE, 0, 0, "", 0, "01 00 00 FF FF", KIV_ST_CLOSED},
        stored_case{"empty_more", KIV_ST_IDLE, 0, 0, "", 7, "00 00 00 FF FF", KIV_ST_IDLE},
        // 22 pending bits + end of block (7) + header (3) = 32: one spill, nothing left to drain.
        stored_case{"block_22_more", KIV_ST_BLOCK, 0x2AAAAA, 22, "abc", 1, "AA AA 2A 00 03 00 FC FF 61 62 63",
                    KIV_ST_IDLE},
        stored_case{"block_22_final", KIV_ST_BLOCK, 0x2AAAAA, 22, "abc", 0, "AA AA 2A 20 03 00 FC FF 61 62 63",
                    KIV_ST_CLOSED},
        // 25 + 7 = 32: the end of block spills alone; the header drains as one byte.
        stored_case{"block_25_more", KIV_ST_BLOCK, 0x1555555, 25, "abc", 1, "55 55 55 01 00 03 00 FC FF 61 62 63",
                    KIV_ST_IDLE},
        stored_case{"block_25_final", KIV_ST_BLOCK, 0x1555555, 25, "abc", 0, "55 55 55 01 01 03 00 FC FF 61 62 63",
                    KIV_ST_CLOSED},
        // 31 + 7 + 3 = 41 bits: six bytes before LEN, the most a stored emission adds.
        stored_case{"block_31_final", KIV_ST_BLOCK, 0x7FFFFFFF, 31, "abc", 0,
                    "FF FF FF 7F 40 00 03 00 FC FF 61 62 63", KIV_ST_CLOSED},
        stored_case{"final_block_open", KIV_ST_FINAL_BLOCK, 0x5, 3, "a", 1, "05 00 01 00 FE FF 61", KIV_ST_IDLE},
        stored_case{"after_close", KIV_ST_CLOSED, 0, 0, "a", 1, "00 00 01 00 FE FF 61", KIV_ST_IDLE}),
    [](const ::testing::TestParamInfo<stored_case> &info) { return std::string(info.param.name); });

TEST(EmitStored, FinishAfterStoredBlocks) {
    const bytes abc = kivtest::from_string("abc");
    for (int more : {0, 1}) {
        kiv_encoder enc = raw_record();
        bytes out(16);
        enc.out_cursor = out.data();
        kiv_emit_stored(&enc, abc.data(), 3, more);
        bytes fin(KIV_FINISH_BOUND, 0xA5);
        int32_t n = kiv_deflate_finish(&enc, fin.data());
        EXPECT_EQ(hex(fin.data(), static_cast<size_t>(n)), more ? "03 00" : "") << "more " << more;
        EXPECT_EQ(enc.state, KIV_ST_CLOSED);
    }
}

TEST(EmitStored, SplitsAt65535AndOnlyTheLastBlockIsFinal) {
    std::mt19937_64 rng(3);
    struct row {
        size_t n;
        int more;
        const char *events;
    } rows[] = {
        {65535, 0, "S1:65535"},
        {65535, 1, "S0:65535"},
        {65536, 0, "S0:65535 S1:1"},
        {65536, 1, "S0:65535 S0:1"},
        {131070, 0, "S0:65535 S1:65535"},
        {131071, 0, "S0:65535 S0:65535 S1:1"},
    };
    for (const row &r : rows) {
        for (uint32_t pending : {0u, 13u}) {
            bytes in = kivtest::random_bytes(rng, r.n);
            kiv_encoder enc = raw_record();
            if (pending) {  // an open fixed block: "F0" header then 10 bits of literal codes
                enc.state = KIV_ST_BLOCK;
                enc.bit_queue = 0x2 | (uint64_t{0x0C} << 3) | (uint64_t{0x3} << 11);  // F0, literal 00 (8 bits), 2 more
                enc.bit_count = pending;
            }
            bytes out(r.n + r.n / 65535 * 5 + 16);
            enc.out_cursor = out.data();
            kiv_emit_stored(&enc, in.data(), static_cast<uint32_t>(r.n), r.more);
            size_t written = static_cast<size_t>(enc.out_cursor - out.data());
            size_t blocks = (r.n + 65534) / 65535;
            SCOPED_TRACE("n " + std::to_string(r.n) + " more " + std::to_string(r.more) + " pending " +
                         std::to_string(pending));
            if (!pending) {
                EXPECT_EQ(written, r.n + 5 * blocks);
                auto p = kivtest::parse_deflate_bytes(bytes(out.begin(), out.begin() + written));
                EXPECT_EQ(p.error, "");
                EXPECT_EQ(kivtest::join(p.events), r.events);
                EXPECT_EQ(p.output, in);
            } else {
                // 13 + 7 + 3 = 23 bits: three bytes before the first LEN, then plain 5-byte framings.
                EXPECT_EQ(written, r.n + 5 * blocks + 2);
            }
            EXPECT_EQ(enc.state, r.more ? KIV_ST_IDLE : KIV_ST_CLOSED);
        }
    }
}

struct finish_case {
    const char *name;
    uint16_t state;
    uint64_t queue;
    uint32_t count;
    const char *expected;
};

class DeflateFinish : public ::testing::TestWithParam<finish_case> {};

TEST_P(DeflateFinish, Bytes) {
    const finish_case &c = GetParam();
    kiv_encoder enc = raw_record();
    enc.state = c.state;
    enc.bit_queue = c.queue;
    enc.bit_count = c.count;
    bytes out(KIV_FINISH_BOUND + 4, 0xA5);
    int32_t n = kiv_deflate_finish(&enc, out.data() + 1);
    EXPECT_EQ(hex(out.data() + 1, static_cast<size_t>(n)), c.expected);
    EXPECT_EQ(enc.out_cursor, out.data() + 1 + n);
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(out[1 + n], 0xA5);
    EXPECT_EQ(enc.state, KIV_ST_CLOSED);
    EXPECT_EQ(enc.bit_count, 0u);
    EXPECT_EQ(enc.bit_queue, 0u);
    // A second finish on a raw stream writes nothing.
    EXPECT_EQ(kiv_deflate_finish(&enc, out.data()), 0);
    EXPECT_EQ(enc.state, KIV_ST_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(
    BitWriter, DeflateFinish,
    ::testing::Values(finish_case{"idle", KIV_ST_IDLE, 0, 0, "03 00"}, finish_case{"new", KIV_ST_NEW, 0, 0, "03 00"},
                      finish_case{"trailed", KIV_ST_TRAILED, 0, 0, "03 00"},
                      finish_case{"closed", KIV_ST_CLOSED, 0, 0, ""},
                      // 31 + 7 + 3 + 7 = 48 bits
                      finish_case{"block_31", KIV_ST_BLOCK, 0x7FFFFFFF, 31, "FF FF FF 7F C0 00"},
                      finish_case{"final_block_31", KIV_ST_FINAL_BLOCK, 0x7FFFFFFF, 31, "FF FF FF 7F 00"},
                      finish_case{"block_0", KIV_ST_BLOCK, 0, 0, "80 01 00"},
                      finish_case{"final_block_0", KIV_ST_FINAL_BLOCK, 0, 0, "00"},
                      finish_case{"block_3", KIV_ST_BLOCK, 0x2, 3, "02 0C 00"}),
    [](const ::testing::TestParamInfo<finish_case> &info) { return std::string(info.param.name); });

TEST(DeflateFinish, FreshRawStreamAndEmptyEncodes) {
    for (int level : {0, 1}) {
        kiv_encoder enc = raw_record(level);
        uint8_t in = 0x61;
        bytes out(16, 0xA5);
        for (int more : {1, 0, 1}) EXPECT_EQ(kiv_deflate_encode(&enc, out.data(), &in, 0, more), 0);
        EXPECT_EQ(out[0], 0xA5);
        int32_t n = kiv_deflate_finish(&enc, out.data());
        EXPECT_EQ(hex(out.data(), static_cast<size_t>(n)), "03 00") << "level " << level;
        EXPECT_EQ(kiv_deflate_finish(&enc, out.data()), 0);
    }
}

// Finds the byte that holds the level and format bit fields.
size_t flags_byte_offset() {
    kiv_encoder a, b;
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0, sizeof b);
    b.level = 1;
    b.format = 3;
    for (size_t i = 0; i < sizeof a; i++)
        if (reinterpret_cast<uint8_t *>(&a)[i] != reinterpret_cast<uint8_t *>(&b)[i]) return i;
    return sizeof a;
}

struct init_case {
    const char *name;
    int format;
    int level;
    uint16_t state;
    uint32_t level_field, format_field, checksum;
};

class Init : public ::testing::TestWithParam<init_case> {};

TEST_P(Init, SetsEveryFieldAndLeavesSpareBits) {
    const init_case &c = GetParam();
    const size_t flags = flags_byte_offset();
    ASSERT_LT(flags, sizeof(kiv_encoder));
    for (uint8_t fill : {0x00, 0xFF}) {
        kiv_encoder enc;
        std::memset(&enc, fill, sizeof enc);
        uint8_t *out_cursor_before = enc.out_cursor;
        int32_t r = c.format == 0   ? kiv_gzip_init(&enc, c.level)
                    : c.format == 1 ? kiv_zlib_init(&enc, c.level)
                                    : kiv_deflate_init(&enc, c.level);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(enc.state, c.state);
        EXPECT_EQ(enc.level, c.level_field);
        EXPECT_EQ(enc.format, c.format_field);
        EXPECT_EQ(enc.checksum, c.checksum);
        EXPECT_EQ(enc.input_total, 0u);
        EXPECT_EQ(enc.bit_queue, 0u);
        EXPECT_EQ(enc.bit_count, 0u);
        EXPECT_EQ(enc.out_cursor, out_cursor_before) << "init leaves the cursor alone";
        EXPECT_EQ(reinterpret_cast<uint8_t *>(&enc)[flags] & 0xF8, fill & 0xF8) << "spare bits changed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    BitWriter, Init,
    ::testing::Values(init_case{"raw_0", 2, 0, KIV_ST_IDLE, 0, 2, 0}, init_case{"raw_1", 2, 1, KIV_ST_IDLE, 1, 2, 0},
                      init_case{"raw_2", 2, 2, KIV_ST_IDLE, 0, 2, 0}, init_case{"raw_3", 2, 3, KIV_ST_IDLE, 1, 2, 0},
                      init_case{"raw_minus_1", 2, -1, KIV_ST_IDLE, 1, 2, 0},
                      init_case{"gzip_3", 0, 3, KIV_ST_NEW, 1, 0, 0}, init_case{"gzip_4", 0, 4, KIV_ST_NEW, 0, 0, 0},
                      init_case{"zlib_1", 1, 1, KIV_ST_NEW, 1, 1, 1}, init_case{"zlib_2", 1, 2, KIV_ST_NEW, 0, 1, 1}),
    [](const ::testing::TestParamInfo<init_case> &info) { return std::string(info.param.name); });

TEST(Init, LevelTwoStoresAndLevelThreeSearches) {
    const bytes in(300, 0x61);
    for (int level : {2, 3}) {
        kiv_encoder enc = raw_record(level);
        bytes out(kiv_encode_bound(in.size()));
        int32_t n = kiv_deflate_encode(&enc, out.data(), in.data(), 300, 1);
        auto p = kivtest::parse_deflate(kivtest::stream_bits(out.data(), static_cast<size_t>(n), enc));
        EXPECT_EQ(p.error, "");
        EXPECT_EQ(kivtest::join(p.events), level == 2 ? "S0:300" : "F0 L61 M258/1 M41/258") << "level " << level;
    }
}

}  // namespace
