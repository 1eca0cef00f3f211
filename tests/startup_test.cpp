// Start-up and shutdown of the whole terminal: in-process with absent settings,
// and the real program under a host-run tree.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
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

struct running_program_t {
    pid_t pid = -1;
    int out = -1;
    std::string text;
};

// Starts the real program under root, its standard output on p->out.
bool spawn_program(const std::string &root, running_program_t *p) {
    int out[2];
    if (pipe(out) != 0) return false;
    p->pid = fork();
    if (p->pid < 0) return false;
    if (p->pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        struct rlimit no_core = {0, 0};  // the fatal-signal tests leave no core behind
        setrlimit(RLIMIT_CORE, &no_core);
        setenv("TCU_ROOT", root.c_str(), 1);
        char *const argv[] = {(char *)"app_ZQHW", nullptr};
        emu_execv(TCU_BINARY_DIR "/app_ZQHW", argv);
        _exit(127);
    }
    close(out[1]);
    p->out = out[0];
    return true;
}

// Starts it and waits until its workers run (the co-processor's first sample).
bool start_program(const std::string &root, running_program_t *p) {
    if (!spawn_program(root, p)) return false;
    int64_t deadline = monotime_ms() + 20000;
    for (;;) {
        struct pollfd q = {p->out, POLLIN, 0};
        if (monotime_ms() > deadline || poll(&q, 1, 500) < 0) break;
        char buf[4096];
        if (q.revents == 0) continue;
        ssize_t n = read(p->out, buf, sizeof buf);
        if (n <= 0) break;
        p->text.append(buf, (size_t)n);
        // The workers run once the co-processor has sampled its feedbacks.
        if (p->text.find("K0:") != std::string::npos) return true;
    }
    return p->text.find("K0:") != std::string::npos;
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
    running_program_t prog;
    ASSERT_TRUE(spawn_program(root, &prog));
    const pid_t pid = prog.pid;
    std::string text;
    int64_t deadline = monotime_ms() + 20000;
    while (text.find("SW:") == std::string::npos ||
           text.find('\n', text.find("SW:")) == std::string::npos) {
        struct pollfd p = {prog.out, POLLIN, 0};
        if (monotime_ms() > deadline || poll(&p, 1, 500) < 0) break;
        char buf[4096];
        if (p.revents) {
            ssize_t n = read(prog.out, buf, sizeof buf);
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
    close(prog.out);
    system(("rm -rf " + root).c_str());
}

namespace {

// Reads the program's output until it exits (bounded); its wait status, -1 if it did not.
int wait_exit(running_program_t *p, int bound_ms) {
    int64_t deadline = monotime_ms() + bound_ms;
    int status = 0;
    while (monotime_ms() < deadline) {
        char buf[4096];
        while (read(p->out, buf, sizeof buf) > 0) {
        }
        if (waitpid(p->pid, &status, WNOHANG) == p->pid) {
            close(p->out);
            return status;
        }
        msleep(20);
    }
    kill(p->pid, SIGKILL);
    waitpid(p->pid, &status, 0);
    close(p->out);
    return -1;
}

std::string value_of(const std::string &root, int gpio) {
    std::string path = root + "/sys/class/gpio/gpio" + std::to_string(gpio) + "/value";
    FILE *fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return "";
    char buf[16] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, fp);
    fclose(fp);
    std::string v(buf, n);
    while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
    return v;
}

void close_contactors_behind_its_back(const std::string &root) {
    for (int gpio : {405, 401, 400, 399}) {
        std::string path = root + "/sys/class/gpio/gpio" + std::to_string(gpio) + "/value";
        FILE *fp = fopen(path.c_str(), "w");
        if (fp != nullptr) {
            fputs("0\n", fp);
            fclose(fp);
        }
    }
}

std::string file_text(const std::string &path) {
    std::string text;
    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
    fclose(fp);
    return text;
}

}  // namespace

// SIGTERM: the guns are made safe (contactors open, LEDs off) and the process exits 0.
// Nothing else changes: the lines stay exported and driven, and the operator's file
// keeps "read the switches", a key this version does not know and its missing newline.
TEST(StartUp, SigtermOpensTheContactorsAndChangesNothingElse) {
    std::string root = make_root("c");
    const std::string config = root + "/home/root/etc/tcu_config.json";
    std::string text = file_text(config);
    text.replace(text.find("\"tcu_id\":\t\"0\""), 13, "\"tcu_id\":\t\"-1\"");
    text.insert(text.rfind('}'), "\t\"site_note\":\t\"bay 4\"\n");
    while (!text.empty() && text.back() == '\n') text.pop_back();
    FILE *fp = fopen(config.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    fwrite(text.data(), 1, text.size(), fp);
    fclose(fp);

    running_program_t p;
    ASSERT_TRUE(start_program(root, &p)) << p.text;
    close_contactors_behind_its_back(root);
    kill(p.pid, SIGTERM);
    int status = wait_exit(&p, 20000);
    ASSERT_NE(status, -1) << "the program did not end after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int gpio : {405, 401, 400, 399}) EXPECT_EQ(value_of(root, gpio), "1") << gpio;
    for (int gpio : {408, 409, 407, 397}) EXPECT_EQ(value_of(root, gpio), "1") << gpio;
    EXPECT_EQ(file_text(root + "/sys/class/gpio/unexport"), "") << "a line was released";
    EXPECT_EQ(file_text(config), text);
    system(("rm -rf " + root).c_str());
}

// A fatal signal mid-charge (the watchdog's abort, a crash) opens the contactors on the
// way out, and the process still ends by that signal.
TEST(StartUp, FatalSignalsOpenTheContactorsAndEndByTheSignal) {
    for (int sig : {SIGABRT, SIGSEGV}) {
        std::string root = make_root("f");
        running_program_t p;
        ASSERT_TRUE(start_program(root, &p)) << p.text;
        close_contactors_behind_its_back(root);
        kill(p.pid, sig);
        int status = wait_exit(&p, 20000);
        ASSERT_NE(status, -1) << strsignal(sig);
        ASSERT_TRUE(WIFSIGNALED(status)) << strsignal(sig);
        EXPECT_EQ(WTERMSIG(status), sig);
        for (int gpio : {405, 401, 400, 399})
            EXPECT_EQ(value_of(root, gpio), "1") << strsignal(sig) << " gpio" << gpio;
        system(("rm -rf " + root).c_str());
    }
}

// A second signal during the stop ends the process at once, the contactors open.
TEST(StartUp, SecondSignalEndsTheStopAtOnceWithContactorsOpen) {
    std::string root = make_root("d");
    running_program_t p;
    ASSERT_TRUE(start_program(root, &p)) << p.text;
    close_contactors_behind_its_back(root);
    kill(p.pid, SIGINT);
    msleep(50);  // inside the pause before the contactors are opened in order
    kill(p.pid, SIGINT);
    int status = wait_exit(&p, 20000);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    for (int gpio : {405, 401, 400, 399}) EXPECT_EQ(value_of(root, gpio), "1") << gpio;
    system(("rm -rf " + root).c_str());
}
