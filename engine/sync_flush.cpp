// sync_flush.cpp: the flush point: pending bits out, then an empty stored block (zlib's sync and full flush).
#include "sync_flush.h"

#include "containers.h"

int32_t kiv_stream_sync_flush(kiv_encoder *enc, uint8_t *out) {
    enc->out_cursor = out;
    if (enc->state == KIV_ST_NEW)
        enc->out_cursor += enc->format == KIV_FMT_GZIP ? kiv_gzip_header(enc, out) : kiv_zlib_header(enc, out);
    // An empty stored block closes an open block, byte-aligns the stream and carries no data, so the
    // data pointer is never read.
    kiv_emit_stored(enc, nullptr, 0, 1);
    return static_cast<int32_t>(enc->out_cursor - out);
}
