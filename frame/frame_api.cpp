// The C interface of frames: one-shot calls, streams through callbacks, the caller-driven
// encoder and decoder, and the header reader.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "frame.h"
#include "lzw.h"

namespace lzw::frame {
namespace {

int errorOf(Fault fault) {
    return -static_cast<int>(fault);
}

Coder* coderOf(lzw_ctx* ctx) {
    return reinterpret_cast<Coder*>(ctx);
}

using CoderPtr = std::unique_ptr<Coder, void (*)(Coder*)>;

// The context's Coder, or one made for the call.
Coder* pickCoder(lzw_ctx* ctx, CoderPtr& own) {
    if (ctx != nullptr) return coderOf(ctx);
    own.reset(Coder::create());
    return own.get();
}

int decompressAll(Coder& coder, const uint8_t* src, size_t size, uint8_t* dst, size_t capacity,
                  size_t* written) {
    Decoder decoder(&coder);
    lzw_in_buffer in{src, size, 0};
    lzw_out_buffer out{dst, capacity, 0};
    bool first = true;
    do {
        // After a frame, only another frame may follow.
        if (!first && (size - in.pos < 4 || !isFrameMagic(src + in.pos))) {
            *written = out.pos;
            return errorOf(Fault::trailingData);
        }
        decoder.reset();
        int status = decoder.decode(in, out);
        *written = out.pos;
        if (status == LZW_FRAME_NEEDS_INPUT) {
            return errorOf(size < 4 && first ? Fault::shorterThanHeader : Fault::endsEarly);
        }
        if (status == LZW_FRAME_NEEDS_OUTPUT) return errorOf(Fault::outputTooSmall);
        if (status != LZW_FRAME_DONE) return status;
        first = false;
    } while (in.pos < size);
    return LZW_OK;
}

// The whole input and output of a one-shot call, as a stream's callbacks: for the workers.
struct MemoryIn {
    const uint8_t* src;
    size_t size;
    size_t pos;
};
struct MemoryOut {
    uint8_t* dst;
    size_t capacity;
    size_t pos;
};

long long readMemory(void* user, void* buf, size_t capacity) {
    auto* in = static_cast<MemoryIn*>(user);
    size_t n = std::min(capacity, in->size - in->pos);
    if (n > 0) std::memcpy(buf, in->src + in->pos, n);
    in->pos += n;
    return static_cast<long long>(n);
}

// Takes what fits and fails past the capacity, as a one-shot call fills `dst`.
int writeMemory(void* user, const void* buf, size_t size) {
    auto* out = static_cast<MemoryOut*>(user);
    size_t n = std::min(size, out->capacity - out->pos);
    if (n > 0) std::memcpy(out->dst + out->pos, buf, n);
    out->pos += n;
    return n == size ? 0 : -1;
}

// A one-shot call through the stream code with `workers` threads.
template <typename Run>
int throughStreams(const void* src, size_t size, void* dst, size_t capacity, size_t* written,
                   Run run) {
    MemoryIn in{static_cast<const uint8_t*>(src), size, 0};
    MemoryOut out{static_cast<uint8_t*>(dst), capacity, 0};
    Fault fault = run(Source{readMemory, &in}, Sink{writeMemory, &out});
    *written = out.pos;
    return errorOf(fault == Fault::writeFailed ? Fault::outputTooSmall : fault);
}

// What a frame's header says, as lzw.h gives it.
void describe(const Header& h, size_t headerSize, lzw_frame_header* header) {
    *header = lzw_frame_header{};
    header->header_size = headerSize;
    if (h.skippable) {
        header->skippable_size = h.skippableSize;
        return;
    }
    header->version = h.version;
    header->policy = static_cast<lzw_policy>(h.policy);
    header->code_width = kCodeWidth;
    header->block_size = h.blockSize;
    header->flags = h.flags;
    header->content_size = h.contentSize;
}

}  // namespace
}  // namespace lzw::frame

struct lzw_reader {
    lzw::frame::RangeReader reader;
};

struct lzw_frame_encoder {
    lzw::Coder* coder;
    lzw::frame::Encoder encoder;
};
struct lzw_frame_decoder {
    lzw::Coder* coder;
    lzw::frame::Decoder decoder;
};

using namespace lzw;
using namespace lzw::frame;

extern "C" {

int lzw_frame_read_header(const void* src, size_t size, lzw_frame_header* header) {
    if (src == nullptr || header == nullptr) return errorOf(Fault::badArgument);
    Header h;
    size_t needed = 0;
    Fault fault = parseHeader(static_cast<const uint8_t*>(src), size, h, &needed);
    if (fault != Fault::none) return errorOf(fault);
    if (size < needed) return static_cast<int>(needed - size);
    describe(h, needed, header);
    return LZW_OK;
}

size_t lzw_frame_compress_bound(const lzw_frame_params* params, size_t size) {
    Params p;
    if (readParams(params, p) != Fault::none) return 0;
    size_t blocks = size / p.blockSize + (size % p.blockSize != 0 ? 1 : 0);
    size_t perBlock = kBlockHeaderSize + kBlockChecksumSize + (p.seekTable ? kTableEntrySize : 0);
    // A frame's header, end and table; a frame with a table holds p.tableBlocks blocks at most.
    size_t frames =
        p.seekTable ? std::max<size_t>(1, (blocks + p.tableBlocks - 1) / p.tableBlocks) : 1;
    size_t perFrame = kFrameHeaderSize + kTrailerSize + (p.seekTable ? tableBytes(0) : 0);
    if (blocks > (SIZE_MAX / 2) / perBlock || frames > (SIZE_MAX / 2) / perFrame) return 0;
    size_t extra = blocks * perBlock + frames * perFrame;
    return size > SIZE_MAX - extra ? 0 : size + extra;
}

int lzw_frame_compress(lzw_ctx* ctx, const lzw_frame_params* params, const void* src, size_t size,
                       void* dst, size_t capacity, size_t* written) {
    if (written == nullptr) return errorOf(Fault::badArgument);
    *written = 0;
    Params p;
    if (readParams(params, p) != Fault::none || (src == nullptr && size != 0) ||
        (dst == nullptr && capacity != 0) || size > static_cast<uint64_t>(INT64_MAX)) {
        return errorOf(Fault::badArgument);
    }
    CoderPtr own(nullptr, Coder::release);
    Coder* coder = pickCoder(ctx, own);
    if (coder == nullptr) return errorOf(Fault::noMemory);
    // Workers when there are blocks to share; a content size that is not the input's fails
    // as one thread fails it.
    if (int workers = workerCount(p.threads);
        workers > 1 && size > p.blockSize &&
        (p.contentSize < 0 || p.contentSize == static_cast<int64_t>(size))) {
        return throughStreams(src, size, dst, capacity, written, [&](Source in, Sink out) {
            return compressThreaded(*coder, p, workers, in, out, nullptr);
        });
    }
    Encoder encoder(coder);
    if (Fault fault = encoder.reset(p, static_cast<int64_t>(size)); fault != Fault::none) {
        return errorOf(fault);
    }
    lzw_in_buffer in{src, size, 0};
    lzw_out_buffer out{dst, capacity, 0};
    int status = encoder.encode(in, out, true);
    *written = out.pos;
    if (status == LZW_FRAME_NEEDS_OUTPUT) return errorOf(Fault::outputTooSmall);
    return status == LZW_FRAME_DONE ? LZW_OK : status;
}

int lzw_frame_decompress(lzw_ctx* ctx, const void* src, size_t size, void* dst, size_t capacity,
                         size_t* written) {
    if (written == nullptr) return errorOf(Fault::badArgument);
    *written = 0;
    if ((src == nullptr && size != 0) || (dst == nullptr && capacity != 0)) {
        return errorOf(Fault::badArgument);
    }
    CoderPtr own(nullptr, Coder::release);
    Coder* coder = pickCoder(ctx, own);
    if (coder == nullptr) return errorOf(Fault::noMemory);
    return decompressAll(*coder, static_cast<const uint8_t*>(src), size, static_cast<uint8_t*>(dst),
                         capacity, written);
}

int lzw_frame_compress_stream(lzw_ctx* ctx, const lzw_frame_params* params, lzw_read_fn read,
                              void* read_user, lzw_write_fn write, void* write_user) {
    Params p;
    if (ctx == nullptr || read == nullptr || write == nullptr ||
        readParams(params, p) != Fault::none) {
        return errorOf(Fault::badArgument);
    }
    return errorOf(compressStream(*coderOf(ctx), p, Source{read, read_user},
                                  Sink{write, write_user}, nullptr));
}

int lzw_frame_decompress_stream(lzw_ctx* ctx, lzw_read_fn read, void* read_user, lzw_write_fn write,
                                void* write_user) {
    if (ctx == nullptr || read == nullptr || write == nullptr) return errorOf(Fault::badArgument);
    return errorOf(decompressStream(*coderOf(ctx), Source{read, read_user}, Sink{write, write_user},
                                    nullptr, 0, nullptr));
}

int lzw_frame_decompress_mt(lzw_ctx* ctx, int threads, const void* src, size_t size, void* dst,
                            size_t capacity, size_t* written) {
    if (written == nullptr) return errorOf(Fault::badArgument);
    *written = 0;
    if (threads < 0) return errorOf(Fault::badArgument);
    int workers = workerCount(threads);
    // Too short for two blocks: one thread's call, which also tells a cut header apart.
    if (workers == 1 || size < kFrameHeaderSize + 2 * kBlockHeaderSize) {
        return lzw_frame_decompress(ctx, src, size, dst, capacity, written);
    }
    if (src == nullptr || (dst == nullptr && capacity != 0)) return errorOf(Fault::badArgument);
    CoderPtr own(nullptr, Coder::release);
    Coder* coder = pickCoder(ctx, own);
    if (coder == nullptr) return errorOf(Fault::noMemory);
    return throughStreams(src, size, dst, capacity, written, [&](Source in, Sink out) {
        return decompressThreaded(*coder, workers, in, out, nullptr, 0, nullptr);
    });
}

int lzw_frame_decompress_stream_mt(lzw_ctx* ctx, int threads, lzw_read_fn read, void* read_user,
                                   lzw_write_fn write, void* write_user) {
    if (ctx == nullptr || read == nullptr || write == nullptr || threads < 0) {
        return errorOf(Fault::badArgument);
    }
    return errorOf(decompressStream(*coderOf(ctx), Source{read, read_user}, Sink{write, write_user},
                                    nullptr, 0, nullptr, threads));
}

lzw_frame_encoder* lzw_frame_encoder_create(const lzw_frame_params* params) {
    Params p;
    if (readParams(params, p) != Fault::none) return nullptr;
    Coder* coder = Coder::create();
    if (coder == nullptr) return nullptr;
    auto* enc = new (std::nothrow) lzw_frame_encoder{coder, Encoder(coder)};
    if (enc == nullptr || enc->encoder.reset(p) != Fault::none) {
        delete enc;
        Coder::release(coder);
        return nullptr;
    }
    return enc;
}

int lzw_frame_encoder_reset(lzw_frame_encoder* enc, const lzw_frame_params* params) {
    Params p;
    if (enc == nullptr || readParams(params, p) != Fault::none) return errorOf(Fault::badArgument);
    return errorOf(enc->encoder.reset(p));
}

int lzw_frame_encode(lzw_frame_encoder* enc, lzw_in_buffer* in, lzw_out_buffer* out, int end) {
    if (enc == nullptr || in == nullptr || out == nullptr) return errorOf(Fault::badArgument);
    return enc->encoder.encode(*in, *out, end != 0);
}

void lzw_frame_encoder_free(lzw_frame_encoder* enc) {
    if (enc == nullptr) return;
    Coder::release(enc->coder);
    delete enc;
}

lzw_frame_decoder* lzw_frame_decoder_create(void) {
    Coder* coder = Coder::create();
    if (coder == nullptr) return nullptr;
    auto* dec = new (std::nothrow) lzw_frame_decoder{coder, Decoder(coder)};
    if (dec == nullptr) {
        Coder::release(coder);
        return nullptr;
    }
    dec->decoder.reset();
    return dec;
}

void lzw_frame_decoder_reset(lzw_frame_decoder* dec) {
    if (dec != nullptr) dec->decoder.reset();
}

int lzw_frame_decode(lzw_frame_decoder* dec, lzw_in_buffer* in, lzw_out_buffer* out) {
    if (dec == nullptr || in == nullptr || out == nullptr) return errorOf(Fault::badArgument);
    return dec->decoder.decode(*in, *out);
}

void lzw_frame_decoder_free(lzw_frame_decoder* dec) {
    if (dec == nullptr) return;
    Coder::release(dec->coder);
    delete dec;
}

lzw_reader* lzw_reader_create(void) {
    return new (std::nothrow) lzw_reader;
}

int lzw_reader_open(lzw_reader* reader, lzw_pread_fn read, void* user,
                    unsigned long long file_size) {
    if (reader == nullptr || read == nullptr) return errorOf(Fault::badArgument);
    return errorOf(reader->reader.open(PositionalSource{read, user, file_size}));
}

int lzw_reader_read(lzw_reader* reader, unsigned long long offset, void* dst, size_t size,
                    size_t* read) {
    if (read != nullptr) *read = 0;
    if (reader == nullptr || read == nullptr || (dst == nullptr && size != 0)) {
        return errorOf(Fault::badArgument);
    }
    return errorOf(reader->reader.read(offset, static_cast<uint8_t*>(dst), size, read));
}

int lzw_reader_describe(const lzw_reader* reader, lzw_reader_info* info) {
    if (reader == nullptr || info == nullptr) return errorOf(Fault::badArgument);
    const RangeReader& r = reader->reader;
    *info = lzw_reader_info{};
    info->content_size = r.contentSize();
    info->frames = r.frames().size();
    info->skippable = static_cast<unsigned long long>(r.skippable());
    info->blocks = r.blocks().size();
    for (const RangeReader::BlockInfo& block : r.blocks()) {
        if ((block.word & kStoredBit) != 0) ++info->stored_blocks;
    }
    info->indexed = r.indexed() ? 1 : 0;
    info->read_calls = r.readCalls();
    return LZW_OK;
}

int lzw_reader_frame(const lzw_reader* reader, unsigned long long index,
                     lzw_reader_frame_info* info) {
    if (reader == nullptr || info == nullptr || index >= reader->reader.frames().size()) {
        return errorOf(Fault::badArgument);
    }
    const RangeReader& r = reader->reader;
    const RangeReader::FrameInfo& f = r.frames()[index];
    *info = lzw_reader_frame_info{};
    describe(f.header, kFrameHeaderSize, &info->header);
    info->offset = f.at;
    info->size = f.size;
    info->content_offset = f.content;
    info->first_block = f.firstBlock;
    info->blocks =
        (index + 1 < r.frames().size() ? r.frames()[index + 1].firstBlock : r.blocks().size()) -
        f.firstBlock;
    info->indexed = f.table ? 1 : 0;
    return LZW_OK;
}

int lzw_reader_block(const lzw_reader* reader, unsigned long long index,
                     lzw_reader_block_info* info) {
    if (reader == nullptr || info == nullptr || index >= reader->reader.blocks().size()) {
        return errorOf(Fault::badArgument);
    }
    const RangeReader::BlockInfo& b = reader->reader.blocks()[index];
    *info = lzw_reader_block_info{};
    info->offset = b.at;
    info->content_offset = b.content;
    info->payload_size = b.word & ~kStoredBit;
    info->decoded_size = b.decoded;
    info->stored = (b.word & kStoredBit) != 0 ? 1 : 0;
    info->frame = b.frame;
    return LZW_OK;
}

int lzw_reader_fault(const lzw_reader* reader, long long* block, unsigned long long* offset) {
    if (reader == nullptr) return errorOf(Fault::badArgument);
    if (block != nullptr) *block = reader->reader.faultBlock();
    if (offset != nullptr) *offset = reader->reader.faultOffset();
    return LZW_OK;
}

void lzw_reader_free(lzw_reader* reader) {
    delete reader;
}

}  // extern "C"
