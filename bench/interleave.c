/* Times short commands against each other, one run of each in turn, N times over: a drift of
 * the machine's speed then falls on all of them alike. For runs of about a millisecond, where
 * a shell loop timed by GNU time (whose CPU times tick in hundredths) moves by more than the
 * difference measured.
 *
 *   cc -O2 -o interleave bench/interleave.c
 *   ./interleave N 'lzw d1 in.lzw out' 'compress -d <in.Z >out.Z' ...
 *
 * Each command is split at spaces; a word "<FILE" is its standard input, ">FILE" its standard
 * output (default /dev/null for both). Prints, per command, the mean wall time, CPU time (user
 * + system) and minor page faults per run, the first round not counted. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { kMaxCommands = 16, kMaxWords = 32 };

static double seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 3 || argc - 2 > kMaxCommands || atoi(argv[1]) < 2) {
        fprintf(stderr, "usage: %s N COMMAND... (N >= 2, at most %d commands)\n", argv[0],
                kMaxCommands);
        return 2;
    }
    int rounds = atoi(argv[1]), count = argc - 2;
    char* words[kMaxCommands][kMaxWords + 1];
    const char* in[kMaxCommands];
    const char* out[kMaxCommands];
    double wall[kMaxCommands] = {0}, cpu[kMaxCommands] = {0}, faults[kMaxCommands] = {0};
    for (int c = 0; c < count; ++c) {
        int n = 0;
        in[c] = out[c] = "/dev/null";
        for (char* w = strtok(strdup(argv[c + 2]), " "); w != NULL; w = strtok(NULL, " ")) {
            if (w[0] == '<') {
                in[c] = w + 1;
            } else if (w[0] == '>') {
                out[c] = w + 1;
            } else if (n < kMaxWords) {
                words[c][n++] = w;
            }
        }
        words[c][n] = NULL;
    }
    for (int r = 0; r < rounds; ++r) {
        for (int c = 0; c < count; ++c) {
            double start = seconds();
            pid_t pid = fork();
            if (pid == 0) {
                int fd = open(in[c], O_RDONLY);
                if (fd >= 0) dup2(fd, 0);
                fd = open(out[c], O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) dup2(fd, 1);
                execvp(words[c][0], words[c]);
                _exit(127);
            }
            int status;
            struct rusage usage;
            if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return 1;
            if (r == 0) continue;  // the first round warms the caches
            wall[c] += seconds() - start;
            cpu[c] += (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
                      (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
            faults[c] += (double)usage.ru_minflt;
        }
    }
    for (int c = 0; c < count; ++c) {
        printf("%8.1f us wall %8.1f us CPU %6.1f faults  %s\n", wall[c] / (rounds - 1) * 1e6,
               cpu[c] / (rounds - 1) * 1e6, faults[c] / (rounds - 1), argv[c + 2]);
    }
    return 0;
}
