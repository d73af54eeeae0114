// detached.cpp: encoding a call's input apart from its stream, and joining the result onto the stream.
#include "detached.h"

#include "block_encoder.h"
#include "checksums.h"
#include "containers.h"

#include <algorithm>

namespace {

// The fixed block header (BFINAL 0, BTYPE 01) that a detached piece opens with and that a stream with a
// block already open does not write.
constexpr uint32_t FIXED_HEADER_BITS = 3;
// Before a stored block's LEN: the end-of-block code closing an open fixed block, then the stored header
// (BFINAL 0, BTYPE 00). All of these bits are zero, as is the padding up to the byte boundary.
constexpr uint32_t EOB_BITS = 7;
constexpr uint32_t STORED_HEADER_BITS = 3;

// Words moved side by side in the join's main loop; the compiler maps the operations to the vector
// registers the target has (two SSE2 halves on the x86-64 baseline, NEON on 64-bit ARM).
constexpr size_t VECTOR_BYTES = 32;
typedef uint64_t word_vector __attribute__((vector_size(VECTOR_BYTES)));

inline uint64_t load_le64(const uint8_t *p) { return kiv_load_le64(p); }
inline void store_le64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

// Writes out[0 .. out_bytes) with the bit stream made of the `count` low bits of `queue`, then the bytes
// src[0 .. src_bytes), then `tail_count` bits of `tail`, then zeros, and returns the bits of that stream
// from out_bytes on in `queue` and `count`. The caller guarantees count <= 39, tail_count <= 31 and at
// most 31 bits of the stream past out_bytes. Nothing is written at or past out + out_bytes.
void write_shifted(uint8_t *out, size_t out_bytes, uint64_t &queue, uint32_t &count, const uint8_t *src,
                   size_t src_bytes, uint64_t tail, uint32_t tail_count) {
    uint8_t *o = out;
    uint8_t *const end = out + out_bytes;
    uint64_t acc = queue;
    uint32_t n = count;
    // Whole bytes leave the accumulator as they form; bits past `end` stay in it (at most 31 of them).
    auto settle = [&]() {
        while (n >= 8 && o < end) {
            *o++ = static_cast<uint8_t>(acc);
            acc >>= 8;
            n -= 8;
        }
    };
    settle();
    // Eight source bytes a step: 64 bits in, 64 out, so `n` (now below 8) stays as it is and the `n`
    // bits above the word carry over. (w >> 1) >> (63 - n) is w >> (64 - n) without a shift by 64.
    auto word_step = [&]() {
        const uint64_t w = load_le64(src);
        store_le64(o, acc | (w << n));
        acc = (w >> 1) >> (63 - n);
        o += 8;
        src += 8;
        src_bytes -= 8;
    };
    if (src_bytes >= 8 && static_cast<size_t>(end - o) >= 8) {
        word_step();
        if (n == 0) {  // the piece's bytes fall on whole bytes: a plain copy
            const size_t whole = std::min(src_bytes, static_cast<size_t>(end - o)) & ~size_t{7};
            std::memcpy(o, src, whole);
            o += whole;
            src += whole;
            src_bytes -= whole;
        } else {
            // From the second word on, each output word is its source word moved up by n bits and filled
            // from the word before it, read again instead of carried: no chain runs from step to step,
            // and VECTOR_BYTES / 8 words go at once (the join spends its time in this loop).
            while (src_bytes >= VECTOR_BYTES && static_cast<size_t>(end - o) >= VECTOR_BYTES) {
                word_vector cur, prev;
                std::memcpy(&cur, src, VECTOR_BYTES);
                std::memcpy(&prev, src - 8, VECTOR_BYTES);
                const word_vector moved = (cur << n) | (prev >> (64 - n));
                std::memcpy(o, &moved, VECTOR_BYTES);
                o += VECTOR_BYTES;
                src += VECTOR_BYTES;
                src_bytes -= VECTOR_BYTES;
            }
            acc = (load_le64(src - 8) >> 1) >> (63 - n);
        }
    }
    while (src_bytes >= 8 && static_cast<size_t>(end - o) >= 8) word_step();
    // The rest a byte at a time.
    for (; src_bytes > 0; src_bytes--) {
        acc |= static_cast<uint64_t>(*src++) << n;
        n += 8;
        settle();
    }
    acc |= tail << n;
    n += tail_count;
    settle();
    if (o < end && n > 0) {  // a last partial byte, then zeros
        *o++ = static_cast<uint8_t>(acc);
        acc = 0;
        n = 0;
    }
    if (o < end) std::memset(o, 0, static_cast<size_t>(end - o));
    queue = acc;
    count = n;
}

inline uint32_t ceil_bytes(uint64_t bits) { return static_cast<uint32_t>((bits + 7) / 8); }

}  // namespace

int32_t kiv_detached_encode(kiv_detached_piece *piece, uint8_t *out, const uint8_t *data, int32_t length,
                            int32_t level, int32_t format) {
    piece->checksum = format == KIV_FMT_GZIP   ? kiv_crc32_update(0, data, length)
                      : format == KIV_FMT_ZLIB ? kiv_adler32_update(1, data, static_cast<uint32_t>(length))
                                               : 0;
    kiv_encoder scratch;
    std::memset(&scratch, 0, sizeof scratch);
    kiv_deflate_init(&scratch, level);
    int64_t head_bits;
    const int32_t written = kiv_deflate_encode_noting_stored(&scratch, out, data, length, 1, &head_bits);
    piece->out = out;
    piece->written = written;
    piece->length = static_cast<uint32_t>(length);
    piece->exit_queue = scratch.bit_queue;
    piece->exit_count = scratch.bit_count;
    piece->exit_state = scratch.state;
    piece->head_bits = head_bits;
    return written;
}

bool kiv_detached_join_keeps_bytes(const kiv_encoder *enc) {
    return (enc->state == KIV_ST_NEW || enc->state == KIV_ST_IDLE) && enc->bit_count == 0;
}

int64_t kiv_detached_join_bound(const kiv_encoder *enc, const kiv_detached_piece *piece) {
    return int64_t{kiv_stream_pending_header(enc)} + piece->written + KIV_DETACHED_JOIN_GROWTH;
}

int32_t kiv_detached_join(kiv_encoder *enc, uint8_t *out, const kiv_detached_piece *piece) {
    // The container's part, as its encode does it: header on the first call, checksum of the input.
    int32_t header = 0;
    if (enc->state == KIV_ST_NEW) {
        if (enc->format == KIV_FMT_GZIP) header = kiv_gzip_header(enc, out);
        if (enc->format == KIV_FMT_ZLIB) header = kiv_zlib_header(enc, out);
    }
    if (enc->format == KIV_FMT_GZIP) enc->checksum = kiv_crc32_combine(enc->checksum, piece->checksum, piece->length);
    if (enc->format == KIV_FMT_ZLIB) enc->checksum = kiv_adler32_combine(enc->checksum, piece->checksum, piece->length);
    enc->input_total += piece->length;
    uint8_t *const at = out + header;
    if (piece->length == 0) {  // the encoder writes nothing and keeps state and pending bits
        enc->out_cursor = at;
        return header;
    }

    const uint8_t *src = piece->out;
    const size_t written = static_cast<size_t>(piece->written);
    if (enc->state == KIV_ST_IDLE && enc->bit_count == 0) {  // the piece's own entry: its bytes as they are
        if (at != src) std::memmove(at, src, written);
        enc->bit_queue = piece->exit_queue;
        enc->bit_count = piece->exit_count;
        enc->state = piece->exit_state;
        enc->out_cursor = at + written;
        return header + piece->written;
    }

    // The encoder tests the state only for idle: anything else counts as an open fixed block, which a
    // leading fixed header must not reopen and a leading stored block must close first.
    const bool block_open = enc->state != KIV_ST_IDLE;
    uint16_t exit_state = piece->exit_state;
    uint64_t queue = enc->bit_queue;
    uint32_t count = enc->bit_count;
    size_t n;
    if (piece->head_bits == 0) {
        // Stored block first: the pending bits, the end-of-block code if a block is open, the stored header
        // and padding (all zero), then the piece from its LEN on, as it is.
        const uint32_t before_len = ceil_bytes(count + (block_open ? EOB_BITS : 0) + STORED_HEADER_BITS);
        write_shifted(at, before_len, queue, count, src, 0, 0, 0);
        std::memcpy(at + before_len, src + 1, written - 1);
        n = before_len + written - 1;
        queue = piece->exit_queue;
        count = piece->exit_count;
    } else {
        // Fixed codes first: the piece's bits behind the pending ones, less its header when a block is open.
        // The piece's first byte (less that header) joins the pending bits, so that the rest is whole bytes.
        uint64_t tail = piece->exit_queue;
        uint32_t tail_count = piece->exit_count;
        size_t src_bytes = written;
        if (piece->head_bits > 0) {  // only the bytes holding the head; zeros follow it up to LEN
            src_bytes = ceil_bytes(static_cast<uint64_t>(piece->head_bits));
            tail = 0;
            tail_count = 0;
        }
        const uint32_t drop = block_open ? FIXED_HEADER_BITS : 0;
        if (src_bytes > 0) {
            queue |= static_cast<uint64_t>(src[0] >> drop) << count;
            count += 8 - drop;
            src++;
            src_bytes--;
        } else {  // the piece's bits are all pending in its record
            tail >>= drop;
            tail_count -= drop;
        }
        if (piece->head_bits > 0) {
            const uint64_t head = static_cast<uint64_t>(piece->head_bits) - drop + enc->bit_count;
            const uint32_t before_len = ceil_bytes(head + EOB_BITS + STORED_HEADER_BITS);
            const uint32_t piece_before_len =
                ceil_bytes(static_cast<uint64_t>(piece->head_bits) + EOB_BITS + STORED_HEADER_BITS);
            write_shifted(at, before_len, queue, count, src, src_bytes, 0, 0);
            std::memcpy(at + before_len, piece->out + piece_before_len, written - piece_before_len);
            n = before_len + written - piece_before_len;
            queue = piece->exit_queue;
            count = piece->exit_count;
        } else {
            // No stored block: the whole piece moves, and the record's 32-bit grid decides what is written
            // and what stays pending, as the encoder's own spills would.
            const uint64_t total = count + 8 * uint64_t{src_bytes} + tail_count;
            n = static_cast<size_t>(total / 32 * 4);
            write_shifted(at, n, queue, count, src, src_bytes, tail, tail_count);
            // Codes alone leave an open block as it was: the encoder changes the state only from idle.
            if (block_open) exit_state = enc->state;
        }
    }
    enc->bit_queue = queue;
    enc->bit_count = count;
    enc->state = exit_state;
    enc->out_cursor = at + n;
    return header + static_cast<int32_t>(n);
}
