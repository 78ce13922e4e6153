/*
 * phase_timer.c - serial phase timer of the I/O benchmark.
 */
#include "phase_timer.h"

#include <quor7.h>

#include <stdio.h>
#include <stdlib.h>

io_time_t *timer_g = NULL;

/* later - earlier, in seconds.  Each stamp is turned into seconds in full
 * before subtracting. */
static double sub_time(const struct timeval *a, const struct timeval *b)
{
    double av = (double)a->tv_usec / 1000000.0 + (double)a->tv_sec;
    double bv = (double)b->tv_usec / 1000000.0 + (double)b->tv_sec;
    return av - bv;
}

io_time_t *io_time_new(int32_t type)
{
    io_time_t *pt = (io_time_t *)calloc(1, sizeof *pt);
    if (!pt)
        return NULL;
    timer_g = pt;
    pt->type = type;
    return pt;
}

void io_time_destroy(io_time_t *pt)
{
    free(pt);
    timer_g = NULL;
}

io_time_t *set_time(io_time_t *pt, unsigned t, int start_stop)
{
    switch (pt->type) {
    case SYS_CLOCK:
        break;
    case MPI_CLOCK:
        QRfprintf(stderr, "MPI clock set in serial library\n");
        return NULL;
    default:
        QRfprintf(stderr, "Unknown time clock type (%d)\n", pt->type);
        return NULL;
    }

    if (start_stop == 0) {
        (void)gettimeofday(&pt->sys_timer[t], NULL);
        if (t == 8)
            pt->total_time[6] += sub_time(&pt->sys_timer[8], &pt->sys_timer[10]);
        else if (t == 9)
            pt->total_time[4] += sub_time(&pt->sys_timer[9], &pt->sys_timer[11]);
    } else {
        struct timeval now;
        (void)gettimeofday(&now, NULL);
        pt->total_time[t] += sub_time(&now, &pt->sys_timer[t]);
        /* The pair totals are differences of start stamps only. */
        if (t == 10)
            pt->total_time[7] += sub_time(&pt->sys_timer[10], &pt->sys_timer[8]);
        else if (t == 11)
            pt->total_time[5] += sub_time(&pt->sys_timer[11], &pt->sys_timer[9]);
    }
    return pt;
}

double get_time(io_time_t *pt, unsigned t)
{
    return pt->total_time[t];
}
