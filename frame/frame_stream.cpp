// Framed runs through callbacks: the library's stream calls and the program's files.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "frame.h"

namespace lzw::frame {

long long fillFrom(Source source, uint8_t* dst, size_t size, bool* ended) {
    size_t got = 0;
    while (got < size && !*ended) {
        long long r = source.read(source.user, dst + got, size - got);
        if (r < 0 || static_cast<unsigned long long>(r) > size - got) return -1;
        if (r == 0) *ended = true;
        got += static_cast<size_t>(r);
    }
    return static_cast<long long>(got);
}

bool Pages::reserve(size_t size, bool huge, size_t keep) {
    if (size <= size_ && (huge_ || !huge)) return true;
    // Huge pages need a 2 MiB boundary: mapped with room to move up to one.
    constexpr size_t kHuge = Coder::kHugePage;
    size_t rounded = (std::max(size, size_) + kHuge - 1) & ~(kHuge - 1);
    size_t mapped = rounded + kHuge;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    auto start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
#ifdef MADV_HUGEPAGE
    if (huge) madvise(reinterpret_cast<void*>(start), rounded, MADV_HUGEPAGE);
#endif
    auto* data = reinterpret_cast<uint8_t*>(start);
    if (keep > 0) std::memcpy(data, data_, std::min(keep, size_));
    release();
    map_ = p;
    mapped_ = mapped;
    data_ = data;
    size_ = rounded;
    huge_ = huge;
    return true;
}

void Pages::release() {
    if (map_ != nullptr) munmap(map_, mapped_);
    map_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
    size_ = 0;
}

namespace {

// Bytes of a source in order, after a prefix, with skipping.
class Reader {
  public:
    Reader(Source source, const uint8_t* prefix, size_t prefixSize)
        : source_(source), prefix_(prefix), prefixLeft_(prefixSize) {}
    // Reads exactly `n` bytes; false at the end (`*got` then says how many).
    bool read(uint8_t* dst, size_t n, size_t* got) {
        *got = 0;
        while (*got < n) {
            if (pos_ == end_ && !refill()) return false;
            size_t take = std::min(n - *got, end_ - pos_);
            std::memcpy(dst + *got, buf_ + pos_, take);
            pos_ += take;
            *got += take;
        }
        return true;
    }
    // Reads exactly `n` bytes into `dst`: past what is buffered, straight from the source.
    bool readInto(uint8_t* dst, size_t n) {
        size_t have = std::min(n, end_ - pos_);
        std::memcpy(dst, buf_ + pos_, have);
        pos_ += have;
        if (have == n) return true;
        if (prefixLeft_ > 0) {
            size_t got = 0;
            return read(dst + have, n - have, &got);
        }
        while (have < n && !ended_) {
            long long r = source_.read(source_.user, dst + have, n - have);
            if (r < 0 || static_cast<unsigned long long>(r) > n - have) {
                failed_ = ended_ = true;
                return false;
            }
            ended_ = r == 0;
            have += static_cast<size_t>(r);
            total_ += r;
        }
        return have == n;
    }
    bool skip(uint64_t n) {
        while (n > 0) {
            if (pos_ == end_ && !refill()) return false;
            size_t take = static_cast<size_t>(std::min<uint64_t>(n, end_ - pos_));
            pos_ += take;
            n -= take;
        }
        return true;
    }
    bool failed() const { return failed_; }
    int64_t offset() const { return total_ - static_cast<int64_t>(end_ - pos_); }

  private:
    bool refill() {
        pos_ = end_ = 0;
        if (prefixLeft_ > 0) {
            end_ = std::min(prefixLeft_, sizeof buf_);
            std::memcpy(buf_, prefix_, end_);
            prefix_ += end_;
            prefixLeft_ -= end_;
        } else if (!ended_) {
            long long r = source_.read(source_.user, buf_, sizeof buf_);
            if (r < 0 || static_cast<unsigned long long>(r) > sizeof buf_) {
                failed_ = true;
                ended_ = true;
                return false;
            }
            ended_ = r == 0;
            end_ = static_cast<size_t>(r);
        }
        total_ += static_cast<int64_t>(end_);
        return end_ > 0;
    }

    Source source_;
    const uint8_t* prefix_;
    size_t prefixLeft_;
    uint8_t buf_[1 << 16];
    size_t pos_ = 0, end_ = 0;
    int64_t total_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// Reads `size` bytes into `pages`, growing it as they come: a block header's claim reserves
// no more than the input holds. False at the end of the input (or with no memory: `*noRoom`).
bool readGrowing(Reader& in, Pages& pages, size_t size, bool* noRoom) {
    size_t have = 0;
    while (have < size) {
        size_t want = std::min(size, std::max(kSmallRead, 2 * have));
        if (!pages.fit(want, have)) {
            *noRoom = true;
            return false;
        }
        if (!in.readInto(pages.get() + have, want - have)) return false;
        have = want;
    }
    return true;
}

}  // namespace

Fault compressStream(Coder& coder, const Params& params, Source source, Sink sink,
                     StreamReport* report) {
    if (int workers = workerCount(params.threads); workers > 1) {
        return compressThreaded(coder, params, workers, source, sink, report);
    }
    StreamReport local;
    StreamReport& r = report != nullptr ? *report : local;
    r = StreamReport{};
    Encoder encoder(&coder);
    if (Fault fault = encoder.reset(params); fault != Fault::none) return fault;
    size_t block = params.blockSize;
    // A whole block read at a time, and room for all it can become after the header that
    // waits before the first one: every block is then coded straight from one buffer into
    // the other.
    size_t room = kFrameHeaderSize + blockBound(block) + kEndMarkSize + kContentChecksumSize;
    Pages inBuf, outBuf;
    bool ended = false;
    for (;;) {
        // The first 64 KiB in small pages: a short input touches only the few it needs. Past
        // them, huge pages (see Pages).
        long long n = 0;
        size_t small = std::min<size_t>(block, kSmallRead);
        if (!inBuf.reserve(small, false)) return Fault::noMemory;
        if (inBuf.huge() ||
            (n = fillFrom(source, inBuf.get(), small, &ended)) == static_cast<long long>(small)) {
            if (!inBuf.reserve(block, true, static_cast<size_t>(n))) return Fault::noMemory;
            long long more =
                fillFrom(source, inBuf.get() + n, block - static_cast<size_t>(n), &ended);
            n = more < 0 ? more : n + more;
        }
        if (n < 0) return Fault::readFailed;
        if (!outBuf.reserve(room, n > static_cast<long long>(kSmallRead))) return Fault::noMemory;
        r.bytesIn += n;
        lzw_in_buffer in{inBuf.get(), static_cast<size_t>(n), 0};
        int status;
        do {
            lzw_out_buffer out{outBuf.get(), room, 0};
            status = encoder.encode(in, out, ended);
            if (status < 0) return static_cast<Fault>(-status);
            if (out.pos > 0 && sink.write(sink.user, outBuf.get(), out.pos) != 0) {
                return Fault::writeFailed;
            }
            r.bytesOut += static_cast<int64_t>(out.pos);
        } while (status == LZW_FRAME_NEEDS_OUTPUT);
        if (status == LZW_FRAME_DONE) return Fault::none;
    }
}

namespace {

// What a version 2 frame's seek table must say, gathered while its frame is walked.
struct TableExpected {
    bool present = false;  // a version 2 frame ended just before
    uint64_t frameSize = 0;
    uint64_t content = 0;
    uint64_t blocks = 0;
    XXH64_state_t entries;  // its block headers, as the table lists them
};

// Reads the skippable frame's `size` bytes of data; when they are a seek table, checks it
// against `expected`, the frame before it. A table that follows no frame of its own, or says
// otherwise than its frame, is damage: seekTable.
Fault checkTable(Reader& in, uint64_t size, const TableExpected& expected) {
    if (size < kTableFooterSize || (size - kTableFooterSize) % kTableEntrySize != 0) {
        return in.skip(size) ? Fault::none : Fault::endsEarly;
    }
    XXH64_state_t entries, check;
    XXH64_reset(&entries, 0);
    XXH64_reset(&check, 0);
    uint8_t chunk[1 << 12];
    size_t got = 0;
    for (uint64_t left = size - kTableFooterSize; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof chunk));
        if (!in.read(chunk, n, &got)) return Fault::endsEarly;
        XXH64_update(&entries, chunk, n);
        XXH64_update(&check, chunk, n);
        left -= n;
    }
    uint8_t bytes[kTableFooterSize];
    if (!in.read(bytes, sizeof bytes, &got)) return Fault::endsEarly;
    TableFooter footer;
    if (!readTableFooter(bytes, footer)) return Fault::none;  // another tool's skippable frame
    updateSmall(&check, bytes, 20);
    bool agrees = expected.present && footer.blocks == expected.blocks &&
                  footer.blocks == (size - kTableFooterSize) / kTableEntrySize &&
                  footer.frameSize == expected.frameSize && footer.content == expected.content &&
                  footer.check == static_cast<uint32_t>(XXH64_digest(&check)) &&
                  XXH64_digest(&entries) == XXH64_digest(&expected.entries);
    return agrees ? Fault::none : Fault::seekTable;
}

// Walks the frames of a stream in order: with `decode`, decodes and checks each block and
// hands it to `sink` (when it has a write), or hands it over to `handoff` when there is one;
// without, only reads the headers (a listing). `tables`: seek tables are checked against
// their frames too (other runs skip them as any skippable frame).
Fault walkFrames(Coder* coder, Reader& in, bool decode, Sink sink, StreamReport& r,
                 Listing& listing, BlockHandoff* handoff = nullptr, bool tables = false) {
    Pages payloads, blocks;
    uint8_t bytes[kFrameHeaderSize];
    size_t got = 0;
    bool first = true;
    auto cut = [&](Fault fault) {
        listing.compressed = r.bytesIn = in.offset();
        return in.failed() ? Fault::readFailed : fault;
    };
    TableExpected expected;
    for (;;) {
        r.trailer = false;
        int64_t start = in.offset();
        if (!in.read(bytes, 4, &got)) {
            if (got == 0 && !first) return cut(Fault::none);
            return cut(first ? Fault::shorterThanHeader : Fault::trailingData);
        }
        Header header;
        size_t needed = 0;
        Fault fault = parseHeader(bytes, 4, header, &needed);
        // After a whole frame, anything but another one is trailing data.
        if (fault != Fault::none) return cut(first ? fault : Fault::trailingData);
        first = false;
        ++r.frames;
        if (!in.read(bytes + 4, needed - 4, &got)) return cut(Fault::endsEarly);
        if ((fault = parseHeader(bytes, needed, header, &needed)) != Fault::none) return cut(fault);
        r.header = header;
        if (header.skippable) {
            // A frame's table, by its size after the frame, or another tool's frame.
            if (expected.present &&
                header.skippableSize == tableBytes(expected.blocks) - kSkippableHeaderSize) {
                if (listing.indexed >= 0) ++listing.indexed;
            } else {
                ++listing.skippable;
            }
            if (tables) {
                r.blockOffset = start;
                r.table = true;
                fault = checkTable(in, header.skippableSize, expected);
                if (fault != Fault::none) return cut(fault);
                r.table = false;
            } else if (!in.skip(header.skippableSize)) {
                return cut(Fault::endsEarly);
            }
            expected.present = false;
            continue;
        }
        expected.present = false;
        expected.blocks = 0;
        XXH64_reset(&expected.entries, 0);
        if (listing.frames == 0) {
            listing.header = header;
        } else if (header.policy != listing.header.policy ||
                   header.blockSize != listing.header.blockSize) {
            listing.policiesDiffer = true;
        }
        ++listing.frames;
        bool checked = (header.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0;
        bool summed = (header.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0;
        bool second = header.version != kFirstVersion;
        XXH64_state_t content;
        XXH64_reset(&content, 0);
        int64_t produced = 0;
        for (;;) {
            Block block;
            r.blockOffset = in.offset();
            if (!in.read(bytes, kEndMarkSize, &got)) return cut(Fault::endsEarly);
            fault = readPayloadWord(bytes, header, block);
            if (block.end) break;
            ++r.blocks;
            if (fault != Fault::none) return cut(fault);
            if (!in.read(bytes + 4, 4, &got)) return cut(Fault::endsEarly);
            updateSmall(&expected.entries, bytes, kTableEntrySize);
            ++expected.blocks;
            fault = readDecodedSize(bytes + 4, header, block);
            block.offset = static_cast<uint64_t>(produced);
            if (fault == Fault::none && header.contentSize >= 0 &&
                block.decoded > static_cast<uint64_t>(header.contentSize - produced)) {
                fault = Fault::contentSize;
            }
            if (fault != Fault::none) return cut(fault);
            ++listing.blocks;
            if (block.stored) ++listing.storedBlocks;
            produced += block.decoded;
            size_t rest = block.payload + (checked ? kBlockChecksumSize : 0);
            if (!decode) {
                if (!in.skip(rest)) return cut(Fault::endsEarly);
                continue;
            }
            if (handoff != nullptr) {
                uint8_t* dst = nullptr;
                if ((fault = handoff->room(rest, block.decoded, &dst)) != Fault::none) {
                    return cut(fault);
                }
                if (!in.readInto(dst, rest)) return cut(Fault::endsEarly);
                StreamReport at = r;
                at.bytesIn = in.offset();
                if ((fault = handoff->block(header, block, at)) != Fault::none) return fault;
                continue;
            }
            bool noRoom = false;
            if (!readGrowing(in, payloads, rest, &noRoom)) {
                return cut(noRoom ? Fault::noMemory : Fault::endsEarly);
            }
            if (!blocks.fit(block.decoded)) {
                return cut(Fault::noMemory);
            }
            uint64_t hash = 0;
            fault = decodeBlock(*coder, header, block, payloads.get(),
                                checked ? payloads.get() + block.payload : nullptr, blocks.get(),
                                &hash, summed ? &content : nullptr);
            if (fault != Fault::none) return cut(fault);
            if (summed && second) foldBlockHash(&content, hash);
            if (sink.write != nullptr && sink.write(sink.user, blocks.get(), block.decoded) != 0) {
                return cut(Fault::writeFailed);
            }
            r.bytesOut += block.decoded;
        }
        r.trailer = true;
        if (header.contentSize >= 0 && produced != header.contentSize) {
            return cut(Fault::contentSize);
        }
        listing.content += produced;
        if (summed) {
            r.blockOffset = in.offset();
            if (!in.read(bytes, kContentChecksumSize, &got)) return cut(Fault::endsEarly);
            if (handoff != nullptr) {
                StreamReport at = r;
                at.bytesIn = in.offset();
                fault = handoff->contentChecksum(load64(bytes), at);
                if (fault != Fault::none) return fault;
            } else if (decode && load64(bytes) != XXH64_digest(&content)) {
                return cut(Fault::checksum);
            }
        }
        expected.present = second;
        expected.frameSize = static_cast<uint64_t>(in.offset() - start);
        expected.content = static_cast<uint64_t>(produced);
    }
}

}  // namespace

Fault decompressStream(Coder& coder, Source source, Sink sink, const uint8_t* prefix,
                       size_t prefixSize, StreamReport* report, int threads) {
    if (int workers = workerCount(threads); workers > 1) {
        return decompressThreaded(coder, workers, source, sink, prefix, prefixSize, report);
    }
    StreamReport local;
    StreamReport& r = report != nullptr ? *report : local;
    r = StreamReport{};
    Listing listing;
    auto reader = std::make_unique<Reader>(source, prefix, prefixSize);
    return walkFrames(&coder, *reader, true, sink, r, listing, nullptr, sink.write == nullptr);
}

Fault handOffStream(Source source, const uint8_t* prefix, size_t prefixSize, BlockHandoff& handoff,
                    StreamReport& report, bool tables) {
    Listing listing;
    auto reader = std::make_unique<Reader>(source, prefix, prefixSize);
    return walkFrames(nullptr, *reader, true, Sink{nullptr, nullptr}, report, listing, &handoff,
                      tables);
}

Fault listStream(Source source, const uint8_t* prefix, size_t prefixSize, Listing& listing) {
    StreamReport r;
    listing = Listing{};
    listing.indexed = 0;
    auto reader = std::make_unique<Reader>(source, prefix, prefixSize);
    return walkFrames(nullptr, *reader, false, Sink{nullptr, nullptr}, r, listing);
}

}  // namespace lzw::frame
