// support.h: helpers shared by the engine tests: a bit-level reader of fixed-Huffman and stored DEFLATE
// blocks, zlib decoding, guarded output regions, input generators and stream drivers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "encoder_state.h"

namespace kivtest {

using bytes = std::vector<uint8_t>;

bytes from_string(const std::string &s);
std::string hex(const uint8_t *p, size_t n);
inline std::string hex(const bytes &b) { return hex(b.data(), b.size()); }
bytes from_hex(const std::string &s);  // "1F 8B 08" -> bytes

// A stream of single bits, bit 0 of the first byte first.
using bits = std::vector<uint8_t>;
void append_bytes(bits &out, const uint8_t *p, size_t n);
void append_value(bits &out, uint64_t value, unsigned nbits);  // low bit first
// "010 10010001" -> bits in the order written (spaces ignored)
bits bits_from_string(const std::string &s);
std::string bits_to_string(const bits &b);
// The full bit stream after an operation: the bytes written plus the bits still queued in the record.
bits stream_bits(const uint8_t *written, size_t n, const kiv_encoder &enc);

// Reads a raw DEFLATE bit stream made of fixed-Huffman and stored blocks (the only kinds the engine
// writes) and lists what it finds, one readable token per item:
//   "F0" / "F1"        fixed-Huffman block header, BFINAL 0 / 1
//   "S0:<len>" / "S1:<len>"  stored block with its LEN
//   "L<hex>"           literal byte, e.g. "L61"
//   "M<len>/<dist>"    match
//   "E"                end of block
// Reading stops cleanly when the bits run out between items (an open block), or after the end of the
// final block. Anything else (dynamic block, bad code, LEN/NLEN mismatch, distance beyond the output,
// bits running out inside an item) is reported in `error`.
struct parsed_stream {
    std::vector<std::string> events;
    bytes output;
    bool complete = false;  // the final block has ended
    size_t bits_used = 0;   // bits consumed, padding after a stored header included
    std::string error;
};
parsed_stream parse_deflate(const bits &b);
parsed_stream parse_deflate_bytes(const bytes &b);

// Joins tokens as "F0 L61 M258/1" for compact expectations and messages.
std::string join(const std::vector<std::string> &events);

// Inflates with system zlib. window_bits: 31 gzip, 15 zlib, -15 raw. Succeeds only when the stream ends
// (checksums verified by zlib) and every input byte was consumed.
bool zlib_inflate(const bytes &in, int window_bits, bytes &out, std::string &error);

// Output region of exactly `size` bytes whose last byte sits right before an inaccessible page: any
// write past the end faults at once.
class guarded_region {
public:
    explicit guarded_region(size_t size);
    ~guarded_region();
    guarded_region(const guarded_region &) = delete;
    guarded_region &operator=(const guarded_region &) = delete;
    uint8_t *data() { return start_; }
    size_t size() const { return size_; }

private:
    uint8_t *map_ = nullptr;
    size_t map_size_ = 0;
    uint8_t *start_ = nullptr;
    size_t size_ = 0;
};

// Input generators (deterministic for a given generator state).
bytes random_bytes(std::mt19937_64 &rng, size_t n);
bytes text_like(std::mt19937_64 &rng, size_t n);
bytes runs(std::mt19937_64 &rng, size_t n);
bytes high_bytes(std::mt19937_64 &rng, size_t n);  // every byte >= 144
bytes repeats_long_distance(std::mt19937_64 &rng, size_t n);
bytes repeats_short_distance(std::mt19937_64 &rng, size_t n);
// Runs of 51 bytes >= 144, each followed by a 4-byte match: the most expensive level-1 input known.
bytes adversarial(std::mt19937_64 &rng, size_t n);

// Every generator above, by name, for tables of tests.
struct input_kind {
    const char *name;
    bytes (*make)(std::mt19937_64 &, size_t);
};
inline constexpr input_kind INPUT_KINDS[] = {
    {"random", random_bytes},
    {"text", text_like},
    {"runs", runs},
    {"high", high_bytes},
    {"long_distance", repeats_long_distance},
    {"short_distance", repeats_short_distance},
    {"adversarial", adversarial},
};
inline constexpr int INPUT_KIND_COUNT = static_cast<int>(sizeof INPUT_KINDS / sizeof *INPUT_KINDS);

// Random call sizes summing to n, empty calls included.
std::vector<size_t> random_splits(std::mt19937_64 &rng, size_t n, size_t max_call);

// The match table's hash of a little-endian word.
inline uint32_t slot_of(uint32_t word) { return (word * 0x8003Fu) >> 19; }
uint32_t word_at(const bytes &b, size_t pos);

// Feeds `data` through the three-way entry in the given call sizes and finishes the stream. When
// last_more_zero is set the last encode call passes more = 0.
bytes compress_stream(int format, int level, const bytes &data, const std::vector<size_t> &splits,
                      bool last_more_zero);

// Silesia file contents (from the zip archives in the corpus directory), or empty when absent.
std::string corpus_dir();
std::vector<std::string> corpus_files();  // archive paths, sorted; empty when the corpus is absent
bytes read_corpus_file(const std::string &zip_path, std::string &error);

}  // namespace kivtest
