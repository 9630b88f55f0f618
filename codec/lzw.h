/* lzw.h: the lzw codec in memory or through callbacks, from C or C++.
 *
 * The calls write exactly the bytes the lzw program writes for the same input and mode,
 * length header included, and read what it reads. Nothing is global: any number of calls may
 * run at once on different threads (on different contexts, for the calls that take one). Each
 * call without a context maps one work area of about 2.7 MiB fresh from the system when it
 * starts (a short input touches only part of it) and gives it back before it returns; it
 * allocates nothing while coding and writes no memory but that area and the caller's `dst`
 * and `*written`. Nothing is printed.
 *
 * A raw stream (lzw_compress) records neither its policy nor a checksum: decompress it with
 * the policy that compressed it. A stream decompressed with another policy, or damaged in its
 * code bits, can decode without error to other bytes; only damage to the stream's structure is
 * reported. A frame (lzw_frame_compress, `lzw -F`) records its policy and checksums, so that
 * every such fault is found, and has no size limit.
 *
 * Link with -llzw (pkg-config: lzw; CMake: find_package(lzw CONFIG), target lzw::lzw, or
 * lzw::lzw_static for the static library with the C++ runtime it needs).
 */
#ifndef LZW_H
#define LZW_H

#include <stddef.h>

/* The version of this header, as lzw_version() gives the library's: a program built with
 * one header may run with a later library of the same major version. */
#define LZW_VERSION_MAJOR 1
#define LZW_VERSION_MINOR 4
#define LZW_VERSION_PATCH 0
#define LZW_VERSION_NUMBER (LZW_VERSION_MAJOR * 10000 + LZW_VERSION_MINOR * 100 + LZW_VERSION_PATCH)

#if defined(__GNUC__)
#define LZW_API __attribute__((visibility("default")))
#else
#define LZW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a full dictionary does; a stream is decompressed with the policy that compressed it. */
typedef enum {
    LZW_FREEZE = 1, /* stops growing (modes c1, d1) */
    LZW_EVICT = 2,  /* gives up its least recently used phrase without extensions (c2, d2) */
    LZW_RESET = 3   /* is cleared back to the 256 single bytes (c3, d3) */
} lzw_policy;

/* Return values of the calls. The values never change. */
typedef enum {
    LZW_OK = 0,
    LZW_ERROR_INPUT_TOO_LARGE = -3, /* over 2147483648 bytes: the header cannot describe it */
    LZW_ERROR_READ_FAILED = -4,     /* a stream's read callback returned an error */
    LZW_ERROR_WRITE_FAILED = -5,    /* a stream's write callback returned an error */
    /* A damaged stream, or one made with another policy: */
    LZW_ERROR_SHORTER_THAN_HEADER = -7, /* under 4 bytes */
    LZW_ERROR_NEGATIVE_LENGTH = -8,     /* a header below -1 (FF FF FF FF is the empty input) */
    LZW_ERROR_ENDS_EARLY = -9,          /* the codes end before the header's length */
    LZW_ERROR_LONGER_THAN_HEADER = -10, /* the codes give more bytes than the header says */
    LZW_ERROR_FIRST_NOT_BYTE = -11,     /* the first code is not a single byte */
    LZW_ERROR_BEYOND_DICTIONARY = -12,  /* a code the dictionary cannot hold yet */
    LZW_ERROR_EMPTY_SLOT = -13,         /* a code of an empty dictionary slot */
    LZW_ERROR_LOOP = -14,               /* the phrases of a code lead back to themselves */
    LZW_ERROR_TRAILING_DATA = -15,      /* bytes after the last code */
    /* The call itself: */
    LZW_ERROR_OUTPUT_TOO_SMALL = -16, /* `capacity` is short of what the run writes */
    LZW_ERROR_BAD_ARGUMENT = -17,     /* unknown policy, or a null pointer it needs */
    LZW_ERROR_NO_MEMORY = -18,        /* the work area could not be allocated */
    LZW_ERROR_SIZE_MISMATCH = -19,    /* a stream's reads gave another count than `size` */
    /* A damaged frame, or one this library cannot read: */
    LZW_ERROR_CHECKSUM = -20,      /* a block's or the content's checksum does not match */
    LZW_ERROR_FRAME_VERSION = -21, /* a frame of a version, policy or code width unknown here */
    LZW_ERROR_RESERVED_BITS = -22, /* a frame header's reserved flag bits are set */
    LZW_ERROR_FRAME_HEADER = -23,  /* a frame header fails its check byte */
    LZW_ERROR_BLOCK_HEADER = -24,  /* a block header gives impossible sizes */
    LZW_ERROR_CONTENT_SIZE = -25,  /* the blocks add up to another size than the header's */
    LZW_ERROR_NOT_FRAME = -26,     /* the data does not start with a frame's magic */
    LZW_ERROR_SEEK_TABLE = -27     /* a seek table fails its check or disagrees with its frame */
} lzw_error;

/* lzw_compress_bound - room that a compression may need
 *
 *   size_t lzw_compress_bound(size_t size);
 *
 * Returns the most bytes lzw_compress can write for `size` input bytes in any policy: the
 * 4-byte header and 12 bits per input byte. Returns 0 for a size over 2147483648, which
 * lzw_compress refuses without writing anything.
 */
LZW_API size_t lzw_compress_bound(size_t size);

/* lzw_compress - compress a buffer
 *
 *   int lzw_compress(lzw_policy policy, const void *src, size_t size,
 *                    void *dst, size_t capacity, size_t *written);
 *
 * Compresses the `size` bytes at `src` with `policy` into at most `capacity` bytes at `dst`.
 * `src` may be null when `size` is 0, `dst` when `capacity` is 0; `written` is required.
 * lzw_compress_bound(size) bytes of `dst` always suffice. The buffers must not overlap.
 *
 * Returns LZW_OK, with the stream's length in `*written`. On an error `*written` holds the
 * bytes written before it, which are not a whole stream.
 *
 * Errors: LZW_ERROR_INPUT_TOO_LARGE (any `size` over 2147483648, SIZE_MAX included: refused
 * before a byte of `src` is read; nothing written), LZW_ERROR_OUTPUT_TOO_SMALL (`dst` is full:
 * it holds the first `capacity` bytes of the stream), LZW_ERROR_BAD_ARGUMENT (nothing written;
 * `*written` is 0 when `written` is not null), LZW_ERROR_NO_MEMORY (nothing written).
 */
LZW_API int lzw_compress(lzw_policy policy, const void* src, size_t size, void* dst,
                         size_t capacity, size_t* written);

/* lzw_decoded_size - length a stream decodes to
 *
 *   long long lzw_decoded_size(const void *src, size_t size);
 *
 * Reads the header of the stream of `size` bytes at `src` (only its first 4 bytes).
 *
 * Returns the bytes it decodes to: 0 for FF FF FF FF (the empty input), at most 2147483648.
 * Returns -1 when `size` is under 4, `src` is null, or the header is below -1; lzw_decompress
 * refuses such a stream. The codes are not checked: a damaged stream may still fail to decode.
 */
LZW_API long long lzw_decoded_size(const void* src, size_t size);

/* lzw_decompress - decompress a stream
 *
 *   int lzw_decompress(lzw_policy policy, const void *src, size_t size,
 *                      void *dst, size_t capacity, size_t *written);
 *
 * Decompresses the stream of `size` bytes at `src`, made with `policy`, into at most
 * `capacity` bytes at `dst`. `src` may be null when `size` is 0, `dst` when `capacity` is 0;
 * `written` is required. lzw_decoded_size(src, size) bytes of `dst` suffice for a whole
 * stream. The buffers must not overlap.
 *
 * Returns LZW_OK, with the decoded length in `*written`. On an error `*written` holds the
 * bytes decoded before it: a damaged stream keeps what it gave up to the damage, and after
 * LZW_ERROR_TRAILING_DATA they are the whole input that the header describes.
 *
 * Errors: LZW_ERROR_SHORTER_THAN_HEADER to LZW_ERROR_TRAILING_DATA (the stream is damaged),
 * LZW_ERROR_OUTPUT_TOO_SMALL (`dst` is full: it holds the first `capacity` bytes decoded),
 * LZW_ERROR_BAD_ARGUMENT (nothing written;
 * `*written` is 0 when `written` is not null), LZW_ERROR_NO_MEMORY (nothing written).
 */
LZW_API int lzw_decompress(lzw_policy policy, const void* src, size_t size, void* dst,
                           size_t capacity, size_t* written);

/* lzw_ctx - a work area kept across calls
 *
 *   lzw_ctx *lzw_ctx_create(void);
 *   void lzw_ctx_free(lzw_ctx *ctx);
 *
 * A context holds the coder's tables (about 2.7 MiB) so that many calls pay for them once,
 * and after a call with worker threads their tables too (lzw_frame_params.threads), for the
 * next such call; lzw_ctx_free frees them all. lzw_ctx_create returns NULL when there is no
 * memory; lzw_ctx_free accepts NULL. A context serves one call at a time, from any thread
 * (a call with worker threads lends it to one of them until it returns); any policy and
 * direction may follow any other on it, also after a failed call.
 */
typedef struct lzw_ctx lzw_ctx;
LZW_API lzw_ctx* lzw_ctx_create(void);
LZW_API void lzw_ctx_free(lzw_ctx* ctx);

/* lzw_ctx_compress, lzw_ctx_decompress - lzw_compress and lzw_decompress on a context
 *
 *   int lzw_ctx_compress(lzw_ctx *ctx, lzw_policy policy, const void *src, size_t size,
 *                        void *dst, size_t capacity, size_t *written);
 *   int lzw_ctx_decompress(lzw_ctx *ctx, lzw_policy policy, const void *src, size_t size,
 *                          void *dst, size_t capacity, size_t *written);
 *
 * The same results as the calls without a context, byte for byte, and the same errors;
 * LZW_ERROR_BAD_ARGUMENT also for a null `ctx`. A call clears only what the calls before it
 * on the context touched, so a short input costs about what coding it costs (1 KB: 2-4 us).
 */
LZW_API int lzw_ctx_compress(lzw_ctx* ctx, lzw_policy policy, const void* src, size_t size,
                             void* dst, size_t capacity, size_t* written);
LZW_API int lzw_ctx_decompress(lzw_ctx* ctx, lzw_policy policy, const void* src, size_t size,
                               void* dst, size_t capacity, size_t* written);

/* lzw_read_fn, lzw_write_fn - the callbacks of a stream
 *
 *   typedef long long (*lzw_read_fn)(void *user, void *buf, size_t capacity);
 *   typedef int (*lzw_write_fn)(void *user, const void *buf, size_t size);
 *
 * A read puts up to `capacity` bytes into `buf` and returns how many: 0 at the end of the
 * input, a negative value on an error. Fewer than `capacity` is fine: the call reads again.
 * After it has returned 0 it is not called again. A write takes all `size` bytes at `buf`
 * and returns 0, or anything else on an error; after an error it is not called again.
 * `user` is the pointer given with the callback. Neither may call the stream's context.
 */
typedef long long (*lzw_read_fn)(void* user, void* buf, size_t capacity);
typedef int (*lzw_write_fn)(void* user, const void* buf, size_t size);

/* lzw_compress_stream, lzw_decompress_stream - code a stream through callbacks
 *
 *   int lzw_compress_stream(lzw_ctx *ctx, lzw_policy policy, long long size,
 *                           lzw_read_fn read, void *read_user,
 *                           lzw_write_fn write, void *write_user);
 *   int lzw_decompress_stream(lzw_ctx *ctx, lzw_policy policy,
 *                             lzw_read_fn read, void *read_user,
 *                             lzw_write_fn write, void *write_user);
 *
 * Compress the `size` bytes that `read` delivers, or decompress the stream it delivers, with
 * `policy`, giving the result to `write`: the same bytes as lzw_compress and lzw_decompress
 * give for the same input. `size` is the input's exact length, as the header that comes
 * first needs it. The context's memory and two fixed buffers of 64 KiB inside it are all
 * that is used, however long the input: the calls read and write 64 KiB at a time (a read
 * may return less; the call reads again until the buffer is full or the input ends).
 *
 * Returns LZW_OK once the whole result went to `write`. On an error, what went to `write`
 * before it is not a whole stream; decompressing a damaged stream, it is what the stream
 * gave up to the damage, as lzw_decompress keeps it.
 *
 * Errors: LZW_ERROR_SIZE_MISMATCH (the reads gave more bytes than `size`, found as soon as a
 * read passes it, or fewer once a read returns 0), LZW_ERROR_READ_FAILED (a read returned a
 * negative value, or more than `capacity`), LZW_ERROR_WRITE_FAILED (a write returned
 * non-zero), LZW_ERROR_INPUT_TOO_LARGE (`size` over 2147483648: nothing read or written),
 * LZW_ERROR_SHORTER_THAN_HEADER to LZW_ERROR_TRAILING_DATA (decompressing a damaged stream),
 * LZW_ERROR_BAD_ARGUMENT (a null `ctx`, `read` or `write`, an unknown policy or a negative
 * `size`: nothing read or written).
 */
LZW_API int lzw_compress_stream(lzw_ctx* ctx, lzw_policy policy, long long size, lzw_read_fn read,
                                void* read_user, lzw_write_fn write, void* write_user);
LZW_API int lzw_decompress_stream(lzw_ctx* ctx, lzw_policy policy, lzw_read_fn read,
                                  void* read_user, lzw_write_fn write, void* write_user);

/* ---- Frames ----
 *
 * A frame is a self-describing, checked form of the same codes: a header that records the
 * policy, then independent blocks (each a fresh dictionary) with both their sizes and a
 * checksum, an end mark and a checksum of the whole content (XXH64). It needs no size up
 * front and has no size limit; frames concatenate. doc/frame-format.md describes every byte.
 * The raw calls above neither write nor read frames.
 */
#define LZW_FRAME_MAGIC 0x575A4C89u           /* the bytes 89 4C 5A 57, as a little-endian u32 */
#define LZW_FRAME_SKIPPABLE_MAGIC 0x575A4C8Au /* 8A 4C 5A 57: a frame any decoder skips */
#define LZW_FRAME_HEADER_SIZE 21
#define LZW_FRAME_BLOCK_DEFAULT (1u << 20) /* 1 MiB */
#define LZW_FRAME_BLOCK_MIN (1u << 10)     /* 1 KiB */
#define LZW_FRAME_BLOCK_MAX (1u << 30)     /* 1 GiB */

/* Flags of a frame, recorded in its header. */
#define LZW_FRAME_CONTENT_SIZE 1u     /* the header gives the content's size */
#define LZW_FRAME_CONTENT_CHECKSUM 2u /* XXH64 of the content follows the end mark */
#define LZW_FRAME_BLOCK_CHECKSUMS 4u  /* 32 bits of XXH64 of each decoded block follow it */
/* Not in the header: a seek table follows each frame, a skippable frame that lets a reader
 * (lzw_reader_open) find any block from the end of the file. 8 bytes a block. */
#define LZW_FRAME_SEEK_TABLE 0x100u

/* lzw_frame_params - how to write a frame
 *
 * Set `size` to sizeof(lzw_frame_params) (LZW_FRAME_PARAMS_INIT does, with the defaults), so
 * that a later library with more fields still reads the ones this header knows. A call
 * accepts every size a published header had; a larger size only when the bytes it does not
 * know are zero.
 */
typedef struct {
    size_t size;         /* sizeof(lzw_frame_params) */
    lzw_policy policy;   /* recorded in the header; the decoder follows it */
    unsigned block_size; /* largest block, LZW_FRAME_BLOCK_MIN to _MAX; 0: the default */
    unsigned checksums;  /* LZW_FRAME_CONTENT_CHECKSUM | _BLOCK_CHECKSUMS | _SEEK_TABLE, or less */
    long long content_size; /* recorded and checked when >= 0; -1: unknown */
    int threads;            /* workers coding blocks at once: 1, N, or 0 for one per core */
} lzw_frame_params;
/* Threads: with `threads` N other than 1, lzw_frame_compress and lzw_frame_compress_stream
 * start N worker threads (0: one per core the process may run on; at most 256, and fewer
 * when the system refuses more), each coding whole blocks with a context of its own (about
 * 2.7 MiB; the call's `ctx` is one of them, the others are kept in `ctx` from its last such
 * call or made for this one, and kept there after it; a call without `ctx` frees them), and
 * all ended before the call returns. The frame is the same byte for byte whatever N: blocks
 * are cut by input position and block size only. Blocks are read and
 * written in order, on the calling thread, which alone calls the callbacks; the reads and
 * writes are the same calls as with one thread, and so are the errors and what was written
 * before them. Memory is about 4(N+1) blocks compressing and 2(N+1) decompressing besides
 * the contexts, each block above 64 KiB held in whole 2 MiB huge pages (a copy into small
 * pages missed the TLB at every 4 KiB).
 * The caller-driven encoder codes on the caller's thread whatever `threads` says.
 * LZW_FRAME_THREADS_MAX is that most (a larger count runs that many). */
#define LZW_FRAME_THREADS_MAX 256
#define LZW_FRAME_PARAMS_INIT(policy)                                                            \
    {                                                                                            \
        sizeof(lzw_frame_params), (policy), LZW_FRAME_BLOCK_DEFAULT,                             \
            LZW_FRAME_CONTENT_CHECKSUM | LZW_FRAME_BLOCK_CHECKSUMS | LZW_FRAME_SEEK_TABLE, -1, 1 \
    }

/* lzw_frame_header - what a frame's header says */
typedef struct {
    unsigned version;       /* 1 */
    lzw_policy policy;      /* the policy its blocks were coded with */
    unsigned code_width;    /* 12 */
    unsigned block_size;    /* its largest block */
    unsigned flags;         /* LZW_FRAME_CONTENT_SIZE, _CONTENT_CHECKSUM, _BLOCK_CHECKSUMS */
    long long content_size; /* -1 when the header does not give it */
    size_t header_size;     /* LZW_FRAME_HEADER_SIZE; for a skippable frame, 8 */
    unsigned long long skippable_size; /* a skippable frame's data after its 8 bytes, else 0 */
} lzw_frame_header;

/* lzw_frame_read_header - read the header of the frame at `src`
 *
 *   int lzw_frame_read_header(const void *src, size_t size, lzw_frame_header *header);
 *
 * Returns LZW_OK and fills `header`; a positive number of bytes still needed when `size` is
 * short of the header; LZW_ERROR_NOT_FRAME when the first 4 bytes are no frame's magic (a raw
 * stream, say); LZW_ERROR_FRAME_HEADER, _FRAME_VERSION or _RESERVED_BITS for a header that is
 * damaged or of a later version; LZW_ERROR_BAD_ARGUMENT for a null pointer. A skippable frame
 * fills only header_size and skippable_size. Reads nothing past the header.
 */
LZW_API int lzw_frame_read_header(const void* src, size_t size, lzw_frame_header* header);

/* lzw_frame_compress_bound - room that lzw_frame_compress may need
 *
 *   size_t lzw_frame_compress_bound(const lzw_frame_params *params, size_t size);
 *
 * Blocks that do not shrink are stored as they are, so a frame is never much longer than its
 * content: the header, 12 bytes a block at most, the end mark and the checksum. 0 when
 * `params` is invalid or the bound does not fit in a size_t.
 */
LZW_API size_t lzw_frame_compress_bound(const lzw_frame_params* params, size_t size);

/* lzw_frame_compress, lzw_frame_decompress - one frame in memory
 *
 *   int lzw_frame_compress(lzw_ctx *ctx, const lzw_frame_params *params, const void *src,
 *                          size_t size, void *dst, size_t capacity, size_t *written);
 *   int lzw_frame_decompress(lzw_ctx *ctx, const void *src, size_t size, void *dst,
 *                            size_t capacity, size_t *written);
 *
 * lzw_frame_compress writes one frame of the `size` bytes at `src`: the bytes `lzw -F` writes
 * for them, unless params->content_size is >= 0: the header then records it, and it must be
 * `size` (LZW_ERROR_SIZE_MISMATCH otherwise). lzw_frame_decompress decodes every frame at `src`,
 * one after another, skipping skippable frames, and fails on anything else after a frame
 * (LZW_ERROR_TRAILING_DATA). `ctx` may be null: the call then makes a context for itself. The
 * buffers must not overlap.
 *
 * Returns LZW_OK with the bytes written in `*written`. Decompressing, on an error `*written`
 * holds the bytes of the blocks that were whole and checked before it, and `dst` past them
 * holds nothing of use.
 *
 * Errors: those of the raw calls, LZW_ERROR_NOT_FRAME (decompressing: the data does not start
 * with a frame), LZW_ERROR_CHECKSUM to LZW_ERROR_CONTENT_SIZE (a damaged frame).
 */
LZW_API int lzw_frame_compress(lzw_ctx* ctx, const lzw_frame_params* params, const void* src,
                               size_t size, void* dst, size_t capacity, size_t* written);
LZW_API int lzw_frame_decompress(lzw_ctx* ctx, const void* src, size_t size, void* dst,
                                 size_t capacity, size_t* written);

/* lzw_frame_compress_stream, lzw_frame_decompress_stream - frames through callbacks
 *
 *   int lzw_frame_compress_stream(lzw_ctx *ctx, const lzw_frame_params *params,
 *                                 lzw_read_fn read, void *read_user,
 *                                 lzw_write_fn write, void *write_user);
 *   int lzw_frame_decompress_stream(lzw_ctx *ctx, lzw_read_fn read, void *read_user,
 *                                   lzw_write_fn write, void *write_user);
 *
 * As the calls in memory, on what `read` delivers, to `write`, with no size needed up front:
 * memory is about two blocks besides the context. params->content_size, when >= 0, is
 * recorded and the reads must give exactly that many bytes (LZW_ERROR_SIZE_MISMATCH
 * otherwise). Decompressing, a block reaches `write` only once its checksum has matched.
 */
LZW_API int lzw_frame_compress_stream(lzw_ctx* ctx, const lzw_frame_params* params,
                                      lzw_read_fn read, void* read_user, lzw_write_fn write,
                                      void* write_user);
LZW_API int lzw_frame_decompress_stream(lzw_ctx* ctx, lzw_read_fn read, void* read_user,
                                        lzw_write_fn write, void* write_user);

/* lzw_frame_decompress_mt, lzw_frame_decompress_stream_mt - frames decoded by worker threads
 *
 *   int lzw_frame_decompress_mt(lzw_ctx *ctx, int threads, const void *src, size_t size,
 *                               void *dst, size_t capacity, size_t *written);
 *   int lzw_frame_decompress_stream_mt(lzw_ctx *ctx, int threads, lzw_read_fn read,
 *                                      void *read_user, lzw_write_fn write, void *write_user);
 *
 * lzw_frame_decompress and lzw_frame_decompress_stream with `threads` workers (0: one per
 * core, 1: the calls above), as for lzw_frame_params.threads: the input is split at its block
 * headers and the blocks decoded and checked at once, then written in order, each only once
 * its checksum has matched. The same results, errors and bytes written before an error as the
 * calls above; LZW_ERROR_BAD_ARGUMENT also for a negative `threads`.
 */
LZW_API int lzw_frame_decompress_mt(lzw_ctx* ctx, int threads, const void* src, size_t size,
                                    void* dst, size_t capacity, size_t* written);
LZW_API int lzw_frame_decompress_stream_mt(lzw_ctx* ctx, int threads, lzw_read_fn read,
                                           void* read_user, lzw_write_fn write, void* write_user);

/* lzw_in_buffer, lzw_out_buffer - the caller's buffers of the caller-driven calls
 *
 * The call reads src[pos, size) and writes dst[pos, size), and advances each `pos` past
 * what it took or gave.
 */
typedef struct {
    const void* src;
    size_t size;
    size_t pos;
} lzw_in_buffer;
typedef struct {
    void* dst;
    size_t size;
    size_t pos;
} lzw_out_buffer;

/* What lzw_frame_encode and lzw_frame_decode return besides errors. */
#define LZW_FRAME_DONE 0         /* the frame is whole and all of it has been given out */
#define LZW_FRAME_NEEDS_INPUT 1  /* all input taken, nothing held back for `out` */
#define LZW_FRAME_NEEDS_OUTPUT 2 /* `out` is full and bytes are waiting for the next one */

/* lzw_frame_encoder - a frame written as the caller hands it input and room
 *
 *   lzw_frame_encoder *lzw_frame_encoder_create(const lzw_frame_params *params);
 *   int lzw_frame_encoder_reset(lzw_frame_encoder *enc, const lzw_frame_params *params);
 *   int lzw_frame_encode(lzw_frame_encoder *enc, lzw_in_buffer *in, lzw_out_buffer *out,
 *                        int end);
 *   void lzw_frame_encoder_free(lzw_frame_encoder *enc);
 *
 * For event loops and bindings: any buffer sizes, as zlib's deflate. Pass end = 0 while more
 * input will come, and end = 1 with the last of it (possibly none), then call again with
 * end = 1 while the call returns LZW_FRAME_NEEDS_OUTPUT. A block is cut only when it is full
 * or at the end, so the frame's bytes do not depend on how the input was handed over.
 * lzw_frame_encode returns LZW_FRAME_DONE once the frame's last byte is in `out` (end = 1),
 * LZW_FRAME_NEEDS_INPUT, LZW_FRAME_NEEDS_OUTPUT, or an error, after which only reset or free
 * may follow. After LZW_FRAME_DONE the frame is closed: a call with end = 1 and no input
 * returns LZW_FRAME_DONE again and writes nothing; one with input or with end = 0 takes
 * nothing and fails with LZW_ERROR_BAD_ARGUMENT. The encoder holds a context of its own and up to
 * two blocks; reset starts a new frame with the memory kept. create returns NULL for invalid params
 * or no memory.
 */
typedef struct lzw_frame_encoder lzw_frame_encoder;
LZW_API lzw_frame_encoder* lzw_frame_encoder_create(const lzw_frame_params* params);
LZW_API int lzw_frame_encoder_reset(lzw_frame_encoder* enc, const lzw_frame_params* params);
LZW_API int lzw_frame_encode(lzw_frame_encoder* enc, lzw_in_buffer* in, lzw_out_buffer* out,
                             int end);
LZW_API void lzw_frame_encoder_free(lzw_frame_encoder* enc);

/* lzw_frame_decoder - frames read as the caller hands them over
 *
 *   lzw_frame_decoder *lzw_frame_decoder_create(void);
 *   void lzw_frame_decoder_reset(lzw_frame_decoder *dec);
 *   int lzw_frame_decode(lzw_frame_decoder *dec, lzw_in_buffer *in, lzw_out_buffer *out);
 *   void lzw_frame_decoder_free(lzw_frame_decoder *dec);
 *
 * Decodes one frame (or skips one skippable frame) and stops at its end: bytes after it stay
 * in `in` for the caller (the next frame, or trailing data). Returns LZW_FRAME_DONE once the
 * frame has ended and all its bytes are in `out`, LZW_FRAME_NEEDS_INPUT when it took all of
 * `in` and holds nothing for `out` (an input that ends now is a truncated frame),
 * LZW_FRAME_NEEDS_OUTPUT when decoded bytes wait for room, or an error, after which only
 * reset or free may follow. A block's bytes reach `out` only once its checksum has matched.
 * After LZW_FRAME_DONE, reset starts the next frame with the memory kept.
 */
typedef struct lzw_frame_decoder lzw_frame_decoder;
LZW_API lzw_frame_decoder* lzw_frame_decoder_create(void);
LZW_API void lzw_frame_decoder_reset(lzw_frame_decoder* dec);
LZW_API int lzw_frame_decode(lzw_frame_decoder* dec, lzw_in_buffer* in, lzw_out_buffer* out);
LZW_API void lzw_frame_decoder_free(lzw_frame_decoder* dec);

/* lzw_reader - any range of a framed file's content, from any offset
 *
 *   typedef long long (*lzw_pread_fn)(void *user, void *buf, size_t size,
 *                                     unsigned long long offset);
 *   lzw_reader *lzw_reader_create(void);
 *   int lzw_reader_open(lzw_reader *reader, lzw_pread_fn read, void *user,
 *                       unsigned long long file_size);
 *   int lzw_reader_read(lzw_reader *reader, unsigned long long offset, void *dst, size_t size,
 *                       size_t *read);
 *   int lzw_reader_describe(const lzw_reader *reader, lzw_reader_info *info);
 *   int lzw_reader_frame(const lzw_reader *reader, unsigned long long index,
 *                        lzw_reader_frame_info *info);
 *   int lzw_reader_block(const lzw_reader *reader, unsigned long long index,
 *                        lzw_reader_block_info *info);
 *   int lzw_reader_fault(const lzw_reader *reader, long long *block,
 *                        unsigned long long *offset);
 *   void lzw_reader_free(lzw_reader *reader);
 *
 * The reader reads the file through `read`, a pread(2) of the caller's: it fills `buf` with up
 * to `size` bytes at `offset` and returns how many (fewer only at the end of the file), or -1.
 * open finds the frames from the end of the file, `file_size` bytes long: each frame's seek
 * table (LZW_FRAME_SEEK_TABLE) gives all its blocks, so a file of any size takes a few reads,
 * a concatenation of files with tables included. Where there is no table, or one that fails
 * its check or disagrees with its frame, it walks the block headers instead, a read per block;
 * a table is never trusted over a block's own header. It fails as a decoder fails on a file
 * that is not frames (LZW_ERROR_NOT_FRAME for a raw stream) or whose block headers are damaged.
 *
 * lzw_reader_read gives the content's bytes from `offset` (up to the end of the content: `*read`
 * is then less than `size`, 0 from the end on). It reads and decodes only the blocks the range
 * touches, each checked as every decoder checks it (its checksum is bound to its place), and
 * keeps the last block it decoded for the next call. A content checksum vouches for a whole
 * frame and is left to the decoders that read all of it. On an error, `*read` counts the bytes
 * of checked blocks given before it, and lzw_reader_fault says where: the block (from 1, over
 * all frames; 0 for a frame's header or end) and its offset in the file.
 *
 * lzw_reader_describe, _frame and _block tell what open found. A reader is for one thread at a
 * time: for reads from several threads at once, open one reader per thread. It holds a context
 * (2.7 MiB, once it decodes), a block and its payload, and 40 bytes per block.
 */
typedef long long (*lzw_pread_fn)(void* user, void* buf, size_t size, unsigned long long offset);
typedef struct lzw_reader lzw_reader;
typedef struct {
    unsigned long long content_size; /* all frames' content */
    unsigned long long frames;       /* frames with content, skippable ones not counted */
    unsigned long long skippable;    /* skippable frames other than seek tables */
    unsigned long long blocks;
    unsigned long long stored_blocks;
    int indexed;                   /* 1: every frame found by its seek table */
    unsigned long long read_calls; /* calls of `read` since open */
} lzw_reader_info;
typedef struct {
    lzw_frame_header header;
    unsigned long long offset;         /* of its magic, in the file */
    unsigned long long size;           /* its bytes, its seek table not counted */
    unsigned long long content_offset; /* where its content starts in the file's content */
    unsigned long long first_block;    /* its first block's index */
    unsigned long long blocks;
    int indexed; /* 1: found by its seek table */
} lzw_reader_frame_info;
typedef struct {
    unsigned long long offset;         /* of its header, in the file */
    unsigned long long content_offset; /* where its bytes start in the file's content */
    unsigned payload_size;             /* its payload's bytes */
    unsigned decoded_size;
    int stored;
    unsigned long long frame; /* its frame's index */
} lzw_reader_block_info;
LZW_API lzw_reader* lzw_reader_create(void);
LZW_API int lzw_reader_open(lzw_reader* reader, lzw_pread_fn read, void* user,
                            unsigned long long file_size);
LZW_API int lzw_reader_read(lzw_reader* reader, unsigned long long offset, void* dst, size_t size,
                            size_t* read);
LZW_API int lzw_reader_describe(const lzw_reader* reader, lzw_reader_info* info);
LZW_API int lzw_reader_frame(const lzw_reader* reader, unsigned long long index,
                             lzw_reader_frame_info* info);
LZW_API int lzw_reader_block(const lzw_reader* reader, unsigned long long index,
                             lzw_reader_block_info* info);
LZW_API int lzw_reader_fault(const lzw_reader* reader, long long* block,
                             unsigned long long* offset);
LZW_API void lzw_reader_free(lzw_reader* reader);

/* lzw_error_text - what a return value means
 *
 *   const char *lzw_error_text(int error);
 *
 * Returns a short English text for `error`, for messages; "" for LZW_OK; "unknown lzw
 * error" for a value that names no error. (The lzw program prints its own lines.) The text is
 * static: never free or change it.
 */
LZW_API const char* lzw_error_text(int error);

/* lzw_error_name - the name of a return value
 *
 *   const char *lzw_error_name(int error);
 *
 * Returns the name of `error` in lzw_error, such as "LZW_OK" or "LZW_ERROR_ENDS_EARLY", for
 * logs and messages in English; "unknown lzw error" for a value that names no error. The
 * names never change. The text is static: never free or change it.
 */
LZW_API const char* lzw_error_name(int error);

/* lzw_version - version of the library
 *
 *   const char *lzw_version(void);
 *
 * Returns the version as "MAJOR.MINOR.PATCH", the one `lzw --version` prints. A static text.
 * A library of this header gives LZW_VERSION_MAJOR, LZW_VERSION_MINOR and LZW_VERSION_PATCH.
 */
LZW_API const char* lzw_version(void);

#ifdef __cplusplus
}
#endif

#endif /* LZW_H */
