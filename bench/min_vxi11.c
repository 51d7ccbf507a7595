/* min_vxi11: the floor for in-process VXI-11 queries. The least a client can do over ONC RPC
 * on TCP: ask the port mapper for the core channel, create a link, then make COUNT queries, each
 * one device_write of the command (with END) and one device_read, over blocking sockets with
 * one send and as few receives as the reply takes. Prints the mean time per query in
 * nanoseconds; every answer must start with EXPECT and carry END.
 *
 *   min_vxi11 HOST COMMAND EXPECT COUNT
 *
 * Plain C, no dependencies: cc -O2 -o min_vxi11 min_vxi11.c
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { read_size = 204810 };

static unsigned char in[read_size + 4096];
static unsigned char out[4096 + 256];
static uint32_t xid;

static void put(unsigned char **p, uint32_t v)
{
    uint32_t be = htonl(v);
    memcpy(*p, &be, 4);
    *p += 4;
}

static uint32_t get(const unsigned char *p)
{
    uint32_t be;
    memcpy(&be, p, 4);
    return ntohl(be);
}

static int connect_to(const char *host, uint16_t port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* Sends one call: words, then (with opaque) its length, bytes and padding. */
static int call(int fd, uint32_t prog, uint32_t vers, uint32_t proc, const uint32_t *words, int n,
                const char *opaque, uint32_t opaque_len)
{
    unsigned char *p = out + 4;
    put(&p, ++xid);
    put(&p, 0);
    put(&p, 2);
    put(&p, prog);
    put(&p, vers);
    put(&p, proc);
    put(&p, 0);
    put(&p, 0);
    put(&p, 0);
    put(&p, 0);
    for (int i = 0; i < n; i++)
        put(&p, words[i]);
    if (opaque) {
        put(&p, opaque_len);
        memcpy(p, opaque, opaque_len);
        p += opaque_len;
        while ((p - out) % 4)
            *p++ = 0;
    }
    uint32_t mark = htonl(0x80000000u | (uint32_t)(p - out - 4));
    memcpy(out, &mark, 4);
    return send(fd, out, (size_t)(p - out), 0) == p - out ? 0 : -1;
}

/* Receives one reply record of a single fragment into in; returns a pointer to its results
 * (after the accepted reply's head), or NULL. */
static const unsigned char *reply(int fd, size_t *results_len)
{
    size_t have = 0, need = 4;
    while (have < need) {
        ssize_t n = recv(fd, in + have, sizeof in - have, 0);
        if (n <= 0)
            return NULL;
        have += (size_t)n;
        if (need == 4 && have >= 4) {
            uint32_t mark = get(in);
            if (!(mark & 0x80000000u) || (mark & 0x7FFFFFFFu) > sizeof in - 4)
                return NULL;
            need = 4 + (mark & 0x7FFFFFFFu);
        }
    }
    if (need < 28 || get(in + 4) != xid || get(in + 8) != 1 || get(in + 12) != 0 || get(in + 20) != 0 ||
        get(in + 24) != 0)
        return NULL;
    *results_len = need - 28;
    return in + 28;
}

static double now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: min_vxi11 HOST COMMAND EXPECT COUNT\n");
        return 2;
    }
    const char *command = argv[2], *expect = argv[3];
    long count = strtol(argv[4], NULL, 10);
    size_t len;
    const unsigned char *r;

    int mapper = connect_to(argv[1], 111);
    uint32_t getport[] = {0x0607AF, 1, 6, 0};
    if (mapper < 0 || call(mapper, 100000, 2, 3, getport, 4, NULL, 0) != 0 || !(r = reply(mapper, &len)) || len < 4)
        return fprintf(stderr, "min_vxi11: no port mapper answer\n"), 1;
    uint16_t port = (uint16_t)get(r);
    close(mapper);

    int fd = connect_to(argv[1], port);
    uint32_t link_parms[] = {(uint32_t)getpid(), 0, 0};
    if (fd < 0 || call(fd, 0x0607AF, 1, 10, link_parms, 3, "inst0", 5) != 0 || !(r = reply(fd, &len)) ||
        len < 16 || get(r) != 0)
        return fprintf(stderr, "min_vxi11: create_link failed\n"), 1;
    uint32_t lid = get(r + 4);

    double start = now_ns();
    for (long i = 0; i < count; i++) {
        uint32_t write_parms[] = {lid, 5000, 0, 0x08};
        if (call(fd, 0x0607AF, 1, 11, write_parms, 4, command, (uint32_t)strlen(command)) != 0 ||
            !(r = reply(fd, &len)) || len < 8 || get(r) != 0)
            return fprintf(stderr, "min_vxi11: device_write %ld failed\n", i), 1;
        uint32_t read_parms[] = {lid, read_size, 5000, 0, 0, 0};
        if (call(fd, 0x0607AF, 1, 12, read_parms, 6, NULL, 0) != 0 || !(r = reply(fd, &len)) || len < 12 ||
            get(r) != 0 || !(get(r + 4) & 4) || get(r + 8) < strlen(expect) ||
            memcmp(r + 12, expect, strlen(expect)) != 0)
            return fprintf(stderr, "min_vxi11: device_read %ld failed\n", i), 1;
    }
    double per_query = (now_ns() - start) / (double)(count > 0 ? count : 1);
    uint32_t destroy_parms[] = {lid};
    call(fd, 0x0607AF, 1, 23, destroy_parms, 1, NULL, 0);
    reply(fd, &len);
    close(fd);
    printf("%.0f\n", per_query);
    return 0;
}
