// Reads at any offset of a framed file: its frames found from the end by their seek tables, or
// by walking their block headers where there is no table to trust; each block read, checked and
// decoded only when a read touches it.
#include <algorithm>
#include <cstring>
#include <new>

#include "frame.h"

namespace lzw::frame {
namespace {

// What open() reads first from the end of the file: the last footer, and with it the whole
// table of a frame of up to 8000 blocks, and often the frame's header too.
constexpr size_t kTail = size_t{1} << 16;
// The least a frame takes: its header and its end mark.
constexpr uint64_t kLeastFrame = kFrameHeaderSize + kEndMarkSize;

uint64_t blockBytes(uint32_t word, bool checked) {
    return kBlockHeaderSize + (word & ~kStoredBit) + (checked ? kBlockChecksumSize : 0);
}

bool checked(const Header& header) {
    return (header.flags & LZW_FRAME_BLOCK_CHECKSUMS) != 0;
}

uint64_t trailerBytes(const Header& header) {
    return kEndMarkSize +
           ((header.flags & LZW_FRAME_CONTENT_CHECKSUM) != 0 ? kContentChecksumSize : 0);
}

// Checks a block header's two words as a decoder does, within a frame of `header` whose blocks
// before it gave `content` bytes.
Fault checkBlock(const uint8_t* words, const Header& header, uint64_t content) {
    Block block;
    Fault fault = readPayloadWord(words, header, block);
    if (fault != Fault::none) return fault;
    if (block.end) return Fault::blockHeader;
    fault = readDecodedSize(words + 4, header, block);
    if (fault == Fault::none && header.contentSize >= 0 &&
        block.decoded > static_cast<uint64_t>(header.contentSize) - content) {
        fault = Fault::contentSize;
    }
    return fault;
}

}  // namespace

RangeReader::~RangeReader() {
    if (coder_ != nullptr) Coder::release(coder_);
}

bool RangeReader::fetch(uint64_t at, uint8_t* dst, size_t size) {
    if (at > source_.size || size > source_.size - at) return false;
    for (size_t got = 0; got < size;) {
        ++readCalls_;
        long long r = source_.read(source_.user, dst + got, size - got, at + got);
        if (r < 0 || static_cast<unsigned long long>(r) > size - got) {
            readFailed_ = true;
            return false;
        }
        if (r == 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

Fault RangeReader::fail(Fault fault, int64_t block, uint64_t offset) {
    if (readFailed_) fault = Fault::readFailed;
    faultBlock_ = block;
    faultOffset_ = offset;
    return fault;
}

Fault RangeReader::open(PositionalSource source) {
    source_ = source;
    readCalls_ = 0;
    readFailed_ = false;
    uint8_t magic[4];
    if (source.size < 4) return fail(Fault::shorterThanHeader, 0, 0);
    if (!fetch(0, magic, 4)) return fail(Fault::endsEarly, 0, 0);
    Header header;
    size_t needed = 0;
    // A raw stream has no blocks to find: it can only be read from its start.
    if (Fault fault = parseHeader(magic, 4, header, &needed); fault != Fault::none) {
        return fail(fault, 0, 0);
    }
    return load(true);
}

Fault RangeReader::load(bool trustTables) {
    frames_.clear();
    blocks_.clear();
    content_ = 0;
    skippable_ = 0;
    cached_ = -1;
    faultBlock_ = 0;
    faultOffset_ = 0;
    trusted_ = false;
    try {
        // From the end, table by table, as far as they go; each frame's blocks are in order.
        std::vector<std::pair<FrameInfo, std::vector<BlockInfo>>> found;
        uint64_t end = source_.size;
        if (trustTables) {
            for (;;) {
                std::pair<FrameInfo, std::vector<BlockInfo>> frame;
                if (end == 0 || !loadTable(end, frame.first, frame.second)) break;
                end = frame.first.at;
                found.push_back(std::move(frame));
            }
            if (readFailed_) return fail(Fault::readFailed, 0, 0);
        }
        // What no table covers, by its block headers: it must end where the tables begin.
        if (Fault fault = walk(0, end); fault != Fault::none) {
            if (found.empty()) return fault;
            return load(false);
        }
        indexed_ = end == 0;
        trusted_ = !found.empty();
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
            FrameInfo& frame = it->first;
            uint64_t own = frame.content;
            frame.content = content_;
            frame.firstBlock = blocks_.size();
            for (BlockInfo& block : it->second) {
                block.content += content_;
                block.frame = static_cast<uint32_t>(frames_.size());
                blocks_.push_back(block);
            }
            content_ += own;
            frames_.push_back(frame);
        }
    } catch (const std::bad_alloc&) {
        return fail(Fault::noMemory, 0, 0);
    }
    return Fault::none;
}

// The frame whose seek table ends at `end`, with its blocks (their content counted from the
// frame's start, and frame.content its whole content), when the table passes every check and
// agrees with the frame's header and length. False otherwise: the caller walks the headers.
bool RangeReader::loadTable(uint64_t end, FrameInfo& frame, std::vector<BlockInfo>& blocks) {
    if (end < tableBytes(0) + kLeastFrame) return false;
    size_t tailSize = static_cast<size_t>(std::min<uint64_t>(end, kTail));
    if (!tail_.fit(tailSize) || !fetch(end - tailSize, tail_.get(), tailSize)) return false;
    const uint8_t* tail = tail_.get();
    TableFooter footer;
    if (!readTableFooter(tail + tailSize - kTableFooterSize, footer)) return false;
    if (footer.blocks > kTableBlocksMax) return false;
    uint64_t tableSize = tableBytes(footer.blocks);
    if (tableSize > end - kLeastFrame || footer.frameSize < kLeastFrame ||
        footer.frameSize > end - tableSize) {
        return false;
    }
    uint64_t tableAt = end - tableSize;
    uint64_t frameAt = tableAt - footer.frameSize;
    const uint8_t* table = tail + tailSize - tableSize;
    if (tableSize > tailSize) {
        if (!table_.fit(static_cast<size_t>(tableSize)) ||
            !fetch(tableAt, table_.get(), static_cast<size_t>(tableSize))) {
            return false;
        }
        table = table_.get();
    }
    uint8_t magic[4];
    store32(magic, LZW_FRAME_SKIPPABLE_MAGIC);
    if (std::memcmp(table, magic, 4) != 0 ||
        load32(table + 4) != tableSize - kSkippableHeaderSize ||
        static_cast<uint32_t>(XXH64(
            table + kSkippableHeaderSize,
            static_cast<size_t>(tableSize) - kSkippableHeaderSize - kTableFooterSize + 20, 0)) !=
            footer.check) {
        return false;
    }
    uint8_t bytes[kFrameHeaderSize];
    if (frameAt >= end - tailSize) {
        std::memcpy(bytes, tail + (frameAt - (end - tailSize)), kFrameHeaderSize);
    } else if (!fetch(frameAt, bytes, kFrameHeaderSize)) {
        return false;
    }
    Header header;
    size_t needed = 0;
    if (parseHeader(bytes, kFrameHeaderSize, header, &needed) != Fault::none || header.skippable ||
        header.version != kVersion) {
        return false;
    }
    // Every entry as a decoder would take the block header, and the whole as long as the frame.
    uint64_t at = frameAt + kFrameHeaderSize, content = 0;
    blocks.resize(footer.blocks);
    const uint8_t* entry = table + kSkippableHeaderSize;
    for (BlockInfo& block : blocks) {
        if (checkBlock(entry, header, content) != Fault::none) return false;
        block.at = at;
        block.content = content;
        block.word = load32(entry);
        block.decoded = load32(entry + 4);
        at += blockBytes(block.word, checked(header));
        content += block.decoded;
        entry += kTableEntrySize;
    }
    if (at + trailerBytes(header) != tableAt || content != footer.content ||
        (header.contentSize >= 0 && content != static_cast<uint64_t>(header.contentSize))) {
        return false;
    }
    frame.at = frameAt;
    frame.size = footer.frameSize;
    frame.content = content;
    frame.header = header;
    frame.table = true;
    return true;
}

// The frames from `from` to `to` by their headers, a read per block; they must end at `to`.
Fault RangeReader::walk(uint64_t from, uint64_t to) {
    uint64_t at = from;
    bool first = from == 0;
    int64_t lastBlocks = -1;  // the blocks of a version 2 frame just walked: its table may follow
    while (at < to) {
        uint8_t bytes[kFrameHeaderSize];
        size_t n = static_cast<size_t>(std::min<uint64_t>(to - at, kFrameHeaderSize));
        if (n < 4) return fail(first ? Fault::shorterThanHeader : Fault::trailingData, 0, at);
        if (!fetch(at, bytes, n)) return fail(Fault::endsEarly, 0, at);
        Header header;
        size_t needed = 0;
        Fault fault = parseHeader(bytes, n, header, &needed);
        if (fault != Fault::none) return fail(first ? fault : Fault::trailingData, 0, at);
        if (n < needed) return fail(Fault::endsEarly, 0, at);
        first = false;
        if (header.skippable) {
            if (header.skippableSize > to - at - kSkippableHeaderSize) {
                return fail(Fault::endsEarly, 0, at);
            }
            bool table = lastBlocks >= 0 &&
                         header.skippableSize ==
                             tableBytes(static_cast<uint64_t>(lastBlocks)) - kSkippableHeaderSize;
            if (!table) ++skippable_;
            lastBlocks = -1;
            at += kSkippableHeaderSize + header.skippableSize;
            continue;
        }
        FrameInfo frame;
        frame.at = at;
        frame.content = content_;
        frame.firstBlock = blocks_.size();
        frame.header = header;
        at += kFrameHeaderSize;
        uint64_t content = 0;
        for (;;) {
            uint8_t words[kBlockHeaderSize];
            int64_t index = static_cast<int64_t>(blocks_.size()) + 1;
            n = static_cast<size_t>(std::min<uint64_t>(to - at, kBlockHeaderSize));
            if (n < kEndMarkSize || !fetch(at, words, n)) return fail(Fault::endsEarly, index, at);
            if (load32(words) == 0) break;
            if (n < kBlockHeaderSize) return fail(Fault::endsEarly, index, at);
            if ((fault = checkBlock(words, header, content)) != Fault::none) {
                return fail(fault, index, at);
            }
            BlockInfo block;
            block.at = at;
            block.content = content_ + content;
            block.word = load32(words);
            block.decoded = load32(words + 4);
            block.frame = static_cast<uint32_t>(frames_.size());
            uint64_t taken = blockBytes(block.word, checked(header));
            if (taken > to - at) return fail(Fault::endsEarly, index, at);
            blocks_.push_back(block);
            at += taken;
            content += block.decoded;
        }
        if (header.contentSize >= 0 && content != static_cast<uint64_t>(header.contentSize)) {
            return fail(Fault::contentSize, 0, at);
        }
        if (trailerBytes(header) > to - at) return fail(Fault::endsEarly, 0, at);
        at += trailerBytes(header);
        frame.size = at - frame.at;
        content_ += content;
        lastBlocks = header.version == kVersion
                         ? static_cast<int64_t>(blocks_.size() - frame.firstBlock)
                         : -1;
        frames_.push_back(frame);
    }
    return Fault::none;
}

// Reads, checks and decodes block `index` into `dst` (room for its bytes). seekTable when its
// header says otherwise than the table it was found by.
Fault RangeReader::decode(size_t index, uint8_t* dst) {
    const BlockInfo& info = blocks_[index];
    const FrameInfo& frame = frames_[info.frame];
    const auto number = static_cast<int64_t>(index) + 1;
    uint64_t bytes = blockBytes(info.word, checked(frame.header));
    if (!payload_.fit(static_cast<size_t>(bytes))) return fail(Fault::noMemory, number, info.at);
    uint8_t* p = payload_.get();
    if (!fetch(info.at, p, static_cast<size_t>(bytes))) {
        return fail(Fault::endsEarly, number, info.at);
    }
    if (load32(p) != info.word || load32(p + 4) != info.decoded) {
        return fail(trusted_ ? Fault::seekTable : Fault::blockHeader, number, info.at);
    }
    if (coder_ == nullptr && (coder_ = Coder::create()) == nullptr) {
        return fail(Fault::noMemory, number, info.at);
    }
    Block block;
    readPayloadWord(p, frame.header, block);
    readDecodedSize(p + 4, frame.header, block);
    block.offset = info.content - frame.content;
    Fault fault = decodeBlock(
        *coder_, frame.header, block, p + kBlockHeaderSize,
        checked(frame.header) ? p + kBlockHeaderSize + block.payload : nullptr, dst, nullptr);
    return fault == Fault::none ? fault : fail(fault, number, info.at);
}

Fault RangeReader::read(uint64_t offset, uint8_t* dst, size_t size, size_t* got) {
    *got = 0;
    if (offset >= content_ || size == 0) return Fault::none;
    size = static_cast<size_t>(std::min<uint64_t>(size, content_ - offset));
    size_t done = 0;
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                               [](uint64_t at, const BlockInfo& b) { return at < b.content; });
    auto index = static_cast<size_t>(it - blocks_.begin()) - 1;
    while (done < size) {
        const BlockInfo& block = blocks_[index];
        uint64_t inside = offset + done - block.content;
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, block.decoded - inside));
        if (cached_ != static_cast<int64_t>(index)) {
            Fault fault = Fault::none;
            if (inside == 0 && n == block.decoded) {
                // Whole in the range: decoded where it goes.
                fault = decode(index, dst + done);
                if (fault == Fault::none) {
                    done += n;
                    ++index;
                    *got = done;
                    continue;
                }
            } else {
                cached_ = -1;
                fault = cache_.fit(block.decoded) ? decode(index, cache_.get()) : Fault::noMemory;
                if (fault == Fault::none) cached_ = static_cast<int64_t>(index);
            }
            if (fault == Fault::seekTable) {
                // A table that disagrees with its blocks is never trusted again: the block
                // headers say where everything is, and the read starts over by them.
                if ((fault = load(false)) != Fault::none) return fault;
                size_t again = 0;
                fault = read(offset + done, dst + done, size - done, &again);
                *got = done + again;
                return fault;
            }
            if (fault != Fault::none) return fault;
        }
        std::memcpy(dst + done, cache_.get() + inside, n);
        done += n;
        ++index;
        *got = done;
    }
    return Fault::none;
}

}  // namespace lzw::frame
