// _lzw.cpp: lzw._lzw, the extension under the Python package lzw: the one-shot calls, Context,
// Compressor, Decompressor and frame_info on lzw.h. The package's Python files add Policy,
// FrameInfo and open().
//
// Every call codes with the GIL released, so other threads run meanwhile. Input is held as a
// Py_buffer for the whole call, so the caller's memory stays put while no Python object is
// touched; output goes into a bytes object made before the GIL is released, or into a C++
// buffer copied out after. An object's state is guarded by its own mutex, taken only after the
// GIL is released: a thread waiting for it must not hold the GIL the holder needs to return.
#include <lzw.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// lzw._errors.LzwError and ChecksumError, looked up once when the module loads. Never freed:
// the interpreter may be finalizing when static destructors run.
py::handle gLzwError;
py::handle gChecksumError;

// Raises LzwError, or ChecksumError for a checksum that does not match, for `code`.
[[noreturn]] void raiseLzw(int code, const std::string& detail = {}) {
    py::handle type = code == LZW_ERROR_CHECKSUM ? gChecksumError : gLzwError;
    py::object error =
        detail.empty() ? type(code) : type(code, std::string(lzw_error_name(code)) + ": " + detail);
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

// The caller's bytes, held for the call. PyBUF_SIMPLE rather than py::buffer::request(), which
// accepts strided views: the codec needs one contiguous run of bytes, and anything else (a
// str, a non-contiguous view) fails here with Python's own TypeError or BufferError.
class Input {
  public:
    explicit Input(py::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() { PyBuffer_Release(&view_); }

    const char* data() const { return static_cast<const char*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

// A bytes object of `capacity` bytes to fill with the GIL released, then cut to what was
// written: the result needs no copy.
class Output {
  public:
    explicit Output(size_t capacity) {
        if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        object_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (object_ == nullptr) throw py::error_already_set();
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Py_XDECREF(object_); }

    char* data() { return PyBytes_AS_STRING(object_); }

    py::bytes finish(size_t written) {
        if (static_cast<Py_ssize_t>(written) != PyBytes_GET_SIZE(object_) &&
            _PyBytes_Resize(&object_, static_cast<Py_ssize_t>(written)) != 0) {
            throw py::error_already_set();  // object_ is null and freed
        }
        return py::reinterpret_steal<py::bytes>(std::exchange(object_, nullptr));
    }

  private:
    PyObject* object_ = nullptr;
};

// Runs `work` with the GIL released and `mutex` (when given) held; the GIL comes back after
// the mutex is let go.
template <class Work>
auto unlocked(std::mutex* mutex, Work&& work) {
    py::gil_scoped_release released;
    std::unique_lock<std::mutex> lock;
    if (mutex != nullptr) lock = std::unique_lock<std::mutex>(*mutex);
    return work();
}

// Every argument but the data comes in as an object and is converted here: pybind11's own
// message for an argument it cannot convert repeats the repr of every argument, the caller's
// data included (megabytes for a large buffer). These messages name the argument and its
// type or value only.

// An int (or anything with __index__, such as a Policy); out of a long long's range gives
// the nearest end, which every range below refuses.
long long toInteger(py::handle value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an int, not " +
                             Py_TYPE(value.ptr())->tp_name);
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return result;
}

bool toFlag(py::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

lzw_policy toPolicy(py::handle value) {
    const long long policy = toInteger(value, "policy");
    if (policy < LZW_FREEZE || policy > LZW_RESET) {
        throw py::value_error("policy must be Policy.FREEZE, EVICT or RESET (1, 2 or 3), not " +
                              std::to_string(policy));
    }
    return static_cast<lzw_policy>(policy);
}

std::optional<lzw_policy> toOptionalPolicy(py::handle value) {
    if (value.is_none()) return std::nullopt;
    return toPolicy(value);
}

lzw_frame_params frameParams(py::handle policy, py::handle blockSizeArg, py::handle threadsArg,
                             py::handle seekTable) {
    lzw_frame_params params = LZW_FRAME_PARAMS_INIT(toPolicy(policy));
    if (!toFlag(seekTable)) params.checksums &= ~LZW_FRAME_SEEK_TABLE;
    const long long blockSize = toInteger(blockSizeArg, "block_size");
    if (blockSize < LZW_FRAME_BLOCK_MIN || blockSize > LZW_FRAME_BLOCK_MAX) {
        throw py::value_error("block_size must be from " + std::to_string(LZW_FRAME_BLOCK_MIN) +
                              " to " + std::to_string(LZW_FRAME_BLOCK_MAX) + ", not " +
                              std::to_string(blockSize));
    }
    // The program's -T takes the same counts.
    const long long threads = toInteger(threadsArg, "threads");
    if (threads < 0 || threads > LZW_FRAME_THREADS_MAX) {
        throw py::value_error("threads must be from 0 (one per core) to " +
                              std::to_string(LZW_FRAME_THREADS_MAX) + ", not " +
                              std::to_string(threads));
    }
    params.block_size = static_cast<unsigned>(blockSize);
    params.threads = static_cast<int>(threads);
    return params;
}

// A call whose arguments fit no signature (too many, too few, an unknown keyword): the
// signature, and how many arguments and which keywords came, never their values.
[[noreturn]] void wrongArguments(const char* signature, const py::args& args,
                                 const py::kwargs& kwargs) {
    std::string message = std::string("the arguments do not fit ") + signature + ": " +
                          std::to_string(args.size()) + " positional";
    const char* comma = ", keywords ";
    for (const auto& item : kwargs) {
        message += comma + py::str(item.first).cast<std::string>();
        comma = ", ";
    }
    throw py::type_error(message);
}

// Whether `in` starts with a frame's (or a skippable frame's) magic, as the library reads it.
bool startsWithFrame(const Input& in) {
    lzw_frame_header header{};
    return in.size() >= 4 &&
           lzw_frame_read_header(in.data(), in.size(), &header) != LZW_ERROR_NOT_FRAME;
}

// Grows `out` by steps and runs `step(room, size)` on its free end until it leaves room
// unused or `limit` (negative: none) is reached; returns step's last result.
template <class Step>
int fill(std::string& out, long long limit, Step&& step) {
    size_t used = out.size();
    int rc;
    do {
        size_t want = std::max<size_t>(used, 1 << 16);
        if (limit >= 0) want = std::min(want, static_cast<size_t>(limit) - used);
        out.resize(used + want);
        size_t pos = 0;
        rc = step(out.data() + used, want, pos);
        used += pos;
    } while (rc == LZW_FRAME_NEEDS_OUTPUT && (limit < 0 || used < static_cast<size_t>(limit)));
    out.resize(used);
    return rc;
}

// Decodes every frame of `size` bytes at `src` into `out`, at most `limit` bytes of them
// (negative: no limit). Returns LZW_OK or an error: LZW_ERROR_OUTPUT_TOO_SMALL past the limit,
// LZW_ERROR_ENDS_EARLY for a frame cut short, LZW_ERROR_TRAILING_DATA for bytes after a frame
// that begin none, as lzw_frame_decompress has them.
int decodeFrames(const char* src, size_t size, long long limit, std::string& out) {
    std::unique_ptr<lzw_frame_decoder, void (*)(lzw_frame_decoder*)> decoder(
        lzw_frame_decoder_create(), lzw_frame_decoder_free);
    if (decoder == nullptr) return LZW_ERROR_NO_MEMORY;
    lzw_in_buffer in{src, size, 0};
    for (bool first = true; first || in.pos < in.size; first = false) {
        if (!first) lzw_frame_decoder_reset(decoder.get());
        const int rc = fill(out, limit, [&](char* room, size_t roomSize, size_t& pos) {
            lzw_out_buffer o{room, roomSize, 0};
            const int r = lzw_frame_decode(decoder.get(), &in, &o);
            pos = o.pos;
            return r;
        });
        if (rc == LZW_ERROR_NOT_FRAME && !first) return LZW_ERROR_TRAILING_DATA;
        if (rc < 0) return rc;
        if (rc == LZW_FRAME_NEEDS_INPUT) return LZW_ERROR_ENDS_EARLY;
        if (rc == LZW_FRAME_NEEDS_OUTPUT) return LZW_ERROR_OUTPUT_TOO_SMALL;
    }
    return LZW_OK;
}

// Results up to this size are made on the stack.
constexpr size_t kSmall = 16 << 10;

// What one compress or decompress does, on a context guarded by `mutex` (null: the context
// serves this call alone).
struct Coding {
    lzw_ctx* ctx;
    std::mutex* mutex;

    py::bytes compress(py::handle data, py::handle policy, py::handle frameArg,
                       py::handle blockSize, py::handle threads, py::handle seekTable) const {
        const lzw_policy p = toPolicy(policy);
        const bool frame = toFlag(frameArg);
        std::optional<lzw_frame_params> params;
        if (frame) params = frameParams(policy, blockSize, threads, seekTable);
        Input in(data);
        // Recorded, so that decompressing reserves the room at once and frame_info tells it.
        if (frame) params->content_size = static_cast<long long>(in.size());
        const size_t bound =
            frame ? lzw_frame_compress_bound(&*params, in.size()) : lzw_compress_bound(in.size());
        if (bound == 0) raiseLzw(LZW_ERROR_INPUT_TOO_LARGE);
        size_t written = 0;
        if (bound <= kSmall) {
            // A short result is copied out of the stack: cheaper than a bytes object of the
            // whole bound, which malloc serves and realloc then cuts.
            char buffer[kSmall];
            const int rc = unlocked(mutex, [&] {
                return frame ? lzw_frame_compress(ctx, &*params, in.data(), in.size(), buffer,
                                                  bound, &written)
                             : lzw_ctx_compress(ctx, p, in.data(), in.size(), buffer, bound,
                                                &written);
            });
            if (rc != LZW_OK) raiseLzw(rc);
            return py::bytes(buffer, written);
        }
        Output out(bound);
        const int rc = unlocked(mutex, [&] {
            return frame ? lzw_frame_compress(ctx, &*params, in.data(), in.size(), out.data(),
                                              bound, &written)
                         : lzw_ctx_compress(ctx, p, in.data(), in.size(), out.data(), bound,
                                            &written);
        });
        if (rc != LZW_OK) raiseLzw(rc);
        return out.finish(written);
    }

    py::bytes decompress(py::handle data, py::handle policyArg, py::handle maxLengthArg) const {
        const std::optional<lzw_policy> policy = toOptionalPolicy(policyArg);
        const long long maxLength = toInteger(maxLengthArg, "max_length");
        Input in(data);
        if (startsWithFrame(in)) return decompressFrames(in, maxLength);
        if (!policy) {
            raiseLzw(LZW_ERROR_NOT_FRAME,
                     "the data is no frame, and a raw stream needs the policy that made it");
        }
        const long long size = lzw_decoded_size(in.data(), in.size());
        // After the header, 3 bytes hold 2 codes (an odd last one takes 2), and no code gives
        // more than 4096 bytes: a size beyond that is not reserved for.
        const long long payload = static_cast<long long>(in.size()) - 4;
        if (size > 0 && size > (payload / 3 * 2 + (payload % 3 == 2)) * 4096) {
            raiseLzw(LZW_ERROR_ENDS_EARLY, "the header gives " + std::to_string(size) +
                                               " bytes, more than the codes after it can");
        }
        if (maxLength >= 0 && size > maxLength) {
            raiseLzw(LZW_ERROR_OUTPUT_TOO_SMALL, "the data decodes to " + std::to_string(size) +
                                                     " bytes, over max_length " +
                                                     std::to_string(maxLength));
        }
        // A header that cannot be read gets its error from the call itself.
        Output out(static_cast<size_t>(std::max(size, 0LL)));
        size_t written = 0;
        const int rc = unlocked(mutex, [&] {
            return lzw_ctx_decompress(ctx, *policy, in.data(), in.size(), out.data(),
                                      static_cast<size_t>(size > 0 ? size : 0), &written);
        });
        if (rc != LZW_OK) raiseLzw(rc);
        return out.finish(written);
    }

    // Every frame in `in`. One frame that gives its size (as compress() writes them) is
    // decoded straight into a bytes object of that size; frames without one (a Compressor's,
    // `lzw -F`'s) or after it go through a decoder, into room that grows with what they give.
    py::bytes decompressFrames(const Input& in, long long maxLength) const {
        const std::string over =
            "the data decodes to more than max_length " + std::to_string(maxLength) + " bytes";
        lzw_frame_header header{};
        if (lzw_frame_read_header(in.data(), in.size(), &header) == LZW_OK &&
            header.header_size == LZW_FRAME_HEADER_SIZE && header.content_size >= 0) {
            const long long size = header.content_size;
            if (maxLength >= 0 && size > maxLength) raiseLzw(LZW_ERROR_OUTPUT_TOO_SMALL, over);
            // A code of 12 bits gives one phrase of under 4096 bytes: a size beyond what the
            // input's bytes can give is not reserved for.
            if (size <= static_cast<long long>(in.size()) * 2731) {
                Output out(static_cast<size_t>(size));
                size_t written = 0;
                const int rc = unlocked(mutex, [&] {
                    return lzw_frame_decompress(ctx, in.data(), in.size(), out.data(),
                                                static_cast<size_t>(size), &written);
                });
                if (rc == LZW_OK) return out.finish(written);
                if (rc != LZW_ERROR_OUTPUT_TOO_SMALL) raiseLzw(rc);
            }
        }
        std::string out;
        const int rc =
            unlocked(mutex, [&] { return decodeFrames(in.data(), in.size(), maxLength, out); });
        if (rc == LZW_ERROR_OUTPUT_TOO_SMALL) raiseLzw(rc, over);
        if (rc != LZW_OK) raiseLzw(rc);
        return py::bytes(out.data(), out.size());
    }
};

// A few contexts kept for the calls made without one, so that a short input costs what coding
// it costs rather than mapping a fresh work area.
class ContextPool {
  public:
    lzw_ctx* take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                lzw_ctx* ctx = free_.back();
                free_.pop_back();
                return ctx;
            }
        }
        lzw_ctx* ctx = lzw_ctx_create();
        if (ctx == nullptr) raiseLzw(LZW_ERROR_NO_MEMORY);
        return ctx;
    }
    void give(lzw_ctx* ctx) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (free_.size() < kKept) {
                free_.push_back(ctx);
                return;
            }
        }
        lzw_ctx_free(ctx);
    }

  private:
    static constexpr size_t kKept = 8;
    std::mutex mutex_;
    std::vector<lzw_ctx*> free_;
};

ContextPool& pool() {
    static auto* instance = new ContextPool;  // outlives every call, also at exit
    return *instance;
}

class Pooled {
  public:
    Pooled() : ctx_(pool().take()) {}
    Pooled(const Pooled&) = delete;
    Pooled& operator=(const Pooled&) = delete;
    ~Pooled() { pool().give(ctx_); }
    Coding coding() const { return {ctx_, nullptr}; }

  private:
    lzw_ctx* ctx_;
};

class Context {
  public:
    Context() : ctx_(lzw_ctx_create()) {
        if (ctx_ == nullptr) raiseLzw(LZW_ERROR_NO_MEMORY);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() { lzw_ctx_free(ctx_); }

    Coding coding() { return {ctx_, &mutex_}; }
    lzw_ctx* raw() { return ctx_; }

  private:
    lzw_ctx* ctx_;
    std::mutex mutex_;
};

// A framed file read at any offset (lzw_reader): through a descriptor, by pread with the GIL
// released, or through a Python callable pread(offset, size) -> bytes, called with the GIL
// taken back; what it raises is raised again by the call that read.
class Reader {
  public:
    Reader(py::object source, unsigned long long size, unsigned long long base)
        : base_(base), owned_(lzw_reader_create(), lzw_reader_free), reader_(owned_.get()) {
        if (reader_ == nullptr) raiseLzw(LZW_ERROR_NO_MEMORY);
        if (py::isinstance<py::int_>(source)) {
            fd_ = source.cast<int>();
        } else if (PyCallable_Check(source.ptr())) {
            callable_ = std::move(source);
        } else {
            throw py::type_error("source must be a file descriptor or a callable pread");
        }
        check(unlocked(&mutex_, [&] { return lzw_reader_open(reader_, readAt, this, size); }));
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    unsigned long long contentSize() {
        lzw_reader_info info{};
        unlocked(&mutex_, [&] { return lzw_reader_describe(reader_, &info); });
        return info.content_size;
    }

    py::dict info() {
        lzw_reader_info info{};
        unlocked(&mutex_, [&] { return lzw_reader_describe(reader_, &info); });
        py::dict d;
        d["content_size"] = info.content_size;
        d["frames"] = info.frames;
        d["blocks"] = info.blocks;
        d["stored_blocks"] = info.stored_blocks;
        d["skippable"] = info.skippable;
        d["indexed"] = info.indexed != 0;
        d["read_calls"] = info.read_calls;
        return d;
    }

    py::bytes read(unsigned long long offset, long long size) {
        if (size < 0) throw py::value_error("size must be 0 or more");
        const unsigned long long left = contentSize() - std::min(offset, contentSize());
        const auto n = static_cast<size_t>(std::min<unsigned long long>(size, left));
        Output out(n);
        size_t got = 0;
        check(unlocked(&mutex_,
                       [&] { return lzw_reader_read(reader_, offset, out.data(), n, &got); }));
        return out.finish(got);
    }

    size_t readinto(unsigned long long offset, py::handle buffer) {
        Py_buffer view{};
        if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_WRITABLE | PyBUF_SIMPLE) != 0) {
            throw py::error_already_set();
        }
        size_t got = 0;
        const int rc = unlocked(&mutex_, [&] {
            return lzw_reader_read(reader_, offset, view.buf, static_cast<size_t>(view.len), &got);
        });
        PyBuffer_Release(&view);
        check(rc);
        return got;
    }

  private:
    static long long readAt(void* user, void* buf, size_t size, unsigned long long offset) {
        auto* self = static_cast<Reader*>(user);
        if (self->fd_ >= 0) {
            ssize_t r;
            do {
                r = ::pread(self->fd_, buf, size, static_cast<off_t>(self->base_ + offset));
            } while (r < 0 && errno == EINTR);
            return r;
        }
        py::gil_scoped_acquire gil;
        try {
            py::object got = self->callable_(offset, size);
            Input in(got);
            if (in.size() > size) return -1;
            std::memcpy(buf, in.data(), in.size());
            return static_cast<long long>(in.size());
        } catch (py::error_already_set& error) {
            self->raised_ = std::move(error);
            return -1;
        }
    }

    // Raises what the callable raised, or LzwError naming the block at fault.
    void check(int rc) {
        if (raised_) {
            py::error_already_set error = std::move(*raised_);
            raised_.reset();
            throw error;
        }
        if (rc == LZW_OK) return;
        long long block = 0;
        unsigned long long offset = 0;
        lzw_reader_fault(reader_, &block, &offset);
        std::string where = block > 0 ? "block " + std::to_string(block) + " at byte " +
                                            std::to_string(offset) + ": "
                                      : std::string();
        raiseLzw(rc, where + lzw_error_text(rc));
    }

    int fd_ = -1;
    unsigned long long base_;
    py::object callable_;
    std::optional<py::error_already_set> raised_;
    std::unique_ptr<lzw_reader, void (*)(lzw_reader*)> owned_;
    lzw_reader* reader_;
    std::mutex mutex_;
};

class Compressor {
  public:
    Compressor(py::handle policy, py::handle blockSize, py::handle threads, py::handle seekTable) {
        const lzw_frame_params params = frameParams(policy, blockSize, threads, seekTable);
        encoder_ = lzw_frame_encoder_create(&params);
        if (encoder_ == nullptr) raiseLzw(LZW_ERROR_NO_MEMORY);
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor() { lzw_frame_encoder_free(encoder_); }

    py::bytes compress(py::handle data) {
        Input in(data);
        return encode(in.data(), in.size(), 0);
    }
    py::bytes flush() { return encode(nullptr, 0, 1); }

  private:
    py::bytes encode(const char* data, size_t size, int end) {
        std::string out;
        enum { kOk, kFlushed } state = kOk;
        int rc = unlocked(&mutex_, [&] {
            if (error_ != LZW_OK) return error_;
            if (flushed_) {
                state = kFlushed;
                return 0;
            }
            lzw_in_buffer in{data, size, 0};
            int result = fill(out, -1, [&](char* room, size_t roomSize, size_t& pos) {
                lzw_out_buffer o{room, roomSize, 0};
                const int r = lzw_frame_encode(encoder_, &in, &o, end);
                pos = o.pos;
                return r;
            });
            if (result < 0) error_ = result;
            if (end != 0 && result == LZW_FRAME_DONE) flushed_ = true;
            return result;
        });
        if (state == kFlushed) throw py::value_error("the compressor has been flushed");
        if (rc < 0) raiseLzw(rc);
        return py::bytes(out.data(), out.size());
    }

    lzw_frame_encoder* encoder_ = nullptr;
    std::mutex mutex_;
    int error_ = LZW_OK;
    bool flushed_ = false;
};

class Decompressor {
  public:
    Decompressor() : decoder_(lzw_frame_decoder_create()) {
        if (decoder_ == nullptr) raiseLzw(LZW_ERROR_NO_MEMORY);
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    ~Decompressor() { lzw_frame_decoder_free(decoder_); }

    py::bytes decompress(py::handle data, py::handle maxLengthArg) {
        const long long maxLength = toInteger(maxLengthArg, "max_length");
        Input in(data);
        std::string out;
        bool ended = false;
        const int rc = unlocked(&mutex_, [&] {
            if (eof_) {
                ended = true;
                return 0;
            }
            if (error_ != LZW_OK) return error_;
            // Input a max_length left over comes first; without it the caller's bytes are
            // read where they are.
            const char* src = in.data();
            size_t size = in.size();
            if (pendingPos_ < pending_.size()) {
                pending_.erase(0, pendingPos_);
                pendingPos_ = 0;
                pending_.append(in.data(), in.size());
                src = pending_.data();
                size = pending_.size();
            }
            lzw_in_buffer input{src, size, 0};
            int result;
            for (;;) {
                const size_t before = input.pos;
                result = fill(out, maxLength, [&](char* room, size_t roomSize, size_t& pos) {
                    lzw_out_buffer o{room, roomSize, 0};
                    const int r = lzw_frame_decode(decoder_, &input, &o);
                    pos = o.pos;
                    return r;
                });
                const size_t taken = std::min(input.pos - before, 4 - magic_.size());
                magic_.append(src + before, taken);
                // A skippable frame is passed by, as decompress() and the program pass it:
                // the frame after it is this object's.
                if (result != LZW_FRAME_DONE || magic_ != kSkippableMagic) break;
                lzw_frame_decoder_reset(decoder_);
                magic_.clear();
                skipped_ = true;
                if (input.pos == size) {
                    result = LZW_FRAME_NEEDS_INPUT;
                    break;
                }
            }
            // After a skippable frame, what is no frame is trailing data, as in decompress().
            if (result == LZW_ERROR_NOT_FRAME && skipped_) result = LZW_ERROR_TRAILING_DATA;
            if (result < 0) {
                error_ = result;
                return result;
            }
            const char* rest = src + input.pos;
            const size_t restSize = size - input.pos;
            if (result == LZW_FRAME_DONE) {
                eof_ = true;
                needsInput_ = false;
                unused_.assign(rest, restSize);
                pending_.clear();
                pendingPos_ = 0;
            } else {
                needsInput_ = result == LZW_FRAME_NEEDS_INPUT;
                if (src == pending_.data()) {
                    pendingPos_ = input.pos;
                } else {
                    pending_.assign(rest, restSize);
                    pendingPos_ = 0;
                }
            }
            return result;
        });
        if (ended) {
            PyErr_SetString(PyExc_EOFError, "the frame has already ended");
            throw py::error_already_set();
        }
        if (rc < 0) raiseLzw(rc);
        return py::bytes(out.data(), out.size());
    }

    bool eof() {
        return unlocked(&mutex_, [&] { return eof_; });
    }
    bool needsInput() {
        return unlocked(&mutex_, [&] { return needsInput_; });
    }
    py::bytes unusedData() {
        std::string copy = unlocked(&mutex_, [&] { return unused_; });
        return py::bytes(copy);
    }

  private:
    lzw_frame_decoder* decoder_;
    std::mutex mutex_;
    std::string pending_;  // input not yet taken, from pendingPos_ on
    size_t pendingPos_ = 0;
    std::string unused_;
    std::string magic_;  // the first bytes (up to 4) of the frame being decoded
    int error_ = LZW_OK;
    bool eof_ = false;
    bool needsInput_ = true;
    bool skipped_ = false;  // a skippable frame was passed by
    static inline const std::string kSkippableMagic{"\x8aLZW", 4};
};

py::tuple frameInfo(py::handle data) {
    Input in(data);
    lzw_frame_header h{};
    const int rc = lzw_frame_read_header(in.data(), in.size(), &h);
    if (rc > 0) {
        raiseLzw(LZW_ERROR_ENDS_EARLY, "a frame header needs " + std::to_string(rc) +
                                           " more bytes than the " + std::to_string(in.size()) +
                                           " given");
    }
    if (rc != LZW_OK) raiseLzw(rc);
    if (h.header_size != LZW_FRAME_HEADER_SIZE) {  // skippable: only its sizes are known
        return py::make_tuple(0, 0, 0, 0, 0, -1, h.header_size, h.skippable_size);
    }
    return py::make_tuple(h.version, static_cast<int>(h.policy), h.code_width, h.block_size,
                          h.flags, h.content_size, h.header_size, h.skippable_size);
}

// The C calls alone on one context, in this thread's CPU time (as time.thread_time() counts
// it, so that other work on the machine does not count): bench/python_bench.py subtracts it
// from the binding's time per call.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double timeContextCalls(py::handle data, py::handle policy, bool decompress, long long calls) {
    const lzw_policy p = toPolicy(policy);
    Input in(data);
    Context context;
    std::vector<char> out(lzw_compress_bound(in.size()) + (1 << 16));
    const long long size = lzw_decoded_size(in.data(), in.size());
    if (decompress && size > static_cast<long long>(out.size()))
        out.resize(static_cast<size_t>(size));
    int rc = LZW_OK;
    const double started = threadSeconds();
    {
        py::gil_scoped_release released;
        for (long long i = 0; i < calls && rc == LZW_OK; ++i) {
            size_t written = 0;
            rc = decompress ? lzw_ctx_decompress(context.raw(), p, in.data(), in.size(), out.data(),
                                                 out.size(), &written)
                            : lzw_ctx_compress(context.raw(), p, in.data(), in.size(), out.data(),
                                               out.size(), &written);
        }
    }
    const double took = threadSeconds() - started;
    if (rc != LZW_OK) raiseLzw(rc);
    return took / static_cast<double>(std::max(calls, 1LL));
}

constexpr const char* kCompressDoc =
    R"(compress(data, policy, *, frame=False, block_size=1048576, threads=1, seek_table=True) -> bytes

Compress a bytes-like object with `policy` (Policy.FREEZE, EVICT or RESET). By default the
result is a raw stream, the bytes the lzw program writes in mode c1, c2 or c3 (at most 2 GiB of
input; decompress it with the same policy). frame=True writes a frame instead: it records the
policy, checksums and the data's size (which `lzw -F` and a Compressor, streaming, leave out),
and takes `block_size` (1 KiB to 1 GiB) and `threads` (0: one per core). The frame is followed
by its seek table (8 bytes a block), by which a Reader finds any block; seek_table=False
leaves it out.
Raises LzwError, ValueError for a bad argument, TypeError for data without the buffer protocol.)";

constexpr const char* kDecompressDoc = R"(decompress(data, policy=None, *, max_length=-1) -> bytes

Decompress a raw stream made with `policy`, or the frames in `data` (found by their magic; the
policy is then read from them and may be left out), one after another. A max_length of 0 or
more raises LzwError (name LZW_ERROR_OUTPUT_TOO_SMALL) for data that decodes to more bytes.
Raises LzwError for damaged or truncated data, ChecksumError when a frame's checksum fails.)";

// The signatures, for the message of a call that fits none.
constexpr const char* kCompressSignature =
    "compress(data, policy, *, frame=False, block_size=1048576, threads=1, seek_table=True)";
constexpr const char* kDecompressSignature = "decompress(data, policy=None, *, max_length=-1)";

}  // namespace

PYBIND11_MODULE(_lzw, m) {
    // The docstrings begin with the signatures as Python's own modules write them.
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The C side of the lzw package: import lzw instead.";
    py::module_ errors = py::module_::import("lzw._errors");
    gLzwError = py::object(errors.attr("LzwError")).release();
    gChecksumError = py::object(errors.attr("ChecksumError")).release();

    m.attr("BLOCK_DEFAULT") = LZW_FRAME_BLOCK_DEFAULT;
    m.attr("BLOCK_MIN") = LZW_FRAME_BLOCK_MIN;
    m.attr("BLOCK_MAX") = LZW_FRAME_BLOCK_MAX;
    m.attr("FLAG_CONTENT_SIZE") = LZW_FRAME_CONTENT_SIZE;
    m.attr("FLAG_CONTENT_CHECKSUM") = LZW_FRAME_CONTENT_CHECKSUM;
    m.attr("FLAG_BLOCK_CHECKSUMS") = LZW_FRAME_BLOCK_CHECKSUMS;

    m.def("version", &lzw_version,
          "version() -> str\n\nThe C library's version, as `lzw --version` prints it.");
    m.def("error_name", &lzw_error_name, py::arg("code"),
          "error_name(code) -> str\n\nThe name in lzw.h of an error code, such as "
          "'LZW_ERROR_ENDS_EARLY'.");
    m.def("error_text", &lzw_error_text, py::arg("code"),
          "error_text(code) -> str\n\nA short English text for an error code.");

    // Each call that takes data has a second overload, tried when the first does not fit,
    // whose message leaves the arguments' values out.
    m.def(
        "compress",
        [](py::handle data, py::handle policy, py::handle frame, py::handle blockSize,
           py::handle threads, py::handle seekTable) {
            Pooled ctx;
            return ctx.coding().compress(data, policy, frame, blockSize, threads, seekTable);
        },
        py::arg("data"), py::arg("policy"), py::kw_only(), py::arg("frame") = false,
        py::arg("block_size") = LZW_FRAME_BLOCK_DEFAULT, py::arg("threads") = 1,
        py::arg("seek_table") = true, kCompressDoc);
    m.def("compress", [](const py::args& args, const py::kwargs& kwargs) {
        wrongArguments(kCompressSignature, args, kwargs);
    });
    m.def(
        "decompress",
        [](py::handle data, py::handle policy, py::handle maxLength) {
            Pooled ctx;
            return ctx.coding().decompress(data, policy, maxLength);
        },
        py::arg("data"), py::arg("policy") = py::none(), py::kw_only(), py::arg("max_length") = -1,
        kDecompressDoc);
    m.def("decompress", [](const py::args& args, const py::kwargs& kwargs) {
        wrongArguments(kDecompressSignature, args, kwargs);
    });
    m.def("frame_info", &frameInfo, py::arg("data"),
          "frame_info(data) -> tuple\n\nThe fields of the frame header at the start of `data`; "
          "lzw.frame_info gives them as a FrameInfo.");
    m.def("frame_info", [](const py::args& args, const py::kwargs& kwargs) {
        wrongArguments("frame_info(data)", args, kwargs);
    });

    m.def("_time_context_calls", &timeContextCalls, py::arg("data"), py::arg("policy"),
          py::arg("decompress"), py::arg("calls"),
          "_time_context_calls(data, policy, decompress, calls) -> float\n\nSeconds per call "
          "of the C library's context call alone, for the benchmark.");

    py::class_<Context>(m, "Context", R"(Context()

A work area kept across calls (about 2.7 MiB, and as much again for each further thread of a
call with threads, kept for the next one), so that many short inputs cost what coding them
costs. Its compress and decompress take the arguments of the functions of the same names and
give the same bytes. One call runs on it at a time; other threads wait for it.)")
        .def(py::init<>(), "Context()")
        .def(
            "compress",
            [](Context& self, py::handle data, py::handle policy, py::handle frame,
               py::handle blockSize, py::handle threads, py::handle seekTable) {
                return self.coding().compress(data, policy, frame, blockSize, threads, seekTable);
            },
            py::arg("data"), py::arg("policy"), py::kw_only(), py::arg("frame") = false,
            py::arg("block_size") = LZW_FRAME_BLOCK_DEFAULT, py::arg("threads") = 1,
            py::arg("seek_table") = true, kCompressDoc)
        .def("compress",
             [](Context&, const py::args& args, const py::kwargs& kwargs) {
                 wrongArguments(kCompressSignature, args, kwargs);
             })
        .def(
            "decompress",
            [](Context& self, py::handle data, py::handle policy, py::handle maxLength) {
                return self.coding().decompress(data, policy, maxLength);
            },
            py::arg("data"), py::arg("policy") = py::none(), py::kw_only(),
            py::arg("max_length") = -1, kDecompressDoc)
        .def("decompress", [](Context&, const py::args& args, const py::kwargs& kwargs) {
            wrongArguments(kDecompressSignature, args, kwargs);
        });

    py::class_<Compressor>(
        m, "Compressor",
        R"(Compressor(policy=Policy.RESET, *, block_size=1048576, threads=1, seek_table=True)

Compresses data handed over piece by piece into one frame, with no size needed up front. The
frame's bytes do not depend on how the input is cut. compress() returns what is ready so far
(often nothing), flush() the rest of the frame; the compressor cannot be used after flush().
The frame records its policy, RESET unless given (why: help(lzw)).)")
        .def(py::init<py::handle, py::handle, py::handle, py::handle>(),
             py::arg("policy") = int{LZW_RESET}, py::kw_only(),
             py::arg("block_size") = LZW_FRAME_BLOCK_DEFAULT, py::arg("threads") = 1,
             py::arg("seek_table") = true,
             "Compressor(policy=Policy.RESET, *, block_size=1048576, threads=1, "
             "seek_table=True)")
        .def("compress", &Compressor::compress, py::arg("data"),
             "compress(data) -> bytes\n\nHand over more input; returns the frame's bytes ready "
             "so far.")
        .def("compress",
             [](Compressor&, const py::args& args, const py::kwargs& kwargs) {
                 wrongArguments("Compressor.compress(data)", args, kwargs);
             })
        .def("flush", &Compressor::flush,
             "flush() -> bytes\n\nEnd the frame: returns the rest of its bytes.");

    py::class_<Reader>(m, "Reader", R"(Reader(source, size, base=0)

A framed file read at any offset, decoding only the blocks a read touches. `source` is a file
descriptor (read with pread from `base` on, the GIL released) or a callable pread(offset, size)
returning up to `size` bytes at `offset`; `size` is the file's length. Its seek tables, found
from the file's end, give every block in a few reads; where there are none, its block headers
are read one by one. One read at a time; other threads wait.)")
        .def(py::init<py::object, unsigned long long, unsigned long long>(), py::arg("source"),
             py::arg("size"), py::arg("base") = 0)
        .def_property_readonly("content_size", &Reader::contentSize,
                               "The decoded length of all the file's frames.")
        .def("info", &Reader::info,
             "info() -> dict\n\nWhat the reader found: content_size, frames, blocks, "
             "stored_blocks, skippable, indexed (every frame by its seek table), read_calls.")
        .def("read", &Reader::read, py::arg("offset"), py::arg("size"),
             "read(offset, size) -> bytes\n\nUp to `size` decoded bytes from `offset` (fewer "
             "only at the end). Raises LzwError naming the block and its offset for damage.")
        .def("readinto", &Reader::readinto, py::arg("offset"), py::arg("buffer"),
             "readinto(offset, buffer) -> int\n\nAs read(), into a writable buffer.");

    py::class_<Decompressor>(m, "Decompressor", R"(Decompressor()

Decompresses one frame handed over piece by piece, after any skippable frames before it, which
it passes by. Bytes after the frame's end are kept in unused_data (a frame's seek table first,
when it has one); a new Decompressor reads the next frame from them. A block's bytes come out
only once its checksum has matched.)")
        .def(py::init<>(), "Decompressor()")
        .def("decompress", &Decompressor::decompress, py::arg("data"), py::arg("max_length") = -1,
             R"(decompress(data, max_length=-1) -> bytes

Hand over more of the frame; returns the bytes decoded so far, at most max_length of them when
it is 0 or more (the rest come from later calls, with b"" when needs_input is False). Raises
EOFError after the frame's end, LzwError for a damaged frame, ChecksumError for a checksum that
fails.)")
        .def("decompress",
             [](Decompressor&, const py::args& args, const py::kwargs& kwargs) {
                 wrongArguments("Decompressor.decompress(data, max_length=-1)", args, kwargs);
             })
        .def_property_readonly("eof", &Decompressor::eof, "True once the frame has ended.")
        .def_property_readonly("needs_input", &Decompressor::needsInput,
                               "False when decompress() can give more bytes without more input.")
        .def_property_readonly("unused_data", &Decompressor::unusedData,
                               "The bytes after the frame's end (b\"\" until it has ended).");
}
