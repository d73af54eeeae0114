// kivio_core.cpp: the native module `kivio._core`: the class `Compressor` and its constants, over the engine.
//
// Written against the CPython C API directly, without pybind11: a `compress` call of a few hundred bytes
// spends most of its time in the call itself, and a plain METH_O method with the buffer protocol costs a
// fraction of a pybind11 dispatch (bench/percall.py). Each call takes the object's lock,
// makes room in the object's output buffer, runs one engine operation (releasing the interpreter lock
// when the input is long enough for that to pay) and copies what the engine wrote into a new bytes object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>

#include "containers.h"
#include "encoder_state.h"
#include "parallel_driver.h"
#include "sync_flush.h"

namespace {

// Flush modes, with zlib's values so that zlib.Z_SYNC_FLUSH and friends can be passed as they are.
constexpr int SYNC_FLUSH = 2;
constexpr int FULL_FLUSH = 3;
constexpr int FINISH = 4;

// From this input size on, the engine writes straight into the result object: the pages of an output
// buffer this large would be faulted in and then copied out in full. Smaller calls reuse the object's
// output buffer and pay one short copy.
constexpr uint64_t DIRECT_OUTPUT_MIN = uint64_t{1} << 20;
// Smallest capacity the output buffer is given when it grows.
constexpr size_t MIN_BUFFER_CAPACITY = 1024;
// Shorter inputs are compressed with the interpreter lock held. When two threads compress on objects of
// their own, every release and re-take of the lock may hand it to the other thread, and that hand-over (a
// wake-up across cores) costs tens of microseconds. Measured with bench/threads.py on a quiet 2-core
// machine, two threads against one, releasing on every call (kiv's objects) against keeping the lock:
// level 1 gains from releasing at 1 KiB (1.9x; 2 KiB 2.2x) but not at 512 B (0.9x, noisy); level 0,
// which stores at memory speed, loses below 64 KiB (0.5-0.65x from 256 B to 16 KiB) and gains from
// 64 KiB on (1.1-1.2x; 256 KiB 1.1x, 1 MiB 1.6x).
constexpr uint64_t RELEASE_LOCK_MIN_STORING = 64 << 10;
constexpr uint64_t RELEASE_LOCK_MIN_SEARCHING = 1 << 10;

constexpr const char *RESULT_LOST =
    "could not allocate the bytes object for the result: this call's output is lost, so the stream can no "
    "longer be completed";
constexpr const char *STREAM_BROKEN =
    "this Compressor lost output when an earlier result could not be allocated; its stream cannot be "
    "completed, start a new Compressor";
constexpr const char *STREAM_FINISHED = "the stream is finished: flush(FINISH) has ended it";
constexpr const char *STREAM_IN_POOL =
    "an EncoderPool holds submitted input of this stream: collect its output before calling the Compressor";

struct compressor {
    PyObject_HEAD
    kiv_encoder encoder;
    uint8_t *output_buffer;  // contents mean nothing between calls
    size_t buffer_capacity;
    std::mutex lock;         // serialises calls on this object
    bool finished;           // flush(FINISH) has run
    bool broken;             // an engine call's output was lost
    bool flush_due;          // a sync or full flush would write: no flush since the last compress call
    unsigned pool_batches;   // batches of this stream an EncoderPool holds: its record moves when they are
                             // collected, so calls of the object's own are refused until then
};

// Holds a compressor's own lock for the lifetime of the guard. Called with the interpreter lock held;
// when the object is busy on another thread, waits for it with the interpreter lock released, so that
// the other thread can take the interpreter lock back and finish its call. No Python code runs while
// the object lock is held (buffers are taken before it and released after it, and only bytes objects,
// which the cyclic collector does not track, are allocated), so a thread never waits for itself.
class object_lock {
public:
    explicit object_lock(std::mutex &m) : m_(m) {
        if (!m_.try_lock()) {
            PyThreadState *ts = PyEval_SaveThread();
            m_.lock();
            PyEval_RestoreThread(ts);
        }
    }
    ~object_lock() { m_.unlock(); }
    object_lock(const object_lock &) = delete;
    object_lock &operator=(const object_lock &) = delete;

private:
    std::mutex &m_;
};

// The bytes a compress call reads: a bytes object's own storage, or a buffer export held until the
// guard dies, so that the exporter cannot resize or free the memory while the engine reads it.
class input_bytes {
public:
    // Returns false with a Python exception set when `obj` offers no C-contiguous buffer. With `hold`,
    // the guard keeps a bytes object alive itself (a buffer export keeps its exporter alive anyway), so
    // that it may outlive the call.
    bool take(PyObject *obj, bool hold = false) {
        if (PyBytes_Check(obj)) {  // immutable; the caller's reference keeps it alive
            data_ = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj));
            size_ = PyBytes_GET_SIZE(obj);
            if (hold) {
                Py_INCREF(obj);
                held_ = obj;
            }
            return true;
        }
        // The most permissive request, so that every exporter answers; contiguity is checked here.
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) return false;
        exported_ = true;
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_TypeError,
                         "compress() needs a C-contiguous buffer, and this %.100s is not; pass bytes(data) "
                         "(one copy) instead",
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        data_ = static_cast<const uint8_t *>(view_.buf);
        size_ = view_.len;
        return true;
    }
    ~input_bytes() {
        if (exported_) PyBuffer_Release(&view_);
        Py_XDECREF(held_);
    }
    input_bytes() = default;
    input_bytes(const input_bytes &) = delete;
    input_bytes &operator=(const input_bytes &) = delete;
    const uint8_t *data() const { return data_; }
    uint64_t size() const { return static_cast<uint64_t>(size_); }

private:
    Py_buffer view_{};
    bool exported_ = false;
    PyObject *held_ = nullptr;
    const uint8_t *data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// Makes the output buffer hold at least `need` bytes. Grows by at least half its capacity so that
// slowly growing calls reallocate rarely; falls back to exactly `need` when the larger block is refused.
// On failure raises MemoryError and leaves the buffer as it was.
bool reserve(compressor *self, size_t need) {
    if (need <= self->buffer_capacity) return true;
    size_t cap = std::max({need, self->buffer_capacity + self->buffer_capacity / 2, MIN_BUFFER_CAPACITY});
    void *grown = std::malloc(cap);
    if (grown == nullptr && cap > need) grown = std::malloc(cap = need);
    if (grown == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the Compressor's output buffer");
        return false;
    }
    std::free(self->output_buffer);
    self->output_buffer = static_cast<uint8_t *>(grown);
    self->buffer_capacity = cap;
    return true;
}

// The first w bytes of the output buffer as a new bytes object. The engine has already moved the
// stream past these bytes, so when they cannot be returned the stream is marked broken.
PyObject *result(compressor *self, int32_t w) {
    PyObject *out = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(self->output_buffer), w);
    if (out == nullptr) {
        PyErr_Clear();
        self->broken = true;
        PyErr_SetString(PyExc_RuntimeError, RESULT_LOST);
    }
    return out;
}

// Raises for a stream that cannot take `compress` or a sync/full flush; false when it can.
// Raises while a pool holds batches of the stream; false when it holds none.
bool refuse_while_in_pool(const compressor *self) {
    if (self->pool_batches == 0) return false;
    PyErr_SetString(PyExc_RuntimeError, STREAM_IN_POOL);
    return true;
}

bool refuse_input(const compressor *self) {
    if (refuse_while_in_pool(self)) return true;
    if (self->broken) {
        PyErr_SetString(PyExc_RuntimeError, STREAM_BROKEN);
        return true;
    }
    if (self->finished) {
        PyErr_SetString(PyExc_ValueError, STREAM_FINISHED);
        return true;
    }
    return false;
}

// Asks the kernel for huge pages (2 MiB) where a large output will be written. Fresh memory is faulted in
// page by page as the engine writes it, and with 4 KiB pages those faults cost more than writing a stored
// stream itself: the corpus (82 MB) at level 0 in 1 MiB pieces went from about 0.7 GB/s to 4 GB/s with the
// advice. Where transparent huge pages are off, or on for all memory, the advice changes nothing.
constexpr size_t HUGE_PAGE = size_t{2} << 20;
constexpr size_t HUGE_PAGES_MIN = size_t{4} << 20;  // smaller outputs rarely span a whole aligned huge page
void advise_huge_pages(uint8_t *p, size_t n) {
#ifdef MADV_HUGEPAGE
    if (n < HUGE_PAGES_MIN) return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(HUGE_PAGE - 1);
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);  // advice: errors are harmless
#else
    (void)p;
    (void)n;
#endif
}

// A new bytes object of `bound` bytes for an engine to write into. On failure raises MemoryError: nothing has
// been written, so the stream is unchanged and the call may be repeated.
PyObject *new_result(uint64_t bound) {
    PyObject *out = bound <= static_cast<uint64_t>(PY_SSIZE_T_MAX)
                        ? PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound))
                        : nullptr;
    if (out == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the compressed output");
        return nullptr;
    }
    advise_huge_pages(reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out)), static_cast<size_t>(bound));
    return out;
}

// Shrinks a result made by new_result to the `w` bytes written. The engine has already moved the stream
// past them, so if that fails the output is lost and the stream is marked broken.
PyObject *shrunk_result(compressor *self, PyObject *out, uint64_t w) {
    if (static_cast<uint64_t>(PyBytes_GET_SIZE(out)) != w && _PyBytes_Resize(&out, static_cast<Py_ssize_t>(w)) != 0) {
        PyErr_Clear();  // _PyBytes_Resize has freed the object
        self->broken = true;
        PyErr_SetString(PyExc_RuntimeError, RESULT_LOST);
        return nullptr;
    }
    return out;
}

// A large input: the engine writes straight into the result object, sized for the call's bound and
// shrunk to the bytes written, so nothing is copied and the output buffer is not used. Only an input too
// long for one engine call goes in pieces of KIV_HUGE_INPUT_PIECE bytes, one after the other, as kiv's
// compressobj and the parallel driver cut it (kiv_stream_call_size).
PyObject *compress_direct(compressor *self, const uint8_t *data, uint64_t n) {
    const uint64_t piece_size = kiv_stream_call_size(self->encoder.format, n);
    uint64_t bound = static_cast<uint64_t>(kiv_stream_pending_header(&self->encoder)) +
                     (n / piece_size) * kiv_encode_bound(piece_size);
    if (n % piece_size != 0) bound += kiv_encode_bound(n % piece_size);
    PyObject *out = new_result(bound);
    if (out == nullptr) return nullptr;
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    uint64_t w = 0;
    Py_BEGIN_ALLOW_THREADS
    for (uint64_t done = 0; done < n; done += piece_size) {
        uint64_t piece = std::min(piece_size, n - done);
        w += static_cast<uint64_t>(kiv_stream_encode(&self->encoder, dst + w, data + done, static_cast<int32_t>(piece), 1));
    }
    Py_END_ALLOW_THREADS
    self->flush_due = true;
    return shrunk_result(self, out, w);
}

PyObject *compress_locked(compressor *self, const input_bytes &in) {
    if (refuse_input(self)) return nullptr;
    const uint64_t n = in.size();
    if (n >= DIRECT_OUTPUT_MIN) return compress_direct(self, in.data(), n);
    if (!reserve(self, kiv_encode_bound(n) + static_cast<uint64_t>(kiv_stream_pending_header(&self->encoder))))
        return nullptr;
    int32_t w;
    if (n >= (self->encoder.level ? RELEASE_LOCK_MIN_SEARCHING : RELEASE_LOCK_MIN_STORING)) {
        Py_BEGIN_ALLOW_THREADS
        w = kiv_stream_encode(&self->encoder, self->output_buffer, in.data(), static_cast<int32_t>(n), 1);
        Py_END_ALLOW_THREADS
    } else {
        w = kiv_stream_encode(&self->encoder, self->output_buffer, in.data(), static_cast<int32_t>(n), 1);
    }
    self->flush_due = true;
    return result(self, w);
}

PyObject *compressor_compress(PyObject *self_obj, PyObject *data) {
    auto *self = reinterpret_cast<compressor *>(self_obj);
    input_bytes in;  // declared before the lock: the export ends after the lock is given back
    if (!in.take(data)) return nullptr;
    object_lock held(self->lock);
    return compress_locked(self, in);
}

PyObject *flush_locked(compressor *self, int mode) {
    if (mode == FINISH) {
        if (refuse_while_in_pool(self)) return nullptr;
        if (self->broken) {
            PyErr_SetString(PyExc_RuntimeError, STREAM_BROKEN);
            return nullptr;
        }
        if (self->finished) return PyBytes_FromStringAndSize(nullptr, 0);  // the stream is complete
        if (!reserve(self, KIV_FINISH_BOUND)) return nullptr;
        int32_t w = kiv_stream_finish(&self->encoder, self->output_buffer);
        self->finished = true;
        return result(self, w);
    }
    if (refuse_input(self)) return nullptr;
    if (!self->flush_due) return PyBytes_FromStringAndSize(nullptr, 0);  // a flush point is already there
    if (!reserve(self, KIV_SYNC_FLUSH_BOUND)) return nullptr;
    int32_t w = kiv_stream_sync_flush(&self->encoder, self->output_buffer);
    self->flush_due = false;
    return result(self, w);
}

// Reads an int argument through __index__; false with TypeError (naming `what`) for anything else.
bool int_argument(PyObject *obj, const char *what, long &value, bool &overflow) {
    PyObject *index = PyIndex_Check(obj) ? PyNumber_Index(obj) : nullptr;
    if (index == nullptr) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", what, Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    int o = 0;
    value = PyLong_AsLongAndOverflow(index, &o);
    Py_DECREF(index);
    overflow = o != 0;
    return !(value == -1 && PyErr_Occurred());
}

PyObject *compressor_flush(PyObject *self_obj, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto *self = reinterpret_cast<compressor *>(self_obj);
    PyObject *mode_obj = nargs >= 1 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw > 1) {
        PyErr_Format(PyExc_TypeError, "flush() takes at most 1 argument (%zd given)", nargs + nkw);
        return nullptr;
    }
    if (nkw == 1) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "mode") != 0) {
            PyErr_Format(PyExc_TypeError, "flush() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        mode_obj = args[0];
    }
    int mode = FINISH;
    if (mode_obj != nullptr) {
        long value;
        bool overflow;
        if (!int_argument(mode_obj, "mode", value, overflow)) return nullptr;
        if (overflow || (value != SYNC_FLUSH && value != FULL_FLUSH && value != FINISH)) {
            PyErr_Format(PyExc_ValueError, "mode must be SYNC_FLUSH (2), FULL_FLUSH (3) or FINISH (4), not %R", mode_obj);
            return nullptr;
        }
        mode = static_cast<int>(value);
    }
    object_lock held(self->lock);
    return flush_locked(self, mode);
}

bool parse_level(PyObject *obj, int32_t &level) {
    long value;
    bool overflow;
    if (!int_argument(obj, "level", value, overflow)) return false;
    if (overflow || value < -1 || value > 9) {
        PyErr_Format(PyExc_ValueError, "level must be 0 (store), 1 to 9 or -1 (search for matches), not %R", obj);
        return false;
    }
    level = value == 0 ? 0 : 1;  // kiv has one searching level
    return true;
}

bool parse_format(PyObject *obj, int32_t &format) {
    if (PyUnicode_Check(obj)) {
        PyObject *lower = PyObject_CallMethod(obj, "lower", nullptr);
        if (lower == nullptr) return false;
        static const struct {
            const char *name;
            int32_t format;
        } names[] = {{"gzip", KIV_FMT_GZIP}, {"zlib", KIV_FMT_ZLIB}, {"deflate", KIV_FMT_DEFLATE}, {"raw", KIV_FMT_DEFLATE}};
        for (const auto &n : names)
            if (PyUnicode_CompareWithASCIIString(lower, n.name) == 0) {
                Py_DECREF(lower);
                format = n.format;
                return true;
            }
        Py_DECREF(lower);
        PyErr_Format(PyExc_ValueError, "format must be 'gzip', 'zlib', 'deflate' or 'raw' (any case), not %R", obj);
        return false;
    }
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "format must be an int or a str, not %.100s", Py_TYPE(obj)->tp_name);
        return false;
    }
    long value;
    bool overflow;
    if (!int_argument(obj, "format", value, overflow)) return false;
    if (overflow || value < KIV_FMT_GZIP || value > KIV_FMT_DEFLATE) {
        PyErr_Format(PyExc_ValueError, "format must be GZIP (0), ZLIB (1) or DEFLATE (2), not %R", obj);
        return false;
    }
    format = static_cast<int32_t>(value);
    return true;
}

// The whole construction happens here, so every instance, however it was made (Compressor.__new__ alone
// included), is a complete stream; there is no __init__ to skip or to call twice.
PyObject *compressor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"level", "format", nullptr};
    PyObject *level_obj = nullptr, *format_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:Compressor", const_cast<char **>(keywords), &level_obj,
                                     &format_obj))
        return nullptr;
    int32_t level = 1, format = KIV_FMT_GZIP;
    if (level_obj != nullptr && !parse_level(level_obj, level)) return nullptr;
    if (format_obj != nullptr && !parse_format(format_obj, format)) return nullptr;

    auto *self = reinterpret_cast<compressor *>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    new (&self->lock) std::mutex();
    self->output_buffer = nullptr;
    self->buffer_capacity = 0;
    self->finished = false;
    self->broken = false;
    self->flush_due = true;  // the first flush of a stream always writes
    self->pool_batches = 0;
    kiv_stream_init(&self->encoder, level, format);
    return reinterpret_cast<PyObject *>(self);
}

void compressor_dealloc(PyObject *self_obj) {
    auto *self = reinterpret_cast<compressor *>(self_obj);
    std::free(self->output_buffer);
    self->lock.~mutex();
    Py_TYPE(self_obj)->tp_free(self_obj);
}

PyDoc_STRVAR(compress_doc,
             "compress($self, data, /)\n--\n\n"
             "Compress *data* and return the compressed bytes that this call produced.\n\n"
             "*data* is any object with the buffer protocol whose memory is C-contiguous: bytes, bytearray,\n"
             "memoryview (of any item format), array.array, mmap, a C-ordered numpy array and so on. Its\n"
             "bytes are read in place, without a copy, and the buffer stays exported until the call returns,\n"
             "so an exporter that would resize or free it meanwhile (a bytearray grown by another thread)\n"
             "gets a BufferError instead. A non-contiguous buffer raises TypeError; pass ``bytes(data)``.\n\n"
             "The result may be empty: bits that do not yet fill a 32-bit output word stay in the object and\n"
             "come out in a later result. The results of all calls, in call order, form the stream. Matches\n"
             "are found only inside the bytes of one call, so larger calls compress better.\n\n"
             "Raises ValueError after ``flush(FINISH)``, MemoryError when the output cannot be allocated\n"
             "(nothing happened; the call may be repeated) and RuntimeError when the stream has lost output.");

PyDoc_STRVAR(flush_doc,
             "flush($self, mode=4)\n--\n\n"
             "Write a flush point or end the stream, and return the compressed bytes this produced.\n\n"
             "*mode* is one of the following; ``FINISH`` (4) is the default.\n\n"
             "- ``FINISH``: close the last block and write the trailer (gzip, zlib). The\n"
             "  stream is complete; later ``compress`` calls and sync or full flushes raise ValueError, and\n"
             "  another ``flush(FINISH)`` returns ``b\"\"``. For bytes input the stream is byte for byte the\n"
             "  one :class:`kiv.compressobj` writes.\n"
             "- ``SYNC_FLUSH``: write every pending bit and an empty stored block (ending in\n"
             "  ``00 00 FF FF``), so that all input so far decodes from the bytes returned so far; the stream\n"
             "  goes on. The first flush of a stream always writes (on a fresh gzip or zlib stream the header\n"
             "  too). A sync or full flush straight after another one, with no ``compress`` call between,\n"
             "  returns ``b\"\"``: the flush point is already there. Any ``compress`` call counts, even one with\n"
             "  empty data, so ``compress(message)`` followed by ``flush(SYNC_FLUSH)`` always ends with\n"
             "  ``00 00 FF FF``, as with zlib.\n"
             "- ``FULL_FLUSH``: the same bytes as ``SYNC_FLUSH``. The compressor keeps no history between\n"
             "  calls, so every flush point is also a full flush point: a raw DEFLATE decoder can start\n"
             "  decoding right after it.\n\n"
             "Raises ValueError for any other mode (TypeError for a non-int) and RuntimeError when the stream\n"
             "has lost output.");

PyMethodDef compressor_methods[] = {
    {"compress", compressor_compress, METH_O, compress_doc},
    {"flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(compressor_flush)),
     METH_FASTCALL | METH_KEYWORDS, flush_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(compressor_doc,
             "Compressor(level=1, format=0)\n--\n\n"
             "A compressed stream: feed it with :meth:`compress`, end it with :meth:`flush`.\n\n"
             "*level* follows zlib: 0 stores the data uncompressed; 1 to 9 and -1 all search for matches\n"
             "(the compressor has a single searching level). Any other int raises ValueError, a non-int\n"
             "TypeError.\n\n"
             "*format* is the container: ``GZIP`` (0, the default: one gzip member), ``ZLIB`` (1) or\n"
             "``DEFLATE`` (2, raw DEFLATE), or one of the strings ``\"gzip\"``, ``\"zlib\"``, ``\"deflate\"``\n"
             "and ``\"raw\"``, in any case. Any other value raises ValueError, another type TypeError.\n\n"
             "Threads: the interpreter lock is released while a long call is compressed (1 KiB or more when\n"
             "searching, 64 KiB or more at level 0), so different objects compress in parallel on different\n"
             "threads; shorter calls keep it, because handing it over would cost more than the work. Calls on\n"
             "one object from several threads run one after the other (the stream then holds them in the order\n"
             "they came in); drive each object from one thread at a time for a meaningful stream.\n\n"
             "A Compressor cannot be copied or pickled.");

PyTypeObject compressor_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

// ---- EncoderPool: the parallel driver over a Compressor's stream ----

constexpr const char *POOL_CLOSED = "the EncoderPool is closed";

// A batch submitted and not yet collected: what the driver reads and writes until then.
struct submitted_batch {
    compressor *stream;      // a strong reference; its pool_batches counts this batch
    input_bytes *input;      // holds the input's bytes or buffer export
    PyObject *output;        // the result the driver writes into, returned by collect
    bool has_calls;          // any input: collecting it counts as a compress call for the flush rule
};

struct encoder_pool {
    PyObject_HEAD
    kiv_parallel::driver *driver;  // null once closed
    std::mutex lock;               // held by each call, so that close() waits for the call in progress
    unsigned threads;              // the driver's, 0 once closed; read and written with the interpreter lock
    std::deque<submitted_batch> *batches;  // oldest first; touched with both locks held
};

// With the interpreter lock: gives up a batch's references once the driver has left it.
void release_batch(submitted_batch &b) {
    b.stream->pool_batches--;
    delete b.input;
    Py_XDECREF(b.output);
    Py_DECREF(reinterpret_cast<PyObject *>(b.stream));
}

PyTypeObject encoder_pool_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

// Reads a positive int argument through __index__: TypeError for a non-int (bool included), ValueError
// below 1; values beyond 64 bits read as the largest one.
bool positive_argument(PyObject *obj, const char *what, uint64_t &value) {
    PyObject *index = PyIndex_Check(obj) && !PyBool_Check(obj) ? PyNumber_Index(obj) : nullptr;
    if (index == nullptr) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a positive int, not %.100s", what, Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < 1)) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive int, not %R", what, obj);
        return false;
    }
    value = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(v);
    return true;
}

PyObject *encoder_pool_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"threads", nullptr};
    PyObject *threads_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:EncoderPool", const_cast<char **>(keywords), &threads_obj))
        return nullptr;
    uint64_t threads;
    if (!positive_argument(threads_obj, "threads", threads)) return nullptr;
    // Beyond this many threads nothing is gained and each one costs a stack.
    constexpr uint64_t MAX_THREADS = 1024;
    if (threads > MAX_THREADS) {
        PyErr_Format(PyExc_ValueError, "threads must be at most %llu, not %R", static_cast<unsigned long long>(MAX_THREADS),
                     threads_obj);
        return nullptr;
    }
    auto *self = reinterpret_cast<encoder_pool *>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    new (&self->lock) std::mutex();
    self->driver = nullptr;
    self->threads = static_cast<unsigned>(threads);
    self->batches = new (std::nothrow) std::deque<submitted_batch>();
    if (self->batches == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    try {
        self->driver = new kiv_parallel::driver(static_cast<unsigned>(threads));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::system_error &e) {
        PyErr_Format(PyExc_RuntimeError, "can't start new thread (%s)", e.what());
    }
    if (self->driver == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

// Stops and joins the helpers, with the interpreter lock released: they never take it, and another
// thread may hold the pool's lock for a call that runs without it.
// Batches not collected are dropped, once no helper works on them any more.
void close_pool(encoder_pool *self) {
    Py_BEGIN_ALLOW_THREADS
    std::lock_guard<std::mutex> held(self->lock);
    delete self->driver;
    self->driver = nullptr;
    Py_END_ALLOW_THREADS
    self->threads = 0;
    if (self->batches != nullptr) {
        for (submitted_batch &b : *self->batches) release_batch(b);
        self->batches->clear();
    }
}

void encoder_pool_dealloc(PyObject *self_obj) {
    auto *self = reinterpret_cast<encoder_pool *>(self_obj);
    close_pool(self);
    delete self->batches;
    self->lock.~mutex();
    Py_TYPE(self_obj)->tp_free(self_obj);
}

PyObject *encoder_pool_close(PyObject *self_obj, PyObject *) {
    close_pool(reinterpret_cast<encoder_pool *>(self_obj));
    Py_RETURN_NONE;
}

PyObject *encoder_pool_enter(PyObject *self_obj, PyObject *) {
    Py_INCREF(self_obj);
    return self_obj;
}

PyObject *encoder_pool_exit(PyObject *self_obj, PyObject *) {
    close_pool(reinterpret_cast<encoder_pool *>(self_obj));
    Py_RETURN_NONE;
}

PyObject *encoder_pool_threads(PyObject *self_obj, void *) {
    return PyLong_FromUnsignedLong(reinterpret_cast<encoder_pool *>(self_obj)->threads);
}

// The pieces through the driver, with the compressor's lock held: the output goes straight into the
// result, sized for the calls' bound (exact at level 0) and shrunk to what was written.
PyObject *pool_compress_locked(encoder_pool *pool, compressor *self, const input_bytes &in, uint64_t chunk, bool finish) {
    if (refuse_input(self)) return nullptr;
    const kiv_parallel::piece_plan plan = kiv_parallel::piece_plan::uniform(in.size(), chunk, kiv_stream_call_limit(self->encoder.format));
    const uint64_t bound = kiv_parallel::output_bound(&self->encoder, plan) + (finish ? KIV_FINISH_BOUND : 0);
    PyObject *out = new_result(bound);
    if (out == nullptr) return nullptr;
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    uint64_t w = 0;
    bool out_of_memory = false;
    auto run = [&] {
        try {
            w = pool->driver->encode(&self->encoder, dst, in.data(), plan);
            if (finish) w += static_cast<uint64_t>(kiv_stream_finish(&self->encoder, dst + w));
        } catch (const std::bad_alloc &) {  // a worker's region: the record is as it was
            out_of_memory = true;
        }
    };
    // The same rule as a compress call's; the helpers never need the lock either way.
    if (in.size() >= (self->encoder.level ? RELEASE_LOCK_MIN_SEARCHING : RELEASE_LOCK_MIN_STORING)) {
        Py_BEGIN_ALLOW_THREADS
        run();
        Py_END_ALLOW_THREADS
    } else {
        run();
    }
    if (out_of_memory) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_MemoryError, "cannot allocate a worker's output region; nothing was compressed");
        return nullptr;
    }
    if (plan.count() > 0) self->flush_due = true;
    if (finish) self->finished = true;
    return shrunk_result(self, out, w);
}

PyObject *encoder_pool_compress(PyObject *self_obj, PyObject *args, PyObject *kwargs) {
    auto *pool = reinterpret_cast<encoder_pool *>(self_obj);
    static const char *keywords[] = {"compressor", "data", "chunk_size", "finish", nullptr};
    PyObject *compressor_obj, *data, *chunk_obj;
    int finish = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO|p:compress", const_cast<char **>(keywords), &compressor_type,
                                     &compressor_obj, &data, &chunk_obj, &finish))
        return nullptr;
    uint64_t chunk;
    if (!positive_argument(chunk_obj, "chunk_size", chunk)) return nullptr;
    input_bytes in;  // declared before the locks: the export ends after they are given back
    if (!in.take(data)) return nullptr;
    object_lock pool_held(pool->lock);  // the pool first, then the stream: every caller takes them so
    if (pool->driver == nullptr) {
        PyErr_SetString(PyExc_ValueError, POOL_CLOSED);
        return nullptr;
    }
    if (!pool->batches->empty()) {
        PyErr_SetString(PyExc_ValueError, "the EncoderPool holds submitted input: collect its output first");
        return nullptr;
    }
    auto *self = reinterpret_cast<compressor *>(compressor_obj);
    object_lock stream_held(self->lock);
    return pool_compress_locked(pool, self, in, chunk, finish != 0);
}

PyObject *encoder_pool_submit(PyObject *self_obj, PyObject *args, PyObject *kwargs) {
    auto *pool = reinterpret_cast<encoder_pool *>(self_obj);
    static const char *keywords[] = {"compressor", "data", "chunk_size", nullptr};
    PyObject *compressor_obj, *data, *chunk_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO:submit", const_cast<char **>(keywords), &compressor_type,
                                     &compressor_obj, &data, &chunk_obj))
        return nullptr;
    uint64_t chunk;
    if (!positive_argument(chunk_obj, "chunk_size", chunk)) return nullptr;
    auto *in = new (std::nothrow) input_bytes();
    if (in == nullptr) return PyErr_NoMemory();
    if (!in->take(data, true)) {
        delete in;
        return nullptr;
    }
    PyObject *out = nullptr;
    {
        object_lock pool_held(pool->lock);
        auto *self = reinterpret_cast<compressor *>(compressor_obj);
        const char *refused = pool->driver == nullptr ? POOL_CLOSED
                              : !pool->batches->empty() && pool->batches->front().stream != self
                                  ? "the EncoderPool holds submitted input of another Compressor: collect it first"
                                  : nullptr;
        if (refused != nullptr) {
            PyErr_SetString(PyExc_ValueError, refused);
        } else {
            object_lock stream_held(self->lock);
            if (self->broken) {
                PyErr_SetString(PyExc_RuntimeError, STREAM_BROKEN);
            } else if (self->finished) {
                PyErr_SetString(PyExc_ValueError, STREAM_FINISHED);
            } else {
                kiv_parallel::piece_plan plan = kiv_parallel::piece_plan::uniform(in->size(), chunk, kiv_stream_call_limit(self->encoder.format));
                out = new_result(pool->driver->batch_bound(&self->encoder, plan));
                if (out != nullptr) {
                    const bool has_calls = plan.count() > 0;
                    try {
                        pool->batches->push_back(submitted_batch{self, in, out, has_calls});
                        pool->driver->submit(&self->encoder, reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out)),
                                             in->data(), std::move(plan));
                        Py_INCREF(compressor_obj);
                        self->pool_batches++;
                        Py_RETURN_NONE;
                    } catch (const std::bad_alloc &) {
                        PyErr_NoMemory();
                    } catch (const std::logic_error &) {
                        PyErr_SetString(PyExc_RuntimeError, "this EncoderPool was made in another process");
                    }
                    if (!pool->batches->empty() && pool->batches->back().output == out) pool->batches->pop_back();
                }
            }
        }
    }
    Py_XDECREF(out);
    delete in;
    return nullptr;
}

PyObject *encoder_pool_collect(PyObject *self_obj, PyObject *) {
    auto *pool = reinterpret_cast<encoder_pool *>(self_obj);
    object_lock pool_held(pool->lock);
    if (pool->driver == nullptr || pool->batches->empty()) {
        PyErr_SetString(PyExc_ValueError, pool->driver == nullptr ? POOL_CLOSED : "nothing submitted to collect");
        return nullptr;
    }
    kiv_encoder record;
    uint64_t w = 0;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        w = pool->driver->collect(&record);
    } catch (const std::bad_alloc &) {  // the driver has dropped this batch and every later one
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) {
        for (submitted_batch &b : *pool->batches) release_batch(b);
        pool->batches->clear();
        PyErr_SetString(PyExc_MemoryError,
                        "cannot allocate a worker's output region: the input submitted and not collected is "
                        "dropped, and the stream is as the last output collected left it");
        return nullptr;
    }
    submitted_batch b = pool->batches->front();
    pool->batches->pop_front();
    PyObject *out = b.output;
    b.output = nullptr;
    {
        object_lock stream_held(b.stream->lock);
        b.stream->encoder = record;
        if (b.has_calls) b.stream->flush_due = true;
        out = shrunk_result(b.stream, out, w);
    }
    release_batch(b);
    return out;
}

PyObject *encoder_pool_pending(PyObject *self_obj, void *) {
    auto *pool = reinterpret_cast<encoder_pool *>(self_obj);
    return PyLong_FromSize_t(pool->batches != nullptr ? pool->batches->size() : 0);
}

PyDoc_STRVAR(pool_compress_doc,
             "compress($self, compressor, data, chunk_size, finish=False)\n--\n\n"
             "Feed *data* to *compressor* in pieces of *chunk_size* bytes (the last one shorter) and return\n"
             "the compressed bytes, encoding the pieces on the pool's threads.\n\n"
             "The result, and the state *compressor* is left in, are exactly those of calling\n"
             "``compressor.compress`` on each piece in turn and joining the results, followed by\n"
             "``compressor.flush(FINISH)`` when *finish* is true. Each piece is encoded on one thread from the\n"
             "pieces' own bytes alone, and the pieces are joined in order, so the bytes never depend on the\n"
             "number of threads or on timing.\n\n"
             "*data* is any C-contiguous buffer, read in place; the interpreter lock is released meanwhile\n"
             "when the input is long enough, as ``Compressor.compress`` releases it.\n"
             "Raises what ``compressor.compress`` raises: ValueError after ``flush(FINISH)``, MemoryError when\n"
             "the output or a worker's region cannot be allocated (the stream is then unchanged), RuntimeError\n"
             "on a stream that has lost output; and ValueError when the pool is closed.");

PyDoc_STRVAR(pool_submit_doc,
             "submit($self, compressor, data, chunk_size)\n--\n\n"
             "Queue *data* for *compressor*'s stream in pieces of *chunk_size* bytes and return at once; the\n"
             "pool's threads compress it meanwhile. :meth:`collect` returns the output, oldest first.\n\n"
             "Inputs submitted one after the other continue one stream: collected in order, their outputs are\n"
             "exactly what ``compressor.compress`` called on each piece would return. The pool holds *data*\n"
             "(a bytes object, or an export of any other buffer, which cannot be resized meanwhile) until it is\n"
             "collected: the caller must not change its bytes before. Until then *compressor* refuses its own\n"
             "calls (RuntimeError), and the pool takes no other Compressor's input (ValueError). Raises\n"
             "MemoryError when the output cannot be allocated (nothing is queued), ValueError on a closed\n"
             "pool or a finished stream, RuntimeError in a process forked from the one that made the pool.");

PyDoc_STRVAR(pool_collect_doc,
             "collect($self, /)\n--\n\n"
             "Wait for the oldest submitted input, taking part in the work, and return its compressed bytes;\n"
             "the Compressor's stream then stands after it.\n\n"
             "Raises ValueError when nothing is pending. If a thread could not allocate its room for a piece,\n"
             "raises MemoryError and drops that input and every one submitted after it; the stream stays as\n"
             "the last output collected left it.");

PyDoc_STRVAR(pool_close_doc,
             "close($self, /)\n--\n\n"
             "Stop the pool's threads and wait for them; a call in progress on another thread ends first.\n"
             "Input submitted and not collected is dropped: its Compressor stands after the last output\n"
             "collected. Closing twice does nothing; later calls raise ValueError.");

PyMethodDef encoder_pool_methods[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encoder_pool_compress)),
     METH_VARARGS | METH_KEYWORDS, pool_compress_doc},
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encoder_pool_submit)),
     METH_VARARGS | METH_KEYWORDS, pool_submit_doc},
    {"collect", encoder_pool_collect, METH_NOARGS, pool_collect_doc},
    {"close", encoder_pool_close, METH_NOARGS, pool_close_doc},
    {"__enter__", encoder_pool_enter, METH_NOARGS, nullptr},
    {"__exit__", encoder_pool_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_pool_getset[] = {
    {"threads", encoder_pool_threads, nullptr, "Threads that encode, the calling one included; 0 once closed.", nullptr},
    {"pending", encoder_pool_pending, nullptr, "Inputs submitted and not yet collected.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(encoder_pool_doc,
             "EncoderPool(threads)\n--\n\n"
             "A fixed set of threads that compress the pieces of one stream at a time (see :meth:`compress`).\n\n"
             "*threads* counts the thread that calls :meth:`compress`, which takes part in the work: a pool\n"
             "of 1 starts no thread and compresses on the caller alone; a pool of *n* starts *n* - 1 threads\n"
             "at once, which wait for work between calls. Each thread holds at most two pieces' output at a\n"
             "time. Use the pool as a context manager or call :meth:`close`; a pool that is dropped stops its\n"
             "threads too. Raises TypeError for a non-int, ValueError outside 1 .. 1024 and RuntimeError when\n"
             "a thread cannot be started.");

PyDoc_STRVAR(module_doc,
             "The native core of kivio: the class Compressor and the format and flush-mode constants.\n\n"
             "Use it through the package: ``kivio.Compressor`` is this class itself.");

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "kivio._core",
    module_doc,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    compressor_type.tp_name = "kivio.Compressor";
    compressor_type.tp_basicsize = sizeof(compressor);
    compressor_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    compressor_type.tp_doc = compressor_doc;
    compressor_type.tp_new = compressor_new;
    compressor_type.tp_dealloc = compressor_dealloc;
    compressor_type.tp_methods = compressor_methods;
    if (PyType_Ready(&compressor_type) < 0) return nullptr;
    encoder_pool_type.tp_name = "kivio._core.EncoderPool";
    encoder_pool_type.tp_basicsize = sizeof(encoder_pool);
    encoder_pool_type.tp_flags = Py_TPFLAGS_DEFAULT;
    encoder_pool_type.tp_doc = encoder_pool_doc;
    encoder_pool_type.tp_new = encoder_pool_new;
    encoder_pool_type.tp_dealloc = encoder_pool_dealloc;
    encoder_pool_type.tp_methods = encoder_pool_methods;
    encoder_pool_type.tp_getset = encoder_pool_getset;
    if (PyType_Ready(&encoder_pool_type) < 0) return nullptr;

    PyObject *m = PyModule_Create(&core_module);
    if (m == nullptr) return nullptr;
    const struct {
        const char *name;
        int value;
    } constants[] = {{"GZIP", KIV_FMT_GZIP},     {"ZLIB", KIV_FMT_ZLIB},         {"DEFLATE", KIV_FMT_DEFLATE},
                     {"SYNC_FLUSH", SYNC_FLUSH}, {"FULL_FLUSH", FULL_FLUSH},    {"FINISH", FINISH}};
    for (const auto &c : constants)
        if (PyModule_AddIntConstant(m, c.name, c.value) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
    Py_INCREF(&compressor_type);
    if (PyModule_AddObject(m, "Compressor", reinterpret_cast<PyObject *>(&compressor_type)) < 0) {
        Py_DECREF(&compressor_type);
        Py_DECREF(m);
        return nullptr;
    }
    Py_INCREF(&encoder_pool_type);
    if (PyModule_AddObject(m, "EncoderPool", reinterpret_cast<PyObject *>(&encoder_pool_type)) < 0) {
        Py_DECREF(&encoder_pool_type);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
