// containers.cpp: gzip (RFC 1952) and zlib (RFC 1950) headers, checksums and trailers.
#include "containers.h"

#include "block_encoder.h"
#include "checksums.h"

namespace {

// ID1 ID2, CM 8 (deflate), FLG 0, MTIME 0, XFL 4 (fastest), OS 3 (Unix).
constexpr uint8_t GZIP_HEADER[KIV_GZIP_HEADER_SIZE] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x03};
// CMF 0x78: deflate with a 32 KiB window; FLG 0x01: fastest, no dictionary, 0x7801 divisible by 31.
constexpr uint8_t ZLIB_HEADER[KIV_ZLIB_HEADER_SIZE] = {0x78, 0x01};

int32_t container_init(kiv_encoder *enc, int32_t level, int format, uint32_t checksum) {
    enc->state = KIV_ST_NEW;
    enc->level = static_cast<uint8_t>(level & 1);
    enc->format = static_cast<uint8_t>(format);
    enc->checksum = checksum;
    enc->input_total = 0;
    enc->bit_count = 0;
    enc->bit_queue = 0;
    return 0;
}

void store_le32(uint8_t *p, uint32_t v) { kiv_store_le32(p, v); }
void store_be32(uint8_t *p, uint32_t v) { kiv_store_le32(p, __builtin_bswap32(v)); }

}  // namespace

int32_t kiv_gzip_init(kiv_encoder *enc, int32_t level) { return container_init(enc, level, KIV_FMT_GZIP, 0); }
int32_t kiv_zlib_init(kiv_encoder *enc, int32_t level) { return container_init(enc, level, KIV_FMT_ZLIB, 1); }

int32_t kiv_gzip_header(kiv_encoder *enc, uint8_t *out) {
    std::memcpy(out, GZIP_HEADER, sizeof GZIP_HEADER);
    enc->state = KIV_ST_IDLE;
    return KIV_GZIP_HEADER_SIZE;
}

int32_t kiv_zlib_header(kiv_encoder *enc, uint8_t *out) {
    std::memcpy(out, ZLIB_HEADER, sizeof ZLIB_HEADER);
    enc->state = KIV_ST_IDLE;
    return KIV_ZLIB_HEADER_SIZE;
}

int32_t kiv_gzip_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more) {
    int32_t h = enc->state == KIV_ST_NEW ? kiv_gzip_header(enc, out) : 0;
    enc->checksum = kiv_crc32_update(enc->checksum, data, length);
    return h + kiv_deflate_encode(enc, out + h, data, length, more);
}

int32_t kiv_zlib_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more) {
    int32_t h = enc->state == KIV_ST_NEW ? kiv_zlib_header(enc, out) : 0;
    enc->checksum = kiv_adler32_update(enc->checksum, data, static_cast<uint32_t>(length));
    return h + kiv_deflate_encode(enc, out + h, data, length, more);
}

int32_t kiv_gzip_finish(kiv_encoder *enc, uint8_t *out) {
    enc->out_cursor = out;
    if (enc->state == KIV_ST_NEW) enc->out_cursor += kiv_gzip_header(enc, out);
    kiv_deflate_finish(enc, enc->out_cursor);
    store_le32(enc->out_cursor, enc->checksum);
    store_le32(enc->out_cursor + 4, enc->input_total);
    enc->out_cursor += 8;
    enc->state = KIV_ST_TRAILED;
    return static_cast<int32_t>(enc->out_cursor - out);
}

int32_t kiv_zlib_finish(kiv_encoder *enc, uint8_t *out) {
    enc->out_cursor = out;
    if (enc->state == KIV_ST_NEW) enc->out_cursor += kiv_zlib_header(enc, out);
    kiv_deflate_finish(enc, enc->out_cursor);
    store_be32(enc->out_cursor, enc->checksum);
    enc->out_cursor += 4;
    enc->state = KIV_ST_TRAILED;
    return static_cast<int32_t>(enc->out_cursor - out);
}

int32_t kiv_stream_init(kiv_encoder *enc, int32_t level, int32_t format) {
    switch (format) {
    case KIV_FMT_GZIP: return kiv_gzip_init(enc, level);
    case KIV_FMT_ZLIB: return kiv_zlib_init(enc, level);
    default: return kiv_deflate_init(enc, level);
    }
}

int32_t kiv_stream_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more) {
    switch (enc->format) {
    case KIV_FMT_GZIP: return kiv_gzip_encode(enc, out, data, length, more);
    case KIV_FMT_ZLIB: return kiv_zlib_encode(enc, out, data, length, more);
    default: return kiv_deflate_encode(enc, out, data, length, more);
    }
}

int32_t kiv_stream_finish(kiv_encoder *enc, uint8_t *out) {
    switch (enc->format) {
    case KIV_FMT_GZIP: return kiv_gzip_finish(enc, out);
    case KIV_FMT_ZLIB: return kiv_zlib_finish(enc, out);
    default: return kiv_deflate_finish(enc, out);
    }
}
