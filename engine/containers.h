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

// The largest input one encode call takes on a stream of this format: its output bound with the
// format's header, kiv_encode_bound(n) + header, must stay a signed 32-bit count (about 1.78 GiB).
// Callers hand a longer input to the engine in several calls.
constexpr uint64_t kiv_stream_call_limit(int32_t format) {
    const uint64_t header = format == KIV_FMT_GZIP ? KIV_GZIP_HEADER_SIZE : format == KIV_FMT_ZLIB ? KIV_ZLIB_HEADER_SIZE : 0;
    const uint64_t room = INT32_MAX - header;
    uint64_t n = (room - 6) / 9 * 8;  // n + n / 8 + 6 <= room; the loop takes the last few bytes
    while (kiv_encode_bound(n + 1) <= room) n++;
    return n;
}
static_assert(kiv_encode_bound(kiv_stream_call_limit(KIV_FMT_GZIP)) + KIV_GZIP_HEADER_SIZE <= INT32_MAX &&
                  kiv_encode_bound(kiv_stream_call_limit(KIV_FMT_GZIP) + 1) + KIV_GZIP_HEADER_SIZE > INT32_MAX,
              "the largest gzip call");

// A longer input goes to the engine in calls of exactly this many bytes, the last one shorter.
constexpr uint64_t KIV_HUGE_INPUT_PIECE = uint64_t{1} << 30;
static_assert(KIV_HUGE_INPUT_PIECE <= kiv_stream_call_limit(KIV_FMT_GZIP), "a piece must be one engine call");

// The length of the engine calls an input of `length` bytes is fed in: all of it in one call when one
// call takes it, else KIV_HUGE_INPUT_PIECE bytes a call (the last one shorter). Every caller cuts its
// inputs this way, so that streams fed the same inputs agree call for call.
constexpr uint64_t kiv_stream_call_size(int32_t format, uint64_t length) {
    return length <= kiv_stream_call_limit(format) ? length : KIV_HUGE_INPUT_PIECE;
}

// Header bytes the stream's next encode or finish call will write before any DEFLATE data.
inline int32_t kiv_stream_pending_header(const kiv_encoder *enc) {
    if (enc->state != KIV_ST_NEW) return 0;
    return enc->format == KIV_FMT_GZIP ? KIV_GZIP_HEADER_SIZE : enc->format == KIV_FMT_ZLIB ? KIV_ZLIB_HEADER_SIZE : 0;
}
