// The parallel driver: streams whose calls are encoded on several threads and joined in order, against the
// same calls made one after the other by the engine, byte for byte; its plan of engine calls; a failing
// allocation in a worker; its threads started and stopped; concurrent callers; a forked child.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <tuple>

#include "containers.h"
#include "parallel_driver.h"
#include "support.h"
#include "sync_flush.h"

namespace {

using kivtest::bytes;
using kiv_parallel::driver;
using kiv_parallel::piece_plan;
using segments = std::vector<std::vector<uint64_t>>;  // calls of each encode(), sync flushes between them
// Every call of these tests is far below one engine call's limit in any format.
constexpr uint64_t CALL_LIMIT = kiv_stream_call_limit(KIV_FMT_GZIP);

const char *format_name(int f) { return f == KIV_FMT_GZIP ? "gzip" : f == KIV_FMT_ZLIB ? "zlib" : "raw"; }
int window_bits(int f) { return f == KIV_FMT_GZIP ? 31 : f == KIV_FMT_ZLIB ? 15 : -15; }

kiv_encoder fresh_stream(int level, int format) {
    kiv_encoder enc;
    std::memset(&enc, 0, sizeof enc);
    kiv_stream_init(&enc, level, format);
    return enc;
}

void append(bytes &out, const uint8_t *p, uint64_t n) { out.insert(out.end(), p, p + n); }

void sync_flush(kiv_encoder &enc, bytes &out) {
    uint8_t buf[KIV_SYNC_FLUSH_BOUND];
    append(out, buf, static_cast<uint64_t>(kiv_stream_sync_flush(&enc, buf)));
}

void finish(kiv_encoder &enc, bytes &out) {
    uint8_t buf[KIV_FINISH_BOUND];
    append(out, buf, static_cast<uint64_t>(kiv_stream_finish(&enc, buf)));
}

// The stream of one thread: every call through kiv_stream_encode, a sync flush between segments.
bytes serially(int level, int format, const bytes &data, const segments &segs) {
    kiv_encoder enc = fresh_stream(level, format);
    bytes out;
    size_t pos = 0;
    for (size_t s = 0; s < segs.size(); s++) {
        for (uint64_t n : segs[s]) {
            bytes buf(kiv_encode_bound(n) + KIV_GZIP_HEADER_SIZE);
            append(out, buf.data(), static_cast<uint64_t>(kiv_stream_encode(&enc, buf.data(), data.data() + pos, static_cast<int32_t>(n), 1)));
            pos += n;
        }
        if (s + 1 < segs.size()) sync_flush(enc, out);
    }
    finish(enc, out);
    return out;
}

// The same stream through the driver, one encode() a segment, each into exactly its output bound in
// front of a guard page; at level 0 the bound is the exact size.
bytes driven(driver &d, int level, int format, const bytes &data, const segments &segs) {
    kiv_encoder enc = fresh_stream(level, format);
    bytes out;
    size_t pos = 0;
    for (size_t s = 0; s < segs.size(); s++) {
        const piece_plan plan = piece_plan::of_sizes(segs[s], CALL_LIMIT);
        const uint64_t bound = kiv_parallel::output_bound(&enc, plan);
        kivtest::guarded_region region(bound);
        const uint64_t w = d.encode(&enc, region.data(), data.data() + pos, plan);
        EXPECT_LE(w, bound);
        if (level == 0) {
            EXPECT_EQ(w, bound) << "segment " << s;
        }
        append(out, region.data(), w);
        pos += plan.length();
        if (s + 1 < segs.size()) sync_flush(enc, out);
    }
    finish(enc, out);
    return out;
}

// Call sizes: the ones that matter at the edges (empty, 1 byte, exactly one full stored block of 65535
// bytes and one byte more), then random ones up to `max_call`, summing to n.
std::vector<uint64_t> call_sizes(std::mt19937_64 &rng, size_t n, size_t max_call) {
    std::vector<uint64_t> sizes;
    size_t left = n;
    for (uint64_t edge : {0u, 1u, 65535u, 0u, 65536u, 1u}) {
        sizes.push_back(std::min<uint64_t>(edge, left));
        left -= sizes.back();
    }
    for (size_t c : kivtest::random_splits(rng, left, max_call)) sizes.push_back(c);
    return sizes;
}

// Cuts a list of calls into 1 to 3 segments.
segments cut(std::mt19937_64 &rng, const std::vector<uint64_t> &calls) {
    segments segs(1);
    for (uint64_t c : calls) {
        if (segs.size() < 3 && rng() % 16 == 0) segs.emplace_back();
        segs.back().push_back(c);
    }
    return segs;
}

std::vector<uint64_t> uniform(size_t n, size_t chunk) {
    std::vector<uint64_t> sizes(n / chunk, chunk);
    if (n % chunk) sizes.push_back(n % chunk);
    return sizes;
}

// ---- Threaded (also run under the thread sanitizer) ----

using identity_param = std::tuple<int, int, unsigned>;  // format, level, threads
class ParallelDriverThreaded : public ::testing::TestWithParam<identity_param> {};

TEST_P(ParallelDriverThreaded, EqualsTheSerialStream) {
    const auto [format, level, threads] = GetParam();
    driver d(threads);
    ASSERT_EQ(d.threads(), threads);
    std::mt19937_64 rng(format * 100 + level * 10 + threads);
    for (const kivtest::input_kind &kind : kivtest::INPUT_KINDS) {
        const bytes data = kind.make(rng, 150000 + rng() % 100000);
        const std::vector<segments> plans = {
            {uniform(data.size(), 16384)},                        // many equal calls: the window wraps round
            {uniform(data.size(), 65535), uniform(0, 1)},         // whole stored blocks; an empty encode()
            cut(rng, call_sizes(rng, data.size(), 30000)),        // edges, random sizes, sync flushes
        };
        for (const segments &segs : plans) {
            const bytes expected = serially(level, format, data, segs);
            const bytes got = driven(d, level, format, data, segs);
            ASSERT_TRUE(got == expected) << kind.name << ": " << segs.size() << " segments, " << segs[0].size()
                                         << " calls in the first";
        }
        bytes plain;
        std::string err;
        const bytes stream = driven(d, level, format, data, {uniform(data.size(), 20000)});
        ASSERT_TRUE(kivtest::zlib_inflate(stream, window_bits(format), plain, err)) << kind.name << ": " << err;
        ASSERT_TRUE(plain == data) << kind.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, ParallelDriverThreaded,
                         ::testing::Combine(::testing::Values(KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE),
                                            ::testing::Values(1, 0), ::testing::Values(1u, 2u, 3u, 8u)),
                         [](const ::testing::TestParamInfo<identity_param> &info) {
                             return std::string(format_name(std::get<0>(info.param))) + "_level" +
                                    std::to_string(std::get<1>(info.param)) + "_threads" +
                                    std::to_string(std::get<2>(info.param));
                         });

// The same stream through submit() and collect(): every batch is queued up to `ahead` batches before its
// output is collected; the segments' ends are sync flushes, made once everything is collected. Each batch
// gets exactly its bound, in front of a guard page.
struct pipelined_stream {
    bytes out;
    kiv_encoder enc;
};
pipelined_stream pipelined(driver &d, int level, int format, const bytes &data, const std::vector<segments> &flushed,
                           size_t ahead) {
    pipelined_stream r{{}, fresh_stream(level, format)};
    std::deque<std::unique_ptr<kivtest::guarded_region>> regions;
    auto collect_one = [&] {
        const uint64_t w = d.collect(&r.enc);
        append(r.out, regions.front()->data(), w);
        regions.pop_front();
    };
    size_t pos = 0;
    for (size_t f = 0; f < flushed.size(); f++) {
        for (const std::vector<uint64_t> &calls : flushed[f]) {
            const piece_plan plan = piece_plan::of_sizes(calls, CALL_LIMIT);
            regions.push_back(std::make_unique<kivtest::guarded_region>(d.batch_bound(&r.enc, plan)));
            d.submit(&r.enc, regions.back()->data(), data.data() + pos, plan);
            pos += plan.length();
            while (d.pending() > ahead) collect_one();
        }
        while (d.pending() > 0) collect_one();
        if (f + 1 < flushed.size()) sync_flush(r.enc, r.out);
    }
    finish(r.enc, r.out);
    return r;
}

TEST_P(ParallelDriverThreaded, BatchesInFlightEqualTheSerialStream) {
    const auto [format, level, threads] = GetParam();
    driver d(threads);
    std::mt19937_64 rng(format * 100 + level * 10 + threads + 5);
    for (const char *name : {"text", "adversarial", "random"}) {
        const auto kind = std::find_if(std::begin(kivtest::INPUT_KINDS), std::end(kivtest::INPUT_KINDS),
                                       [&](const kivtest::input_kind &k) { return std::strcmp(k.name, name) == 0; });
        const bytes data = kind->make(rng, 200000 + rng() % 50000);
        // Batches of random calls (an empty batch now and then), grouped between sync flushes.
        std::vector<segments> flushed(1);
        segments serial_calls(1);
        size_t left = data.size();
        while (left > 0) {
            std::vector<uint64_t> calls;
            const size_t n = rng() % 4 == 0 ? 0 : std::min<size_t>(left, 1 + rng() % 60000);
            for (uint64_t c : kivtest::random_splits(rng, n, 9000)) calls.push_back(c);
            left -= n;
            flushed.back().push_back(calls);
            serial_calls.back().insert(serial_calls.back().end(), calls.begin(), calls.end());
            if (left > 0 && rng() % 5 == 0) {
                flushed.emplace_back();
                serial_calls.emplace_back();
            }
        }
        const bytes expected = serially(level, format, data, serial_calls);
        for (size_t ahead : {1u, 2u, 3u}) {
            ASSERT_TRUE(pipelined(d, level, format, data, flushed, ahead).out == expected)
                << name << ", " << ahead << " batches ahead, " << flushed.size() << " flushes";
        }
    }
}

// A worker whose region cannot be allocated: encode() throws in the caller once every thread has left
// the work, the record is untouched, and the driver serves the next call as if nothing had happened.
std::atomic<int> allocations_left{0};
void *allocate_while_allowed(size_t n) { return allocations_left.fetch_sub(1) > 0 ? std::malloc(n) : nullptr; }

TEST(ParallelDriverThreaded, FailedAllocationThrowsInTheCaller) {
    std::mt19937_64 rng(7);
    const bytes data = kivtest::text_like(rng, 400000);
    // The next call has other input: a piece the failed call left behind must not pass for its own.
    const bytes other = kivtest::adversarial(rng, data.size());
    const segments segs = {uniform(data.size(), 10000)};
    const bytes expected = serially(1, KIV_FMT_GZIP, other, segs);
    for (unsigned threads : {2u, 3u, 8u})
        for (int allowed : {0, 1, static_cast<int>(2 * threads) - 1}) {  // regions: 2 per thread, then reused
            // A fresh driver each time: its regions are allocated on first use and then kept.
            driver d(threads, allocate_while_allowed);
            allocations_left = allowed;
            kiv_encoder enc = fresh_stream(1, KIV_FMT_GZIP);
            const kiv_encoder before = enc;
            const piece_plan plan = piece_plan::of_sizes(segs[0], CALL_LIMIT);
            bytes out(kiv_parallel::output_bound(&enc, plan));
            EXPECT_THROW(d.encode(&enc, out.data(), data.data(), plan), std::bad_alloc) << threads << " threads";
            EXPECT_EQ(std::memcmp(&enc, &before, sizeof enc), 0) << "the record changed";
            allocations_left = 1 << 20;
            EXPECT_TRUE(driven(d, 1, KIV_FMT_GZIP, other, segs) == expected) << threads << " threads, " << allowed;
        }
}

// A failure while batches are in flight: the batches collected before it keep their output, the failing
// collect throws and drops every batch after it, and the stream goes on from the last batch collected.
TEST(ParallelDriverThreaded, FailureInAPipelineDropsTheRestAndKeepsTheRecord) {
    std::mt19937_64 rng(13);
    const bytes data = kivtest::text_like(rng, 600000);
    // 10 batches of 60000 bytes: 6 calls each, then from the fifth batch on 5 larger calls, for which
    // every slot's region must grow.
    auto batch_calls_of = [](size_t b) { return uniform(60000, b < 4 ? 10000 : 12000); };
    segments all_calls(1);
    for (size_t b = 0; b < 10; b++) {
        const std::vector<uint64_t> calls = batch_calls_of(b);
        all_calls[0].insert(all_calls[0].end(), calls.begin(), calls.end());
    }
    const bytes expected = serially(1, KIV_FMT_ZLIB, data, all_calls);
    for (unsigned threads : {2u, 3u}) {
        driver d(threads, allocate_while_allowed);
        allocations_left = static_cast<int>(2 * threads);  // the slots' first regions, and no larger ones
        kiv_encoder enc = fresh_stream(1, KIV_FMT_ZLIB);
        bytes out;
        std::deque<bytes> regions;
        size_t submitted = 0, collected = 0;
        bool failed = false;
        while (collected < 10 && !failed) {
            while (submitted < 10 && d.pending() < 3) {
                const piece_plan plan = piece_plan::of_sizes(batch_calls_of(submitted), CALL_LIMIT);
                regions.emplace_back(d.batch_bound(&enc, plan));
                d.submit(&enc, regions.back().data(), data.data() + submitted * 60000, plan);
                submitted++;
            }
            try {
                const uint64_t w = d.collect(&enc);
                append(out, regions.front().data(), w);
                regions.pop_front();
                collected++;
            } catch (const std::bad_alloc &) {
                failed = true;
            }
        }
        ASSERT_TRUE(failed) << threads << " threads";
        EXPECT_GE(collected, 1u) << "the failure came before any batch was done";
        EXPECT_EQ(d.pending(), 0u);
        // The stream goes on from the record of the last batch collected, now with memory to spare.
        allocations_left = 1 << 20;
        for (size_t b = collected; b < 10; b++) {
            const piece_plan plan = piece_plan::of_sizes(batch_calls_of(b), CALL_LIMIT);
            bytes region(d.batch_bound(&enc, plan));
            d.submit(&enc, region.data(), data.data() + b * 60000, plan);
            append(out, region.data(), d.collect(&enc));
        }
        finish(enc, out);
        EXPECT_TRUE(out == expected) << threads << " threads, " << collected << " batches before the failure";
    }
}

// Batches dropped before they are collected leave the record as the last collect left it; a driver
// destroyed with batches pending waits for its threads to leave them.
TEST(ParallelDriverThreaded, AbandonedBatchesLeaveTheRecord) {
    std::mt19937_64 rng(17);
    const bytes data = kivtest::runs(rng, 300000);
    const segments calls = {uniform(data.size(), 5000)};
    const bytes expected = serially(1, KIV_FMT_GZIP, data, calls);
    driver d(3);
    kiv_encoder enc = fresh_stream(1, KIV_FMT_GZIP);
    bytes out;
    const piece_plan first = piece_plan::of_sizes(uniform(100000, 5000), CALL_LIMIT);
    bytes region(d.batch_bound(&enc, first));
    d.submit(&enc, region.data(), data.data(), first);
    append(out, region.data(), d.collect(&enc));
    const kiv_encoder after_first = enc;
    std::vector<bytes> dropped(3);
    for (bytes &r : dropped) {
        const piece_plan plan = piece_plan::of_sizes(uniform(100000, 5000), CALL_LIMIT);
        r.resize(d.batch_bound(&enc, plan));
        d.submit(&enc, r.data(), data.data() + 100000, plan);
    }
    d.abandon();
    EXPECT_EQ(d.pending(), 0u);
    EXPECT_EQ(std::memcmp(&enc, &after_first, sizeof enc), 0);
    const piece_plan rest = piece_plan::of_sizes(uniform(data.size() - 100000, 5000), CALL_LIMIT);
    region.assign(kiv_parallel::output_bound(&enc, rest), 0);
    append(out, region.data(), d.encode(&enc, region.data(), data.data() + 100000, rest));
    finish(enc, out);
    EXPECT_TRUE(out == expected);

    auto doomed = std::make_unique<driver>(2);
    for (bytes &r : dropped) {
        const piece_plan plan = piece_plan::of_sizes(uniform(100000, 5000), CALL_LIMIT);
        doomed->submit(&enc, r.data(), data.data(), plan);
    }
    doomed.reset();  // must not hang, nor leave a thread writing into `dropped`
    EXPECT_THROW(d.collect(&enc), std::logic_error);  // nothing pending
}

// Several callers share one driver: their calls are taken one at a time, each stream stays its own.
TEST(ParallelDriverThreaded, ConcurrentCallersWaitForEachOther) {
    driver d(3);
    std::mt19937_64 rng(11);
    std::vector<bytes> inputs;
    for (int i = 0; i < 3; i++) inputs.push_back(kivtest::text_like(rng, 120000 + 1000 * i));
    std::vector<std::thread> callers;
    std::vector<int> ok(inputs.size(), 0);
    for (size_t i = 0; i < inputs.size(); i++)
        callers.emplace_back([&, i] {
            const int format = static_cast<int>(i) % 3;
            const segments segs = {uniform(inputs[i].size(), 7000), uniform(5000, 999)};
            bool all = true;
            for (int round = 0; round < 4; round++)
                all = all && driven(d, 1, format, inputs[i], segs) == serially(1, format, inputs[i], segs);
            ok[i] = all;
        });
    for (std::thread &t : callers) t.join();
    for (size_t i = 0; i < ok.size(); i++) EXPECT_TRUE(ok[i]) << "caller " << i;
}

// ---- Single-threaded checks ----

// Threads of this process, from /proc.
int thread_count() {
    int n = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

TEST(ParallelDriver, StartsItsHelpersAndStopsThem) {
    const int before = thread_count();
    {
        driver d(4);
        EXPECT_EQ(thread_count(), before + 3);
        std::mt19937_64 rng(3);
        const bytes data = kivtest::runs(rng, 100000);
        const segments segs = {uniform(data.size(), 5000)};
        EXPECT_TRUE(driven(d, 1, KIV_FMT_ZLIB, data, segs) == serially(1, KIV_FMT_ZLIB, data, segs));
    }
    EXPECT_EQ(thread_count(), before);
    driver alone(1);
    EXPECT_EQ(thread_count(), before);  // one thread: the caller alone
}

// Engine calls of a plan: a call longer than one engine call takes is cut into 1 GiB engine calls, as
// Compressor.compress cuts it; a shorter one stays whole, however large. Offsets of input and of level-0
// output follow the calls.
TEST(ParallelDriver, PlanCutsOnlyCallsBeyondTheLimitIntoGigabytes) {
    constexpr uint64_t G = kiv_parallel::HUGE_INPUT_PIECE;
    const piece_plan plan = piece_plan::uniform(6 * G, 5 * G / 2, CALL_LIMIT);  // 2.5, 2.5, 1 GiB
    const std::vector<uint64_t> expected = {G, G, G / 2, G, G, G / 2, G};
    ASSERT_EQ(plan.count(), expected.size());
    EXPECT_EQ(plan.length(), 6 * G);
    uint64_t offset = 0, stored = 0, bound = 0;
    for (uint64_t i = 0; i < plan.count(); i++) {
        const piece_plan::call c = plan.at(i);
        EXPECT_EQ(c.length, expected[i]) << i;
        EXPECT_EQ(c.offset, offset) << i;
        EXPECT_EQ(c.stored_offset, stored) << i;
        offset += c.length;
        stored += kiv_detached_stored_size(c.length);
        bound += kiv_encode_bound(c.length);
    }
    EXPECT_EQ(plan.stored_size(), stored);
    EXPECT_EQ(plan.output_bound(), bound);

    const piece_plan sizes = piece_plan::of_sizes({0, 3, 3, 0, 2 * G + 1}, CALL_LIMIT);
    ASSERT_EQ(sizes.count(), 7u);
    EXPECT_EQ(sizes.at(3).length, 0u);
    EXPECT_EQ(sizes.at(3).offset, 6u);
    EXPECT_EQ(sizes.at(6).length, 1u);
    EXPECT_EQ(sizes.at(6).offset, 6 + 2 * G);
    EXPECT_EQ(piece_plan::uniform(0, 10, CALL_LIMIT).count(), 0u);

    // At the limit and one byte past it, for each format's limit.
    for (int format : {KIV_FMT_GZIP, KIV_FMT_ZLIB, KIV_FMT_DEFLATE}) {
        const uint64_t limit = kiv_stream_call_limit(format);
        const piece_plan whole = piece_plan::of_sizes({limit, G + G / 2}, limit);
        ASSERT_EQ(whole.count(), 2u) << format;
        EXPECT_EQ(whole.at(0).length, limit);
        EXPECT_EQ(whole.at(1).length, G + G / 2);
        const piece_plan cut = piece_plan::of_sizes({limit + 1}, limit);
        ASSERT_EQ(cut.count(), 2u) << format;
        EXPECT_EQ(cut.at(0).length, G);
        EXPECT_EQ(cut.at(1).length, limit + 1 - G);
    }
}

// In a forked child the helpers do not exist: the driver encodes on the calling thread alone, refuses
// batches (the parent's may be in flight), and its end waits for nothing.
TEST(ParallelDriver, WorksInAForkedChild) {
    std::mt19937_64 rng(5);
    const bytes data = kivtest::text_like(rng, 200000);
    const segments segs = {uniform(data.size(), 30000)};
    const bytes expected = serially(1, KIV_FMT_GZIP, data, segs);
    auto d = std::make_unique<driver>(3);
    ASSERT_TRUE(driven(*d, 1, KIV_FMT_GZIP, data, segs) == expected);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // a hang fails the test instead of stalling it
        const bool same = driven(*d, 1, KIV_FMT_GZIP, data, segs) == expected;
        kiv_encoder enc = fresh_stream(1, KIV_FMT_GZIP);
        bool refused = false;
        try {
            d->submit(&enc, nullptr, data.data(), piece_plan::of_sizes({10, 10}, CALL_LIMIT));
        } catch (const std::logic_error &) {
            refused = true;
        }
        d.reset();
        _exit(same && refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
