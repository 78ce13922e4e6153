// Phase timer: intervals, the pair rules of timers 8 to 11, refused clock
// types and the life of timer_g, with the clock set by the test.
#include <gtest/gtest.h>

#include "phase_timer.h"

#include <cstring>
#include <string>

namespace {
bool fake_clock = false;
struct timeval fake_now;

void set_clock(long sec, long usec) {
    fake_clock = true;
    fake_now.tv_sec = sec;
    fake_now.tv_usec = usec;
}

double seconds(long sec, long usec) { return (double)usec / 1000000.0 + (double)sec; }
} // namespace

extern "C" int __real_gettimeofday(struct timeval *tv, void *tz);
extern "C" int __wrap_gettimeofday(struct timeval *tv, void *tz) {
    if (!fake_clock) return __real_gettimeofday(tv, tz);
    *tv = fake_now;
    return 0;
}

class PhaseTimer : public ::testing::Test {
protected:
    void SetUp() override { pt = io_time_new(SYS_CLOCK); ASSERT_NE(pt, nullptr); }
    void TearDown() override {
        if (pt) io_time_destroy(pt);
        fake_clock = false;
    }
    io_time_t *pt = nullptr;
};

TEST_F(PhaseTimer, NewRecordIsZeroAndBecomesTheGlobalRecord) {
    EXPECT_EQ(timer_g, pt);
    EXPECT_EQ(pt->type, SYS_CLOCK);
    for (unsigned t = 0; t < NUM_TIMERS; t++) {
        EXPECT_EQ(get_time(pt, t), 0.0) << t;
        EXPECT_EQ(pt->reserved[t], 0.0);
        EXPECT_EQ(pt->sys_timer[t].tv_sec, 0);
        EXPECT_EQ(pt->sys_timer[t].tv_usec, 0);
    }
    // The layout that the benchmark and its readers share.
    EXPECT_EQ(offsetof(io_time_t, total_time), 8u);
    EXPECT_EQ(offsetof(io_time_t, reserved), 8u + 14 * 8);
    EXPECT_EQ(offsetof(io_time_t, sys_timer), 8u + 28 * 8);
    EXPECT_EQ(sizeof(io_time_t), 8u + 28 * 8 + 14 * 16);
}

TEST_F(PhaseTimer, StopsAddTheTimeSinceTheLatestStartAndKeepTheStamp) {
    set_clock(1000, 250000);
    ASSERT_EQ(set_time(pt, 3, 0), pt);
    set_clock(1001, 750000);
    ASSERT_EQ(set_time(pt, 3, 1), pt);
    EXPECT_NEAR(get_time(pt, 3), 1.5, 1e-6);
    EXPECT_EQ(pt->sys_timer[3].tv_sec, 1000);
    EXPECT_EQ(pt->sys_timer[3].tv_usec, 250000);
    // A second stop measures from the same start again.
    set_clock(1002, 0);
    ASSERT_EQ(set_time(pt, 3, 7), pt);
    EXPECT_NEAR(get_time(pt, 3), 1.5 + 1.75, 1e-6);
    // Nothing else moved.
    for (unsigned t = 0; t < NUM_TIMERS; t++)
        if (t != 3) {
            EXPECT_EQ(get_time(pt, t), 0.0) << t;
        }
}

TEST_F(PhaseTimer, StopWithoutStartMeasuresFromTheEpochAndStampsConvertInFull) {
    set_clock(1765000000, 123456);
    set_time(pt, 12, 1);
    EXPECT_EQ(get_time(pt, 12), seconds(1765000000, 123456));

    // Across a second boundary at a large time: each stamp is converted to
    // seconds on its own before subtracting, so the result carries the
    // rounding of those large values rather than being exactly 2e-6.
    set_clock(1765000000, 999999);
    set_time(pt, 2, 0);
    set_clock(1765000001, 1);
    set_time(pt, 2, 1);
    double full = seconds(1765000001, 1) - seconds(1765000000, 999999);
    EXPECT_EQ(get_time(pt, 2), full);
    EXPECT_NE(get_time(pt, 2), 2e-6);
    EXPECT_NEAR(get_time(pt, 2), 2e-6, 1e-6);
}

TEST_F(PhaseTimer, PairTimersFeedTotalsFourToSevenFromStartStamps) {
    // Start of 8 before 10 ever started: the whole time since the epoch.
    set_clock(5000, 100000);
    set_time(pt, 8, 0);
    EXPECT_NEAR(get_time(pt, 6), 5000.1, 1e-6);
    set_clock(5002, 600000);
    set_time(pt, 10, 0);
    EXPECT_NEAR(get_time(pt, 7), 0.0, 1e-6);  // only a stop of 10 adds
    set_clock(5010, 0);
    set_time(pt, 10, 1);
    EXPECT_NEAR(get_time(pt, 10), 7.4, 1e-6);           // now - start 10
    EXPECT_NEAR(get_time(pt, 7), 2.5, 1e-6);            // start 10 - start 8
    EXPECT_NEAR(get_time(pt, 6), 5000.1, 1e-6);         // unchanged by 10
    set_clock(5020, 0);
    set_time(pt, 8, 1);
    EXPECT_NEAR(get_time(pt, 8), 5020 - 5000.1, 1e-6);  // plain timer too
    EXPECT_NEAR(get_time(pt, 7), 2.5, 1e-6);            // a stop of 8 adds nothing else
    // The next start of 8 measures from the previous start of 10.
    set_clock(5030, 600000);
    set_time(pt, 8, 0);
    EXPECT_NEAR(get_time(pt, 6), 5000.1 + 28.0, 1e-6);

    // The other pair, 9 with 11, into totals 4 and 5.
    set_clock(6000, 0);
    set_time(pt, 9, 0);
    EXPECT_NEAR(get_time(pt, 4), 6000.0, 1e-6);
    set_clock(6001, 0);
    set_time(pt, 11, 0);
    set_clock(6004, 0);
    set_time(pt, 11, 1);
    EXPECT_NEAR(get_time(pt, 5), 1.0, 1e-6);
    EXPECT_NEAR(get_time(pt, 11), 3.0, 1e-6);
    set_clock(6010, 0);
    set_time(pt, 9, 0);
    EXPECT_NEAR(get_time(pt, 4), 6000.0 + 9.0, 1e-6);

    // Timers 4 to 7 run as plain timers into the same totals.
    set_clock(7000, 0);
    set_time(pt, 5, 0);
    set_clock(7000, 500000);
    set_time(pt, 5, 1);
    EXPECT_NEAR(get_time(pt, 5), 1.5, 1e-6);
}

TEST_F(PhaseTimer, ForeignClockTypesAreRefusedWithTheRecordUntouched) {
    struct Case {
        int32_t type;
        std::string message;
    };
    for (const Case &c : {Case{MPI_CLOCK, "MPI clock set in serial library\n"},
                          Case{7, "Unknown time clock type (7)\n"}}) {
        io_time_t *other = io_time_new(c.type);
        ASSERT_NE(other, nullptr);
        other->total_time[3] = 4.25;
        other->sys_timer[8].tv_sec = 99;
        io_time_t before;
        memcpy(&before, other, sizeof before);
        set_clock(123, 0);
        for (int stop : {0, 1}) {
            for (unsigned t : {3u, 8u, 10u}) {
                testing::internal::CaptureStderr();
                EXPECT_EQ(set_time(other, t, stop), nullptr);
                EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
            }
        }
        EXPECT_EQ(memcmp(&before, other, sizeof before), 0);
        EXPECT_EQ(get_time(other, 3), 4.25);
        io_time_destroy(other);
    }
}

TEST_F(PhaseTimer, DestroyNullsTheGlobalWhicheverRecordItHeld) {
    io_time_t *second = io_time_new(SYS_CLOCK);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(timer_g, second);
    io_time_destroy(pt);  // not the record timer_g points to
    pt = nullptr;
    EXPECT_EQ(timer_g, nullptr);
    io_time_destroy(second);
    EXPECT_EQ(timer_g, nullptr);
}
