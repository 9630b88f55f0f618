// LZW coder with 12-bit codes and a 4096-code dictionary, in three dictionary
// policies: freeze (c1/d1), least-recently-used leaf eviction (c2/d2) and
// reset (c3/d3). One Coder holds all state of one run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "messages.h"

namespace lzw {

// Number of codes, and the null link: one past the last code.
inline constexpr int32_t kTableSize = 4096;
inline constexpr int32_t NIL = 4096;

// Largest input the signed 32-bit length header (size - 1) can describe.
inline constexpr int64_t kMaxInputSize = int64_t{1} << 31;

// Most bytes a compression of `size` bytes can take: the header, and at most one 12-bit
// code per input byte.
inline constexpr size_t compressedBound(size_t size) {
    return 4 + (3 * size + 1) / 2;
}

// The length header: the input's size - 1 as a signed 32-bit number, most significant byte
// first (-1 for an empty input). Every reader and writer of it goes through these two.
inline constexpr size_t kHeaderSize = 4;
inline void storeHeader(uint8_t* dst, int32_t length) {
    auto v = static_cast<uint32_t>(length);
    for (size_t i = 0; i < kHeaderSize; ++i) dst[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline int32_t loadHeader(const uint8_t* src) {
    uint32_t v = 0;
    for (size_t i = 0; i < kHeaderSize; ++i) v = v << 8 | src[i];
    return static_cast<int32_t>(v);
}

struct DictEntry {
    int32_t parent;  // code this phrase extends; NIL for a single byte or an empty slot
    // The child list of a phrase. Not kept (eviction leaves them NIL): the coders find a
    // child through childOf and only count children (childCount), all that leaf eviction
    // needs to know.
    int32_t firstChild;
    int32_t nextSibling;
    int32_t symbol;  // byte this phrase adds to its parent; NIL in an empty slot
};

// Checked builds (sanitizer and fuzz builds) verify the derived structures after every
// change; release builds compile the checks out.
#ifndef LZW_CHECKS
#define LZW_CHECKS 0
#endif
inline constexpr bool kChecked = LZW_CHECKS != 0;

// One slot of the reset-mode compressor's pair table. The slot and the symbol name the
// prefix, so the entry needs only these two.
struct PairSlot {
    uint16_t tag;    // 2 x (symbol + 1), + 1 in the pair's second slot; 0 in an empty slot
    uint16_t code4;  // 4 x the phrase's place (pairPlace4): the byte offset the next lookup adds
};

// What a run does: the direction, and what a full dictionary does (c1/d1, c2/d2, c3/d3).
enum class Direction : uint8_t { compress, decompress };
enum class Policy : uint8_t { freeze = 1, evict = 2, reset = 3 };

class Coder;

// Everything that differs between the policies, one row each (kPolicyRows, after the Coder):
// configure(), the runs, the program and the C interface read the rows and test no policy
// themselves, so a policy without a row cannot be reached.
struct PolicyRow {
    Policy policy;  // rows stand in the order of these values, from 1
    char digit;     // the modes are 'c' and 'd' followed by this digit
    const char* compressBanner;
    const char* decompressBanner;
    bool timerBeforeBanner;              // the freeze modes start the timer after their banner
    bool timeLineAfterEmptyCompression;  // c1 and c2 leave it out after an empty input
    bool freezeWhenFull;  // the loops of dictionary.cpp: a full dictionary stops growing
    bool evicting;        // keeps the child counts and the leaves
    bool pairIndex;       // its compressor finds pairs in childOf (otherwise in pairTable)
    bool (Coder::*compressLoop)();
    bool (Coder::*decompressLoop)();
};

// What the program shows while a file run goes on (its progress line on a terminal): told
// after every read of the input file (readFile), with the bytes read so far and the input's size
// (-1 when unknown), and before a line goes to the console or to standard error, so that it
// can clear its own line first. A run in memory never calls it.
struct RunWatcher {
    void (*refilled)(void* context, int64_t bytesRead, int64_t inputSize);
    void (*clear)(void* context);
    void* context;
};

class Coder {
  public:
    // ---- Fields of a run, in order ----
    DictEntry dict[kTableSize];
    int32_t count;  // next free code
    int32_t highShift;
    int32_t nibbleShift;
    int32_t alphabetSize;
    int32_t byteMask;
    int32_t nibbleMask;
    std::FILE* in;
    std::FILE* out;
    // The last string written by a walk (writeString), last byte first; the copies of short
    // strings do not pass through it.
    uint8_t stringBuf[kTableSize];
    int32_t pendingNibble;
    bool halfPending;
    bool freezeWhenFull;
    int32_t startTicks;
    int32_t endTicks;
    int32_t elapsedTicks;

    // ---- The rest of a run's state, one plain aggregate per concern ----
    // Each states its invariant and the configurations that keep it; Coder's operations keep
    // it. A configuration that does not keep a structure derived from dict leaves it as it
    // is; the checks of checks.cpp compare each kept one with dict in checked builds.

    // The run's configuration: direction and policy, and from the policy's row indexing and
    // evicting (as freezeWhenFull), set together by configure(); the names of the files, by
    // the front end or runMemory(). Fixed while the run codes.
    struct RunConfig {
        Direction direction = Direction::compress;
        Policy policy = Policy::freeze;
        const char* inputPath = "";  // names the files in messages
        const char* outputPath = "";
        // A compressor: keep the pair index; a decoder: keep the decoder tables.
        bool indexing = true;
        // Eviction: childCount, the leaves and the empty-slot marks are kept. The freeze and
        // reset modes never give a phrase up and skip that upkeep.
        bool evicting = false;
    };
    RunConfig config;

    // The streams, their buffers and the run's fault. inBuf[inPos, inEnd) is input not yet
    // consumed, outBuf[0, outPos) output not yet written; resetStreams() empties both for a
    // new pair of streams. Once `failed` is set, fault and faultPath keep the run's first
    // fault, every loop stops, and the input reads as ended. Every run reads and writes
    // through readInput, writeOutput and rewriteHeader: the front end points them at its files
    // (the codec itself opens, reads and writes no file), runMemory() at memIn and memOut
    // (readMemory, writeMemory, which refuse to write past memOutCapacity), the C interface at
    // its caller's callbacks (streamCalls), the frame layer at memOut and its checksums.
    // readInput: up to n bytes into dst, how many it read, 0 at the end or after fail();
    // writeOutput: all n bytes, false after fail(); rewriteHeader: `length` into the output's
    // header again, false after fail(). Null: no input, an output that takes everything, and
    // a header that cannot be rewritten.
    static constexpr int32_t kBufSize = 1 << 16;
    struct Streams {
        Fault fault = Fault::none;  // the run's first fault
        // The file it concerns (the input, for a damaged stream).
        const char* faultPath = "";
        bool failed = false;           // set by fail(); every loop stops on it
        bool writeFailed = false;      // the output refused a write; nothing more is written
        int64_t bytesRead = 0;         // input bytes consumed by a compressor
        int64_t headerLength = 0;      // length written into the header by a compressor
        int64_t remaining = 0;         // bytes a decoder may still write, from the header
        int32_t inPos = 0, inEnd = 0;  // window of inBuf not yet consumed
        int32_t outPos = 0;            // bytes of outBuf not yet written
        bool inEof = false;            // the input has reported end or error
        const uint8_t* memIn = nullptr;
        size_t memInSize = 0;
        size_t memInPos = 0;
        uint8_t* memOut = nullptr;
        size_t memOutCapacity = 0;
        size_t memOutSize = 0;
        size_t (*readInput)(Coder& coder, uint8_t* dst, size_t n) = nullptr;
        bool (*writeOutput)(Coder& coder, const uint8_t* src, size_t n) = nullptr;
        bool (*rewriteHeader)(Coder& coder, int32_t length) = nullptr;
        // What readInput and writeOutput work with beyond these fields: the C interface's
        // callbacks of a stream run (api.cpp), a frame block's checksums (frame.cpp).
        void* streamCalls = nullptr;
        // A compressor fails once it has read more input bytes than this (the header's limit).
        int64_t readLimit = INT64_MAX;
        uint8_t inBuf[kBufSize + 1];  // one byte more: loops may read one past the window
        uint8_t outBuf[kBufSize];
        // Past outBuf, where no store may reach: a code's 4-byte store that started too near
        // the end would spill into it. Checked builds fill it and look at every flush.
        uint8_t outGuard[4];
    };
    Streams io;

    // What the program's front end (app/) keeps of its files and its console: the identity
    // of the open input and of the output it may remove, and where its lines go. The codec
    // core neither reads nor writes it.
    struct FrontEnd {
        bool inputKnown = false;  // inputDevice/inputInode identify the open input
        uint64_t inputDevice = 0;
        uint64_t inputInode = 0;
        // Size of a regular input file, -1 when unknown: a pipe or device, or a regular file
        // that reports 0 (procfs and the like report 0 whatever they hold).
        int64_t inputSize = -1;
        int32_t inputMode = -1;  // permission bits of a regular input, -1 for any other
        // Banner and time line: standard output, or standard error when that is the output;
        // null: neither is printed (lzw -q).
        std::FILE* console = nullptr;
        // The program's progress display, or null (see RunWatcher).
        RunWatcher* watcher = nullptr;
        // The descriptors the input and the output are, already open when the program
        // started: named so (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
        // /proc/self/fd/N, "-"), or, for the output, the file open as standard output. Read
        // and written where they stand (an offset, a pipe, a socket), never opened again by
        // path (which would truncate a file the shell appends to) and never sought.
        // kByPath: opened by its path; kClosedDescriptor: named a descriptor that was closed.
        static constexpr int32_t kByPath = -1;
        static constexpr int32_t kClosedDescriptor = -2;
        int32_t inputDescriptor = kByPath;
        int32_t outputDescriptor = kByPath;
        // -f: a compression may write to a terminal.
        bool toTerminal = false;
        // -f: a compression may take a frame as its input.
        bool compressFrames = false;
        // A compression refused because its input is a frame (reportFault says so).
        bool refusedFrame = false;
        // A compression refused because its output is a terminal (reportFault says so).
        bool refusedTerminal = false;
        // -v: the sizes in and out on standard error after the time line.
        bool showSizes = false;
        int64_t bytesWritten = 0;  // bytes written to the output by this run
        // The regular output file opened, while a failure or a signal may remove it.
        uint64_t outputDevice = 0;
        uint64_t outputInode = 0;
        // The output file is new (this run created it, private): closeFiles gives it
        // outputMode once the run has succeeded.
        bool outputCreated = false;
        uint32_t outputMode = 0;
    };
    FrontEnd front;

    // What earlier runs left in the tables, so that a run clears only that, and what was done
    // once to this Coder's pages. Kept together, not beside each table: a short run then
    // touches one page for them all instead of a page (and a fault) beside each table.
    // Each call on a reused Coder refills only what the runs before it touched. Every writer
    // of a table indexed by code writes codes below count (dict: up to count), and count
    // only falls in resetDictionary(), which first raises the marks (dictTop, lengthsTop,
    // countsTop) to it: from each mark on, its table is as its last refill left it.
    enum class PairsHeld : uint8_t { none, ofDict, ofParents, unknown };
    struct TableMarks {
        int32_t dictTop = kTableSize;  // dict[alphabetSize, dictTop) may hold phrases
        bool dictSinglesSet = false;   // dict's single-byte entries, which no run changes once set
        // What pairs.childOf holds: nothing, the pairs dict describes (the freeze compressor),
        // those parentOf and symbolOf describe (the eviction compressor), or unknown.
        PairsHeld childOfHolds = PairsHeld::unknown;
        bool childOfMapped = false;   // whether mapChildTable() has run for this Coder
        bool childOfAdvised = false;  // whether adviseHugeChildTable() has, needed once
        bool pairsMapped = false;     // table.pairFirst, pairSecond, pairMove point into this Coder
        bool rootsWritten = false;    // table.rootSeen may have bits set: cleared before reuse
        bool decSinglesSet = false;   // dec's single-byte entries, which no run changes once set
        // The single bytes' leaf links and dec.firstOf, which no run changes once set.
        bool leafSinglesSet = false;
        int32_t lengthsTop = kTableSize + 1;  // dec.lengthOf[alphabetSize, lengthsTop) may be set
        int32_t countsTop = kTableSize;       // leaf.childCount[0, countsTop) may be set
        void* block = nullptr;  // the allocation create() placed this Coder in, or null
    };
    TableMarks marks;

    // Coders lent to the threads that code blocks beside a run on this one (a context's), kept
    // for its next such run: a new one would fault in its tables' pages again. A chain through
    // this field, released with this Coder; only the thread that runs this Coder touches it.
    Coder* spare = nullptr;

    // Pair index of the freeze and eviction compressors (findChild). Invariant: for every
    // phrase k that stands in its parent's child list, childOf[pairSlot(dict[k].parent,
    // dict[k].symbol)] == k, and every other entry is 0 (code 0 is never a child). One load
    // per input byte, instead of the sibling walk (up to 256 steps near the root) or a hash
    // probe; an erase is one store. 2 MiB, but a run touches only the rows of the bytes it
    // meets, and the children of a frequent byte share cache lines. Aligned so that create()
    // can place it on a 2 MiB boundary, where the system may back it with one huge page: a run
    // then pays one fault for the table instead of one per 4 KiB page it touches (about 10 us
    // each on a virtual machine, hundreds of them in a 10 KB input), and its loads miss the TLB
    // far less. childOfHolds: what childOf holds besides zeros: nothing; the pairs of the codes
    // [alphabetSize, count) as dict describes them (the freeze compressor) or as parentOf and
    // symbolOf do (the eviction compressor, whose release loop leaves dict behind); or anything
    // (a Coder not from create()). Every reset drops them before any other run can change what
    // describes them, about ten instructions a pair, so that a short call on a reused Coder
    // does not clear 2 MiB; only `unknown` is cleared whole.
    //
    // Beside it, the lanes of the freeze compressor, which parses each input window of a
    // frozen dictionary in kLanes interleaved lanes: lane k starts a phrase at the start of its
    // segment and parses it on its own, so the lanes' dependent table loads overlap instead of
    // following one another. From a phrase start, the parse of a frozen dictionary depends on
    // nothing before it, so once the exact parse of the previous segment starts a phrase where
    // lane k started one, the rest of lane k is exact. laneCodes holds each lane's codes; the
    // lengths of those codes (dec.lengthOf) tell where each of its phrases starts.
    static constexpr size_t kHugePage = size_t{1} << 21;
    static constexpr int32_t kLanes = 4;  // four keep every lane's state in registers
    static constexpr int32_t kLaneBytes = kBufSize / kLanes;
    struct PairIndex {
        uint16_t childOf[kTableSize << 8];  // first: aligned by the member `pairs`
        uint16_t laneCodes[kLanes][kLaneBytes];
    };
    alignas(1 << 15) PairIndex pairs;

    // Pair table of the reset-mode compressor (findChild<true>). Invariant: every pair
    // (dict[k].parent, dict[k].symbol) of a phrase added since the last reset is found by
    // findPair (but phrase 256 hung under a slot that reset emptied, which is never
    // matched), and the table, the stash and the roots hold nothing else. That compressor
    // writes dict in checked builds only. It finds phrases in pairTable instead of childOf. Its
    // dictionary is cleared every 4 to 12 KiB of input, so childOf's rows would be met cold
    // again and again, and nearly every byte would wait on memory; these 36 KiB stay in the
    // first-level cache. A pair (prefix, symbol) may sit in one of two slots, first[symbol] +
    // place and second[symbol] + place, where place is the prefix's place in 0 .. 4095: in
    // the lower part of the table and in the upper (kPairHash in resetting.cpp). The sum goes
    // into the load's addressing, so the lookup of the next byte waits on nothing but a load.
    //
    // Pairs that found no free slot (rare) wait in the stash until the next reset: a list of
    // codes per prefix through stashNext, with their symbols. While any waits, the compressor
    // codes byte by byte through findChild and addPhrase, which look there too.
    //
    // Where nearly every byte adds a phrase (random data), nearly every byte also meets a
    // pair with both slots taken, and parsePairs spends most of its time moving entries.
    // A dictionary filled from fewer than kRootsBelow input bytes leaves its successor's
    // pairs under a single byte in rootCode4 instead (4 x code, by prefix << 8 | symbol, valid
    // where the bit in rootSeen is set): parseRoots finds them by one load, and the bytes that
    // match nothing cost no branch miss. Phrase prefixes stay in pairTable.
    static constexpr int32_t kPairSlots = 2 * (kTableSize + 512);
    static constexpr int32_t kSymbols = 256;
    static constexpr int64_t kRootsBelow = 5000;
    struct PairTable {
        PairSlot pairTable[kPairSlots];  // first: aligned by the member `table`
        // Addresses of symbol c's two slots for the prefix in place 0; a prefix in place q has
        // them 4q bytes further.
        uintptr_t pairFirst[kSymbols];
        uintptr_t pairSecond[kSymbols];
        // By tag: what takes an entry from the slot its tag names to its other slot.
        uintptr_t pairMove[2 * kSymbols + 2];
        PairSlot pairSink;  // takes the store of every byte that adds no phrase
        // Codes written by parsePairs, as 4 x place, and by parseRoots, as 4 x code: the code
        // written when phrase k is added stands at index k.
        uint16_t chunkCodes[kTableSize + 1];
        int32_t stashed;
        uint16_t stashHead[kTableSize];
        uint16_t stashNext[kTableSize];
        uint8_t stashSymbol[kTableSize];
        bool rootsDirect;
        int64_t fillBytes;  // input bytes coded since the last reset
        uint64_t rootSeen[kSymbols * kSymbols / 64];
        uint16_t rootCode4[kSymbols * kSymbols];
    };
    alignas(64) PairTable table;

    // Decoder tables, and the eviction compressor's compact parent and symbol. Invariant:
    // parentOf and symbolOf copy dict's parent and symbol (12 KiB instead of 64 KiB to walk);
    // in decoders, lengthOf[k] is the length of k's string: lengthOf[parent] + 1, 0 under an
    // empty slot (only a damaged stream hangs a phrase there), kTableSize + 1 for a chain
    // without end; shortString[k] holds a string of up to 8 bytes whole, first byte first,
    // so most codes are written by one 8-byte copy instead of a walk of dependent loads (16
    // bytes ran no faster on megabytes, and cost a short run 7 more pages); in the eviction
    // decoder, firstOf[k] is its first byte. The freeze compressor's lanes read lengthOf too,
    // set for its full dictionary (measurePhrases).
    static constexpr int32_t kShortString = 8;
    struct DecoderTables {
        uint16_t parentOf[kTableSize + 1];
        uint8_t symbolOf[kTableSize + 1];
        uint16_t lengthOf[kTableSize + 1];
        uint8_t shortString[kTableSize][kShortString];
        uint8_t firstOf[kTableSize + 1];
    };
    DecoderTables dec;

    // Eviction's child counts and leaves; kept by eviction alone.
    // Child counts, instead of the child lists. Invariant: childCount[k] is the number of
    // phrases j != k with dict[j].parent == k (a phrase stands in its parent's list while its
    // slot is filled and it is not its own parent). Leaving a list is one decrement instead
    // of a walk of up to 256 siblings; adding touches no sibling.
    // Leaves. Invariant: the list holds exactly the phrases without children, in the order of
    // their last use, oldest first (checked against check.lastUse).
    // Eviction gives up the least recently used phrase without children (a leaf). Only the
    // order of the leaves matters, and two facts keep it without ordering all phrases:
    //  1. A leaf that is used (the end of a match, or a decoded code) is the prefix of the
    //     very next add, with no add between, so it need not move to the newest end: it leaves
    //     the list at that add, as it gets a child. A match or a decoded string passes through
    //     prefixes that have children, and only its last phrase can be a leaf. The decoder
    //     adds each phrase before it writes the next code's string, as the compressor adds it
    //     before matching on, so the use of a decoded code is followed by the add under it too.
    //  2. A phrase becomes a leaf again only when its last child is given up, and that child
    //     was used after the phrase's last use (a child is used only right after its parent,
    //     and any child added later is added right after its parent's use). The child was the
    //     oldest leaf, so the phrase is older than every leaf: it goes to the oldest end.
    // So: an add unlinks its prefix if it is a leaf, gives up the oldest leaf (the prefix
    // itself when no other is left), puts a parent that lost its last child (other than the
    // prefix) at the oldest end, and appends the new phrase at the newest end. The leaves are
    // linked oldest to newest through the head NIL: leaves[NIL].next is the next victim.
    // kLeafSpare stays linked to itself, so unlinking it changes nothing; kLeafScratch takes
    // the stores of an insertion that is not made. Both make the list moves branch-free.
    static constexpr int32_t kLeafSpare = NIL + 1;
    static constexpr int32_t kLeafScratch = NIL + 2;
    struct LeafLink {
        uint16_t next;  // newer neighbour (in the head NIL: the oldest leaf)
        uint16_t prev;  // older neighbour (in the head NIL: the newest leaf)
    };
    struct LeafList {
        uint16_t childCount[kTableSize];
        LeafLink leaves[kTableSize + 3];
    };
    LeafList leaf;

    // Checked builds only: when each phrase was last used, as a literal recency list would
    // order them, and each phrase's parent and number of children as followed from dict; the
    // leaf list and the child counts are compared against them after every add.
    struct CheckState {
        uint64_t lastUse[kTableSize];
        uint64_t useClock;
        uint16_t refParent[kTableSize];
        uint16_t refChildren[kTableSize];
        int32_t usedLeaf;      // the leaf used since the last add, or NIL
        uint64_t checkedAdds;  // adds checked since the Coder was made (set by Coder())
    };
    CheckState check;

    // Sets the code-width parameters, clears both stream handles, configures c1.
    Coder();
    // A Coder in fresh pages from the system: zero, so its 2 MiB pair index needs no clearing
    // before its first run, and untouched, so a short input costs only the pages it uses. Null
    // when there is no memory. Give it back with release(), which releases its spares too.
    static Coder* create() noexcept;
    static void release(Coder* coder) noexcept;
    // Closes nothing: the mode routines close their files.
    ~Coder() = default;
    Coder(const Coder&) = delete;
    Coder& operator=(const Coder&) = delete;

    // ---- A run (run.cpp) ----
    // Sets the direction and the policy of the next run together, and resets the dictionary
    // for them (and the leaves, for eviction), as the policy's row says. Every run starts here.
    void configure(Direction direction, Policy policy);
    // One run from `size` bytes at `src` into at most `capacity` bytes at `dst`; prints
    // nothing. `*written` gets the bytes written, also after a fault (a decoder keeps what it
    // decoded). Returns the run's fault, none on success; outputTooSmall when `capacity` is
    // short. REQUIRES: src and dst valid for their sizes (either may be null when its size is 0).
    Fault runMemory(Direction direction, Policy policy, const uint8_t* src, size_t size,
                    uint8_t* dst, size_t capacity, size_t* written);
    // Makes the next reads come from `size` bytes at `src` and the writes go to at most
    // `capacity` bytes at `dst`, with the buffering state reset. REQUIRES as runMemory.
    void useMemory(const uint8_t* src, size_t size, uint8_t* dst, size_t capacity);
    // readInput and writeOutput on memIn and memOut; the write fails with outputTooSmall
    // after copying what fits.
    static size_t readMemory(Coder& coder, uint8_t* dst, size_t n);
    static bool writeMemory(Coder& coder, const uint8_t* src, size_t n);
    // Resets the buffering state for a run of the library through `read` and `write`, whose
    // header is never rewritten and whose streams have no path to name.
    void useStreams(size_t (*read)(Coder&, uint8_t*, size_t),
                    bool (*write)(Coder&, const uint8_t*, size_t));
    // The one run of every caller, on the streams readInput and writeOutput stand for, set
    // up with the buffering state reset (useMemory(), useStreams(), the front end's files):
    // configure(), beginRun(size), the coding loop, and the output written out. False
    // after fail().
    bool runStream(Direction direction, Policy policy, int64_t size);
    // The start of every run on open streams: a compressor writes the header of an input of
    // `inputSize` bytes (negative: unknown until the end; more than 2 GiB: refused); a
    // decoder reads its header in its loop. False after fail().
    bool beginRun(int64_t inputSize);
    // The coding loop of the configured mode, to the end of the input. True on success.
    bool codeRun();
    // Maps all pages of childOf in one call: a compressor that uses it on a long input reaches
    // nearly all of them, and taking them one fault at a time costs milliseconds. Best effort.
    void mapChildTable();
    // Inputs up to this size (when known) leave the pages to be faulted in as touched.
    static constexpr int64_t kMapChildTableFrom = int64_t{1} << 20;
    // Asks for childOf in one huge page (create() aligned it). From this input size on a run
    // touches more pages of it than the clearing of 2 MiB costs; smaller ones fault in the few
    // pages they touch. Best effort: without transparent huge pages nothing changes.
    void adviseHugeChildTable();
    static constexpr int64_t kHugeChildTableFrom = int64_t{1} << 9;
    // Records the run's first fault and the file it concerns (the front end prints it) and
    // marks the run failed. Returns false so callers can `return fail(...)`.
    bool fail(Fault why, const char* path);
    // fail() for a damaged compressed stream, naming the input.
    bool failCorrupt(Fault why);
    // Marks the run failed and ends the input. Returns false.
    bool markFailed();

    // ---- The program's front end (app/frontend.cpp, linked into the program alone) ----
    // One mode of the program on two files: banner, timer, the run, the time line, and the
    // fault's line on standard error. Returns the exit status (0, or 1 after that line).
    int runFile(Direction direction, Policy policy, const char* inputPath, const char* outputPath);
    // Opens both files of a compression, the input's size checked before the output is
    // created, and refuses an output that is a terminal unless toTerminal. An input of
    // unknown size is spooled first when the output cannot seek back to the header;
    // inputSize is then the size the header gets (-1: unknown until the end).
    bool beginCompression(const char* inputPath, const char* outputPath);
    // Opens both files of a decompression: the input, then, once its start has passed
    // peekInput(), the output, so that an input that is no stream leaves the output alone.
    bool beginDecompression(const char* inputPath, const char* outputPath);
    // Reads the input's first window into inBuf, left there unread for the decoder, and
    // decides from its first bytes whether the input can be decoded (startFault): the one
    // place where a decompression looks at its input before the output exists. False after
    // fail().
    bool peekInput();
    // peekInput() in its two steps: the first window read into inBuf and left unread, and
    // the decision on its first bytes. Each false after fail().
    bool readFirstWindow();
    bool checkStart();
    // Fails the run when the open output is a terminal, unless toTerminal: a compression's
    // codes there help nobody. False after markFailed().
    bool refuseTerminal();
    // Fails the run when the input, whose first `size` bytes are at `start`, starts with a
    // frame's magic, unless compressFrames: compressing a compressed file is most often a
    // mode typed with c for d. False after markFailed().
    bool refuseFrame(const uint8_t* start, size_t size);
    // Fails the run when `path` names the open input as a regular file: opening it for
    // writing would truncate the input before it is read. False after fail().
    bool refuseInputAsOutput(const char* path);
    // Opens only the input (a descriptor's name: through that descriptor, where it stands);
    // false after fail() when it cannot be opened.
    bool openInput(const char* path);
    // Opens the output, refusing when it is the open input; false after fail(). A regular
    // file it creates or truncates is removed if a signal ends the process before
    // releaseOutput().
    bool openOutput(const char* path);
    // readInput, writeOutput and rewriteHeader on `in` and `out`.
    static size_t readFile(Coder& coder, uint8_t* dst, size_t n);
    static bool writeFile(Coder& coder, const uint8_t* src, size_t n);
    static bool rewriteFileHeader(Coder& coder, int32_t length);
    // Finds the descriptors the names stand for (inputDescriptor, outputDescriptor), and
    // sends the banner and the time line to standard error when the output is the file open
    // as standard output, so they stay out of the data, and has openOutput() write through
    // standard output itself then; to standard output otherwise. REQUIRES: no file opened
    // since openStandardStreams(). Call before printBanner().
    void pickStreams(const char* inputPath, const char* outputPath);
    // Makes SIGINT, SIGTERM and SIGHUP (unless ignored) remove the output openOutput()
    // created, then end the process by the same signal; a file-size limit (SIGXFSZ) fails
    // the write instead of ending the process.
    static void catchSignals();
    // Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the
    // run opens takes its place; the names of such a stream (/dev/stdout...) then cannot be
    // opened. False when that fails. Call first.
    static bool openStandardStreams();
    // Opens the named output "wb": a new file private (0600), setting outputCreated and
    // outputMode; an existing one truncated. Null when it cannot be opened.
    std::FILE* createOutput(const char* path);
    // Copies the rest of the input to an anonymous file in $TMPDIR (or /tmp) and reads on
    // from there, with inputSize known. False after fail() (also past readLimit).
    bool spoolInput();
    // Ends the output's removal on a signal; with `remove`, removes it now (a failed
    // compression), when the path still names the regular file opened. After closeFiles().
    void releaseOutput(bool remove);
    void startTimer();
    // Prints "Czas trwania obliczen:%ld ms.\n\n" on `console` with the time since startTimer()
    // (nothing when `console` is null). A console line that meets a closed pipe is dropped,
    // and ends no run.
    void stopTimerAndReport();
    // With showSizes, prints the sizes in and out (and a compression's ratio) on standard
    // error.
    void reportSizes(bool compressing);
    // Prints the mode banner on `console`, in one write (nothing when `console` is null).
    void printBanner(const char* text);
    // Tells the watcher, if any, that a line is about to be printed.
    void clearWatcherLine();
    // Prints the line of the run's fault on standard error. REQUIRES: a fault.
    void reportFault();
    // Flushes and closes both files; reports write errors.
    bool closeFiles();

    // ---- Byte streams and the code format (stream.cpp) ----
    // Next input byte, or -1 at end of input; a read error, or reading past readLimit, marks
    // the run failed and ends input.
    int readByte();
    int refill();
    void writeByte(uint8_t b);
    // Writes out what outBuf holds; a write error marks the run failed.
    bool flushOutput();
    // Resets the buffering state for a new pair of streams.
    void resetStreams();
    // Writes the four bytes of `length`, most significant first.
    void writeLengthHeader(int32_t length);
    // Reads the header; a file shorter than four bytes gives INT32_MIN.
    int32_t readLength();
    // The damage a decoder would meet in the first `n` bytes of a stream (as startDecoding()
    // meets them), none when they look like its start; `whole`: they are the whole input.
    static Fault startFault(const uint8_t* p, size_t n, bool whole);
    // The damage a whole stream of `size` bytes must hold when its header says `length`:
    // after the header, every 3 bytes hold two codes (an odd last one takes 2), and each
    // code gives 1 to kTableSize bytes. endsEarly when the header asks for more bytes than
    // so many codes can give, trailingData when for fewer than they give; none when the
    // length is possible, and for what startFault refuses.
    static Fault lengthFault(int32_t length, int64_t size);
    // Appends one 12-bit code. REQUIRES: 0 <= code < 4096.
    void writeCode(int32_t code);
    // Writes the pending half code, if any, padded with a zero nibble.
    void flushCode();
    // Next code, or -1 when the input ends (also when it ends between the two bytes of a code).
    int32_t readCode();

    // ---- Dictionary, freeze and reset modes (dictionary.cpp) ----
    // Back to the 256 single-byte codes; count = 256. Set `indexing` and `freezeWhenFull`
    // first: they select which of the faster structures are kept.
    void resetDictionary();
    // Empties childOf as marks.childOfHolds says: pair by pair, or whole.
    void dropPairs();
    // Code of the phrase prefix+symbol, or NIL. REQUIRES: 0 <= prefix < 4096, 0 <= symbol
    // < 256, and `indexing` set since the last resetDictionary() (not so in decoders); with
    // kPairTable, in the reset-mode compressor (`indexing` set, `freezeWhenFull` clear).
    template <bool kPairTable = false>
    int32_t findChild(int32_t prefix, int32_t symbol);
    static uint32_t pairSlot(int32_t prefix, int32_t symbol);
    // REQUIRES: prefix+symbol is not indexed yet.
    void indexInsert(int32_t prefix, int32_t symbol, int32_t code);
    // Fills slot `code` as the newest child of `prefix`, keeping the faster structures of
    // the freeze modes and the reset-mode decoder.
    void hangUnder(int32_t code, int32_t prefix, int32_t symbol);
    // hangUnder for `indexing` and `evicting` known when compiled. kKeepDict: also record the
    // phrase in dict, which release builds read only in compressors between runs (to drop
    // the pairs of childOf) and in tests that drive a Coder by hand.
    template <bool kIndexing, bool kEvicting, bool kKeepDict = kIndexing || kChecked>
    void hangUnderAs(int32_t code, int32_t prefix, int32_t symbol);
    // Adds prefix+symbol; returns its code, or NIL when a frozen dictionary is full.
    // kPairTable: into the reset-mode compressor's pair table (REQUIRES as findChild).
    template <bool kPairTable = false>
    int32_t addPhrase(int32_t prefix, int32_t symbol);
    // Writes the string of `code` and leaves it in stringBuf, last byte first; returns its
    // length, or 0 after failCorrupt() when the chain loops or reaches an empty slot.
    // REQUIRES: indexing off since the last resetDictionary() (a decoder).
    int32_t emitString(int32_t code);
    // Writes the n-byte string of `code` to the output, keeping it in stringBuf (last byte
    // first). Returns n, or 0 after failCorrupt() when the chain does not end at a single byte
    // after exactly n steps, or after a failed write. REQUIRES: 1 <= n <= 4096. Every walk stays in
    // the tables: parentOf[NIL] is NIL.
    int32_t writeString(int32_t code, int32_t n);
    // Checks the length of `code` against `remaining` before writeString.
    int32_t emitChecked(int32_t code);
    void chainFault();
    void lengthFault(int32_t n);
    // Writes the n-byte string of `code` by one copy of its whole short form (the bytes past
    // n are overwritten later). False after a failed write. REQUIRES: 1 <= n <= kShortString
    // and a sound chain.
    bool copyShortString(int32_t code, int32_t n);

    // Local copies of the input cursor and the half-code state for the decoding loops:
    // stores into outBuf may alias any member, so members would be reloaded per byte.
    struct CodeCursor {
        const uint8_t* p;
        const uint8_t* end;
        int32_t nibble;
        bool half;
    };
    CodeCursor takeCursor();
    void putCursor(const CodeCursor& cur);
    // writeCode() through local copies of the output position and the half-code state.
    // The low `bits` of `pending` are the half code not written yet (4 bits or none).
    struct CodeWriter {
        uint8_t* p;
        uint32_t pending;
        uint32_t bits;
    };
    CodeWriter takeWriter();
    void putWriter(const CodeWriter& wr);
    // Without a branch on the half code: the 16 or 12 bits now due go out as one 4-byte
    // store, of which the whole bytes count (the rest is overwritten by the next store).
    // False, with nothing stored, once a write has failed: the caller's loop stops there.
    // The test sits in the flush branch only, so a loop pays nothing for it.
    bool putCode(CodeWriter& wr, int32_t code);
    // Writes out the buffer unless it has room for `codes` more codes (at most kBufSize / 2):
    // the last one's 4-byte store starts at most ceil(3 (codes - 1) / 2) bytes on. False after
    // a failed write.
    bool makeRoom(CodeWriter& wr, int32_t codes);
    // putCode where makeRoom has made room.
    void storeCode(CodeWriter& wr, int32_t code);
    // readCode() through the cursor.
    int32_t nextCode(CodeCursor& cur);
    // Coding loops over the already open in/out (header included), as the policy rows name
    // them: compressLoop for the freeze mode, decompressLoop for the freeze and reset modes.
    // True on success.
    bool compressLoop();
    // The input loop of both compressors, from the phrase in progress `w` on: onMiss(w, c)
    // after w's code is written, onHit(x) when the phrase grows to x. Returns the phrase in
    // progress when the input ends (`ended` set) or when onMiss returns false, so a caller
    // can go on with another loop (the freeze mode drops the adding once full).
    template <class OnMiss, class OnHit>
    int32_t encodeInput(int32_t w, bool& ended, OnMiss onMiss, OnHit onHit);
    // Calls window(p, end, wr) on the rest of each input window in turn, reading the next
    // between them, with the input cursor in `p` and the code writer in `wr`. Stops when
    // the input ends or a write fails (returns true), or when `window` returns false, having
    // left `p` at the first byte it did not consume (returns false).
    template <class Window>
    bool overInput(Window window);
    // After the last input byte: writes the phrase in progress and the half code, fixes
    // the header. True on success.
    bool finishEncoding(int32_t w);
    // encodeInput for a frozen dictionary (nothing is added): the same codes, found by
    // parseInLanes in every whole input window.
    int32_t encodeFrozen(int32_t w, bool& ended);
    // Sets dec.lengthOf[k] to the length of every phrase k, for parseInLanes.
    // REQUIRES: the dictionary is full and grew without eviction (the freeze compressor).
    void measurePhrases();
    // Codes the kBufSize bytes of inBuf with a frozen dictionary, continuing phrase `w`;
    // returns the phrase in progress after them, and about how many codes it wrote in
    // `codes`. REQUIRES: inPos == 0, inEnd == kBufSize.
    int32_t parseInLanes(int32_t w, int32_t& codes);
    bool decompressLoop();

    // ---- Reset-mode compressor (resetting.cpp) ----
    // Its coding loop (see compressLoop).
    bool compressResettingLoop();
    // Its input loop from phrase `w` on; returns the phrase in progress at the end of input.
    int32_t encodeResetting(int32_t w);
    // Codes the next n bytes of inBuf from phrase 4 x w4 on with no branch on the data but a
    // pair that finds both its slots taken; their codes go to chunkCodes[count, ...). Stops
    // early after a byte whose pair went to the stash. REQUIRES: n <= 4096 - count, so that
    // no reset falls inside, and nothing stashed.
    void parsePairs(int32_t n, uint32_t& w4);
    // parsePairs while rootsDirect: a branch on each match instead of on both slots taken.
    void parseRoots(int32_t n, uint32_t& w4);
    // The locals of a chunk of either: the cursor, where it started, where it ends, the phrase
    // in progress (4 x place) and the next code; and their return to the members.
    struct Chunk {
        const uint8_t* p;
        const uint8_t* start;
        const uint8_t* end;
        uint32_t w;
        uint32_t next;
    };
    Chunk beginChunk(int32_t n, uint32_t w4);
    void endChunk(const uint8_t* p, const uint8_t* start, uint32_t next, uint32_t w, uint32_t& w4);
    // 4 x the first phrase code: a smaller phrase in progress is a single byte.
    static constexpr uint32_t kFirstPhrase4 = sizeof(PairSlot) * kSymbols;
    // A code's place in the pair table, code x 2531 mod 4096 (2531 is odd, about 4096 over
    // the golden ratio), scatters the single bytes and the pairs under them over the table.
    // 4 x place from a code, and 4 x code from 4 x place.
    static constexpr uint32_t pairPlace4(uint32_t code);
    static constexpr uint32_t pairCode4(uint32_t place4);
    // Writes chunkCodes[from, to) to the output, 4 x places (kPlaces) or 4 x codes. False
    // after a failed write.
    template <bool kPlaces>
    bool putChunkCodes(int32_t from, int32_t to);
    // findChild<true>: while rootsDirect, a single-byte prefix's pair in rootCode4; otherwise
    // the pair's two slots, then the stash.
    int32_t findPair(int32_t prefix, int32_t symbol);
    // Indexes prefix+symbol as `code` where findPair looks. REQUIRES: not indexed yet,
    // prefix < count.
    void insertPair(int32_t prefix, int32_t symbol, int32_t code);
    // Stores `entry` (slotBits, tagged for s2) into s1 or s2, both taken, after moving the
    // entry there to its other slot, and the one found there to its own other slot, and so
    // on. After kMaxMoves moves the entry still moving goes to the stash, and the result is
    // false.
    bool displacePair(PairSlot* s1, PairSlot* s2, uint32_t entry);
    // resetDictionary() of the reset-mode compressor: empties pairTable and the stash, and
    // picks rootsDirect for the next dictionary from fillBytes.
    void clearPairs();
    // Points pairFirst, pairSecond and pairMove into this Coder; empties the stash.
    void mapPairs();
    static constexpr int32_t kMaxMoves = 64;
    // From this count on, bytes are coded one at a time: chunks would be a few bytes long.
    static constexpr int32_t kExactFrom = kTableSize - 16;

    // Start of both decoders: reads the header and the first code and writes its byte.
    // Returns that code, or -1 for the file of an empty input and after failCorrupt().
    int32_t startDecoding();
    // End of both decoders after the last code: any byte left in the input is damage.
    // True when the input ends there and the run has not failed.
    bool endOfStream();
    // Header of a compression whose input size is known only at the end, until fixHeader()
    // rewrites it: a negative length that no decoder accepts.
    static constexpr int32_t kProvisionalLength = -2;
    // After the last input byte: makes the header hold the bytes actually read, minus one.
    bool fixHeader();

    // ---- Leaf eviction (recency.cpp) ----
    // Empties the leaf list. REQUIRES: resetDictionary() with `evicting` set just before.
    void initRecency();
    // Oldest leaf, or NIL when there is none.
    int32_t pickVictim() const;
    // Whether `code` is a phrase without children. REQUIRES: code < count.
    bool isLeaf(int32_t code) const;
    // The first half of an add under `prefix`, for a dictionary known to be full (kFull) or
    // not: the prefix leaves the leaf list if it is in it, and the slot the add fills is taken:
    // the next free code, else the oldest leaf other than the prefix, else the prefix itself.
    // A victim leaves its parent's children (dropping its pair from the index, with `erased`
    // the entry cleared, or kNoEntry), and a parent left without any, unless it is the prefix,
    // becomes the oldest leaf. Returns the slot: the one code a decoder does not know before
    // the add. REQUIRES: count == 4096 when kFull, else count < 4096.
    template <bool kIndexing, bool kFull>
    int32_t takeSlotAs(int32_t prefix, uint32_t& erased);
    static constexpr uint32_t kNoEntry = ~0u;
    // The second half: hangs `code` under `prefix` as the newest leaf (kKeepDict as in
    // hangUnderAs).
    template <bool kIndexing, bool kKeepDict = kIndexing || kChecked>
    void fillSlot(int32_t code, int32_t prefix, int32_t symbol);
    // Adds prefix+symbol as the coding loops do, takeSlotAs() then fillSlot(), reusing the
    // victim's slot when full; returns the code. For the tests, which drive eviction through it.
    // REQUIRES: `evicting` set since the last resetDictionary() and initRecency().
    int32_t addPhraseEvicting(int32_t prefix, int32_t symbol);
    // Writes the string of `code` like emitString; a checked build also records the use of
    // every phrase on its path, shortest first. Returns the length, or 0 after failCorrupt().
    int32_t emitStringTouching(int32_t code);
    // List moves. REQUIRES for unlinkLeaf: a listed leaf, a single byte or kLeafSpare.
    void unlinkLeaf(int32_t code);
    void appendLeaf(int32_t code);
    // Checked builds: records a use of `code` for the leaf-order check.
    void noteUse(int32_t code);
    // Checked builds: records the use of every phrase on the path of `code`, shortest first.
    void notePathUse(int32_t code);
    void notePathWalk(int32_t code);
    // ---- Checks of the derived structures (checks.cpp); checked builds only ----
    // They abort on a difference: that is a bug in this program, never bad input.
    // At every flush: outGuard still holds kGuardByte in every byte.
    static constexpr uint8_t kGuardByte = 0xA5;
    void checkOutputGuard();
    // After every add but the reset-mode compressor's: what the add changed (the new pair in
    // the pair index, or the new phrase's decoder entry), and every 256 adds
    // checkInvariants().
    void checkAdd(int32_t prefix, int32_t code);
    // Rebuilds from dict every derived structure the configuration keeps and compares.
    void checkInvariants();
    // Every phrase's pair indexed in childOf; with `whole`, no other entry set (2 MiB read).
    void checkPairIndex(bool whole);
    // After a reset: the tables it refilled up to their marks clean beyond them too, and the
    // single-byte entries as they were set.
    void checkReset();
    // After pairs were dropped one by one: childOf empty (2 MiB read).
    void checkNoPairs();
    // The reset-mode compressor: every pair since the last reset found by findPair, and
    // nothing else in the table, stash or roots.
    void checkPairTable();
    // After each of its chunks and byte-by-byte adds: the pairs of codes from `from` on
    // found, and every 256 adds checkPairTable().
    void checkPairsAdded(int32_t from);
    // Checked builds: records in dict the phrase a chunk of the reset-mode compressor adds,
    // w4 being 4 x its prefix.
    void noteChunkAdd(uint32_t code, uint32_t w4, uint32_t symbol);
    // A decoder's entry for phrase k against dict and its parent's entry.
    void checkDecoderEntry(int32_t k);
    // Eviction, around every add under `prefix`: the leaf used since the last add is that
    // prefix (fact 1); after the add that fills `code`, the child counts that changed, the
    // prefix out of the list, the new phrase newest, a parent left without children oldest
    // (fact 2).
    void checkBeforeAdd(int32_t prefix);
    void checkAfterAdd(int32_t prefix, int32_t code);
    // Rebuilds the child counts from dict and compares them, and the leaf list: the
    // childless phrases, oldest use first.
    void checkEviction();

    // ---- Eviction mode (evicting.cpp) ----
    bool compressEvictingLoop();
    // The compressor's input loop from phrase `w` on, for a full dictionary (kFull) or until
    // it is full; returns the phrase in progress, `ended` set at the end of input.
    template <bool kFull>
    int32_t encodeEvicting(int32_t w, bool& ended);
    bool decompressEvictingLoop();
    // The decoder's loop from code `prev` on, for a full dictionary (kFull) or until it is
    // full. False after failCorrupt().
    template <bool kFull>
    bool decodeEvicting(int32_t& prev, CodeCursor& cur, int64_t& left);
};

// The two aligned tables open their aggregates, whose members carry the alignment: aligned
// inside, each aggregate would be padded to a multiple of 32 KiB.
static_assert(offsetof(Coder, pairs.childOf) == offsetof(Coder, pairs));
static_assert(offsetof(Coder, table.pairTable) == offsetof(Coder, table));

// The policies, in the order of their values. A new one needs a row here and its loops.
inline constexpr PolicyRow kPolicyRows[] = {
    {.policy = Policy::freeze,
     .digit = '1',
     .compressBanner = "KOMPRESJA LZW",
     .decompressBanner = "DEKOMPRESJA LZW",
     .timerBeforeBanner = false,
     .timeLineAfterEmptyCompression = false,
     .freezeWhenFull = true,
     .evicting = false,
     .pairIndex = true,
     .compressLoop = &Coder::compressLoop,
     .decompressLoop = &Coder::decompressLoop},
    {.policy = Policy::evict,
     .digit = '2',
     .compressBanner = "KOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz",
     .decompressBanner = "DEKOMPRESJA LZW + usuwanie najrzadziej wystepujacych fraz",
     .timerBeforeBanner = true,
     .timeLineAfterEmptyCompression = false,
     .freezeWhenFull = true,
     .evicting = true,
     .pairIndex = true,
     .compressLoop = &Coder::compressEvictingLoop,
     .decompressLoop = &Coder::decompressEvictingLoop},
    {.policy = Policy::reset,
     .digit = '3',
     .compressBanner = "KOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu",
     .decompressBanner = "DEKOMPRESJA LZW + czyszczenie slownika po jego zapelnieniu",
     .timerBeforeBanner = true,
     .timeLineAfterEmptyCompression = true,
     .freezeWhenFull = false,
     .evicting = false,
     .pairIndex = false,
     .compressLoop = &Coder::compressResettingLoop,
     .decompressLoop = &Coder::decompressLoop},
};
inline constexpr int32_t kPolicyCount = static_cast<int32_t>(std::size(kPolicyRows));

constexpr bool policyRowsInOrder() {
    for (int32_t k = 0; k < kPolicyCount; ++k) {
        if (static_cast<int32_t>(kPolicyRows[k].policy) != k + 1) return false;
        if (kPolicyRows[k].digit != '1' + k) return false;
    }
    return true;
}
static_assert(policyRowsInOrder(), "row k is policy k + 1, with digit k + 1");

// The row of a policy. REQUIRES: one of the enum's values.
inline const PolicyRow& policyRow(Policy policy) {
    return kPolicyRows[static_cast<int32_t>(policy) - 1];
}
// The row of the policy with this value (from the C interface), or null.
inline const PolicyRow* findPolicy(int value) {
    return value >= 1 && value <= kPolicyCount ? &kPolicyRows[value - 1] : nullptr;
}
// The mode named exactly ("c1" .. "d3": case matters): false when there is none.
inline bool findMode(const char* name, Direction& direction, Policy& policy) {
    if ((name[0] != 'c' && name[0] != 'd') || name[1] == '\0' || name[2] != '\0') return false;
    const PolicyRow* row = findPolicy(name[1] - '0');
    if (row == nullptr) return false;
    direction = name[0] == 'c' ? Direction::compress : Direction::decompress;
    policy = row->policy;
    return true;
}

}  // namespace lzw

#include "coder_inline.h"
