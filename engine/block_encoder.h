// block_encoder.h: one buffer of input into fixed-Huffman and stored DEFLATE blocks.
#pragma once

#include "encoder_state.h"

// Appends the DEFLATE form of data[0..length) to the stream. Level 0 stores; level 1 finds matches
// inside this buffer only. `more` = 0 ends the input: the trailing literals then go into a final block.
// The caller provides kiv_encode_bound(length) bytes at `out`. Returns the number of bytes written.
int32_t kiv_deflate_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more);

// kiv_deflate_encode, also noting where the call's first stored block begins: `head_bits` receives the
// number of stream bits from `out` on that precede it (the bits queued on entry included; then come
// the end-of-block code if a fixed block is open, the stored header, padding and LEN), or -1 when the
// call writes no stored block. Same bytes, same record as kiv_deflate_encode.
int32_t kiv_deflate_encode_noting_stored(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length,
                                         int32_t more, int64_t *head_bits);
