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
    size_t n;
    if (inMemory) {
        n = std::min(static_cast<size_t>(kBufSize), memInSize - memInPos);
        if (n > 0) std::memcpy(inBuf, memIn + memInPos, n);
        memInPos += n;
    } else {
        if (in == nullptr) return -1;
        n = std::fread(inBuf, 1, kBufSize, in);
        if (n == 0 && std::ferror(in)) {
            fail(Fault::readFailed, inputPath);
            return -1;
        }
    }
    if (n == 0) {
        inEof = true;
        return -1;
    }
    bytesRead += static_cast<int64_t>(n);
    // At once, not at the end: an endless input (/dev/zero) would never get there.
    if (bytesRead > readLimit) {
        fail(Fault::tooLarge, inputPath);
        return -1;
    }
    if (watcher != nullptr) watcher->refilled(watcher->context, bytesRead, inputSize);
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
    if (inMemory) {
        size_t fits = std::min(n, memOutCapacity - memOutSize);
        if (fits > 0) std::memcpy(memOut + memOutSize, outBuf, fits);
        memOutSize += fits;
        if (fits == n) return !failed;
        writeFailed = true;
        return fail(Fault::outputTooSmall, outputPath);
    }
    if (out == nullptr) return !failed;
    if (std::fwrite(outBuf, 1, n, out) != n) {
        writeFailed = true;
        return fail(Fault::writeFailed, outputPath);
    }
    return !failed;
}

void Coder::writeLengthHeader(int32_t length) {
    writeByte(static_cast<uint8_t>((length >> 24) & 255));
    writeByte(static_cast<uint8_t>((length >> 16) & 255));
    writeByte(static_cast<uint8_t>((length >> 8) & 255));
    writeByte(static_cast<uint8_t>(length & 255));
}

int32_t Coder::readLength() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        int b = readByte();
        if (b < 0) {
            if (!failed) failCorrupt(Fault::shorterThanHeader);
            return INT32_MIN;
        }
        value = (value << 8) | static_cast<uint32_t>(b);
    }
    return static_cast<int32_t>(value);
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
