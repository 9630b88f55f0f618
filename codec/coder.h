// LZW coder with 12-bit codes and a 4096-code dictionary, in three dictionary
// policies: freeze (c1/d1), least-recently-used leaf eviction (c2/d2) and
// reset (c3/d3). One Coder holds all state of one run.
#pragma once

#include <cstdint>
#include <cstdio>

namespace lzw {

// Number of codes, and the null link: one past the last code.
inline constexpr int32_t kTableSize = 4096;
inline constexpr int32_t NIL = 4096;

// Largest input the signed 32-bit length header (size - 1) can describe.
inline constexpr int64_t kMaxInputSize = int64_t{1} << 31;

struct DictEntry {
    int32_t parent;       // code this phrase extends; NIL for a single byte or an empty slot
    int32_t firstChild;   // newest phrase extending this one, or NIL
    int32_t nextSibling;  // next older phrase with the same parent, or NIL
    int32_t symbol;       // byte this phrase adds to its parent; NIL in an empty slot
};

struct RecencyNode {
    int32_t code;  // own code while listed, NIL otherwise
    int32_t prev;  // older neighbour (in the head slot: the newest code)
    int32_t next;  // newer neighbour (in the head slot: the oldest code)
};

// Codes on the path of the last string decoded in eviction mode, longest first.
extern int32_t pathScratch[kTableSize];

class Coder {
  public:
    // ---- Fields of a run, in order ----
    RecencyNode recency[kTableSize + 1];  // slot NIL is the list head
    DictEntry dict[kTableSize];
    int32_t count;  // next free code
    int32_t highShift;
    int32_t nibbleShift;
    int32_t alphabetSize;
    int32_t byteMask;
    int32_t nibbleMask;
    std::FILE* in;
    std::FILE* out;
    uint8_t stringBuf[kTableSize];  // last decoded string, last byte first
    int32_t pendingNibble;
    bool halfPending;
    bool freezeWhenFull;
    int32_t startTicks;
    int32_t endTicks;
    int32_t elapsedTicks;

    // ---- Robustness and buffering state ----
    const char* inputPath;  // names the files in messages
    const char* outputPath;
    bool failed;           // set by fail(); every loop stops on it
    bool quiet;            // true: fail() prints nothing (tests, fuzzers)
    bool closeOnFinish;    // false when the caller owns in/out (in-memory runs)
    int64_t bytesRead;     // input bytes consumed by a compressor
    int64_t headerLength;  // length written into the header by a compressor
    int64_t remaining;     // bytes a decoder may still write, from the header
    int32_t inPos, inEnd;  // window of inBuf not yet consumed
    int32_t outPos;        // bytes of outBuf not yet written
    bool inEof;            // the input has reported end or error
    bool indexing;         // compressors keep the child index for findChild
    bool inputKnown;       // inputDevice/inputInode identify the open input
    uint64_t inputDevice;
    uint64_t inputInode;
    int64_t inputSize;  // size of a regular input file, -1 when unknown
    static constexpr int32_t kBufSize = 1 << 16;
    uint8_t inBuf[kBufSize];
    uint8_t outBuf[kBufSize];

    // Sets the code-width parameters, clears both stream handles, sets freezeWhenFull.
    Coder();
    // Closes nothing: the mode routines close their files.
    ~Coder() = default;
    Coder(const Coder&) = delete;
    Coder& operator=(const Coder&) = delete;

    // ---- Front end (frontend.cpp) ----
    // Opens the input ("rb") then the output ("wb"), refusing when both name one file, and
    // clears halfPending. REQUIRES: nothing. Returns false after fail() if either cannot be opened.
    bool openFiles(const char* inputPath, const char* outputPath);
    // Opens only the input; false after fail() when it cannot be opened.
    bool openInput(const char* path);
    // Opens the output, refusing when it is the open input; false after fail().
    bool openOutput(const char* path);
    void startTimer();
    // Prints "Czas trwania obliczen:%ld ms.\n\n" with the time since startTimer().
    void stopTimerAndReport();
    // Prints the mode banner and flushes standard output.
    void printBanner(const char* text);
    // Prints one line "<message>" (with %s taking `path`) on standard error unless quiet,
    // and marks the run failed. Returns false so callers can `return fail(...)`.
    bool fail(const char* format, const char* path);
    // Reports a damaged compressed stream, naming the input.
    bool failCorrupt(const char* reason);
    // Marks the run failed without a message and ends the input. Returns false.
    bool markFailed();
    // Flushes and closes both files when this Coder owns them; reports write and read errors.
    bool closeFiles();

    // ---- Byte streams and the code format (stream.cpp) ----
    // Next input byte, or -1 at end of input; a read error marks the run failed and ends input.
    int readByte() {
        if (inPos < inEnd) return inBuf[inPos++];
        return refill();
    }
    int refill();
    void writeByte(uint8_t b) {
        if (outPos == kBufSize) flushOutput();
        outBuf[outPos++] = b;
    }
    // Writes out what outBuf holds; a write error marks the run failed.
    bool flushOutput();
    // Resets the buffering state for a new pair of streams.
    void resetStreams();
    // Writes the four bytes of `length`, most significant first.
    void writeLengthHeader(int32_t length);
    // Reads the header; a file shorter than four bytes gives INT32_MIN.
    int32_t readLength();
    // Appends one 12-bit code. REQUIRES: 0 <= code < 4096.
    void writeCode(int32_t code);
    // Writes the pending half code, if any, padded with a zero nibble.
    void flushCode();
    // Next code, or -1 when the input ends (also when it ends between the two bytes of a code).
    int32_t readCode();

    // ---- Dictionary, freeze and reset modes (dictionary.cpp) ----
    // Back to the 256 single-byte codes; count = 256.
    void resetDictionary();
    // Code of the phrase prefix+symbol, or NIL. REQUIRES: 0 <= prefix < 4096.
    int32_t findChild(int32_t prefix, int32_t symbol);
    // Adds prefix+symbol; returns its code, or NIL when a frozen dictionary is full.
    int32_t addPhrase(int32_t prefix, int32_t symbol);
    // Writes the string of `code` and leaves it in stringBuf, last byte first; returns its
    // length, or 0 after failCorrupt() when the chain loops or reaches an empty slot.
    int32_t emitString(int32_t code);
    // Reset, open both files (input size checked before the output is created), write the header.
    bool beginCompression(const char* inputPath, const char* outputPath);
    bool beginDecompression(const char* inputPath, const char* outputPath);
    // Modes c1/d1, and the body of c3/d3 when freezeWhenFull is clear. Return the exit status.
    int compress(const char* inputPath, const char* outputPath);
    int decompress(const char* inputPath, const char* outputPath);
    int compressResetting(const char* inputPath, const char* outputPath);
    int decompressResetting(const char* inputPath, const char* outputPath);
    // Coding loops over the already open in/out (header included). True on success.
    bool compressLoop();
    bool decompressLoop();
    // After the last input byte: makes the header hold the bytes actually read, minus one.
    bool fixHeader();
    // First byte of the string of `code` without writing or touching anything; -1 after
    // failCorrupt() when the chain loops or reaches an empty slot.
    int32_t firstByteOf(int32_t code);
    // Walks the chain of `code` into stringBuf (last byte first) and, when `path` is set,
    // its codes into pathScratch. Returns the length, or 0 after failCorrupt().
    int32_t collectString(int32_t code, bool path);

    // ---- Recency list and leaf eviction (recency.cpp) ----
    void initRecency();
    // Take `code` out of the list / put it at the most recent end; nothing for codes
    // below alphabetSize or of 4096 and more.
    void unlinkRecent(int32_t code);
    void linkRecent(int32_t code);
    // Least recently used listed phrase without children, or NIL.
    int32_t pickVictim();
    // Whether the decoder already holds the string of `code`.
    bool isKnown(int32_t code);
    // Takes `code` out of its parent's child list (if it stands in one); its symbol becomes NIL.
    void detachFromParent(int32_t code);
    // Adds prefix+symbol, reusing the victim's slot when full. Returns the code, or NIL after
    // failCorrupt() when a damaged stream left no phrase to give up.
    int32_t addPhraseEvicting(int32_t prefix, int32_t symbol);
    // emitString that also touches every phrase on the path, shortest prefix first.
    // Returns the length, or 0 after failCorrupt().
    int32_t emitStringTouching(int32_t code);

    // ---- Eviction mode (evicting.cpp) ----
    int compressEvicting(const char* inputPath, const char* outputPath);
    int decompressEvicting(const char* inputPath, const char* outputPath);
    bool compressEvictingLoop();
    bool decompressEvictingLoop();

    // ---- In-memory runs for tests, benchmarks and fuzzers (frontend.cpp) ----
    // Codes `in` to `out` in mode "c1".."d3" without banner, timer or closing the streams;
    // compressors take the header from `inputSize`. Returns the exit status (0 or 1).
    int runStreams(const char* mode, std::FILE* input, std::FILE* output, int64_t inputSize);
};

}  // namespace lzw
