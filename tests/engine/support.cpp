// support.cpp: test-side DEFLATE reader, zlib decoding, guarded regions, input generators.
#include "support.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "containers.h"

namespace kivtest {

bytes from_string(const std::string &s) { return bytes(s.begin(), s.end()); }

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

bytes from_hex(const std::string &s) {
    bytes out;
    std::istringstream in(s);
    std::string tok;
    while (in >> tok) out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

void append_bytes(bits &out, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        for (int j = 0; j < 8; j++) out.push_back((p[i] >> j) & 1);
}

void append_value(bits &out, uint64_t value, unsigned nbits) {
    for (unsigned i = 0; i < nbits; i++) out.push_back((value >> i) & 1);
}

bits bits_from_string(const std::string &s) {
    bits b;
    for (char c : s)
        if (c == '0' || c == '1') b.push_back(c == '1');
    return b;
}

std::string bits_to_string(const bits &b) {
    std::string s;
    for (uint8_t x : b) s += x ? '1' : '0';
    return s;
}

bits stream_bits(const uint8_t *written, size_t n, const kiv_encoder &enc) {
    bits b;
    append_bytes(b, written, n);
    append_value(b, enc.bit_queue, enc.bit_count);
    return b;
}

namespace {

// RFC 1951, 3.2.5: length symbols 257..285 and distance symbols 0..29.
const int LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct reader {
    const bits &b;
    size_t pos = 0;
    bool short_read = false;
    size_t left() const { return b.size() - pos; }
    uint32_t lsb(unsigned n) {  // n bits, first bit lowest
        uint32_t v = 0;
        for (unsigned i = 0; i < n; i++) {
            if (pos >= b.size()) {
                short_read = true;
                return 0;
            }
            v |= static_cast<uint32_t>(b[pos++]) << i;
        }
        return v;
    }
    uint32_t msb(unsigned n) {  // Huffman code bits, first bit highest
        uint32_t v = 0;
        for (unsigned i = 0; i < n; i++) {
            if (pos >= b.size()) {
                short_read = true;
                return 0;
            }
            v = (v << 1) | b[pos++];
        }
        return v;
    }
};

// Fixed literal/length code (RFC 1951, 3.2.6), read one bit at a time.
int read_fixed_symbol(reader &r) {
    uint32_t c = r.msb(7);
    if (r.short_read) return -1;
    if (c <= 0x17) return 256 + static_cast<int>(c);
    c = (c << 1) | r.msb(1);
    if (r.short_read) return -1;
    if (c >= 0x30 && c <= 0xBF) return static_cast<int>(c - 0x30);
    if (c >= 0xC0 && c <= 0xC7) return 280 + static_cast<int>(c - 0xC0);
    c = (c << 1) | r.msb(1);
    if (r.short_read) return -1;
    return 144 + static_cast<int>(c - 0x190);
}

}  // namespace

parsed_stream parse_deflate(const bits &b) {
    parsed_stream p;
    reader r{b};
    char tok[32];
    while (r.left() > 0) {
        uint32_t final_bit = r.lsb(1);
        uint32_t type = r.lsb(2);
        if (r.short_read) {
            p.error = "bits end inside a block header";
            break;
        }
        if (type == 0) {
            r.pos = (r.pos + 7) & ~static_cast<size_t>(7);
            if (r.pos > b.size()) {
                p.error = "bits end inside stored padding";
                break;
            }
            uint32_t len = r.lsb(16), nlen = r.lsb(16);
            if (r.short_read) {
                p.error = "bits end inside LEN/NLEN";
                break;
            }
            if ((len ^ 0xFFFF) != nlen) {
                p.error = "NLEN is not the complement of LEN";
                break;
            }
            std::snprintf(tok, sizeof tok, "S%u:%u", final_bit, len);
            p.events.push_back(tok);
            for (uint32_t i = 0; i < len; i++) p.output.push_back(static_cast<uint8_t>(r.lsb(8)));
            if (r.short_read) {
                p.error = "bits end inside stored data";
                break;
            }
        } else if (type == 1) {
            p.events.push_back(final_bit ? "F1" : "F0");
            bool ended = false;
            while (r.left() > 0) {
                int sym = read_fixed_symbol(r);
                if (sym < 0) {
                    p.error = "bits end inside a code";
                    break;
                }
                if (sym < 256) {
                    std::snprintf(tok, sizeof tok, "L%02X", sym);
                    p.events.push_back(tok);
                    p.output.push_back(static_cast<uint8_t>(sym));
                } else if (sym == 256) {
                    p.events.push_back("E");
                    ended = true;
                    break;
                } else if (sym <= 285) {
                    int li = sym - 257;
                    int len = LEN_BASE[li] + static_cast<int>(r.lsb(LEN_EXTRA[li]));
                    int dsym = static_cast<int>(r.msb(5));
                    if (r.short_read) {
                        p.error = "bits end inside a match";
                        break;
                    }
                    if (dsym >= 30) {
                        p.error = "distance symbol 30/31";
                        break;
                    }
                    int dist = DIST_BASE[dsym] + static_cast<int>(r.lsb(DIST_EXTRA[dsym]));
                    if (r.short_read) {
                        p.error = "bits end inside a distance";
                        break;
                    }
                    if (dist > 32768 || static_cast<size_t>(dist) > p.output.size()) {
                        p.error = "distance " + std::to_string(dist) + " beyond the output";
                        break;
                    }
                    std::snprintf(tok, sizeof tok, "M%d/%d", len, dist);
                    p.events.push_back(tok);
                    for (int i = 0; i < len; i++) p.output.push_back(p.output[p.output.size() - dist]);
                } else {
                    p.error = "literal/length symbol 286/287";
                    break;
                }
            }
            if (!p.error.empty()) break;
            if (!ended) break;  // open block: the bits ran out between codes
        } else {
            p.error = "block type " + std::to_string(type);
            break;
        }
        if (final_bit) {
            p.complete = true;
            break;
        }
    }
    p.bits_used = r.pos;
    return p;
}

parsed_stream parse_deflate_bytes(const bytes &b) {
    bits x;
    append_bytes(x, b.data(), b.size());
    return parse_deflate(x);
}

std::string join(const std::vector<std::string> &events) {
    std::string s;
    for (const auto &e : events) {
        if (!s.empty()) s += ' ';
        s += e;
    }
    return s;
}

bool zlib_inflate(const bytes &in, int window_bits, bytes &out, std::string &error) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, window_bits) != Z_OK) {
        error = "inflateInit2 failed";
        return false;
    }
    out.clear();
    zs.next_in = const_cast<Bytef *>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    uint8_t buf[65536];
    int rc;
    do {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
        if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;
    } while (rc == Z_OK);
    bool ok = rc == Z_STREAM_END && zs.avail_in == 0;
    if (!ok) {
        error = "inflate returned " + std::to_string(rc) + (zs.msg ? std::string(" (") + zs.msg + ")" : "") +
                ", " + std::to_string(zs.avail_in) + " input bytes left";
    }
    inflateEnd(&zs);
    return ok;
}

guarded_region::guarded_region(size_t size) : size_(size) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t body = (size + page - 1) / page * page;
    map_size_ = body + page;
    void *m = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
    map_ = static_cast<uint8_t *>(m);
    if (mprotect(map_ + body, page, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
    start_ = map_ + body - size;
}

guarded_region::~guarded_region() { munmap(map_, map_size_); }

bytes random_bytes(std::mt19937_64 &rng, size_t n) {
    bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

bytes text_like(std::mt19937_64 &rng, size_t n) {
    static const char *words[] = {"the ",   "of ",      "and ",   "compress ", "stream ", "block ",
                                  "window", "literal ", "match ", "\n",        "Huffman ", "data, ",
                                  "a ",     "to ",      "in ",    "distance ", "length ", "is "};
    bytes b;
    while (b.size() < n) {
        const char *w = words[rng() % (sizeof words / sizeof *words)];
        for (const char *c = w; *c && b.size() < n; c++) b.push_back(static_cast<uint8_t>(*c));
        if (rng() % 23 == 0 && b.size() < n) b.push_back(static_cast<uint8_t>('A' + rng() % 26));
    }
    return b;
}

bytes runs(std::mt19937_64 &rng, size_t n) {
    bytes b;
    while (b.size() < n) {
        uint8_t v = static_cast<uint8_t>(rng());
        size_t len = 1 + rng() % 700;
        for (size_t i = 0; i < len && b.size() < n; i++) b.push_back(v);
    }
    return b;
}

bytes high_bytes(std::mt19937_64 &rng, size_t n) {
    bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(144 + rng() % 112);
    return b;
}

bytes repeats_long_distance(std::mt19937_64 &rng, size_t n) {
    // Random pieces, each copied again from 16 KiB to just under 40 KiB back (some beyond the window).
    bytes b = random_bytes(rng, std::min<size_t>(n, 40000));
    while (b.size() < n) {
        size_t dist = 16384 + rng() % 24000;
        size_t len = 4 + rng() % 300;
        if (dist > b.size()) dist = b.size();
        size_t from = b.size() - dist;
        for (size_t i = 0; i < len && b.size() < n; i++) b.push_back(b[from + i]);
        size_t noise = rng() % 40;
        for (size_t i = 0; i < noise && b.size() < n; i++) b.push_back(static_cast<uint8_t>(rng()));
    }
    b.resize(n);
    return b;
}

bytes repeats_short_distance(std::mt19937_64 &rng, size_t n) {
    bytes b;
    while (b.size() < n) {
        size_t dist = 1 + rng() % 64;
        size_t len = 3 + rng() % 40;
        if (b.size() < dist) {
            b.push_back(static_cast<uint8_t>(rng()));
            continue;
        }
        size_t from = b.size() - dist;
        for (size_t i = 0; i < len && b.size() < n; i++) b.push_back(b[from + i]);
        if (b.size() < n) b.push_back(static_cast<uint8_t>(rng()));
    }
    return b;
}

bytes adversarial(std::mt19937_64 &rng, size_t n) {
    // Unit: 51 random bytes of 144..255, then a 4-byte marker of low bytes that matches the previous
    // unit's marker at distance 55. The byte after a marker (the next unit's first) always differs from the
    // one after the previous marker, so every match is exactly 4 bytes. The last high byte before the marker
    // never repeats within a phase of 100 units and each phase has its own marker, so no word that straddles
    // a run and its marker was seen before (that would start a 5-byte match one byte early). A phase opens
    // with its marker alone, so that the first unit's marker is already a match.
    bytes b;
    uint8_t prev_first = 0;
    for (uint32_t phase = 0; b.size() < n; phase++) {
        const uint8_t marker[4] = {'k', static_cast<uint8_t>('a' + phase % 26), static_cast<uint8_t>('a' + phase / 26 % 26),
                                   static_cast<uint8_t>('0' + phase / 676 % 10)};
        b.insert(b.end(), marker, marker + 4);
        bool used[112] = {};  // last high bytes already taken in this phase
        const uint32_t marker_slot = slot_of(marker[0] | marker[1] << 8 | marker[2] << 16 | marker[3] << 24);
        for (int u = 0; u < 100 && b.size() < n; u++) {
            // Redraw the unit while any word from its start to its marker would replace the marker's slot.
            const size_t start = b.size();
            const uint8_t before = prev_first;
            for (bool clash = true; clash;) {
                b.resize(start);
                uint8_t first;
                do first = static_cast<uint8_t>(144 + rng() % 112);
                while (first == before);
                b.push_back(first);
                for (int i = 1; i < 50; i++) b.push_back(static_cast<uint8_t>(144 + rng() % 112));
                uint32_t last;
                do last = static_cast<uint32_t>(rng() % 112);
                while (used[last]);
                b.push_back(static_cast<uint8_t>(144 + last));
                b.insert(b.end(), marker, marker + 4);
                clash = false;
                for (size_t p = start; p < start + 51; p++) clash |= slot_of(word_at(b, p)) == marker_slot;
                if (!clash) {
                    used[last] = true;
                    prev_first = first;
                }
            }
        }
    }
    b.resize(n);
    return b;
}

std::vector<size_t> random_splits(std::mt19937_64 &rng, size_t n, size_t max_call) {
    std::vector<size_t> s;
    size_t left = n;
    while (left > 0) {
        size_t c;
        switch (rng() % 6) {
        case 0: c = 0; break;
        case 1: c = rng() % 8; break;
        default: c = rng() % (max_call + 1); break;
        }
        c = std::min(c, left);
        s.push_back(c);
        left -= c;
    }
    if (rng() % 2) s.push_back(0);
    return s;
}

uint32_t word_at(const bytes &b, size_t pos) {
    return b[pos] | (b[pos + 1] << 8) | (b[pos + 2] << 16) | (static_cast<uint32_t>(b[pos + 3]) << 24);
}

bytes compress_stream(int format, int level, const bytes &data, const std::vector<size_t> &splits,
                      bool last_more_zero) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_stream_init(&enc, level, format);
    bytes out;
    size_t pos = 0;
    for (size_t i = 0; i < splits.size(); i++) {
        size_t n = splits[i];
        bytes buf(kiv_encode_bound(n) + 10);
        int more = (last_more_zero && i + 1 == splits.size()) ? 0 : 1;
        int32_t w = kiv_stream_encode(&enc, buf.data(), data.data() + pos, static_cast<int32_t>(n), more);
        out.insert(out.end(), buf.begin(), buf.begin() + w);
        pos += n;
    }
    bytes buf(KIV_FINISH_BOUND);
    int32_t w = kiv_stream_finish(&enc, buf.data());
    out.insert(out.end(), buf.begin(), buf.begin() + w);
    return out;
}

std::string corpus_dir() {
    const char *env = std::getenv("KIV_CORPUS_DIR");
    if (env && *env) return env;
#ifdef KIV_TEST_CORPUS_DIR
    return KIV_TEST_CORPUS_DIR;
#else
    return "";
#endif
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    std::string dir = corpus_dir();
    if (dir.empty()) return files;
    DIR *d = opendir(dir.c_str());
    if (!d) return files;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0) files.push_back(dir + "/" + name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

bytes read_corpus_file(const std::string &zip_path, std::string &error) {
    // The archives hold one deflated member each; the sizes are in its local header.
    std::ifstream f(zip_path, std::ios::binary);
    bytes zip((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t p) { return static_cast<uint32_t>(zip[p] | (zip[p + 1] << 8)); };
    auto u32 = [&](size_t p) { return u16(p) | (u16(p + 2) << 16); };
    if (zip.size() < 30 || u32(0) != 0x04034B50) {
        error = "not a zip local header";
        return {};
    }
    uint32_t method = u16(8), csize = u32(18), usize = u32(22);
    size_t data = 30 + u16(26) + u16(28);
    if (method != 8 || (u16(6) & 8) || data + csize > zip.size()) {
        error = "unexpected zip member layout";
        return {};
    }
    bytes comp(zip.begin() + data, zip.begin() + data + csize);
    bytes out;
    if (!zlib_inflate(comp, -15, out, error)) return {};
    if (out.size() != usize) {
        error = "size mismatch";
        return {};
    }
    return out;
}

}  // namespace kivtest
