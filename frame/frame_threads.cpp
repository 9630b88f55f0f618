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

// One thread's writes of what a read of the input became: its buffer of `room` bytes filled
// and written whenever full, and what is left written after the read's last block. A run
// with workers writes in the same pieces.
class Chunks {
  public:
    Chunks(Sink sink, size_t room, StreamReport& r) : sink_(sink), room_(room), r_(r) {}
    bool reserve() { return stage_.fit(room_); }
    bool put(const uint8_t* src, size_t n) {
        while (n > 0) {
            if (fill_ == 0 && n >= room_) {
                if (!writeTo(sink_, src, room_, r_)) return false;
                src += room_;
                n -= room_;
                continue;
            }
            size_t take = std::min(n, room_ - fill_);
            std::memcpy(stage_.get() + fill_, src, take);
            fill_ += take;
            src += take;
            n -= take;
            if (fill_ == room_ && !flush()) return false;
        }
        return true;
    }
    bool flush() {
        size_t n = fill_;
        fill_ = 0;
        return n == 0 || writeTo(sink_, stage_.get(), n, r_);
    }

  private:
    Sink sink_;
    size_t room_;
    StreamReport& r_;
    Pages stage_;
    size_t fill_ = 0;
};

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
        Pages out;
        long long got = 0;  // the read's result
        bool ended = false;
        uint64_t offset = 0;  // the content of its frame before it
        size_t coded = 0;
        uint64_t hash = 0;
    };

    Fault code(Coder& coder, size_t slot) override {
        Job& job = jobs_[slot];
        job.coded = encodeBlock(coder, params_, job.in.get(), static_cast<size_t>(job.got),
                                job.offset, job.out.get(), &job.hash);
        return job.coded == 0 ? coder.io.fault : Fault::none;
    }
    // The frame's end and its table.
    bool endFrame(FrameTail& tail, Chunks& chunks) {
        uint8_t trailer[kTrailerSize];
        size_t n = tail.finish(trailer);
        return chunks.put(trailer, n) && chunks.put(tail.table(), tail.tableSize());
    }

    Params params_;
    std::vector<Job> jobs_;
};

Fault Compressor::run(Coder& coder, int workers, Source source, Sink sink, StreamReport& r) {
    size_t block = params_.blockSize;
    // One thread's output buffer, whose size cuts its writes (frame_stream.cpp).
    const size_t room = kFrameHeaderSize + blockBound(block) + kTrailerSize;
    Chunks chunks(sink, room, r);
    for (Job& job : jobs_) {
        if (!job.in.fit(block) || !job.out.fit(blockBound(block))) return Fault::noMemory;
    }
    if (!chunks.reserve()) return Fault::noMemory;
    Workers pool(*this, jobs_.size());
    if (pool.start(coder, workers) == 0) {
        Params one = params_;
        one.threads = 1;
        return compressStream(coder, one, source, sink, &r);
    }
    FrameTail tail;
    bool ended = false, readDone = false, started = false;
    int64_t total = 0;
    // Where each block read stands in its frame, for its hash's seed: the frames are cut by
    // block count, so the reads know it before the blocks are coded.
    uint64_t offset = 0, inFrame = 0;
    for (;;) {
        while (!readDone && !pool.full()) {
            Job& job = jobs_[pool.next()];
            job.got = fillFrom(source, job.in.get(), block, &ended);
            job.ended = ended;
            readDone = job.got < 0 || ended;
            if (job.got > 0) {
                if (params_.seekTable && inFrame == params_.tableBlocks) offset = inFrame = 0;
                job.offset = offset;
                offset += static_cast<uint64_t>(job.got);
                ++inFrame;
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
        if (started && got > 0 && tail.full()) {
            if (!endFrame(tail, chunks)) return Fault::writeFailed;
            started = false;
        }
        if (!started) {
            uint8_t header[kFrameHeaderSize];
            writeHeader(params_, frameContentSize(params_, total), header);
            tail.begin(params_);
            started = true;
            if (!chunks.put(header, sizeof header)) return Fault::writeFailed;
        }
        if (fault != Fault::none) return fault;
        total += job.got;
        if (got > 0) {
            if (!tail.add(job.out.get(), job.hash, job.coded)) return Fault::noMemory;
            if (!chunks.put(job.out.get(), job.coded)) return Fault::writeFailed;
        }
        if (job.ended) {
            // One thread has written the buffers this block filled before it finds out.
            if (params_.contentSize >= 0 && total != params_.contentSize) {
                return Fault::sizeMismatch;
            }
            if (!endFrame(tail, chunks)) return Fault::writeFailed;
        }
        if (!chunks.flush()) return Fault::writeFailed;
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
        Header header;         // its frame's
        bool checked = false;  // a block checksum follows the payload
        bool hashed = false;   // the frame has a content checksum
        Block block;
        uint64_t hash = 0;      // the block's, for version 2's content checksum
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
        return decodeBlock(coder, job.header, job.block, job.in(),
                           job.checked ? job.in() + job.block.payload : nullptr, job.out(),
                           &job.hash);
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
        // Version 1 hashes the content a second time, here, in order.
        if (job.hashed && job.header.version == kFirstVersion) {
            XXH64_update(&content_, job.out(), job.block.decoded);
        } else if (job.hashed) {
            foldBlockHash(&content_, job.hash);
        }
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
    job.header = header;
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
    return finish(handOffStream(source, prefix, prefixSize, *this, r, sink.write == nullptr));
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
