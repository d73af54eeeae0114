// encoder_state.cpp: raw DEFLATE init, stored blocks and the end of a DEFLATE stream.
#include "encoder_state.h"

// The end-of-block symbol (256) is seven zero bits in the fixed literal/length code.
constexpr uint32_t EOB_BITS = 7;
// 65535 is the largest LEN a stored block header can carry.
constexpr uint32_t STORED_BLOCK_MAX = 65535;

int32_t kiv_deflate_init(kiv_encoder *enc, int32_t level) {
    enc->state = KIV_ST_IDLE;
    enc->level = static_cast<uint8_t>(level & 1);
    enc->format = KIV_FMT_DEFLATE;
    enc->checksum = 0;
    enc->input_total = 0;
    enc->bit_queue = 0;
    enc->bit_count = 0;
    return 0;
}

void kiv_emit_stored(kiv_encoder *enc, const uint8_t *data, uint32_t length, int32_t more) {
    uint32_t remaining = length;
    do {
        uint32_t block = remaining < STORED_BLOCK_MAX ? remaining : STORED_BLOCK_MAX;
        remaining -= block;
        if (enc->state != KIV_ST_IDLE) kiv_put_bits(enc, 0, EOB_BITS);
        bool final_block = more == 0 && remaining == 0;
        enc->state = final_block ? KIV_ST_CLOSED : KIV_ST_IDLE;
        kiv_put_bits(enc, final_block ? 1 : 0, 3);  // BFINAL, then BTYPE 00
        kiv_drain_bits(enc);
        uint8_t *out = enc->out_cursor;
        out[0] = static_cast<uint8_t>(block);
        out[1] = static_cast<uint8_t>(block >> 8);
        out[2] = static_cast<uint8_t>(~block);
        out[3] = static_cast<uint8_t>(~block >> 8);
        if (block != 0) std::memcpy(out + 4, data, block);  // an empty block may come with no data at all
        enc->out_cursor = out + 4 + block;
        data += block;
    } while (remaining != 0);
}

int32_t kiv_deflate_finish(kiv_encoder *enc, uint8_t *out) {
    enc->out_cursor = out;
    switch (enc->state) {
    case KIV_ST_FINAL_BLOCK:
        kiv_put_bits(enc, 0, EOB_BITS);
        break;
    case KIV_ST_BLOCK:
        kiv_put_bits(enc, 0, EOB_BITS);
        kiv_put_bits(enc, 3, 3 + EOB_BITS);  // empty final fixed block: header 3, end of block
        break;
    case KIV_ST_CLOSED:
        break;
    default:
        kiv_put_bits(enc, 3, 3 + EOB_BITS);
        break;
    }
    enc->state = KIV_ST_CLOSED;
    kiv_drain_bits(enc);
    return static_cast<int32_t>(enc->out_cursor - out);
}
