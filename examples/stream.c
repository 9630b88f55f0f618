/* Compresses or decompresses a file into another through lzw.h's streams: the file is read
 * and written a buffer at a time, so the memory used stays the same however large it is.
 *
 *   stream c1|c2|c3|d1|d2|d3 INPUT OUTPUT
 *
 * The output is the one `lzw MODE INPUT OUTPUT` writes.
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
    const char* mode = argc == 4 ? argv[1] : "";
    if (strlen(mode) != 2 || (mode[0] != 'c' && mode[0] != 'd') || mode[1] < '1' || mode[1] > '3') {
        fprintf(stderr, "usage: %s c1|c2|c3|d1|d2|d3 INPUT OUTPUT\n", argv[0]);
        return 2;
    }
    lzw_policy policy = (lzw_policy)(mode[1] - '0');
    FILE* in = fopen(argv[2], "rb");
    if (in == NULL) {
        perror(argv[2]);
        return 1;
    }
    /* The header that comes first holds the input's length. */
    long long size = -1;
    if (mode[0] == 'c' && fseek(in, 0, SEEK_END) == 0) {
        size = ftell(in);
        rewind(in);
    }
    if (mode[0] == 'c' && size < 0) {
        fprintf(stderr, "%s: the length of a pipe is not known before it ends\n", argv[2]);
        fclose(in);
        return 1;
    }
    FILE* out = fopen(argv[3], "wb");
    if (out == NULL) {
        perror(argv[3]);
        fclose(in);
        return 1;
    }

    lzw_ctx* ctx = lzw_ctx_create();
    int rc = LZW_ERROR_NO_MEMORY;
    if (ctx != NULL && mode[0] == 'c') {
        rc = lzw_compress_stream(ctx, policy, size, read_file, in, write_file, out);
    } else if (ctx != NULL) {
        rc = lzw_decompress_stream(ctx, policy, read_file, in, write_file, out);
    }
    lzw_ctx_free(ctx);
    if (fclose(out) != 0 && rc == LZW_OK) rc = LZW_ERROR_WRITE_FAILED;
    fclose(in);
    if (rc != LZW_OK) {
        fprintf(stderr, "%s: %s (%s)\n", argv[2], lzw_error_text(rc), lzw_error_name(rc));
        return 1;
    }
    return 0;
}
