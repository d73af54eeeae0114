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
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "containers.h"
#include "detached.h"
#include "encoder_state.h"

namespace kiv_parallel {

// A call longer than one engine call takes (kiv_stream_call_limit of the stream's format, about 1.78 GiB:
// an engine call's output is a signed 32-bit count) goes to the engine in pieces of exactly this many
// bytes, the last one shorter: the cut of kiv_stream_call_size, which Compressor.compress makes too, so a
// piece of any size is encoded here as it is there.
constexpr uint64_t HUGE_INPUT_PIECE = KIV_HUGE_INPUT_PIECE;

// The engine calls of one run of input: `length` bytes fed to the stream as calls of given sizes, each
// call longer than `call_limit` further cut at HUGE_INPUT_PIECE. Equal neighbours are kept as one run of
// calls, so a plan of a million 1 MiB calls is two entries.
class piece_plan {
public:
    // Calls of `chunk` bytes (at least 1), the last one shorter; no call at all for empty input.
    static piece_plan uniform(uint64_t length, uint64_t chunk, uint64_t call_limit);
    // Calls of exactly these sizes (empty ones included, each an engine call of its own).
    static piece_plan of_sizes(const std::vector<uint64_t> &sizes, uint64_t call_limit);

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
    void add(uint64_t length, uint64_t times, uint64_t call_limit);  // a call of any length, `times` over
    std::vector<run> runs_;
    uint64_t count_ = 0, length_ = 0, stored_size_ = 0, output_bound_ = 0;
};

// Most bytes encode() writes for `plan` onto the stream in `enc`: the pending container header and every
// call's bound (nothing for a plan without calls). At level 0 it is exact.
uint64_t output_bound(const kiv_encoder *enc, const piece_plan &plan);

// A fixed set of threads encoding the calls of one stream. The calling thread takes part: a driver of n
// threads starts n - 1 helpers (none for n = 1, whose encode() runs serially on the caller).
//
// Each call is encoded detached (kiv_detached_encode) by whichever thread claims it next, into a region
// of its own; whichever thread finds the oldest unjoined call finished joins it onto the stream
// (kiv_detached_join), so joining overlaps the encoding of later calls and needs no thread of its own.
// At most 2 calls per thread are claimed ahead of the join, which bounds the regions to 2n, kept and
// reused from one call to the next. At level 0 every call's output size is known in advance, so the
// calls are encoded straight into their final places and the join copies nothing.
//
// Work comes in batches: encode() runs one and returns when it is done; submit() queues one and returns
// at once, the helpers working on it while the caller does something else (reads the next input, writes
// earlier output), and collect() waits for the oldest batch, taking part in the work meanwhile. Batches
// follow each other without a pause, so the threads never wait for the end of one before starting the
// next. The stream's record moves only when a batch is collected: a batch that fails or is dropped leaves
// it as the batches collected before left it.
class driver {
public:
    // Allocates a region of output for detached calls; may return null, which the driver reports as
    // std::bad_alloc. Replaceable so that tests can make a worker's allocation fail.
    using allocate_fn = void *(*)(size_t);

    // Starts threads - 1 helper threads (threads >= 1). Throws std::system_error when one cannot be
    // started; the ones already started are stopped first.
    explicit driver(unsigned threads, allocate_fn allocate = nullptr);
    // Drops the batches not collected (after every thread has left them) and stops the helpers. In a
    // process forked from the one that made the driver the helpers do not exist: nothing is waited for or
    // freed there.
    ~driver();
    driver(const driver &) = delete;
    driver &operator=(const driver &) = delete;

    unsigned threads() const { return static_cast<unsigned>(helpers_.size()) + 1; }

    // Feeds data[0 .. plan.length()) to the stream in `enc` as the plan's calls, each as
    // kiv_stream_encode(enc, ..., 1) would take it, and writes their output at `out`, which has room for
    // output_bound(enc, plan) bytes. Returns the bytes written: exactly what those calls, one after the
    // other, write, and `enc` ends as they leave it. If anything fails (a region cannot be allocated) the
    // call throws after every thread has left the work, and `enc` is as it was. Needs no batch pending;
    // concurrent calls wait for each other. In a forked child it encodes on the calling thread alone.
    uint64_t encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan);

    // Bytes submit() needs at `out` for `plan`: output_bound(enc, plan) when no batch is pending, else
    // the same without a container header (the stream has one by then).
    uint64_t batch_bound(const kiv_encoder *enc, const piece_plan &plan) const;
    // Queues the plan's calls on data[0 .. plan.length()), their output to go to `out` (batch_bound
    // bytes), and returns at once. The stream starts from `enc` when no batch is pending, else it goes on
    // from the last batch (and `enc` is not read). `data` and `out` must stay as they are until the batch
    // is collected or dropped. Throws std::logic_error in a forked child (the helpers and the batches in
    // flight belong to the parent).
    void submit(const kiv_encoder *enc, uint8_t *out, const uint8_t *data, piece_plan plan);
    // Batches submitted and not yet collected or dropped.
    size_t pending() const;
    // Waits for the oldest batch, taking part in the work, and returns its output size; `enc` becomes the
    // stream's record after it. If a call of it failed, throws once every thread has left the work, and
    // drops it and every later batch; `enc` is left alone. Throws std::logic_error with nothing pending.
    uint64_t collect(kiv_encoder *enc);
    // Drops every pending batch once no thread works on it any more; the stream's record stays as the
    // last collect left it.
    void abandon();

private:
    struct slot {  // a detached call in flight: claimed, encoded, or waiting for its join
        uint8_t *region = nullptr;
        size_t capacity = 0;
        kiv_detached_piece piece{};
        uint64_t done = 0;  // index + 1 of the call whose piece is ready here; 0 while none is
    };
    struct batch {
        piece_plan plan;
        const uint8_t *data;
        uint8_t *out;
        uint64_t first;           // the number of its first call in the session
        uint64_t header;          // container header its first join writes before the first call's bytes
        uint64_t written = 0;     // output bytes joined so far
        kiv_encoder record_after{};
        bool complete = false;    // every call joined (or none to join)
    };
    // The batches in flight and the stream they continue; empty between sessions.
    struct session {
        kiv_encoder stream{};     // the record the joins advance
        int32_t level = 0, format = 0;
        bool in_place = false;    // level 0: calls written straight to their final places
        std::deque<batch> batches;
        uint64_t front_number = 0;  // the number of batches.front() since the session began
        uint64_t submitted = 0;     // calls submitted
        uint64_t next = 0;          // the next call to claim
        uint64_t joined = 0;        // calls joined
        uint64_t encoding = 0;      // calls claimed whose encoding has not ended
        bool joining = false;       // a thread is joining (one at a time: the joins advance one record)
        uint64_t claim_batch = 0, join_batch = 0;  // numbers of the batches holding calls `next` and `joined`
        uint64_t start_header = 0;  // container header due when the session began
        std::exception_ptr failure; // the first thing that went wrong; nothing is claimed or joined after it
    };
    // What the threads share, on the heap so that a forked child can leave it alone (see ~driver).
    struct shared_state {
        std::mutex call_lock;  // one encode() at a time
        std::mutex lock;       // the session and the slots' `done`
        std::condition_variable progress;  // work to do, a call encoded or joined, a batch complete
        std::vector<slot> slots;           // 2 per thread; a call's slot is its number modulo their count
        session work;
        bool stopping = false;
    };

    static void *helper_main(void *self);
    void helper_loop();
    bool can_join(const session &w) const;
    bool can_claim(const session &w) const;
    bool step(std::unique_lock<std::mutex> &lock);  // one join or one encode; false when there is none to do
    void complete_ready();
    void wait_idle(std::unique_lock<std::mutex> &lock);
    void reset_session();
    void stop_helpers();
    uint64_t encode_serial(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan);

    allocate_fn allocate_;
    pid_t owner_;
    std::unique_ptr<shared_state> state_;
    std::vector<pthread_t> helpers_;
};

}  // namespace kiv_parallel
