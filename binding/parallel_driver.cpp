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

void piece_plan::add(uint64_t length, uint64_t times, uint64_t call_limit) {
    if (length <= call_limit) {
        add_call(length, times);
        return;
    }
    for (uint64_t t = 0; t < times; t++) {  // at most one round per GiB of input
        add_call(HUGE_INPUT_PIECE, length / HUGE_INPUT_PIECE);
        add_call(length % HUGE_INPUT_PIECE, length % HUGE_INPUT_PIECE != 0 ? 1 : 0);
    }
}

piece_plan piece_plan::uniform(uint64_t length, uint64_t chunk, uint64_t call_limit) {
    piece_plan plan;
    if (chunk == 0) throw std::invalid_argument("piece_plan: chunk of 0 bytes");
    plan.add(chunk, length / chunk, call_limit);
    if (length % chunk != 0) plan.add(length % chunk, 1, call_limit);
    return plan;
}

piece_plan piece_plan::of_sizes(const std::vector<uint64_t> &sizes, uint64_t call_limit) {
    piece_plan plan;
    for (uint64_t n : sizes) plan.add(n, 1, call_limit);
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

namespace {
// The reason a batch is dropped by abandon(): nobody sees it, since nothing is collected after it.
std::exception_ptr dropped() { return std::make_exception_ptr(std::logic_error("batches dropped")); }
}  // namespace

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
    abandon();
    stop_helpers();
    for (slot &s : state_->slots) std::free(s.region);
}

void driver::stop_helpers() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->stopping = true;
    }
    state_->progress.notify_all();
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
    for (;;) {
        st.progress.wait(lock, [&] { return st.stopping || can_join(st.work) || can_claim(st.work); });
        if (st.stopping) return;
        step(lock);
    }
}

bool driver::can_join(const session &w) const {
    if (w.failure || w.joining || w.joined == w.submitted) return false;
    return state_->slots[w.joined % state_->slots.size()].done == w.joined + 1;
}

bool driver::can_claim(const session &w) const {
    return !w.failure && w.next < w.submitted && w.next < w.joined + state_->slots.size();
}

// With the lock held: joins the oldest call if it is ready, else encodes the next one if the window
// allows; false when neither can be done now. The lock is released during the work itself.
bool driver::step(std::unique_lock<std::mutex> &lock) {
    shared_state &st = *state_;
    session &w = st.work;
    const uint64_t window = st.slots.size();
    auto batch_number_of = [&](uint64_t &cursor, uint64_t call) -> batch & {
        // Batches are numbered in order and hold consecutive calls; collected and empty ones are passed.
        cursor = std::max(cursor, w.front_number);
        while (call >= w.batches[cursor - w.front_number].first + w.batches[cursor - w.front_number].plan.count()) cursor++;
        return w.batches[cursor - w.front_number];
    };

    // Joining first: it frees a slot, and the joiner is the one thread that can hold the others up.
    if (can_join(w)) {
        batch &b = batch_number_of(w.join_batch, w.joined);
        slot &s = st.slots[w.joined % window];
        w.joining = true;
        const kiv_detached_piece piece = s.piece;
        uint8_t *const at = b.out + b.written;
        lock.unlock();
        // The record is the joiner's alone while `joining` is set (a deque keeps its elements in place
        // when batches are added, and a batch is removed only once all its calls are joined).
        const int32_t n = kiv_detached_join(&w.stream, at, &piece);
        lock.lock();
        b.written += static_cast<uint64_t>(n);
        s.done = 0;
        w.joined++;
        w.joining = false;
        complete_ready();
        st.progress.notify_all();
        return true;
    }
    if (can_claim(w)) {
        const batch &b = batch_number_of(w.claim_batch, w.next);
        const uint64_t index = w.next++;
        w.encoding++;
        slot &s = st.slots[index % window];
        const piece_plan::call c = b.plan.at(index - b.first);
        const uint8_t *const data = b.data + c.offset;
        uint8_t *const in_place = w.in_place ? b.out + b.header + c.stored_offset : nullptr;
        const int32_t level = w.level, format = w.format;
        lock.unlock();
        std::exception_ptr failure;
        kiv_detached_piece piece;
        try {
            uint8_t *region = in_place;
            if (region == nullptr) {
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
            kiv_detached_encode(&piece, region, data, static_cast<int32_t>(c.length), level, format);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        w.encoding--;
        if (failure) {
            if (!w.failure) w.failure = failure;
        } else {
            s.piece = piece;
            s.done = index + 1;
        }
        st.progress.notify_all();
        return true;
    }
    return false;
}

// With the lock held: marks complete every batch, oldest first, whose calls are all joined, with the
// record as the joins have left it (no join runs meanwhile: `joining` is clear whenever this is called).
void driver::complete_ready() {
    session &w = state_->work;
    for (batch &b : w.batches) {
        if (b.complete) continue;
        if (w.joined < b.first + b.plan.count()) break;
        b.record_after = w.stream;
        b.complete = true;
    }
}

void driver::wait_idle(std::unique_lock<std::mutex> &lock) {
    session &w = state_->work;
    state_->progress.wait(lock, [&] { return w.encoding == 0 && !w.joining; });
}

// With the lock held and no thread working: forgets every batch, and the slots' finished pieces with them.
void driver::reset_session() {
    state_->work = session{};
    for (slot &s : state_->slots) s.done = 0;
}

uint64_t driver::batch_bound(const kiv_encoder *enc, const piece_plan &plan) const {
    if (plan.count() == 0) return 0;
    if (getpid() != owner_) return output_bound(enc, plan);  // submit() refuses there anyway
    std::lock_guard<std::mutex> hold(state_->lock);
    const session &w = state_->work;
    if (w.batches.empty()) return output_bound(enc, plan);
    const uint64_t header = w.submitted == 0 ? w.start_header : 0;
    return header + (w.in_place ? plan.stored_size() : plan.output_bound());
}

void driver::submit(const kiv_encoder *enc, uint8_t *out, const uint8_t *data, piece_plan plan) {
    if (getpid() != owner_) throw std::logic_error("the driver was made in another process");
    shared_state &st = *state_;
    std::unique_lock<std::mutex> lock(st.lock);
    session &w = st.work;
    if (w.batches.empty()) {  // a new session: the stream goes on from the record given
        w.stream = *enc;
        w.level = enc->level;
        w.format = enc->format;
        w.in_place = stored_in_place(enc);
        w.start_header = static_cast<uint64_t>(kiv_stream_pending_header(enc));
    }
    batch b;
    b.data = data;
    b.out = out;
    b.first = w.submitted;
    b.header = w.submitted == 0 && plan.count() > 0 ? w.start_header : 0;
    b.plan = std::move(plan);
    w.submitted += b.plan.count();
    w.batches.push_back(std::move(b));
    if (!w.joining) complete_ready();  // an empty batch behind joined ones
    st.progress.notify_all();
}

size_t driver::pending() const {
    if (getpid() != owner_) return 0;  // the parent's batches are not this process's
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->work.batches.size();
}

uint64_t driver::collect(kiv_encoder *enc) {
    if (getpid() != owner_) throw std::logic_error("the driver was made in another process");
    shared_state &st = *state_;
    std::unique_lock<std::mutex> lock(st.lock);
    session &w = st.work;
    if (w.batches.empty()) throw std::logic_error("no batch to collect");
    while (!w.batches.front().complete && !w.failure)
        if (!step(lock)) st.progress.wait(lock);
    if (!w.batches.front().complete) {
        wait_idle(lock);
        const std::exception_ptr failure = w.failure;
        reset_session();
        std::rethrow_exception(failure);
    }
    const batch &b = w.batches.front();
    *enc = b.record_after;
    const uint64_t written = b.written;
    w.batches.pop_front();
    w.front_number++;
    if (w.batches.empty()) reset_session();  // every call is joined: the next batch starts afresh
    return written;
}

void driver::abandon() {
    if (getpid() != owner_) return;
    std::unique_lock<std::mutex> lock(state_->lock);
    session &w = state_->work;
    if (w.batches.empty()) return;
    if (!w.failure) w.failure = dropped();
    wait_idle(lock);
    reset_session();
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
    std::lock_guard<std::mutex> one_at_a_time(state_->call_lock);
    if (pending() != 0) throw std::logic_error("encode() while batches submitted apart from it are pending");
    submit(enc, out, data, plan);
    kiv_encoder after;
    const uint64_t written = collect(&after);  // on failure `enc` stays as it was
    *enc = after;
    return written;
}

}  // namespace kiv_parallel
