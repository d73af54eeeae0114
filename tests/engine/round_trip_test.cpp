// Round trips through system zlib and the test-side reader, and the engine against the reference encoder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <tuple>

#include <unistd.h>

#include "block_encoder.h"
#include "containers.h"
#include "reference_encoder.h"
#include "support.h"

namespace {

using kivtest::bytes;

const auto &KINDS = kivtest::INPUT_KINDS;
constexpr int KIND_COUNT = kivtest::INPUT_KIND_COUNT;

const char *format_name(int f) { return f == 0 ? "gzip" : f == 1 ? "zlib" : "raw"; }

using round_trip_param = std::tuple<int, int, int, bool>;  // format, level, kind, last call with more = 0

class RoundTrip : public ::testing::TestWithParam<round_trip_param> {};

TEST_P(RoundTrip, DecodesToTheInput) {
    const auto [format, level, k, last_more_zero] = GetParam();
    std::mt19937_64 rng(1000 + 100 * format + 10 * level + k + (last_more_zero ? 5000 : 0));
    for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{300}, size_t{200000}}) {
        bytes data = KINDS[k].make(rng, n);
        // Call sizes: random (empty calls included) and, for the long input, one whole call.
        for (int split_kind = 0; split_kind < 2; split_kind++) {
            std::vector<size_t> splits =
                split_kind == 0 ? kivtest::random_splits(rng, n, n > 1000 ? 70000 : 64) : std::vector<size_t>{n};
            bytes stream = kivtest::compress_stream(format, level, data, splits, last_more_zero);
            SCOPED_TRACE("n " + std::to_string(n) + " calls " + std::to_string(splits.size()));
            bytes plain;
            std::string err;
            ASSERT_TRUE(kivtest::zlib_inflate(stream, format == 0 ? 31 : format == 1 ? 15 : -15, plain, err)) << err;
            ASSERT_EQ(plain, data);
            // The same stream read by the test-side reader: only fixed and stored blocks, ending exactly
            // where the trailer starts.
            size_t head = format == 0 ? 10 : format == 1 ? 2 : 0, tail = format == 0 ? 8 : format == 1 ? 4 : 0;
            ASSERT_GE(stream.size(), head + tail + 1);
            bytes body(stream.begin() + head, stream.end() - tail);
            auto p = kivtest::parse_deflate_bytes(body);
            ASSERT_EQ(p.error, "");
            ASSERT_TRUE(p.complete);
            ASSERT_EQ((p.bits_used + 7) / 8, body.size());
            ASSERT_EQ(p.output, data);
            if (level == 0) {  // stored blocks only, but for the empty final block that finish may add
                std::vector<std::string> ev = p.events;
                if (ev.size() >= 2 && ev[ev.size() - 2] == "F1" && ev.back() == "E") ev.resize(ev.size() - 2);
                for (const auto &e : ev) ASSERT_EQ(e[0], 'S') << "level 0 wrote " << e;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, RoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 1),
                                            ::testing::Range(0, KIND_COUNT), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<round_trip_param> &info) {
                             return std::string(format_name(std::get<0>(info.param))) + "_level" +
                                    std::to_string(std::get<1>(info.param)) + "_" + KINDS[std::get<2>(info.param)].name +
                                    (std::get<3>(info.param) ? "_last_more0" : "_more1");
                         });

// Drives the engine and the reference encoder side by side; every call must write the same bytes and
// leave the same record. Returns the finished raw stream.
void expect_same_as_reference(const bytes &data, const std::vector<size_t> &splits, int level, bool last_more_zero,
                              kiv_encoder fast, bytes *stream = nullptr) {
    kiv_encoder ref = fast;
    size_t pos = 0;
    size_t largest = 0;
    for (size_t s : splits) largest = std::max(largest, s);
    bytes out_fast(kiv_encode_bound(largest)), out_ref(kiv_encode_bound(largest));
    for (size_t i = 0; i < splits.size(); i++) {
        const size_t n = splits[i];
        const int more = (last_more_zero && i + 1 == splits.size()) ? 0 : 1;
        int32_t a = kiv_deflate_encode(&fast, out_fast.data(), data.data() + pos, static_cast<int32_t>(n), more);
        int32_t b = kiv_reference_deflate_encode(&ref, out_ref.data(), data.data() + pos, static_cast<int32_t>(n), more);
        ASSERT_EQ(a, b) << "call " << i << " at " << pos << " of " << n << " bytes, level " << level;
        ASSERT_EQ(std::memcmp(out_fast.data(), out_ref.data(), static_cast<size_t>(a)), 0) << "call " << i;
        ASSERT_EQ(fast.out_cursor - out_fast.data(), ref.out_cursor - out_ref.data());
        ASSERT_EQ(fast.bit_queue, ref.bit_queue) << "call " << i;
        ASSERT_EQ(fast.bit_count, ref.bit_count) << "call " << i;
        ASSERT_EQ(fast.state, ref.state) << "call " << i;
        ASSERT_EQ(fast.level, ref.level);
        ASSERT_EQ(fast.format, ref.format);
        ASSERT_EQ(fast.checksum, ref.checksum);
        ASSERT_EQ(fast.input_total, ref.input_total) << "call " << i;
        if (stream) stream->insert(stream->end(), out_fast.begin(), out_fast.begin() + a);
        pos += n;
    }
    if (stream) {
        uint8_t fin[KIV_FINISH_BOUND];
        int32_t n = kiv_deflate_finish(&fast, fin);
        stream->insert(stream->end(), fin, fin + n);
    }
}

kiv_encoder raw_record(int level) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_deflate_init(&enc, level);
    return enc;
}

using reference_param = std::tuple<int, int>;  // level, kind

class SameAsReference : public ::testing::TestWithParam<reference_param> {};

TEST_P(SameAsReference, SyntheticInputs) {
    const auto [level, k] = GetParam();
    std::mt19937_64 rng(77 + 10 * level + k);
    for (int round = 0; round < 12; round++) {
        size_t n = round < 4 ? rng() % 64 : round < 8 ? rng() % 5000 : 100000 + rng() % 200000;
        bytes data = KINDS[k].make(rng, n);
        std::vector<size_t> splits = kivtest::random_splits(rng, n, round < 8 ? 300 : 80000);
        for (bool last_more_zero : {false, true}) {
            kiv_encoder enc = raw_record(level);
            // Also start from an open block with a few queued bits (a header and some literal codes).
            if (round % 3 == 1 && level == 1) {
                enc.state = KIV_ST_BLOCK;
                enc.bit_queue = rng() & 0x3FFFFFF;
                enc.bit_count = 26;
            }
            bytes stream;
            SCOPED_TRACE("round " + std::to_string(round) + " n " + std::to_string(n));
            expect_same_as_reference(data, splits, level, last_more_zero, enc, round % 3 == 1 ? nullptr : &stream);
            if (HasFatalFailure()) return;
            if (round % 3 != 1) {
                bytes plain;
                std::string err;
                ASSERT_TRUE(kivtest::zlib_inflate(stream, -15, plain, err)) << err;
                ASSERT_EQ(plain, data);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, SameAsReference, ::testing::Combine(::testing::Values(0, 1), ::testing::Range(0, KIND_COUNT)),
                         [](const ::testing::TestParamInfo<reference_param> &info) {
                             return "level" + std::to_string(std::get<0>(info.param)) + "_" +
                                    KINDS[std::get<1>(info.param)].name;
                         });

class Silesia : public ::testing::TestWithParam<const char *> {};

TEST_P(Silesia, SameAsReferenceAndInflates) {
    const std::string path = kivtest::corpus_dir() + "/" + GetParam() + ".zip";
    if (kivtest::corpus_dir().empty() || access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "no corpus file " << path;
    std::string err;
    const bytes data = kivtest::read_corpus_file(path, err);
    ASSERT_FALSE(data.empty()) << err;
    std::mt19937_64 rng(data.size());
    for (int level : {1, 0}) {
        // One whole-file call ended with more = 0, then random calls of up to 1 MiB ended by finish only.
        for (int variant = 0; variant < 2; variant++) {
            std::vector<size_t> splits =
                variant == 0 ? std::vector<size_t>{data.size()} : kivtest::random_splits(rng, data.size(), 1 << 20);
            bytes stream;
            expect_same_as_reference(data, splits, level, variant == 0, raw_record(level), &stream);
            if (HasFatalFailure()) return;
            bytes plain;
            ASSERT_TRUE(kivtest::zlib_inflate(stream, -15, plain, err)) << err;
            ASSERT_TRUE(plain == data) << "level " << level << " variant " << variant;
            if (level == 1 && variant == 0)
                std::printf("[ info     ] %s: %zu -> %zu bytes (ratio %.3f)\n", GetParam(), data.size(), stream.size(),
                            static_cast<double>(data.size()) / static_cast<double>(stream.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Silesia,
                         ::testing::Values("dickens", "mr", "nci", "ooffice", "osdb", "reymont", "xml"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

}  // namespace
