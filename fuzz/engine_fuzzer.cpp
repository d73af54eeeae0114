// engine_fuzzer.cpp: libFuzzer target over the engine's three stream formats.
//
// Input layout (missing header bytes read as 0):
//   byte 0  level selector   (pick_int: small values around 0..3 and the signed 32-bit extremes)
//   byte 1  format selector  (pick_int: 0 gzip, 1 zlib, any other value raw DEFLATE)
//   byte 2  bits 0-4: number of encode calls (0..31); bit 5: `more` of the last encode call;
//           bit 6: repeat the payload byte 3 + 1 times (long inputs, several stored blocks);
//           bit 7: put byte 4 * 128 bytes of pseudo-random filler after every copy of the payload, so
//           that the copies lie at distances around and beyond the 32 KiB window
//   byte 3  repeat count - 1, used when bit 6 of byte 2 is set
//   byte 4  filler length / 128, used when bit 7 of byte 2 is set
//   then 2 bytes per encode call: its length, taken modulo (bytes still left + 1), so 0 is common
//   the rest is the payload; the last encode call takes whatever is still left.
// With no encode call the payload is ignored and the stream is finished straight after init.
//
// Each call writes into an output region of exactly the largest size it may use, placed so that its
// last byte is the last one before an inaccessible page: one byte too many faults at once. (Bytes past
// the count a call returns are the call's own scratch space and are not checked; only the counted
// bytes are the call's output.) The concatenated outputs are inflated with zlib and
// must give back the input, with the container's checksum and length verified and nothing left over.
// The DEFLATE data of every call is also compared with the plain reference model, byte for byte, and
// the two records must agree after every call. A third record follows the same calls by detached
// pieces: each call's input is encoded apart (kiv_detached_encode, into a region of exactly its bound)
// and joined onto that record (kiv_detached_join, into a region of exactly the serial call's output);
// the join must write the serial call's bytes and leave its record, and the two finishes must agree.
// (A last call with `more` = 0 is not detached: pieces always carry `more` = 1.)
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "block_encoder.h"
#include "containers.h"
#include "detached.h"
#include "encoder_state.h"
#include "reference_encoder.h"

namespace {

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "engine_fuzzer: check failed at line %d: %s\n", line, what);
    std::abort();
}

#define CHECK(cond)                              \
    do {                                         \
        if (!(cond)) fail(#cond, __LINE__);      \
    } while (0)

constexpr uint8_t CANARY = 0xA5;

// Maps one byte to an int argument: mostly small values (-2..5), sometimes the edges of int32.
int32_t pick_int(uint8_t v) {
    static const int32_t edges[8] = {INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1, 256, 257, 258, -256};
    if (v >= 0xF8) return edges[v - 0xF8];
    return static_cast<int32_t>(v % 8) - 2;
}

// Output regions of exactly `size` bytes whose end touches a PROT_NONE page. Two fixed mappings are
// reused (one for the engine, one for the reference), so that a run costs no system calls.
constexpr size_t REGION_CAPACITY = 4u << 20;

class guarded_region {
  public:
    guarded_region() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *p = mmap(nullptr, REGION_CAPACITY + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) fail("mmap", __LINE__);
        base_ = static_cast<uint8_t *>(p);
        if (mprotect(base_ + REGION_CAPACITY, page_, PROT_NONE) != 0) fail("mprotect", __LINE__);
    }
    guarded_region(const guarded_region &) = delete;
    guarded_region &operator=(const guarded_region &) = delete;

    // Places a fresh region of `size` bytes, filled with CANARY, right before the guard page.
    uint8_t *place(size_t size) {
        if (size > REGION_CAPACITY) fail("region too large", __LINE__);
        out_ = base_ + REGION_CAPACITY - size;
        std::memset(out_, CANARY, size);
        return out_;
    }
    uint8_t *out() const { return out_; }

  private:
    size_t page_ = 0;
    uint8_t *base_ = nullptr;
    uint8_t *out_ = nullptr;
};

guarded_region &engine_region() {
    static guarded_region r;
    return r;
}
guarded_region &reference_region() {
    static guarded_region r;
    return r;
}
guarded_region &piece_region() {
    static guarded_region r;
    return r;
}
guarded_region &join_region() {
    static guarded_region r;
    return r;
}

// Inputs grown by repeats and filler are cut here, so that one run stays quick.
constexpr size_t INPUT_CAP = 256u << 10;

void check_record(const kiv_encoder &e) {
    CHECK(e.bit_count <= 31);
    CHECK((e.bit_queue >> e.bit_count) == 0);
    CHECK(e.state <= KIV_ST_TRAILED);
}

// The raw DEFLATE fields of two records must agree (checksum and format belong to the container).
void check_same_deflate_state(const kiv_encoder &a, const kiv_encoder &b) {
    CHECK(a.bit_queue == b.bit_queue);
    CHECK(a.bit_count == b.bit_count);
    CHECK(a.state == b.state);
    CHECK(a.level == b.level);
    CHECK(a.input_total == b.input_total);
}

// Inflates `stream` in the container given by `window_bits` and compares with `input`.
void check_decodes(const std::vector<uint8_t> &stream, const std::vector<uint8_t> &input, int window_bits,
                   std::vector<uint8_t> &decoded) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    CHECK(inflateInit2(&z, window_bits) == Z_OK);
    decoded.resize(input.size() + 1);
    z.next_in = const_cast<uint8_t *>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = decoded.data();
    z.avail_out = static_cast<uInt>(decoded.size());
    int rc = inflate(&z, Z_FINISH);
    if (rc != Z_STREAM_END) {
        std::fprintf(stderr, "inflate: rc %d, msg %s, in left %u, out %lu of %zu\n", rc, z.msg ? z.msg : "-",
                     z.avail_in, z.total_out, input.size());
    }
    CHECK(rc == Z_STREAM_END);
    CHECK(z.avail_in == 0);
    CHECK(z.total_out == input.size());
    CHECK(input.empty() || std::memcmp(decoded.data(), input.data(), input.size()) == 0);
    inflateEnd(&z);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *fuzz, size_t size) {
    auto byte_at = [&](size_t i) -> uint8_t { return i < size ? fuzz[i] : 0; };
    const int32_t level = pick_int(byte_at(0));
    const int32_t format = pick_int(byte_at(1));
    const uint8_t control = byte_at(2);
    const uint32_t calls = control & 31;
    const int32_t last_more = (control >> 5) & 1;
    const uint32_t repeats = (control & 0x40) ? byte_at(3) + 1u : 1u;
    const uint32_t gap = (control & 0x80) ? byte_at(4) * 128u : 0u;
    size_t pos = 5;
    std::vector<uint32_t> length_picks(calls);
    for (uint32_t i = 0; i < calls; i++) {
        length_picks[i] = byte_at(pos) | static_cast<uint32_t>(byte_at(pos + 1)) << 8;
        pos += 2;
    }
    // Kept across runs so that large inputs cost no fresh pages.
    static std::vector<uint8_t> input, stream, decoded;
    input.clear();
    stream.clear();
    if (pos < size) {
        input.reserve(std::min(INPUT_CAP, (size - pos + gap) * repeats) + size + gap);
        uint32_t noise = 0x9E3779B9u;
        for (uint32_t r = 0; r < repeats; r++) {
            if (input.size() >= INPUT_CAP) break;
            input.insert(input.end(), fuzz + pos, fuzz + size);
            const size_t filler = input.size();
            input.resize(filler + gap);
            for (uint32_t g = 0; g < gap; g++) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                input[filler + g] = static_cast<uint8_t>(noise >> 24);
            }
        }
        if (input.size() > INPUT_CAP) input.resize(INPUT_CAP);
    }

    kiv_encoder enc;
    std::memset(&enc, 0x5A, sizeof enc);  // init must set every field that matters
    CHECK(kiv_stream_init(&enc, level, format) == 0);
    const int kind = format == KIV_FMT_GZIP ? KIV_FMT_GZIP : format == KIV_FMT_ZLIB ? KIV_FMT_ZLIB : KIV_FMT_DEFLATE;
    CHECK(enc.format == kind);
    CHECK(enc.level == (level & 1));
    CHECK(enc.state == (kind == KIV_FMT_DEFLATE ? KIV_ST_IDLE : KIV_ST_NEW));
    CHECK(enc.checksum == (kind == KIV_FMT_ZLIB ? 1u : 0u));
    CHECK(enc.input_total == 0 && enc.bit_count == 0 && enc.bit_queue == 0);

    kiv_encoder ref;
    std::memset(&ref, 0, sizeof ref);
    kiv_deflate_init(&ref, level);
    kiv_encoder joined = enc;

    uLong checksum = kind == KIV_FMT_GZIP ? crc32(0, nullptr, 0) : adler32(0, nullptr, 0);
    size_t offset = 0;
    for (uint32_t i = 0; i < calls; i++) {
        const size_t left = input.size() - offset;
        const bool last = i + 1 == calls;
        const size_t length = last ? left : length_picks[i] % (left + 1);
        const int32_t more = last ? last_more : 1;
        const uint8_t *data = input.data() + offset;

        const int32_t header = kiv_stream_pending_header(&enc);
        const size_t bound = static_cast<size_t>(kiv_encode_bound(length)) + static_cast<size_t>(header);
        guarded_region &region = engine_region();
        region.place(bound);
        const int32_t written = kiv_stream_encode(&enc, region.out(), data, static_cast<int32_t>(length), more);
        CHECK(written >= 0 && static_cast<size_t>(written) <= bound);
        CHECK(enc.out_cursor == region.out() + written);
        CHECK(written >= header);
        check_record(enc);
        CHECK(enc.format == kind && enc.level == (level & 1));
        CHECK(enc.state != KIV_ST_NEW && enc.state != KIV_ST_TRAILED);
        if (kind != KIV_FMT_DEFLATE) CHECK(kiv_stream_pending_header(&enc) == 0);

        // The same call on the reference model: identical DEFLATE bytes and record.
        guarded_region &ref_region = reference_region();
        ref_region.place(static_cast<size_t>(kiv_encode_bound(length)));
        const int32_t ref_written =
            kiv_reference_deflate_encode(&ref, ref_region.out(), data, static_cast<int32_t>(length), more);
        CHECK(ref_written == written - header);
        CHECK(std::memcmp(ref_region.out(), region.out() + header, static_cast<size_t>(ref_written)) == 0);
        check_same_deflate_state(enc, ref);

        if (kind == KIV_FMT_GZIP) checksum = crc32(checksum, data, static_cast<uInt>(length));
        if (kind == KIV_FMT_ZLIB) checksum = adler32(checksum, data, static_cast<uInt>(length));
        CHECK(enc.checksum == (kind == KIV_FMT_DEFLATE ? 0u : static_cast<uint32_t>(checksum)));
        CHECK(enc.input_total == static_cast<uint32_t>(offset + length));

        // The same call detached and joined: the serial call's bytes, nothing past them, and its record.
        // Pieces are always encoded with `more` = 1; a last call with `more` = 0 goes on the record itself.
        if (more == 0) {
            guarded_region &direct = join_region();
            direct.place(bound);
            CHECK(kiv_stream_encode(&joined, direct.out(), data, static_cast<int32_t>(length), more) == written);
            CHECK(std::memcmp(direct.out(), region.out(), static_cast<size_t>(written)) == 0);
            stream.insert(stream.end(), region.out(), region.out() + written);
            offset += length;
            continue;
        }
        guarded_region &piece_out = piece_region();
        const size_t piece_room = (level & 1) ? kiv_detached_bound(length) : kiv_detached_stored_size(length);
        piece_out.place(piece_room);
        kiv_detached_piece piece;
        const int32_t piece_written =
            kiv_detached_encode(&piece, piece_out.out(), data, static_cast<int32_t>(length), level, format);
        CHECK(piece_written == piece.written && piece_written >= 0 && static_cast<size_t>(piece_written) <= piece_room);
        CHECK((level & 1) || static_cast<size_t>(piece_written) == piece_room);
        const int64_t join_bound = kiv_detached_join_bound(&joined, &piece);
        guarded_region &join_out = join_region();
        join_out.place(static_cast<size_t>(written));
        const int32_t join_written = kiv_detached_join(&joined, join_out.out(), &piece);
        CHECK(join_written == written);
        CHECK(join_written <= join_bound);
        CHECK(joined.out_cursor == join_out.out() + join_written);
        CHECK(std::memcmp(join_out.out(), region.out(), static_cast<size_t>(written)) == 0);
        check_same_deflate_state(joined, enc);
        CHECK(joined.checksum == enc.checksum && joined.format == enc.format);

        stream.insert(stream.end(), region.out(), region.out() + written);
        offset += length;
    }
    input.resize(offset);  // no encode call: nothing of the payload went in

    const int32_t header = kiv_stream_pending_header(&enc);
    guarded_region &region = engine_region();
    region.place(KIV_FINISH_BOUND);
    const int32_t written = kiv_stream_finish(&enc, region.out());
    CHECK(written >= 0 && written <= static_cast<int32_t>(KIV_FINISH_BOUND));
    CHECK(enc.out_cursor == region.out() + written);
    check_record(enc);
    CHECK(enc.bit_count == 0 && enc.bit_queue == 0);
    CHECK(enc.state == (kind == KIV_FMT_DEFLATE ? KIV_ST_CLOSED : KIV_ST_TRAILED));

    const int32_t trailer = kind == KIV_FMT_GZIP ? 8 : kind == KIV_FMT_ZLIB ? 4 : 0;
    guarded_region &ref_region = reference_region();
    ref_region.place(KIV_FINISH_BOUND);
    const int32_t ref_written = kiv_deflate_finish(&ref, ref_region.out());
    CHECK(ref_written == written - header - trailer);
    CHECK(std::memcmp(ref_region.out(), region.out() + header, static_cast<size_t>(ref_written)) == 0);
    stream.insert(stream.end(), region.out(), region.out() + written);

    // The joined stream ends alike.
    guarded_region &join_out = join_region();
    join_out.place(static_cast<size_t>(written));
    CHECK(kiv_stream_finish(&joined, join_out.out()) == written);
    CHECK(std::memcmp(join_out.out(), region.out(), static_cast<size_t>(written)) == 0);

    // A second finish of a raw stream writes nothing.
    if (kind == KIV_FMT_DEFLATE) {
        region.place(KIV_FINISH_BOUND);
        CHECK(kiv_stream_finish(&enc, region.out()) == 0);
    }

    const int window_bits = kind == KIV_FMT_GZIP ? 31 : kind == KIV_FMT_ZLIB ? 15 : -15;
    check_decodes(stream, input, window_bits, decoded);
    if (kind == KIV_FMT_GZIP) {
        const uint8_t *t = stream.data() + stream.size() - 8;
        CHECK(kiv_load_le32(t) == static_cast<uint32_t>(checksum));
        CHECK(kiv_load_le32(t + 4) == static_cast<uint32_t>(input.size()));
    }
    return 0;
}
