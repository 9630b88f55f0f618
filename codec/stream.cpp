// Buffered byte streams, the length header and the packed 12-bit codes.
#include <algorithm>
#include <climits>
#include <cstring>

#include "coder.h"

namespace lzw {

void Coder::resetStreams() {
    io.fault = Fault::none;
    io.failed = false;
    io.writeFailed = false;
    io.bytesRead = 0;
    io.headerLength = 0;
    io.remaining = 0;
    io.inPos = io.inEnd = 0;
    io.outPos = 0;
    io.inEof = false;
    halfPending = false;
    io.readLimit = INT64_MAX;
}

int Coder::refill() {
    if (io.inEof) return -1;
    size_t n = io.readInput != nullptr ? io.readInput(*this, io.inBuf, kBufSize) : 0;
    if (n == 0) {  // the end, or a read error: readInput failed the run then
        io.inEof = true;
        return -1;
    }
    io.bytesRead += static_cast<int64_t>(n);
    // At once, not at the end: an endless input (/dev/zero) would never get there.
    if (io.bytesRead > io.readLimit) {
        fail(Fault::tooLarge, config.inputPath);
        return -1;
    }
    io.inPos = 1;
    io.inEnd = static_cast<int32_t>(n);
    return io.inBuf[0];
}

bool Coder::flushOutput() {
    if constexpr (kChecked) checkOutputGuard();
    size_t n = static_cast<size_t>(io.outPos);
    io.outPos = 0;
    // Bytes decoded before a damaged part of a stream still reach the output; only a
    // failed write stops further writes.
    if (n == 0 || io.writeFailed) return !io.failed;
    if (io.writeOutput == nullptr) return !io.failed;
    if (!io.writeOutput(*this, io.outBuf, n)) {
        io.writeFailed = true;
        return false;
    }
    return !io.failed;
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
            if (!io.failed) failCorrupt(Fault::shorterThanHeader);
            return INT32_MIN;
        }
        b = static_cast<uint8_t>(c);
    }
    return loadHeader(header);
}

Fault Coder::startFault(const uint8_t* p, size_t n, bool whole) {
    // As startDecoding() meets them: the header, then the first code.
    if (n < kHeaderSize) return whole ? Fault::shorterThanHeader : Fault::none;
    int32_t length = loadHeader(p);
    if (length < -1) return Fault::negativeLength;
    if (length == -1) return n > kHeaderSize ? Fault::trailingData : Fault::none;
    if (n < kHeaderSize + 2) return whole ? Fault::endsEarly : Fault::none;
    int32_t first = p[kHeaderSize] << 4 | p[kHeaderSize + 1] >> 4;
    return first >= kSymbols ? Fault::firstNotByte : Fault::none;
}

Fault Coder::lengthFault(int32_t length, int64_t size) {
    constexpr auto kHeader = static_cast<int64_t>(kHeaderSize);
    if (length < -1 || size < kHeader) return Fault::none;
    int64_t payload = size - kHeader;
    int64_t codes = payload / 3 * 2 + (payload % 3 == 2 ? 1 : 0);
    int64_t decoded = int64_t{length} + 1;
    if (decoded > codes * kTableSize) return Fault::endsEarly;
    return decoded < codes ? Fault::trailingData : Fault::none;
}

bool Coder::endOfStream() {
    if (io.failed) return false;
    if (readByte() >= 0) return failCorrupt(Fault::trailingData);
    return !io.failed;  // a read error while looking
}

void Coder::flushCode() {
    if (halfPending) writeByte(static_cast<uint8_t>(pendingNibble << nibbleShift));
}

}  // namespace lzw
