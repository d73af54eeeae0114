// encoder_state.h: the per-stream record, its states, the bit writer, stored blocks and the end of a DEFLATE stream.
#pragma once

#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "kiv stores words little-endian with plain memcpy");

// Stream states, kept in kiv_encoder::state.
constexpr uint16_t KIV_ST_NEW = 0;          // gzip/zlib stream whose header is not written yet
constexpr uint16_t KIV_ST_IDLE = 1;         // no block open, output ends on a byte boundary
constexpr uint16_t KIV_ST_BLOCK = 2;        // a non-final fixed-Huffman block is open
constexpr uint16_t KIV_ST_FINAL_BLOCK = 3;  // the final fixed-Huffman block is open
constexpr uint16_t KIV_ST_CLOSED = 4;       // final block closed and fully written
constexpr uint16_t KIV_ST_TRAILED = 5;      // container trailer written

// Container formats, kept in kiv_encoder::format.
constexpr int KIV_FMT_GZIP = 0;
constexpr int KIV_FMT_ZLIB = 1;
constexpr int KIV_FMT_DEFLATE = 2;

struct kiv_encoder {
    uint64_t bit_queue;    // pending bits, bit 0 leaves first; bits at and above bit_count are zero
    uint32_t bit_count;    // 0..31 between operations
    uint8_t *out_cursor;   // next output byte; set from `out` by every encode and finish call
    uint16_t state;        // one of KIV_ST_*
    uint8_t level : 1;     // 0 stores, 1 searches for matches
    uint8_t format : 2;    // KIV_FMT_*; read by the caller's dispatch, never by the engine
    uint32_t checksum;     // running CRC-32 (gzip) or Adler-32 (zlib); 0 for raw streams
    uint32_t input_total;  // input bytes consumed, modulo 2^32
};

// Largest output of one encode call for `length` input bytes, container header excluded.
// Every input byte costs at most 9 bits: a literal 8 or 9; a match at most 31 bits for 5 or more bytes,
// or 7 + 18 for 4; a stored run holds at least 52 bytes, so the 49 bits of its framing (end of block,
// header, padding, LEN and NLEN) and the 3-bit header reopened after it fit in its ninth bits (each
// further 65535-byte block adds 40 bits for 65535 bytes). On top come at most 31 bits carried in the
// queue, a 3-bit first header and 10 bits of end of block and final header: B <= 9 * length + 44 bits,
// padding included. Only whole bytes of them are written, so the output is at most
// floor(B / 8) = length + floor((length + 44) / 8) <= length + floor(length / 8) + 6 bytes.
constexpr uint64_t kiv_encode_bound(uint64_t length) { return length + length / 8 + 6; }

// Largest output of any finish call: a 10-byte gzip header, 2 bytes of empty final block and
// the 8-byte trailer when nothing was encoded; otherwise at most 6 + 8.
constexpr uint32_t KIV_FINISH_BOUND = 20;

inline void kiv_store_le32(uint8_t *p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

inline uint32_t kiv_load_le32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t kiv_load_le64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Appends the nbits (0..32) low bits of value; spills one little-endian word once 32 are queued.
inline void kiv_put_bits(kiv_encoder *enc, uint64_t value, uint32_t nbits) {
    enc->bit_queue += value << enc->bit_count;
    enc->bit_count += nbits;
    if (enc->bit_count >= 32) {
        kiv_store_le32(enc->out_cursor, static_cast<uint32_t>(enc->bit_queue));
        enc->out_cursor += 4;
        enc->bit_queue >>= 32;
        enc->bit_count -= 32;
    }
}

// Writes the pending bits as whole bytes (zero-padded) and empties the queue.
inline void kiv_drain_bits(kiv_encoder *enc) {
    uint32_t bytes = (enc->bit_count + 7) / 8;
    uint64_t queue = enc->bit_queue;
    for (uint32_t i = 0; i < bytes; i++) {
        *enc->out_cursor++ = static_cast<uint8_t>(queue);
        queue >>= 8;
    }
    enc->bit_queue = 0;
    enc->bit_count = 0;
}

int32_t kiv_deflate_init(kiv_encoder *enc, int32_t level);
void kiv_emit_stored(kiv_encoder *enc, const uint8_t *data, uint32_t length, int32_t more);
int32_t kiv_deflate_finish(kiv_encoder *enc, uint8_t *out);
