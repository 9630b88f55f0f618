/* Compresses or decompresses a file into another through lzw.h's streams: the file is read
 * and written a buffer at a time, so the memory used stays the same however large it is.
 *
 *   stream [-F] c1|c2|c3|d1|d2|d3 INPUT OUTPUT
 *
 * "-" is standard input or output. The output is the one `lzw [-F] MODE INPUT OUTPUT`
 * writes. With -F, a compression writes a frame, which needs no length up front (a pipe
 * will do), and a decompression reads frames, whatever the mode's digit.
 */
#include <lzw.h>
#include <stdio.h>
#include <string.h>

static long long read_file(void* user, void* buf, size_t capacity) {
    FILE* file = user;
    size_t n = fread(buf, 1, capacity, file);
    return n == 0 && ferror(file) ? -1 : (long long)n;
}

static int write_file(void* user, const void* buf, size_t size) {
    return fwrite(buf, 1, size, user) == size ? 0 : -1;
}

int main(int argc, char** argv) {
    int framed = argc > 1 && strcmp(argv[1], "-F") == 0;
    const char* mode = argc == 4 + framed ? argv[1 + framed] : "";
    if (strlen(mode) != 2 || (mode[0] != 'c' && mode[0] != 'd') || mode[1] < '1' || mode[1] > '3') {
        fprintf(stderr, "usage: %s [-F] c1|c2|c3|d1|d2|d3 INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    const char* input = argv[2 + framed];
    const char* output = argv[3 + framed];
    lzw_policy policy = (lzw_policy)(mode[1] - '0');
    FILE* in = strcmp(input, "-") == 0 ? stdin : fopen(input, "rb");
    if (in == NULL) {
        perror(input);
        return 1;
    }
    /* A raw stream's header holds the input's length, so it must be known first. */
    long long size = -1;
    if (mode[0] == 'c' && !framed && fseek(in, 0, SEEK_END) == 0) {
        size = ftell(in);
        rewind(in);
    }
    if (mode[0] == 'c' && !framed && size < 0) {
        fprintf(stderr, "%s: the length of a pipe is not known before it ends (try -F)\n", input);
        fclose(in);
        return 1;
    }
    FILE* out = strcmp(output, "-") == 0 ? stdout : fopen(output, "wb");
    if (out == NULL) {
        perror(output);
        fclose(in);
        return 1;
    }

    lzw_ctx* ctx = lzw_ctx_create();
    lzw_frame_params params = LZW_FRAME_PARAMS_INIT(policy);
    int rc = LZW_ERROR_NO_MEMORY;
    if (ctx != NULL && mode[0] == 'c') {
        rc = framed ? lzw_frame_compress_stream(ctx, &params, read_file, in, write_file, out)
                    : lzw_compress_stream(ctx, policy, size, read_file, in, write_file, out);
    } else if (ctx != NULL) {
        rc = framed ? lzw_frame_decompress_stream(ctx, read_file, in, write_file, out)
                    : lzw_decompress_stream(ctx, policy, read_file, in, write_file, out);
    }
    lzw_ctx_free(ctx);
    if (fclose(out) != 0 && rc == LZW_OK) rc = LZW_ERROR_WRITE_FAILED;
    fclose(in);
    if (rc != LZW_OK) {
        fprintf(stderr, "%s: %s (%s)\n", input, lzw_error_text(rc), lzw_error_name(rc));
        return 1;
    }
    return 0;
}
