// Logger: the ring at its edges, the writer's files (rotation by size and date,
// retention on a real directory, clock stepped back), the UDP mirror as a real
// socket on 127.0.0.1 sees it, colour clamping, long messages and the drain at exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "logger.h"
#include "support/log_fixture.h"
#include "support/log_tap.h"

namespace fs = std::filesystem;

namespace {

std::atomic<time_t> g_now{0};
time_t fake_clock(void) {
    return g_now.load();
}

time_t utc_of(int y, int mo, int d, int h, int mi, int s) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return timegm(&t);
}

// One call site: every line it emits on one thread has the same header length.
int emit(int level, const std::string &msg) {
    return clog_print(level, "TCU", "emit", "tests/logger_test.cpp", 42, "%s", msg.c_str());
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> v;
    for (auto &e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> logs_in(const fs::path &dir) {
    std::vector<std::string> v;
    for (auto &n : names_in(dir)) {
        time_t t;
        if (clog_parse_name("tcu", n.c_str(), &t) == 0) v.push_back(n);
    }
    return v;
}

void touch(const fs::path &p, const std::string &text = "old\n") {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

// Bounds below guard against hanging on a loaded machine; they are no timing checks.
bool wait_drained() {
    for (int i = 0; i < 10000; i++) {
        if (clog_drained()) return true;
        usleep(1000);
    }
    return false;
}

class Logger : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void SetUp() override {
        char tmpl[] = "/tmp/clog_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        base = (dir / "tcu").string();
        saved_clock = tcu_hooks.log_clock;
        tcu_hooks.log_clock = fake_clock;
        g_now = utc_of(2026, 3, 1, 12, 0, 0);
        tcu_hooks.log_console = 0;
        tcu_hooks.log_retry_ms = 10000;
    }
    void TearDown() override {
        clog_exit();
        tcu_hooks.log_clock = saved_clock;
        tcu_hooks.log_console = 1;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string all_logs() {
        std::string s;
        for (auto &n : logs_in(dir)) s += slurp(dir / n);
        return s;
    }
    fs::path dir;
    std::string base;
    time_t (*saved_clock)(void) = nullptr;
};

// Declared first: runs before any test starts the logger.
TEST(LoggerStopped, PrintsToStdoutBeforeInitAndSendsNothing) {
    EXPECT_EQ(clogger.active.load(), 0);
    EXPECT_EQ(clogger.zqlog_fd.load(), -1);
    testing::internal::CaptureStdout();
    int n = TCU_LOG(9, "before init %d\n", 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((int)out.size(), n);
    EXPECT_EQ(out.substr(0, 8), "\x1b[34;22m");
    EXPECT_EQ(out.substr(out.size() - 19), "before init 1\n\x1b[0m\n");
    clog_exit();
}

// ---- the ring on its own -------------------------------------------------------

TEST(LoggerRing, LineEndingAtRingEndThenWrapReadsBackInOrder) {
    auto clog = std::make_unique<clog_t>();
    clog->idx_r = clog->idx_w = CLOG_RING_SIZE - 100;
    std::string a(100, 'a'), b(50, 'b');
    a.back() = '\n';
    clog_ring_put(clog.get(), a.data(), (int)a.size());
    EXPECT_EQ(clog->idx_w, CLOG_RING_SIZE);
    clog_ring_put(clog.get(), b.data(), (int)b.size());
    EXPECT_EQ(clog->idx_w, 50);
    EXPECT_EQ(clog->bytes, 150);
    std::vector<char> out(CLOG_RING_SIZE);
    int n = clog_ring_take(clog.get(), out.data());
    ASSERT_EQ(n, 150);
    EXPECT_EQ(std::string(out.data(), (size_t)n), a + b);
    EXPECT_EQ(clog->bytes, 0);
    EXPECT_EQ(clog->idx_r, 50);
    EXPECT_EQ(clog_ring_take(clog.get(), out.data()), 0);
}

TEST(LoggerRing, OverflowKeepsNewestBytesFromWritePosition) {
    auto clog = std::make_unique<clog_t>();
    std::string all;
    for (int i = 0; all.size() < 40000; i++) {
        char line[64];
        int n = snprintf(line, sizeof line, "record %05d ...........................\n", i);
        clog_ring_put(clog.get(), line, n);
        all.append(line, (size_t)n);
    }
    EXPECT_EQ(clog->bytes, CLOG_RING_SIZE);
    EXPECT_EQ(clog->idx_r, clog->idx_w);
    std::vector<char> out(CLOG_RING_SIZE);
    int n = clog_ring_take(clog.get(), out.data());
    ASSERT_EQ(n, CLOG_RING_SIZE);
    EXPECT_EQ(std::string(out.data(), (size_t)n), all.substr(all.size() - CLOG_RING_SIZE));
}

// ---- the line ------------------------------------------------------------------

TEST_F(Logger, ColourClampedAndLongMessageCutWithResetIntact) {
    LogTap rx(LOG_TAP_READ);
    clog_init(base.c_str(), 1 << 20, 7);
    clog_bind_serverip("127.0.0.1", rx.port());
    std::string d;

    EXPECT_GT(emit(9, "nine\n"), 0);
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_EQ(d.substr(0, 11), "HW|\x1b[34;22m");
    emit(-3, "minus three\n");
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_EQ(d.substr(0, 11), "HW|\x1b[35;22m");
    const char *codes[6] = {"35;22m", "31;22m", "33;22m", "36;22m", "32;22m", "34;22m"};
    for (int lv = 0; lv < 6; lv++) {
        emit(lv, "level\n");
        ASSERT_TRUE(rx.recv_one(&d));
        EXPECT_EQ(d.substr(3, 8), std::string("\x1b[") + codes[lv]) << lv;
    }

    // Header layout: stamp, ids, tag, caller, message, then a line holding only the reset.
    int n = emit(3, "hello 7\n");
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_EQ((int)d.size(), n + 3);
    EXPECT_NE(d.find("2026-03-01 12:00:00 PID:"), std::string::npos) << d;
    EXPECT_NE(d.find(" TCU  emit "), std::string::npos) << d;
    EXPECT_NE(d.find("  logger_test.cpp: 42 | hello 7\n\x1b[0m\n"), std::string::npos) << d;

    std::string huge(3000, 'x');
    huge += "\n";
    n = emit(1, huge);
    EXPECT_LE(n, CLOG_LINE_MAX);
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_EQ((int)d.size(), n + 3);
    EXPECT_LE(d.size(), (size_t)CLOG_DGRAM_SIZE);
    EXPECT_EQ(d.substr(d.size() - 7), "x\n\x1b[0m\n");

    // A caller name, file name and tag far beyond their columns still leave room.
    std::string longname(300, 'f');
    n = clog_print(2, "LONGTAG", longname.c_str(), longname.c_str(), 123456, "%s", huge.c_str());
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_LE(d.size(), (size_t)CLOG_DGRAM_SIZE);
    EXPECT_EQ(d.substr(d.size() - 5), "\x1b[0m\n");

    ASSERT_TRUE(wait_drained());
    std::string file = all_logs();
    EXPECT_EQ(file.substr(file.size() - (size_t)n), d.substr(3));
}

// ---- the line as the log server gets it ---------------------------------------
// Its own fixture: the logger started as the terminal starts it, clock fixed, the
// mirror bound after start-up.

class LoggerLayout : public LogFixture {};

// Colour, stamp, ids, tag, caller columns, message, reset line: byte for byte, in
// the datagram and in the file alike.
TEST_F(LoggerLayout, LogLineLayoutByteForByte) {
    int n = clog_print(3, "TCU", "ccu_Update_GUNA_WorkState", "/build/src/tc_tcu.cpp", 7,
                       "0x110B:%d\n", 8);
    // Function left-aligned in 33 columns, file base name right-aligned in 17.
    std::string want = "\x1b[36;22m2026-03-01 12:00:00" + ids() +
                       " TCU  ccu_Update_GUNA_WorkState" + std::string(33 - 25, ' ') + " " +
                       std::string(17 - 10, ' ') + "tc_tcu.cpp:  7 | 0x110B:8\n\x1b[0m\n";
    std::string d;
    ASSERT_TRUE(server.recv_one(&d));
    EXPECT_EQ(d, "HW|" + want);
    EXPECT_EQ(n, (int)want.size());

    // No tag: the field is left out. A function name past its column pushes the rest
    // right; the caller field is cut at 63 characters.
    const std::string longname(40, 'f');
    clog_print(9, nullptr, longname.c_str(), "a.cpp", 1234, "m\n");
    ASSERT_TRUE(server.recv_one(&d));
    std::string caller = " " + longname + "             a.cpp:1234 | ";
    caller.resize(63);
    EXPECT_EQ(d, "HW|\x1b[34;22m2026-03-01 12:00:00" + ids() + caller + "m\n\x1b[0m\n");

    for (int i = 0; i < 1000 && !clog_drained(); i++) msleep(10);
    std::ifstream in(dir / "tcu_20260301_120000.log", std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(file.substr(0, want.size()), want);
}

// ---- the ring behind the writer ------------------------------------------------

TEST_F(Logger, LineEndingExactlyAtRingEndIsWrittenInOrder) {
    clog_init(base.c_str(), 1 << 20, 7);
    int l0 = emit(4, "x\n");
    int header = l0 - 2 - 5;
    ASSERT_TRUE(wait_drained());
    std::string before = all_logs();

    tcu_hooks.log_hold = 1;
    // Park both indices 300 bytes before the end of an empty ring.
    pthread_mutex_lock(&clogger.mutex);
    clogger.idx_r = clogger.idx_w = CLOG_RING_SIZE - 300;
    pthread_mutex_unlock(&clogger.mutex);
    std::string msg(300 - header - 5 - 1, 'e');
    msg += "\n";
    EXPECT_EQ(emit(4, msg), 300);
    pthread_mutex_lock(&clogger.mutex);
    EXPECT_EQ(clogger.idx_w, CLOG_RING_SIZE);
    pthread_mutex_unlock(&clogger.mutex);
    emit(4, "after the wrap\n");
    pthread_mutex_lock(&clogger.mutex);
    EXPECT_EQ(clogger.idx_w, header + 15 + 5);
    pthread_mutex_unlock(&clogger.mutex);
    tcu_hooks.log_hold = 0;

    ASSERT_TRUE(wait_drained());
    std::string added = all_logs().substr(before.size());
    size_t first = added.find(msg + "\x1b[0m\n");
    size_t second = added.find("after the wrap\n\x1b[0m\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_EQ(added.size(), (size_t)300 + header + 20);
}

TEST_F(Logger, BurstWhileWriterHeldLeavesNewest32768Bytes) {
    LogTap rx(LOG_TAP_READ);
    clog_init(base.c_str(), 1 << 20, 7);
    clog_bind_serverip("127.0.0.1", rx.port());
    ASSERT_TRUE(wait_drained());
    size_t before = all_logs().size();

    tcu_hooks.log_hold = 1;
    std::string sent;
    for (int i = 0; sent.size() < 40000; i++) {
        char msg[128];
        snprintf(msg, sizeof msg, "burst %04d %s\n", i, std::string(100 + i % 50, '.').c_str());
        emit(3, msg);
        std::string d;
        ASSERT_TRUE(rx.recv_one(&d));
        sent += d.substr(3);
    }
    tcu_hooks.log_hold = 0;
    ASSERT_TRUE(wait_drained());
    std::string added = all_logs().substr(before);
    EXPECT_EQ(added.size(), (size_t)CLOG_RING_SIZE);
    EXPECT_EQ(added, sent.substr(sent.size() - CLOG_RING_SIZE));
}

TEST_F(Logger, ExitDrainsWhatIsQueuedFromManyThreads) {
    clog_init(base.c_str(), 1 << 20, 7);
    ASSERT_TRUE(wait_drained());
    tcu_hooks.log_hold = 1;
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++)
        th.emplace_back([t] {
            for (int i = 0; i < 25; i++) TCU_LOG(3, "thread %d line %02d\n", t, i);
        });
    for (auto &x : th) x.join();
    std::thread stopper([] { clog_exit(); });
    for (int i = 0; i < 10000 && clogger.quit.load() == 0; i++) usleep(1000);
    EXPECT_EQ(clogger.quit.load(), 1);
    tcu_hooks.log_hold = 0;
    stopper.join();

    std::string file = all_logs();
    for (int t = 0; t < 4; t++) {
        size_t last = 0;
        for (int i = 0; i < 25; i++) {
            char key[64];
            snprintf(key, sizeof key, "thread %d line %02d\n\x1b[0m\n", t, i);
            size_t at = file.find(key);
            ASSERT_NE(at, std::string::npos) << key;
            EXPECT_GE(at, last);
            last = at;
        }
    }

    // Stopped: lines go straight to standard output, nothing crashes.
    testing::internal::CaptureStdout();
    int n = TCU_LOG(1, "after exit\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((int)out.size(), n);
    EXPECT_NE(out.find("after exit\n\x1b[0m\n"), std::string::npos);
    clog_exit();
}

// ---- rotation --------------------------------------------------------------------

TEST_F(Logger, RotatesBySizeAndSkipsOversizeChunk) {
    clog_init(base.c_str(), 1000, 50);
    std::vector<std::string> lines;
    for (int i = 0; i < 12; i++) {
        char msg[160];
        snprintf(msg, sizeof msg, "rec-%02d %s\n", i, std::string(60, '-').c_str());
        emit(4, msg);
        ASSERT_TRUE(wait_drained());
    }
    auto logs = logs_in(dir);
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[0], "tcu_20260301_120000.log");
    // Rotations within one second get the next free second in their names.
    EXPECT_EQ(logs[1], "tcu_20260301_120001.log");
    std::string joined;
    for (auto &n : logs) {
        std::string s = slurp(dir / n);
        EXPECT_LT(s.size(), 1000u) << n;
        joined += s;
    }
    size_t last = 0;
    for (int i = 0; i < 12; i++) {
        char key[16];
        snprintf(key, sizeof key, "rec-%02d ", i);
        size_t at = joined.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GE(at, last);
        last = at;
    }
    clog_exit();

    // A chunk above the limit reaches standard output, opens a new file and stays out of it.
    fs::remove_all(dir);
    fs::create_directory(dir);
    tcu_hooks.log_console = 1;
    clog_init(base.c_str(), 300, 7);
    testing::internal::CaptureStdout();
    emit(1, std::string(300, 'o') + "\n");
    ASSERT_TRUE(wait_drained());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::string(300, 'o')), std::string::npos);
    logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(slurp(dir / logs[0]), "");
    EXPECT_EQ(slurp(dir / logs[1]), "");
}

// A symbolic link planted under the name of the next log file is not followed: the
// file it points at stays as it was.
TEST_F(Logger, SymlinkUnderTheLogNameIsNotFollowed) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "untouched\n";
    fs::create_symlink(victim, dir / "tcu_20260301_120000.log");
    clog_init(base.c_str(), 1 << 20, 7);
    emit(4, "must not reach the file behind the link\n");
    ASSERT_TRUE(wait_drained());
    clog_exit();
    EXPECT_EQ(slurp(victim), "untouched\n");
}

// A chunk that brings the file exactly to the limit starts a new file: the limit is
// never reached inside one.
TEST_F(Logger, ChunkReachingTheLimitGoesIntoANewFile) {
    const std::string msg = "exactly half of the limit\n";
    clog_init(base.c_str(), 1 << 20, 7);
    const int n = emit(4, msg);  // the length of every line of this site and thread
    ASSERT_TRUE(wait_drained());
    clog_exit();
    fs::remove_all(dir);
    fs::create_directory(dir);

    clog_init(base.c_str(), 2 * n, 7);
    ASSERT_EQ(emit(4, msg), n);
    ASSERT_TRUE(wait_drained());
    ASSERT_EQ(emit(4, msg), n);
    ASSERT_TRUE(wait_drained());
    auto logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(slurp(dir / logs[0]).size(), (size_t)n);
    EXPECT_EQ(slurp(dir / logs[1]).size(), (size_t)n);
}

TEST_F(Logger, RotatesAtChangeOfLocalDate) {
    g_now = utc_of(2026, 3, 1, 23, 59, 50);
    clog_init(base.c_str(), 1 << 20, 7);
    emit(3, "before midnight\n");
    ASSERT_TRUE(wait_drained());
    g_now = utc_of(2026, 3, 1, 23, 59, 59);
    emit(3, "still the first\n");
    ASSERT_TRUE(wait_drained());
    g_now = utc_of(2026, 3, 2, 0, 0, 7);
    emit(3, "after midnight\n");
    ASSERT_TRUE(wait_drained());

    auto logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], "tcu_20260301_235950.log");
    EXPECT_EQ(logs[1], "tcu_20260302_000007.log");
    std::string a = slurp(dir / logs[0]), b = slurp(dir / logs[1]);
    EXPECT_NE(a.find("before midnight"), std::string::npos);
    EXPECT_NE(a.find("still the first"), std::string::npos);
    EXPECT_EQ(a.find("after midnight"), std::string::npos);
    EXPECT_NE(b.find("2026-03-02 00:00:07"), std::string::npos);
    EXPECT_NE(b.find("after midnight"), std::string::npos);

    // Same day of the year, one year on, is another date too.
    g_now = utc_of(2027, 3, 2, 0, 0, 9);
    emit(3, "a year later\n");
    ASSERT_TRUE(wait_drained());
    EXPECT_EQ(logs_in(dir).size(), 3u);
}

// ---- retention -------------------------------------------------------------------

TEST_F(Logger, RetentionKeepsNewestAndTheCurrentFileAfterClockStepBack) {
    const char *kept_old[] = {"tcu_20250401_080000.log", "tcu_20250402_080000.log",
                              "tcu_20250403_080000.log", "tcu_20250404_080000.log",
                              "tcu_20250405_080000.log", "tcu_20250406_080000.log",
                              "tcu_20250407_080000.log"};
    for (auto n : kept_old) touch(dir / n);
    // Begin with the base name, but are not log files of this pattern.
    std::vector<std::string> strangers = {
        "tcu_notes.txt",           "tcu_20250101_000000.log.1",
        "tcu_2025011_000000.log",  "tcu-20250101_000000.log",
        "tcu_20251399_000000.log", "tcux_20250101_00000.log",
        "tcu_2025O101_000000.log", "tcu_" + std::string(200, '9') + ".log"};
    for (auto &n : strangers) touch(dir / n);

    // A board without a set clock starts in 1970.
    g_now = utc_of(1970, 1, 1, 0, 0, 5);
    clog_init(base.c_str(), 1 << 20, 7);
    EXPECT_EQ(clogger.fnumb, 7);
    auto logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 7u);
    EXPECT_EQ(logs[0], "tcu_19700101_000005.log");
    EXPECT_EQ(logs[1], "tcu_20250402_080000.log");
    emit(3, "first words of 1970\n");
    ASSERT_TRUE(wait_drained());
    EXPECT_NE(slurp(dir / "tcu_19700101_000005.log").find("first words"), std::string::npos);

    // Next day (still 1970): the oldest file on disk goes, both of ours stay.
    g_now = utc_of(1970, 1, 2, 0, 0, 1);
    emit(3, "day two\n");
    ASSERT_TRUE(wait_drained());
    logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 7u);
    EXPECT_EQ(logs[0], "tcu_19700101_000005.log");
    EXPECT_EQ(logs[1], "tcu_19700102_000001.log");
    EXPECT_EQ(logs[2], "tcu_20250403_080000.log");

    // The clock gets set: the 1970 files rank as ours, newer than 2025's.
    g_now = utc_of(2026, 3, 1, 9, 0, 0);
    emit(3, "clock set\n");
    ASSERT_TRUE(wait_drained());
    logs = logs_in(dir);
    ASSERT_EQ(logs.size(), 7u);
    EXPECT_EQ(logs[2], "tcu_20250404_080000.log");
    EXPECT_EQ(logs.back(), "tcu_20260301_090000.log");

    testing::internal::CaptureStdout();
    show_flist(&clogger);
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(shown.substr(0, 16), "\nflist.fnumb:7\nf");
    EXPECT_NE(shown.find("flist:6, utc:"), std::string::npos);
    EXPECT_NE(shown.find("log_filename:tcu_20260301_090000.log\n\n"), std::string::npos);

    clog_exit();
    for (auto &n : strangers) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

TEST_F(Logger, OverfullDirectoryAndRestartWithinOneSecond) {
    // Listing order is the file system's: the result must not depend on it.
    const char *names[] = {
        "tcu_20250305_000000.log", "tcu_20250301_000000.log", "tcu_20250309_000000.log",
        "tcu_20250302_000000.log", "tcu_20250308_000000.log", "tcu_20250303_000000.log",
        "tcu_20250307_000000.log", "tcu_20250304_000000.log", "tcu_20250306_000000.log"};
    for (auto n : names) touch(dir / n);
    clog_init(base.c_str(), 1 << 20, 4);
    auto logs = logs_in(dir);
    std::vector<std::string> want = {"tcu_20250307_000000.log", "tcu_20250308_000000.log",
                                     "tcu_20250309_000000.log", "tcu_20260301_120000.log"};
    EXPECT_EQ(logs, want);
    emit(3, "one\n");
    ASSERT_TRUE(wait_drained());
    clog_exit();

    // Restart in the same second: the same file is appended to and listed once.
    clog_init(base.c_str(), 1 << 20, 4);
    EXPECT_EQ(clogger.fnumb, 4);
    emit(3, "two\n");
    ASSERT_TRUE(wait_drained());
    EXPECT_EQ(logs_in(dir), want);
    std::string cur = slurp(dir / "tcu_20260301_120000.log");
    EXPECT_LT(cur.find("one\n"), cur.find("two\n"));
}

TEST_F(Logger, MissingDirectoryKeepsMirrorAndRetriesLater) {
    LogTap rx(LOG_TAP_READ);
    fs::path sub = dir / "later";
    std::string b = (sub / "tcu").string();
    tcu_hooks.log_retry_ms = 0;
    clog_init(b.c_str(), 1 << 20, 7);
    clog_bind_serverip("127.0.0.1", rx.port());
    EXPECT_EQ(clogger.fp, nullptr);
    emit(1, "no directory yet\n");
    std::string d;
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_NE(d.find("no directory yet"), std::string::npos);
    ASSERT_TRUE(wait_drained());

    fs::create_directory(sub);
    g_now = utc_of(2026, 3, 1, 12, 0, 30);
    emit(3, "directory is back\n");
    ASSERT_TRUE(wait_drained());
    auto logs = logs_in(sub);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "tcu_20260301_120030.log");
    EXPECT_NE(slurp(sub / logs[0]).find("directory is back"), std::string::npos);
}

TEST_F(Logger, FullDiskKeepsMirrorAndResumesInTheSameFile) {
    fs::path small = dir / "small";
    fs::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs: " << strerror(errno);
    struct unmount_t {
        fs::path p;
        ~unmount_t() { umount2(p.c_str(), MNT_DETACH); }
    } unmount{small};

    // Fill the file system up to the last byte.
    {
        std::ofstream filler(small / "filler", std::ios::binary);
        std::string block(4096, 'F');
        for (int i = 0; i < 64 && filler.good(); i++) filler << block << std::flush;
    }
    LogTap rx(LOG_TAP_READ);
    tcu_hooks.log_retry_ms = 0;
    std::string b = (small / "tcu").string();
    clog_init(b.c_str(), 1 << 20, 7);
    clog_bind_serverip("127.0.0.1", rx.port());
    std::string d;
    for (int i = 0; i < 20; i++) {
        char msg[64];
        snprintf(msg, sizeof msg, "disk full %02d %s\n", i, std::string(40, '.').c_str());
        emit(3, msg);
        // The logger's own complaint about the disk may come first.
        bool seen = false;
        while (!seen && rx.recv_one(&d)) seen = d.find(msg) != std::string::npos;
        EXPECT_TRUE(seen) << msg;
        ASSERT_TRUE(wait_drained());
    }
    ASSERT_EQ(logs_in(small).size(), 1u);

    fs::remove(small / "filler");
    emit(3, "room again\n");
    ASSERT_TRUE(wait_drained());
    emit(3, "and more\n");
    ASSERT_TRUE(wait_drained());
    auto logs = logs_in(small);
    ASSERT_EQ(logs.size(), 1u);
    std::string file = slurp(small / logs[0]);
    EXPECT_NE(file.find("and more\n"), std::string::npos);
    clog_exit();
}

// ---- the UDP mirror --------------------------------------------------------------

TEST_F(Logger, MirrorSendsHwLineOnlyOnceBound) {
    LogTap rx(LOG_TAP_READ), rx2(LOG_TAP_READ);
    clog_init(base.c_str(), 1 << 20, 7);
    EXPECT_EQ(clogger.peer_dest.load(), 0u);
    emit(3, "not mirrored\n");
    std::string d;
    EXPECT_FALSE(rx.recv_one(&d, 200));
    EXPECT_LT(clog_sendto_serverip("x\n"), 0);

    clog_bind_serverip("127.0.0.1", rx.port());
    EXPECT_GE(clogger.zqlog_fd.load(), 0);
    EXPECT_EQ(clogger.peer_addrlen, 16u);
    ASSERT_TRUE(wait_drained());
    size_t before = all_logs().size();
    int n = emit(3, "mirrored 1\n");
    ASSERT_TRUE(rx.recv_one(&d));
    ASSERT_TRUE(wait_drained());
    std::string line = all_logs().substr(before);
    EXPECT_EQ((int)line.size(), n);
    EXPECT_EQ(d, "HW|" + line);

    EXPECT_EQ(clog_sendto_serverip("plain\n"), 9);
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_EQ(d, "HW|plain\n");

    // A text that is no IPv4 address leaves the binding as it was.
    clog_bind_serverip("300.1.1.1", 9);
    emit(3, "still here\n");
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_NE(d.find("log server address '300.1.1.1' invalid"), std::string::npos);
    ASSERT_TRUE(rx.recv_one(&d));
    EXPECT_NE(d.find("still here"), std::string::npos);

    clog_bind_serverip("127.0.0.1", rx2.port());
    emit(3, "moved\n");
    ASSERT_TRUE(rx2.recv_one(&d));
    EXPECT_NE(d.find("moved"), std::string::npos);
    EXPECT_FALSE(rx.recv_one(&d, 100));

    // Stopping the logger stops the mirror; a new start is unbound again.
    clog_exit();
    testing::internal::CaptureStdout();
    emit(3, "after exit\n");
    testing::internal::GetCapturedStdout();
    clog_init(base.c_str(), 1 << 20, 7);
    emit(3, "restarted\n");
    EXPECT_FALSE(rx2.recv_one(&d, 200));
}

// ---------------------------------------------------------------------------
// Lines a peer sets off: a bounded burst per call site, then a summary of the rest.

// One call site, as a frame handler has it.
void peer_line(int i) {
    TCU_LOG_PEER(3, "peer frame %d\n", i);
}

size_t count_of(const std::string &s, const std::string &needle) {
    size_t n = 0;
    for (size_t at = s.find(needle); at != std::string::npos; at = s.find(needle, at + 1)) n++;
    return n;
}

// The counts of every "... N similar lines suppressed" line, in order.
std::vector<int> summaries_in(const std::string &s) {
    std::vector<int> v;
    const std::string tail = " similar lines suppressed";
    for (size_t at = s.find(tail); at != std::string::npos; at = s.find(tail, at + 1)) {
        size_t dots = s.rfind("... ", at);
        if (dots != std::string::npos) v.push_back(atoi(s.c_str() + dots + 4));
    }
    return v;
}

TEST_F(Logger, PeerFloodWritesABurstThenOneSummaryAndKeepsEarlierFiles) {
    // Earlier runs; a flood logged in full would rotate all of them away.
    const char *earlier[] = {"tcu_20260226_080000.log", "tcu_20260227_080000.log",
                             "tcu_20260228_080000.log"};
    for (auto n : earlier) touch(dir / n);
    clog_init(base.c_str(), 64 << 10, 4);
    constexpr int kFlood = 100000;
    for (int i = 0; i < kFlood; i++) peer_line(i);

    // No further line: the writer alone writes the summary once the flood is over.
    std::string logs;
    for (int i = 0; i < 1000 && summaries_in(logs).empty(); i++) {
        usleep(10000);
        logs = all_logs();
    }
    std::vector<int> sums = summaries_in(logs);
    ASSERT_EQ(sums.size(), 1u) << logs;
    int written = (int)count_of(logs, "peer frame ");
    EXPECT_GE(written, CLOG_RATE_BURST);
    EXPECT_LE(written, CLOG_RATE_BURST + 10);
    EXPECT_EQ(sums[0] + written, kFlood);
    // From the flood's own site.
    size_t at = logs.find("similar lines suppressed");
    size_t bol = logs.rfind('\n', at);
    EXPECT_NE(logs.substr(bol + 1, at - bol).find("peer_line"), std::string::npos);
    for (auto n : earlier) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

TEST_F(Logger, PeerLineASecondIsNeverSuppressedAndALateDropIsSummarised) {
    clog_init(base.c_str(), 1 << 20, 7);
    static clog_rate_t site;
    auto line = [](int i) {
        if (clog_rate_pass(&site, 3, "steady", "tests/logger_test.cpp", 7) == 0) return 0;
        clog_print(3, "TCU", "steady", "tests/logger_test.cpp", 7, "steady %d\n", i);
        return 1;
    };
    int i = 0;
    while (i < CLOG_RATE_BURST) ASSERT_EQ(line(i++), 1);
    // The writer has gone back to sleep on an empty ring before the first drop: the
    // drop alone must bring it back for the summary.
    ASSERT_TRUE(wait_drained());
    usleep(100000);
    int dropped = 0;
    for (int tries = 0; tries < 100 && dropped == 0; tries++) dropped = 1 - line(i++);
    ASSERT_EQ(dropped, 1);
    std::string logs;
    for (int k = 0; k < 1000 && summaries_in(logs).empty(); k++) {
        usleep(10000);
        logs = all_logs();
    }
    EXPECT_EQ(summaries_in(logs), std::vector<int>{1});

    // Then one line a second, from the bucket the burst emptied: each one is written.
    for (int k = 0; k < 3; k++) {
        sleep(1);
        EXPECT_EQ(line(1000 + k), 1) << k;
    }
    ASSERT_TRUE(wait_drained());
    logs = all_logs();
    for (int k = 0; k < 3; k++)
        EXPECT_NE(logs.find("steady " + std::to_string(1000 + k) + "\n"), std::string::npos);
    EXPECT_EQ(summaries_in(logs), std::vector<int>{1});
}

// A site quiet for ten minutes has earned its burst and no more: the silence must not
// buy a flood.
TEST(LoggerRate, QuietSiteEarnsNoMoreThanItsBurst) {
    static clog_rate_t site;
    auto pass = [] { return clog_rate_pass(&site, 3, "quiet", "tests/logger_test.cpp", 9); };
    ASSERT_EQ(pass(), 1);
    site.refill_ms -= 10 * 60 * 1000;
    int passed = 0;
    while (passed < 10 * CLOG_RATE_BURST && pass() == 1) passed++;
    EXPECT_GE(passed, CLOG_RATE_BURST - 1);
    EXPECT_LT(passed, 10 * CLOG_RATE_BURST);
    // Leaves no flood pending for a later test of this process: it ended a while ago.
    site.last_ms -= CLOG_RATE_QUIET_MS;
    testing::internal::CaptureStdout();
    clog_rate_flush();
    testing::internal::GetCapturedStdout();
}

// A flood that goes on is summarised once a minute, not only once it is over.
TEST(LoggerRate, LastingFloodIsSummarisedEveryMinute) {
    static clog_rate_t site;
    auto pass = [] { return clog_rate_pass(&site, 3, "flood", "tests/logger_test.cpp", 11); };
    for (int i = 0; i < 10 * CLOG_RATE_BURST && pass() == 1; i++) {
    }
    site.first_ms -= CLOG_RATE_SUMMARY_MS;  // its first drop was a minute ago
    testing::internal::CaptureStdout();
    EXPECT_EQ(pass(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("... 2 similar lines suppressed"),
              std::string::npos);
}

TEST(LoggerName, PatternIsMatchedExactly) {
    time_t t;
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_EQ(clog_parse_name("tcu", "tcu_20250425_080523.log", &t), 0);
    EXPECT_EQ(t, utc_of(2025, 4, 25, 8, 5, 23));
    EXPECT_LT(clog_parse_name("tcu", "tcu_20250425_080523.log~", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tcu_20250425-080523.log", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tcu_2025042_080523.log", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tcu_20250425_0805 3.log", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tcu_20250025_080523.log", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tcu_20250425_250523.log", &t), 0);
    EXPECT_LT(clog_parse_name("tcu", "tc_20250425_080523.log", &t), 0);
}

}  // namespace
