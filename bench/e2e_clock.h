/* The clocks both C programs of the end-to-end bench read: wall time and the process's CPU time,
   in seconds. */
#ifndef E2E_CLOCK_H
#define E2E_CLOCK_H

#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double cpu_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

#endif
