// kiv_bench: throughput and ratio of the kiv engine against the system zlib on the Silesia files.
//
//   kiv_bench [CORPUS_DIR] [--rounds N] [--profile CONFIG]
//
// CORPUS_DIR holds the Silesia *.zip files (one file each); they are unpacked in memory through
// `unzip -p`. Every configuration runs once per round on every file, rounds interleave the
// configurations, and the figures are medians over the rounds of thread CPU time. MB is 10^6 bytes;
// ratio is input size over output size. Every kiv output is inflated once by zlib and compared with
// the input (length, bytes and CRC-32), and kiv's checksums are compared with zlib's.
//
// --profile CONFIG runs only that configuration, ROUNDS times over the corpus, and prints its total:
// a steady load for perf or callgrind.

#include <zlib.h>

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "block_encoder.h"
#include "checksums.h"
#include "containers.h"
#include "encoder_state.h"

#ifndef KIV_DEFAULT_CORPUS
#define KIV_DEFAULT_CORPUS "../shared/corpus/silesia"
#endif

namespace {

using kivbench::median;
using kivbench::thread_ns;

constexpr size_t CHUNK = 64 * 1024;

struct input_file {
    std::string name;
    std::vector<uint8_t> data;
};

std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Unpacks the (single) member of a zip file through `unzip -p`.
bool read_zip(const std::string &path, std::vector<uint8_t> &out) {
    std::string cmd = "unzip -p " + shell_quote(path);
    FILE *pipe = popen(cmd.c_str(), "r");
    if (!pipe) return false;
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.insert(out.end(), buffer, buffer + got);
    int status = pclose(pipe);
    return status == 0 && !out.empty();
}

std::vector<input_file> load_corpus(const std::string &dir) {
    std::vector<input_file> files;
    DIR *d = opendir(dir.c_str());
    if (!d) return files;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".zip") == 0) names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        input_file f;
        f.name = n.substr(0, n.size() - 4);
        if (!read_zip(dir + "/" + n, f.data)) {
            std::fprintf(stderr, "kiv_bench: could not unpack %s/%s (is `unzip` installed?)\n", dir.c_str(), n.c_str());
            continue;
        }
        if (f.data.size() > 0x7FFFFFFF) {
            std::fprintf(stderr, "kiv_bench: %s is larger than one call may take; skipped\n", n.c_str());
            continue;
        }
        files.push_back(std::move(f));
    }
    return files;
}

// ---- the measured operations; each returns the number of output bytes ----

size_t kiv_stream(const uint8_t *in, size_t n, uint8_t *out, int level, int format, size_t chunk) {
    kiv_encoder enc;
    kiv_stream_init(&enc, level, format);
    size_t o = 0;
    for (size_t pos = 0; pos < n; pos += chunk) {
        size_t len = std::min(chunk, n - pos);
        o += static_cast<size_t>(kiv_stream_encode(&enc, out + o, in + pos, static_cast<int32_t>(len), 1));
    }
    o += static_cast<size_t>(kiv_stream_finish(&enc, out + o));
    return o;
}

// The block encoder alone: a raw DEFLATE stream, no checksum.
size_t kiv_raw(const uint8_t *in, size_t n, uint8_t *out, int level) {
    kiv_encoder enc;
    kiv_deflate_init(&enc, level);
    size_t o = static_cast<size_t>(kiv_deflate_encode(&enc, out, in, static_cast<int32_t>(n), 1));
    o += static_cast<size_t>(kiv_deflate_finish(&enc, out + o));
    return o;
}

size_t zlib_gzip(const uint8_t *in, size_t n, uint8_t *out, size_t out_size, int level, size_t chunk) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(out_size);
    for (size_t pos = 0; pos < n; pos += chunk) {
        size_t len = std::min(chunk, n - pos);
        zs.next_in = const_cast<Bytef *>(in + pos);
        zs.avail_in = static_cast<uInt>(len);
        if (deflate(&zs, Z_NO_FLUSH) != Z_OK || zs.avail_in != 0) std::abort();
    }
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    size_t o = zs.total_out;
    deflateEnd(&zs);
    return o;
}

// Inflates a kiv stream with zlib and compares it with the input.
bool verify(const char *what, const input_file &f, const uint8_t *comp, size_t comp_len, int window_bits) {
    std::vector<uint8_t> back(f.data.size() + 1);
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, window_bits) != Z_OK) return false;
    zs.next_in = const_cast<Bytef *>(comp);
    zs.avail_in = static_cast<uInt>(comp_len);
    zs.next_out = back.data();
    zs.avail_out = static_cast<uInt>(back.size());
    int rc = inflate(&zs, Z_FINISH);
    size_t got = zs.total_out;
    size_t unused = zs.avail_in;
    inflateEnd(&zs);
    bool ok = rc == Z_STREAM_END && unused == 0 && got == f.data.size() &&
              std::memcmp(back.data(), f.data.data(), got) == 0;
    if (ok && window_bits > 15) {  // gzip: the trailer's CRC-32 and length
        uLong crc = crc32(0, f.data.data(), static_cast<uInt>(f.data.size()));
        uint32_t stored_crc, stored_len;
        std::memcpy(&stored_crc, comp + comp_len - 8, 4);
        std::memcpy(&stored_len, comp + comp_len - 4, 4);
        ok = stored_crc == crc && stored_len == static_cast<uint32_t>(f.data.size());
    }
    if (!ok)
        std::fprintf(stderr, "kiv_bench: VERIFY FAILED %s on %s (inflate rc %d, %zu of %zu bytes)\n", what,
                     f.name.c_str(), rc, got, f.data.size());
    return ok;
}

// ---- configurations ----

enum kind { COMPRESSOR, CHECKSUM };

struct config {
    const char *name;
    kind what;
    int verify_bits;  // 0: no check; 31 gzip; -15 raw
    std::function<size_t(const input_file &, std::vector<uint8_t> &)> run;
};

std::vector<config> make_configs() {
    auto kiv = [](int level, size_t chunk) {
        return [=](const input_file &f, std::vector<uint8_t> &out) {
            return kiv_stream(f.data.data(), f.data.size(), out.data(), level, KIV_FMT_GZIP, chunk);
        };
    };
    auto zl = [](int level, size_t chunk) {
        return [=](const input_file &f, std::vector<uint8_t> &out) {
            return zlib_gzip(f.data.data(), f.data.size(), out.data(), out.size(), level, chunk);
        };
    };
    return {
        {"zlib-1", COMPRESSOR, 0, zl(1, SIZE_MAX)},
        {"kiv-1", COMPRESSOR, 31, kiv(1, SIZE_MAX)},
        {"kiv-0", COMPRESSOR, 31, kiv(0, SIZE_MAX)},
        {"zlib-1/64K", COMPRESSOR, 0, zl(1, CHUNK)},
        {"kiv-1/64K", COMPRESSOR, 31, kiv(1, CHUNK)},
        {"kiv-0/64K", COMPRESSOR, 31, kiv(0, CHUNK)},
        {"raw-1", COMPRESSOR, -15,
         [](const input_file &f, std::vector<uint8_t> &out) { return kiv_raw(f.data.data(), f.data.size(), out.data(), 1); }},
        {"crc32-kiv", CHECKSUM, 0,
         [](const input_file &f, std::vector<uint8_t> &out) {
             uint32_t c = kiv_crc32_update(0, f.data.data(), static_cast<int32_t>(f.data.size()));
             std::memcpy(out.data(), &c, 4);
             return size_t{4};
         }},
        {"adler32-kiv", CHECKSUM, 0,
         [](const input_file &f, std::vector<uint8_t> &out) {
             uint32_t c = kiv_adler32_update(1, f.data.data(), static_cast<uint32_t>(f.data.size()));
             std::memcpy(out.data(), &c, 4);
             return size_t{4};
         }},
        {"adler32-zlib", CHECKSUM, 0,
         [](const input_file &f, std::vector<uint8_t> &out) {
             uint32_t c = static_cast<uint32_t>(adler32(1, f.data.data(), static_cast<uInt>(f.data.size())));
             std::memcpy(out.data(), &c, 4);
             return size_t{4};
         }},
        {"crc32-zlib", CHECKSUM, 0,
         [](const input_file &f, std::vector<uint8_t> &out) {
             uint32_t c = static_cast<uint32_t>(crc32(0, f.data.data(), static_cast<uInt>(f.data.size())));
             std::memcpy(out.data(), &c, 4);
             return size_t{4};
         }},
    };
}

// Room for any configuration's output: kiv's per-call bound in 64 KiB calls, zlib's bound, header and finish.
size_t output_room(size_t n) {
    size_t calls = n / CHUNK + 1;
    size_t kiv = n + n / 8 + 6 * calls + KIV_GZIP_HEADER_SIZE + KIV_FINISH_BOUND;
    size_t zl = compressBound(static_cast<uLong>(n)) + 64 + 5 * calls;
    return std::max(kiv, zl) + 64;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

void usage() {
    std::fprintf(stderr, "usage: kiv_bench [CORPUS_DIR] [--rounds N] [--profile CONFIG]\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::string dir = KIV_DEFAULT_CORPUS;
    int rounds = 5;
    std::string profile;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--profile" && i + 1 < argc) profile = argv[++i];
        else if (a == "-h" || a == "--help") { usage(); return 0; }
        else if (!a.empty() && a[0] != '-') dir = a;
        else { usage(); return 2; }
    }

    std::vector<input_file> files = load_corpus(dir);
    if (files.empty()) {
        std::printf("kiv_bench: no corpus files (*.zip) found in %s; nothing to measure, skipped.\n", dir.c_str());
        return 0;
    }
    std::vector<config> configs = make_configs();
    const size_t nf = files.size(), nc = configs.size();

    std::vector<std::vector<uint8_t>> outputs(nf);
    for (size_t f = 0; f < nf; f++) outputs[f].assign(output_room(files[f].data.size()), 0);  // touch pages now

    if (!profile.empty()) {
        auto it = std::find_if(configs.begin(), configs.end(), [&](const config &c) { return profile == c.name; });
        if (it == configs.end()) {
            std::fprintf(stderr, "kiv_bench: unknown configuration %s; one of:", profile.c_str());
            for (const config &c : configs) std::fprintf(stderr, " %s", c.name);
            std::fprintf(stderr, "\n");
            return 2;
        }
        size_t total_in = 0;
        int64_t t0 = thread_ns();
        for (int r = 0; r < rounds; r++)
            for (size_t f = 0; f < nf; f++) {
                it->run(files[f], outputs[f]);
                total_in += files[f].data.size();
            }
        double s = (thread_ns() - t0) / 1e9;
        std::printf("%s: %d rounds, %.1f MB in %.3f s CPU, %.1f MB/s\n", it->name, rounds, total_in / 1e6, s,
                    total_in / 1e6 / s);
        return 0;
    }

    // Verification first, once per kiv output and file.
    bool all_ok = true;
    for (size_t f = 0; f < nf; f++) {
        uint32_t kc = kiv_crc32_update(0, files[f].data.data(), static_cast<int32_t>(files[f].data.size()));
        uint32_t zc = static_cast<uint32_t>(crc32(0, files[f].data.data(), static_cast<uInt>(files[f].data.size())));
        uint32_t ka = kiv_adler32_update(1, files[f].data.data(), static_cast<uint32_t>(files[f].data.size()));
        uint32_t za = static_cast<uint32_t>(adler32(1, files[f].data.data(), static_cast<uInt>(files[f].data.size())));
        if (ka != za) {
            std::fprintf(stderr, "kiv_bench: VERIFY FAILED adler32 on %s\n", files[f].name.c_str());
            all_ok = false;
        }
        if (kc != zc) {
            std::fprintf(stderr, "kiv_bench: VERIFY FAILED crc32 on %s\n", files[f].name.c_str());
            all_ok = false;
        }
        for (const config &c : configs) {
            if (!c.verify_bits) continue;
            size_t len = c.run(files[f], outputs[f]);
            all_ok &= verify(c.name, files[f], outputs[f].data(), len, c.verify_bits);
        }
    }

    // times[c][f][r] in seconds, sizes[c][f] output bytes.
    std::vector<std::vector<std::vector<double>>> times(nc, std::vector<std::vector<double>>(nf));
    std::vector<std::vector<size_t>> sizes(nc, std::vector<size_t>(nf));
    for (int r = 0; r < rounds; r++)
        for (size_t f = 0; f < nf; f++)
            for (size_t c = 0; c < nc; c++) {
                int64_t t0 = thread_ns();
                size_t len = configs[c].run(files[f], outputs[f]);
                int64_t t1 = thread_ns();
                times[c][f].push_back((t1 - t0) / 1e9);
                sizes[c][f] = len;
            }

    size_t total_in = 0;
    for (const input_file &f : files) total_in += f.data.size();
    // Corpus figures: the median over rounds of each round's total time.
    std::vector<double> corpus_time(nc);
    std::vector<double> corpus_min(nc), corpus_max(nc);
    std::vector<size_t> corpus_out(nc, 0);
    for (size_t c = 0; c < nc; c++) {
        std::vector<double> per_round(rounds, 0.0);
        for (size_t f = 0; f < nf; f++) {
            for (int r = 0; r < rounds; r++) per_round[r] += times[c][f][r];
            corpus_out[c] += sizes[c][f];
        }
        corpus_time[c] = median(per_round);
        corpus_min[c] = *std::min_element(per_round.begin(), per_round.end());
        corpus_max[c] = *std::max_element(per_round.begin(), per_round.end());
    }

    auto idx = [&](const char *name) {
        for (size_t c = 0; c < nc; c++)
            if (std::strcmp(configs[c].name, name) == 0) return c;
        std::abort();
    };
    auto mbs = [&](size_t c, size_t f) {  // f == nf: corpus
        if (f == nf) return total_in / 1e6 / corpus_time[c];
        return files[f].data.size() / 1e6 / median(times[c][f]);
    };
    auto ratio = [&](size_t c, size_t f) {
        if (f == nf) return static_cast<double>(total_in) / corpus_out[c];
        return static_cast<double>(files[f].data.size()) / sizes[c][f];
    };

    std::printf("kiv_bench: %zu files, %.1f MB, %d rounds, median thread CPU time; MB = 10^6 bytes, ratio = in/out\n",
                nf, total_in / 1e6, rounds);
    std::printf("CPU: %s; compiler: %s; zlib %s; corpus %s\n\n", cpu_model().c_str(), __VERSION__, zlibVersion(),
                dir.c_str());

    const char *groups[2][4] = {{"zlib-1", "kiv-1", "kiv-0", "whole file in one call"},
                                {"zlib-1/64K", "kiv-1/64K", "kiv-0/64K", "64 KiB calls"}};
    for (auto &g : groups) {
        size_t z = idx(g[0]), k1 = idx(g[1]), k0 = idx(g[2]);
        std::printf("gzip, %s\n", g[3]);
        std::printf("| file | MB | zlib-1 MB/s | zlib-1 ratio | kiv-1 MB/s | kiv-1 ratio | x zlib-1 | kiv-0 MB/s | kiv-0 ratio |\n");
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (size_t f = 0; f <= nf; f++) {
            double in_mb = (f == nf ? total_in : files[f].data.size()) / 1e6;
            std::printf("| %s | %.1f | %.0f | %.3f | %.0f | %.3f | %.2f | %.0f | %.4f |\n",
                        f == nf ? "**corpus**" : files[f].name.c_str(), in_mb, mbs(z, f), ratio(z, f), mbs(k1, f),
                        ratio(k1, f), mbs(k1, f) / mbs(z, f), mbs(k0, f), ratio(k0, f));
        }
        std::printf("\n");
    }

    size_t raw = idx("raw-1"), ck = idx("crc32-kiv"), cz = idx("crc32-zlib"), k1 = idx("kiv-1");
    size_t ak = idx("adler32-kiv"), az = idx("adler32-zlib");
    std::printf("parts of kiv gzip level 1 (whole file): encoder without checksum (raw DEFLATE) and the checksums alone\n");
    std::printf("| file | raw-1 MB/s | raw-1 ratio | kiv-1 gzip MB/s | crc32 kiv MB/s | crc32 zlib MB/s | adler32 kiv MB/s | adler32 zlib MB/s |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (size_t f = 0; f <= nf; f++)
        std::printf("| %s | %.0f | %.3f | %.0f | %.0f | %.0f | %.0f | %.0f |\n", f == nf ? "**corpus**" : files[f].name.c_str(),
                    mbs(raw, f), ratio(raw, f), mbs(k1, f), mbs(ck, f), mbs(cz, f), mbs(ak, f), mbs(az, f));
    std::printf("\n");

    std::printf("corpus spread over rounds (MB/s, slowest .. fastest round)\n");
    for (size_t c = 0; c < nc; c++)
        std::printf("  %-11s %7.0f .. %-7.0f median %.0f\n", configs[c].name, total_in / 1e6 / corpus_max[c],
                    total_in / 1e6 / corpus_min[c], mbs(c, nf));
    std::printf("\nverification (zlib inflate of every kiv output, length, bytes, CRC-32): %s\n",
                all_ok ? "all passed" : "FAILED");
    return all_ok ? 0 : 1;
}
