// The load client of bench/e2e.py: one process holding every websocket connection to a host.
//
//   e2e_client PORT CONNECTIONS EVENTS STALLED
//
// Opens CONNECTIONS websocket connections to 127.0.0.1:PORT, one after the other, and sends one
// subscription request on each. The first STALLED of them never read again (a small receive
// buffer, never polled). The others are read with epoll: every text frame that carries "seq" is
// an event; one that also carries "t": holds its publish time (CLOCK_MONOTONIC seconds, the clock
// of Python's time.monotonic), which gives its delay. Prints {"connected": N} once every
// connection is open, then, when each reading connection has EVENTS events (or nothing came for
// 60 s), one JSON line: counts, delays, its own CPU time from the first event to the last, and
// the data segments the reading connections received meanwhile (TCP_INFO), which tell how many
// frames the host's writes put in one segment. Written to cost far less per frame than the host.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { BUFFER = 1 << 16 };

typedef struct {
    int fd;
    size_t have;
    long events;
    int closed;
    unsigned char buf[BUFFER];
} Conn;

#include "e2e_clock.h"

// Data segments the connection has received so far: how many pieces the host's writes arrived in.
static long data_segments(const Conn* c) {
    struct tcp_info info;
    socklen_t len = sizeof info;
    if (getsockopt(c->fd, IPPROTO_TCP, TCP_INFO, &info, &len) < 0) return 0;
    return info.tcpi_data_segs_in;
}

static int cmp_double(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double* delays;
static size_t n_delays, cap_delays;

static void take_delay(double d) {
    if (n_delays == cap_delays) {
        cap_delays = cap_delays ? 2 * cap_delays : 1 << 16;
        delays = realloc(delays, cap_delays * sizeof *delays);
        if (!delays) { perror("realloc"); exit(2); }
    }
    delays[n_delays++] = d;
}

// Opens one connection: TCP, the opening handshake, one masked text frame with the request.
// Bytes that came after the handshake's reply are kept in the connection's buffer.
static void open_one(Conn* c, int port, int stalled) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) { perror("socket"); exit(2); }
    if (stalled) {
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) < 0) { perror("connect"); exit(2); }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char req[256];
    int n = snprintf(req, sizeof req,
                     "GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n", port);
    if (write(fd, req, n) != n) { perror("write"); exit(2); }
    c->fd = fd;
    c->have = 0;
    for (;;) {
        ssize_t got = read(fd, c->buf + c->have, BUFFER - c->have);
        if (got <= 0) { fprintf(stderr, "handshake: connection closed\n"); exit(2); }
        c->have += got;
        unsigned char* end = memmem(c->buf, c->have, "\r\n\r\n", 4);
        if (end) {
            if (memcmp(c->buf, "HTTP/1.1 101", 12) != 0) { fprintf(stderr, "handshake refused\n"); exit(2); }
            size_t head = end + 4 - c->buf;
            memmove(c->buf, c->buf + head, c->have - head);
            c->have -= head;
            break;
        }
    }
    // A zero mask leaves the payload as it is.
    static const char body[] = "{\"api_key\": \"k-bench\", \"subscribe\": [{\"doc_class\": \"Order\"}]}";
    unsigned char frame[2 + 4 + sizeof body];
    size_t len = sizeof body - 1;
    frame[0] = 0x81;
    frame[1] = 0x80 | (unsigned char)len;
    memset(frame + 2, 0, 4);
    memcpy(frame + 6, body, len);
    if (write(fd, frame, 6 + len) != (ssize_t)(6 + len)) { perror("write"); exit(2); }
}

// Reads the whole frames in the buffer; returns the events among them.
static long parse(Conn* c) {
    long events = 0;
    size_t at = 0;
    while (c->have - at >= 2) {
        unsigned char* p = c->buf + at;
        uint64_t len = p[1] & 0x7f;
        size_t head = 2;
        if (len == 126) {
            if (c->have - at < 4) break;
            len = (uint64_t)p[2] << 8 | p[3];
            head = 4;
        } else if (len == 127) {
            if (c->have - at < 10) break;
            len = 0;
            for (int i = 0; i < 8; i++) len = len << 8 | p[2 + i];
            head = 10;
        }
        if (head + len > BUFFER) { fprintf(stderr, "frame of %llu bytes\n", (unsigned long long)len); exit(2); }
        if (c->have - at < head + len) break;
        unsigned char* payload = p + head;
        int opcode = p[0] & 0x0f;
        if (opcode == 1 && memmem(payload, len, "\"seq\"", 5)) {
            events++;
            unsigned char* t = memmem(payload, len, "\"t\": ", 5);
            if (t) take_delay(now() - strtod((char*)t + 5, NULL));
        } else if (opcode == 8) {
            c->closed = 1;
        }
        at += head + len;
    }
    memmove(c->buf, c->buf + at, c->have - at);
    c->have -= at;
    return events;
}

int main(int argc, char** argv) {
    if (argc != 5) { fprintf(stderr, "usage: %s PORT CONNECTIONS EVENTS STALLED\n", argv[0]); return 2; }
    int port = atoi(argv[1]), count = atoi(argv[2]), stalled = atoi(argv[4]);
    long events = atol(argv[3]);
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    Conn* conns = calloc(count, sizeof *conns);
    int ep = epoll_create1(0);
    for (int i = 0; i < count; i++) {
        open_one(&conns[i], port, i < stalled);
        if (i < stalled) continue;
        struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &conns[i]};
        epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
    }
    long segments = 0;
    for (int i = stalled; i < count; i++) segments -= data_segments(&conns[i]);
    printf("{\"connected\": %d}\n", count);
    fflush(stdout);
    long want = events * (count - stalled), got = 0;
    for (int i = stalled; i < count; i++) got += conns[i].events = parse(&conns[i]);
    double first = 0, last = 0, cpu_first = 0, cpu_last = 0;
    struct epoll_event ready[256];
    while (got < want) {
        int n = epoll_wait(ep, ready, 256, 60000);
        if (n <= 0) break;
        for (int i = 0; i < n; i++) {
            Conn* c = ready[i].data.ptr;
            ssize_t r = read(c->fd, c->buf + c->have, BUFFER - c->have);
            if (r <= 0) {
                epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
                c->closed = 1;
                continue;
            }
            c->have += r;
            long e = parse(c);
            if (e) {
                last = now();
                cpu_last = cpu_s();
                if (!first) first = last, cpu_first = cpu_last;
                c->events += e;
                got += e;
            }
        }
    }
    long closed = 0;
    for (int i = 0; i < count; i++) closed += conns[i].closed;
    for (int i = stalled; i < count; i++) segments += data_segments(&conns[i]);
    double p50 = 0, p99 = 0;
    if (n_delays) {
        qsort(delays, n_delays, sizeof *delays, cmp_double);
        p50 = delays[(size_t)(0.50 * (n_delays - 1))];
        p99 = delays[(size_t)(0.99 * (n_delays - 1))];
    }
    printf("{\"events\": %ld, \"expected\": %ld, \"closed\": %ld, \"seconds\": %.6f, "
           "\"cpu\": %.6f, \"segments\": %ld, \"delays\": %zu, \"p50_ms\": %.3f, \"p99_ms\": %.3f}\n",
           got, want, closed, last - first, cpu_last - cpu_first, segments, n_delays, p50 * 1e3, p99 * 1e3);
    return got == want ? 0 : 1;
}
