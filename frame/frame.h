// Frames: a checked container of independent blocks above the Coder, which codes each
// block's stream and knows nothing of frames. doc/frame-format.md gives every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "coder.h"
#include "lzw.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace lzw::frame {

inline constexpr size_t kFrameHeaderSize = LZW_FRAME_HEADER_SIZE;
inline constexpr size_t kSkippableHeaderSize = 8;
inline constexpr size_t kBlockHeaderSize = 8;  // payload word, decoded size
inline constexpr size_t kEndMarkSize = 4;      // a payload word of 0
inline constexpr size_t kBlockChecksumSize = 4;
inline constexpr size_t kContentChecksumSize = 8;
inline constexpr uint32_t kStoredBit = 1u << 31;
// Writers write version 2. Version 1 (written by 1.3.0) is still read: its block checksums
// are XXH64 with seed 0 and its content checksum hashes the content a second time.
inline constexpr uint8_t kVersion = 2;
inline constexpr uint8_t kFirstVersion = 1;
inline constexpr uint8_t kCodeWidth = 12;
// The seek table after a frame: a skippable frame of an entry per block (its payload word and
// decoded size, as in its header) and a footer, found from the end of the file.
inline constexpr size_t kTableEntrySize = 8;
inline constexpr size_t kTableFooterSize = 28;
inline constexpr uint8_t kTableMagic[4] = {0x8B, 0x4C, 0x5A, 0x57};
// Blocks a frame with a table holds at most: its table, kept in memory until the frame ends,
// then takes 32 MiB, and a longer content goes on in a next frame (4 TiB a frame at 1 MiB).
inline constexpr uint32_t kTableBlocksMax = 1u << 22;
inline constexpr uint8_t kKnownFlags =
    LZW_FRAME_CONTENT_SIZE | LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS;

inline uint32_t load32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t load64(const uint8_t* p) {
    return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32;
}
inline void store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store64(uint8_t* p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v));
    store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// What a frame is written with: the header's fields and the run's options.
struct Params {
    Policy policy = Policy::freeze;
    uint32_t blockSize = LZW_FRAME_BLOCK_DEFAULT;
    uint8_t flags = LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS;
    int64_t contentSize = -1;  // recorded (and the flag set) when >= 0
    int threads = 1;
    bool seekTable = true;                   // a seek table after each frame
    uint32_t tableBlocks = kTableBlocksMax;  // blocks a frame with a table holds at most
};
// Reads the caller's struct, of any size a published header had; badArgument otherwise.
Fault readParams(const lzw_frame_params* params, Params& out);

// What a header says. policy is valid only after parseHeader() returned none.
struct Header {
    bool skippable = false;
    uint64_t skippableSize = 0;
    uint8_t version = kVersion;
    uint8_t flags = 0;
    Policy policy = Policy::freeze;
    uint32_t blockSize = 0;
    int64_t contentSize = -1;
};
// A frame's header, recording `contentSize` when it is >= 0.
void writeHeader(const Params& params, int64_t contentSize, uint8_t* dst);
// The magic of a frame or skippable frame at `src` (4 bytes).
bool isFrameMagic(const uint8_t* src);
// Reads the header at `src`: none, notFrame, frameHeader, frameVersion or reservedBits;
// `*needed` gets the bytes a whole header takes (4 until the magic has been seen), and the
// fault is none while `size` is short of it.
Fault parseHeader(const uint8_t* src, size_t size, Header& header, size_t* needed);

// Most bytes a block of `size` bytes takes: stored, with its header and checksum.
constexpr size_t blockBound(size_t size) {
    return kBlockHeaderSize + size + kBlockChecksumSize;
}
// The end mark and the content checksum.
inline constexpr size_t kTrailerSize = kEndMarkSize + kContentChecksumSize;

// Whether a frame with these flags hashes its blocks: for their checksums, for the content's,
// or both, from one pass over each block.
inline bool hashesBlocks(uint8_t flags) {
    return (flags & (LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS)) != 0;
}
// XXH64_update of a few bytes, out of line: inlined on a small array, it makes GCC warn of
// the pointer arithmetic xxhash does before it looks at the length.
void updateSmall(XXH64_state_t* state, const uint8_t* src, size_t size);
// Version 2's content checksum hashes the sequence of its blocks' hashes, each block's
// taken while it is coded, on whichever thread codes it: the content is read once.
inline void foldBlockHash(XXH64_state_t* content, uint64_t hash) {
    uint8_t bytes[8];
    store64(bytes, hash);
    updateSmall(content, bytes, sizeof bytes);
}

// Codes one block of `size` bytes (1 to the block size), the content of its frame before it
// being `offset` bytes, into `dst`, which has room for blockBound(size): its header, its
// payload (the Coder's stream, or the bytes themselves when that would not be shorter) and
// its checksum when the frame has block checksums. `*hash` gets its hash when the frame has
// any checksum. Returns the bytes written, or 0 after a fault of the Coder.
size_t encodeBlock(Coder& coder, const Params& params, const uint8_t* src, size_t size,
                   uint64_t offset, uint8_t* dst, uint64_t* hash);

// A block header's fields; `end` for the end mark.
struct Block {
    bool end = false;
    bool stored = false;
    uint32_t payload = 0;  // bytes after the header, the checksum not counted
    uint32_t decoded = 0;
    // The content of its frame before it: what its hash is seeded with, so that a block
    // swapped, dropped or repeated fails its own check (version 2).
    uint64_t offset = 0;
};
// Reads the payload word (4 bytes at `src`); then, unless it is the end mark, the decoded
// size from the next 4 with readDecodedSize(). blockHeader for impossible sizes.
Fault readPayloadWord(const uint8_t* src, const Header& header, Block& block);
Fault readDecodedSize(const uint8_t* src, const Header& header, Block& block);
// Decodes a block's payload (and checks it against `checksum`, 4 bytes, unless null) into
// `dst`, which has room for block.decoded bytes. Version 2: `*hash` gets the block's hash
// when the frame has any checksum, for its content checksum. Version 1: its bytes are added
// to `content` unless null. On a fault `dst` and `content` hold nothing of use.
Fault decodeBlock(Coder& coder, const Header& header, const Block& block, const uint8_t* payload,
                  const uint8_t* checksum, uint8_t* dst, uint64_t* hash,
                  XXH64_state_t* content = nullptr);

// A frame being written: what its end and its seek table need, block by block.
class FrameTail {
  public:
    FrameTail() = default;
    FrameTail(const FrameTail&) = delete;
    FrameTail& operator=(const FrameTail&) = delete;
    // A new frame of `params`, whose header (written by the caller) took kFrameHeaderSize.
    void begin(const Params& params);
    // The block just coded: its header at `block`, its hash, its bytes in the frame. False
    // when there is no memory for its entry in the table.
    bool add(const uint8_t* block, uint64_t hash, size_t bytes);
    // The frame's content so far: the next block's offset.
    uint64_t content() const { return content_; }
    // The frame holds all the blocks it may: more content goes into a next frame.
    bool full() const { return table_ && blocks_ == limit_; }
    // Writes the end mark and the content checksum to `dst` (kTrailerSize of room) and seals
    // the table; returns the bytes written. The table follows: table(), tableSize().
    size_t finish(uint8_t* dst);
    const uint8_t* table() const { return entries_.get(); }
    size_t tableSize() const { return table_ ? tableSize_ : 0; }

  private:
    bool table_ = false;
    bool summed_ = false;
    uint32_t limit_ = 0;
    uint64_t blocks_ = 0;
    uint64_t content_ = 0;
    uint64_t bytes_ = 0;  // the frame's bytes so far
    XXH64_state_t sums_;
    std::unique_ptr<uint8_t[]> entries_;  // the table as written: header, entries, footer
    size_t capacity_ = 0;
    size_t tableSize_ = 0;
};
// What a frame of `params` records as its content size when `coded` bytes of the input went
// into earlier frames: the rest of the given size, up to what one frame holds; -1 for none.
int64_t frameContentSize(const Params& params, int64_t coded);

// A seek table's footer: the last kTableFooterSize bytes of a table.
struct TableFooter {
    uint64_t frameSize = 0;  // the frame's bytes, from its magic to its last
    uint64_t content = 0;    // the frame's content
    uint32_t blocks = 0;
    uint32_t check = 0;  // low 32 bits of XXH64 of the entries and the three fields above
};
// Reads the footer at `src`: false when its magic is not a table's.
bool readTableFooter(const uint8_t* src, TableFooter& footer);
// The bytes of a table of `blocks` entries, skippable header and footer included.
constexpr uint64_t tableBytes(uint64_t blocks) {
    return kSkippableHeaderSize + blocks * kTableEntrySize + kTableFooterSize;
}

// The caller-driven encoder: a frame from input handed over in pieces of any size.
class Encoder {
  public:
    // `coder` codes the blocks; the Encoder does not own it.
    explicit Encoder(Coder* coder) : coder_(coder) {}
    // `sizeHint`: the whole input's length when the caller knows it (not recorded), so that
    // a short input reserves no more than itself.
    Fault reset(const Params& params, int64_t sizeHint = -1);
    // LZW_FRAME_DONE, _NEEDS_INPUT, _NEEDS_OUTPUT, or a negative lzw_error.
    int encode(lzw_in_buffer& in, lzw_out_buffer& out, bool end);
    int64_t consumed() const { return total_; }

  private:
    bool drain(lzw_out_buffer& out);
    bool ensureBuffers(size_t need);
    void encodeInto(const uint8_t* src, size_t size, uint8_t* dst, size_t* written);
    // The frame's end and table go out after what is pending.
    void endFrame();
    int failWith(Fault fault);

    Coder* coder_;
    Params params_;
    std::unique_ptr<uint8_t[]> block_;    // input gathered for the next block
    std::unique_ptr<uint8_t[]> pending_;  // output waiting for room
    size_t blockCapacity_ = 0;
    size_t blockFill_ = 0;
    size_t pendingPos_ = 0, pendingEnd_ = 0;
    size_t tablePos_ = 0, tableEnd_ = 0;  // the table waiting for room, after pending_
    int64_t total_ = 0;                   // input taken
    int64_t coded_ = 0;                   // input in frames ended or begun
    bool started_ = false;                // the frame's header is out
    bool finished_ = false;               // the last frame's end and table are pending
    Fault fault_ = Fault::none;
    FrameTail tail_;
};

// The caller-driven decoder of one frame (or one skippable frame).
class Decoder {
  public:
    explicit Decoder(Coder* coder) : coder_(coder) {}
    void reset();
    // LZW_FRAME_DONE, _NEEDS_INPUT, _NEEDS_OUTPUT, or a negative lzw_error.
    int decode(lzw_in_buffer& in, lzw_out_buffer& out);
    // Where the frame stands: for messages naming the block at fault.
    int64_t blockIndex() const { return blockIndex_; }    // blocks begun, from 1
    int64_t blockOffset() const { return blockOffset_; }  // its header, from the frame's start
    int64_t consumed() const { return consumed_; }        // bytes of the frame taken
    int64_t produced() const { return produced_; }        // bytes given out
    const Header& header() const { return header_; }
    bool started() const { return consumed_ > 0; }
    // Past the last block: the end mark and the content checksum.
    bool inTrailer() const { return step_ == Step::contentChecksum || step_ == Step::done; }

  private:
    enum class Step : uint8_t {
        magic,
        header,
        skipSize,
        skipping,
        payloadWord,
        decodedSize,
        payload,
        output,
        contentChecksum,
        done
    };
    // Gathers `want` bytes into stage_ (or points at them in `in` when they are whole there).
    const uint8_t* gather(lzw_in_buffer& in, size_t want);
    bool drain(lzw_out_buffer& out);
    int failWith(Fault fault);
    // What decode() returns while gather() waits for bytes: more input, or the fault it met.
    int waiting() const;

    Coder* coder_;
    Step step_ = Step::magic;
    Header header_;
    Block block_;
    std::unique_ptr<uint8_t[]> stage_;  // bytes gathered across calls
    size_t stageCapacity_ = 0;
    size_t stageFill_ = 0;
    std::unique_ptr<uint8_t[]> decoded_;  // a checked block waiting for room
    size_t decodedCapacity_ = 0;
    size_t decodedPos_ = 0, decodedEnd_ = 0;
    uint8_t small_[kFrameHeaderSize];  // headers and checksums, gathered in place
    uint8_t magic_[4];
    uint64_t skipLeft_ = 0;
    int64_t blockIndex_ = 0, blockOffset_ = 0, consumed_ = 0, produced_ = 0;
    Fault fault_ = Fault::none;
    XXH64_state_t content_;
};

}  // namespace lzw::frame

namespace lzw::frame {

// The callbacks of a stream run, as lzw.h's lzw_read_fn and lzw_write_fn.
struct Source {
    long long (*read)(void* user, void* buf, size_t capacity);
    void* user;
};
struct Sink {
    int (*write)(void* user, const void* buf, size_t size);
    void* user;
};

// Reads until `size` bytes or the end, as a stream run reads: -1 after a failed read (a
// negative count, or more than asked for); `*ended` once a read returned 0.
long long fillFrom(Source source, uint8_t* dst, size_t size, bool* ended);

// A buffer of a stream run, grown to what the blocks met so far need. Mapped fresh, so
// that its pages cost nothing until written, and in huge pages where the system gives them:
// the megabytes a run cycles through then cost a fault per 2 MiB instead of per 4 KiB, and
// a copy into them (a read) misses the TLB once per 2 MiB instead of once per page.
// Buffers up to this size stay in small pages; a larger one is worth a huge page.
inline constexpr size_t kSmallRead = size_t{1} << 16;

class Pages {
  public:
    Pages() = default;
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    ~Pages() { release(); }
    uint8_t* get() const { return data_; }
    bool huge() const { return huge_; }
    // Room for `size` bytes, keeping the first `keep` bytes it held. `huge`: in huge pages,
    // for buffers of more than kSmallRead; a short input then touches only the few small
    // pages it needs. Never back from huge pages to small ones. False when there is no memory.
    bool reserve(size_t size, bool huge, size_t keep = 0);
    // The same, in huge pages exactly when `size` is more than kSmallRead.
    bool fit(size_t size, size_t keep = 0) { return reserve(size, size > kSmallRead, keep); }

  private:
    void release();
    void* map_ = nullptr;
    size_t mapped_ = 0;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool huge_ = false;
};

// Where a framed stream run stands, for the program's messages and its -l listing.
struct StreamReport {
    int64_t bytesIn = 0;      // bytes read
    int64_t bytesOut = 0;     // bytes written
    int64_t frames = 0;       // frames begun (skippable ones too)
    int64_t blocks = 0;       // blocks begun, in all frames
    int64_t blockOffset = 0;  // where the last block begun (or the checksum at fault) starts
    bool trailer = false;     // the fault is in the frame's end: its size or content checksum
    bool table = false;       // the fault is in the seek table at blockOffset
    Header header;            // the last frame's header
};

// A frame of what `source` delivers to `sink`. params.contentSize, when >= 0, must be the
// input's length (sizeMismatch otherwise). With params.threads other than 1, workers code the
// blocks (compressThreaded).
Fault compressStream(Coder& coder, const Params& params, Source source, Sink sink,
                     StreamReport* report);
// Every frame that `source` delivers, to `sink`, each block once checked; `prefix` holds
// bytes already read from the source (at most 16), decoded first. notFrame when the input
// does not start with a frame; trailingData for anything after a frame that is not one.
// With a null `sink`, it only checks, seek tables included (seekTable). `threads` as
// params.threads: other than 1, workers decode the blocks (decompressThreaded).
Fault decompressStream(Coder& coder, Source source, Sink sink, const uint8_t* prefix,
                       size_t prefixSize, StreamReport* report, int threads = 1);

// What the frames of a stream say about themselves, found without decoding a block.
struct Listing {
    int64_t frames = 0;     // frames, skippable ones not counted
    int64_t skippable = 0;  // skippable frames
    int64_t blocks = 0;
    int64_t storedBlocks = 0;
    int64_t content = 0;          // the decoded sizes of all blocks
    int64_t compressed = 0;       // every byte read
    Header header;                // the first frame's header
    bool policiesDiffer = false;  // a later frame has another policy or block size
    int64_t indexed = -1;  // frames with their seek table (found, or by their size in a pipe)
};
// Walks every frame that `source` delivers, after the `prefixSize` bytes at `prefix` that
// were read from it already, checking each header and block header but no checksum.
Fault listStream(Source source, const uint8_t* prefix, size_t prefixSize, Listing& listing);

// What a stream run hands over instead of decoding its blocks itself: each payload (and
// checksum), read into room() and then given to block(), and each frame's content checksum,
// to be checked once the blocks before it are decoded. `at` is where the run stands, for the
// report of a fault found later. A fault returned ends the run with it.
class BlockHandoff {
  public:
    virtual Fault room(size_t size, size_t decoded, uint8_t** dst) = 0;
    virtual Fault block(const Header& header, const Block& block, const StreamReport& at) = 0;
    virtual Fault contentChecksum(uint64_t expected, const StreamReport& at) = 0;

  protected:
    ~BlockHandoff() = default;
};
// decompressStream's walk of the frames, with every block and content checksum handed over;
// `tables`: the seek tables checked against their frames, as decompressStream does when it
// only checks.
Fault handOffStream(Source source, const uint8_t* prefix, size_t prefixSize, BlockHandoff& handoff,
                    StreamReport& report, bool tables);

// ---- Workers (frame_threads.cpp) ----
// The workers of `threads`: 0 is one per core this process may run on; at most kMaxThreads.
inline constexpr int kMaxThreads = LZW_FRAME_THREADS_MAX;
int workerCount(int threads);
// compressStream and decompressStream with `workers` (> 1) threads coding blocks at once, each
// with a Coder of its own (`coder` is the first's): the same reads, the same bytes in the same
// writes, the same fault and report as one thread. Blocks are read and written in order on
// the calling thread, which alone calls the callbacks; every worker has ended on return.
Fault compressThreaded(Coder& coder, const Params& params, int workers, Source source, Sink sink,
                       StreamReport* report);
Fault decompressThreaded(Coder& coder, int workers, Source source, Sink sink, const uint8_t* prefix,
                         size_t prefixSize, StreamReport* report);

// ---- Reads at any offset (reader.cpp) ----

// A file read by offset, as pread(2): `read` gives up to `size` bytes at `offset` (fewer only
// at the file's end), or -1.
struct PositionalSource {
    long long (*read)(void* user, void* buf, size_t size, unsigned long long offset);
    void* user;
    uint64_t size;  // the file's length
};

// Any range of a framed file's content, decoding only the blocks it touches. open() finds the
// frames from the end of the file by their seek tables, in a few reads whatever the size, and
// walks the block headers of whatever part has no table it can trust. Every block read is
// checked as a stream decoder checks it, its header against what the table said first: a
// table that disagrees is dropped for the block headers. One thread at a time.
class RangeReader {
  public:
    struct FrameInfo {
        uint64_t at = 0;       // its magic, in the file
        uint64_t size = 0;     // its bytes, to the content checksum
        uint64_t content = 0;  // the content of the frames before it
        uint64_t firstBlock = 0;
        Header header;
        bool table = false;  // found by its seek table
    };
    struct BlockInfo {
        uint64_t at = 0;       // its header, in the file
        uint64_t content = 0;  // the content before it, in all frames
        uint32_t word = 0;     // its payload word and decoded size, as its header gives them
        uint32_t decoded = 0;
        uint32_t frame = 0;
    };

    RangeReader() = default;
    RangeReader(const RangeReader&) = delete;
    RangeReader& operator=(const RangeReader&) = delete;
    ~RangeReader();

    Fault open(PositionalSource source);
    // Up to `size` bytes of the content from `offset` into `dst`; fewer only at its end.
    Fault read(uint64_t offset, uint8_t* dst, size_t size, size_t* got);

    uint64_t contentSize() const { return content_; }
    const std::vector<FrameInfo>& frames() const { return frames_; }
    const std::vector<BlockInfo>& blocks() const { return blocks_; }
    int64_t skippable() const { return skippable_; }  // skippable frames that are no table
    // Every frame was found by its table (else some or all by their block headers).
    bool indexed() const { return indexed_; }
    uint64_t readCalls() const { return readCalls_; }
    // Where the last fault lies: the block (from 1, over all frames; 0 outside one) and the
    // offset in the file of the block, or of the header or table at fault.
    int64_t faultBlock() const { return faultBlock_; }
    uint64_t faultOffset() const { return faultOffset_; }

  private:
    bool fetch(uint64_t at, uint8_t* dst, size_t size);
    Fault load(bool trustTables);
    bool loadTable(uint64_t end, FrameInfo& frame, std::vector<BlockInfo>& blocks);
    Fault walk(uint64_t from, uint64_t to);
    Fault decode(size_t index, uint8_t* dst);
    Fault fail(Fault fault, int64_t block, uint64_t offset);

    PositionalSource source_{};
    std::vector<FrameInfo> frames_;
    std::vector<BlockInfo> blocks_;
    uint64_t content_ = 0;
    int64_t skippable_ = 0;
    bool indexed_ = false;
    bool trusted_ = false;  // some frames came from tables: a disagreement drops them
    uint64_t readCalls_ = 0;
    bool readFailed_ = false;
    int64_t faultBlock_ = 0;
    uint64_t faultOffset_ = 0;
    Coder* coder_ = nullptr;
    Pages payload_, cache_, tail_, table_;
    int64_t cached_ = -1;  // the block cache_ holds
};

}  // namespace lzw::frame
