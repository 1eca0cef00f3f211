// The supervisor as the service manager sees it on its notification socket: READY
// once, WATCHDOG pings at half the period only while every heartbeat moves, STATUS
// when the text changes, STOPPING at the orderly stop. Time is handed in, so the
// schedule is checked turn by turn without sleeping.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "support/notify_listener.h"
#include "tc_tcu.h"
#include "tc_watch.h"

namespace {

std::string unique_name() {
    return std::string("@tcu_watch_") + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::string g_status = "all well";
void test_status(char *buf, int size, int64_t) {
    snprintf(buf, (size_t)size, "%s", g_status.c_str());
}

struct watch_fixture {
    notify_listener_t mgr;
    tc_watch_t w;
    std::atomic<uint32_t> hb[2] = {0, 0};

    bool start(const char *usec, const char *pid = nullptr) {
        if (!mgr.open(unique_name())) return false;
        if (tc_watch_setup(&w, mgr.name.c_str(), usec, pid, getpid()) != 1) return false;
        tc_watch_add(&w, "first", &hb[0], 500);
        tc_watch_add(&w, "second", &hb[1], 2000);
        return true;
    }
    void beat() {
        hb[0]++;
        hb[1]++;
    }
    ~watch_fixture() { tc_watch_exit(&w); }
};

TEST(WatchHeartbeat, PingsAtHalfThePeriodWhileEveryWorkerMoves) {
    watch_fixture f;
    ASSERT_TRUE(f.start("2000000"));  // 2 s: a ping every second
    ASSERT_EQ(tc_watch_ready(&f.w, 10000), 0);
    EXPECT_EQ(f.mgr.next(), "READY=1");
    EXPECT_EQ(f.mgr.next(), "WATCHDOG=1");  // the first ping follows at once
    for (int64_t t = 10250; t <= 13000; t += 250) {
        f.beat();
        EXPECT_EQ(tc_watch_tick(&f.w, t), 0);
        std::string got = f.mgr.pending();
        if (t == 11000 || t == 12000 || t == 13000)
            EXPECT_EQ(got, "WATCHDOG=1") << t;
        else
            EXPECT_EQ(got, "") << t;
    }
    EXPECT_EQ(f.w.pings, 4u);
}

TEST(WatchHeartbeat, AStalledWorkerStopsThePingsUntilItMovesAgain) {
    watch_fixture f;
    ASSERT_TRUE(f.start("2000000"));
    ASSERT_EQ(tc_watch_ready(&f.w, 0), 0);
    f.mgr.next();
    f.mgr.next();
    // "first" (limit 500 ms) stands still from t = 0; "second" keeps moving.
    for (int64_t t = 250; t <= 500; t += 250) {
        f.hb[1]++;
        EXPECT_EQ(tc_watch_tick(&f.w, t), 0) << t;  // within its longest wait
    }
    f.hb[1]++;
    EXPECT_EQ(tc_watch_tick(&f.w, 750), 1);  // 750 ms > 500 ms: named, pings held
    EXPECT_EQ(f.w.workers[0].stalled, 1);
    EXPECT_EQ(f.w.workers[1].stalled, 0);
    for (int64_t t = 1000; t <= 4000; t += 250) {
        f.hb[1]++;
        EXPECT_EQ(tc_watch_tick(&f.w, t), 1);
    }
    EXPECT_EQ(f.mgr.pending(), "");  // no ping at 1000, 2000, 3000 or 4000
    EXPECT_EQ(f.w.pings, 1u);
    // The worker moves again: the overdue ping goes out on the next look.
    f.beat();
    EXPECT_EQ(tc_watch_tick(&f.w, 4250), 0);
    EXPECT_EQ(f.mgr.pending(), "WATCHDOG=1");
    // The slower worker's own limit (2 s) is honoured as well.
    for (int64_t t = 4500; t <= 6250; t += 250) {
        f.hb[0]++;
        EXPECT_EQ(tc_watch_tick(&f.w, t), 0) << t;
    }
    f.hb[0]++;
    EXPECT_EQ(tc_watch_tick(&f.w, 6500), 1);
    EXPECT_EQ(f.w.workers[1].stalled, 1);
}

TEST(WatchHeartbeat, NoPingsForAnotherProcessOrWithoutAPeriod) {
    {
        watch_fixture f;
        std::string other = std::to_string(getpid() + 1);
        ASSERT_TRUE(f.start("2000000", other.c_str()));
        ASSERT_EQ(tc_watch_ready(&f.w, 0), 0);
        EXPECT_EQ(f.mgr.next(), "READY=1");  // readiness is still told
        for (int64_t t = 250; t <= 3000; t += 250) {
            f.beat();
            tc_watch_tick(&f.w, t);
        }
        EXPECT_EQ(f.mgr.pending(), "");
    }
    {
        watch_fixture f;
        ASSERT_TRUE(f.start("0"));
        ASSERT_EQ(tc_watch_ready(&f.w, 0), 0);
        EXPECT_EQ(f.mgr.next(), "READY=1");
        f.beat();
        tc_watch_tick(&f.w, 3000);
        EXPECT_EQ(f.mgr.pending(), "");
    }
}

TEST(WatchStatus, SentWithReadyThenOnlyWhenChangedAtMostOnceASecond) {
    watch_fixture f;
    ASSERT_TRUE(f.start("0"));
    f.w.status_fn = test_status;
    g_status = "power unit connected";
    ASSERT_EQ(tc_watch_ready(&f.w, 0), 0);
    EXPECT_EQ(f.mgr.next(), "READY=1\nSTATUS=power unit connected");
    f.beat();
    tc_watch_tick(&f.w, 1000);
    EXPECT_EQ(f.mgr.pending(), "");  // unchanged: nothing
    g_status = "power unit not connected";
    f.beat();
    tc_watch_tick(&f.w, 1250);  // changed, but the last look was 250 ms ago
    EXPECT_EQ(f.mgr.pending(), "");
    f.beat();
    tc_watch_tick(&f.w, 2000);
    EXPECT_EQ(f.mgr.pending(), "STATUS=power unit not connected");
    f.beat();
    tc_watch_tick(&f.w, 3000);
    EXPECT_EQ(f.mgr.pending(), "");
}

TEST(WatchStatus, StoppingIsToldOnceAndEndsThePings) {
    watch_fixture f;
    ASSERT_TRUE(f.start("2000000"));
    ASSERT_EQ(tc_watch_ready(&f.w, 0), 0);
    f.mgr.next();
    f.mgr.next();
    EXPECT_EQ(tc_watch_stopping(&f.w, 100), 0);
    EXPECT_EQ(f.mgr.next(), "STOPPING=1\nSTATUS=orderly stop in progress");
    EXPECT_EQ(tc_watch_stopping(&f.w, 200), 0);
    for (int64_t t = 250; t <= 3000; t += 250) {
        f.beat();
        tc_watch_tick(&f.w, t);
    }
    EXPECT_EQ(f.mgr.pending(), "");
    // A supervisor never set up (no manager) tells nothing, to descriptor 0 least of all.
    tc_watch_t zero{};
    EXPECT_EQ(tc_watch_stopping(&zero, 0), 0);
    EXPECT_EQ(tc_watch_tick(&zero, 0), 0);
}

// The technician's words, read from the live link records of this process.
TEST(WatchStatus, LinkStatusInWordsAndNeverWaitsOnAHeldLink) {
    char text[TC_WATCH_STATUS_SIZE];
    const int64_t now = 100000;
    tc_watch_status_links(text, (int)sizeof text, now);
    EXPECT_STREQ(text,
                 "power unit not connected (plain); gun A: controller not answering, idle, last "
                 "request none; gun B: controller not answering, idle, last request none; board "
                 "not answering; GOOSE key A not set, B not set");

    modbusHW.ssl_enable = 1;
    ccuASTZQ.answered_ms[0] = now - 1000;
    ccuASTZQ.answered_ms[1] = now - TC_WATCH_ANSWER_MS - 1;  // too long ago
    ccuASTZQ.answered_ms[2] = now;
    ccuASTZQ.stage_seen[0] = AST_CHARGING;
    ccuASTZQ.stage_seen[1] = 42;
    gooseGUNA.state = GHWS_POWER_REQUEST;
    gooseGUNA.power_request.type = PRT_CHARGING;
    gooseGUNA.HMAC[47] = 1;
    gooseGUNB.state = GHWS_SHUTDOWN_REQUEST;
    gooseGUNB.shutdown_request.reason = SRR_GUN_EMGSTOP;
    tc_watch_status_links(text, (int)sizeof text, now);
    EXPECT_STREQ(text,
                 "power unit not connected (TLS); gun A: controller answering, charging, last "
                 "request charging; gun B: controller not answering, stage 42, last request "
                 "shutdown (emergency stop); board answering; GOOSE key A set, B not set");

    // A link whose mutex another thread holds keeps its last look: no wait.
    pthread_mutex_lock(&gooseGUNA.mutex);
    gooseGUNA.power_request.type = PRT_PRECHARGING;
    tc_watch_status_links(text, (int)sizeof text, now);
    EXPECT_NE(strstr(text, "gun A: controller answering, charging, last request charging;"),
              nullptr)
        << text;
    pthread_mutex_unlock(&gooseGUNA.mutex);
    tc_watch_status_links(text, (int)sizeof text, now);
    EXPECT_NE(strstr(text, "last request precharge;"), nullptr) << text;
}

}  // namespace
