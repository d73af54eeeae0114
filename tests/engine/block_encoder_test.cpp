// Block encoder: exact decisions checked by reading the bit stream back with the test-side reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "block_encoder.h"
#include "support.h"

namespace {

using kivtest::bytes;
using kivtest::join;

kiv_encoder record(int level, uint16_t state = KIV_ST_IDLE, uint64_t queue = 0, uint32_t count = 0) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_deflate_init(&enc, level);
    enc.state = state;
    enc.bit_queue = queue;
    enc.bit_count = count;
    return enc;
}

struct encoded {
    bytes out;  // bytes written by the call
    kivtest::parsed_stream parsed;
};

// Runs one encode call and reads back the stream, including the bits queued in the record on entry.
encoded encode(kiv_encoder &enc, const bytes &in, int more) {
    bytes buf(kiv_encode_bound(in.size()));
    int32_t n = kiv_deflate_encode(&enc, buf.data(), in.data(), static_cast<int32_t>(in.size()), more);
    EXPECT_EQ(enc.out_cursor, buf.data() + n);
    encoded e;
    e.out.assign(buf.begin(), buf.begin() + n);
    // The bytes written start with the bits that were queued on entry, so bytes plus the bits still
    // queued are the whole stream from the entry queue on.
    e.parsed = kivtest::parse_deflate(kivtest::stream_bits(e.out.data(), e.out.size(), enc));
    return e;
}

std::string literals(const bytes &b, size_t from, size_t to) {
    std::vector<std::string> t;
    char tok[8];
    for (size_t i = from; i < to; i++) {
        std::snprintf(tok, sizeof tok, "L%02X", b[i]);
        t.push_back(tok);
    }
    return join(t);
}

// True when no word other than at `pos` and `at` hashes to the slot of the word at `pos`, between them:
// the slot written at `pos` is then still there when position `at` is examined, whatever is examined.
bool slot_survives(const bytes &b, size_t pos, size_t at) {
    uint32_t s = kivtest::slot_of(kivtest::word_at(b, pos));
    for (size_t p = pos + 1; p < at; p++)
        if (kivtest::slot_of(kivtest::word_at(b, p)) == s) return false;
    return true;
}

TEST(BlockEncoder, LengthZeroWritesAndChangesNothing) {
    const uint8_t byte = 0x61;
    struct entry {
        uint16_t state;
        uint64_t queue;
        uint32_t count;
    } entries[] = {{KIV_ST_IDLE, 0, 0}, {KIV_ST_BLOCK, 0x12345, 17}, {KIV_ST_BLOCK, 0x7FFFFFFF, 31},
                   {KIV_ST_FINAL_BLOCK, 0x5, 3}, {KIV_ST_CLOSED, 0, 0}};
    for (int level : {0, 1})
        for (int more : {0, 1})
            for (const entry &e : entries) {
                kiv_encoder enc = record(level, e.state, e.queue, e.count);
                enc.input_total = 77;
                uint8_t out[8];
                std::memset(out, 0xA5, sizeof out);
                EXPECT_EQ(kiv_deflate_encode(&enc, out, &byte, 0, more), 0);
                EXPECT_EQ(enc.state, e.state);
                EXPECT_EQ(enc.bit_queue, e.queue);
                EXPECT_EQ(enc.bit_count, e.count);
                EXPECT_EQ(enc.input_total, 77u);
                EXPECT_EQ(enc.checksum, 0u);
                for (uint8_t x : out) EXPECT_EQ(x, 0xA5);
            }
}

struct vector_case {
    const char *name;
    uint16_t state;  // KIV_ST_BLOCK cases start with a queued "F0" header
    bytes input;
    int more;
    const char *events;
    uint16_t state_after;
};

class Vectors : public ::testing::TestWithParam<vector_case> {};

TEST_P(Vectors, Events) {
    const vector_case &c = GetParam();
    kiv_encoder enc = c.state == KIV_ST_BLOCK ? record(1, KIV_ST_BLOCK, 2, 3) : record(1, c.state);
    encoded e = encode(enc, c.input, c.more);
    EXPECT_EQ(e.parsed.error, "");
    EXPECT_EQ(join(e.parsed.events), c.events);
    EXPECT_EQ(enc.state, c.state_after);
    EXPECT_EQ(enc.input_total, c.input.size());
}

bytes b(std::initializer_list<int> v) {
    bytes r;
    for (int x : v) r.push_back(static_cast<uint8_t>(x));
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    BlockEncoder, Vectors,
    ::testing::Values(
        // Fewer than four bytes are never hashed: literals only, even when they repeat.
        vector_case{"one_byte", KIV_ST_IDLE, b({0x61}), 1, "F0 L61", KIV_ST_BLOCK},
        vector_case{"three_equal_final", KIV_ST_IDLE, b({0x61, 0x61, 0x61}), 0, "F1 L61 L61 L61", KIV_ST_FINAL_BLOCK},
        vector_case{"two_high", KIV_ST_IDLE, b({0xFF, 0x90}), 1, "F0 LFF L90", KIV_ST_BLOCK},
        vector_case{"open_block_final", KIV_ST_BLOCK, b({0x61, 0x62}), 0, "F0 E F1 L61 L62", KIV_ST_FINAL_BLOCK},
        vector_case{"open_block_more", KIV_ST_BLOCK, b({0x61, 0x62, 0x63}), 1, "F0 L61 L62 L63", KIV_ST_BLOCK},
        // A call that ends with a match opens no final block, whatever `more` says.
        vector_case{"abcdabcd_final", KIV_ST_IDLE, b({0x61, 0x62, 0x63, 0x64, 0x61, 0x62, 0x63, 0x64}), 0,
                    "F0 L61 L62 L63 L64 M4/4", KIV_ST_BLOCK},
        vector_case{"abcdabcdx_final", KIV_ST_IDLE, b({0x61, 0x62, 0x63, 0x64, 0x61, 0x62, 0x63, 0x64, 0x78}), 0,
                    "F0 L61 L62 L63 L64 M4/4 E F1 L78", KIV_ST_FINAL_BLOCK},
        vector_case{"abcdabcdx_more", KIV_ST_IDLE, b({0x61, 0x62, 0x63, 0x64, 0x61, 0x62, 0x63, 0x64, 0x78}), 1,
                    "F0 L61 L62 L63 L64 M4/4 L78", KIV_ST_BLOCK},
        // Overlapping match: distance 1, length up to the end of the buffer.
        vector_case{"run_of_nine", KIV_ST_IDLE, bytes(9, 0), 0, "F0 L00 M8/1", KIV_ST_BLOCK}),
    [](const ::testing::TestParamInfo<vector_case> &info) { return std::string(info.param.name); });

// header 2, literal 0x61, length 258 distance 1, length 41 (extra 6) distance 258 (extra 1)
const char *const BITS_300_HEADER = "010";
const char *const BITS_300_BODY = "10010001 11000101 00000 0010001 011 10000 1000000";

TEST(BlockEncoder, ThreeHundredEqualBytesExactBits) {
    const bytes in(300, 0x61);
    kiv_encoder enc = record(1);
    encoded e = encode(enc, in, 1);
    EXPECT_EQ(e.out.size(), 4u);
    EXPECT_EQ(enc.bit_count, 14u);
    EXPECT_EQ(enc.state, KIV_ST_BLOCK);
    EXPECT_EQ(kivtest::bits_to_string(kivtest::stream_bits(e.out.data(), e.out.size(), enc)),
              kivtest::bits_to_string(kivtest::bits_from_string(std::string(BITS_300_HEADER) + BITS_300_BODY)));
    EXPECT_EQ(join(e.parsed.events), "F0 L61 M258/1 M41/258");
}

TEST(BlockEncoder, SecondCallContinuesTheOpenBlockWithoutHistory) {
    const bytes in(300, 0x61);
    kiv_encoder enc = record(1);
    encoded first = encode(enc, in, 1);
    bytes buf(kiv_encode_bound(300));
    int32_t n = kiv_deflate_encode(&enc, buf.data(), in.data(), 300, 1);
    EXPECT_EQ(enc.state, KIV_ST_BLOCK);
    EXPECT_EQ(enc.input_total, 600u);
    bytes all = first.out;
    all.insert(all.end(), buf.begin(), buf.begin() + n);
    EXPECT_EQ(n, 4);  // 14 + 43 = 57 bits: one spill, 25 bits left
    EXPECT_EQ(enc.bit_count, 25u);
    EXPECT_EQ(kivtest::bits_to_string(kivtest::stream_bits(all.data(), all.size(), enc)),
              kivtest::bits_to_string(
                  kivtest::bits_from_string(std::string(BITS_300_HEADER) + BITS_300_BODY + BITS_300_BODY)));
}

// A pending run of high bytes at the end of a call: literals up to 51 high bytes, one stored block from 52.
struct high_run_case {
    size_t low, high;
    int more;
};

class HighRunAtEnd : public ::testing::TestWithParam<high_run_case> {};

TEST_P(HighRunAtEnd, LiteralsOrStored) {
    const high_run_case &c = GetParam();
    bytes in;
    for (size_t i = 0; i < c.low; i++) in.push_back(static_cast<uint8_t>(i));  // all distinct: no match
    for (size_t i = 0; i < c.high; i++) in.push_back(static_cast<uint8_t>(144 + i));
    kiv_encoder enc = record(1);
    encoded e = encode(enc, in, c.more);
    EXPECT_EQ(e.parsed.error, "");
    EXPECT_EQ(e.parsed.output, in);
    const std::string n = std::to_string(in.size());
    if (c.high < 52) {
        EXPECT_EQ(join(e.parsed.events), std::string(c.more ? "F0 " : "F1 ") + literals(in, 0, in.size()));
        EXPECT_EQ(enc.state, c.more ? KIV_ST_BLOCK : KIV_ST_FINAL_BLOCK);
    } else {
        EXPECT_EQ(join(e.parsed.events), std::string(c.more ? "S0:" : "S1:") + n);
        EXPECT_EQ(enc.state, c.more ? KIV_ST_IDLE : KIV_ST_CLOSED);
        EXPECT_EQ(enc.bit_count, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(BlockEncoder, HighRunAtEnd,
                         ::testing::Values(high_run_case{0, 51, 1}, high_run_case{0, 52, 1}, high_run_case{0, 51, 0},
                                           high_run_case{0, 52, 0}, high_run_case{49, 51, 1}, high_run_case{49, 52, 1},
                                           high_run_case{100, 52, 0}, high_run_case{0, 112, 1}),
                         [](const ::testing::TestParamInfo<high_run_case> &info) {
                             return "low" + std::to_string(info.param.low) + "_high" + std::to_string(info.param.high) +
                                    "_more" + std::to_string(info.param.more);
                         });

// "qrstuv", then a run of high bytes, then the first 5 or 6 bytes of "qrstuv" again and 'Z'.
struct five_six_case {
    size_t high;
    size_t match;
    const char *events_tail;  // after the literal/stored part
};

class LongHighRunMatch : public ::testing::TestWithParam<five_six_case> {};

TEST_P(LongHighRunMatch, FiveRejectedSixAccepted) {
    const five_six_case &c = GetParam();
    const bytes m = kivtest::from_string("qrstuv");
    bytes in = m;
    for (size_t i = 0; i < c.high; i++) in.push_back(static_cast<uint8_t>(144 + i));
    const size_t at = in.size();
    in.insert(in.end(), m.begin(), m.begin() + c.match);
    in.push_back('Z');
    ASSERT_TRUE(slot_survives(in, 0, at));
    ASSERT_TRUE(slot_survives(in, 1, at + 1));
    for (int more : {1, 0}) {
        kiv_encoder enc = record(1);
        encoded e = encode(enc, in, more);
        EXPECT_EQ(e.parsed.error, "");
        EXPECT_EQ(e.parsed.output, in);
        const std::string d = std::to_string(at);
        std::string expected;
        if (c.high >= 52 && c.match == 5) {  // rejected twice (5 and 4 bytes): the whole buffer is one run
            expected = std::string(more ? "S0:" : "S1:") + std::to_string(in.size());
        } else if (c.high >= 52) {  // the run goes out stored with more = 1, a new block opens for the match
            expected = "S0:" + d + " F0 M6/" + d + (more ? " L5A" : " E F1 L5A");
        } else {
            expected = std::string("F0 ") + literals(in, 0, at) + " M" + std::to_string(c.match) + "/" + d +
                       (more ? " L5A" : " E F1 L5A");
        }
        EXPECT_EQ(join(e.parsed.events), expected) << "more " << more;
    }
}

INSTANTIATE_TEST_SUITE_P(BlockEncoder, LongHighRunMatch,
                         ::testing::Values(five_six_case{51, 5, ""}, five_six_case{52, 5, ""}, five_six_case{52, 6, ""},
                                           five_six_case{100, 5, ""}, five_six_case{100, 6, ""}),
                         [](const ::testing::TestParamInfo<five_six_case> &info) {
                             return "high" + std::to_string(info.param.high) + "_match" +
                                    std::to_string(info.param.match);
                         });

// A 4-byte match (the fifth bytes differ) at distance D with k high bytes pending right before it:
// W 'a', zeros (coded as distance-1 matches, leaving at most 3 literal zeros), k high bytes, W 'b'.
struct four_byte_case {
    uint32_t distance;
    uint32_t high;
    bool coded;
};

class FourByteMatch : public ::testing::TestWithParam<four_byte_case> {};

TEST_P(FourByteMatch, PricedByDistanceAndPendingHighBytes) {
    const four_byte_case &c = GetParam();
    bytes in;
    // Pick W so that no other word of the input shares its slot.
    for (uint32_t seed = 0;; seed++) {
        ASSERT_LT(seed, 1000u);
        in.assign(c.distance + 5, 0);
        const uint8_t w[4] = {static_cast<uint8_t>('A' + seed % 26), static_cast<uint8_t>('a' + seed / 26 % 26), 'w',
                              '1'};
        std::memcpy(in.data(), w, 4);
        in[4] = 'a';
        for (uint32_t i = 0; i < c.high; i++) in[c.distance - c.high + i] = static_cast<uint8_t>(144 + i);
        std::memcpy(in.data() + c.distance, w, 4);
        in[c.distance + 4] = 'b';
        if (slot_survives(in, 0, c.distance)) break;
    }
    kiv_encoder enc = record(1);
    encoded e = encode(enc, in, 1);
    ASSERT_EQ(e.parsed.error, "");
    EXPECT_EQ(e.parsed.output, in);
    const std::string match = "M4/" + std::to_string(c.distance);
    const bool found = std::find(e.parsed.events.begin(), e.parsed.events.end(), match) != e.parsed.events.end();
    EXPECT_EQ(found, c.coded) << join(std::vector<std::string>(
        e.parsed.events.end() - std::min<size_t>(e.parsed.events.size(), 12), e.parsed.events.end()));
    // Everything before the high bytes is a literal W 'a' 0 and distance-1 matches of the zeros.
    EXPECT_EQ(e.parsed.events[0], "F0");
}

INSTANTIATE_TEST_SUITE_P(BlockEncoder, FourByteMatch,
                         ::testing::Values(four_byte_case{8192, 0, true}, four_byte_case{8193, 0, false},
                                           four_byte_case{8193, 1, true}, four_byte_case{16384, 1, true},
                                           four_byte_case{16385, 1, false}, four_byte_case{16385, 2, true},
                                           four_byte_case{32768, 2, true}, four_byte_case{32768, 51, true},
                                           four_byte_case{32769, 51, false}, four_byte_case{100, 51, true},
                                           four_byte_case{100, 52, false}),
                         [](const ::testing::TestParamInfo<four_byte_case> &info) {
                             return "d" + std::to_string(info.param.distance) + "_k" + std::to_string(info.param.high);
                         });

TEST(BlockEncoder, LevelZeroEqualsEmitStored) {
    std::mt19937_64 rng(11);
    for (size_t n : {1, 2, 100, 65535, 65536, 140000})
        for (int more : {0, 1}) {
            bytes in = kivtest::random_bytes(rng, n);
            kiv_encoder a = record(0), bb = record(0);
            a.input_total = bb.input_total = 0xFFFFFFF0u;
            bytes out_a(kiv_encode_bound(n)), out_b(kiv_encode_bound(n));
            int32_t na = kiv_deflate_encode(&a, out_a.data(), in.data(), static_cast<int32_t>(n), more);
            bb.out_cursor = out_b.data();
            kiv_emit_stored(&bb, in.data(), static_cast<uint32_t>(n), more);
            size_t nb = static_cast<size_t>(bb.out_cursor - out_b.data());
            ASSERT_EQ(static_cast<size_t>(na), nb);
            EXPECT_TRUE(std::equal(out_a.begin(), out_a.begin() + na, out_b.begin()));
            EXPECT_EQ(a.state, bb.state);
            EXPECT_EQ(a.input_total, static_cast<uint32_t>(0xFFFFFFF0u + n));
            EXPECT_EQ(static_cast<size_t>(na), n + 5 * ((n + 65534) / 65535));
            if (n == 1) {
                EXPECT_EQ(na, 6);
            }
        }
}

// kiv_deflate_encode_noting_stored writes what kiv_deflate_encode writes and tells where the first stored
// block begins: the stream read up to `head_bits` ends exactly on the last item before that block (and,
// with a fixed block open there, the next 7 bits are its end-of-block code).
struct first_stored_case {
    const char *name;
    int level;
    uint16_t state;  // KIV_ST_BLOCK cases start with a queued "F0" header
    bytes input;
    const char *events_before;  // items before the first stored block, or "none" without one
};

class NotingStored : public ::testing::TestWithParam<first_stored_case> {};

TEST_P(NotingStored, HeadBitsEndRightBeforeTheFirstStoredBlock) {
    const first_stored_case &c = GetParam();
    for (int more : {1, 0}) {
        kiv_encoder enc = c.state == KIV_ST_BLOCK ? record(c.level, KIV_ST_BLOCK, 2, 3) : record(c.level, c.state);
        kiv_encoder plain = enc;
        bytes out(kiv_encode_bound(c.input.size())), out_plain(out.size());
        int64_t head_bits = 12345;
        const int32_t n = kiv_deflate_encode_noting_stored(&enc, out.data(), c.input.data(),
                                                           static_cast<int32_t>(c.input.size()), more, &head_bits);
        const int32_t n_plain = kiv_deflate_encode(&plain, out_plain.data(), c.input.data(),
                                                   static_cast<int32_t>(c.input.size()), more);
        ASSERT_EQ(n, n_plain);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + n, out_plain.begin()));
        EXPECT_EQ(enc.bit_queue, plain.bit_queue);
        EXPECT_EQ(enc.bit_count, plain.bit_count);
        EXPECT_EQ(enc.state, plain.state);
        EXPECT_EQ(enc.input_total, plain.input_total);

        const kivtest::bits stream = kivtest::stream_bits(out.data(), static_cast<size_t>(n), enc);
        const kivtest::parsed_stream all = kivtest::parse_deflate(stream);
        ASSERT_EQ(all.error, "");
        ASSERT_EQ(all.output, c.input);
        if (std::string(c.events_before) == "none") {
            EXPECT_EQ(head_bits, -1);
            continue;
        }
        ASSERT_GE(head_bits, 0);
        ASSERT_LE(static_cast<size_t>(head_bits), stream.size());
        const auto head = kivtest::parse_deflate(kivtest::bits(stream.begin(), stream.begin() + head_bits));
        EXPECT_EQ(head.error, "");
        EXPECT_EQ(join(head.events), c.events_before) << "more " << more;
        const size_t k = head.events.size();
        ASSERT_LT(k, all.events.size());
        const bool block_open = k > 0 || c.state == KIV_ST_BLOCK;
        if (block_open) {
            const auto with_eob = kivtest::parse_deflate(kivtest::bits(stream.begin(), stream.begin() + head_bits + 7));
            EXPECT_EQ(with_eob.error, "");
            EXPECT_EQ(with_eob.events.size(), k + 1);
            EXPECT_EQ(all.events[k], "E");
        }
        EXPECT_EQ(all.events[k + (block_open ? 1 : 0)].substr(0, 1), "S");
    }
}

bytes with_stored_run(const char *before) {
    bytes in = kivtest::from_string(before);
    const size_t at = in.size();
    for (int i = 0; i < 100; i++) in.push_back(static_cast<uint8_t>(144 + i));  // distinct: no match inside
    in.insert(in.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at) + 6);
    in.push_back('Z');
    return in;
}

INSTANTIATE_TEST_SUITE_P(
    BlockEncoder, NotingStored,
    ::testing::Values(
        first_stored_case{"literals_only", 1, KIV_ST_IDLE, kivtest::from_string("hello, world"), "none"},
        first_stored_case{"stored_first", 1, KIV_ST_IDLE, with_stored_run(""), ""},
        first_stored_case{"stored_first_block_open", 1, KIV_ST_BLOCK, with_stored_run(""), "F0"},
        first_stored_case{"codes_then_stored", 1, KIV_ST_IDLE, with_stored_run("abcdabcd"), "F0 L61 L62 L63 L64 M4/4"},
        first_stored_case{"codes_then_stored_block_open", 1, KIV_ST_BLOCK, with_stored_run("abcdabcd"),
                          "F0 L61 L62 L63 L64 M4/4"},
        first_stored_case{"level0", 0, KIV_ST_IDLE, kivtest::from_string("abc"), ""},
        first_stored_case{"level0_long", 0, KIV_ST_IDLE, bytes(70000, 7), ""}),
    [](const ::testing::TestParamInfo<first_stored_case> &info) { return std::string(info.param.name); });

}  // namespace
