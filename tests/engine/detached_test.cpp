// Detached encode and join: every join writes the bytes, and leaves the record, of the stream's own encode
// call on the same input, call by call. Checked on constructed pieces from every entry state, on random
// call sequences, on the Silesia files, with level-0 pieces written in place, and from worker threads.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>

#include "containers.h"
#include "detached.h"
#include "support.h"

namespace {

using kivtest::bytes;

const char *format_name(int f) { return f == KIV_FMT_GZIP ? "gzip" : f == KIV_FMT_ZLIB ? "zlib" : "raw"; }
int window_bits(int f) { return f == KIV_FMT_GZIP ? 31 : f == KIV_FMT_ZLIB ? 15 : -15; }

// One stream driven two ways at once: `serial` by kiv_stream_encode, `joined` by detached pieces.
struct twin_streams {
    int level, format;
    kiv_encoder serial, joined;
    bytes serial_out, joined_out;
    twin_streams(int level_, int format_) : level(level_), format(format_) {
        std::memset(&serial, 0, sizeof serial);
        kiv_stream_init(&serial, level, format);
        joined = serial;
    }
    // Both records as if the stream had reached `state` with `count` pending bits, some 4 GiB of input
    // behind it (input_total about to wrap) and a running checksum of that input.
    void enter(uint16_t state, uint32_t count, uint64_t bits) {
        for (kiv_encoder *e : {&serial, &joined}) {
            e->state = state;
            e->bit_count = count;
            e->bit_queue = bits & ((uint64_t{1} << count) - 1);
            e->input_total = 0xFFFFFF00u;
            if (format == KIV_FMT_GZIP) e->checksum = static_cast<uint32_t>(bits >> 32);
            if (format == KIV_FMT_ZLIB) e->checksum = static_cast<uint32_t>((bits >> 32) % 65521 << 16 | (bits >> 48) % 65521);
        }
    }
};

bool same_record(const kiv_encoder &a, const kiv_encoder &b) {
    return a.bit_queue == b.bit_queue && a.bit_count == b.bit_count && a.state == b.state && a.level == b.level &&
           a.format == b.format && a.checksum == b.checksum && a.input_total == b.input_total;
}

std::string describe(const kiv_encoder &e) {
    char s[160];
    std::snprintf(s, sizeof s, "state %u, %u bits %llx, checksum %08x, total %u", e.state, e.bit_count,
                  static_cast<unsigned long long>(e.bit_queue), e.checksum, e.input_total);
    return s;
}

// One call both ways. The piece is encoded into a region of exactly its bound and the join into a region of
// exactly the serial call's output, each against an inaccessible page: a byte too many faults at once.
// Returns the piece for further checks.
kiv_detached_piece step(twin_streams &t, const uint8_t *data, size_t n, const std::string &what) {
    const size_t header = static_cast<size_t>(kiv_stream_pending_header(&t.serial));
    // No level-0 stream has a fixed block open with bits pending; fed one anyway, the encoder's stored
    // framing may take 5 bytes beyond its bound (41 bits before the first LEN).
    const bool unreachable = t.level == 0 && t.serial.bit_count > 0;
    kivtest::guarded_region serial_region(kiv_encode_bound(n) + header + (unreachable ? 5 : 0));
    const int32_t ws = kiv_stream_encode(&t.serial, serial_region.data(), data, static_cast<int32_t>(n), 1);

    const size_t piece_room = t.level ? kiv_detached_bound(n) : kiv_detached_stored_size(n);
    kivtest::guarded_region piece_region(piece_room);
    kiv_detached_piece piece;
    const int32_t wp = kiv_detached_encode(&piece, piece_region.data(), data, static_cast<int32_t>(n), t.level, t.format);
    EXPECT_EQ(wp, piece.written) << what;
    EXPECT_LE(static_cast<size_t>(wp), piece_room) << what;
    if (t.level == 0) {
        EXPECT_EQ(static_cast<size_t>(wp), kiv_detached_stored_size(n)) << what;
    }

    const int64_t bound = kiv_detached_join_bound(&t.joined, &piece);
    kivtest::guarded_region join_region(static_cast<size_t>(ws));
    const int32_t wj = kiv_detached_join(&t.joined, join_region.data(), &piece);
    EXPECT_EQ(wj, ws) << what;
    EXPECT_LE(wj, bound) << what;
    EXPECT_EQ(t.joined.out_cursor, join_region.data() + wj) << what;
    if (wj == ws && std::memcmp(join_region.data(), serial_region.data(), static_cast<size_t>(ws)) != 0) {
        size_t d = 0;
        while (join_region.data()[d] == serial_region.data()[d]) d++;
        const size_t from = d < 8 ? 0 : d - 8, len = std::min<size_t>(24, static_cast<size_t>(ws) - from);
        ADD_FAILURE() << what << ": first difference at byte " << d << " of " << ws << "\n joined "
                      << kivtest::hex(join_region.data() + from, len) << "\n serial "
                      << kivtest::hex(serial_region.data() + from, len);
    }
    EXPECT_TRUE(same_record(t.serial, t.joined))
        << what << "\n serial " << describe(t.serial) << "\n joined " << describe(t.joined);
    t.serial_out.insert(t.serial_out.end(), serial_region.data(), serial_region.data() + ws);
    t.joined_out.insert(t.joined_out.end(), join_region.data(), join_region.data() + std::max(wj, 0));
    return piece;
}

// Finishes both streams; they must end alike and the joined one must decode to `input`.
void finish_and_decode(twin_streams &t, const bytes &input, const std::string &what) {
    for (auto [enc, out] : {std::pair{&t.serial, &t.serial_out}, std::pair{&t.joined, &t.joined_out}}) {
        uint8_t fin[KIV_FINISH_BOUND];
        const int32_t f = kiv_stream_finish(enc, fin);
        out->insert(out->end(), fin, fin + f);
    }
    ASSERT_TRUE(t.serial_out == t.joined_out) << what;
    bytes plain;
    std::string err;
    ASSERT_TRUE(kivtest::zlib_inflate(t.joined_out, window_bits(t.format), plain, err)) << what << ": " << err;
    ASSERT_TRUE(plain == input) << what;
}

// ---- Every entry state x every pending count x every kind of piece ----

// How a level-1 piece begins, as the join sees it.
enum head_kind { ANY, EMPTY, FIXED_ONLY, STORED_FIRST, FIXED_THEN_STORED };

struct piece_case {
    const char *name;
    bytes (*make)();
    head_kind head;      // at level 1; at level 0 every non-empty piece is stored blocks only
    uint16_t exit_state; // at level 1, for the kinds with a known head
};

bytes text_piece() {
    std::mt19937_64 rng(3);
    return kivtest::text_like(rng, 3000);
}
// `before`, then 100 distinct bytes of 144 or more (coded as stored: no match inside), then their first six
// bytes again (a 6-byte match that sends the run out stored) and 'Z'.
bytes high_run_between(const char *before) {
    bytes in = kivtest::from_string(before);
    const size_t at = in.size();
    for (int i = 0; i < 100; i++) in.push_back(static_cast<uint8_t>(144 + i));
    in.insert(in.end(), in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at) + 6);
    in.push_back('Z');
    return in;
}
bytes high_only(size_t n) {
    std::mt19937_64 rng(n);
    return kivtest::high_bytes(rng, n);
}

const piece_case PIECES[] = {
    {"empty", [] { return bytes(); }, EMPTY, KIV_ST_IDLE},
    // 11 bits: nothing written, all of it pending in the piece's record.
    {"one_literal", [] { return kivtest::from_string("x"); }, FIXED_ONLY, KIV_ST_BLOCK},
    // 43 bits: one word written, 11 bits pending.
    {"five_literals", [] { return kivtest::from_string("hello"); }, FIXED_ONLY, KIV_ST_BLOCK},
    {"text", text_piece, FIXED_ONLY, KIV_ST_BLOCK},
    // A literal, then matches of 258 and 41: codes of 7 to 13 bits right after the header.
    {"literal_then_matches", [] { return bytes(300, 'a'); }, FIXED_ONLY, KIV_ST_BLOCK},
    {"stored_first", [] { return high_run_between(""); }, STORED_FIRST, KIV_ST_BLOCK},
    {"codes_then_stored", [] { return high_run_between("abcdabcd"); }, FIXED_THEN_STORED, KIV_ST_BLOCK},
    // A literal and a match, 23 bits, before the stored run: its head ends inside the third byte.
    {"short_codes_then_stored", [] { return high_run_between("aaaaaaa"); }, FIXED_THEN_STORED, KIV_ST_BLOCK},
    {"codes_then_stored_at_end",
     [] {
         bytes in = kivtest::from_string("abcdabcd");
         for (int i = 0; i < 60; i++) in.push_back(static_cast<uint8_t>(255 - i));
         return in;
     },
     FIXED_THEN_STORED, KIV_ST_IDLE},
    {"stored_only", [] { return high_only(3000); }, STORED_FIRST, KIV_ST_IDLE},
    {"stored_65535", [] { return high_only(65535); }, STORED_FIRST, KIV_ST_IDLE},
    {"stored_65536", [] { return high_only(65536); }, STORED_FIRST, KIV_ST_IDLE},
    {"adversarial",
     [] {
         std::mt19937_64 rng(8);
         return kivtest::adversarial(rng, 20000);
     },
     ANY, KIV_ST_IDLE},
    {"random",
     [] {
         std::mt19937_64 rng(9);
         return kivtest::random_bytes(rng, 70000);
     },
     ANY, KIV_ST_IDLE},
};

struct entry_case {
    std::string name;
    uint16_t state;
    uint32_t count;
};

// Where a call can find its stream: new (containers only), idle, a block open with 0 to 31 bits pending,
// and the states after the end, which the encoder treats as an open block.
std::vector<entry_case> entries(int format) {
    std::vector<entry_case> e;
    if (format != KIV_FMT_DEFLATE) e.push_back({"new", KIV_ST_NEW, 0});
    e.push_back({"idle", KIV_ST_IDLE, 0});
    for (uint32_t p = 0; p <= 31; p++) e.push_back({"block_" + std::to_string(p), KIV_ST_BLOCK, p});
    e.push_back({"final_block_31", KIV_ST_FINAL_BLOCK, 31});
    e.push_back({"closed", KIV_ST_CLOSED, 0});
    return e;
}

using entry_param = std::tuple<int, int>;  // piece, level

class EveryEntry : public ::testing::TestWithParam<entry_param> {};

TEST_P(EveryEntry, JoinEqualsTheSerialCall) {
    const auto [k, level] = GetParam();
    const piece_case &c = PIECES[k];
    const bytes in = c.make();
    std::mt19937_64 rng(k * 10 + level);
    for (int format : {KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE})
        for (const entry_case &e : entries(format)) {
            twin_streams t(level, format);
            t.enter(e.state, e.count, rng());
            // A second call after the first checks that the record the join left carries on correctly.
            const std::string what = std::string(format_name(format)) + " from " + e.name;
            const kiv_detached_piece piece = step(t, in.data(), in.size(), what);
            step(t, in.data(), in.size(), what + ", second call");
            if (HasFailure()) return;
            if (level == 1 && c.head != ANY) {
                const head_kind seen = in.empty()              ? EMPTY
                                       : piece.head_bits < 0  ? FIXED_ONLY
                                       : piece.head_bits == 0 ? STORED_FIRST
                                                              : FIXED_THEN_STORED;
                ASSERT_EQ(seen, c.head) << "the piece is not of the kind it stands for";
                ASSERT_EQ(piece.exit_state, c.exit_state);
            }
            if (level == 0 && !in.empty()) {
                ASSERT_EQ(piece.head_bits, 0);
            }
        }
}

INSTANTIATE_TEST_SUITE_P(DetachedJoin, EveryEntry,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(PIECES))),
                                            ::testing::Values(1, 0)),
                         [](const ::testing::TestParamInfo<entry_param> &info) {
                             return std::string(PIECES[std::get<0>(info.param)].name) + "_level" +
                                    std::to_string(std::get<1>(info.param));
                         });

// ---- Random call sequences ----

// Random piece sizes with the telling ones mixed in: empty, a byte, one whole stored block, one byte more.
std::vector<size_t> piece_sizes(std::mt19937_64 &rng, size_t n) {
    std::vector<size_t> s;
    const size_t telling[] = {0, 1, 65535, 65536, 3};
    for (size_t left = n; left > 0;) {
        size_t c = rng() % 3 == 0 ? telling[rng() % std::size(telling)] : rng() % 100000;
        c = std::min(c, left);
        s.push_back(c);
        left -= c;
    }
    return s;
}

using sequence_param = std::tuple<int, int, int>;  // format, level, data kind

class Sequences : public ::testing::TestWithParam<sequence_param> {};

TEST_P(Sequences, EveryJoinEqualsTheSerialCall) {
    const auto [format, level, k] = GetParam();
    std::mt19937_64 rng(1000 + 100 * format + 10 * level + k);
    for (int round = 0; round < 3; round++) {
        const bytes data = kivtest::INPUT_KINDS[k].make(rng, round == 0 ? 2000 : 300000 + rng() % 100000);
        std::vector<size_t> sizes = round == 0 ? std::vector<size_t>{0, 1, 0, 5, 1994} : piece_sizes(rng, data.size());
        twin_streams t(level, format);
        size_t pos = 0;
        for (size_t i = 0; i < sizes.size(); i++) {
            step(t, data.data() + pos, sizes[i], "round " + std::to_string(round) + " call " + std::to_string(i) +
                                                     " of " + std::to_string(sizes[i]) + " bytes");
            if (HasFailure()) return;
            pos += sizes[i];
        }
        finish_and_decode(t, data, "round " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(DetachedJoin, Sequences,
                         ::testing::Combine(::testing::Values(KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE),
                                            ::testing::Values(1, 0), ::testing::Range(0, kivtest::INPUT_KIND_COUNT)),
                         [](const ::testing::TestParamInfo<sequence_param> &info) {
                             return std::string(format_name(std::get<0>(info.param))) + "_level" +
                                    std::to_string(std::get<1>(info.param)) + "_" + kivtest::INPUT_KINDS[std::get<2>(info.param)].name;
                         });

// ---- The Silesia files in pieces ----

class SilesiaPieces : public ::testing::TestWithParam<const char *> {};

TEST_P(SilesiaPieces, EveryJoinEqualsTheSerialCall) {
    const std::string path = kivtest::corpus_dir() + "/" + GetParam() + ".zip";
    if (kivtest::corpus_dir().empty() || access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "no corpus file " << path;
    std::string err;
    const bytes data = kivtest::read_corpus_file(path, err);
    ASSERT_FALSE(data.empty()) << err;
    std::mt19937_64 rng(data.size());
    struct variant {
        int level, format;
        size_t piece;  // 0: random sizes up to 1 MiB
    } variants[] = {{1, KIV_FMT_GZIP, 1 << 20}, {1, KIV_FMT_ZLIB, 64 << 10}, {1, KIV_FMT_DEFLATE, 0},
                    {0, KIV_FMT_GZIP, 64 << 10}};
    for (const variant &v : variants) {
        twin_streams t(v.level, v.format);
        for (size_t pos = 0, call = 0; pos < data.size(); call++) {
            const size_t n = std::min(data.size() - pos, v.piece ? v.piece : rng() % (1 << 20));
            step(t, data.data() + pos, n, std::string(format_name(v.format)) + " level " + std::to_string(v.level) +
                                              " call " + std::to_string(call));
            if (HasFailure()) return;
            pos += n;
        }
        finish_and_decode(t, data, std::string(format_name(v.format)) + " level " + std::to_string(v.level));
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, SilesiaPieces,
                         ::testing::Values("dickens", "mr", "nci", "ooffice", "osdb", "reymont", "xml"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

// ---- Level 0 in place ----

// A read-write page for the header, then the pieces' area, page-aligned, so that the area can be made
// read-only once the pieces are in it.
class stream_buffer {
public:
    stream_buffer(size_t header, size_t body) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        body_pages_ = (body + page_ - 1) / page_ * page_ + page_;
        size_ = page_ + body_pages_;
        void *m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
        map_ = static_cast<uint8_t *>(m);
        start_ = map_ + page_ - header;
    }
    ~stream_buffer() { munmap(map_, size_); }
    stream_buffer(const stream_buffer &) = delete;
    stream_buffer &operator=(const stream_buffer &) = delete;
    uint8_t *start() { return start_; }
    uint8_t *body() { return map_ + page_; }
    void protect_body() { ASSERT_EQ(mprotect(map_ + page_, body_pages_, PROT_READ), 0); }

private:
    size_t page_ = 0, body_pages_ = 0, size_ = 0;
    uint8_t *map_ = nullptr, *start_ = nullptr;
};

TEST(DetachedJoin, LevelZeroPiecesWrittenInPlace) {
    std::mt19937_64 rng(17);
    const bytes data = kivtest::random_bytes(rng, 700000);
    for (int format : {KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE}) {
        const std::vector<size_t> sizes = piece_sizes(rng, data.size());
        kiv_encoder enc;
        std::memset(&enc, 0, sizeof enc);
        kiv_stream_init(&enc, 0, format);
        ASSERT_TRUE(kiv_detached_join_keeps_bytes(&enc));
        const size_t header = static_cast<size_t>(kiv_stream_pending_header(&enc));
        std::vector<size_t> at(sizes.size() + 1, 0), from(sizes.size() + 1, 0);
        for (size_t i = 0; i < sizes.size(); i++) {
            at[i + 1] = at[i] + kiv_detached_stored_size(sizes[i]);
            from[i + 1] = from[i] + sizes[i];
        }
        stream_buffer buf(header, at.back());
        // Last piece first: a piece writing one byte past its place would spoil the next one's bytes.
        std::vector<kiv_detached_piece> pieces(sizes.size());
        for (size_t i = sizes.size(); i-- > 0;)
            kiv_detached_encode(&pieces[i], buf.body() + at[i], data.data() + from[i], static_cast<int32_t>(sizes[i]), 0,
                                format);
        buf.protect_body();  // the joins may write the header, and nothing over the pieces
        bytes serial = kivtest::compress_stream(format, 0, data, sizes, false);
        size_t total = 0;
        for (size_t i = 0; i < sizes.size(); i++) {
            ASSERT_TRUE(kiv_detached_join_keeps_bytes(&enc));
            uint8_t *out = i == 0 ? buf.start() : buf.body() + at[i];
            const int32_t w = kiv_detached_join(&enc, out, &pieces[i]);
            ASSERT_EQ(static_cast<size_t>(w), (i == 0 ? header : 0) + kiv_detached_stored_size(sizes[i]));
            total += static_cast<size_t>(w);
        }
        uint8_t fin[KIV_FINISH_BOUND];
        const int32_t f = kiv_stream_finish(&enc, fin);
        bytes joined(buf.start(), buf.start() + total);
        joined.insert(joined.end(), fin, fin + f);
        ASSERT_TRUE(joined == serial) << format_name(format);
    }
}

// ---- Bounds ----

// Pieces of every short length and a few long ones, of the most expanding kinds, joined from every entry
// into regions of exactly kiv_detached_join_bound bytes; the largest growth seen must reach the bound.
TEST(DetachedJoin, OutputWithinTheStatedBounds) {
    std::mt19937_64 rng(23);
    const bytes adversarial = kivtest::adversarial(rng, 140000);
    const bytes high = kivtest::high_bytes(rng, 140000);
    const bytes random = kivtest::random_bytes(rng, 140000);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 130; n++) lengths.push_back(n);
    for (size_t n : {1000, 65535, 65536, 131071}) lengths.push_back(n);
    int64_t largest_growth = 0;
    for (int level : {1, 0})
        for (const bytes *in : {&adversarial, &high, &random})
            for (size_t n : lengths) {
                const size_t offset = n < 1000 ? (n * 13) % 1000 : 0;
                kivtest::guarded_region piece_region(level ? kiv_detached_bound(n) : kiv_detached_stored_size(n));
                kiv_detached_piece piece;
                kiv_detached_encode(&piece, piece_region.data(), in->data() + offset, static_cast<int32_t>(n), level,
                                    KIV_FMT_GZIP);
                for (uint32_t p : {0u, 1u, 2u, 3u, 7u, 24u, 25u, 29u, 31u})
                    for (uint16_t state : {KIV_ST_NEW, KIV_ST_IDLE, KIV_ST_BLOCK, KIV_ST_CLOSED}) {
                        // Only an open fixed block holds bits, and no level-0 stream opens one.
                        if (state != KIV_ST_BLOCK && p != 0) continue;
                        if (state == KIV_ST_BLOCK && level == 0) continue;
                        kiv_encoder enc;
                        std::memset(&enc, 0, sizeof enc);
                        kiv_gzip_init(&enc, level);
                        enc.state = state;
                        enc.bit_count = p;
                        enc.bit_queue = (uint64_t{1} << p) - 1;
                        const int64_t bound = kiv_detached_join_bound(&enc, &piece);
                        const size_t header = static_cast<size_t>(kiv_stream_pending_header(&enc));
                        kivtest::guarded_region region(static_cast<size_t>(bound));
                        const int32_t w = kiv_detached_join(&enc, region.data(), &piece);
                        ASSERT_LE(w, bound);
                        ASSERT_LE(static_cast<uint64_t>(w), kiv_encode_bound(n) + header);
                        largest_growth = std::max<int64_t>(largest_growth, w - static_cast<int64_t>(header) - piece.written);
                    }
            }
    EXPECT_EQ(largest_growth, static_cast<int64_t>(KIV_DETACHED_JOIN_GROWTH));
}

// ---- Threads ----

// The driver's shape: worker threads take pieces in order, encode each into a region of their own and
// hand it over; the joining thread appends them in call order as they come, and the workers stay at most
// two pieces a thread ahead of it. At level 0 the workers write straight into the stream's final buffer.
bytes threaded_stream(const bytes &data, const std::vector<size_t> &sizes, int level, int format, unsigned threads) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_stream_init(&enc, level, format);
    const size_t count = sizes.size();
    std::vector<size_t> from(count + 1, 0), at(count + 1, 0);
    const size_t header = static_cast<size_t>(kiv_stream_pending_header(&enc));
    at[0] = header;
    for (size_t i = 0; i < count; i++) {
        from[i + 1] = from[i] + sizes[i];
        at[i + 1] = at[i] + kiv_detached_stored_size(sizes[i]);
    }
    const bool in_place = level == 0;
    bytes out(in_place ? at.back() : 0);
    std::vector<bytes> regions(count);
    std::vector<kiv_detached_piece> pieces(count);
    std::vector<char> done(count, 0);
    std::mutex mu;
    std::condition_variable cv;
    size_t next = 0, joined = 0;
    const size_t ahead = 2 * threads;

    auto worker = [&]() {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mu);
                cv.wait(lock, [&] { return next >= count || next < joined + ahead; });
                if (next >= count) return;
                i = next++;
            }
            uint8_t *region;
            if (in_place) {
                region = out.data() + at[i];
            } else {
                regions[i].resize(kiv_detached_bound(sizes[i]));
                region = regions[i].data();
            }
            kiv_detached_piece piece;
            kiv_detached_encode(&piece, region, data.data() + from[i], static_cast<int32_t>(sizes[i]), level, format);
            {
                std::lock_guard<std::mutex> lock(mu);
                pieces[i] = piece;
                done[i] = 1;
            }
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned k = 0; k < threads; k++) pool.emplace_back(worker);

    size_t written = 0;
    for (size_t i = 0; i < count; i++) {
        kiv_detached_piece piece;
        {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return done[i] != 0; });
            piece = pieces[i];
        }
        if (in_place) {
            EXPECT_TRUE(kiv_detached_join_keeps_bytes(&enc));
            written += static_cast<size_t>(kiv_detached_join(&enc, out.data() + written, &piece));
        } else {
            out.resize(written + static_cast<size_t>(kiv_detached_join_bound(&enc, &piece)));
            written += static_cast<size_t>(kiv_detached_join(&enc, out.data() + written, &piece));
            bytes().swap(regions[i]);
        }
        {
            std::lock_guard<std::mutex> lock(mu);
            joined = i + 1;
        }
        cv.notify_all();
    }
    for (std::thread &th : pool) th.join();
    out.resize(written + KIV_FINISH_BOUND);
    written += static_cast<size_t>(kiv_stream_finish(&enc, out.data() + written));
    out.resize(written);
    return out;
}

using threads_param = std::tuple<int, int, unsigned>;  // format, level, threads

class Threaded : public ::testing::TestWithParam<threads_param> {};

TEST_P(Threaded, WorkersEncodeTheJoinerAppendsInOrder) {
    const auto [format, level, threads] = GetParam();
    std::mt19937_64 rng(format * 100 + level * 10 + threads);
    const bytes text = kivtest::text_like(rng, 600000);
    bytes mixed = kivtest::adversarial(rng, 200000);
    const bytes high = kivtest::high_bytes(rng, 150000);
    mixed.insert(mixed.end(), high.begin(), high.end());
    mixed.insert(mixed.end(), text.begin(), text.begin() + 200000);
    for (const bytes *data : std::initializer_list<const bytes *>{&text, &mixed})
        for (int split = 0; split < 2; split++) {
            std::vector<size_t> sizes;
            if (split == 0) {
                for (size_t left = data->size(); left > 0; left -= sizes.back()) sizes.push_back(std::min<size_t>(left, 65536));
            } else {
                sizes = piece_sizes(rng, data->size());
            }
            const bytes serial = kivtest::compress_stream(format, level, *data, sizes, false);
            const bytes joined = threaded_stream(*data, sizes, level, format, threads);
            ASSERT_TRUE(joined == serial) << "split " << split << ", " << sizes.size() << " pieces";
            bytes plain;
            std::string err;
            ASSERT_TRUE(kivtest::zlib_inflate(joined, window_bits(format), plain, err)) << err;
            ASSERT_TRUE(plain == *data);
        }
}

INSTANTIATE_TEST_SUITE_P(DetachedJoin, Threaded,
                         ::testing::Combine(::testing::Values(KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE),
                                            ::testing::Values(1, 0), ::testing::Values(1u, 2u, 3u, 8u)),
                         [](const ::testing::TestParamInfo<threads_param> &info) {
                             return std::string(format_name(std::get<0>(info.param))) + "_level" +
                                    std::to_string(std::get<1>(info.param)) + "_threads" +
                                    std::to_string(std::get<2>(info.param));
                         });

}  // namespace
