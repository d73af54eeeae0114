// join_bench.cpp: what joining detached pieces costs, against the work of encoding them.
//
//   kiv_join_bench [--rounds N] [--files a,b,...]
//
// Every Silesia file is cut into pieces of 1 MiB and of 64 KiB; each piece is encoded detached
// (kiv_detached_encode, gzip, with its CRC-32) into a region of its own, then all pieces of a file are
// joined in order onto one stream (kiv_detached_join). The joined streams are checked once against the
// serial stream of the same calls, byte for byte. Level 0 is timed twice: with the pieces encoded straight
// into their final places, as a parallel driver would (the join then only writes the header and carries
// the record on), and with pieces in regions of their own (the join copies them). The serial column is
// the same calls made on one stream by kiv_gzip_encode, for comparison with the detached encode. Each round runs every
// configuration once; figures are medians over the rounds of thread CPU time, so they hold on a machine
// shared with other work. The join's share is join time over encode time: the work one joining thread
// must keep up with while the others encode. The joins are timed twice: after all pieces of a file are
// encoded (their bytes mostly out of the cache: the dearest case), and one by one, each right after its
// piece (its bytes in the cache); beside them a plain memcpy of the pieces' bytes after encoding them all.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containers.h"
#include "detached.h"
#include "bench_util.h"
#include "support.h"

namespace {

using kivbench::median;
using kivbench::split_list;
using kivbench::thread_ns;
using kivtest::bytes;

struct input_file {
    std::string name;
    bytes data;
};

// One configuration: a level, a piece size, and whether level-0 pieces go straight to their final place.
struct config {
    int level;
    size_t piece;
    bool in_place;
    std::string name() const {
        return "level " + std::to_string(level) + ", " + (piece >= (1u << 20) ? std::to_string(piece >> 20) + " MiB"
                                                                             : std::to_string(piece >> 10) + " KiB") +
               (level == 0 ? (in_place ? ", in place" : ", copied") : "");
    }
};

// The pieces of one file and the buffers they live in, reused from round to round.
struct file_run {
    const input_file *file;
    std::vector<size_t> from, size, at;  // input offset, length, final offset (in place)
    std::vector<bytes> regions;           // one per piece, unless in place
    std::vector<kiv_detached_piece> pieces;
    bytes out;
};

void prepare(file_run &run, const input_file &f, const config &c) {
    run.file = &f;
    run.from.clear();
    run.size.clear();
    run.at.clear();
    size_t total_room = KIV_GZIP_HEADER_SIZE + KIV_FINISH_BOUND, at = KIV_GZIP_HEADER_SIZE;
    for (size_t pos = 0; pos < f.data.size(); pos += c.piece) {
        const size_t n = std::min(c.piece, f.data.size() - pos);
        run.from.push_back(pos);
        run.size.push_back(n);
        run.at.push_back(at);
        at += kiv_detached_stored_size(n);
        total_room += kiv_detached_bound(n) + KIV_DETACHED_JOIN_GROWTH;
    }
    run.pieces.assign(run.size.size(), kiv_detached_piece{});
    run.regions.clear();
    if (!c.in_place) {
        run.regions.resize(run.size.size());
        for (size_t i = 0; i < run.size.size(); i++) run.regions[i].assign(kiv_detached_bound(run.size[i]), 0);
    }
    run.out.assign(total_room, 0);
}

int64_t encode_all(file_run &run, const config &c) {
    const int64_t start = thread_ns();
    for (size_t i = 0; i < run.size.size(); i++) {
        uint8_t *region = c.in_place ? run.out.data() + run.at[i] : run.regions[i].data();
        kiv_detached_encode(&run.pieces[i], region, run.file->data.data() + run.from[i],
                            static_cast<int32_t>(run.size[i]), c.level, KIV_FMT_GZIP);
    }
    return thread_ns() - start;
}

// Joins every piece in order and finishes the stream; returns the time of the joins alone.
int64_t join_all(file_run &run, const config &c, size_t &written) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_gzip_init(&enc, c.level);
    size_t o = 0;
    const int64_t start = thread_ns();
    for (const kiv_detached_piece &p : run.pieces) o += static_cast<size_t>(kiv_detached_join(&enc, run.out.data() + o, &p));
    const int64_t spent = thread_ns() - start;
    o += static_cast<size_t>(kiv_gzip_finish(&enc, run.out.data() + o));
    written = o;
    return spent;
}

// The same pieces joined one by one, each right after its encoding, while its output is still in the
// cache (a driver's joiner takes each piece soon after a worker has written it); returns the join time.
int64_t encode_and_join_each(file_run &run, const config &c) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_gzip_init(&enc, c.level);
    size_t o = 0;
    int64_t spent = 0;
    for (size_t i = 0; i < run.size.size(); i++) {
        uint8_t *region = c.in_place ? run.out.data() + run.at[i] : run.regions[i].data();
        kiv_detached_encode(&run.pieces[i], region, run.file->data.data() + run.from[i],
                            static_cast<int32_t>(run.size[i]), c.level, KIV_FMT_GZIP);
        const int64_t start = thread_ns();
        o += static_cast<size_t>(kiv_detached_join(&enc, run.out.data() + o, &run.pieces[i]));
        spent += thread_ns() - start;
    }
    return spent;
}

// A plain copy of every piece's bytes to where the join puts them: the least a copying join can cost.
int64_t copy_all(file_run &run) {
    size_t o = KIV_GZIP_HEADER_SIZE;
    const int64_t start = thread_ns();
    for (const kiv_detached_piece &p : run.pieces) {
        std::memcpy(run.out.data() + o, p.out, static_cast<size_t>(p.written));
        o += static_cast<size_t>(p.written);
    }
    return thread_ns() - start;
}

// The same calls on one stream, the way one thread would make them; returns the time.
int64_t serial_stream(const input_file &f, const config &c, bytes &out, size_t &written) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_gzip_init(&enc, c.level);
    size_t o = 0;
    const int64_t start = thread_ns();
    for (size_t pos = 0; pos < f.data.size(); pos += c.piece) {
        const size_t n = std::min(c.piece, f.data.size() - pos);
        o += static_cast<size_t>(kiv_gzip_encode(&enc, out.data() + o, f.data.data() + pos, static_cast<int32_t>(n), 1));
    }
    const int64_t spent = thread_ns() - start;
    o += static_cast<size_t>(kiv_gzip_finish(&enc, out.data() + o));
    written = o;
    return spent;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 5;
    std::vector<std::string> only;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--files" && i + 1 < argc) {
            only = split_list(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: kiv_join_bench [--rounds N] [--files a,b,...]\n");
            return 2;
        }
    }
    std::vector<input_file> files;
    for (const std::string &path : kivtest::corpus_files()) {
        const size_t slash = path.find_last_of('/');
        std::string name = path.substr(slash + 1, path.size() - slash - 5);
        if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
        std::string err;
        bytes data = kivtest::read_corpus_file(path, err);
        if (data.empty()) {
            std::fprintf(stderr, "kiv_join_bench: %s: %s\n", path.c_str(), err.c_str());
            continue;
        }
        files.push_back({name, std::move(data)});
    }
    if (files.empty()) {
        std::fprintf(stderr, "kiv_join_bench: no corpus files in %s\n", kivtest::corpus_dir().c_str());
        return 1;
    }
    size_t total_in = 0;
    for (const input_file &f : files) total_in += f.data.size();

    const config configs[] = {{1, 1u << 20, false}, {1, 64u << 10, false}, {0, 1u << 20, true},
                              {0, 64u << 10, true}, {0, 1u << 20, false},  {0, 64u << 10, false}};
    const size_t config_count = std::size(configs);
    std::vector<std::vector<file_run>> runs(config_count, std::vector<file_run>(files.size()));
    for (size_t k = 0; k < config_count; k++)
        for (size_t j = 0; j < files.size(); j++) prepare(runs[k][j], files[j], configs[k]);

    size_t largest = 0;
    for (const input_file &f : files) largest = std::max(largest, f.data.size());
    bytes serial_out(kiv_encode_bound(largest) + (largest >> 16) * 16 + 64);
    std::vector<std::vector<double>> encode_ms(config_count), join_ms(config_count), warm_ms(config_count),
        copy_ms(config_count), serial_ms(config_count);
    std::vector<size_t> joined_bytes(config_count, 0);
    for (int r = 0; r < rounds; r++)
        for (size_t k = 0; k < config_count; k++) {
            int64_t enc = 0, join = 0, warm = 0, copy = 0, serial = 0;
            size_t out = 0;
            for (size_t j = 0; j < files.size(); j++) {
                file_run &run = runs[k][j];
                if (!configs[k].in_place) {
                    warm += encode_and_join_each(run, configs[k]);
                    encode_all(run, configs[k]);
                    copy += copy_all(run);
                }
                size_t serial_written = 0;
                serial += serial_stream(files[j], configs[k], serial_out, serial_written);
                enc += encode_all(run, configs[k]);
                size_t written = 0;
                join += join_all(run, configs[k], written);
                out += written;
                if (r == 0) {  // once: the joined stream is the serial one
                    if (serial_written != written || std::memcmp(serial_out.data(), run.out.data(), written) != 0) {
                        std::fprintf(stderr, "kiv_join_bench: JOINED STREAM DIFFERS %s, %s\n", configs[k].name().c_str(),
                                     files[j].name.c_str());
                        return 1;
                    }
                }
            }
            encode_ms[k].push_back(enc / 1e6);
            join_ms[k].push_back(join / 1e6);
            warm_ms[k].push_back(warm / 1e6);
            copy_ms[k].push_back(copy / 1e6);
            serial_ms[k].push_back(serial / 1e6);
            joined_bytes[k] = out;
        }

    std::printf("Silesia, %zu files, %.1f MB; gzip; %d rounds, medians of thread CPU time\n\n", files.size(),
                total_in / 1e6, rounds);
    std::printf("| configuration | pieces | serial ms | encode ms | encode MB/s | join ms | join / encode | joined one "
                "by one ms | / encode | memcpy of the pieces ms | ratio |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (size_t k = 0; k < config_count; k++) {
        size_t pieces = 0;
        for (const file_run &run : runs[k]) pieces += run.pieces.size();
        const double e = median(encode_ms[k]), jn = median(join_ms[k]);
        std::printf("| %s | %zu | %.1f | %.1f | %.0f | %.2f | %.2f %% |", configs[k].name().c_str(), pieces,
                    median(serial_ms[k]), e, total_in / 1e3 / e, jn, 100.0 * jn / e);
        if (configs[k].in_place) {
            std::printf(" | | |");
        } else {
            const double w = median(warm_ms[k]);
            std::printf(" %.2f | %.2f %% | %.2f |", w, 100.0 * w / e, median(copy_ms[k]));
        }
        std::printf(" %.3f |\n", static_cast<double>(total_in) / joined_bytes[k]);
    }
    return 0;
}
