/* min_client: the floor the benchmarks compare kobrant against. It does the least a raw-socket
 * instrument client can do: connect, write one command line, read the answer, close.
 *
 *   min_client HOST PORT COMMAND            prints the answer line on stdout, however long,
 *                                           piece by piece as it arrives
 *   min_client HOST PORT COMMAND OUTFILE    reads a definite-length block answer
 *                                           (#<d><len><bytes>\n) and stores every byte of it
 *   min_client DEVICE - COMMAND [OUTFILE]   the same over a serial line (DEVICE: a path such
 *                                           as /dev/ttyUSB0 or a pseudo-terminal), set raw
 *
 * Reads go through one 204810-byte buffer, kobrant's default, so the block case compares the
 * same number of system calls. Exit status 0 only when the whole answer arrived and was stored;
 * a short or malformed answer is an error, so a broken run can never pass for a fast one.
 * Plain C, no dependencies: cc -O2 -o min_client min_client.c
 */
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

enum { buffer_size = 204810 };

/* A hung peer must fail the run rather than stall a benchmark forever. */
enum { receive_timeout_s = 30 };

static char buffer[buffer_size];

static int fail(const char *what)
{
    fprintf(stderr, "min_client: %s\n", what);
    return 1;
}

static int fail_errno(const char *what)
{
    fprintf(stderr, "min_client: %s: %s\n", what, strerror(errno));
    return 1;
}

static int connect_to(const char *host, const char *port)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = NULL;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "min_client: %s:%s: %s\n", host, port, gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (struct addrinfo *ai = found; ai != NULL; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        fail_errno("connect");
        return -1;
    }
    struct timeval limit = {receive_timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

/* A serial line, raw: bytes pass unchanged, reads return what has arrived. */
static int open_line(const char *device)
{
    int fd = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        fail_errno(device);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fail_errno(device);
        close(fd);
        return -1;
    }
    return fd;
}

static int write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= (size_t)n;
    }
    return 0;
}

/* The command goes out as one write ending in a newline, which is what ends a message on a raw
 * socket. */
static int send_command(int fd, const char *command)
{
    size_t len = strlen(command);
    if (len + 1 > sizeof buffer)
        return fail("command too long");
    memcpy(buffer, command, len);
    if (len == 0 || buffer[len - 1] != '\n')
        buffer[len++] = '\n';
    if (write_all(fd, buffer, len) != 0)
        return fail_errno("send");
    return 0;
}

static ssize_t receive(int fd, char *into, size_t len)
{
    for (;;) {
        ssize_t n = read(fd, into, len);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

/* Reads up to the answer's newline, passing each piece on as it comes: a line longer than the
 * buffer streams through it. */
static int query_line(int fd)
{
    for (;;) {
        ssize_t n = receive(fd, buffer, sizeof buffer);
        if (n < 0)
            return fail_errno("receive");
        if (n == 0) {
            fflush(stdout);
            return fail("connection closed before the end of the answer line");
        }
        char *newline = memchr(buffer, '\n', (size_t)n);
        size_t len = newline != NULL ? (size_t)(newline - buffer) + 1 : (size_t)n;
        if (fwrite(buffer, 1, len, stdout) != len)
            return fail_errno("stdout");
        if (newline != NULL) {
            if (fflush(stdout) != 0)
                return fail_errno("stdout");
            return 0;
        }
    }
}

/* Reads the "#<d><len>" header one byte at a time as it streams past, so a header split across
 * reads is handled. Returns the total answer size (header + data + newline) once known, 0 while
 * more header bytes are needed, -1 for a malformed header. */
struct block_header {
    int digits;
    int digits_seen;
    long long data_len;
    int seen; /* header bytes consumed so far */
};

static long long feed_header(struct block_header *h, char c)
{
    h->seen++;
    if (h->seen == 1)
        return c == '#' ? 0 : -1;
    if (h->seen == 2) {
        /* #0 is the indefinite form, whose end cannot be found from the header. */
        if (c < '1' || c > '9')
            return -1;
        h->digits = c - '0';
        return 0;
    }
    if (c < '0' || c > '9')
        return -1;
    h->data_len = h->data_len * 10 + (c - '0');
    if (++h->digits_seen < h->digits)
        return 0;
    return 2 + h->digits + h->data_len + 1;
}

static int query_block(int fd, const char *path)
{
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return fail_errno(path);

    struct block_header header = {0, 0, 0, 0};
    long long total = 0; /* 0 until the header has been read */
    long long received = 0;
    char last = 0;
    int status = 0;
    while (total == 0 || received < total) {
        size_t want = sizeof buffer;
        if (total > 0 && (long long)want > total - received)
            want = (size_t)(total - received);
        ssize_t n = receive(fd, buffer, want);
        if (n < 0) {
            status = fail_errno("receive");
            break;
        }
        if (n == 0) {
            status = fail("connection closed before the end of the block");
            break;
        }
        ssize_t keep = n;
        for (ssize_t i = 0; total == 0 && i < n; i++) {
            total = feed_header(&header, buffer[i]);
            if (total < 0) {
                status = fail("answer is not a definite-length block");
                break;
            }
            /* Bytes past the end of a tiny answer are not part of it. */
            if (total > 0 && total < received + n)
                keep = (ssize_t)(total - received);
        }
        if (write_all(out, buffer, (size_t)keep) != 0) {
            status = fail_errno(path);
            break;
        }
        received += keep;
        if (keep > 0)
            last = buffer[keep - 1];
        if (total < 0)
            break;
    }
    if (status == 0 && last != '\n')
        status = fail("block not followed by a newline");
    if (close(out) != 0 && status == 0)
        status = fail_errno(path);
    return status;
}

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: min_client HOST PORT COMMAND [OUTFILE]\n");
        return 2;
    }
    int fd = argv[1][0] == '/' ? open_line(argv[1]) : connect_to(argv[1], argv[2]);
    if (fd < 0)
        return 1;
    int status = send_command(fd, argv[3]);
    if (status == 0)
        status = argc == 5 ? query_block(fd, argv[4]) : query_line(fd);
    close(fd);
    return status;
}
