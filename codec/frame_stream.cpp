// Framed runs through callbacks: the library's stream calls and the program's files.
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
    // A whole block read at a time, and room for all it can become: every block is then
    // coded straight from one buffer into the other.
    size_t room =
        std::max(blockBound(block), kFrameHeaderSize) + kEndMarkSize + kContentChecksumSize;
    std::unique_ptr<uint8_t[]> inBuf(new (std::nothrow) uint8_t[block]);
    std::unique_ptr<uint8_t[]> outBuf(new (std::nothrow) uint8_t[room]);
    if (!inBuf || !outBuf) return Fault::noMemory;
    bool ended = false;
    for (;;) {
        long long n = fillFrom(source, inBuf.get(), block, &ended);
        if (n < 0) return Fault::readFailed;
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

Fault decompressStream(Coder& coder, Source source, Sink sink, const uint8_t* prefix,
                       size_t prefixSize, StreamReport* report, int threads) {
    if (int workers = workerCount(threads); workers > 1) {
        return decompressThreaded(coder, workers, source, sink, prefix, prefixSize, report);
    }
    StreamReport local;
    StreamReport& r = report != nullptr ? *report : local;
    r = StreamReport{};
    Decoder decoder(&coder);
    std::unique_ptr<uint8_t[]> inBuf(new (std::nothrow) uint8_t[kDecodeChunk]);
    std::unique_ptr<uint8_t[]> outBuf(new (std::nothrow) uint8_t[kDecodeChunk]);
    if (!inBuf || !outBuf) return Fault::noMemory;
    size_t held = std::min(prefixSize, kDecodeChunk);
    if (held > 0) std::memcpy(inBuf.get(), prefix, held);
    lzw_in_buffer in{inBuf.get(), held, 0};
    bool ended = false;
    int64_t frameStart = 0;
    bool first = true;
    // Reads more when what is held is used up; false at the end of the input.
    auto more = [&]() -> long long {
        long long n = fillFrom(source, inBuf.get(), kDecodeChunk, &ended);
        if (n > 0) {
            in = lzw_in_buffer{inBuf.get(), static_cast<size_t>(n), 0};
            r.bytesIn += n;
        }
        return n;
    };
    r.bytesIn = static_cast<int64_t>(held);
    for (;;) {
        // Between frames: the end of the input, or the next frame's magic.
        if (in.pos == in.size && !ended) {
            if (more() < 0) return Fault::readFailed;
        }
        if (in.pos == in.size) return first ? Fault::shorterThanHeader : Fault::none;
        decoder.reset();
        frameStart = r.bytesIn - static_cast<int64_t>(in.size - in.pos);
        ++r.frames;
        int64_t blocksBefore = r.blocks;
        for (;;) {
            lzw_out_buffer out{outBuf.get(), kDecodeChunk, 0};
            int status = decoder.decode(in, out);
            r.blocks = blocksBefore + decoder.blockIndex();
            r.blockOffset = frameStart + decoder.blockOffset();
            r.header = decoder.header();
            if (out.pos > 0 && sink.write != nullptr) {
                if (sink.write(sink.user, outBuf.get(), out.pos) != 0) return Fault::writeFailed;
            }
            r.bytesOut += static_cast<int64_t>(out.pos);
            if (status == LZW_FRAME_DONE) break;
            if (status < 0) {
                auto fault = static_cast<Fault>(-status);
                // After a whole frame, anything but another one is trailing data.
                if (fault == Fault::notFrame && !first) return Fault::trailingData;
                return fault;
            }
            if (status == LZW_FRAME_NEEDS_INPUT) {
                long long n = more();
                if (n < 0) return Fault::readFailed;
                // A frame cut short; before a whole magic, after a frame, trailing data.
                if (n == 0)
                    return !first && decoder.consumed() < 4 ? Fault::trailingData
                                                            : Fault::endsEarly;
            }
        }
        first = false;
    }
}

}  // namespace lzw::frame
