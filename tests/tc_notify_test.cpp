// The notification protocol from the manager's side: what arrives on a real AF_UNIX
// datagram socket (path and abstract name), and what the terminal does with
// variables that name nothing usable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "support/notify_listener.h"
#include "tc_notify.h"

namespace {

std::string unique_name(const char *prefix) {
    return std::string(prefix) + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

TEST(NotifyProtocol, OneDatagramToAPathSocket) {
    notify_listener_t mgr;
    ASSERT_TRUE(mgr.open("/tmp/" + unique_name("tcu_notify_")));
    tc_notify_t n;
    ASSERT_EQ(tc_notify_setup(&n, mgr.name.c_str(), nullptr, nullptr, getpid()), 1);
    EXPECT_EQ(tc_notify_send(&n, "READY=1\nSTATUS=up", 0), 0);
    EXPECT_EQ(mgr.next(), "READY=1\nSTATUS=up");
    EXPECT_EQ(n.watchdog_ms, 0);  // no WATCHDOG_USEC: no pings are due
    tc_notify_exit(&n);
}

TEST(NotifyProtocol, AbstractNameStartsWithAt) {
    notify_listener_t mgr;
    ASSERT_TRUE(mgr.open("@" + unique_name("tcu_notify_")));
    tc_notify_t n;
    ASSERT_EQ(tc_notify_setup(&n, mgr.name.c_str(), nullptr, nullptr, getpid()), 1);
    EXPECT_EQ(tc_notify_send(&n, "WATCHDOG=1", 0), 0);
    EXPECT_EQ(mgr.next(), "WATCHDOG=1");
    tc_notify_exit(&n);
}

TEST(NotifyProtocol, NoVariableNoSocketNothingSent) {
    tc_notify_t n;
    EXPECT_EQ(tc_notify_setup(&n, nullptr, "20000000", nullptr, getpid()), 0);
    EXPECT_LE(n.fd, 0);
    EXPECT_EQ(tc_notify_send(&n, "READY=1", 0), 1);
    tc_notify_exit(&n);
    // A record never set up (static storage) sends nothing either, to descriptor 0
    // least of all.
    tc_notify_t zero{};
    EXPECT_EQ(tc_notify_send(&zero, "STOPPING=1", 0), 1);
    EXPECT_EQ(tc_notify_send(nullptr, "READY=1", 0), -1);
    EXPECT_EQ(tc_notify_setup(nullptr, nullptr, nullptr, nullptr, 0), -1);
}

TEST(NotifyProtocol, NamesThatCannotBeASocketAreRefused) {
    const std::string too_long_path = "/" + std::string(107, 'x');  // no room left for the NUL
    const std::string longest_abstract = "@" + std::string(107, 'y');
    const std::string too_long_abstract = "@" + std::string(108, 'y');
    for (const std::string &bad :
         {std::string(""), std::string("relative/notify"), std::string("@"), std::string("/"),
          too_long_path, too_long_abstract}) {
        tc_notify_t n;
        EXPECT_EQ(tc_notify_setup(&n, bad.c_str(), "20000000", nullptr, getpid()), -2) << bad;
        EXPECT_EQ(tc_notify_send(&n, "READY=1", 0), 1) << bad;
    }
    // The longest abstract name that fits is taken and reaches its listener.
    notify_listener_t mgr;
    ASSERT_TRUE(mgr.open(longest_abstract));
    tc_notify_t n;
    ASSERT_EQ(tc_notify_setup(&n, longest_abstract.c_str(), nullptr, nullptr, getpid()), 1);
    EXPECT_EQ(tc_notify_send(&n, "READY=1", 0), 0);
    EXPECT_EQ(mgr.next(), "READY=1");
    tc_notify_exit(&n);
}

TEST(NotifyProtocol, MissingOrDeafManagerNeverBlocksAndLogsOnceAMinute) {
    // A path nobody is bound to.
    tc_notify_t n;
    std::string none = "/tmp/" + unique_name("tcu_notify_none_");
    unlink(none.c_str());
    ASSERT_EQ(tc_notify_setup(&n, none.c_str(), nullptr, nullptr, getpid()), 1);
    EXPECT_EQ(tc_notify_send(&n, "READY=1", 1000), -2);
    EXPECT_EQ(tc_notify_send(&n, "WATCHDOG=1", 2000), -2);
    EXPECT_EQ(tc_notify_send(&n, "WATCHDOG=1", 30000), -2);
    EXPECT_EQ(n.send_gate.suppressed, 2);  // one line so far
    EXPECT_EQ(tc_notify_send(&n, "WATCHDOG=1", 61000), -2);
    EXPECT_EQ(n.send_gate.suppressed, 0);  // the minute is over: the second line
    tc_notify_exit(&n);

    // A manager that does not read: its queue fills, and the send fails at once
    // instead of waiting for room.
    notify_listener_t deaf;
    ASSERT_TRUE(deaf.open("@" + unique_name("tcu_notify_deaf_")));
    ASSERT_EQ(tc_notify_setup(&n, deaf.name.c_str(), nullptr, nullptr, getpid()), 1);
    int sent = 0;
    int refused = 0;
    for (int i = 0; i < 5000 && refused == 0; i++) {
        int rc = tc_notify_send(&n, "WATCHDOG=1", 0);
        if (rc == 0) sent++;
        if (rc == -2) refused++;
    }
    EXPECT_GT(sent, 0);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(deaf.next(), "WATCHDOG=1");  // what was queued is intact
    tc_notify_exit(&n);
}

TEST(NotifyProtocol, WatchdogPeriodFromTheManagersVariables) {
    notify_listener_t mgr;
    ASSERT_TRUE(mgr.open("@" + unique_name("tcu_notify_")));
    const char *name = mgr.name.c_str();
    const std::string self = std::to_string(getpid());
    const std::string other = std::to_string(getpid() + 1);
    struct {
        const char *usec;
        const char *pid;
        int64_t period_ms;
    } cases[] = {
        {"20000000", nullptr, 20000},       // absent pid: ours
        {"20000000", self.c_str(), 20000},  // names this process
        {"20000000", other.c_str(), 0},     // another process's watchdog: no pings
        {"20000000", "12ab", 0},
        {"1000000", nullptr, 1000},  // the smallest period kept as given
        {"999999", nullptr, 1000},   // raised to 1 s (logged)
        {"1", nullptr, 1000},
        {"0", nullptr, 0},  // the manager keeps no watchdog
        {"", nullptr, 0},
        {"-5000000", nullptr, 0},
        {" 2000000", nullptr, 0},
        {"2000000s", nullptr, 0},
        {"99999999999999999999999", nullptr, 0},  // overflow
        {nullptr, nullptr, 0},
    };
    for (const auto &c : cases) {
        tc_notify_t n;
        ASSERT_EQ(tc_notify_setup(&n, name, c.usec, c.pid, getpid()), 1);
        EXPECT_EQ(n.watchdog_ms, c.period_ms) << (c.usec != nullptr ? c.usec : "(none)") << " pid "
                                              << (c.pid != nullptr ? c.pid : "-");
        tc_notify_exit(&n);
    }
}

}  // namespace
