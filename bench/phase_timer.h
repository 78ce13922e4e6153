/*
 * phase_timer.h - the serial phase timer of the I/O benchmark.
 *
 * Fourteen numbered timers, each with the time-of-day stamp of its latest
 * start and the seconds summed from that start to every stop.  Timers 8
 * to 11 form two pairs (8 with 10, 9 with 11) whose start stamps also feed
 * totals 4 to 7:
 *   start of 8:  total 6 += start 8  - start 10
 *   start of 9:  total 4 += start 9  - start 11
 *   stop of 10:  total 7 += start 10 - start 8
 *   stop of 11:  total 5 += start 11 - start 9
 * Only the system clock (clock type 0) is served; set_time refuses any
 * other clock type with a message on standard error.
 */
#ifndef PHASE_TIMER_H
#define PHASE_TIMER_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NUM_TIMERS 14

typedef enum clock_type {
    SYS_CLOCK = 0, /* time of day, microsecond resolution */
    MPI_CLOCK = 1  /* refused by this serial timer */
} clock_type;

/* Timer record.  Allocated zero-filled by io_time_new. */
typedef struct io_time_t {
    int32_t        type;                    /* clock type                  */
    double         total_time[NUM_TIMERS];  /* accumulated seconds         */
    double         reserved[NUM_TIMERS];    /* never read nor written      */
    struct timeval sys_timer[NUM_TIMERS];   /* start stamps                */
} io_time_t;

/* The record made by the latest io_time_new; null after io_time_destroy. */
extern io_time_t *timer_g;

/* New zero-filled record holding the clock type (not examined here);
 * also stored in timer_g.  When memory runs out: null, and timer_g is left
 * as it was. */
io_time_t *io_time_new(int32_t type);
/* Frees the record and sets timer_g to null, whichever record it held. */
void io_time_destroy(io_time_t *pt);
/* start_stop 0 starts timer t, any other value stops it.  Returns pt, or
 * null (record unchanged) when the clock type is not the system clock. */
io_time_t *set_time(io_time_t *pt, unsigned t, int start_stop);
/* Seconds accumulated on timer t. */
double get_time(io_time_t *pt, unsigned t);

#ifdef __cplusplus
}
#endif

#endif /* PHASE_TIMER_H */
