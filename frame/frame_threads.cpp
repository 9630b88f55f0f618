// Frames coded by several threads at once. The calling thread reads and cuts (or parses) the
// input exactly as one thread does, and writes the results in order; between the two, workers
// with a Coder each code the blocks. The output, the reads and writes through the callbacks and
// the faults are those of one thread: only the time differs.
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "frame.h"

namespace lzw::frame {

int workerCount(int threads) {
    if (threads == 0) {
        // The cores this process may run on: a container's or taskset's limit counts.
        cpu_set_t set;
        CPU_ZERO(&set);
        threads = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
        if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    }
    return std::clamp(threads, 1, kMaxThreads);
}

namespace {

// What a worker does with the job in a slot.
class Work {
  public:
    virtual Fault code(Coder& coder, size_t slot) = 0;

  protected:
    ~Work() = default;
};

// Threads coding jobs from a ring of slots, in the order the calling thread submits them; it
// retires them in that order too. A slot's buffers belong to the workers from submit() until
// the job is done, and to the calling thread otherwise: only it fills, reads or frees them.
class Workers {
  public:
    Workers(Work& work, size_t slots)
        : work_(work), state_(slots, State::free), faults_(slots), seqOf_(slots) {}
    ~Workers() {
        stop();
        // Kept with the first Coder (a context's) for its next run with threads.
        for (Coder* coder : own_) {
            coder->spare = helper_->spare;
            helper_->spare = coder;
        }
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Codes with `count` threads: the calling thread, with `first`, whenever it waits for the
    // oldest job, and up to count - 1 threads started here, with the spare Coders `first`
    // keeps or new ones; fewer when threads or memory run out (the output is the same). So
    // `count` threads share as many cores, instead of the workers sharing them with a reader
    // that is mostly idle. Returns how many threads it started.
    int start(Coder& first, int count) {
        helper_ = &first;
        try {
            threads_.reserve(static_cast<size_t>(count));
            own_.reserve(static_cast<size_t>(count));
            for (int i = 1; i < count; ++i) {
                Coder* coder = first.spare;
                if (coder != nullptr) {
                    first.spare = coder->spare;
                    coder->spare = nullptr;
                } else if ((coder = Coder::create()) == nullptr) {
                    break;
                }
                own_.push_back(coder);
                threads_.emplace_back([this, coder] { run(*coder); });
            }
        } catch (...) {
            // No more threads: those started do the work.
        }
        return static_cast<int>(threads_.size());
    }
    // Each thread ends after the job it is coding.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

    // Only the calling thread changes submitted_ and retired_, so it reads them unlocked
    // (and changes them under the lock, as the workers read them).
    size_t slots() const { return state_.size(); }
    bool full() const { return submitted_ - retired_ == slots(); }
    bool pending() const { return retired_ < submitted_; }
    size_t next() const { return submitted_ % slots(); }
    size_t oldest() const { return retired_ % slots(); }
    uint64_t submitted() const { return submitted_; }
    uint64_t retired() const { return retired_; }

    // The job in slot next() is ready: for a worker, or already done (nothing to code).
    void submit(bool code) {
        {
            std::lock_guard lock(mutex_);
            state_[next()] = code ? State::queued : State::done;
            faults_[next()] = Fault::none;
            seqOf_[next()] = submitted_;
            ++submitted_;
        }
        if (code) ready_.notify_one();
    }
    // Waits for the oldest job, meanwhile coding jobs that more than the workers have left
    // waiting; its fault. A job the calling thread takes holds up its reads and writes for as
    // long as it codes, so it leaves the workers one job each to go on with.
    Fault waitOldest() {
        std::unique_lock lock(mutex_);
        while (state_[oldest()] != State::done) {
            if (submitted_ - taken_ > threads_.size()) {
                codeNext(lock, *helper_);
            } else {
                done_.wait(lock);
            }
        }
        return faults_[oldest()];
    }
    void retire() {
        std::lock_guard lock(mutex_);
        ++retired_;
    }
    // A job has failed: the ones after it are not coded, and no more should come.
    bool failed() {
        std::lock_guard lock(mutex_);
        return failed_ != kNone;
    }

  private:
    enum class State : uint8_t { free, queued, done };
    static constexpr uint64_t kNone = ~uint64_t{0};

    void run(Coder& coder) {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return stop_ || taken_ < submitted_; });
            if (stop_) return;
            codeNext(lock, coder);
        }
    }

    // Takes the next job and codes it with `coder`, the lock released meanwhile.
    // REQUIRES: `lock` holds mutex_, and taken_ < submitted_.
    void codeNext(std::unique_lock<std::mutex>& lock, Coder& coder) {
        uint64_t seq = taken_++;
        size_t slot = seq % slots();
        // A job that needed no coding may have been retired, and its slot taken by a later
        // job, before its turn came here: that job is coded in its own turn, under its own
        // number, which decides what a fault stops.
        if (state_[slot] != State::queued || seqOf_[slot] != seq) return;
        Fault fault = Fault::none;
        // After a failed job the run ends there: later ones are left uncoded.
        if (seq < failed_) {
            lock.unlock();
            fault = work_.code(coder, slot);
            lock.lock();
            if (fault != Fault::none && seq < failed_) failed_ = seq;
        }
        state_[slot] = State::done;
        faults_[slot] = fault;
        // The calling thread waits only for the oldest job.
        if (seq == retired_) done_.notify_all();
    }

    Work& work_;
    std::mutex mutex_;
    std::condition_variable ready_;  // a job was submitted, or stop
    std::condition_variable done_;   // a job is done
    std::vector<State> state_;
    std::vector<Fault> faults_;
    std::vector<uint64_t> seqOf_;  // the job each slot holds
    uint64_t submitted_ = 0, retired_ = 0, taken_ = 0;
    uint64_t failed_ = kNone;
    bool stop_ = false;
    std::vector<std::thread> threads_;
    std::vector<Coder*> own_;
    Coder* helper_ = nullptr;  // the calling thread's, for the jobs it codes while it waits
};

// Slots per run: one job being written, one being read, and two for each thread that codes,
// so that a worker finds a job waiting while the calling thread codes, reads or writes.
size_t slotsFor(int workers) {
    return 2 * static_cast<size_t>(workers) + 2;
}

bool writeTo(Sink sink, const uint8_t* src, size_t size, StreamReport& r) {
    if (sink.write(sink.user, src, size) != 0) return false;
    r.bytesOut += static_cast<int64_t>(size);
    return true;
}

// ---- Compression ----

class Compressor final : Work {
  public:
    Compressor(const Params& params, size_t slots) : params_(params), jobs_(slots) {}
    Fault run(Coder& coder, int workers, Source source, Sink sink, StreamReport& r);

  private:
    // In huge pages, as one thread's: a block read into small pages costs a TLB miss per
    // 4 KiB of the copy, which made two threads' reads cost seven times one thread's.
    struct Job {
        Pages in;
        // Room for the frame's header before the block and its end after it, so that one
        // thread's writes come from here whole.
        Pages out;
        long long got = 0;  // the read's result
        bool ended = false;
        size_t coded = 0;
    };
    static constexpr size_t kTrailerSize = kEndMarkSize + kContentChecksumSize;

    Fault code(Coder& coder, size_t slot) override {
        Job& job = jobs_[slot];
        job.coded = encodeBlock(coder, params_.policy,
                                (params_.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0, job.in.get(),
                                static_cast<size_t>(job.got), job.out.get() + kFrameHeaderSize);
        return job.coded == 0 ? coder.io.fault : Fault::none;
    }

    Params params_;
    std::vector<Job> jobs_;
};

Fault Compressor::run(Coder& coder, int workers, Source source, Sink sink, StreamReport& r) {
    size_t block = params_.blockSize;
    // One thread's output buffer, whose size cuts its writes (frame_stream.cpp).
    const size_t room = kFrameHeaderSize + blockBound(block) + kTrailerSize;
    for (Job& job : jobs_) {
        if (!job.in.fit(block) || !job.out.fit(room)) return Fault::noMemory;
    }
    Workers pool(*this, jobs_.size());
    if (pool.start(coder, workers) == 0) {
        Params one = params_;
        one.threads = 1;
        return compressStream(coder, one, source, sink, &r);
    }
    bool hashed = (params_.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0;
    XXH64_state_t content;
    XXH64_reset(&content, 0);
    bool ended = false, readDone = false, first = true;
    int64_t total = 0;
    for (;;) {
        // Blocks are read ahead while slots are free, and hashed in order as they come.
        while (!readDone && !pool.full()) {
            Job& job = jobs_[pool.next()];
            job.got = fillFrom(source, job.in.get(), block, &ended);
            job.ended = ended;
            readDone = job.got < 0 || ended;
            if (hashed && job.got > 0) {
                XXH64_update(&content, job.in.get(), static_cast<size_t>(job.got));
            }
            pool.submit(job.got > 0);
        }
        // The oldest block goes out as one thread's loop has it: its faults in the same order,
        // the same bytes in the same writes.
        Fault fault = pool.waitOldest();
        Job& job = jobs_[pool.oldest()];
        if (job.got < 0) return Fault::readFailed;
        auto got = static_cast<size_t>(job.got);
        r.bytesIn += job.got;
        if (params_.contentSize >= 0 &&
            static_cast<uint64_t>(got) > static_cast<uint64_t>(params_.contentSize - total)) {
            return Fault::sizeMismatch;
        }
        if (fault != Fault::none) return fault;
        total += job.got;
        uint8_t* out = job.out.get();
        size_t begin = kFrameHeaderSize, end = kFrameHeaderSize + (got > 0 ? job.coded : 0);
        if (first) {
            writeHeader(params_, out);
            begin = 0;
            first = false;
        }
        if (job.ended) {
            if (params_.contentSize >= 0 && total != params_.contentSize) {
                // One thread has written the buffers this block filled before it finds out.
                for (size_t full = end > begin ? (end - begin - 1) / room : 0; full > 0; --full) {
                    if (!writeTo(sink, out + begin, room, r)) return Fault::writeFailed;
                    begin += room;
                }
                return Fault::sizeMismatch;
            }
            store32(out + end, 0);
            end += kEndMarkSize;
            if (hashed) {
                store64(out + end, XXH64_digest(&content));
                end += kContentChecksumSize;
            }
        }
        for (size_t at = begin; at < end; at += room) {
            if (!writeTo(sink, out + at, std::min(room, end - at), r)) return Fault::writeFailed;
        }
        if (job.ended) return Fault::none;
        pool.retire();
    }
}

// ---- Decompression ----

class Decompressor final : Work, BlockHandoff {
  public:
    explicit Decompressor(size_t slots) : jobs_(slots) {}
    Fault run(Coder& coder, int workers, Source source, Sink sink, const uint8_t* prefix,
              size_t prefixSize, StreamReport& r);

  private:
    enum class Kind : uint8_t { block, contentChecksum };
    struct Job {
        Kind kind = Kind::block;
        Policy policy = Policy::freeze;
        bool checked = false;  // a block checksum follows the payload
        bool hashed = false;   // the frame has a content checksum
        Block block;
        uint64_t expected = 0;  // the content checksum
        // The block as read, then its output from `outAt` on: in huge pages, as the
        // compressor's, and in one mapping, so that a block of 1 MiB fits one huge page
        // (each the kernel clears when it is first touched). A stored block is its own
        // output (outAt 0).
        Pages pages;
        size_t read = 0, outAt = 0;
        uint8_t* in() const { return pages.get(); }
        uint8_t* out() const { return pages.get() + outAt; }
        // Where an output beside what was read starts: the next cache line.
        size_t beside() const { return (read + 63) & ~size_t{63}; }
        StreamReport at;  // where one thread stands when this job fails
    };

    Fault code(Coder& coder, size_t slot) override {
        Job& job = jobs_[slot];
        return decodeBlock(coder, job.policy, job.block, job.in(),
                           job.checked ? job.in() + job.block.payload : nullptr, job.out());
    }
    Fault room(size_t size, size_t decoded, uint8_t** dst) override;
    Fault block(const Header& header, const Block& block, const StreamReport& at) override;
    Fault contentChecksum(uint64_t expected, const StreamReport& at) override;

    Fault freeSlot();
    void retireOne();
    void retireAll();
    Fault finish(Fault fault);

    std::vector<Job> jobs_;
    Workers* pool_ = nullptr;
    StreamReport* r_ = nullptr;
    Sink sink_{};
    Fault fault_ = Fault::none;  // the first fault met in order
    StreamReport faultAt_;
    XXH64_state_t content_{};
    int64_t hashFrame_ = -1;  // the frame content_ hashes
};

// Retires the oldest job once it is done: its block goes out, or its fault ends the run.
void Decompressor::retireOne() {
    Fault fault = pool_->waitOldest();
    Job& job = jobs_[pool_->oldest()];
    if (job.at.frames != hashFrame_) {
        XXH64_reset(&content_, 0);
        hashFrame_ = job.at.frames;
    }
    if (fault == Fault::none && job.kind == Kind::block) {
        if (job.hashed) XXH64_update(&content_, job.out(), job.block.decoded);
        if (sink_.write != nullptr && sink_.write(sink_.user, job.out(), job.block.decoded) != 0) {
            fault = Fault::writeFailed;
        } else {
            r_->bytesOut += job.block.decoded;
        }
    } else if (fault == Fault::none && XXH64_digest(&content_) != job.expected) {
        fault = Fault::checksum;
    }
    if (fault != Fault::none) {
        fault_ = fault;
        faultAt_ = job.at;
        return;
    }
    pool_->retire();
}

// Retires every job in order, up to a fault.
void Decompressor::retireAll() {
    while (fault_ == Fault::none && pool_->pending()) retireOne();
}

// A slot for the next job, once the oldest has gone out when all are taken; the run's fault
// when one of them failed. A failed job stops the reading at once: the run ends with it.
// Done jobs wait for their slot to be needed: one write between two reads keeps the workers
// fed, where writing all that were done left them idle meanwhile.
Fault Decompressor::freeSlot() {
    if (pool_->failed()) retireAll();
    while (fault_ == Fault::none && pool_->full()) retireOne();
    return fault_;
}

Fault Decompressor::room(size_t size, size_t decoded, uint8_t** dst) {
    if (Fault fault = freeSlot(); fault != Fault::none) return fault;
    Job& job = jobs_[pool_->next()];
    // What is read is no shorter than the output mostly for a stored block, which is its own
    // output; block() makes room beside it for the others.
    job.read = size;
    job.outAt = size >= decoded ? 0 : job.beside();
    if (!job.pages.fit(job.outAt + decoded)) return Fault::noMemory;
    *dst = job.in();
    return Fault::none;
}

Fault Decompressor::block(const Header& header, const Block& block, const StreamReport& at) {
    Job& job = jobs_[pool_->next()];
    job.kind = Kind::block;
    job.policy = header.policy;
    job.checked = (header.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0;
    job.hashed = (header.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0;
    job.block = block;
    job.at = at;
    if (job.outAt == 0 && !block.stored) {
        // A coded block that saved fewer bytes than its checksum takes.
        job.outAt = job.beside();
        if (!job.pages.fit(job.outAt + block.decoded, job.read)) return Fault::noMemory;
    }
    pool_->submit(true);
    return Fault::none;
}

Fault Decompressor::contentChecksum(uint64_t expected, const StreamReport& at) {
    if (Fault fault = freeSlot(); fault != Fault::none) return fault;
    Job& job = jobs_[pool_->next()];
    job.kind = Kind::contentChecksum;
    job.expected = expected;
    job.at = at;
    pool_->submit(false);
    return Fault::none;
}

// The end of the run with `fault` (none: the input ended well), once every job before it is
// out: an earlier job's fault comes first, with the report one thread makes of it.
Fault Decompressor::finish(Fault fault) {
    retireAll();
    if (fault_ == Fault::none) return fault;
    int64_t written = r_->bytesOut;
    *r_ = faultAt_;
    r_->bytesOut = written;
    return fault_;
}

Fault Decompressor::run(Coder& coder, int workers, Source source, Sink sink, const uint8_t* prefix,
                        size_t prefixSize, StreamReport& r) {
    Workers pool(*this, jobs_.size());
    if (pool.start(coder, workers) == 0) {
        return decompressStream(coder, source, sink, prefix, prefixSize, &r, 1);
    }
    pool_ = &pool;
    r_ = &r;
    sink_ = sink;
    return finish(handOffStream(source, prefix, prefixSize, *this, r));
}

}  // namespace

Fault compressThreaded(Coder& coder, const Params& params, int workers, Source source, Sink sink,
                       StreamReport* report) {
    StreamReport local;
    StreamReport& r = report != nullptr ? *report : local;
    r = StreamReport{};
    Compressor compressor(params, slotsFor(workers));
    return compressor.run(coder, workers, source, sink, r);
}

Fault decompressThreaded(Coder& coder, int workers, Source source, Sink sink, const uint8_t* prefix,
                         size_t prefixSize, StreamReport* report) {
    StreamReport local;
    StreamReport& r = report != nullptr ? *report : local;
    r = StreamReport{};
    Decompressor decompressor(slotsFor(workers));
    return decompressor.run(coder, workers, source, sink, prefix, prefixSize, r);
}

}  // namespace lzw::frame
