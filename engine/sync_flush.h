// sync_flush.h: a flush point inside a stream: everything encoded so far becomes decodable, and the stream goes on.
#pragma once

#include "encoder_state.h"

// Largest output of kiv_stream_sync_flush. On a fresh gzip stream: the 10-byte header, then from an empty
// queue one byte of stored header and the 4 bytes LEN, NLEN = 10 + 5. From an open block with p pending
// bits: p + 7 (end of block) + 3 (stored header) <= 41 bits, at most 6 bytes once drained, then 4 bytes
// LEN, NLEN = 10. Otherwise (idle, empty queue) exactly 5.
constexpr uint32_t KIV_SYNC_FLUSH_BOUND = 15;

// Writes the container header if it is still due, closes an open fixed-Huffman block and writes an empty
// non-final stored block: the output ends on a byte boundary with the bytes 00 00 FF FF, every input byte
// encoded so far decodes from the bytes written so far, no bit stays pending, and the state is
// KIV_ST_IDLE. Since no call keeps a history, a decoder can also start afresh right after these bytes.
// For streams that are not ended yet (no encode call with more = 0, no finish). The caller provides
// KIV_SYNC_FLUSH_BOUND bytes at `out`; returns the number of bytes written, from 5 to 15.
int32_t kiv_stream_sync_flush(kiv_encoder *enc, uint8_t *out);
