// ab_bench.cpp: the current engine against a frozen earlier build of it, interleaved in one process.
//
//   ab_bench [--rounds N] [--files a,b,...] [--kinds "gzip 4k,gzip 256"] [--profile old|new WORKLOAD]
//
// Workloads, level 1: raw and gzip streams over every Silesia file in one call and in 64 KiB calls, and
// gzip streams of 64 KiB, 4 KiB, 1536-byte and 256-byte calls over a sample of every file. Each round runs every workload
// once with each engine, the order of the two engines alternating from round to round; figures are
// medians over the rounds of thread CPU time, so the ratios hold on a machine shared with other work.
// Every output of the current engine is compared with the frozen one's, byte for byte.
//
// --profile runs one engine on one workload (e.g. "raw whole", "gzip 64k", "gzip 4k", "gzip 256")
// ROUNDS times and prints nothing else: a steady load for callgrind or perf.
//
// fuzz/frozen_engine.sh makes the frozen build (namespace kiv_frozen); bench/native/ab.sh builds and runs.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containers.h"
#include "frozen/containers.h"
#include "bench_util.h"
#include "support.h"

namespace {

using kivbench::median;
using kivbench::split_list;
using kivbench::thread_ns;
using kivtest::bytes;

struct workload {
    std::string name;  // e.g. "dickens raw whole"
    std::string kind;  // "raw whole", "raw 64k", "gzip whole", "gzip 64k", "gzip 4k", "gzip 256"
    const bytes *data;
    size_t chunk;  // call size; 0 for one call
    int format;
};

// One level-1 stream over `data` in calls of `chunk` bytes; returns the output size.
template <typename Encoder, typename Init, typename Encode, typename Finish>
size_t stream(const workload &w, uint8_t *out, Init init, Encode encode, Finish finish) {
    Encoder enc;
    std::memset(&enc, 0, sizeof enc);
    init(&enc, 1, w.format);
    const size_t n = w.data->size();
    const size_t chunk = w.chunk == 0 ? n : w.chunk;
    size_t o = 0;
    for (size_t pos = 0; pos < n; pos += chunk) {
        const size_t len = std::min(chunk, n - pos);
        o += static_cast<size_t>(encode(&enc, out + o, w.data->data() + pos, static_cast<int32_t>(len), 1));
    }
    o += static_cast<size_t>(finish(&enc, out + o));
    return o;
}

size_t run_new(const workload &w, uint8_t *out) {
    return stream<kiv_encoder>(w, out, kiv_stream_init, kiv_stream_encode, kiv_stream_finish);
}
size_t run_old(const workload &w, uint8_t *out) {
    return stream<kiv_frozen::kiv_encoder>(w, out, kiv_frozen::kiv_stream_init, kiv_frozen::kiv_stream_encode,
                                           kiv_frozen::kiv_stream_finish);
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 7;
    std::vector<std::string> only, only_kinds;
    std::string profile_engine, profile_kind;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else if (a == "--files" && i + 1 < argc) only = split_list(argv[++i]);
        else if (a == "--kinds" && i + 1 < argc) only_kinds = split_list(argv[++i]);
        else if (a == "--profile" && i + 2 < argc) {
            profile_engine = argv[++i];
            profile_kind = argv[++i];
        } else {
            std::fprintf(stderr, "usage: ab_bench [--rounds N] [--files a,b] [--kinds k,l] [--profile old|new WORKLOAD]\n");
            return 2;
        }
    }

    std::vector<std::pair<std::string, bytes>> files;
    for (const std::string &path : kivtest::corpus_files()) {
        std::string name = path.substr(path.find_last_of('/') + 1);
        name = name.substr(0, name.size() - 4);
        if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
        std::string err;
        files.emplace_back(name, kivtest::read_corpus_file(path, err));
        if (files.back().second.empty()) {
            std::fprintf(stderr, "ab_bench: %s: %s\n", path.c_str(), err.c_str());
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "ab_bench: no corpus at %s (set KIV_CORPUS_DIR)\n", kivtest::corpus_dir().c_str());
        return 1;
    }
    // The small-call sample: the first 4 MiB / 7 of every file, as the Python benchmark takes it.
    bytes sample_4k, sample_256;
    for (const auto &f : files) {
        sample_4k.insert(sample_4k.end(), f.second.begin(), f.second.begin() + std::min<size_t>(f.second.size(), (4 << 20) / files.size()));
        sample_256.insert(sample_256.end(), f.second.begin(), f.second.begin() + std::min<size_t>(f.second.size(), (1 << 20) / files.size()));
    }

    std::vector<workload> loads;
    for (const auto &f : files) {
        loads.push_back({f.first + " raw whole", "raw whole", &f.second, 0, KIV_FMT_DEFLATE});
        loads.push_back({f.first + " raw 64k", "raw 64k", &f.second, 65536, KIV_FMT_DEFLATE});
        loads.push_back({f.first + " gzip whole", "gzip whole", &f.second, 0, KIV_FMT_GZIP});
        loads.push_back({f.first + " gzip 64k", "gzip 64k", &f.second, 65536, KIV_FMT_GZIP});
    }
    loads.push_back({"sample gzip 64k", "sample gzip 64k", &sample_4k, 65536, KIV_FMT_GZIP});
    loads.push_back({"sample gzip 4k", "gzip 4k", &sample_4k, 4096, KIV_FMT_GZIP});
    loads.push_back({"sample gzip 1.5k", "gzip 1.5k", &sample_256, 1536, KIV_FMT_GZIP});
    loads.push_back({"sample gzip 256", "gzip 256", &sample_256, 256, KIV_FMT_GZIP});

    if (!only_kinds.empty())
        loads.erase(std::remove_if(loads.begin(), loads.end(),
                                   [&](const workload &w) {
                                       return std::find(only_kinds.begin(), only_kinds.end(), w.kind) == only_kinds.end();
                                   }),
                    loads.end());

    size_t largest = 0;
    for (const auto &f : files) largest = std::max(largest, f.second.size());
    std::vector<uint8_t> out_new(kiv_encode_bound(largest) + 64), out_old(out_new.size());

    if (!profile_engine.empty()) {
        size_t total = 0;
        for (int r = 0; r < rounds; r++)
            for (const workload &w : loads)
                if (w.kind == profile_kind)
                    total += profile_engine == "old" ? run_old(w, out_old.data()) : run_new(w, out_new.data());
        std::printf("%zu\n", total);
        return 0;
    }

    std::vector<std::vector<double>> t_new(loads.size()), t_old(loads.size());
    for (int r = 0; r < rounds; r++) {
        for (size_t i = 0; i < loads.size(); i++) {
            for (int turn = 0; turn < 2; turn++) {
                const bool is_new = (turn == 0) == (r % 2 == 0);
                const int64_t t0 = thread_ns();
                const size_t n = is_new ? run_new(loads[i], out_new.data()) : run_old(loads[i], out_old.data());
                const int64_t t1 = thread_ns();
                (is_new ? t_new : t_old)[i].push_back(static_cast<double>(t1 - t0) / 1e9);
                if (!is_new && r == 0) {
                    const size_t m = run_new(loads[i], out_new.data());
                    if (m != n || std::memcmp(out_new.data(), out_old.data(), n) != 0) {
                        std::fprintf(stderr, "ab_bench: %s: outputs differ\n", loads[i].name.c_str());
                        return 1;
                    }
                }
            }
        }
        std::fprintf(stderr, "round %d of %d\n", r + 1, rounds);
    }

    std::printf("%-24s %10s %10s %8s\n", "workload", "old MB/s", "new MB/s", "new/old");
    std::vector<std::string> kinds = {"raw whole", "raw 64k", "gzip whole", "gzip 64k"};
    for (const std::string &kind : kinds) {
        double sum_old = 0, sum_new = 0, in = 0;
        for (size_t i = 0; i < loads.size(); i++) {
            if (loads[i].kind != kind) continue;
            const double o = median(t_old[i]), n = median(t_new[i]);
            const double mb = static_cast<double>(loads[i].data->size()) / 1e6;
            std::printf("%-24s %10.0f %10.0f %8.3f\n", loads[i].name.c_str(), mb / o, mb / n, o / n);
            sum_old += o;
            sum_new += n;
            in += mb;
        }
        if (in == 0) continue;  // kind left out by --kinds
        std::printf("%-24s %10.0f %10.0f %8.3f\n\n", ("corpus " + kind).c_str(), in / sum_old, in / sum_new,
                    sum_old / sum_new);
    }
    for (size_t i = 0; i < loads.size(); i++) {
        if (loads[i].name.rfind("sample", 0) != 0) continue;  // the per-call table: sample workloads
        const double calls = static_cast<double>((loads[i].data->size() + loads[i].chunk - 1) / loads[i].chunk);
        const double o = median(t_old[i]), n = median(t_new[i]);
        std::printf("%-24s %7.3f us %7.3f us per call %8.3f\n", loads[i].name.c_str(), o / calls * 1e6,
                    n / calls * 1e6, o / n);
    }
    return 0;
}
