// block_encoder.cpp: the one-pass match finder and the fixed-Huffman coder.
#include "block_encoder.h"

#include "code_tables.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstddef>

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
constexpr uint32_t FIRST_HIGH_LITERAL = 144;
// The farthest distance whose code takes at most 16 bits: with no high literal pending, a 4-byte match
// pays for itself up to here.
constexpr uint32_t FAR_FOUR_BYTE_DISTANCE = 8192;
static_assert((distance_codes[FAR_FOUR_BYTE_DISTANCE - 1] & 31) == 16 &&
                  (distance_codes[FAR_FOUR_BYTE_DISTANCE] & 31) == 17,
              "distance code widths");

// A slot is one 64-bit word: position in the low half, the four input bytes there in the high half.
// Empty: position 0xFFFF7FFF (-32769, farther than the window from any offset of the buffer, so it
// never yields a candidate) and word 0xFFFFFFFF; -32769 as a signed 64-bit value.
constexpr uint64_t EMPTY_SLOT = 0xFFFFFFFFFFFF7FFFull;

inline uint32_t hash_word(uint32_t word) { return (word * HASH_MULTIPLIER) >> (32 - HASH_BITS); }

inline void store_le64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

// Local bit writer. Whole bytes leave after every push, so at most 7 bits stay queued and one push may
// carry up to 56 bits. The record instead spills 32-bit words; `origin` is where the record's word
// grid starts (the call's output start, or the end of the last stored block), so that `save` can hand
// back exactly the record's state: the bytes past the last whole word go back into the queue.
struct bit_writer {
    uint64_t queue;
    uint32_t count;
    uint8_t *cursor;
    uint8_t *origin;
    uint8_t *room_end;  // the caller guarantees room up to here; 8-byte stores stay short of it

    inline void flush() {
        uint32_t bytes = count >> 3;
        if (__builtin_expect(cursor + 8 <= room_end, 1)) {
            store_le64(cursor, queue);
        } else {
            for (uint32_t i = 0; i < bytes; i++) cursor[i] = static_cast<uint8_t>(queue >> (8 * i));
        }
        cursor += bytes;
        queue >>= 8 * bytes;  // count <= 63, so at most 56
        count &= 7;
    }
    // nbits + 7 queued bits must fit in 64.
    inline void put(uint64_t value, uint32_t nbits) {
        queue |= value << count;
        count += nbits;
        flush();
    }
    inline void load(const kiv_encoder *enc) {
        queue = enc->bit_queue;
        count = enc->bit_count;
        cursor = enc->out_cursor;
        origin = cursor;
        flush();
    }
    inline void save(kiv_encoder *enc) const {
        uint64_t total = static_cast<uint64_t>(cursor - origin) * 8 + count;
        uint8_t *word_end = origin + (total / 32) * 4;
        uint32_t loose = static_cast<uint32_t>(cursor - word_end);  // 0..3 bytes past the last word
        uint64_t pending = 0;
        for (uint32_t i = 0; i < loose; i++) pending |= static_cast<uint64_t>(word_end[i]) << (8 * i);
        enc->bit_queue = pending | (queue << (8 * loose));
        enc->bit_count = static_cast<uint32_t>(total % 32);
        enc->out_cursor = word_end;
    }
};

// Pushes data[from..to) as fixed-code literals, six to a push (at most 54 bits), then four.
inline void put_literals(bit_writer &bits, const uint8_t *data, uint32_t from, uint32_t to) {
    uint32_t i = from;
    for (; to - i >= 6; i += 6) {
        const uint32_t c0 = fixed_literal_codes[data[i]], c1 = fixed_literal_codes[data[i + 1]];
        const uint32_t c2 = fixed_literal_codes[data[i + 2]], c3 = fixed_literal_codes[data[i + 3]];
        const uint32_t c4 = fixed_literal_codes[data[i + 4]], c5 = fixed_literal_codes[data[i + 5]];
        const uint32_t e1 = c0 & 15, e2 = e1 + (c1 & 15), e3 = e2 + (c2 & 15), e4 = e3 + (c3 & 15);
        const uint32_t e5 = e4 + (c4 & 15);
        bits.put((c0 >> 4) | (static_cast<uint64_t>(c1 >> 4) << e1) | (static_cast<uint64_t>(c2 >> 4) << e2) |
                     (static_cast<uint64_t>(c3 >> 4) << e3) | (static_cast<uint64_t>(c4 >> 4) << e4) |
                     (static_cast<uint64_t>(c5 >> 4) << e5),
                 e5 + (c5 & 15));
    }
    if (to - i >= 4) {
        uint32_t c0 = fixed_literal_codes[data[i]], c1 = fixed_literal_codes[data[i + 1]];
        uint32_t c2 = fixed_literal_codes[data[i + 2]], c3 = fixed_literal_codes[data[i + 3]];
        uint32_t w0 = c0 & 15, w1 = c1 & 15, w2 = c2 & 15, w3 = c3 & 15;
        uint64_t value = (c0 >> 4) | (static_cast<uint64_t>(c1 >> 4) << w0) |
                         (static_cast<uint64_t>(c2 >> 4) << (w0 + w1)) |
                         (static_cast<uint64_t>(c3 >> 4) << (w0 + w1 + w2));
        bits.put(value, w0 + w1 + w2 + w3);
        i += 4;
    }
    for (; i < to; i++) {
        uint32_t code = fixed_literal_codes[data[i]];
        bits.put(code >> 4, code & 15);
    }
}

// Number of equal bytes at a and b, at most limit. Eight bytes a step; when fewer than eight remain,
// one overlapping step ending at the limit.
inline uint32_t match_extension(const uint8_t *a, const uint8_t *b, uint32_t limit) {
    uint32_t x = 0;
    while (limit - x >= 8) {
        uint64_t diff = kiv_load_le64(a + x) ^ kiv_load_le64(b + x);
        if (diff != 0) return x + (static_cast<uint32_t>(__builtin_ctzll(diff)) >> 3);
        x += 8;
    }
    if (x == limit) return x;
    if (limit >= 8) {
        uint64_t diff = kiv_load_le64(a + limit - 8) ^ kiv_load_le64(b + limit - 8);
        if (diff == 0) return limit;
        return limit - 8 + (static_cast<uint32_t>(__builtin_ctzll(diff)) >> 3);
    }
    while (x < limit && a[x] == b[x]) x++;
    return x;
}

// Counts the bytes of 144 (0x90) or more in data[from..to), eight at a time: a byte qualifies when its
// top bit is set and its low seven bits plus 0x70 reach 0x80 (no carry crosses bytes: 0x7F + 0x70 < 0x100).
inline uint32_t count_high_bytes(const uint8_t *data, uint32_t from, uint32_t to) {
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full, TOP = 0x8080808080808080ull, BIAS = 0x7070707070707070ull;
    constexpr uint64_t ONES = 0x0101010101010101ull;
    uint32_t high = 0;
    uint32_t i = from;
    for (; to - i >= 8; i += 8) {
        uint64_t v = kiv_load_le64(data + i);
        uint64_t flags = (v & ((v & LOW7) + BIAS) & TOP) >> 7;  // one 0/1 per byte
        high += static_cast<uint32_t>((flags * ONES) >> 56);   // sum of the eight bytes, at most 8
    }
    for (; i < to; i++) high += data[i] >= FIRST_HIGH_LITERAL;
    return high;
}

// How a call empties the table. All 8192 slots (64 KiB) cost about 1.1 us with the baseline's 16-byte
// stores and 0.57 us with AVX2's 32-byte ones (64-byte AVX-512 stores are no faster: the lines go to L2
// either way); emptying only the slots of the positions the call examines costs about 0.6 ns a position.
// Calls of up to `sparse_limit` positions therefore empty just their own slots: the limits are where the
// two costs meet. The processor's choice is made once.
struct table_reset {
    void (*empty_all)(uint64_t *table);
    uint32_t sparse_limit;
};

// The slots before the first 32-byte boundary: the wide stores that follow are then aligned.
inline uint64_t *empty_to_boundary(uint64_t *p) {
    while (reinterpret_cast<uintptr_t>(p) % 32 != 0) *p++ = EMPTY_SLOT;
    return p;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void empty_all_slots_avx2(uint64_t *table) {
    const __m256i empty = _mm256_set1_epi64x(static_cast<long long>(EMPTY_SLOT));
    uint64_t *p = empty_to_boundary(table), *end = table + SLOT_COUNT;
    for (; end - p >= 4; p += 4) _mm256_store_si256(reinterpret_cast<__m256i *>(p), empty);
    while (p < end) *p++ = EMPTY_SLOT;
}
#endif

void empty_all_slots_baseline(uint64_t *table) {
    for (uint32_t i = 0; i < SLOT_COUNT; i++) table[i] = EMPTY_SLOT;
}

table_reset pick_table_reset() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return {empty_all_slots_avx2, 1024};
#endif
    return {empty_all_slots_baseline, 2048};
}

const table_reset &this_processors_reset() {
    static const table_reset reset = pick_table_reset();
    return reset;
}

// The plain encoder watches nothing.
struct no_probe {
    void before_stored(const kiv_encoder *) {}
};

// Notes where the call's first stored run begins: the bits written before it, in the record's count.
struct first_stored_probe {
    const uint8_t *out;
    int64_t *head_bits;
    void before_stored(const kiv_encoder *enc) {
        if (*head_bits < 0) *head_bits = 8 * (enc->out_cursor - out) + enc->bit_count;
    }
};

// The level-1 encoder of a call with `scan_end` positions to examine (data[0..len), len > 0).
// `probe.before_stored` sees the record just before each run goes to kiv_emit_stored: bits saved, state
// current, nothing of the run written yet. A small call (SmallCall: at most the reset's sparse limit of
// positions) empties only its own slots, which brings them into the L1 cache, and scans without the
// pipeline: a slot read then waits little, and the pipeline's extra work would cost about 5 % at 256-byte
// calls. Every decision is the same either way.
template <class Probe, bool SmallCall>
int32_t encode_with_matches(kiv_encoder *enc, uint8_t *out, const uint8_t *data, uint32_t len, uint32_t scan_end,
                            int32_t more, Probe probe) {
    // Every decision must be the one an all-empty table gives: slots this call never reads may hold
    // anything, so small calls only empty the slots of the positions they will examine.
    uint64_t table[SLOT_COUNT];
    if (SmallCall) {
        for (uint32_t t = 0; t < scan_end; t++) table[hash_word(kiv_load_le32(data + t))] = EMPTY_SLOT;
    } else {
        this_processors_reset().empty_all(table);
    }

    bit_writer bits;
    bits.room_end = out + kiv_encode_bound(len);
    bits.load(enc);
    uint16_t state = enc->state;
    uint32_t t = 0;          // next byte to examine
    uint32_t run_start = 0;  // pending literals are data[run_start .. t)
    // Pending literals of 144 or more (9-bit codes), counted lazily: `high` covers data[run_start ..
    // counted_to). Only 4- and 5-byte matches and the writing of a run need the count.
    uint32_t high = 0;
    uint32_t counted_to = 0;

    // Writes the pending run as stored blocks; the bit writer and state pass through the record.
    auto emit_stored_run = [&](uint32_t start, uint32_t count, int32_t stored_more) {
        bits.save(enc);
        enc->state = state;
        probe.before_stored(enc);
        kiv_emit_stored(enc, data + start, count, stored_more);
        bits.load(enc);
        state = enc->state;
    };

    // The scan is software-pipelined one position ahead (except in small calls): right after position
    // t's slot is written, the word, slot and candidate of t + 1 are read, so that when t yields no match
    // (about half the time on text, mostly on binary data) the next test waits on no load. Reading after
    // t's store keeps the order of the scan: when t and t + 1 share a slot, t + 1 sees t's entry. At the
    // last position the look-ahead reads that position again instead of bytes past the input; the loop
    // then ends unused.
    uint32_t next_word = 0;
    uint64_t *next_slot = table;
    uint64_t next_candidate = 0;
    auto look_ahead = [&](uint32_t u) {
        next_word = kiv_load_le32(data + u);
        next_slot = &table[hash_word(next_word)];
        next_candidate = *next_slot;
    };
    if (!SmallCall && scan_end > 0) look_ahead(0);
    while (t < scan_end) {
        if (SmallCall) look_ahead(t);
        const uint32_t word = next_word;
        const uint64_t candidate = next_candidate;
        *next_slot = (static_cast<uint64_t>(word) << 32) | t;
        if (!SmallCall) look_ahead(t + (t + 1 < scan_end));
        uint32_t position = static_cast<uint32_t>(candidate);
        if (static_cast<uint32_t>(candidate >> 32) == word && t - position - 1 <= WINDOW - 1) {
            uint32_t distance = t - position;
            uint32_t remaining = len - t;
            // The next examined position is t + L, most often t + 4, 5 or 6. Their slots usually sit
            // outside the L1 cache (the table is 64 KiB); fetching them now overlaps that latency with
            // the match extension and the coding of the match.
            if (__builtin_expect(remaining >= 12, 1)) {
                __builtin_prefetch(&table[hash_word(kiv_load_le32(data + t + 4))]);
                __builtin_prefetch(&table[hash_word(kiv_load_le32(data + t + 5))]);
                __builtin_prefetch(&table[hash_word(kiv_load_le32(data + t + 6))]);
            }
            uint32_t limit = (remaining < MAX_MATCH ? remaining : MAX_MATCH) - MIN_MATCH;
            uint32_t x = match_extension(data + position + MIN_MATCH, data + t + MIN_MATCH, limit);
            uint32_t match_len = MIN_MATCH + x;
            uint32_t length_code = length_codes[match_len];
            uint32_t distance_code = distance_codes[distance - 1];
            uint32_t length_width = length_code >> 16;
            uint32_t match_width = length_width + (distance_code & 31);
            // From 6 bytes on (x >= 2) a match always passes: it costs at most 31 < 6 * 8 - 8 bits. With
            // fewer than 52 pending literals, hence fewer than 52 high ones, a 5-byte match passes too, and
            // a 4-byte one does when its distance code takes at most 16 bits (distance up to 8192). Only
            // the rest needs the count of high literals; deciding without a branch on x keeps the common
            // 4- and 5-byte matches off a mispredicted path.
            bool accepted = (x >= 2) | ((t - run_start < STORED_RUN_HIGH_BYTES) & ((x != 0) | (distance <= FAR_FOUR_BYTE_DISTANCE)));
            if (__builtin_expect(!accepted, 0)) {
                high += count_high_bytes(data, counted_to, t);
                counted_to = t;
                accepted = high < STORED_RUN_HIGH_BYTES && match_width + 8 < high + 8 * match_len;
            }
            if (accepted) {
                if (t > run_start) {
                    // Only a run of 52 or more literals can hold 52 high ones.
                    if (__builtin_expect(t - run_start >= STORED_RUN_HIGH_BYTES, 0) &&
                        high + count_high_bytes(data, counted_to, t) >= STORED_RUN_HIGH_BYTES) {
                        emit_stored_run(run_start, t - run_start, 1);
                    } else {
                        if (__builtin_expect(state == KIV_ST_IDLE, 0)) {
                            bits.put(2, 3);
                            state = KIV_ST_BLOCK;
                        }
                        put_literals(bits, data, run_start, t);
                    }
                }
                if (state == KIV_ST_IDLE) {
                    bits.put(2, 3);
                    state = KIV_ST_BLOCK;
                }
                // Length and distance in one push: at most 13 + 18 = 31 bits.
                bits.put((length_code & 0xFFFF) | (static_cast<uint64_t>(distance_code >> 5) << length_width),
                         match_width);
                t += match_len;
                run_start = t;
                counted_to = t;
                high = 0;
                if (!SmallCall && t < scan_end) look_ahead(t);
                continue;
            }
        }
        t++;
    }

    if (len > run_start) {
        high += count_high_bytes(data, counted_to, len);
        if (high >= STORED_RUN_HIGH_BYTES) {
            emit_stored_run(run_start, len - run_start, more);
        } else {
            if (state == KIV_ST_IDLE) {
                bits.put(more ? 2 : 3, 3);
                state = more ? KIV_ST_BLOCK : KIV_ST_FINAL_BLOCK;
            } else if (!more) {
                bits.put(0 | (3 << 7), 10);  // end of block, then a final block header
                state = KIV_ST_FINAL_BLOCK;
            }
            put_literals(bits, data, run_start, len);
        }
    }

    bits.save(enc);
    enc->state = state;
    enc->input_total += len;
    return static_cast<int32_t>(enc->out_cursor - out);
}

// The encoder proper.
template <class Probe>
int32_t deflate_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more,
                       Probe probe) {
    enc->out_cursor = out;
    const uint32_t len = static_cast<uint32_t>(length);
    if (enc->level == 0) {
        if (len > 0) {
            probe.before_stored(enc);
            kiv_emit_stored(enc, data, len, more);
        }
        enc->input_total += len;
        return static_cast<int32_t>(enc->out_cursor - out);
    }
    if (len == 0) return 0;
    const uint32_t scan_end = len >= MIN_MATCH ? len - MIN_MATCH + 1 : 0;  // positions with four bytes
    if (scan_end <= this_processors_reset().sparse_limit)
        return encode_with_matches<Probe, true>(enc, out, data, len, scan_end, more, probe);
    return encode_with_matches<Probe, false>(enc, out, data, len, scan_end, more, probe);
}

}  // namespace

int32_t kiv_deflate_encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length, int32_t more) {
    return deflate_encode(enc, out, data, length, more, no_probe{});
}

int32_t kiv_deflate_encode_noting_stored(kiv_encoder *enc, uint8_t *out, const uint8_t *data, int32_t length,
                                         int32_t more, int64_t *head_bits) {
    *head_bits = -1;
    return deflate_encode(enc, out, data, length, more, first_stored_probe{out, head_bits});
}
