// The flush point: exact bytes from every entry state, its worst case against a guard page, and streams
// with flush points read by zlib from the start and from each flush point on.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "block_encoder.h"
#include "containers.h"
#include "support.h"
#include "sync_flush.h"

namespace {

using kivtest::bytes;
using kivtest::hex;

kiv_encoder fresh(int format, int level = 1) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_stream_init(&enc, level, format);
    return enc;
}

bytes encode(kiv_encoder &enc, const bytes &in) {
    bytes buf(kiv_encode_bound(in.size()) + KIV_GZIP_HEADER_SIZE);
    static const uint8_t dummy = 0;
    int32_t n = kiv_stream_encode(&enc, buf.data(), in.empty() ? &dummy : in.data(), static_cast<int32_t>(in.size()), 1);
    buf.resize(static_cast<size_t>(n));
    return buf;
}

// The flush into a region of exactly KIV_SYNC_FLUSH_BOUND bytes against an inaccessible page.
bytes sync_flush(kiv_encoder &enc) {
    kivtest::guarded_region region(KIV_SYNC_FLUSH_BOUND);
    int32_t n = kiv_stream_sync_flush(&enc, region.data());
    EXPECT_GE(n, 5);
    EXPECT_LE(n, static_cast<int32_t>(KIV_SYNC_FLUSH_BOUND));
    EXPECT_EQ(enc.out_cursor, region.data() + n);
    EXPECT_EQ(enc.state, KIV_ST_IDLE);
    EXPECT_EQ(enc.bit_count, 0u);
    EXPECT_EQ(enc.bit_queue, 0u);
    return bytes(region.data(), region.data() + n);
}

bytes finish(kiv_encoder &enc) {
    bytes buf(KIV_FINISH_BOUND);
    buf.resize(static_cast<size_t>(kiv_stream_finish(&enc, buf.data())));
    return buf;
}

void append(bytes &to, const bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

struct flush_case {
    const char *name;
    int format;
    int level;
    std::vector<std::string> before;  // encode calls before the flush
    const char *flushed;
};

class SyncFlushBytes : public ::testing::TestWithParam<flush_case> {};

TEST_P(SyncFlushBytes, Exact) {
    const flush_case &c = GetParam();
    kiv_encoder enc = fresh(c.format, c.level);
    for (const std::string &s : c.before) encode(enc, kivtest::from_string(s));
    const uint32_t checksum = enc.checksum, total = enc.input_total;
    EXPECT_EQ(hex(sync_flush(enc)), c.flushed);
    EXPECT_EQ(enc.checksum, checksum);
    EXPECT_EQ(enc.input_total, total);
    EXPECT_EQ(enc.level, c.level);
    EXPECT_EQ(enc.format, c.format);
    // A second flush point straight after the first is written again: skipping it is the caller's choice.
    EXPECT_EQ(hex(sync_flush(enc)), "00 00 00 FF FF");
}

INSTANTIATE_TEST_SUITE_P(
    SyncFlush, SyncFlushBytes,
    ::testing::Values(
        flush_case{"gzip_fresh", 0, 1, {}, "1F 8B 08 00 00 00 00 00 04 03 00 00 00 FF FF"},
        flush_case{"zlib_fresh", 1, 1, {}, "78 01 00 00 00 FF FF"},
        flush_case{"raw_fresh", 2, 1, {}, "00 00 00 FF FF"},
        // The empty first call wrote the header already.
        flush_case{"gzip_after_empty_call", 0, 1, {""}, "00 00 00 FF FF"},
        // Level 0 leaves the stream idle after its stored block: one empty stored block follows.
        flush_case{"raw_after_stored_block", 2, 0, {"abc"}, "00 00 00 FF FF"},
        // "a" at level 1: fixed header 1,10 then the literal 0x61 as 10010001; with the end of block
        // (7 zero bits) and the stored header (3 zero bits) 21 bits, drained into 3 bytes.
        flush_case{"raw_after_one_literal", 2, 1, {"a"}, "4A 04 00 00 00 FF FF"},
        // The header went out with the first call.
        flush_case{"zlib_after_one_literal", 1, 1, {"a"}, "4A 04 00 00 00 FF FF"}),
    [](const ::testing::TestParamInfo<flush_case> &info) { return std::string(info.param.name); });

// From an open block with every pending bit count: the queued bits, the end-of-block code, a stored
// header, zero padding to the byte boundary, then 00 00 FF FF; ceil((p + 10) / 8) + 4 bytes in all.
TEST(SyncFlush, EveryPendingBitCountFromAnOpenBlock) {
    std::mt19937_64 rng(5);
    for (uint32_t pending = 0; pending < 32; pending++) {
        kiv_encoder enc = fresh(KIV_FMT_DEFLATE);
        enc.state = KIV_ST_BLOCK;
        enc.bit_count = pending;
        enc.bit_queue = rng() & ((uint64_t{1} << pending) - 1);
        kivtest::bits expected;
        kivtest::append_value(expected, enc.bit_queue, pending);
        kivtest::append_value(expected, 0, 7 + 3);
        while (expected.size() % 8 != 0) expected.push_back(0);
        const uint8_t marker[4] = {0x00, 0x00, 0xFF, 0xFF};
        kivtest::append_bytes(expected, marker, 4);

        bytes out = sync_flush(enc);
        SCOPED_TRACE("pending " + std::to_string(pending));
        EXPECT_EQ(out.size(), (pending + 10 + 7) / 8 + 4);
        EXPECT_EQ(kivtest::bits_to_string(kivtest::stream_bits(out.data(), out.size(), enc)),
                  kivtest::bits_to_string(expected));
    }
}

// The worst cases of the bound are reached: 15 bytes on a fresh gzip stream, 10 from an open block
// with 31 pending bits (sync_flush writes into exactly KIV_SYNC_FLUSH_BOUND bytes before a guard page).
TEST(SyncFlush, BoundIsReached) {
    kiv_encoder gzip = fresh(KIV_FMT_GZIP);
    EXPECT_EQ(sync_flush(gzip).size(), KIV_SYNC_FLUSH_BOUND);
    kiv_encoder open = fresh(KIV_FMT_ZLIB);
    encode(open, {});
    open.state = KIV_ST_BLOCK;
    open.bit_count = 31;
    open.bit_queue = (uint64_t{1} << 31) - 1;
    EXPECT_EQ(sync_flush(open).size(), 10u);
}

// Partial inflate: feeds `in` to zlib with no end required; returns false on a data error.
bool inflate_so_far(z_stream &zs, const bytes &in, bytes &out) {
    zs.next_in = const_cast<Bytef *>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[65536];
    int rc;
    do {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_SYNC_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    } while (rc == Z_OK && (zs.avail_in != 0 || zs.avail_out == 0));
    return (rc == Z_OK || rc == Z_BUF_ERROR || rc == Z_STREAM_END) && zs.avail_in == 0;
}

const char *format_name(int f) { return f == 0 ? "gzip" : f == 1 ? "zlib" : "raw"; }

// Random calls with flush points between them, at both levels, in every format and on several kinds of
// data: after every flush point zlib, fed the bytes written so far, returns exactly the input so far; a raw
// inflater started right after any flush point decodes the rest of the stream up to its final block; and
// the whole stream decodes with its checksum verified.
TEST(SyncFlush, EverythingSoFarDecodesAndDecodingRestartsAtEveryFlushPoint) {
    std::mt19937_64 rng(17);
    bytes (*const kinds[])(std::mt19937_64 &, size_t) = {kivtest::text_like, kivtest::random_bytes, kivtest::runs,
                                                         kivtest::adversarial};
    for (int format : {0, 1, 2})
        for (int level : {0, 1})
            for (auto make : kinds) {
                const bytes data = make(rng, 300000);
                std::vector<size_t> splits = kivtest::random_splits(rng, data.size(), 40000);
                kiv_encoder enc = fresh(format, level);
                z_stream zs;
                std::memset(&zs, 0, sizeof zs);
                ASSERT_EQ(inflateInit2(&zs, format == 0 ? 31 : format == 1 ? 15 : -15), Z_OK);
                bytes stream, decoded;
                std::vector<size_t> flush_points, input_at_flush;  // stream and input offsets after each flush
                size_t fed = 0;
                for (size_t i = 0; i < splits.size(); i++) {
                    bytes part(data.begin() + fed, data.begin() + fed + splits[i]);
                    fed += splits[i];
                    bytes out = encode(enc, part);
                    if (rng() % 3 != 0) {  // a flush point after most calls, sometimes two in a row
                        for (int k = rng() % 4 == 0 ? 2 : 1; k > 0; k--) append(out, sync_flush(enc));
                        append(stream, out);
                        ASSERT_TRUE(inflate_so_far(zs, out, decoded));
                        SCOPED_TRACE(std::string(format_name(format)) + " level " + std::to_string(level) +
                                     " call " + std::to_string(i));
                        ASSERT_EQ(decoded.size(), fed);
                        ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), data.begin()));
                        flush_points.push_back(stream.size());
                        input_at_flush.push_back(fed);
                    } else {
                        append(stream, out);
                        ASSERT_TRUE(inflate_so_far(zs, out, decoded));
                    }
                }
                append(stream, finish(enc));
                inflateEnd(&zs);
                bytes whole;
                std::string err;
                ASSERT_TRUE(kivtest::zlib_inflate(stream, format == 0 ? 31 : format == 1 ? 15 : -15, whole, err)) << err;
                ASSERT_EQ(whole, data);

                const size_t trailer = format == 0 ? 8 : format == 1 ? 4 : 0;
                for (size_t k = 0; k < flush_points.size(); k++) {
                    bytes rest(stream.begin() + flush_points[k], stream.end() - trailer);
                    bytes tail;
                    ASSERT_TRUE(kivtest::zlib_inflate(rest, -15, tail, err))
                        << format_name(format) << " level " << level << " from flush point " << k << ": " << err;
                    ASSERT_EQ(tail, bytes(data.begin() + input_at_flush[k], data.end()));
                }
            }
}

}  // namespace
