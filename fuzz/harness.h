// Shared by the fuzz targets: a Coder that starts every input from the same memory, and stdio
// streams over memory (a read-only source over the fuzzer's bytes, and a growable sink that
// refuses to hold more than a set number of bytes).
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "coder.h"

namespace lzw::fuzz {

// A Coder built afresh for every input in one block allocated once: a new heap block per input
// costs the sanitizer runtime far more than the coding. The block is filled with the same
// pattern first, so a field the coder forgets to set holds the same odd value on every input
// (negative as a code) instead of whatever the previous input left there.
inline Coder& freshCoder() {
    alignas(Coder) static unsigned char storage[sizeof(Coder)];
    static Coder* current = nullptr;
    if (current != nullptr) current->~Coder();
    std::memset(storage, 0xA5, sizeof storage);
    current = new (storage) Coder();
    current->quiet = true;
    return *current;
}

class Source {
  public:
    Source(const uint8_t* data, size_t size) : data_(data), size_(size) {
        // fopencookie rather than fmemopen: the fuzzer's empty input must read as an empty file.
        file_ = fopencookie(this, "rb", cookie_io_functions_t{&read, nullptr, nullptr, nullptr});
    }
    ~Source() {
        if (file_ != nullptr) std::fclose(file_);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    std::FILE* file() const { return file_; }

  private:
    static ssize_t read(void* cookie, char* buffer, size_t size) {
        auto* self = static_cast<Source*>(cookie);
        size_t n = std::min(size, self->size_ - self->pos_);
        if (n > 0) std::memcpy(buffer, self->data_ + self->pos_, n);
        self->pos_ += n;
        return static_cast<ssize_t>(n);
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::FILE* file_;
};

class Sink {
  public:
    // With `keep` clear only the length is recorded: decoder output runs to megabytes.
    explicit Sink(size_t cap, bool keep = true) : cap_(cap), keep_(keep) {
        // Seekable, because a compressor may go back to rewrite its length header.
        file_ = fopencookie(this, "wb", cookie_io_functions_t{nullptr, &write, &seek, nullptr});
    }
    ~Sink() {
        if (file_ != nullptr) std::fclose(file_);
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    std::FILE* file() const { return file_; }
    // What was written so far (empty unless kept), after flushing the stream's own buffer.
    const std::vector<uint8_t>& bytes() {
        std::fflush(file_);
        return bytes_;
    }
    size_t size() {
        std::fflush(file_);
        return size_;
    }
    // Whether a write was turned away because it would have passed the cap.
    bool refused() const { return refused_; }

  private:
    static ssize_t write(void* cookie, const char* buffer, size_t size) {
        auto* self = static_cast<Sink*>(cookie);
        if (size > self->cap_ - std::min(self->cap_, self->pos_)) {
            self->refused_ = true;
            return 0;  // stdio's signal for a failed write
        }
        if (self->keep_) {
            if (self->pos_ + size > self->bytes_.size()) self->bytes_.resize(self->pos_ + size);
            std::memcpy(self->bytes_.data() + self->pos_, buffer, size);
        }
        self->pos_ += size;
        self->size_ = std::max(self->size_, self->pos_);
        return static_cast<ssize_t>(size);
    }
    static int seek(void* cookie, off64_t* offset, int whence) {
        auto* self = static_cast<Sink*>(cookie);
        off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(self->pos_)
                                            : static_cast<off64_t>(self->size_);
        off64_t target = base + *offset;
        if (target < 0) return -1;
        self->pos_ = static_cast<size_t>(target);
        *offset = target;
        return 0;
    }

    size_t cap_;
    bool keep_;
    size_t pos_ = 0;
    size_t size_ = 0;
    bool refused_ = false;
    std::vector<uint8_t> bytes_;
    std::FILE* file_;
};

}  // namespace lzw::fuzz
