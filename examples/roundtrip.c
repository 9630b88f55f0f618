/* Compresses a buffer with each policy through lzw.h, decompresses it and checks the bytes. */
#include <lzw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    /* Long enough to fill the dictionary, so that the three policies part ways. */
    static char text[100000], back[sizeof text];
    size_t size = 0;
    for (int line = 0; size + 80 < sizeof text; ++line) {
        size += (size_t)sprintf(text + size, "%lld: to be, or not to be, that is the question\n",
                                (long long)line * line * line);
    }

    const lzw_policy policies[] = {LZW_FREEZE, LZW_EVICT, LZW_RESET};
    for (int p = 0; p < 3; ++p) {
        size_t bound = lzw_compress_bound(size), packedSize = 0, backSize = 0;
        unsigned char* packed = malloc(bound);
        int rc = packed == NULL ? LZW_ERROR_NO_MEMORY
                                : lzw_compress(policies[p], text, size, packed, bound, &packedSize);
        if (rc == LZW_OK) {
            rc = lzw_decompress(policies[p], packed, packedSize, back, sizeof back, &backSize);
        }
        free(packed);
        if (rc != LZW_OK) {
            fprintf(stderr, "lzw %s, policy %d: %s\n", lzw_version(), p + 1, lzw_error_text(rc));
            return 1;
        }
        if (backSize != size || memcmp(back, text, size) != 0) {
            fprintf(stderr, "policy %d: the bytes came back changed\n", p + 1);
            return 1;
        }
        printf("policy %d: %zu bytes -> %zu -> %zu\n", p + 1, size, packedSize, backSize);
    }
    return 0;
}
