// containers.h: gzip and zlib framing around the raw DEFLATE stream, and the dispatch by format.
#pragma once

#include "encoder_state.h"

constexpr int32_t KIV_GZIP_HEADER_SIZE = 10;
constexpr int32_t KIV_ZLIB_HEADER_SIZE = 2;

int32_t kiv_gzip_init(kiv_encoder *enc, int32_t level);
int32_t kiv_gzip_header(kiv_encoder *enc, uint8_t *out);
int32_t kiv_gzip_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more);
int32_t kiv_gzip_finish(kiv_encoder *enc, uint8_t *out);

int32_t kiv_zlib_init(kiv_encoder *enc, int32_t level);
int32_t kiv_zlib_header(kiv_encoder *enc, uint8_t *out);
int32_t kiv_zlib_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more);
int32_t kiv_zlib_finish(kiv_encoder *enc, uint8_t *out);

// The entry by format: 0 gzip, 1 zlib, any other value raw DEFLATE. Init takes the requested format;
// encode and finish follow the record's own format field.
int32_t kiv_stream_init(kiv_encoder *enc, int32_t level, int32_t format);
int32_t kiv_stream_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more);
int32_t kiv_stream_finish(kiv_encoder *enc, uint8_t *out);

// Header bytes the stream's next encode or finish call will write before any DEFLATE data.
inline int32_t kiv_stream_pending_header(const kiv_encoder *enc) {
    if (enc->state != KIV_ST_NEW) return 0;
    return enc->format == KIV_FMT_GZIP ? KIV_GZIP_HEADER_SIZE : enc->format == KIV_FMT_ZLIB ? KIV_ZLIB_HEADER_SIZE : 0;
}
