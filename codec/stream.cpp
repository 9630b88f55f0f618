// Buffered byte streams, the length header and the packed 12-bit codes.
#include <algorithm>
#include <climits>
#include <cstring>

#include "coder.h"

namespace lzw {

void Coder::resetStreams() {
    fault = Fault::none;
    failed = false;
    writeFailed = false;
    bytesRead = 0;
    headerLength = 0;
    remaining = 0;
    inPos = inEnd = 0;
    outPos = 0;
    inEof = false;
    halfPending = false;
    readLimit = INT64_MAX;
}

int Coder::refill() {
    if (inEof) return -1;
    size_t n = readInput != nullptr ? readInput(*this, inBuf, kBufSize) : 0;
    if (n == 0) {  // the end, or a read error: readInput failed the run then
        inEof = true;
        return -1;
    }
    bytesRead += static_cast<int64_t>(n);
    // At once, not at the end: an endless input (/dev/zero) would never get there.
    if (bytesRead > readLimit) {
        fail(Fault::tooLarge, inputPath);
        return -1;
    }
    inPos = 1;
    inEnd = static_cast<int32_t>(n);
    return inBuf[0];
}

bool Coder::flushOutput() {
    size_t n = static_cast<size_t>(outPos);
    outPos = 0;
    // Bytes decoded before a damaged part of a stream still reach the output; only a
    // failed write stops further writes.
    if (n == 0 || writeFailed) return !failed;
    if (writeOutput == nullptr) return !failed;
    if (!writeOutput(*this, outBuf, n)) {
        writeFailed = true;
        return false;
    }
    return !failed;
}

void Coder::writeLengthHeader(int32_t length) {
    uint8_t header[kHeaderSize];
    storeHeader(header, length);
    for (uint8_t b : header) writeByte(b);
}

int32_t Coder::readLength() {
    uint8_t header[kHeaderSize];
    for (uint8_t& b : header) {
        int c = readByte();
        if (c < 0) {
            if (!failed) failCorrupt(Fault::shorterThanHeader);
            return INT32_MIN;
        }
        b = static_cast<uint8_t>(c);
    }
    return loadHeader(header);
}

bool Coder::endOfStream() {
    if (failed) return false;
    if (readByte() >= 0) return failCorrupt(Fault::trailingData);
    return !failed;  // a read error while looking
}

void Coder::flushCode() {
    if (halfPending) writeByte(static_cast<uint8_t>(pendingNibble << nibbleShift));
}

}  // namespace lzw
