// The POSIX timer wrapper: callbacks on their own thread with the record's argument,
// periodic and one-shot arming, first expiries taken as absolute clock times.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "ptimer.h"
#include "tc_system.h"

#if defined(__SANITIZE_THREAD__)
#define TCU_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TCU_UNDER_TSAN 1
#endif
#endif

namespace {

// glibc starts the SIGEV_THREAD helper thread behind ThreadSanitizer's back, and the
// first allocation on it crashes the sanitizer runtime: nothing to learn there.
#ifdef TCU_UNDER_TSAN
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "SIGEV_THREAD timers crash the ThreadSanitizer runtime"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

struct tick_counter {
    std::atomic<int> ticks{0};
    std::atomic<int> wrong_arg{0};
    void *expected = nullptr;
};

void on_tick(void *priv) {
    tick_counter *counter = static_cast<tick_counter *>(priv);
    if (counter->expected != priv) counter->wrong_arg++;
    counter->ticks++;
}

// Waits (bounded generously) until the counter reaches n.
bool wait_ticks(const tick_counter &counter, int n) {
    int64_t give_up = monotime_ms() + 10000;
    while (counter.ticks.load() < n && monotime_ms() < give_up) msleep(5);
    return counter.ticks.load() >= n;
}

// Callbacks run on threads of their own; let any in flight finish before the
// counter goes out of scope.
void settle(void) {
    msleep(100);
}

// Waits (bounded generously) until no tick has come for 200 ms: expiries from before a
// disarm may still be on their way on a loaded machine. A timer left armed never
// settles, and the bound ends the wait.
void settle_quiet(const tick_counter &counter) {
    int64_t give_up = monotime_ms() + 10000;
    for (;;) {
        int before = counter.ticks.load();
        msleep(200);
        if (counter.ticks.load() == before || monotime_ms() >= give_up) return;
    }
}

}  // namespace

TEST(Ptimer, PeriodicTimerCallsBackWithItsArgument) {
    SKIP_UNDER_TSAN();
    static tick_counter counter;
    counter.expected = &counter;
    ptimer_t timer{};
    com_ptimer_init(&timer, "monotonic", on_tick, &counter);
    ASSERT_EQ(timer.created, 1);
    // First expiry 1 ms after the monotonic clock's origin: long past, so it fires
    // at once, then every 10 ms.
    com_ptimer_reset(&timer, 1, 10);
    EXPECT_EQ(timer.it.it_value.tv_sec, 0);
    EXPECT_EQ(timer.it.it_value.tv_nsec, 1000000);
    EXPECT_EQ(timer.it.it_interval.tv_nsec, 10000000);
    EXPECT_TRUE(wait_ticks(counter, 3));

    com_ptimer_reset(&timer, 0, 0);  // a zero first expiry disarms
    settle_quiet(counter);
    int after_disarm = counter.ticks.load();
    settle();
    EXPECT_EQ(counter.ticks.load(), after_disarm);
    com_ptimer_exit(&timer);
    EXPECT_EQ(timer.created, 0);
    EXPECT_EQ(counter.wrong_arg.load(), 0);
}

TEST(Ptimer, OneShotAtAnAbsoluteTime) {
    SKIP_UNDER_TSAN();
    int64_t now = monotime_ms();
    if (now > INT_MAX - 1000) GTEST_SKIP() << "monotonic clock beyond an int of milliseconds";
    static tick_counter counter;
    counter.expected = &counter;
    ptimer_t timer{};
    com_ptimer_init(&timer, "monotonic", on_tick, &counter);
    com_ptimer_reset(&timer, (int)now + 30, 0);
    EXPECT_TRUE(wait_ticks(counter, 1));
    EXPECT_GE(monotime_ms(), now + 30);
    settle();
    EXPECT_EQ(counter.ticks.load(), 1);  // no interval: once only
    com_ptimer_exit(&timer);
}

TEST(Ptimer, SystimeFirstExpiryIsAlwaysPast) {
    SKIP_UNDER_TSAN();
    // An int of milliseconds on the wall clock reaches only into January 1970: any
    // start value fires at once.
    static tick_counter counter;
    counter.expected = &counter;
    ptimer_t timer{};
    com_ptimer_init(&timer, "systime", on_tick, &counter);
    com_ptimer_reset(&timer, INT_MAX, 0);
    EXPECT_TRUE(wait_ticks(counter, 1));
    settle();
    com_ptimer_exit(&timer);
}

TEST(Ptimer, NullAndUncreatedRecordsAreHarmless) {
    SKIP_UNDER_TSAN();
    com_ptimer_init(nullptr, "monotonic", on_tick, nullptr);
    com_ptimer_reset(nullptr, 1, 1);
    com_ptimer_exit(nullptr);

    ptimer_t never{};  // init never ran: nothing to arm or delete
    com_ptimer_reset(&never, 1, 1);
    com_ptimer_exit(&never);

    static tick_counter counter;
    counter.expected = &counter;
    ptimer_t timer{};
    com_ptimer_init(&timer, "monotonic", on_tick, &counter);
    com_ptimer_exit(&timer);
    com_ptimer_exit(&timer);  // second delete: logged, no crash
    com_ptimer_reset(&timer, 1, 1);
    settle();
    EXPECT_EQ(counter.ticks.load(), 0);

    // A record without a callback survives its expiry.
    ptimer_t silent{};
    com_ptimer_init(&silent, "monotonic", nullptr, nullptr);
    com_ptimer_reset(&silent, 1, 0);
    settle();
    com_ptimer_exit(&silent);
}
