// parallel_driver.h: the calls of one stream encoded on several threads at once and joined in call order,
// byte for byte the stream one thread writes with the same calls.
//
// Plain C++ without Python: kivio._core wraps it (EncoderPool), and the native tests run it under the
// address and thread sanitizers.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "detached.h"
#include "encoder_state.h"

namespace kiv_parallel {

// One engine call takes at most this much input: longer calls go to the engine in pieces of exactly this
// many bytes, the last one shorter (an engine call's output is a signed 32-bit count, and the bound of
// 1 GiB, about 1.13 GiB, leaves room for the container header). Compressor.compress splits the same way, so
// a piece of any size is encoded here as it is there.
constexpr uint64_t HUGE_INPUT_PIECE = uint64_t{1} << 30;

// The engine calls of one run of input: `length` bytes fed to the stream as calls of given sizes, each
// of them further cut at HUGE_INPUT_PIECE. Equal neighbours are kept as one run of calls, so a plan of a
// million 1 MiB calls is two entries.
class piece_plan {
public:
    // Calls of `chunk` bytes (at least 1), the last one shorter; no call at all for empty input.
    static piece_plan uniform(uint64_t length, uint64_t chunk);
    // Calls of exactly these sizes (empty ones included, each an engine call of its own).
    static piece_plan of_sizes(const std::vector<uint64_t> &sizes);

    uint64_t count() const { return count_; }
    uint64_t length() const { return length_; }
    struct call {
        uint64_t offset;         // of its input, from the start of the run
        uint32_t length;         // at most HUGE_INPUT_PIECE
        uint64_t stored_offset;  // of its output at level 0, from the start of the run's output
    };
    call at(uint64_t index) const;
    // Output of the run at level 0, exactly; and the most any level writes (kiv_encode_bound per call).
    uint64_t stored_size() const { return stored_size_; }
    uint64_t output_bound() const { return output_bound_; }

private:
    struct run {  // `count` calls of `length` bytes each, starting with call `first`
        uint64_t first, count;
        uint64_t length;
        uint64_t offset, stored_offset;
    };
    void add_call(uint64_t length, uint64_t times);
    void add(uint64_t length, uint64_t times);  // a call of any length, `times` over
    std::vector<run> runs_;
    uint64_t count_ = 0, length_ = 0, stored_size_ = 0, output_bound_ = 0;
};

// Most bytes encode() writes for `plan` onto the stream in `enc`: the pending container header and every
// call's bound (nothing for a plan without calls). At level 0 it is exact.
uint64_t output_bound(const kiv_encoder *enc, const piece_plan &plan);

// A fixed set of threads encoding the calls of one stream at a time. The calling thread takes part: a
// driver of n threads starts n - 1 helpers (none for n = 1, which encodes serially on the caller).
//
// Each call is encoded detached (kiv_detached_encode) by whichever thread claims it next, into a region
// of its own; whichever thread finds the oldest unjoined call finished joins it onto the stream
// (kiv_detached_join), so joining overlaps the encoding of later calls and needs no thread of its own.
// At most 2 calls per thread are claimed ahead of the join, which bounds the regions to 2n, kept and
// reused from one encode() to the next. At level 0 every call's output size is known in advance, so the
// calls are encoded straight into their final places and the join copies nothing.
class driver {
public:
    // Allocates a region of output for detached calls; may return null, which encode() reports as
    // std::bad_alloc. Replaceable so that tests can make a worker's allocation fail.
    using allocate_fn = void *(*)(size_t);

    // Starts threads - 1 helper threads (threads >= 1). Throws std::system_error when one cannot be
    // started; the ones already started are stopped first.
    explicit driver(unsigned threads, allocate_fn allocate = nullptr);
    // Stops the helpers and waits for them. In a process forked from the one that made the driver the
    // helpers do not exist: nothing is waited for or freed there.
    ~driver();
    driver(const driver &) = delete;
    driver &operator=(const driver &) = delete;

    unsigned threads() const { return static_cast<unsigned>(helpers_.size()) + 1; }

    // Feeds data[0 .. plan.length()) to the stream in `enc` as the plan's calls, each as
    // kiv_stream_encode(enc, ..., 1) would take it, and writes their output at `out`, which has room for
    // output_bound(enc, plan) bytes. Returns the bytes written: exactly what those calls, one after the
    // other, write, and `enc` ends as they leave it. If anything fails (a region cannot be allocated) the
    // call throws after every thread has left the work, and `enc` is as it was. One encode() at a time
    // per driver: concurrent calls wait for each other. Throws std::logic_error in a forked child.
    uint64_t encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan);

private:
    struct slot {  // a detached call in flight: claimed, encoded, or waiting for its join
        uint8_t *region = nullptr;
        size_t capacity = 0;
        kiv_detached_piece piece{};
        uint64_t done = 0;  // index + 1 of the call whose piece is ready here; 0 while none is
    };
    struct job;  // the state of one encode(), shared by the threads taking part
    // What the threads share, on the heap so that a forked child can leave it alone (see ~driver).
    struct shared_state {
        std::mutex call_lock;  // one encode() at a time
        std::mutex lock;       // everything below, and the job's counters
        std::condition_variable helpers_wake;
        std::condition_variable progress;
        std::vector<slot> slots;   // 2 per thread; a call's slot is its index modulo their number
        job *current = nullptr;
        uint64_t generation = 0;   // counts jobs, so that a helper takes part in each one once
        bool stopping = false;
    };

    static void *helper_main(void *self);
    void helper_loop();
    void take_part(job &j, std::unique_lock<std::mutex> &lock);
    void stop_helpers();
    uint64_t encode_serial(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan);

    allocate_fn allocate_;
    pid_t owner_;
    std::unique_ptr<shared_state> state_;
    std::vector<pthread_t> helpers_;
};

}  // namespace kiv_parallel
