// checksums_portable.cpp: the checksum entries on processors other than x86-64, where only the table
// and scalar routines of checksums.cpp exist; checksums_simd.cpp holds the same entries for x86-64.
#if !defined(__x86_64__)

#include "checksums.h"

bool kiv_crc32_routine_available(kiv_crc32_routine routine) { return routine == KIV_CRC32_SLICE4; }

kiv_crc32_routine kiv_crc32_best_routine() { return KIV_CRC32_SLICE4; }

uint32_t kiv_crc32_with(kiv_crc32_routine, uint32_t crc, const uint8_t *data, int32_t length) {
    return kiv_crc32_slice4(crc, data, length);
}

uint32_t kiv_crc32_update(uint32_t crc, const uint8_t *data, int32_t length) {
    return kiv_crc32_slice4(crc, data, length);
}

bool kiv_adler32_avx2_available() { return false; }

uint32_t kiv_adler32_avx2(uint32_t adler, const uint8_t *data, uint32_t length) {
    return kiv_adler32_portable(adler, data, length);
}

uint32_t kiv_adler32_update(uint32_t adler, const uint8_t *data, uint32_t length) {
    return kiv_adler32_portable(adler, data, length);
}

#endif
