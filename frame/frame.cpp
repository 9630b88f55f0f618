// Frames: their header, their blocks, and the caller-driven encoder and decoder.
#include "frame.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lzw::frame {
namespace {

constexpr uint8_t kMagic[4] = {0x89, 0x4C, 0x5A, 0x57};
constexpr uint8_t kSkippableMagic[4] = {0x8A, 0x4C, 0x5A, 0x57};
static_assert(LZW_FRAME_MAGIC == (0x89u | 0x4Cu << 8 | 0x5Au << 16 | 0x57u << 24));
static_assert(LZW_FRAME_SKIPPABLE_MAGIC == (0x8Au | 0x4Cu << 8 | 0x5Au << 16 | 0x57u << 24));

// CRC-8 (polynomial x^8 + x^2 + x + 1) of the header's fields: unlike a byte of a hash, it
// catches every flipped bit and every burst of up to 8 bits in them.
uint8_t headerCheck(const uint8_t* src, size_t size) {
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= src[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

int errorOf(Fault fault) {
    return -static_cast<int>(fault);
}

// Copies src[pos, end) into the room `out` has, advancing both; true once all of it is out.
bool copyOut(const uint8_t* src, size_t& pos, size_t end, lzw_out_buffer& out) {
    size_t n = std::min(end - pos, out.size - out.pos);
    if (n > 0) {
        std::memcpy(static_cast<uint8_t*>(out.dst) + out.pos, src + pos, n);
        out.pos += n;
        pos += n;
    }
    return pos == end;
}

}  // namespace

[[gnu::noinline]] void updateSmall(XXH64_state_t* state, const uint8_t* src, size_t size) {
    XXH64_update(state, src, size);
}

Fault readParams(const lzw_frame_params* params, Params& out) {
    if (params == nullptr) return Fault::badArgument;
    // Every size a published header had (only this one so far), or a later, larger one whose
    // fields unknown here are zero.
    constexpr size_t kKnown = sizeof(lzw_frame_params);
    if (params->size < kKnown) return Fault::badArgument;
    if (params->size > kKnown) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(params);
        for (size_t i = kKnown; i < params->size; ++i) {
            if (bytes[i] != 0) return Fault::badArgument;
        }
    }
    const PolicyRow* row = findPolicy(static_cast<int>(params->policy));
    if (row == nullptr) return Fault::badArgument;
    unsigned blockSize = params->block_size == 0 ? LZW_FRAME_BLOCK_DEFAULT : params->block_size;
    if (blockSize < LZW_FRAME_BLOCK_MIN || blockSize > LZW_FRAME_BLOCK_MAX) {
        return Fault::badArgument;
    }
    constexpr unsigned kChecksums = LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS;
    if ((params->checksums & ~(kChecksums | LZW_FRAME_SEEK_TABLE)) != 0 ||
        params->content_size < -1 || params->threads < 0) {
        return Fault::badArgument;
    }
    out.policy = row->policy;
    out.blockSize = blockSize;
    out.flags = static_cast<uint8_t>(params->checksums & kChecksums);
    out.seekTable = (params->checksums & LZW_FRAME_SEEK_TABLE) != 0;
    out.contentSize = params->content_size;
    out.threads = params->threads;
    return Fault::none;
}

void writeHeader(const Params& params, int64_t contentSize, uint8_t* dst) {
    std::memcpy(dst, kMagic, 4);
    dst[4] = kVersion;
    dst[5] = static_cast<uint8_t>(params.flags | (contentSize >= 0 ? LZW_FRAME_CONTENT_SIZE : 0));
    dst[6] = static_cast<uint8_t>(params.policy);
    dst[7] = kCodeWidth;
    store32(dst + 8, params.blockSize);
    store64(dst + 12, contentSize >= 0 ? static_cast<uint64_t>(contentSize) : 0);
    dst[20] = headerCheck(dst + 4, 16);
}

int64_t frameContentSize(const Params& params, int64_t coded) {
    if (params.contentSize < 0) return -1;
    int64_t rest = params.contentSize - coded;
    if (!params.seekTable) return rest;
    return std::min(rest, static_cast<int64_t>(params.tableBlocks) * params.blockSize);
}

bool isFrameMagic(const uint8_t* src) {
    return std::memcmp(src, kMagic, 4) == 0 || std::memcmp(src, kSkippableMagic, 4) == 0;
}

Fault parseHeader(const uint8_t* src, size_t size, Header& header, size_t* needed) {
    *needed = 4;
    if (size < 4) return Fault::none;
    header = Header{};
    if (std::memcmp(src, kSkippableMagic, 4) == 0) {
        header.skippable = true;
        *needed = kSkippableHeaderSize;
        if (size >= kSkippableHeaderSize) header.skippableSize = load32(src + 4);
        return Fault::none;
    }
    if (std::memcmp(src, kMagic, 4) != 0) return Fault::notFrame;
    *needed = kFrameHeaderSize;
    if (size < kFrameHeaderSize) return Fault::none;
    // The check first: with it intact, an unknown value was written on purpose, by a later
    // version, and is not damage.
    if (headerCheck(src + 4, 16) != src[20]) return Fault::frameHeader;
    uint8_t flags = src[5];
    const PolicyRow* row = findPolicy(src[6]);
    uint32_t blockSize = load32(src + 8);
    uint64_t contentSize = load64(src + 12);
    if ((src[4] != kVersion && src[4] != kFirstVersion) || src[7] != kCodeWidth || row == nullptr ||
        blockSize < LZW_FRAME_BLOCK_MIN || blockSize > LZW_FRAME_BLOCK_MAX) {
        return Fault::frameVersion;
    }
    if ((flags & ~kKnownFlags) != 0) return Fault::reservedBits;
    bool sized = (flags & LZW_FRAME_CONTENT_SIZE) != 0;
    if ((!sized && contentSize != 0) || contentSize > static_cast<uint64_t>(INT64_MAX)) {
        return Fault::frameHeader;
    }
    header.version = src[4];
    header.flags = flags;
    header.policy = row->policy;
    header.blockSize = blockSize;
    header.contentSize = sized ? static_cast<int64_t>(contentSize) : -1;
    return Fault::none;
}

size_t encodeBlock(Coder& coder, const Params& params, const uint8_t* src, size_t size,
                   uint64_t offset, uint8_t* dst, uint64_t* hash) {
    uint8_t* payload = dst + kBlockHeaderSize;
    size_t written = 0;
    // Room for one byte less than the block: a stream that needs more is stored instead,
    // and the Coder stops as soon as it runs out of room.
    Fault fault =
        coder.runMemory(Direction::compress, params.policy, src, size, payload, size - 1, &written);
    uint32_t word = static_cast<uint32_t>(written);
    if (fault == Fault::outputTooSmall) {
        std::memcpy(payload, src, size);
        written = size;
        word = static_cast<uint32_t>(size) | kStoredBit;
    } else if (fault != Fault::none) {
        return 0;
    }
    store32(dst, word);
    store32(dst + 4, static_cast<uint32_t>(size));
    size_t end = kBlockHeaderSize + written;
    *hash = hashesBlocks(params.flags) ? XXH64(src, size, offset) : 0;
    if ((params.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0) {
        store32(dst + end, static_cast<uint32_t>(*hash));
        end += kBlockChecksumSize;
    }
    return end;
}

Fault readPayloadWord(const uint8_t* src, const Header& header, Block& block) {
    uint32_t word = load32(src);
    block = Block{};
    if (word == 0) {
        block.end = true;
        return Fault::none;
    }
    block.stored = (word & kStoredBit) != 0;
    block.payload = word & ~kStoredBit;
    // A stream of a block holds its 4-byte length and at least one code; nothing is longer
    // than the largest block.
    if (block.payload > header.blockSize ||
        (!block.stored && block.payload < lzw::kHeaderSize + 2)) {
        return Fault::blockHeader;
    }
    return Fault::none;
}

Fault readDecodedSize(const uint8_t* src, const Header& header, Block& block) {
    block.decoded = load32(src);
    // A coded block is shorter than its bytes (else it is stored), and each 12-bit code gives
    // at most 4096 bytes: sizes outside that come from damage, and would have the decoder
    // reserve room that no stream of this length could fill.
    uint64_t codes = block.stored ? 0 : (uint64_t{block.payload} - lzw::kHeaderSize) * 2 / 3 + 1;
    if (block.decoded == 0 || block.decoded > header.blockSize ||
        (block.stored ? block.decoded != block.payload
                      : block.payload >= block.decoded || block.decoded > codes * kTableSize)) {
        return Fault::blockHeader;
    }
    return Fault::none;
}

namespace {

// The checksums of a block being decoded, taken from the Coder's output window as it is
// written out, while those bytes are still in cache: a pass over the whole block afterwards
// reads each byte from memory again.
struct BlockSums {
    XXH64_state_t block;
    XXH64_state_t* content;  // version 1's content hash, or null
    bool hashed;
    void add(const uint8_t* src, size_t n) {
        if (hashed) XXH64_update(&block, src, n);
        if (content != nullptr) XXH64_update(content, src, n);
    }
};

bool writeSummed(Coder& coder, const uint8_t* src, size_t n) {
    static_cast<BlockSums*>(coder.io.streamCalls)->add(src, n);
    return Coder::writeMemory(coder, src, n);
}

}  // namespace

Fault decodeBlock(Coder& coder, const Header& header, const Block& block, const uint8_t* payload,
                  const uint8_t* checksum, uint8_t* dst, uint64_t* hash, XXH64_state_t* content) {
    bool second = header.version != kFirstVersion;
    BlockSums sums;
    sums.content = second ? nullptr : content;
    sums.hashed = second ? hashesBlocks(header.flags) : checksum != nullptr;
    XXH64_reset(&sums.block, second ? block.offset : 0);
    if (block.stored) {
        // The threaded decompressor leaves a stored block where it was read.
        if (dst != payload) std::memcpy(dst, payload, block.decoded);
        sums.add(dst, block.decoded);
    } else {
        // The stream's own length must be the block's: a damaged block header is found here
        // before a byte is decoded.
        if (loadHeader(payload) != static_cast<int32_t>(block.decoded - 1)) {
            return Fault::blockHeader;
        }
        // An odd number of codes ends in a pad nibble, written as 0. The raw decoder ignores
        // it, so a flipped pad bit would pass every check: here it is bits after the last code.
        if ((block.payload - lzw::kHeaderSize) % 3 == 2 &&
            (payload[block.payload - 1] & 0x0F) != 0) {
            return Fault::trailingData;
        }
        coder.useMemory(payload, block.payload, dst, block.decoded);
        coder.io.writeOutput = writeSummed;
        coder.io.streamCalls = &sums;
        bool ok = coder.runStream(Direction::decompress, header.policy, block.payload);
        coder.io.streamCalls = nullptr;
        if (!ok) return coder.io.fault;
        if (coder.io.memOutSize != block.decoded) return Fault::endsEarly;
    }
    uint64_t digest = sums.hashed ? XXH64_digest(&sums.block) : 0;
    if (hash != nullptr) *hash = second ? digest : 0;
    if (checksum != nullptr && load32(checksum) != static_cast<uint32_t>(digest)) {
        return Fault::checksum;
    }
    return Fault::none;
}

// ---- The end of a frame being written, and its seek table ----

void FrameTail::begin(const Params& params) {
    table_ = params.seekTable;
    summed_ = (params.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0;
    limit_ = params.tableBlocks;
    blocks_ = 0;
    content_ = 0;
    bytes_ = kFrameHeaderSize;
    tableSize_ = kSkippableHeaderSize;
    XXH64_reset(&sums_, 0);
}

bool FrameTail::add(const uint8_t* block, uint64_t hash, size_t bytes) {
    if (summed_) foldBlockHash(&sums_, hash);
    content_ += load32(block + 4);
    bytes_ += bytes;
    ++blocks_;
    if (!table_) return true;
    // Room for the entry and the footer, grown by doubling: a table costs its own size.
    if (tableSize_ + kTableEntrySize + kTableFooterSize > capacity_) {
        size_t grown = std::max<size_t>(capacity_ * 2, 4096);
        auto bigger = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[grown]);
        if (!bigger) return false;
        if (entries_) std::memcpy(bigger.get(), entries_.get(), tableSize_);
        entries_ = std::move(bigger);
        capacity_ = grown;
    }
    std::memcpy(entries_.get() + tableSize_, block, kTableEntrySize);
    tableSize_ += kTableEntrySize;
    return true;
}

size_t FrameTail::finish(uint8_t* dst) {
    store32(dst, 0);
    size_t n = kEndMarkSize;
    if (summed_) {
        store64(dst + n, XXH64_digest(&sums_));
        n += kContentChecksumSize;
    }
    bytes_ += n;
    if (!table_) return n;
    if (capacity_ < tableBytes(0)) {
        // No block: the table is its header and footer, within the room kept for them.
        entries_.reset(new (std::nothrow) uint8_t[4096]);
        capacity_ = entries_ ? 4096 : 0;
        if (!entries_) {
            table_ = false;  // a frame without its table is still whole
            return n;
        }
    }
    uint8_t* t = entries_.get();
    std::memcpy(t, kSkippableMagic, 4);
    store32(t + 4, static_cast<uint32_t>(tableSize_ + kTableFooterSize - kSkippableHeaderSize));
    uint8_t* footer = t + tableSize_;
    store64(footer, bytes_);
    store64(footer + 8, content_);
    store32(footer + 16, static_cast<uint32_t>(blocks_));
    store32(footer + 20, static_cast<uint32_t>(XXH64(t + kSkippableHeaderSize,
                                                     tableSize_ - kSkippableHeaderSize + 20, 0)));
    std::memcpy(footer + 24, kTableMagic, 4);
    tableSize_ += kTableFooterSize;
    return n;
}

bool readTableFooter(const uint8_t* src, TableFooter& footer) {
    if (std::memcmp(src + 24, kTableMagic, 4) != 0) return false;
    footer.frameSize = load64(src);
    footer.content = load64(src + 8);
    footer.blocks = load32(src + 16);
    footer.check = load32(src + 20);
    return true;
}

// ---- Encoder ----

int Encoder::failWith(Fault fault) {
    if (fault_ == Fault::none) fault_ = fault;
    return errorOf(fault_);
}

Fault Encoder::reset(const Params& params, int64_t sizeHint) {
    params_ = params;
    blockFill_ = 0;
    pendingPos_ = pendingEnd_ = 0;
    tablePos_ = tableEnd_ = 0;
    total_ = coded_ = 0;
    started_ = false;
    finished_ = false;
    fault_ = Fault::none;
    // A content of known size needs no block longer than itself: small frames stay small.
    if (params_.contentSize >= 0) sizeHint = params_.contentSize;
    size_t need = params_.blockSize;
    if (sizeHint >= 0 && static_cast<uint64_t>(sizeHint) < need) {
        need = std::max<size_t>(static_cast<size_t>(sizeHint), 1);
    }
    return ensureBuffers(need) ? Fault::none : Fault::noMemory;
}

bool Encoder::ensureBuffers(size_t need) {
    if (blockCapacity_ >= need) return true;
    block_.reset(new (std::nothrow) uint8_t[need]);
    // A block, or the header, or the trailer waits there.
    pending_.reset(new (std::nothrow) uint8_t[std::max(blockBound(need), kFrameHeaderSize)]);
    blockCapacity_ = block_ && pending_ ? need : 0;
    return blockCapacity_ != 0;
}

bool Encoder::drain(lzw_out_buffer& out) {
    if (!copyOut(pending_.get(), pendingPos_, pendingEnd_, out)) return false;
    pendingPos_ = pendingEnd_ = 0;
    if (!copyOut(tail_.table(), tablePos_, tableEnd_, out)) return false;
    tablePos_ = tableEnd_ = 0;
    return true;
}

void Encoder::encodeInto(const uint8_t* src, size_t size, uint8_t* dst, size_t* written) {
    uint64_t hash = 0;
    size_t n = encodeBlock(*coder_, params_, src, size, tail_.content(), dst, &hash);
    if (n == 0) {
        failWith(coder_->io.fault);
    } else if (!tail_.add(dst, hash, n)) {
        failWith(Fault::noMemory);
        n = 0;
    }
    coded_ += static_cast<int64_t>(size);
    *written = n;
}

void Encoder::endFrame() {
    pendingEnd_ = tail_.finish(pending_.get());
    tableEnd_ = tail_.tableSize();
    started_ = false;
}

int Encoder::encode(lzw_in_buffer& in, lzw_out_buffer& out, bool end) {
    if (fault_ != Fault::none) return errorOf(fault_);
    if (in.pos > in.size || out.pos > out.size || (in.src == nullptr && in.size != 0) ||
        (out.dst == nullptr && out.size != 0)) {
        return failWith(Fault::badArgument);
    }
    const auto* src = static_cast<const uint8_t*>(in.src);
    auto* dst = static_cast<uint8_t*>(out.dst);
    for (;;) {
        if (!drain(out)) return LZW_FRAME_NEEDS_OUTPUT;
        if (finished_) {
            // The frame is closed: input after it, or a call that does not end it, would be
            // lost without a word.
            if (!end || in.pos != in.size) return failWith(Fault::badArgument);
            return LZW_FRAME_DONE;
        }
        if (!started_) {
            writeHeader(params_, frameContentSize(params_, coded_), pending_.get());
            pendingEnd_ = kFrameHeaderSize;
            tail_.begin(params_);
            started_ = true;
            continue;
        }
        size_t avail = in.size - in.pos;
        if (params_.contentSize >= 0 &&
            static_cast<uint64_t>(avail) > static_cast<uint64_t>(params_.contentSize - total_)) {
            return failWith(Fault::sizeMismatch);
        }
        // A frame whose table is full ends where more content follows; the next one begins.
        if (tail_.full() && (avail > 0 || blockFill_ > 0)) {
            endFrame();
            continue;
        }
        size_t block = params_.blockSize;
        if (blockFill_ == 0 && (avail >= block || (end && avail > 0))) {
            // A whole block in the caller's input (or the last one): coded from there, into
            // the caller's room when it has enough, so that large buffers are never copied.
            block = std::min(avail, block);
            size_t written = 0;
            bool direct = out.size - out.pos >= blockBound(block);
            encodeInto(src + in.pos, block, direct ? dst + out.pos : pending_.get(), &written);
            if (written == 0) return errorOf(fault_);
            in.pos += block;
            total_ += static_cast<int64_t>(block);
            if (direct) {
                out.pos += written;
            } else {
                pendingEnd_ = written;
            }
            continue;
        }
        size_t take = std::min(avail, block - blockFill_);
        if (take > 0) {
            std::memcpy(block_.get() + blockFill_, src + in.pos, take);
            blockFill_ += take;
            in.pos += take;
            total_ += static_cast<int64_t>(take);
        }
        if (blockFill_ == block || (end && in.pos == in.size && blockFill_ > 0)) {
            size_t written = 0;
            encodeInto(block_.get(), blockFill_, pending_.get(), &written);
            if (written == 0) return errorOf(fault_);
            pendingEnd_ = written;
            blockFill_ = 0;
            continue;
        }
        if (!end) return LZW_FRAME_NEEDS_INPUT;
        // The end: all input is in blocks.
        if (params_.contentSize >= 0 && total_ != params_.contentSize) {
            return failWith(Fault::sizeMismatch);
        }
        endFrame();
        finished_ = true;
    }
}

// ---- Decoder ----

void Decoder::reset() {
    step_ = Step::magic;
    header_ = Header{};
    stageFill_ = 0;
    decodedPos_ = decodedEnd_ = 0;
    skipLeft_ = 0;
    blockIndex_ = blockOffset_ = consumed_ = produced_ = 0;
    fault_ = Fault::none;
    XXH64_reset(&content_, 0);
}

int Decoder::waiting() const {
    return fault_ != Fault::none ? errorOf(fault_) : LZW_FRAME_NEEDS_INPUT;
}

int Decoder::failWith(Fault fault) {
    if (fault_ == Fault::none) fault_ = fault;
    return errorOf(fault_);
}

const uint8_t* Decoder::gather(lzw_in_buffer& in, size_t want) {
    const auto* src = static_cast<const uint8_t*>(in.src);
    size_t avail = in.size - in.pos;
    if (stageFill_ == 0 && avail >= want) {
        in.pos += want;
        consumed_ += static_cast<int64_t>(want);
        return src + in.pos - want;
    }
    uint8_t* stage = small_;
    size_t take = std::min(avail, want - stageFill_);
    if (want > sizeof small_) {
        if (stageCapacity_ < stageFill_ + take) {
            // Grown with the bytes that have come, doubling, never at once to what a block
            // header only claims: a damaged header costs no more memory than its input.
            size_t grown = std::min(want, std::max(stageFill_ + take, stageCapacity_ * 2));
            auto bigger = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[grown]);
            if (!bigger) {
                failWith(Fault::noMemory);
                return nullptr;
            }
            if (stageFill_ > 0) std::memcpy(bigger.get(), stage_.get(), stageFill_);
            stage_ = std::move(bigger);
            stageCapacity_ = grown;
        }
        stage = stage_.get();
    }
    if (take > 0) std::memcpy(stage + stageFill_, src + in.pos, take);
    stageFill_ += take;
    in.pos += take;
    consumed_ += static_cast<int64_t>(take);
    if (stageFill_ < want) return nullptr;
    stageFill_ = 0;
    return stage;
}

bool Decoder::drain(lzw_out_buffer& out) {
    return copyOut(decoded_.get(), decodedPos_, decodedEnd_, out);
}

int Decoder::decode(lzw_in_buffer& in, lzw_out_buffer& out) {
    if (fault_ != Fault::none) return errorOf(fault_);
    if (in.pos > in.size || out.pos > out.size || (in.src == nullptr && in.size != 0) ||
        (out.dst == nullptr && out.size != 0)) {
        return failWith(Fault::badArgument);
    }
    for (;;) {
        switch (step_) {
            case Step::magic: {
                // The magic alone first: a header's length depends on it.
                const uint8_t* p = gather(in, 4);
                if (p == nullptr) return waiting();
                size_t needed = 0;
                Fault fault = parseHeader(p, 4, header_, &needed);
                if (fault != Fault::none) return failWith(fault);
                std::memcpy(magic_, p, 4);
                step_ = header_.skippable ? Step::skipSize : Step::header;
                break;
            }
            case Step::header: {
                const uint8_t* p = gather(in, kFrameHeaderSize - 4);
                if (p == nullptr) return waiting();
                uint8_t whole[kFrameHeaderSize];
                std::memcpy(whole, magic_, 4);
                std::memcpy(whole + 4, p, kFrameHeaderSize - 4);
                size_t needed = 0;
                Fault fault = parseHeader(whole, kFrameHeaderSize, header_, &needed);
                if (fault != Fault::none) return failWith(fault);
                step_ = Step::payloadWord;
                break;
            }
            case Step::skipSize: {
                const uint8_t* p = gather(in, 4);
                if (p == nullptr) return waiting();
                skipLeft_ = load32(p);
                step_ = Step::skipping;
                break;
            }
            case Step::skipping: {
                size_t take = static_cast<size_t>(std::min<uint64_t>(skipLeft_, in.size - in.pos));
                in.pos += take;
                consumed_ += static_cast<int64_t>(take);
                skipLeft_ -= take;
                if (skipLeft_ > 0) return LZW_FRAME_NEEDS_INPUT;
                step_ = Step::done;
                break;
            }
            case Step::payloadWord: {
                if (stageFill_ == 0) blockOffset_ = consumed_;
                const uint8_t* p = gather(in, kEndMarkSize);
                if (p == nullptr) return waiting();
                Fault fault = readPayloadWord(p, header_, block_);
                if (!block_.end) ++blockIndex_;
                if (fault != Fault::none) return failWith(fault);
                if (block_.end) {
                    if (header_.contentSize >= 0 && produced_ != header_.contentSize) {
                        return failWith(Fault::contentSize);
                    }
                    step_ = (header_.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0
                                ? Step::contentChecksum
                                : Step::done;
                } else {
                    step_ = Step::decodedSize;
                }
                break;
            }
            case Step::decodedSize: {
                const uint8_t* p = gather(in, 4);
                if (p == nullptr) return waiting();
                Fault fault = readDecodedSize(p, header_, block_);
                if (fault == Fault::none && header_.contentSize >= 0 &&
                    block_.decoded > static_cast<uint64_t>(header_.contentSize - produced_)) {
                    fault = Fault::contentSize;
                }
                if (fault != Fault::none) return failWith(fault);
                step_ = Step::payload;
                break;
            }
            case Step::payload: {
                bool checked = (header_.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0;
                size_t want = block_.payload + (checked ? kBlockChecksumSize : 0);
                const uint8_t* p = gather(in, want);
                if (p == nullptr) return waiting();
                // Straight into the caller's room when the block fits there; it counts as
                // given only once its checksum has matched.
                bool direct = out.size - out.pos >= block_.decoded;
                uint8_t* target = static_cast<uint8_t*>(out.dst) + out.pos;
                if (!direct) {
                    if (decodedCapacity_ < block_.decoded) {
                        decoded_.reset(new (std::nothrow) uint8_t[block_.decoded]);
                        decodedCapacity_ = decoded_ ? block_.decoded : 0;
                        if (!decoded_) return failWith(Fault::noMemory);
                    }
                    target = decoded_.get();
                }
                bool summed = (header_.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0;
                block_.offset = static_cast<uint64_t>(produced_);
                uint64_t hash = 0;
                Fault fault =
                    decodeBlock(*coder_, header_, block_, p, checked ? p + block_.payload : nullptr,
                                target, &hash, summed ? &content_ : nullptr);
                if (fault != Fault::none) return failWith(fault);
                if (summed && header_.version != kFirstVersion) foldBlockHash(&content_, hash);
                produced_ += block_.decoded;
                if (direct) {
                    out.pos += block_.decoded;
                    step_ = Step::payloadWord;
                } else {
                    decodedPos_ = 0;
                    decodedEnd_ = block_.decoded;
                    step_ = Step::output;
                }
                break;
            }
            case Step::output:
                if (!drain(out)) return LZW_FRAME_NEEDS_OUTPUT;
                step_ = Step::payloadWord;
                break;
            case Step::contentChecksum: {
                const uint8_t* p = gather(in, kContentChecksumSize);
                if (p == nullptr) return waiting();
                if (load64(p) != XXH64_digest(&content_)) {
                    blockOffset_ = consumed_ - static_cast<int64_t>(kContentChecksumSize);
                    return failWith(Fault::checksum);
                }
                step_ = Step::done;
                break;
            }
            case Step::done:
                return LZW_FRAME_DONE;
        }
    }
}

}  // namespace lzw::frame
