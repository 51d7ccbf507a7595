/* visa_loop: the in-process side of the VXI-11 comparison. It opens one session through the
 * VISA C API (kobrant's library, linked in) and makes COUNT queries on it, each one viWrite of
 * the command and viRead of the answer, then prints the mean time per query in nanoseconds.
 * Every answer must start with EXPECT, so a broken run cannot pass for a fast one.
 *
 *   visa_loop RESOURCE COMMAND EXPECT COUNT
 *
 * Build: cc -O2 -I include -o visa_loop visa_loop.c -L <lib dir> -lkobrant-visa
 */
#include <kobrant/visa.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static char answer[204810];

static double now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: visa_loop RESOURCE COMMAND EXPECT COUNT\n");
        return 2;
    }
    const char *command = argv[2], *expect = argv[3];
    long count = strtol(argv[4], NULL, 10);
    ViSession rm, vi;
    if (viOpenDefaultRM(&rm) < VI_SUCCESS || viOpen(rm, argv[1], VI_NULL, 5000, &vi) < VI_SUCCESS) {
        fprintf(stderr, "visa_loop: cannot open %s\n", argv[1]);
        return 1;
    }
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000);
    double start = now_ns();
    for (long i = 0; i < count; i++) {
        ViUInt32 n = 0;
        if (viWrite(vi, (ViConstBuf)command, (ViUInt32)strlen(command), &n) < VI_SUCCESS ||
            viRead(vi, (ViBuf)answer, sizeof answer, &n) < VI_SUCCESS ||
            n < strlen(expect) || memcmp(answer, expect, strlen(expect)) != 0) {
            fprintf(stderr, "visa_loop: query %ld failed\n", i);
            return 1;
        }
    }
    double per_query = (now_ns() - start) / (double)(count > 0 ? count : 1);
    viClose(rm);
    printf("%.0f\n", per_query);
    return 0;
}
