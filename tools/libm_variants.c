/* Compare the C runtime's float functions between two ways of loading it:
 * as the process finds it, and with the tunables given in QUORLIN_OTHER_TUNABLES
 * (glibc chooses an FMA or a plain variant of several functions at load
 * time, from the CPU). Every one of the 2^32 float inputs is evaluated in
 * both processes; the child streams its results to the parent through a
 * pipe, so nothing is stored. Prints, per function, the count of inputs
 * whose bits differ and the first of them (as bits and value).
 *
 *   cc -O2 -o build/libm_variants tools/libm_variants.c -lm
 *   QUORLIN_OTHER_TUNABLES=glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA \
 *       build/libm_variants sinf cosf
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

typedef float (*unary)(float);

static unary lookup(const char *name)
{
    static const struct {
        const char *name;
        unary function;
    } table[] = {{"sinf", sinf}, {"cosf", cosf}, {"atanf", atanf}, {"sinhf", sinhf},
                 {"asinf", asinf}, {"expf", expf}, {"logf", logf}};
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (strcmp(table[i].name, name) == 0) return table[i].function;
    fprintf(stderr, "libm_variants: unknown function %s\n", name);
    exit(2);
}

enum { BLOCK = 1 << 16 };

static void fill(unary function, uint64_t start, uint32_t *out)
{
    for (uint32_t i = 0; i < BLOCK; ++i) {
        uint32_t in_bits = (uint32_t)(start + i);
        float x, y;
        memcpy(&x, &in_bits, 4);
        y = function(x);
        memcpy(&out[i], &y, 4);
    }
}

static int read_all(int fd, void *buffer, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t got = read(fd, (char *)buffer + done, size - done);
        if (got <= 0) return -1;
        done += (size_t)got;
    }
    return 0;
}

static int write_all(int fd, const void *buffer, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t put = write(fd, (const char *)buffer + done, size - done);
        if (put <= 0) return -1;
        done += (size_t)put;
    }
    return 0;
}

int main(int argc, char **argv)
{
    static uint32_t mine[BLOCK], theirs[BLOCK];
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
        unary function = lookup(argv[2]);
        for (uint64_t start = 0; start < (1ull << 32); start += BLOCK) {
            fill(function, start, mine);
            if (write_all(1, mine, sizeof mine)) return 1;
        }
        return 0;
    }
    const char *tunables = getenv("QUORLIN_OTHER_TUNABLES");
    if (argc < 2 || !tunables) {
        fprintf(stderr, "usage: QUORLIN_OTHER_TUNABLES=... %s FUNCTION...\n", argv[0]);
        return 2;
    }
    int status = 0;
    for (int f = 1; f < argc; ++f) {
        unary function = lookup(argv[f]);
        int pipe_ends[2];
        if (pipe(pipe_ends)) return 1;
        pid_t child = fork();
        if (child == 0) {
            dup2(pipe_ends[1], 1);
            close(pipe_ends[0]);
            setenv("GLIBC_TUNABLES", tunables, 1);
            execl("/proc/self/exe", argv[0], "--child", argv[f], (char *)NULL);
            _exit(127);
        }
        close(pipe_ends[1]);
        uint64_t differ = 0;
        for (uint64_t start = 0; start < (1ull << 32); start += BLOCK) {
            fill(function, start, mine);
            if (read_all(pipe_ends[0], theirs, sizeof theirs)) {
                fprintf(stderr, "libm_variants: the child stopped early\n");
                return 1;
            }
            for (uint32_t i = 0; i < BLOCK; ++i) {
                if (mine[i] == theirs[i]) continue;
                float x, a, b;
                uint32_t in_bits = (uint32_t)(start + i);
                memcpy(&x, &in_bits, 4);
                memcpy(&a, &mine[i], 4);
                memcpy(&b, &theirs[i], 4);
                if (isnan(a) && isnan(b)) continue;
                if (differ < 64)
                    printf("%s 0x%08x %.9g: 0x%08x here, 0x%08x there\n", argv[f], in_bits, (double)x,
                           mine[i], theirs[i]);
                ++differ;
            }
        }
        close(pipe_ends[0]);
        int child_status;
        waitpid(child, &child_status, 0);
        if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) status = 1;
        printf("%s: %llu of 4294967296 inputs differ\n", argv[f], (unsigned long long)differ);
    }
    return status;
}
