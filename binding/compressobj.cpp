// compressobj.cpp: the Python module `kiv` and its class `compressobj`, a thin layer over the engine.
//
// Each call makes room in the object's output buffer, releases the interpreter lock, runs one engine
// operation, takes the lock back and copies what the engine wrote into a new bytes object.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "containers.h"
#include "encoder_state.h"

namespace py = pybind11;

namespace {

// Largest reservation of one engine call: its length and its result are signed 32-bit counts.
constexpr uint64_t MAX_RESERVATION = INT32_MAX;
// From this input size on, the engine writes straight into the result object: the pages of an output
// buffer this large would be faulted in and then copied out in full, which costs as much as storing the
// input at level 0. Smaller calls reuse output_buffer and pay one short copy.
constexpr uint64_t DIRECT_OUTPUT_MIN = uint64_t{1} << 20;
// Smallest capacity the output buffer is given when it grows.
constexpr size_t MIN_BUFFER_CAPACITY = 1024;

constexpr const char *RESULT_ALLOCATION_FAILED = "Could not allocate bytes object!";
constexpr const char *STREAM_BROKEN =
    "compressobj lost output when an earlier result could not be allocated; its stream cannot be "
    "completed, start a new compressobj";
constexpr const char *STREAM_FINISHED = "compress() called after flush(): the stream is finished";

// An allocation failure that says what could not be allocated; translated into MemoryError.
class output_alloc_error : public std::bad_alloc {
public:
    const char *what() const noexcept override { return "cannot allocate the compressed output"; }
};

// Holds a compressobj's own lock for the lifetime of the guard. Called with the interpreter lock
// held; when the object is busy on another thread, waits for it with the interpreter lock
// released, so that the other thread can take the interpreter lock back and finish its call.
// No Python code runs while the object lock is held (only bytes objects, which the cyclic
// collector does not track, are allocated), so a thread never waits for a lock it holds itself.
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

// Releases the interpreter lock for the lifetime of the guard.
class released_interpreter {
public:
    released_interpreter() : ts_(PyEval_SaveThread()) {}
    ~released_interpreter() { PyEval_RestoreThread(ts_); }
    released_interpreter(const released_interpreter &) = delete;
    released_interpreter &operator=(const released_interpreter &) = delete;

private:
    PyThreadState *ts_;
};

}  // namespace

struct kiv_compressobj {
    kiv_encoder encoder{};
    std::unique_ptr<uint8_t[]> output_buffer;  // contents mean nothing between calls
    int32_t reserved_size = 0;                 // largest reservation so far; the buffer holds at least this
    size_t buffer_capacity = 0;
    std::mutex lock;        // serialises calls on this object
    bool finished = false;  // flush has run
    bool broken = false;    // an engine call's output was lost

    kiv_compressobj(int32_t level, int32_t format) { kiv_stream_init(&encoder, level, format); }

    py::bytes compress(const py::bytes &obj);
    py::bytes flush();

private:
    void reserve(int32_t r);
    py::bytes result(int32_t w);
    py::bytes compress_direct(const uint8_t *data, uint64_t n);
};

// Makes output_buffer hold at least r bytes. Grows by at least half its capacity so that slowly
// growing calls reallocate rarely; falls back to exactly r when the larger block is refused.
// On failure the buffer and reserved_size stay as they were.
void kiv_compressobj::reserve(int32_t r) {
    if (r <= reserved_size) return;
    size_t need = static_cast<size_t>(r);
    if (need > buffer_capacity) {
        size_t cap = std::max({need, buffer_capacity + buffer_capacity / 2, MIN_BUFFER_CAPACITY});
        uint8_t *grown = new (std::nothrow) uint8_t[cap];
        if (grown == nullptr && cap > need) grown = new (std::nothrow) uint8_t[cap = need];
        if (grown == nullptr) throw output_alloc_error();
        output_buffer.reset(grown);
        buffer_capacity = cap;
    }
    reserved_size = r;
}

// The first w bytes of output_buffer as a new bytes object. The engine has already moved the
// stream past these bytes, so when they cannot be returned the stream is marked broken.
py::bytes kiv_compressobj::result(int32_t w) {
    PyObject *out = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(output_buffer.get()), w);
    if (out == nullptr) {
        PyErr_Clear();
        broken = true;
        throw std::runtime_error(RESULT_ALLOCATION_FAILED);
    }
    return py::reinterpret_steal<py::bytes>(out);
}

py::bytes kiv_compressobj::compress(const py::bytes &obj) {
    char *data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &n) != 0) throw py::error_already_set();

    object_lock held(lock);
    if (broken) throw std::runtime_error(STREAM_BROKEN);
    if (finished) throw py::value_error(STREAM_FINISHED);

    uint64_t r = kiv_encode_bound(static_cast<uint64_t>(n)) + kiv_stream_pending_header(&encoder);
    if (r > MAX_RESERVATION || static_cast<uint64_t>(n) >= DIRECT_OUTPUT_MIN)
        return compress_direct(reinterpret_cast<const uint8_t *>(data), static_cast<uint64_t>(n));
    reserve(static_cast<int32_t>(r));

    int32_t w;
    {
        released_interpreter unlocked;
        w = kiv_stream_encode(&encoder, output_buffer.get(), reinterpret_cast<const uint8_t *>(data),
                              static_cast<int32_t>(n), 1);
    }
    return result(w);
}

// A large input: the engine writes straight into the result object, sized for the call's bound and
// shrunk to the bytes written, so nothing is copied and output_buffer is not used. Only an input too
// large for one engine call (its reservation, with the format's header, above MAX_RESERVATION) goes in
// pieces of KIV_HUGE_INPUT_PIECE bytes, one after the other; any other input is one engine call.
py::bytes kiv_compressobj::compress_direct(const uint8_t *data, uint64_t n) {
    const uint64_t piece_size = kiv_stream_call_size(encoder.format, n);
    uint64_t bound = kiv_stream_pending_header(&encoder) + (n / piece_size) * kiv_encode_bound(piece_size);
    if (n % piece_size != 0) bound += kiv_encode_bound(n % piece_size);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
    if (out == nullptr) {  // nothing has been written: the stream is unchanged
        PyErr_Clear();
        throw output_alloc_error();
    }
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    uint64_t w = 0;
    {
        released_interpreter unlocked;
        for (uint64_t done = 0; done < n; done += piece_size) {
            uint64_t piece = std::min(piece_size, n - done);
            w += static_cast<uint64_t>(kiv_stream_encode(&encoder, dst + w, data + done, static_cast<int32_t>(piece), 1));
        }
    }
    if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(w)) != 0) {  // frees the object on failure
        PyErr_Clear();
        broken = true;
        throw std::runtime_error(RESULT_ALLOCATION_FAILED);
    }
    return py::reinterpret_steal<py::bytes>(out);
}

py::bytes kiv_compressobj::flush() {
    object_lock held(lock);
    if (broken) throw std::runtime_error(STREAM_BROKEN);
    if (finished) return py::bytes();  // the stream and its trailer are complete

    reserve(static_cast<int32_t>(KIV_FINISH_BOUND));
    int32_t w;
    {
        released_interpreter unlocked;
        w = kiv_stream_finish(&encoder, output_buffer.get());
    }
    finished = true;
    return result(w);
}

namespace {

// The native object behind `self`. An instance made by compressobj.__new__ alone has memory for the
// object but no object in it: refuse it instead of running on uninitialised state.
kiv_compressobj &constructed(py::handle self) {
    static const py::detail::type_info *const type = py::detail::get_type_info(typeid(kiv_compressobj));
    if (!PyObject_TypeCheck(self.ptr(), type->type)) throw py::type_error("compressobj method called on another type");
    auto *instance = reinterpret_cast<py::detail::instance *>(self.ptr());
    py::detail::value_and_holder native = instance->get_value_and_holder(type);
    if (!native.holder_constructed()) throw py::type_error("compressobj.__init__() was not called");
    return *native.value_ptr<kiv_compressobj>();
}

}  // namespace

PYBIND11_MODULE(kiv, m) {
    // The methods take `self` as a handle so that they can check its type and that it was constructed.
    py::class_<kiv_compressobj, std::shared_ptr<kiv_compressobj>>(m, "compressobj")
        .def(py::init<int32_t, int32_t>(), py::arg("level") = 1, py::arg("format") = 2)
        .def(
            "compress", [](py::handle self, const py::bytes &obj) { return constructed(self).compress(obj); },
            py::arg("obj"))
        .def("flush", [](py::handle self) { return constructed(self).flush(); });
    m.attr("KIV_FMT_GZIP") = py::int_(KIV_FMT_GZIP);
    m.attr("KIV_FMT_ZLIB") = py::int_(KIV_FMT_ZLIB);
    m.attr("KIV_FMT_DEFLATE") = py::int_(KIV_FMT_DEFLATE);
}
