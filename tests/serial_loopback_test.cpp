// The bench loop-back tests on pseudo-terminals: the ports are host-run paths
// (TCU_ROOT/dev/ttySn) linked to pairs whose far ends this test relays and records.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
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
