// reference_encoder.h: a plain model of kiv_deflate_encode, the oracle for the engine's fast paths.
#pragma once

#include "encoder_state.h"

// Same contract and same output bytes as kiv_deflate_encode, written for clarity rather than speed.
int32_t kiv_reference_deflate_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length,
                                     int32_t more);
