// The C floor host of bench/e2e.py: what the socket costs, with no interpreter in the way.
//
//   e2e_floor CONNECTIONS EVENTS RATE NOTE BURST
//
// Listens on 127.0.0.1 (a port of the kernel's choosing), prints {"port": ..., "pid": ...}, and
// accepts websocket connections (the opening handshake, then every frame the client sends is
// read and dropped). Once CONNECTIONS are open it publishes EVENTS events, each one text frame
// built once and written to every connection with one write() per connection; BURST events per
// turn of its epoll loop (RATE 0), or RATE events per second (each then carries its publish time
// as "t", CLOCK_MONOTONIC seconds). A connection whose socket is full keeps the rest in an outbox
// of its own, written when the socket takes more. Waits for SIGUSR1 (the load client has every
// event), then prints its CPU time from the first event on, and its resident size, as the
// Python hosts of bench/e2e.py do.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { REQUEST = 4096, DEADLINE_S = 120 };

typedef struct {
    int fd;
    int open;  // the handshake is done
    int slot;  // its place in live[] once open
    size_t have;
    char request[REQUEST];
    unsigned char* out;  // bytes the socket did not take yet
    size_t out_len, out_cap;
} Conn;

static int ep, listener, opened, wanted;
static Conn** conns;  // by descriptor
static Conn** live;   // the open ones, opened of them
static int max_fd;
static volatile sig_atomic_t reported;

#include "e2e_clock.h"

static long rss_kb(void) {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// SHA-1 of a short message (RFC 3174), for Sec-WebSocket-Accept only.
static void sha1(const unsigned char* msg, size_t len, unsigned char out[20]) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    unsigned char block[64];
    size_t total = ((len + 8) / 64 + 1) * 64;
    for (size_t off = 0; off < total; off += 64) {
        for (size_t i = 0; i < 64; i++) {
            size_t at = off + i;
            block[i] = at < len ? msg[at] : at == len ? 0x80 : 0;
        }
        if (off + 64 == total) {
            uint64_t bits = (uint64_t)len * 8;
            for (int i = 0; i < 8; i++) block[63 - i] = (unsigned char)(bits >> (8 * i));
        }
        uint32_t w[80];
        for (int i = 0; i < 16; i++)
            w[i] = (uint32_t)block[4 * i] << 24 | block[4 * i + 1] << 16 | block[4 * i + 2] << 8 | block[4 * i + 3];
        for (int i = 16; i < 80; i++) {
            uint32_t x = w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16];
            w[i] = x << 1 | x >> 31;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; i++) {
            uint32_t f, k;
            if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
            else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
            else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            else f = b ^ c ^ d, k = 0xCA62C1D6;
            uint32_t t = (a << 5 | a >> 27) + f + e + k + w[i];
            e = d, d = c, c = b << 30 | b >> 2, b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    for (int i = 0; i < 20; i++) out[i] = (unsigned char)(h[i / 4] >> (24 - 8 * (i % 4)));
}

static void base64(const unsigned char* in, size_t len, char* out) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = in[i] << 16 | (i + 1 < len ? in[i + 1] << 8 : 0) | (i + 2 < len ? in[i + 2] : 0);
        out[o++] = digits[v >> 18 & 63];
        out[o++] = digits[v >> 12 & 63];
        out[o++] = i + 1 < len ? digits[v >> 6 & 63] : '=';
        out[o++] = i + 2 < len ? digits[v & 63] : '=';
    }
    out[o] = 0;
}

static void drop(Conn* c) {
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    if (c->open) {
        live[c->slot] = live[--opened];
        live[c->slot]->slot = c->slot;
    }
    conns[c->fd] = NULL;
    free(c->out);
    free(c);
}

static void want_out(Conn* c, int on) {
    struct epoll_event ev = {.events = EPOLLIN | (on ? EPOLLOUT : 0), .data.ptr = c};
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

static void keep(Conn* c, const unsigned char* data, size_t len) {
    if (c->out_len + len > c->out_cap) {
        c->out_cap = 2 * (c->out_len + len);
        c->out = realloc(c->out, c->out_cap);
        if (!c->out) { perror("realloc"); exit(2); }
    }
    memcpy(c->out + c->out_len, data, len);
    c->out_len += len;
}

// One write() when nothing waits before it; otherwise behind what waits.
static void send_frame(Conn* c, const unsigned char* frame, size_t len) {
    if (c->out_len) {
        keep(c, frame, len);
        return;
    }
    ssize_t n = write(c->fd, frame, len);
    if (n == (ssize_t)len) return;
    if (n < 0) {
        if (errno != EAGAIN) { drop(c); return; }
        n = 0;
    }
    keep(c, frame + n, len - n);
    want_out(c, 1);
}

static void flush(Conn* c) {
    ssize_t n = write(c->fd, c->out, c->out_len);
    if (n < 0) {
        if (errno != EAGAIN) drop(c);
        return;
    }
    memmove(c->out, c->out + n, c->out_len - n);
    c->out_len -= n;
    if (!c->out_len) want_out(c, 0);
}

static void handshake(Conn* c) {
    char* end = memmem(c->request, c->have, "\r\n\r\n", 4);
    if (!end) {
        if (c->have == REQUEST) drop(c);
        return;
    }
    *end = 0;
    char* key = strcasestr(c->request, "\r\nSec-WebSocket-Key:");
    if (!key) { drop(c); return; }
    key += 20;
    while (*key == ' ') key++;
    size_t key_len = strcspn(key, "\r\n ");
    unsigned char joined[128], digest[20];
    static const char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    if (key_len > sizeof joined - sizeof guid) { drop(c); return; }
    memcpy(joined, key, key_len);
    memcpy(joined + key_len, guid, sizeof guid - 1);
    sha1(joined, key_len + sizeof guid - 1, digest);
    char accept[32], reply[256];
    base64(digest, 20, accept);
    int n = snprintf(reply, sizeof reply,
                     "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n", accept);
    if (write(c->fd, reply, n) != n) { drop(c); return; }
    c->open = 1;
    c->slot = opened;
    live[opened++] = c;
}

// One turn of the loop: accepts, handshakes, drops what clients send, writes what waits.
static void turn(int timeout_ms) {
    struct epoll_event ready[256];
    int n = epoll_wait(ep, ready, 256, timeout_ms);
    for (int i = 0; i < n; i++) {
        if (ready[i].data.ptr == NULL) {
            int fd;
            while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
                if (fd >= max_fd) { close(fd); continue; }
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                Conn* c = calloc(1, sizeof *c);
                c->fd = fd;
                conns[fd] = c;
                struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
                epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            }
            continue;
        }
        Conn* c = ready[i].data.ptr;
        if (conns[c->fd] != c) continue;  // dropped earlier in this turn
        if (ready[i].events & EPOLLOUT && c->out_len) {
            flush(c);
            if (conns[c->fd] != c) continue;
        }
        if (ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            if (!c->open) {
                ssize_t got = read(c->fd, c->request + c->have, REQUEST - c->have);
                if (got <= 0) { drop(c); continue; }
                c->have += got;
                handshake(c);
            } else {
                unsigned char sink[4096];
                ssize_t got = read(c->fd, sink, sizeof sink);
                if (got == 0 || (got < 0 && errno != EAGAIN)) drop(c);
            }
        }
    }
}

static void on_usr1(int sig) {
    (void)sig;
    reported = 1;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s CONNECTIONS EVENTS RATE NOTE BURST\n", argv[0]);
        return 2;
    }
    wanted = atoi(argv[1]);
    long events = atol(argv[2]);
    double rate = atof(argv[3]);
    int note = atoi(argv[4]), burst = atoi(argv[5]);
    if (burst < 1) burst = 1;
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    max_fd = lim.rlim_cur > 1 << 20 ? 1 << 20 : (int)lim.rlim_cur;
    conns = calloc(max_fd, sizeof *conns);
    live = calloc(max_fd, sizeof *live);
    struct sigaction sa = {.sa_handler = on_usr1};
    sigaction(SIGUSR1, &sa, NULL);

    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addr_len = sizeof addr;
    if (bind(listener, (struct sockaddr*)&addr, sizeof addr) < 0 || listen(listener, 4096) < 0 ||
        getsockname(listener, (struct sockaddr*)&addr, &addr_len) < 0) {
        perror("listen");
        return 2;
    }
    ep = epoll_create1(0);
    struct epoll_event lev = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &lev);
    long rss0 = rss_kb();
    printf("{\"port\": %d, \"pid\": %d}\n", ntohs(addr.sin_port), getpid());
    fflush(stdout);

    double deadline = now() + DEADLINE_S;
    while (opened < wanted) {
        if (now() > deadline) { fprintf(stderr, "only %d connections\n", opened); return 1; }
        turn(10);
    }
    for (double settle = now() + 0.2; now() < settle;) turn(10);  // the last replies go out
    long rss1 = rss_kb(), peak = rss1;

    char* note_text = malloc(note + 1);
    memset(note_text, 'x', note);
    note_text[note] = 0;
    size_t cap = note + 512;
    unsigned char* frame = malloc(cap + 10);
    char* json = (char*)frame + 10;
    double cpu0 = cpu_s(), wall0 = now();
    for (long i = 1; i <= events; i++) {
        if (rate > 0) {
            double at = wall0 + (i - 1) / rate;
            for (double left; (left = at - now()) > 0;) turn((int)(left * 1000));
        }
        char stamp[48] = "";
        if (rate > 0) snprintf(stamp, sizeof stamp, ", \"t\": %.9f", now());
        int len = snprintf(json, cap,
                           "{\"doc_class\": \"Order\", \"op\": \"update\", \"seq\": \"%08ld\", \"message\": "
                           "{\"id\": \"A-%06ld\", \"region\": \"eu\", \"status\": \"paid\", \"total\": 123.45, "
                           "\"note\": \"%s\"%s}}",
                           i, i, note_text, stamp);
        unsigned char* start;
        if (len < 126) {
            start = frame + 8;
            start[1] = (unsigned char)len;
        } else if (len < 65536) {
            start = frame + 6;
            start[1] = 126, start[2] = (unsigned char)(len >> 8), start[3] = (unsigned char)len;
        } else {
            start = frame;
            start[1] = 127;
            for (int b = 0; b < 8; b++) start[2 + b] = (unsigned char)((uint64_t)len >> (56 - 8 * b));
        }
        start[0] = 0x81;
        size_t frame_len = (size_t)(frame + 10 + len - start);
        // Backwards: a connection dropped on the way takes the last one's place, already done.
        for (int k = opened - 1; k >= 0; k--) send_frame(live[k], start, frame_len);
        if (rate > 0 || i % burst == 0) turn(0);
        if (i % 64 == 0) {
            long r = rss_kb();
            if (r > peak) peak = r;
        }
    }
    double published = now() - wall0, cpu_published = cpu_s() - cpu0;
    deadline = now() + DEADLINE_S;
    while (!reported && now() < deadline) turn(100);
    double cpu = cpu_s() - cpu0;
    long r = rss_kb();
    if (r > peak) peak = r;
    printf("{\"cpu\": %.6f, \"published_s\": %.6f, \"cpu_published\": %.6f, \"rss_per_conn_kb\": %.3f, "
           "\"rss_growth_kb\": %ld, \"fell_behind\": null}\n",
           cpu, published, cpu_published, (double)(rss1 - rss0) / wanted, peak - rss1);
    fflush(stdout);
    return 0;
}
