// identity_check.cpp: the current engine against a frozen earlier build of it, call for call.
//
//   identity_check [--seconds N] [--min-calls N] [--no-corpus]
//
// Both engines run side by side on the same calls; after every call the returned count, the bytes written
// and the whole record (bit queue, state, checksum, input total, output cursor) must be equal. The inputs:
//   1. inputs built to sit on the edges of the match decisions: runs of 50 to 53 bytes >= 144 before copies
//      of 4 to 6 bytes, a unique word repeated at distances around 8192, 16384, 32768 and beyond 65536,
//      calls around the size where the table reset changes from sparse to full;
//   2. the Silesia files (when present): one call per file, 64 KiB calls, random calls up to 1 MiB and
//      random small calls, every format at levels 1 and 0;
//   3. generated data in random call sizes, until N seconds have passed and at least N calls were made.
// The frozen build comes from fuzz/frozen_engine.sh (namespace kiv_frozen); fuzz/identity.sh builds
// and runs this checker. Exit status 1 on the first difference, with what was being encoded.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "containers.h"
#include "frozen/containers.h"
#include "support.h"

namespace {

using kivtest::bytes;

constexpr int FORMATS[3] = {KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE};
const char *format_name(int f) { return f == KIV_FMT_GZIP ? "gzip" : f == KIV_FMT_ZLIB ? "zlib" : "raw"; }

// Output of the current engine goes to the end of a guarded region, so that a write past the bound
// faults; the frozen engine writes into a plain buffer.
class side_by_side {
public:
    explicit side_by_side(size_t largest_call)
        : region_(kiv_encode_bound(largest_call) + KIV_GZIP_HEADER_SIZE + KIV_FINISH_BOUND),
          frozen_out_(region_.size()) {}

    uint64_t calls = 0;
    uint64_t bytes_in = 0;

    // One stream over data in the given call sizes; the last call passes more = 0 when asked. `open_block`
    // starts a raw level-1 stream inside an open block with `queued` bits pending, as after earlier calls.
    bool run(const char *what, const bytes &data, const std::vector<size_t> &splits, int format, int level,
             bool last_more_zero, uint64_t queued = 0, uint32_t queued_count = 0) {
        kiv_encoder now;
        kiv_frozen::kiv_encoder old;
        std::memset(&now, 0, sizeof now);
        std::memset(&old, 0, sizeof old);
        kiv_stream_init(&now, level, format);
        kiv_frozen::kiv_stream_init(&old, level, format);
        if (queued_count != 0 && format == KIV_FMT_DEFLATE) {
            now.state = old.state = KIV_ST_BLOCK;
            now.bit_queue = old.bit_queue = queued;
            now.bit_count = old.bit_count = queued_count;
        }
        size_t pos = 0;
        for (size_t i = 0; i <= splits.size(); i++) {
            const bool finish = i == splits.size();
            const size_t n = finish ? 0 : splits[i];
            const int32_t more = (last_more_zero && i + 1 == splits.size()) ? 0 : 1;
            const size_t room = finish ? KIV_FINISH_BOUND
                                       : kiv_encode_bound(n) + static_cast<size_t>(kiv_stream_pending_header(&now));
            uint8_t *out = region_.data() + region_.size() - room;
            int32_t a, b;
            if (finish) {
                a = kiv_stream_finish(&now, out);
                b = kiv_frozen::kiv_stream_finish(&old, frozen_out_.data());
            } else {
                a = kiv_stream_encode(&now, out, data.data() + pos, static_cast<int32_t>(n), more);
                b = kiv_frozen::kiv_stream_encode(&old, frozen_out_.data(), data.data() + pos, static_cast<int32_t>(n),
                                                  more);
            }
            calls++;
            const char *diff = nullptr;
            if (a != b) diff = "returned count";
            else if (std::memcmp(out, frozen_out_.data(), static_cast<size_t>(a)) != 0) diff = "output bytes";
            else if (now.out_cursor - out != old.out_cursor - frozen_out_.data()) diff = "output cursor";
            else if (now.bit_queue != old.bit_queue || now.bit_count != old.bit_count) diff = "bit queue";
            else if (now.state != old.state) diff = "state";
            else if (now.checksum != old.checksum || now.input_total != old.input_total) diff = "checksum or total";
            if (diff != nullptr) {
                std::fprintf(stderr,
                             "DIFFERENT %s: %s, %s level %d, call %zu of %zu (%zu bytes at offset %zu, more %d)%s\n",
                             diff, what, format_name(format), level, i, splits.size(), n, pos, more,
                             finish ? " [finish]" : "");
                if (a == b)
                    for (int32_t k = 0; k < a; k++)
                        if (out[k] != frozen_out_[k]) {
                            std::fprintf(stderr, "  first differing byte %d of %d: %02x, frozen %02x\n", k, a, out[k],
                                         frozen_out_[k]);
                            break;
                        }
                return false;
            }
            pos += n;
            bytes_in += n;
        }
        return true;
    }

private:
    kivtest::guarded_region region_;
    bytes frozen_out_;
};

// Filler of bytes below 144: 8-bit literals, so that only the planted bytes bring 9-bit ones. It may repeat
// a word by chance; that only adds matches, which both engines must see alike.
bytes low_noise(std::mt19937_64 &rng, size_t n) {
    bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng() % 144);
    return b;
}

// Appends 12 bytes copied from 40 bytes back: a match that ends right here, so that what follows starts a
// fresh literal run (the quick acceptance of 4- and 5-byte matches looks at the run's length).
void end_with_match(bytes &b) {
    const size_t from = b.size() - 40;
    for (size_t k = 0; k < 12; k++) b.push_back(b[from + k]);
}

// Inputs on the edges of the match decisions (see the file comment). Each goes through every format, both
// levels, one call with more = 0 and 1, and a split at a random point.
std::vector<std::pair<std::string, bytes>> edge_inputs(std::mt19937_64 &rng) {
    std::vector<std::pair<std::string, bytes>> inputs;
    const uint8_t word[4] = {'Q', 'z', 'x', 'J'};
    // A run of high bytes right after a match and before a 4- to 7-byte copy, the copy's source near or far.
    for (uint32_t run = 48; run <= 55; run++)
        for (uint32_t copy = 4; copy <= 7; copy++)
            for (uint32_t distance_extra : {100u, 8000u, 8200u, 20000u}) {
                bytes b(word, word + 4);
                for (uint32_t k = 4; k < copy; k++) b.push_back(static_cast<uint8_t>('a' + k));
                bytes filler = low_noise(rng, distance_extra);
                b.insert(b.end(), filler.begin(), filler.end());
                end_with_match(b);
                for (uint32_t k = 0; k < run; k++) b.push_back(static_cast<uint8_t>(144 + rng() % 112));
                b.insert(b.end(), b.begin(), b.begin() + copy);
                b.push_back('#');  // ends the copy
                bytes tail = low_noise(rng, rng() % 80);
                b.insert(b.end(), tail.begin(), tail.end());
                inputs.emplace_back("high run " + std::to_string(run) + " copy " + std::to_string(copy) + " +" +
                                        std::to_string(distance_extra),
                                    b);
            }
    // A unique word repeated at a chosen distance, after a match and a few pending literals (low or high).
    for (uint32_t distance : {8191u, 8192u, 8193u, 16383u, 16384u, 16385u, 32766u, 32767u, 32768u, 32769u, 32770u,
                              65535u, 65536u, 65537u, 70000u})
        for (uint32_t copy = 4; copy <= 6; copy++)
            for (uint32_t pending : {0u, 5u, 51u, 52u, 53u})
                for (bool high : {false, true}) {
                    bytes b = low_noise(rng, distance + 64);
                    const size_t first = 16;
                    std::memcpy(b.data() + first, word, 4);
                    for (uint32_t k = 4; k < copy; k++) b[first + k] = static_cast<uint8_t>(200 + k);
                    const size_t second = first + distance;
                    b.resize(second - pending - 12);
                    end_with_match(b);
                    for (uint32_t k = 0; k < pending; k++)
                        b.push_back(static_cast<uint8_t>(high ? 144 + rng() % 112 : rng() % 144));
                    b.insert(b.end(), b.begin() + first, b.begin() + first + copy);
                    b.push_back('#');
                    inputs.emplace_back("distance " + std::to_string(distance) + " copy " + std::to_string(copy) +
                                            " pending " + std::to_string(pending) + (high ? " high" : " low"),
                                        b);
                }
    // Calls around the sizes where the table reset changes from sparse to full (1024 or 2048 positions,
    // by processor), after calls that leave other words in the slots.
    for (size_t n : {1020, 1021, 1022, 1023, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031, 1035, 2040, 2045,
                     2048, 2049, 2050, 2051, 2052, 2053, 2055, 2060}) {
        inputs.emplace_back("text of " + std::to_string(n), kivtest::text_like(rng, n));
        inputs.emplace_back("noise of " + std::to_string(n), kivtest::random_bytes(rng, n));
    }
    return inputs;
}

using generator = bytes (*)(std::mt19937_64 &, size_t);
struct kind {
    const char *name;
    generator make;
};
const kind KINDS[] = {{"random", kivtest::random_bytes},
                      {"text", kivtest::text_like},
                      {"runs", kivtest::runs},
                      {"high", kivtest::high_bytes},
                      {"far repeats", kivtest::repeats_long_distance},
                      {"near repeats", kivtest::repeats_short_distance},
                      {"adversarial", kivtest::adversarial}};

// A mixture of the generated kinds in one input: pieces of each, so that decisions cross kinds.
bytes mixture(std::mt19937_64 &rng, size_t n) {
    bytes b;
    while (b.size() < n) {
        const kind &k = KINDS[rng() % (sizeof KINDS / sizeof KINDS[0])];
        bytes piece = k.make(rng, std::min<size_t>(n - b.size(), 1 + rng() % 3000));
        b.insert(b.end(), piece.begin(), piece.end());
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = 20;
    uint64_t min_calls = 1000000;
    bool corpus = true;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--min-calls" && i + 1 < argc) min_calls = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--no-corpus") corpus = false;
        else {
            std::fprintf(stderr, "usage: identity_check [--seconds N] [--min-calls N] [--no-corpus]\n");
            return 2;
        }
    }
    std::mt19937_64 rng(20261210);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

    // 1. Edge inputs.
    {
        side_by_side run(1 << 18);
        size_t count = 0;
        for (const auto &[what, data] : edge_inputs(rng)) {
            const size_t cut = rng() % (data.size() + 1);
            for (int format : FORMATS)
                for (int level : {1, 0})
                    for (int shape = 0; shape < 3; shape++) {
                        std::vector<size_t> splits =
                            shape == 2 ? std::vector<size_t>{cut, data.size() - cut} : std::vector<size_t>{data.size()};
                        if (!run.run(what.c_str(), data, splits, format, level, shape == 1)) return 1;
                    }
            count++;
        }
        std::printf("edge inputs: %zu inputs, %llu calls, identical\n", count, static_cast<unsigned long long>(run.calls));
    }

    // 2. The corpus.
    if (corpus) {
        const auto files = kivtest::corpus_files();
        if (files.empty()) std::printf("corpus: none at %s, skipped\n", kivtest::corpus_dir().c_str());
        for (const std::string &path : files) {
            std::string err;
            const bytes data = kivtest::read_corpus_file(path, err);
            if (data.empty()) {
                std::fprintf(stderr, "corpus: %s: %s\n", path.c_str(), err.c_str());
                return 1;
            }
            side_by_side run(data.size());
            std::vector<std::pair<const char *, std::vector<size_t>>> shapes = {
                {"one call", {data.size()}},
                {"64 KiB calls", std::vector<size_t>(data.size() / 65536, 65536)},
                {"random calls up to 1 MiB", kivtest::random_splits(rng, data.size(), 1 << 20)},
                {"random calls up to 4 KiB", kivtest::random_splits(rng, data.size(), 4096)}};
            shapes[1].second.push_back(data.size() % 65536);
            for (const auto &[what, splits] : shapes)
                for (int format : FORMATS)
                    for (int level : {1, 0}) {
                        // The zlib format adds only its checksum to what gzip and raw check; skip its
                        // long shapes to save time.
                        if (format == KIV_FMT_ZLIB && splits.size() < 100) continue;
                        const std::string label = path.substr(path.find_last_of('/') + 1) + ", " + what;
                        if (!run.run(label.c_str(), data, splits, format, level, splits.size() == 1)) return 1;
                    }
            std::printf("corpus: %s identical (%llu calls)\n", path.substr(path.find_last_of('/') + 1).c_str(),
                        static_cast<unsigned long long>(run.calls));
        }
    }

    // 3. Generated data until the time and the call count are both reached.
    side_by_side run(1 << 17);
    uint64_t streams = 0;
    while (elapsed() < seconds || run.calls < min_calls) {
        const size_t kind_index = rng() % (sizeof KINDS / sizeof KINDS[0] + 1);
        const size_t size_class = rng() % 4;
        const size_t n = size_class == 0 ? rng() % 64 : size_class == 1 ? rng() % 600 : size_class == 2 ? rng() % 9000 : rng() % 131072;
        const bytes data = kind_index == sizeof KINDS / sizeof KINDS[0] ? mixture(rng, n) : KINDS[kind_index].make(rng, n);
        const size_t max_call = size_class == 3 ? 1 + rng() % 131072 : 1 + rng() % 5000;
        const std::vector<size_t> splits = kivtest::random_splits(rng, n, max_call);
        const int format = FORMATS[rng() % 3];
        const int level = rng() % 4 != 0 ? 1 : 0;
        const bool open = format == KIV_FMT_DEFLATE && level == 1 && rng() % 3 == 0;
        const uint32_t queued_count = open ? static_cast<uint32_t>(rng() % 32) : 0;
        const uint64_t queued = open ? rng() & ((uint64_t{1} << queued_count) - 1) : 0;
        const char *what = kind_index == sizeof KINDS / sizeof KINDS[0] ? "mixture" : KINDS[kind_index].name;
        if (!run.run(what, data, splits, format, level, rng() % 2 == 0, queued, queued_count)) return 1;
        streams++;
    }
    std::printf("generated: %llu streams, %llu calls, %.1f MB, identical\n", static_cast<unsigned long long>(streams),
                static_cast<unsigned long long>(run.calls), static_cast<double>(run.bytes_in) / 1e6);
    std::printf("identity check passed in %.0f s\n", elapsed());
    return 0;
}
