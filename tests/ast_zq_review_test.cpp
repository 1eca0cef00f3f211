// Controller link, second look: the function names an operator sees on the trace
// and error lines of the board commands and the board exchange, and a board that
// reports a lock state outside 0/1 while no lock command is pending.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ast_ZQ.h"
#include "config.h"
#include "logger.h"
#include "support/ctrl_peer.h"
#include "support/fake_sysfs.h"
#include "support/pty_pair.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

// Log lines as the UDP mirror sends them ("HW|" + line), captured on loopback.
class LogTap {
  public:
    LogTap() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<struct sockaddr *>(&sa), &len);
        clog_bind_serverip("127.0.0.1", ntohs(sa.sin_port));
    }
    ~LogTap() {
        if (fd_ >= 0) close(fd_);
    }
    // Discards every line received so far (waits briefly for stragglers).
    std::vector<std::string> drain() {
        std::vector<std::string> v;
        char buf[1024];
        for (;;) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) break;
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            v.emplace_back(buf, (size_t)n);
        }
        return v;
    }
    // The next line received that carries `text`, or "" when none comes within a
    // generous bound (the datagram may trail the call on a loaded machine).
    std::string wait_for(const std::string &text, int timeout_ms = 10000) {
        int64_t deadline = monotime_ms() + timeout_ms;
        char buf[1024];
        for (;;) {
            int64_t left = deadline - monotime_ms();
            if (left <= 0) return "";
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, (int)left) <= 0) return "";
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return "";
            std::string l(buf, (size_t)n);
            if (l.find(text) != std::string::npos) return l;
        }
    }

  private:
    int fd_ = -1;
};

class AstReview : public ::testing::Test {
  protected:
    void SetUp() override {
        sys = std::make_unique<FakeSysfs>();
        sys->add_board_lines();
        sys->record_commands(true);
        modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
        goose_HW_init(&gooseGUNA, nullptr, 1);
        goose_HW_init(&gooseGUNB, nullptr, 2);
        ASSERT_EQ(pty_pair_open(&line), 0);
        dev = std::make_unique<ast_zq_t>();
        ASSERT_EQ(ccu_AST_init(dev.get(), line.name.c_str()), 0);
        peer = std::make_unique<ctrl_peer_t>(line.master);
        peer->set_default(0x11, ctrl_reply(0x11, 0, 14, {0}));
        peer->set_default(0x12, ctrl_reply(0x12, 0, 14, {0}));
    }
    void TearDown() override {
        peer.reset();
        ccu_AST_exit(dev.get());
        pty_pair_close(&line);
        goose_HW_exit(&gooseGUNA);
        goose_HW_exit(&gooseGUNB);
        modbus_TCP_exit(&modbusHW);
        sys.reset();
    }
    int process(const ctrl_bytes &bytes) {
        memcpy(dev->rxbuff, bytes.data(), bytes.size());
        dev->rxbytes = (int)bytes.size();
        return ccu_AST_processTemperature(dev.get());
    }
    std::vector<ctrl_bytes> board_writes() {
        std::vector<ctrl_bytes> v;
        for (const auto &f : peer->frames())
            if (f.bytes.size() == 13 && f.bytes[0] == 0x13 && f.bytes[6] == 1) v.push_back(f.bytes);
        return v;
    }

    std::unique_ptr<FakeSysfs> sys;
    pty_pair_t line;
    std::unique_ptr<ast_zq_t> dev;
    std::unique_ptr<ctrl_peer_t> peer;
};

// Each command's trace names its handler; board reply lines name the board exchange.
TEST_F(AstReview, TraceLinesNameTheOperation) {
    LogTap tap;
    struct {
        uint8_t cmd;
        ctrl_bytes params;
        const char *handler;
    } rows[] = {{8, {0}, "ccu_AST_cmd8_LockGun"},
                {9, {0}, "ccu_AST_cmd9_UnlockGun"},
                {10, {0, 0}, "ccu_AST_cmd10_TurnOnAuxPower"},
                {11, {0, 0}, "ccu_AST_cmd11_TurnOffAuxPower"}};
    for (const auto &r : rows) {
        tap.drain();
        peer->clear_frames();
        peer->queue(0x12, ctrl_reply(0x12, r.cmd, r.cmd, r.params));
        EXPECT_GT(ccu_AST_queryController(dev.get(), 0x12, 3, 4, 0), 0) << r.handler;
        std::string l = tap.wait_for("addr=12, more_cmd:0\n");
        EXPECT_NE(l.find(std::string(" ") + r.handler + " "), std::string::npos) << l;
    }

    ctrl_board_state_t s;
    s.linkA = 0;  // 1 -> 0: "GUNAState:1"
    ctrl_bytes reply = ctrl_board_reply(0x13, s);
    tap.drain();
    EXPECT_EQ(process(reply), 0);
    std::string l = tap.wait_for("GUNAState:1\n ");
    EXPECT_NE(l.find(" ccu_AST_queryTemperature "), std::string::npos) << l;

    reply[16] ^= 0x5A;
    EXPECT_EQ(process(reply), 1);
    l = tap.wait_for("crcr[");
    EXPECT_NE(l.find(" ccu_AST_queryTemperature "), std::string::npos) << l;
}

// A lock state of 2 from the board while no lock command is pending (control 2) is
// not a carried-out command: no write is scheduled, cycle after cycle.
TEST_F(AstReview, LockStateTwoWithNothingPendingCausesNoWrite) {
    ctrl_board_state_t s;
    s.lockA = 2;
    s.lockB = 2;
    peer->board_state(s);
    for (int i = 0; i < 2; i++) {
        ccu_AST_cycle(dev.get());
        EXPECT_EQ(dev->need_send_ctrl_cmd, 0);
    }
    EXPECT_TRUE(board_writes().empty());
    EXPECT_EQ(dev->GUNA_ELockCtrl, 2);

    // A real lock command is still written, and withdrawn once the board shows it.
    ccu_AST_GUNA_ELock(dev.get(), 1);
    ccu_AST_cycle(dev.get());
    auto w = board_writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0][7], 0);
    s.lockA = 0;
    peer->board_state(s);
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->GUNA_ELockCtrl, 2);
    w = board_writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0][7], 2);
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_TRUE(board_writes().empty());
}

}  // namespace
