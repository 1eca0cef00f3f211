// The bench loop-back tests on pseudo-terminals: the ports are host-run paths
// (TCU_ROOT/dev/ttySn) linked to pairs whose far ends this test relays and records;
// then, on ports linked straight to pairs, the exact trace and answers byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <vector>
#include <string>
#include <thread>
#include <unistd.h>

#include "rs232test.h"
#include "rs485test.h"
#include "support/serial_pair.h"

namespace {

class Loopback : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tcu_loop_XXXXXX";
        root_ = mkdtemp(tmpl);
        mkdir((root_ + "/dev").c_str(), 0755);
        setenv("TCU_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        stop_relay();
        for (auto &p : pairs_) serial_pair_close(&p);
        unsetenv("TCU_ROOT");
        system(("rm -rf " + root_).c_str());
    }
    // Port ttySn gets one pair; returns the far end's path.
    std::string wire(const char *name) {
        pairs_.emplace_back();
        if (!serial_pair_open(&pairs_.back())) return "";
        symlink(pairs_.back().a.c_str(), (root_ + "/dev/" + name).c_str());
        return pairs_.back().b;
    }
    // Connects the far ends of all wired ports to each other (a shared bus) and
    // records what each port sent.
    void start_relay(const std::vector<std::string> &ends) {
        for (auto &e : ends) fds_.push_back(peer_open_raw(e));
        sent_.assign(ends.size(), std::string());
        relay_ = std::thread([this] {
            while (!quit_) {
                std::vector<pollfd> p;
                for (int fd : fds_) p.push_back({fd, POLLIN, 0});
                if (poll(p.data(), p.size(), 50) <= 0) continue;
                for (size_t i = 0; i < p.size(); i++) {
                    if (!(p[i].revents & POLLIN)) continue;
                    char buf[256];
                    ssize_t n = read(fds_[i], buf, sizeof buf);
                    if (n <= 0) continue;
                    {
                        std::lock_guard<std::mutex> g(mu_);
                        sent_[i].append(buf, (size_t)n);
                    }
                    for (size_t j = 0; j < fds_.size(); j++)
                        if (j != i) write(fds_[j], buf, (size_t)n);
                }
            }
        });
    }
    void stop_relay() {
        quit_ = true;
        if (relay_.joinable()) relay_.join();
        for (int fd : fds_) close(fd);
        fds_.clear();
    }
    std::string sent(size_t i) {
        std::lock_guard<std::mutex> g(mu_);
        return sent_[i];
    }
    // What port i sent, once it holds `text` (the relay thread collects it on its own
    // and may trail on a loaded machine) or a generous bound has passed.
    std::string sent_with(size_t i, const std::string &text) {
        for (int n = 0; n < 1000 && sent(i).find(text) == std::string::npos; n++) usleep(10000);
        return sent(i);
    }
    std::string root_;
    std::vector<serial_pair> pairs_;
    std::vector<int> fds_;
    std::vector<std::string> sent_;
    std::mutex mu_;
    std::thread relay_;
    std::atomic<bool> quit_{false};
};

}  // namespace

TEST_F(Loopback, Rs232GreetingAcknowledgedAndTraceCountsDown) {
    std::string s2 = wire("ttyS2"), s3 = wire("ttyS3");
    if (s2.empty() || s3.empty()) GTEST_SKIP() << "socat not available";
    start_relay({s2, s3});
    testing::internal::CaptureStdout();
    rs232_test(3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rs232test.cpp("), std::string::npos) << out;
    EXPECT_NE(out.find(":rs232_test | loop=2\n"), std::string::npos) << out;
    EXPECT_NE(out.find(":rs232_test | loop=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find(":rs232_test | loop_quit=1\n"), std::string::npos) << out;
    EXPECT_NE(sent_with(0, std::string("Hello ttyS3\0", 12)).find(std::string("Hello ttyS3\0", 12)),
              std::string::npos);
    EXPECT_NE(sent_with(1, std::string("ttyS3 ACK\0", 10)).find(std::string("ttyS3 ACK\0", 10)),
              std::string::npos)
        << sent(1);
}

TEST_F(Loopback, Rs232LoopZeroAndASecondRunInTheSameProcess) {
    std::string s2 = wire("ttyS2"), s3 = wire("ttyS3");
    if (s2.empty() || s3.empty()) GTEST_SKIP() << "socat not available";
    start_relay({s2, s3});
    testing::internal::CaptureStdout();
    rs232_test(0);
    rs232_test(2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(":rs232_test | loop=1\n"), std::string::npos) << out;
    EXPECT_NE(sent_with(1, "ttyS3 ACK").find("ttyS3 ACK"), std::string::npos);
}

TEST_F(Loopback, Rs485BothAnswerersReplyToTheInitiator) {
    std::string s4 = wire("ttyS4"), s5 = wire("ttyS5"), s6 = wire("ttyS6");
    if (s4.empty() || s5.empty() || s6.empty()) GTEST_SKIP() << "socat not available";
    start_relay({s4, s5, s6});
    testing::internal::CaptureStdout();
    rs485_test(3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(":rs485_test | loop_quit=1\n"), std::string::npos);
    EXPECT_NE(sent_with(0, "Hello ttyS5").find("Hello ttyS5"), std::string::npos);
    EXPECT_NE(sent_with(0, "Hello ttyS6").find("Hello ttyS6"), std::string::npos);
    EXPECT_NE(sent_with(1, "Hello ttyS4").find("Hello ttyS4"), std::string::npos);
    EXPECT_NE(sent_with(2, "Hello ttyS4").find("Hello ttyS4"), std::string::npos);
}

// Not wired: the initiator keeps its schedule, nobody answers; a missing port
// does not make its thread spin.
TEST_F(Loopback, UnwiredAndMissingPorts) {
    std::string s2 = wire("ttyS2");
    if (s2.empty()) GTEST_SKIP() << "socat not available";
    start_relay({s2});
    testing::internal::CaptureStdout();
    struct timespec c0, c1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    rs232_test(2);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(sent_with(0, "Hello ttyS3").find("Hello ttyS3"), std::string::npos);
    double cpu = (double)(c1.tv_sec - c0.tv_sec) + (double)(c1.tv_nsec - c0.tv_nsec) / 1e9;
    EXPECT_LT(cpu, 1.5) << "a thread spun on the missing port";
}

// ---------------------------------------------------------------- trace and answers byte for byte
// The trace lines of both tests in order, and answers only for greetings within the
// bytes received. Their own fixture: ports linked straight to pairs, no relay.

namespace {

using bytes = std::vector<uint8_t>;

class LoopbackWire : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tcu_loopwire_XXXXXX";
        root_ = mkdtemp(tmpl);
        mkdir((root_ + "/dev").c_str(), 0755);
        setenv("TCU_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        for (auto &p : pairs_) serial_pair_close(&p);
        unsetenv("TCU_ROOT");
        std::string cmd = "rm -rf " + root_;
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    // Wires port `name` to a pair; returns the far end ("" without socat).
    std::string wire(const char *name) {
        pairs_.emplace_back();
        if (!serial_pair_open(&pairs_.back())) return "";
        std::string link = root_ + "/dev/" + name;
        if (symlink(pairs_.back().a.c_str(), link.c_str()) != 0) return "";
        return pairs_.back().b;
    }
    std::string port(const char *name) { return root_ + "/dev/" + name; }
    std::string root_;
    std::vector<serial_pair> pairs_;
};

// The trace lines only: the port driver's own log lines share standard output.
std::vector<std::string> lines_of(const std::string &out, const char *func) {
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (l.find(std::string(":") + func + " | ") != std::string::npos) v.push_back(l);
    return v;
}

// Checks the trace: `starting` lines "loop=<loop>", the countdown, `stopping`
// lines "loop_quit=1", all in the form file(line):function | key=value.
void expect_trace(const std::string &out, const char *file, const char *func, int loop,
                  int starting, int stopping) {
    std::vector<std::string> want;
    for (int i = 0; i < starting; i++) want.push_back("loop=" + std::to_string(loop));
    for (int i = loop - 1; i >= 0; i--) want.push_back("loop=" + std::to_string(i));
    for (int i = 0; i < stopping; i++) want.push_back("loop_quit=1");
    auto lines = lines_of(out, func);
    ASSERT_EQ(lines.size(), want.size()) << out;
    std::regex form(std::string("^") + file + "\\(([0-9]+)\\):" + func + " \\| (.*)$");
    for (size_t i = 0; i < lines.size(); i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, form)) << lines[i];
        EXPECT_EQ(m[2].str(), want[i]) << "line " << i << "\n" << out;
    }
}

}  // namespace

TEST_F(LoopbackWire, TraceLinesOfBothTestsInOrder) {
    // Ports missing: the trace is the same, the threads still start and stop.
    testing::internal::CaptureStdout();
    rs232_test(2);
    std::string out = testing::internal::GetCapturedStdout();
    // Two opens, two starts and one after the last; flag, two joins, two closes.
    expect_trace(out, "rs232test\\.cpp", "rs232_test", 2, 5, 5);

    testing::internal::CaptureStdout();
    rs485_test(0);
    out = testing::internal::GetCapturedStdout();
    expect_trace(out, "rs485test\\.cpp", "rs485_test", 0, 7, 7);
}

// The answering port acknowledges a greeting anywhere in what it received, and
// only in what it received this time: bytes left in its buffer from an earlier
// greeting are not searched. The ports run at 19200 baud, 8N1.
TEST_F(LoopbackWire, Rs232AnswerOnlyForTextWithinTheBytesReceived) {
    std::string far = wire("ttyS3");
    if (far.empty()) GTEST_SKIP() << "socat not available";
    int fd = peer_open_raw(far);
    std::atomic<bool> done{false};
    testing::internal::CaptureStdout();
    std::thread run([&] {
        rs232_test(4);
        done = true;
    });
    // Wait until the port is open at its speed.
    tcflag_t cflag = 0;
    speed_t speed = 0;
    for (int i = 0; i < 1000 && speed != B19200; i++) {  // up to 10 s on a loaded machine
        usleep(10000);
        speed = peer_line_speed(port("ttyS3"), &cflag);
    }
    EXPECT_EQ(speed, (speed_t)B19200);
    EXPECT_EQ(cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(cflag & (PARENB | CSTOPB), 0u);

    // 12 bytes, text not at the start, no terminating zero: acknowledged.
    peer_write(fd, bytes{'x', 'H', 'e', 'l', 'l', 'o', ' ', 't', 't', 'y', 'S', '3'});
    uint8_t ack[64] = {};
    int n = peer_read(fd, ack, 10, 10000);
    EXPECT_EQ(std::string((char *)ack, (size_t)n), std::string("ttyS3 ACK\0", 10));
    // One byte now: the buffer still holds the old greeting after it.
    peer_write(fd, bytes{'y'});
    n = peer_read(fd, ack, sizeof ack, 2500);
    EXPECT_EQ(n, 0) << "acknowledged a greeting left over from an earlier receive";
    run.join();
    testing::internal::GetCapturedStdout();
    close(fd);
}

// RS-485: the initiator greets ttyS5 then ttyS6, each greeting with its zero
// byte; each answering port answers only its own greeting, with "Hello ttyS4".
TEST_F(LoopbackWire, Rs485GreetingsAndAnswersByteForByte) {
    std::string s4 = wire("ttyS4"), s5 = wire("ttyS5"), s6 = wire("ttyS6");
    if (s4.empty() || s5.empty() || s6.empty()) GTEST_SKIP() << "socat not available";
    int f4 = peer_open_raw(s4), f5 = peer_open_raw(s5), f6 = peer_open_raw(s6);
    testing::internal::CaptureStdout();
    std::thread run([] { rs485_test(3); });
    // Let the answering ports open before greeting them.
    tcflag_t cflag = 0;
    for (int i = 0; i < 1000 && peer_line_speed(port("ttyS6"), &cflag) != B19200; i++)
        usleep(10000);

    auto answers = [](int fd, const char *other, const char *own, std::string *wrong,
                      std::string *right) {
        uint8_t buf[64];
        peer_write(fd, bytes(other, other + strlen(other) + 1));
        int n = peer_read(fd, buf, sizeof buf, 1100);
        *wrong = std::string((char *)buf, (size_t)(n > 0 ? n : 0));
        peer_write(fd, bytes(own, own + strlen(own) + 1));
        n = peer_read(fd, buf, 12, 5000);
        *right = std::string((char *)buf, (size_t)(n > 0 ? n : 0));
    };
    std::string w5, r5, w6, r6;
    std::thread a5([&] { answers(f5, "Hello ttyS6", "Hello ttyS5", &w5, &r5); });
    std::thread a6([&] { answers(f6, "Hello ttyS5", "Hello ttyS6", &w6, &r6); });
    uint8_t buf[64];
    int n = peer_read(f4, buf, 24, 5000);
    a5.join();
    a6.join();
    run.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string((char *)buf, (size_t)(n > 0 ? n : 0)),
              std::string("Hello ttyS5\0Hello ttyS6\0", 24));
    EXPECT_EQ(w5, "");
    EXPECT_EQ(r5, std::string("Hello ttyS4\0", 12));
    EXPECT_EQ(w6, "");
    EXPECT_EQ(r6, std::string("Hello ttyS4\0", 12));
    expect_trace(out, "rs485test\\.cpp", "rs485_test", 3, 7, 7);
    close(f4);
    close(f5);
    close(f6);
}
