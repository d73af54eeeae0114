// Output limits: every call writes into a region of exactly its promised size, right against an
// inaccessible page, so one byte too many faults at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "block_encoder.h"
#include "containers.h"
#include "support.h"

namespace {

using kivtest::bytes;

struct entry_state {
    const char *name;
    uint16_t state;
    uint32_t count;
};

// Entry states an encode call can meet; the queued bits are all ones, the worst for nothing but
// realistic enough: only their number matters for the output size.
const entry_state LEVEL1_ENTRIES[] = {
    {"idle", KIV_ST_IDLE, 0},          {"block_0", KIV_ST_BLOCK, 0},        {"block_1", KIV_ST_BLOCK, 1},
    {"block_7", KIV_ST_BLOCK, 7},      {"block_24", KIV_ST_BLOCK, 24},      {"block_25", KIV_ST_BLOCK, 25},
    {"block_31", KIV_ST_BLOCK, 31},    {"final_31", KIV_ST_FINAL_BLOCK, 31}, {"final_0", KIV_ST_FINAL_BLOCK, 0},
    {"closed", KIV_ST_CLOSED, 0},      {"trailed", KIV_ST_TRAILED, 0},
};
// A level-0 stream never has a fixed block open; after its end it may still be fed (nothing refuses it).
const entry_state LEVEL0_ENTRIES[] = {
    {"idle", KIV_ST_IDLE, 0}, {"closed", KIV_ST_CLOSED, 0}, {"trailed", KIV_ST_TRAILED, 0}};

kiv_encoder record(int level, const entry_state &e) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_deflate_init(&enc, level);
    enc.state = e.state;
    enc.bit_count = e.count;
    enc.bit_queue = (uint64_t{1} << e.count) - 1;
    return enc;
}

// One encode call into a guarded region of exactly kiv_encode_bound(n) bytes; returns the bytes written.
size_t guarded_encode(kiv_encoder &enc, const uint8_t *data, size_t n, int more) {
    kivtest::guarded_region region(kiv_encode_bound(n));
    int32_t w = kiv_deflate_encode(&enc, region.data(), data, static_cast<int32_t>(n), more);
    EXPECT_GE(w, 0);
    EXPECT_LE(static_cast<uint64_t>(w), kiv_encode_bound(n));
    EXPECT_LT(enc.bit_count, 32u);
    return static_cast<size_t>(w);
}

struct worst_seen {
    double growth = 0;  // (written - n) / n over inputs of 4096 bytes and more
    std::string growth_at;
    long slack = 1L << 40;  // smallest bound - written
    std::string slack_at;
    void note(size_t n, size_t written, const std::string &what) {
        long s = static_cast<long>(kiv_encode_bound(n)) - static_cast<long>(written);
        if (s < slack) {
            slack = s;
            slack_at = what;
        }
        if (n >= 4096) {
            double g = (static_cast<double>(written) - static_cast<double>(n)) / static_cast<double>(n);
            if (g > growth) {
                growth = g;
                growth_at = what;
            }
        }
    }
};

TEST(WorstCase, EveryEntryStateEveryShortLengthAndLongInputs) {
    std::mt19937_64 rng(99);
    const bytes adversarial = kivtest::adversarial(rng, 300000);
    const bytes high = kivtest::high_bytes(rng, 300000);
    const bytes random = kivtest::random_bytes(rng, 300000);
    bytes distinct_high;  // 51 distinct high bytes then 4 distinct low bytes, repeated: no match ever found
    for (int u = 0; distinct_high.size() < 300000; u++) {
        for (int i = 0; i < 51; i++) distinct_high.push_back(static_cast<uint8_t>(144 + (i * 7 + u) % 112));
        for (int i = 0; i < 4; i++) distinct_high.push_back(static_cast<uint8_t>(rng() % 144));
    }
    struct input {
        const char *name;
        const bytes *data;
    } inputs[] = {{"adversarial", &adversarial}, {"high", &high}, {"random", &random}, {"mixed", &distinct_high}};
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; n++) lengths.push_back(n);
    for (size_t n : {511, 1000, 4096, 65535, 65536, 65600, 131075, 300000}) lengths.push_back(n);

    worst_seen seen;
    for (int level : {1, 0}) {
        const entry_state *entries = level ? LEVEL1_ENTRIES : LEVEL0_ENTRIES;
        size_t entry_count = level ? std::size(LEVEL1_ENTRIES) : std::size(LEVEL0_ENTRIES);
        for (size_t ei = 0; ei < entry_count; ei++)
            for (const input &in : inputs)
                for (size_t n : lengths)
                    for (int more : {1, 0}) {
                        // Start at varying offsets so that short inputs meet different parts of the pattern.
                        size_t offset = n < 1000 ? (n * 13) % 1000 : 0;
                        if (offset + n > in.data->size()) offset = 0;
                        kiv_encoder enc = record(level, entries[ei]);
                        size_t w = guarded_encode(enc, in.data->data() + offset, n, more);
                        if (HasFailure()) {
                            ADD_FAILURE() << "level " << level << " " << entries[ei].name << " " << in.name << " n " << n
                                          << " more " << more << " wrote " << w;
                            return;
                        }
                        seen.note(n, w, std::string("level ") + std::to_string(level) + " " + entries[ei].name + " " +
                                            in.name + " n " + std::to_string(n) + " more " + std::to_string(more));
                    }
    }
    std::printf("[ info     ] largest growth on inputs >= 4096 bytes: %.2f %% (%s)\n", 100 * seen.growth,
                seen.growth_at.c_str());
    std::printf("[ info     ] smallest slack under kiv_encode_bound: %ld bytes (%s)\n", seen.slack, seen.slack_at.c_str());
    EXPECT_GE(seen.slack, 0);
}

TEST(WorstCase, AdversarialInputComesCloseToTheBound) {
    std::mt19937_64 rng(5);
    const size_t n = 1 << 20;
    const bytes data = kivtest::adversarial(rng, n);
    kiv_encoder enc = record(1, LEVEL1_ENTRIES[0]);
    size_t w = guarded_encode(enc, data.data(), n, 1);
    const double bound = static_cast<double>(kiv_encode_bound(n));
    std::printf("[ info     ] adversarial 1 MiB: %zu bytes, growth %.2f %%, %.2f %% of the bound\n", w,
                100.0 * (static_cast<double>(w) - n) / n, 100.0 * static_cast<double>(w) / bound);
    EXPECT_GE(static_cast<double>(w), 0.95 * bound) << "the input no longer exercises the bound";
    // The stream is still correct.
    uint8_t fin[KIV_FINISH_BOUND];
    kivtest::guarded_region region(kiv_encode_bound(n));
    kiv_encoder again = record(1, LEVEL1_ENTRIES[0]);
    kiv_deflate_encode(&again, region.data(), data.data(), static_cast<int32_t>(n), 1);
    bytes stream(region.data(), region.data() + w);
    int32_t f = kiv_deflate_finish(&again, fin);
    stream.insert(stream.end(), fin, fin + f);
    bytes plain;
    std::string err;
    ASSERT_TRUE(kivtest::zlib_inflate(stream, -15, plain, err)) << err;
    EXPECT_TRUE(plain == data);
}

// Largest finish output by format: before any encode (header + empty block + trailer) and after.
size_t finish_limit(int format, bool header_pending) {
    if (format == 0) return header_pending ? 20 : 14;
    if (format == 1) return header_pending ? 8 : 10;
    return 6;
}

TEST(WorstCase, WholeStreamsStayWithinEveryCallsBound) {
    std::mt19937_64 rng(123);
    bytes (*makers[])(std::mt19937_64 &, size_t) = {kivtest::adversarial, kivtest::random_bytes, kivtest::high_bytes,
                                                    kivtest::text_like, kivtest::runs};
    for (int format : {0, 1, 2})
        for (int level : {0, 1})
            for (auto make : makers)
                for (int round = 0; round < 4; round++) {
                    size_t n = round == 0 ? 0 : round == 1 ? rng() % 200 : 50000 + rng() % 150000;
                    bytes data = make(rng, n);
                    std::vector<size_t> splits = kivtest::random_splits(rng, n, round == 3 ? 70000 : 300);
                    const bool last_more_zero = round % 2 == 1;
                    kiv_encoder enc;
                    std::memset(&enc, 0, sizeof enc);
                    kiv_stream_init(&enc, level, format);
                    bytes stream;
                    size_t pos = 0;
                    for (size_t i = 0; i < splits.size(); i++) {
                        const size_t c = splits[i];
                        const size_t room = kiv_encode_bound(c) + static_cast<size_t>(kiv_stream_pending_header(&enc));
                        kivtest::guarded_region region(room);
                        int more = last_more_zero && i + 1 == splits.size() ? 0 : 1;
                        int32_t w = kiv_stream_encode(&enc, region.data(), data.data() + pos, static_cast<int32_t>(c), more);
                        ASSERT_LE(static_cast<size_t>(w), room);
                        stream.insert(stream.end(), region.data(), region.data() + w);
                        pos += c;
                    }
                    const bool header_pending = enc.state == KIV_ST_NEW;
                    kivtest::guarded_region fin(finish_limit(format, header_pending));
                    int32_t f = kiv_stream_finish(&enc, fin.data());
                    stream.insert(stream.end(), fin.data(), fin.data() + f);
                    bytes plain;
                    std::string err;
                    ASSERT_TRUE(kivtest::zlib_inflate(stream, format == 0 ? 31 : format == 1 ? 15 : -15, plain, err))
                        << err << " format " << format << " level " << level << " n " << n;
                    ASSERT_TRUE(plain == data);
                }
}

TEST(WorstCase, FinishFromEveryStateWithinTwentyBytes) {
    const uint16_t states[] = {KIV_ST_NEW, KIV_ST_IDLE, KIV_ST_BLOCK, KIV_ST_FINAL_BLOCK, KIV_ST_CLOSED, KIV_ST_TRAILED};
    for (int format : {0, 1, 2})
        for (uint16_t state : states)
            for (uint32_t count : {0u, 31u}) {
                // Only open blocks hold queued bits; a container stream in KIV_ST_NEW has a header to write.
                if (count && state != KIV_ST_BLOCK && state != KIV_ST_FINAL_BLOCK) continue;
                if (state == KIV_ST_NEW && format == 2) continue;
                kiv_encoder enc;
                std::memset(&enc, 0, sizeof enc);
                kiv_stream_init(&enc, 1, format);
                enc.state = state;
                enc.bit_count = count;
                enc.bit_queue = (uint64_t{1} << count) - 1;
                const size_t limit = finish_limit(format, state == KIV_ST_NEW);
                ASSERT_LE(limit, static_cast<size_t>(KIV_FINISH_BOUND));
                kivtest::guarded_region region(limit);
                int32_t n = kiv_stream_finish(&enc, region.data());
                EXPECT_LE(static_cast<size_t>(n), limit) << "format " << format << " state " << state;
                if (count == 31 && state == KIV_ST_BLOCK) {
                    EXPECT_EQ(static_cast<size_t>(n), limit) << "the 31-bit block case is the largest";
                }
            }
}

}  // namespace
