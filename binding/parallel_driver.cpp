// parallel_driver.cpp: a fixed set of threads that encode the calls of one stream detached and join them in order.
#include "parallel_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <system_error>

#include "containers.h"

namespace kiv_parallel {

namespace {

// Helper stacks: a level-1 engine call keeps its 64 KiB match table on the stack, and the sanitizer
// builds make every frame larger. 1 MiB is a generous margin that costs address space only; the
// default of the C library is not used because some (musl: 128 KiB) give too little.
constexpr size_t HELPER_STACK = size_t{1} << 20;

// Calls claimed ahead of the oldest unjoined one, per thread: one being encoded and one finished and
// waiting for its join, so a thread rarely waits for the joiner, and the regions stay at 2 per thread.
constexpr unsigned CALLS_AHEAD_PER_THREAD = 2;

// A level-0 stream is always at a byte boundary with no block open, so its calls' output sizes are
// known before they are encoded (kiv_detached_stored_size) and each can be written in its final place.
bool stored_in_place(const kiv_encoder *enc) { return enc->level == 0 && kiv_detached_join_keeps_bytes(enc); }

}  // namespace

// ---- piece_plan ----

void piece_plan::add_call(uint64_t length, uint64_t times) {
    if (times == 0) return;
    if (!runs_.empty() && runs_.back().length == length) {
        runs_.back().count += times;
    } else {
        runs_.push_back(run{count_, times, length, length_, stored_size_});
    }
    count_ += times;
    length_ += length * times;
    stored_size_ += times * kiv_detached_stored_size(length);
    output_bound_ += times * kiv_encode_bound(length);
}

void piece_plan::add(uint64_t length, uint64_t times) {
    if (length <= HUGE_INPUT_PIECE) {
        add_call(length, times);
        return;
    }
    for (uint64_t t = 0; t < times; t++) {  // at most one round per GiB of input
        add_call(HUGE_INPUT_PIECE, length / HUGE_INPUT_PIECE);
        add_call(length % HUGE_INPUT_PIECE, length % HUGE_INPUT_PIECE != 0 ? 1 : 0);
    }
}

piece_plan piece_plan::uniform(uint64_t length, uint64_t chunk) {
    piece_plan plan;
    if (chunk == 0) throw std::invalid_argument("piece_plan: chunk of 0 bytes");
    plan.add(chunk, length / chunk);
    if (length % chunk != 0) plan.add(length % chunk, 1);
    return plan;
}

piece_plan piece_plan::of_sizes(const std::vector<uint64_t> &sizes) {
    piece_plan plan;
    for (uint64_t n : sizes) plan.add(n, 1);
    return plan;
}

piece_plan::call piece_plan::at(uint64_t index) const {
    auto r = std::upper_bound(runs_.begin(), runs_.end(), index, [](uint64_t i, const run &x) { return i < x.first; }) - 1;
    const uint64_t d = index - r->first;
    return call{r->offset + d * r->length, static_cast<uint32_t>(r->length),
                r->stored_offset + d * kiv_detached_stored_size(r->length)};
}

uint64_t output_bound(const kiv_encoder *enc, const piece_plan &plan) {
    if (plan.count() == 0) return 0;  // no call: not even the header is written
    return static_cast<uint64_t>(kiv_stream_pending_header(enc)) +
           (stored_in_place(enc) ? plan.stored_size() : plan.output_bound());
}

// ---- driver ----

struct driver::job {
    const piece_plan *plan;
    const uint8_t *data;
    uint8_t *out;
    kiv_encoder stream;  // the record the joins advance; copied back only when every call is joined
    int32_t level, format;
    bool in_place;       // level 0: calls written straight to their final places
    uint64_t header;     // container header the first join writes before the first call's bytes
    uint64_t window;     // calls claimed ahead of the oldest unjoined one (the number of slots)
    uint64_t next = 0;       // the next call to claim
    uint64_t joined = 0;     // calls joined so far
    uint64_t written = 0;    // output bytes of those
    uint64_t encoding = 0;   // calls claimed whose encoding has not ended
    bool joining = false;    // a thread is joining (one at a time: the joins advance one record)
    unsigned helpers_inside = 0;
    std::exception_ptr failure;  // the first thing that went wrong; no call is claimed or joined after it
};

driver::driver(unsigned threads, allocate_fn allocate)
    : allocate_(allocate != nullptr ? allocate : std::malloc), owner_(getpid()), state_(new shared_state) {
    if (threads == 0) throw std::invalid_argument("a driver needs at least one thread");
    state_->slots.resize(size_t{CALLS_AHEAD_PER_THREAD} * threads);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, HELPER_STACK);
    int error = 0;
    for (unsigned i = 1; i < threads && error == 0; i++) {
        pthread_t t;
        error = pthread_create(&t, &attr, helper_main, this);
        if (error == 0) helpers_.push_back(t);
    }
    pthread_attr_destroy(&attr);
    if (error != 0) {
        stop_helpers();
        throw std::system_error(error, std::generic_category(), "cannot start a worker thread");
    }
}

driver::~driver() {
    if (getpid() != owner_) {
        // A forked child: the helpers were not copied, and the locks and conditions may be held by or
        // registered to threads that no longer exist. Touching them could wait forever; leave them.
        state_.release();
        return;
    }
    stop_helpers();
    for (slot &s : state_->slots) std::free(s.region);
}

void driver::stop_helpers() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->stopping = true;
    }
    state_->helpers_wake.notify_all();
    for (pthread_t t : helpers_) pthread_join(t, nullptr);
    helpers_.clear();
}

void *driver::helper_main(void *self) {
    static_cast<driver *>(self)->helper_loop();
    return nullptr;
}

void driver::helper_loop() {
    shared_state &st = *state_;
    std::unique_lock<std::mutex> lock(st.lock);
    uint64_t seen = 0;
    for (;;) {
        st.helpers_wake.wait(lock, [&] { return st.stopping || (st.current != nullptr && st.generation != seen); });
        if (st.stopping) return;
        seen = st.generation;
        job &j = *st.current;
        j.helpers_inside++;
        take_part(j, lock);
        if (--j.helpers_inside == 0) st.progress.notify_all();
    }
}

// Called with the lock held, by the caller and by every helper; returns, with the lock held, once every
// call is joined or, after a failure, once no thread encodes or joins any more.
void driver::take_part(job &j, std::unique_lock<std::mutex> &lock) {
    shared_state &st = *state_;
    const uint64_t count = j.plan->count();
    for (;;) {
        // Joining first: it frees a slot, and the joiner is the one thread that can hold the others up.
        if (!j.failure && !j.joining && j.joined < count) {
            slot &s = st.slots[j.joined % j.window];
            if (s.done == j.joined + 1) {
                j.joining = true;
                const kiv_detached_piece piece = s.piece;
                uint8_t *const at = j.out + j.written;
                lock.unlock();
                const int32_t w = kiv_detached_join(&j.stream, at, &piece);
                lock.lock();
                j.written += static_cast<uint64_t>(w);
                s.done = 0;
                j.joined++;
                j.joining = false;
                st.progress.notify_all();
                continue;
            }
        }
        if (!j.failure && j.next < count && j.next < j.joined + j.window) {
            const uint64_t index = j.next++;
            j.encoding++;
            slot &s = st.slots[index % j.window];
            const piece_plan::call c = j.plan->at(index);
            lock.unlock();
            std::exception_ptr failure;
            kiv_detached_piece piece;
            try {
                uint8_t *region;
                if (j.in_place) {
                    region = j.out + j.header + c.stored_offset;
                } else {
                    // The slot belongs to this call alone until its join, so its region is this thread's.
                    const size_t need = static_cast<size_t>(kiv_detached_bound(c.length));
                    if (s.capacity < need) {
                        std::free(s.region);
                        s.region = nullptr;
                        s.capacity = 0;
                        s.region = static_cast<uint8_t *>(allocate_(need));
                        if (s.region == nullptr) throw std::bad_alloc();
                        s.capacity = need;
                    }
                    region = s.region;
                }
                kiv_detached_encode(&piece, region, j.data + c.offset, static_cast<int32_t>(c.length), j.level, j.format);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            j.encoding--;
            if (failure) {
                if (!j.failure) j.failure = failure;
            } else {
                s.piece = piece;
                s.done = index + 1;
            }
            st.progress.notify_all();
            continue;
        }
        if (j.joined == count || (j.failure && j.encoding == 0 && !j.joining)) return;
        st.progress.wait(lock);
    }
}

uint64_t driver::encode_serial(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan) {
    kiv_encoder work = *enc;
    uint64_t written = 0;
    for (uint64_t i = 0; i < plan.count(); i++) {
        const piece_plan::call c = plan.at(i);
        written += static_cast<uint64_t>(kiv_stream_encode(&work, out + written, data + c.offset, static_cast<int32_t>(c.length), 1));
    }
    *enc = work;
    return written;
}

uint64_t driver::encode(kiv_encoder *enc, uint8_t *out, const uint8_t *data, const piece_plan &plan) {
    // One call needs no join, and a forked child has no helpers (and must not touch the locks).
    if (helpers_.empty() || plan.count() <= 1 || getpid() != owner_) return encode_serial(enc, out, data, plan);

    shared_state &st = *state_;
    std::lock_guard<std::mutex> one_at_a_time(st.call_lock);
    job j;
    j.plan = &plan;
    j.data = data;
    j.out = out;
    j.stream = *enc;
    j.level = enc->level;
    j.format = enc->format;
    j.in_place = stored_in_place(enc);
    j.header = static_cast<uint64_t>(kiv_stream_pending_header(enc));
    j.window = st.slots.size();

    std::unique_lock<std::mutex> lock(st.lock);
    // A failed job leaves finished calls unjoined in their slots: they must not pass for this job's.
    for (slot &s : st.slots) s.done = 0;
    st.current = &j;
    st.generation++;
    st.helpers_wake.notify_all();
    take_part(j, lock);
    // Nothing is claimed or joined any more; the helpers still inside leave before the job goes away.
    st.current = nullptr;
    st.progress.notify_all();
    st.progress.wait(lock, [&] { return j.helpers_inside == 0; });
    lock.unlock();

    if (j.failure) std::rethrow_exception(j.failure);
    *enc = j.stream;
    return j.written;
}

}  // namespace kiv_parallel
