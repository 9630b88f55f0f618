/* Peak memory of a long stream through lzw.h's callbacks, read 4 KB at a time:
 *
 *   stream_memory c1|c2|c3 MB FILE   compresses MB megabytes of generated text into FILE
 *   stream_memory d1|d2|d3 MB FILE   decompresses FILE, checking every byte against the same text
 *
 * and prints the process's peak resident memory. Nothing holds the input or the output whole:
 * the text is made as it is read, and checked as it is written.
 */
#include <lzw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

enum { kReadSize = 4096 };

/* Words and numbers from a seeded generator: compressible, and varied enough to fill every
 * policy's dictionary again and again. */
typedef struct {
    uint64_t state;
    char word[24];
    size_t at, length;
    long long left; /* bytes still to make */
} Text;

static const char* const kWords[] = {"the",     "of",   "and",   "to",      "in",    "stream",
                                     "context", "code", "table", "phrase",  "reads", "writes",
                                     "policy",  "byte", "which", "without", "full",  "dictionary"};

static void text_start(Text* t, long long size) {
    memset(t, 0, sizeof *t);
    t->state = 0x9E3779B97F4A7C15ull;
    t->left = size;
}

static uint64_t text_random(Text* t) {
    t->state ^= t->state << 13;
    t->state ^= t->state >> 7;
    t->state ^= t->state << 17;
    return t->state;
}

static size_t text_make(Text* t, unsigned char* out, size_t n) {
    size_t made = 0;
    while (made < n && t->left > 0) {
        if (t->at == t->length) {
            uint64_t r = text_random(t);
            if (r % 8 == 0) {
                t->length = (size_t)snprintf(t->word, sizeof t->word, "%u ", (unsigned)(r >> 40));
            } else {
                const char* w = kWords[(r >> 8) % (sizeof kWords / sizeof kWords[0])];
                t->length =
                    (size_t)snprintf(t->word, sizeof t->word, "%s%s", w, r % 13 == 0 ? ".\n" : " ");
            }
            t->at = 0;
        }
        out[made++] = (unsigned char)t->word[t->at++];
        --t->left;
    }
    return made;
}

static long long read_text(void* user, void* buf, size_t capacity) {
    return (long long)text_make(user, buf, capacity < kReadSize ? capacity : kReadSize);
}

static long long read_file(void* user, void* buf, size_t capacity) {
    size_t n = fread(buf, 1, capacity < kReadSize ? capacity : kReadSize, user);
    return n == 0 && ferror((FILE*)user) ? -1 : (long long)n;
}

static int write_file(void* user, const void* buf, size_t size) {
    return fwrite(buf, 1, size, user) == size ? 0 : -1;
}

/* The decoded bytes against the text made anew. */
static int check_text(void* user, const void* buf, size_t size) {
    unsigned char want[kReadSize];
    const unsigned char* got = buf;
    while (size > 0) {
        size_t n = text_make(user, want, size < kReadSize ? size : kReadSize);
        if (n == 0 || memcmp(got, want, n) != 0) return -1;
        got += n;
        size -= n;
    }
    return 0;
}

int main(int argc, char** argv) {
    const char* mode = argc == 4 ? argv[1] : "";
    if (strlen(mode) != 2 || (mode[0] != 'c' && mode[0] != 'd') || mode[1] < '1' || mode[1] > '3') {
        fprintf(stderr, "usage: %s c1|c2|c3|d1|d2|d3 MB FILE\n", argv[0]);
        return 2;
    }
    lzw_policy policy = (lzw_policy)(mode[1] - '0');
    long long size = atoll(argv[2]) * 1000000;
    FILE* file = fopen(argv[3], mode[0] == 'c' ? "wb" : "rb");
    lzw_ctx* ctx = lzw_ctx_create();
    if (file == NULL || ctx == NULL) {
        perror(argv[3]);
        return 1;
    }
    Text text;
    text_start(&text, size);
    int rc = mode[0] == 'c'
                 ? lzw_compress_stream(ctx, policy, size, read_text, &text, write_file, file)
                 : lzw_decompress_stream(ctx, policy, read_file, file, check_text, &text);
    if (fclose(file) != 0 && rc == LZW_OK) rc = LZW_ERROR_WRITE_FAILED;
    lzw_ctx_free(ctx);
    if (rc == LZW_OK && text.left != 0) rc = LZW_ERROR_SIZE_MISMATCH; /* decoded too little */
    if (rc != LZW_OK) {
        fprintf(stderr, "%s: %s\n", mode, lzw_error_name(rc));
        return 1;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%s %lld bytes in %d-byte reads: peak resident memory %.1f MiB\n", mode, size, kReadSize,
           usage.ru_maxrss / 1024.0);
    return 0;
}
