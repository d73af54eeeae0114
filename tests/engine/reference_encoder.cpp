// reference_encoder.cpp: a plain, literal model of the block encoder, kept apart from the engine so that
// every speed-up of the engine can be compared with it byte for byte.
#include "reference_encoder.h"

#include "code_tables.h"

namespace {


// 8192 slots: a 13-bit hash keeps the table at 64 KiB (position and word per slot), small enough to
// empty on every call and to stay in the L2 cache while scanning.
constexpr uint32_t HASH_BITS = 13;
constexpr uint32_t SLOT_COUNT = 1u << HASH_BITS;
// Odd multiplier whose upper product bits mix all four input bytes.
constexpr uint32_t HASH_MULTIPLIER = 0x8003F;
// DEFLATE's shortest match is 3, but a 4-byte word comparison confirms a candidate in one step,
// and a 3-byte match rarely beats three literals in the fixed code.
constexpr uint32_t MIN_MATCH = 4;
constexpr uint32_t MAX_MATCH = 258;
constexpr uint32_t WINDOW = 32768;
// Literals 144..255 cost 9 bits instead of 8. Once a pending run holds this many, the extra bits pay
// for the framing of a stored block (end of block, header, padding, LEN and NLEN: at most 49 bits)
// plus the 3-bit header reopened after it: 52 >= 49 + 3.
constexpr uint32_t STORED_RUN_HIGH_BYTES = 52;

// Empty slot: the position reads as -32769, farther than the window from any offset of the buffer,
// so it never yields a candidate whatever the word compares to.
constexpr uint32_t EMPTY_POSITION = 0xFFFF7FFFu;
constexpr uint32_t EMPTY_WORD = 0xFFFFFFFFu;

struct slot {
    uint32_t position;
    uint32_t word;
};

inline uint32_t hash_word(uint32_t word) { return (word * HASH_MULTIPLIER) >> (32 - HASH_BITS); }

// Local copy of the bit writer; written back to the record around stored emissions and at the end.
struct bit_writer {
    uint64_t queue;
    uint32_t count;
    uint8_t *cursor;

    inline void put(uint64_t value, uint32_t nbits) {
        queue += value << count;
        count += nbits;
        if (count >= 32) {
            kiv_store_le32(cursor, static_cast<uint32_t>(queue));
            cursor += 4;
            queue >>= 32;
            count -= 32;
        }
    }
    inline void load(const kiv_encoder *enc) {
        queue = enc->bit_queue;
        count = enc->bit_count;
        cursor = enc->out_cursor;
    }
    inline void save(kiv_encoder *enc) const {
        enc->bit_queue = queue;
        enc->bit_count = count;
        enc->out_cursor = cursor;
    }
};

inline void put_literal(bit_writer &bits, uint8_t byte) {
    uint32_t code = fixed_literal_codes[byte];
    bits.put(code >> 4, code & 15);
}

// Number of equal bytes at a and b, at most limit.
inline uint32_t match_extension(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t x = 0;
    while (limit - x >= 8) {
        uint64_t diff = kiv_load_le64(a + x) ^ kiv_load_le64(b + x);
        if (diff != 0) return x + (static_cast<uint32_t>(__builtin_ctzll(diff)) >> 3);
        x += 8;
    }
    while (x < limit && a[x] == b[x]) x++;
    return x;
}

}  // namespace

int32_t kiv_reference_deflate_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more) {
    enc->out_cursor = out;
    const uint32_t len = static_cast<uint32_t>(length);
    if (enc->level == 0) {
        if (len > 0) kiv_emit_stored(enc, data, len, more);
        enc->input_total += len;
        return static_cast<int32_t>(enc->out_cursor - out);
    }

    slot table[SLOT_COUNT];
    for (uint32_t i = 0; i < SLOT_COUNT; i++) table[i] = slot{EMPTY_POSITION, EMPTY_WORD};

    bit_writer bits;
    bits.load(enc);
    uint16_t state = enc->state;
    uint32_t t = 0;     // next byte to examine
    uint32_t n = 0;     // pending literals data[t - n .. t)
    uint32_t high = 0;  // pending literals of 144 or more (9-bit codes)

    // Writes the pending run as stored blocks; the bit writer and state pass through the record.
    auto emit_stored_run = [&](uint32_t start, uint32_t count, int32_t stored_more) {
        bits.save(enc);
        enc->state = state;
        kiv_emit_stored(enc, data + start, count, stored_more);
        bits.load(enc);
        state = enc->state;
    };

    while (len - t >= MIN_MATCH) {
        uint32_t word = kiv_load_le32(data + t);
        slot &s = table[hash_word(word)];
        slot candidate = s;
        s = slot{t, word};
        if (candidate.word == word && t - candidate.position - 1 <= WINDOW - 1) {
            uint32_t distance = t - candidate.position;
            uint32_t remaining = len - t;
            uint32_t limit = (remaining < MAX_MATCH ? remaining : MAX_MATCH) - MIN_MATCH;
            uint32_t x = match_extension(data + candidate.position + MIN_MATCH, data + t + MIN_MATCH, limit);
            uint32_t match_len = MIN_MATCH + x;
            uint32_t length_code = length_codes[match_len];
            uint32_t distance_code = distance_codes[distance - 1];
            uint32_t match_bits = (length_code >> 16) + (distance_code & 31);
            if ((high < STORED_RUN_HIGH_BYTES || x >= 2) && match_bits + 8 < high + 8 * match_len) {
                if (n > 0) {
                    if (high >= STORED_RUN_HIGH_BYTES) {
                        emit_stored_run(t - n, n, 1);
                    } else {
                        if (state == KIV_ST_IDLE) {
                            bits.put(2, 3);
                            state = KIV_ST_BLOCK;
                        }
                        for (uint32_t i = t - n; i < t; i++) put_literal(bits, data[i]);
                    }
                }
                if (state == KIV_ST_IDLE) {
                    bits.put(2, 3);
                    state = KIV_ST_BLOCK;
                }
                bits.put(length_code & 0xFFFF, length_code >> 16);
                bits.put(distance_code >> 5, distance_code & 31);
                t += match_len;
                n = 0;
                high = 0;
                continue;
            }
        }
        high += data[t] >= 144;
        n++;
        t++;
    }
    for (; t < len; t++) {
        high += data[t] >= 144;
        n++;
    }

    if (n > 0) {
        if (high >= STORED_RUN_HIGH_BYTES) {
            emit_stored_run(len - n, n, more);
        } else {
            if (state == KIV_ST_IDLE) {
                bits.put(more ? 2 : 3, 3);
                state = more ? KIV_ST_BLOCK : KIV_ST_FINAL_BLOCK;
            } else if (!more) {
                bits.put(0, 7);  // end of block
                bits.put(3, 3);
                state = KIV_ST_FINAL_BLOCK;
            }
            for (uint32_t i = len - n; i < len; i++) put_literal(bits, data[i]);
        }
    }

    bits.save(enc);
    enc->state = state;
    enc->input_total += len;
    return static_cast<int32_t>(enc->out_cursor - out);
}
