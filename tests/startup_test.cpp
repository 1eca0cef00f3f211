// Start-up and shutdown of the whole terminal: in-process with absent settings,
// and the real program under a host-run tree.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "config.h"
#include "main.h"
#include "tc_system.h"
#include "tc_tcu.h"
#include "support/emu_detect.h"

namespace {

std::string make_root(const char *tag) {
    char tmpl[] = "/tmp/tcu_startup_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string cmd = std::string("bash ") + TCU_SOURCE_DIR + "/scripts/make_host_root.sh " + dir +
                      " tcu-no-if-" + tag + " 127.0.0.1 1 " + dir + "/dev/none >/dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return dir;
}

}  // namespace

// A missing configuration leaves every text absent: every link must still come
// up, run its worker and stop again when told to.
TEST(StartUp, RunReturnsWithOneAndShutdownJoinsEveryWorker) {
    std::string root = make_root("a");
    setenv("TCU_ROOT", root.c_str(), 1);
    tcu_config_init((root + "/home/root/etc/missing.json").c_str());
    EXPECT_EQ(tcu_config.ifname, nullptr);
    EXPECT_EQ(ccu_TCU_init(), 0);
    ccu_TCU_run(1);
    for (auto &t : threadTCU) EXPECT_NE(t.entry, nullptr);
    EXPECT_EQ(threadTCU[0].self, &modbusHW);
    EXPECT_EQ(threadTCU[1].self, &gooseGUNA);
    EXPECT_EQ(threadTCU[2].self, &gooseGUNB);
    EXPECT_EQ(threadTCU[3].self, &stm32F103);
    EXPECT_EQ(threadTCU[4].self, &ccuASTZQ);
    msleep(200);
    ccu_TCU_exit();  // returns only once every worker has seen its quit flag
    EXPECT_EQ(modbusHW.quit, 1);
    EXPECT_EQ(ccuASTZQ.quit, 1);
    unsetenv("TCU_ROOT");
    system(("rm -rf " + root).c_str());
}

TEST(StartUp, NullThreadRecordsAreIgnored) {
    tc_thread_init(nullptr, nullptr, nullptr);
    tc_thread_exit(nullptr);
}

TEST(StartUp, VersionTextFromTheBuildDate) {
    const char *v = formatAppVersion();
    ASSERT_EQ(strncmp(v, "app_ZQHW_V1R1-", 14), 0);
    int y, mo, d, h, mi, s;
    ASSERT_EQ(sscanf(v + 14, "%4d%2d%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s), 6);
    EXPECT_GE(y, 2024);
    EXPECT_GE(mo, 1);
    EXPECT_LE(mo, 12);
    EXPECT_EQ(strlen(v), strlen("app_ZQHW_V1R1-20250425 08:05:23"));
    EXPECT_EQ(formatAppVersion(), v);
}

// The real program prints its version line first and keeps running on absent peers.
TEST(StartUp, ProgramPrintsVersionLineAndStaysUp) {
    std::string root = make_root("b");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        setenv("TCU_ROOT", root.c_str(), 1);
        char *const argv[] = {(char *)"app_ZQHW", nullptr};
        emu_execv(TCU_BINARY_DIR "/app_ZQHW", argv);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    int64_t deadline = monotime_ms() + 20000;
    while (text.find("SW:") == std::string::npos ||
           text.find('\n', text.find("SW:")) == std::string::npos) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (monotime_ms() > deadline || poll(&p, 1, 500) < 0) break;
        char buf[4096];
        if (p.revents) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, (size_t)n);
        }
    }
    size_t at = text.find("\n\r\tSW:app_ZQHW_V1R1-");
    EXPECT_NE(at, std::string::npos) << text;
    msleep(500);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the program ended on its own";
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(out[0]);
    system(("rm -rf " + root).c_str());
}
