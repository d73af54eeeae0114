// gzip and zlib framing and the three-way entry by format.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "containers.h"
#include "support.h"

namespace {

using kivtest::bytes;
using kivtest::hex;

kiv_encoder blank() {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    return enc;
}

// Runs encode calls then a finish through the entry by format; returns each call's output.
std::vector<bytes> run(kiv_encoder &enc, const std::vector<bytes> &inputs, int more = 1) {
    std::vector<bytes> outs;
    for (const bytes &in : inputs) {
        bytes buf(kiv_encode_bound(in.size()) + 10, 0xA5);
        static const uint8_t dummy = 0;
        int32_t n = kiv_stream_encode(&enc, buf.data(), in.empty() ? &dummy : in.data(), static_cast<int32_t>(in.size()),
                                      more);
        outs.emplace_back(buf.begin(), buf.begin() + n);
    }
    bytes buf(KIV_FINISH_BOUND, 0xA5);
    int32_t n = kiv_stream_finish(&enc, buf.data());
    outs.emplace_back(buf.begin(), buf.begin() + n);
    return outs;
}

bytes concat(const std::vector<bytes> &parts) {
    bytes all;
    for (const bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct vector_case {
    const char *name;
    int format;
    int level;
    std::vector<std::string> inputs;
    std::vector<const char *> outputs;  // per encode call, then the finish
};

class ContainerVectors : public ::testing::TestWithParam<vector_case> {};

TEST_P(ContainerVectors, Bytes) {
    const vector_case &c = GetParam();
    kiv_encoder enc = blank();
    kiv_stream_init(&enc, c.level, c.format);
    std::vector<bytes> inputs;
    for (const auto &s : c.inputs) inputs.push_back(kivtest::from_string(s));
    std::vector<bytes> outs = run(enc, inputs);
    ASSERT_EQ(outs.size(), c.outputs.size());
    for (size_t i = 0; i < outs.size(); i++) EXPECT_EQ(hex(outs[i]), c.outputs[i]) << "call " << i;
    EXPECT_EQ(enc.state, c.format == 0 || c.format == 1 ? KIV_ST_TRAILED : KIV_ST_CLOSED);
    const int wbits = c.format == 0 ? 31 : c.format == 1 ? 15 : -15;
    bytes plain;
    std::string err;
    EXPECT_TRUE(kivtest::zlib_inflate(concat(outs), wbits, plain, err)) << err;
    std::string joined;
    for (const auto &s : c.inputs) joined += s;
    EXPECT_EQ(plain, kivtest::from_string(joined));
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ContainerVectors,
    ::testing::Values(
        vector_case{"gzip_finish_only", 0, 1, {}, {"1F 8B 08 00 00 00 00 00 04 03 03 00 00 00 00 00 00 00 00 00"}},
        vector_case{"zlib_finish_only", 1, 1, {}, {"78 01 03 00 00 00 00 01"}},
        vector_case{"raw_finish_only", 2, 1, {}, {"03 00"}},
        vector_case{"gzip_abc_stored",
                    0,
                    0,
                    {"abc"},
                    {"1F 8B 08 00 00 00 00 00 04 03 00 03 00 FC FF 61 62 63", "03 00 C2 41 24 35 03 00 00 00"}},
        vector_case{"zlib_abc_stored", 1, 0, {"abc"}, {"78 01 00 03 00 FC FF 61 62 63", "03 00 02 4D 01 27"}},
        // An empty first encode writes just the header; no later call writes it again.
        vector_case{"gzip_empty_then_abc",
                    0,
                    0,
                    {"", "", "abc"},
                    {"1F 8B 08 00 00 00 00 00 04 03", "", "00 03 00 FC FF 61 62 63", "03 00 C2 41 24 35 03 00 00 00"}},
        vector_case{"zlib_empty_then_abc",
                    1,
                    0,
                    {"", "abc", ""},
                    {"78 01", "00 03 00 FC FF 61 62 63", "", "03 00 02 4D 01 27"}},
        vector_case{"gzip_empty_only", 0, 1, {""}, {"1F 8B 08 00 00 00 00 00 04 03", "03 00 00 00 00 00 00 00 00 00"}},
        vector_case{"zlib_empty_only", 1, 1, {""}, {"78 01", "03 00 00 00 00 01"}}),
    [](const ::testing::TestParamInfo<vector_case> &info) { return std::string(info.param.name); });

TEST(Containers, EmptyEncodeOnNewStreamKeepsChecksumAndCount) {
    for (int format : {0, 1}) {
        kiv_encoder enc = blank();
        kiv_stream_init(&enc, 1, format);
        const uint32_t checksum = enc.checksum;
        uint8_t buf[32];
        const uint8_t dummy = 0;
        EXPECT_EQ(kiv_stream_encode(&enc, buf, &dummy, 0, 1), format == 0 ? 10 : 2);
        EXPECT_EQ(enc.state, KIV_ST_IDLE);
        EXPECT_EQ(enc.checksum, checksum);
        EXPECT_EQ(enc.input_total, 0u);
        EXPECT_EQ(kiv_stream_encode(&enc, buf, &dummy, 0, 1), 0);
    }
}

TEST(Containers, DigitTrailersForEverySplit) {
    const bytes digits = kivtest::from_string("123456789");
    for (int format : {0, 1})
        for (int level : {0, 1})
            for (size_t i = 0; i <= 9; i++)
                for (size_t j = i; j <= 9; j++) {
                    kiv_encoder enc = blank();
                    kiv_stream_init(&enc, level, format);
                    std::vector<bytes> parts = {bytes(digits.begin(), digits.begin() + i),
                                                bytes(digits.begin() + i, digits.begin() + j),
                                                bytes(digits.begin() + j, digits.end())};
                    bytes all = concat(run(enc, parts));
                    SCOPED_TRACE("format " + std::to_string(format) + " level " + std::to_string(level) + " split " +
                                 std::to_string(i) + "," + std::to_string(j));
                    if (format == 0)
                        EXPECT_EQ(hex(all.data() + all.size() - 8, 8), "26 39 F4 CB 09 00 00 00");
                    else
                        EXPECT_EQ(hex(all.data() + all.size() - 4, 4), "09 1E 01 DE");
                    bytes plain;
                    std::string err;
                    EXPECT_TRUE(kivtest::zlib_inflate(all, format == 0 ? 31 : 15, plain, err)) << err;
                    EXPECT_EQ(plain, digits);
                }
}

TEST(Containers, OtherFormatValuesAreRawDeflate) {
    const bytes abc = kivtest::from_string("abc");
    for (int format : {2, 3, 4, -1, 1000}) {
        kiv_encoder enc = blank();
        std::memset(&enc, 0xFF, sizeof enc);
        EXPECT_EQ(kiv_stream_init(&enc, 0, format), 0);
        EXPECT_EQ(enc.format, KIV_FMT_DEFLATE) << "format " << format;
        EXPECT_EQ(enc.state, KIV_ST_IDLE);
        EXPECT_EQ(enc.checksum, 0u);
        std::vector<bytes> outs = run(enc, {abc, {}, abc});
        EXPECT_EQ(hex(outs[0]), "00 03 00 FC FF 61 62 63") << "format " << format;
        EXPECT_EQ(hex(outs[1]), "");
        EXPECT_EQ(hex(outs[3]), "03 00");
        EXPECT_EQ(enc.checksum, 0u) << "raw streams keep no checksum";
        EXPECT_EQ(enc.input_total, 6u);
    }
}

TEST(Containers, InputTotalWrapsModulo2To32) {
    const bytes in = kivtest::from_string("wrapping");  // 8 bytes
    for (int format : {0, 1, 2})
        for (int level : {0, 1}) {
            kiv_encoder enc = blank();
            kiv_stream_init(&enc, level, format);
            enc.input_total = 0xFFFFFFFDu;  // as if 2^32 - 3 bytes had gone before
            std::vector<bytes> outs = run(enc, {in});
            EXPECT_EQ(enc.input_total, 5u);
            if (format == 0) {
                const bytes &fin = outs.back();
                uint32_t crc = static_cast<uint32_t>(crc32(0, in.data(), 8));
                uint8_t expected[8] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                                       static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24), 5, 0, 0, 0};
                EXPECT_EQ(hex(fin.data() + fin.size() - 8, 8), hex(expected, 8)) << "level " << level;
            }
        }
}

TEST(Containers, LevelSelectsStoringOrSearching) {
    const bytes in(1000, 'x');
    for (int format : {0, 1})
        for (int level : {0, 1, 2, 3}) {
            kiv_encoder enc = blank();
            kiv_stream_init(&enc, level, format);
            std::vector<bytes> outs = run(enc, {in});
            size_t header = format == 0 ? 10 : 2;
            // Stored: header, 5 bytes of framing, the data. Searching: a handful of bytes.
            if (level % 2 == 0)
                EXPECT_EQ(outs[0].size(), header + 5 + 1000);
            else
                EXPECT_LT(outs[0].size(), header + 20);
            bytes plain;
            std::string err;
            EXPECT_TRUE(kivtest::zlib_inflate(concat(outs), format == 0 ? 31 : 15, plain, err)) << err;
            EXPECT_EQ(plain, in);
        }
}

}  // namespace
