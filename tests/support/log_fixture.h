// The logger as the terminal runs it, for tests of the lines a module logs: its file
// in a fresh directory, its clock fixed at 2026-03-01 12:00:00 UTC, no console, and its
// mirror pointed at `server`, a reading LogTap standing for the log server.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "logger.h"
#include "support/log_tap.h"

class LogFixture : public testing::Test {
  protected:
    static time_t fixed_clock(void) {
        return 1772366400;  // 2026-03-01 12:00:00 UTC
    }
    // The process and thread columns of a line logged by the calling thread.
    static std::string ids(void) {
        char buf[64];
        snprintf(buf, sizeof buf, " PID:%6d TID:%6ld", (int)getpid(), (long)gettid());
        return buf;
    }

    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/tcu_logged_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved_clock = tcu_hooks.log_clock;
        tcu_hooks.log_clock = fixed_clock;
        tcu_hooks.log_console = 0;
        clog_init((dir / "tcu").c_str(), 1 << 20, 7);
        server.bind_logger();
    }
    void TearDown() override {
        clog_exit();
        tcu_hooks.log_clock = saved_clock;
        tcu_hooks.log_console = 1;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    LogTap server{LOG_TAP_READ};
    std::filesystem::path dir;
    time_t (*saved_clock)(void) = nullptr;
};
