// detached.h: one encode call's input compressed apart from its stream, and joined onto the stream later.
//
// A call of kiv_deflate_encode depends on the stream only through whether a fixed block is open and the
// 0-31 bits pending; every stored block brings the stream back to a byte boundary. So the calls of one
// stream can be encoded at once on several threads, each from an idle entry into a region of its own
// (kiv_detached_encode, which shares nothing), and then joined in call order onto the stream's record
// (kiv_detached_join). Each join writes exactly the bytes, and leaves exactly the record, that the
// stream's own encode call (kiv_stream_encode with `more` = 1) would have for the same input.
#pragma once

#include "encoder_state.h"

// A detached piece: what kiv_detached_encode leaves for the join. Only the first `written` bytes at `out`
// belong to it; the encoder may have scribbled past them, so pieces never share one region back to back
// (level 0 excepted, see kiv_detached_stored_size).
struct kiv_detached_piece {
    const uint8_t *out;   // the piece's region
    int32_t written;      // bytes of the piece at `out`
    uint32_t length;      // input bytes
    uint32_t checksum;    // of this input alone: CRC-32 from 0 (gzip), Adler-32 from 1 (zlib), 0 (raw)
    uint64_t exit_queue;  // bits still pending at the piece's end; they are in no byte of `out`
    uint32_t exit_count;  // 0..31
    uint16_t exit_state;  // KIV_ST_BLOCK or KIV_ST_IDLE; KIV_ST_IDLE with nothing pending for empty input
    int64_t head_bits;    // bits before its first stored block (fixed header, codes); -1: no stored block
};

// Encodes data[0..length) as one call of a stream of this level and format would, but from an idle
// entry with nothing pending (a fresh raw stream) and with `more` = 1, into `out`, and fills `piece`.
// Level and format are taken as kiv_stream_init takes them; the format only picks the checksum.
// Touches nothing but `piece`, `out` and its own stack frame (a level-1 call keeps its 64 KiB match table
// there: give worker threads some 128 KiB of stack or more). Needs kiv_detached_bound(length) bytes at
// `out`. Returns the bytes written, as piece->written.
int32_t kiv_detached_encode(kiv_detached_piece *piece, uint8_t *out, const uint8_t *data, int32_t length,
                            int32_t level, int32_t format);

// Appends the piece to the stream in `enc`, writing at `out` exactly what kiv_stream_encode(enc, out,
// data, length, 1) would write for the piece's input, and leaving `enc` as that call would: the container
// header if the stream is still new, the piece's bits moved behind the bits pending in the record (with
// the fixed header dropped, or an end-of-block code added, as the open block demands), the checksum
// combined and input_total advanced. An empty piece changes nothing but the header. Pieces must be joined
// in call order, each made at the stream's level and format. Writes nothing past the count it returns,
// which is at most kiv_detached_join_bound(enc, piece). `out` may lie anywhere apart from the piece's
// region, or, when kiv_detached_join_keeps_bytes(enc) holds, exactly where the piece's bytes go (just
// behind the pending header): nothing is copied then.
int32_t kiv_detached_join(kiv_encoder *enc, uint8_t *out, const kiv_detached_piece *piece);

// Largest output of kiv_detached_encode: that of an encode call. At level 0 the output is exactly
// kiv_detached_stored_size(length), with nothing written past it.
constexpr uint64_t kiv_detached_bound(uint64_t length) { return kiv_encode_bound(length); }

// Output of a level-0 piece: each started block of 65535 bytes costs 5 bytes of framing (the header byte,
// LEN and NLEN); no input, no block.
constexpr uint64_t kiv_detached_stored_size(uint64_t length) { return length + 5 * ((length + 65534) / 65535); }

// True when the next join writes the pending container header, if any, followed by the piece's own
// bytes unchanged: no block open and nothing pending. Every level-0 stream stays so from its init on, so
// its pieces can be encoded straight into their final places, kiv_detached_stored_size apart.
bool kiv_detached_join_keeps_bytes(const kiv_encoder *enc);

// Most bytes one join writes: the pending header and the piece's bytes, plus 5. The pending bits move the
// piece's bits on by up to 31, and an end-of-block code before a leading stored block adds 7: at most
// 31 + 7 + 3 = 41 bits, 6 bytes, go before its LEN where the piece had 1. Dropping the fixed header (3 bits)
// only shortens. The join's output is also the encode call's own, so kiv_encode_bound holds as well.
constexpr uint32_t KIV_DETACHED_JOIN_GROWTH = 5;
int64_t kiv_detached_join_bound(const kiv_encoder *enc, const kiv_detached_piece *piece);
