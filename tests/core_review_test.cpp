// Second look at the terminal core as an operator and the log server see it: the
// exact bytes of a log line, the hub's state lines and the co-processor's feedback
// line as they reach a real UDP log server, and a hand-edited configuration file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "support/fake_sysfs.h"
#include "config.h"
#include "logger.h"
#include "stm32f103.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace fs = std::filesystem;

namespace {

time_t fixed_clock(void) {
    return 1772366400;  // 2026-03-01 12:00:00 UTC
}

// The log server: a UDP socket on 127.0.0.1.
struct log_server_t {
    int fd = -1;
    uint16_t port = 0;
    log_server_t() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int rcv = 1 << 21;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        socklen_t sl = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
        port = ntohs(sa.sin_port);
    }
    ~log_server_t() { close(fd); }
    // A bound against hanging on a loaded machine, not a timing check.
    bool recv_one(std::string *out, int wait_ms = 10000) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return false;
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0) return false;
        out->assign(buf, (size_t)n);
        return true;
    }
    // The first datagram containing `needle` (others are skipped).
    bool find(const std::string &needle, std::string *out, int tries = 200) {
        for (int i = 0; i < tries; i++) {
            if (!recv_one(out)) return false;
            if (out->find(needle) != std::string::npos) return true;
        }
        return false;
    }
};

std::string ids(void) {
    char buf[64];
    snprintf(buf, sizeof buf, " PID:%6d TID:%6ld", (int)getpid(), (long)gettid());
    return buf;
}

class Review : public testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/tcu_review_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved_clock = tcu_hooks.log_clock;
        tcu_hooks.log_clock = fixed_clock;
        tcu_hooks.log_console = 0;
        clog_init((dir / "tcu").c_str(), 1 << 20, 7);
        clog_bind_serverip("127.0.0.1", server.port);
    }
    void TearDown() override {
        clog_exit();
        tcu_hooks.log_clock = saved_clock;
        tcu_hooks.log_console = 1;
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    log_server_t server;
    fs::path dir;
    time_t (*saved_clock)(void) = nullptr;
};

}  // namespace

// Colour, stamp, ids, tag, caller columns, message, reset line: byte for byte, in
// the datagram and in the file alike.
TEST_F(Review, LogLineLayoutByteForByte) {
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

// The hub's state lines name the register and the caller, in green, with the value
// stored; the power request names its type.
TEST_F(Review, HubStateAndRequestLines) {
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 5);  // no power unit: reports dropped
    goose_HW_init(&gooseGUNA, nullptr, 11);
    goose_HW_init(&gooseGUNB, nullptr, 12);
    struct {
        void (*op)(uint16_t);
        const char *func;
        const char *text;
    } rows[] = {
        {ccu_Update_GUNA_WorkState, "ccu_Update_GUNA_WorkState", "0x110B:3\n"},
        {ccu_Update_GUNB_WorkState, "ccu_Update_GUNB_WorkState", "0x1D0B:3\n"},
        {ccu_Update_GUNA_LinkState, "ccu_Update_GUNA_LinkState", "0x110D:3\n"},
        {ccu_Update_GUNB_LinkState, "ccu_Update_GUNB_LinkState", "0x1D0D:3\n"},
    };
    std::string d;
    for (auto &r : rows) {
        SCOPED_TRACE(r.text);
        r.op(3);
        ASSERT_TRUE(server.find(std::string("| ") + r.text, &d));
        EXPECT_EQ(d.substr(0, 11), "HW|\x1b[32;22m");
        std::string func = " " + std::string(r.func);
        func.resize(34, ' ');
        EXPECT_NE(d.find(" TCU " + func + " "), std::string::npos) << d;
    }
    // 65535 stored in a 16-bit register logs as its unsigned value.
    ccu_Update_GUNB_WorkState(0xFFFF);
    EXPECT_TRUE(server.find("| 0x1D0B:65535\n", &d));

    testing::internal::CaptureStdout();  // the register dump
    ccu_GUNB_PowerRequest(3, 1, 500.0f, 100.0f);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(server.find("| type:3\n", &d));
    EXPECT_EQ(d.substr(0, 11), "HW|\x1b[32;22m");
    EXPECT_NE(d.find(" ccu_GUNB_PowerRequest "), std::string::npos) << d;

    goose_HW_exit(&gooseGUNB);
    goose_HW_exit(&gooseGUNA);
    modbus_TCP_exit(&modbusHW);
}

// Once per cycle the co-processor logs the four feedbacks in cyan.
TEST_F(Review, CoprocessorFeedbackLine) {
    FakeSysfs board;
    board.add_board_lines(1);
    board.record_commands(true);
    board.set_input(FakeSysfs::feedback[0], 0);  // K0 closed
    board.set_input(FakeSysfs::feedback[3], 0);  // K3 closed
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
    ASSERT_EQ(0, ccu_STM32_init(&stm32F103, "can0", 500000, 1));
    tcu_hooks.stm32_cycle_ms = 20;
    pthread_t tid;
    ASSERT_EQ(0, pthread_create(&tid, nullptr, ccu_STM32_loop, &stm32F103));
    std::string d;
    bool seen = server.find("| K0:1, K1:0, K2:0, K3:1\n", &d);
    stm32F103.quit = 1;
    pthread_join(tid, nullptr);
    tcu_hooks.stm32_cycle_ms = 1000;
    ASSERT_TRUE(seen);
    EXPECT_EQ(d.substr(0, 11), "HW|\x1b[36;22m");
    EXPECT_NE(d.find(" ccu_STM32_loop "), std::string::npos) << d;
    ccu_STM32_exit(&stm32F103);
    modbus_TCP_exit(&modbusHW);
}

// A stray character after the object (a hand edit) still loads every setting, and
// the write-back then holds the clean object.
TEST(ReviewConfig, TextAfterTheObjectIsIgnored) {
    FakeSysfs sys;
    fs::create_directories(sys.path("/home/root/etc"));
    std::string file = sys.path("/home/root/etc/tcu_config.json");
    {
        std::ofstream out(file, std::ios::binary);
        out << R"({"tcu_id": "7", "enable_modbus_hw": "1", "enable_hmi": "0", "enable_ocpp": "0",
 "ast_tty": "/dev/ttyS2", "ifname": "eth1", "zqlog_ip": "10.0.0.9", "zqlog_port": "9000",
 "modbus_hw": {"serverip": "10.0.0.1", "port": "502", "enable_ssl": "0",
 "maxI_GUNA": "250", "maxI_GUNB": "200"}}x)";
    }
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.tcu_id, 7);
    ASSERT_NE(tcu_config.ifname, nullptr);
    EXPECT_STREQ(tcu_config.ifname, "eth1");
    ASSERT_NE(tcu_config.modbus_hw.serverip, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.serverip, "10.0.0.1");
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, 200);
    tcu_config_exit();
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.back(), '}');
    tcu_config_init(nullptr);
}

// Without a record the co-processor operations drive no board line.
TEST(ReviewCoprocessor, NullRecordDrivesNothing) {
    FakeSysfs board;
    board.add_board_lines(1);
    board.record_commands(true);
    EXPECT_EQ(-1, ccu_STM32_ControlLED(nullptr, 6, 1));
    EXPECT_EQ(-1, ccu_STM32_ControlContactor(nullptr, 0, 1));
    ccu_STM32_LED(nullptr);
    EXPECT_TRUE(board.commands().empty());
}
