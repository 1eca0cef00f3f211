// Second look at the bench drivers from the wire: every request byte and reply
// length of the RTU master, its order of checks and copy limits, the meter's
// slaves and line settings, and the loop-back tests' trace and answers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "acrel_DJSF1352RN.h"
#include "modbus_RTU.h"
#include "rs232test.h"
#include "rs485test.h"
#include "support/serial_pair.h"
#include "tc_system.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes with_crc(bytes f) {
    peer_append_crc(&f);
    return f;
}

// A slave that reads one request of `req_len` bytes and answers with `reply`
// (nothing when empty); the request seen is kept.
struct OneShot {
    std::thread t;
    bytes seen;
    void start(const std::string &path, int req_len, bytes reply) {
        int fd = peer_open_raw(path);
        t = std::thread([this, fd, req_len, reply] {
            bytes req((size_t)req_len);
            int n = peer_read(fd, req.data(), req_len, 5000);
            req.resize((size_t)(n > 0 ? n : 0));
            seen = req;
            if (n == req_len && !reply.empty()) peer_write(fd, reply);
            usleep(100000);
            close(fd);
        });
    }
    void join() {
        if (t.joinable()) t.join();
    }
};

class RtuReview : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!serial_pair_open(&pair_)) GTEST_SKIP() << "socat not available";
        ASSERT_EQ(com_ttySx_init(&tty_, pair_.a.c_str(), 9600, 8, 'N', 1), 0);
    }
    void TearDown() override {
        com_ttySx_exit(&tty_);
        serial_pair_close(&pair_);
    }
    // Runs op against one scripted reply; returns its result, the request in *req.
    int exchange(int req_len, const bytes &reply, const std::function<int()> &op,
                 bytes *req = nullptr) {
        OneShot s;
        s.start(pair_.b, req_len, reply);
        int rc = op();
        s.join();
        if (req) *req = s.seen;
        return rc;
    }
    serial_pair pair_;
    com_ttySx_t tty_ = {};
};

}  // namespace

// Each request byte for byte, answered with a reply of exactly the expected
// length: a longer expectation would time out (-1), a shorter one fail the CRC.
TEST_F(RtuReview, RequestFramesAndExpectedReplyLengthsOfAllTwelve) {
    bytes req;
    uint8_t bits[4] = {};
    EXPECT_EQ(exchange(
                  8, with_crc({7, 0x01, 2, 0xA5, 0x8F}),
                  [&] { return modbus_RTU_read_coils(&tty_, 7, 0x1234, 10, bits); }, &req),
              0);
    EXPECT_EQ(req, with_crc({7, 0x01, 0x12, 0x34, 0x00, 0x0A}));
    EXPECT_EQ(bits[0], 0xA5);
    EXPECT_EQ(bits[1], 0x8F);

    EXPECT_EQ(exchange(
                  8, with_crc({7, 0x02, 1, 0x3C}),
                  [&] { return modbus_RTU_read_discrete_inputs(&tty_, 7, 0x0102, 8, bits); }, &req),
              0);
    EXPECT_EQ(req, with_crc({7, 0x02, 0x01, 0x02, 0x00, 0x08}));
    EXPECT_EQ(bits[0], 0x3C);

    uint16_t regs[3] = {};
    EXPECT_EQ(
        exchange(
            8, with_crc({9, 0x03, 6, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0x01}),
            [&] { return modbus_RTU_read_holding_registers(&tty_, 9, 0xFF00, 3, regs); }, &req),
        0);
    EXPECT_EQ(req, with_crc({9, 0x03, 0xFF, 0x00, 0x00, 0x03}));
    EXPECT_EQ(regs[0], 0x1234);
    EXPECT_EQ(regs[1], 0xABCD);
    EXPECT_EQ(regs[2], 0x0001);

    EXPECT_EQ(exchange(
                  8, with_crc({9, 0x04, 2, 0xFE, 0xDC}),
                  [&] { return modbus_RTU_read_input_registers(&tty_, 9, 0x0010, 1, regs); }, &req),
              0);
    EXPECT_EQ(req, with_crc({9, 0x04, 0x00, 0x10, 0x00, 0x01}));
    EXPECT_EQ(regs[0], 0xFEDC);

    // Any non-zero coil value is sent as 0xFF00 and its echo compared with that.
    EXPECT_EQ(exchange(
                  8, with_crc({3, 0x05, 0x00, 0x21, 0xFF, 0x00}),
                  [&] { return modbus_RTU_write_single_coil(&tty_, 3, 0x21, 2); }, &req),
              0);
    EXPECT_EQ(req, with_crc({3, 0x05, 0x00, 0x21, 0xFF, 0x00}));
    EXPECT_EQ(exchange(
                  8, with_crc({3, 0x05, 0x00, 0x21, 0x00, 0x00}),
                  [&] { return modbus_RTU_write_single_coil(&tty_, 3, 0x21, 0); }, &req),
              0);
    EXPECT_EQ(req, with_crc({3, 0x05, 0x00, 0x21, 0x00, 0x00}));

    EXPECT_EQ(exchange(
                  8, with_crc({3, 0x06, 0x01, 0x00, 0xBE, 0xEF}),
                  [&] { return modbus_RTU_write_single_register(&tty_, 3, 0x0100, 0xBEEF); }, &req),
              0);
    EXPECT_EQ(req, with_crc({3, 0x06, 0x01, 0x00, 0xBE, 0xEF}));

    uint8_t status = 0xEE;
    EXPECT_EQ(exchange(
                  4, with_crc({4, 0x07, 0x81}),
                  [&] { return modbus_RTU_read_exception_status(&tty_, 4, &status); }, &req),
              0);
    EXPECT_EQ(req, with_crc({4, 0x07}));
    EXPECT_EQ(status, 0x81);

    // Ten coils: two data bytes, bits beyond the last coil zero.
    const uint8_t coils[10] = {1, 1, 0, 0, 0, 0, 0, 7, 0, 1};
    EXPECT_EQ(exchange(
                  11, with_crc({5, 0x0F, 0x00, 0x40, 0x00, 0x0A}),
                  [&] { return modbus_RTU_write_multiple_coils(&tty_, 5, 0x40, 10, coils); }, &req),
              0);
    EXPECT_EQ(req, with_crc({5, 0x0F, 0x00, 0x40, 0x00, 0x0A, 2, 0x83, 0x02}));

    const uint16_t w[2] = {0x0102, 0xA0B0};
    EXPECT_EQ(exchange(
                  13, with_crc({5, 0x10, 0x00, 0x50, 0x00, 0x02}),
                  [&] { return modbus_RTU_write_multiple_registers(&tty_, 5, 0x50, 2, w); }, &req),
              0);
    EXPECT_EQ(req, with_crc({5, 0x10, 0x00, 0x50, 0x00, 0x02, 4, 0x01, 0x02, 0xA0, 0xB0}));

    bytes id = {6, 0x11, 27};
    for (int i = 0; i < 27; i++) id.push_back((uint8_t)(0x30 + i));
    uint8_t slave_id[28];
    memset(slave_id, 0xEE, sizeof slave_id);
    EXPECT_EQ(
        exchange(
            4, with_crc(id), [&] { return modbus_RTU_report_slave_id(&tty_, 6, slave_id); }, &req),
        0);
    EXPECT_EQ(req, with_crc({6, 0x11}));
    EXPECT_EQ(slave_id[0], 0x30);
    EXPECT_EQ(slave_id[26], 0x30 + 26);
    EXPECT_EQ(slave_id[27], 0xEE);

    // Mask write: only the address is compared in the echo.
    EXPECT_EQ(
        exchange(
            10, with_crc({2, 0x16, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00}),
            [&] { return modbus_RTU_mask_write_register(&tty_, 2, 4, 0xF2F2, 0x0025); }, &req),
        0);
    EXPECT_EQ(req, with_crc({2, 0x16, 0x00, 0x04, 0xF2, 0xF2, 0x00, 0x25}));

    uint16_t rw[3] = {0x1111, 0x2222, 0x3333};
    EXPECT_EQ(
        exchange(
            19, with_crc({2, 0x17, 2, 0x0A, 0x0B}),
            [&] { return modbus_RTU_read_write_registers(&tty_, 2, 0x0300, 1, 0x0400, 3, rw); },
            &req),
        0);
    EXPECT_EQ(req, with_crc({2, 0x17, 0x03, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x03, 6, 0x11, 0x11,
                             0x22, 0x22, 0x33, 0x33}));
    EXPECT_EQ(rw[0], 0x0A0B);
    EXPECT_EQ(rw[1], 0x2222);  // only read_nb registers are stored
}

// Replies of the expected length that a confused slave might send.
TEST_F(RtuReview, EchoByteCountAndFunctionChecks) {
    // Write echoes: address and the sent value or quantity must come back.
    EXPECT_EQ(exchange(8, with_crc({1, 0x05, 0x00, 0x21, 0x00, 0x00}),
                       [&] { return modbus_RTU_write_single_coil(&tty_, 1, 0x21, 1); }),
              -3);
    EXPECT_EQ(exchange(8, with_crc({1, 0x05, 0x00, 0x22, 0xFF, 0x00}),
                       [&] { return modbus_RTU_write_single_coil(&tty_, 1, 0x21, 1); }),
              -3);
    EXPECT_EQ(exchange(8, with_crc({1, 0x06, 0x01, 0x00, 0xBE, 0xEE}),
                       [&] { return modbus_RTU_write_single_register(&tty_, 1, 0x0100, 0xBEEF); }),
              -3);
    const uint8_t coils[3] = {1, 0, 1};
    EXPECT_EQ(exchange(10, with_crc({1, 0x0F, 0x00, 0x40, 0x00, 0x04}),
                       [&] { return modbus_RTU_write_multiple_coils(&tty_, 1, 0x40, 3, coils); }),
              -3);
    const uint16_t w[1] = {5};
    EXPECT_EQ(exchange(11, with_crc({1, 0x10, 0x00, 0x51, 0x00, 0x01}),
                       [&] { return modbus_RTU_write_multiple_registers(&tty_, 1, 0x50, 1, w); }),
              -3);
    // 0x17: the byte count must be twice read_nb.
    uint16_t rw[2] = {0x1111, 0x2222};
    EXPECT_EQ(exchange(15, with_crc({1, 0x17, 3, 0x0A, 0x0B}),
                       [&] { return modbus_RTU_read_write_registers(&tty_, 1, 0, 1, 0, 1, rw); }),
              -3);
    EXPECT_EQ(rw[0], 0x1111);
    // An exception code at a length other than 5 is not an exception but another
    // function (0x04 aside, which knows 0x84 at any length).
    uint16_t regs[2] = {7, 7};
    EXPECT_EQ(exchange(8, with_crc({1, 0x83, 0x02, 0x00, 0x00, 0x00, 0x00}),
                       [&] { return modbus_RTU_read_holding_registers(&tty_, 1, 0, 2, regs); }),
              -3);
    // A byte count above what arrived copies only what arrived.
    uint8_t bits[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(exchange(8, with_crc({1, 0x01, 0xFF, 0x5A}),
                       [&] { return modbus_RTU_read_coils(&tty_, 1, 0, 8, bits); }),
              0);
    EXPECT_EQ(bits[0], 0x5A);
    EXPECT_EQ(bits[1], 0xEE);
    bytes id = {1, 0x11, 200};
    for (int i = 0; i < 27; i++) id.push_back(0x41);
    uint8_t slave_id[28];
    memset(slave_id, 0xEE, sizeof slave_id);
    EXPECT_EQ(
        exchange(4, with_crc(id), [&] { return modbus_RTU_report_slave_id(&tty_, 1, slave_id); }),
        0);
    EXPECT_EQ(slave_id[26], 0x41);
    EXPECT_EQ(slave_id[27], 0xEE);
    // A smaller byte count copies only that many.
    bits[0] = bits[1] = 0xEE;
    EXPECT_EQ(exchange(8, with_crc({1, 0x02, 1, 0x01, 0x02}),
                       [&] { return modbus_RTU_read_discrete_inputs(&tty_, 1, 0, 16, bits); }),
              0);
    EXPECT_EQ(bits[0], 0x01);
    EXPECT_EQ(bits[1], 0xEE);
    // The CRC is checked before the function code; a wrong length before the CRC.
    bytes bad = with_crc({1, 0x06, 0x01, 0x00, 0xBE, 0xEF});
    bad[1] = 0x86;
    EXPECT_EQ(exchange(8, bad,
                       [&] { return modbus_RTU_write_single_register(&tty_, 1, 0x0100, 0xBEEF); }),
              -2);
}

// With a quantity of 0 the expected length is 5 itself: a data-less reply is
// the answer, at once.
TEST_F(RtuReview, QuantityZeroReadsAcceptTheFiveByteReply) {
    uint8_t bits[1] = {0xEE};
    uint16_t regs[1] = {0xEEEE};
    bytes req;
    EXPECT_EQ(exchange(
                  8, with_crc({1, 0x01, 0}),
                  [&] { return modbus_RTU_read_coils(&tty_, 1, 0, 0, bits); }, &req),
              0);
    EXPECT_EQ(req, with_crc({1, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(exchange(8, with_crc({1, 0x02, 0}),
                       [&] { return modbus_RTU_read_discrete_inputs(&tty_, 1, 0, 0, bits); }),
              0);
    EXPECT_EQ(bits[0], 0xEE);
    EXPECT_EQ(exchange(8, with_crc({1, 0x03, 0}),
                       [&] { return modbus_RTU_read_holding_registers(&tty_, 1, 0, 0, regs); }),
              0);
    EXPECT_EQ(exchange(8, with_crc({1, 0x04, 0}),
                       [&] { return modbus_RTU_read_input_registers(&tty_, 1, 0, 0, regs); }),
              0);
    EXPECT_EQ(regs[0], 0xEEEE);
    // ... and an exception still wins at that length.
    EXPECT_EQ(exchange(8, with_crc({1, 0x83, 0x03}),
                       [&] { return modbus_RTU_read_holding_registers(&tty_, 1, 0, 0, regs); }),
              3);
}

// Short replies are only seen when the 3000 ms time-out ends: the cases run side
// by side, each on its own line.
TEST(RtuReviewSlow, FiveByteRepliesAtTheTimeout) {
    struct Case {
        const char *what;
        int req_len;
        bytes reply;
        std::function<int(com_ttySx_t *)> op;
        int want;
    };
    static uint8_t id[28];
    static uint16_t regs[2];
    static uint8_t status;
    std::vector<Case> cases = {
        {"0x11 without data bytes", 4, with_crc({1, 0x11, 0}),
         [](com_ttySx_t *t) { return modbus_RTU_report_slave_id(t, 1, id); }, 0},
        {"0x11 exception", 4, with_crc({1, 0x91, 0x01}),
         [](com_ttySx_t *t) { return modbus_RTU_report_slave_id(t, 1, id); }, 1},
        {"0x06 non-exception", 8, with_crc({1, 0x06, 0x00}),
         [](com_ttySx_t *t) { return modbus_RTU_write_single_register(t, 1, 0, 0); }, -3},
        {"0x01 non-exception", 8, with_crc({1, 0x01, 0x00}),
         [](com_ttySx_t *t) {
             uint8_t b[1];
             return modbus_RTU_read_coils(t, 1, 0, 8, b);
         },
         -3},
        {"0x04 exception", 8, with_crc({1, 0x84, 0x02}),
         [](com_ttySx_t *t) { return modbus_RTU_read_input_registers(t, 1, 0, 2, regs); }, 2},
        {"0x03 exception with a bad CRC", 8, bytes{1, 0x83, 0x02, 0x00, 0x00},
         [](com_ttySx_t *t) { return modbus_RTU_read_holding_registers(t, 1, 0, 2, regs); }, -2},
        {"0x03 six bytes", 8, with_crc({1, 0x03, 0x02, 0x00}),
         [](com_ttySx_t *t) { return modbus_RTU_read_holding_registers(t, 1, 0, 2, regs); }, -1},
        {"0x07 silent", 4, bytes{},
         [](com_ttySx_t *t) {
             status = 0xEE;
             return modbus_RTU_read_exception_status(t, 1, &status);
         },
         -1},
    };
    std::vector<serial_pair> pairs(cases.size());
    for (auto &p : pairs)
        if (!serial_pair_open(&p)) GTEST_SKIP() << "socat not available";
    std::vector<int> got(cases.size(), 99);
    std::vector<std::thread> runs;
    for (size_t i = 0; i < cases.size(); i++) {
        runs.emplace_back([&, i] {
            com_ttySx_t tty = {};
            com_ttySx_init(&tty, pairs[i].a.c_str(), 9600, 8, 'N', 1);
            OneShot s;
            s.start(pairs[i].b, cases[i].req_len, cases[i].reply);
            got[i] = cases[i].op(&tty);
            s.join();
            com_ttySx_exit(&tty);
        });
    }
    for (auto &r : runs) r.join();
    for (size_t i = 0; i < cases.size(); i++) EXPECT_EQ(got[i], cases[i].want) << cases[i].what;
    EXPECT_EQ(status, 0);
    for (auto &p : pairs) serial_pair_close(&p);
}

// ---------------------------------------------------------------- meter

namespace {

// Answers up to `requests` meter reads; slaves in `silent` never answer.
std::thread meter_peer(const std::string &path, int requests, std::vector<int> silent, uint16_t r0,
                       uint16_t r1, std::vector<bytes> *seen) {
    int fd = peer_open_raw(path);
    return std::thread([=] {
        for (int i = 0; i < requests; i++) {
            bytes q(8);
            if (peer_read(fd, q.data(), 8, 8000) != 8) break;
            seen->push_back(q);
            bool quiet = false;
            for (int s : silent) quiet |= (q[0] == s);
            if (quiet) continue;
            peer_write(fd, with_crc({q[0], 0x03, 4, (uint8_t)(r0 >> 8), (uint8_t)r0,
                                     (uint8_t)(r1 >> 8), (uint8_t)r1}));
        }
        close(fd);
    });
}

speed_t line_speed(const std::string &path, tcflag_t *cflag) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t = {};
    if (fd >= 0) tcgetattr(fd, &t);
    if (fd >= 0) close(fd);
    *cflag = t.c_cflag;
    return cfgetospeed(&t);
}

}  // namespace

TEST(MeterReview, RegistersSlavesLineAndTheSecondMeterAfterAFailure) {
    serial_pair pair;
    if (!serial_pair_open(&pair)) GTEST_SKIP() << "socat not available";
    DCMeters_t m = {};
    ASSERT_EQ(ccu_DCMeters_init(&m, pair.a.c_str()), 0);
    tcflag_t cflag = 0;
    EXPECT_EQ(line_speed(pair.a, &cflag), (speed_t)B9600);
    EXPECT_EQ(cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(cflag & (PARENB | CSTOPB), 0u);

    // The four start registers, two registers each, slave 1 then slave 2.
    const struct {
        void (*read)(DCMeters_t *);
        uint8_t reg;
    } reads[] = {{ccu_DCMeters_readV, 0x00},
                 {ccu_DCMeters_readI, 0x02},
                 {ccu_DCMeters_readP, 0x08},
                 {ccu_DCMeters_readE, 0x0C}};
    for (const auto &r : reads) {
        std::vector<bytes> seen;
        auto t = meter_peer(pair.b, 2, {}, 100, 3, &seen);
        r.read(&m);
        t.join();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], with_crc({1, 0x03, 0x00, r.reg, 0x00, 0x02}));
        EXPECT_EQ(seen[1], with_crc({2, 0x03, 0x00, r.reg, 0x00, 0x02}));
    }
    EXPECT_EQ(m.current_V[1], 100.0f);
    EXPECT_EQ(m.current_E[1], (float)((100 << 16) | 3));

    // The address goes out as its low 8 bits; channel 1 is the next address.
    m.salve = 0x0105;
    std::vector<bytes> seen;
    auto t = meter_peer(pair.b, 2, {5}, 0x8000, 0xFFFF, &seen);
    ccu_DCMeters_readE(&m);  // channel 0 silent: one 3 s time-out
    t.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0][0], 5);
    EXPECT_EQ(seen[1][0], 6) << "the second meter is asked even when the first failed";
    EXPECT_EQ(m.current_E[0], (float)((100 << 16) | 3));
    EXPECT_EQ(m.current_E[1], (float)(int32_t)0x8000FFFF);
    ccu_DCMeters_exit(&m);
    serial_pair_close(&pair);
}

// ---------------------------------------------------------------- loop-back

namespace {

class LoopReview : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tcu_loopreview_XXXXXX";
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

TEST_F(LoopReview, TraceLinesOfBothTestsInOrder) {
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
TEST_F(LoopReview, Rs232AnswerOnlyForTextWithinTheBytesReceived) {
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
        speed = line_speed(port("ttyS3"), &cflag);
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
TEST_F(LoopReview, Rs485GreetingsAndAnswersByteForByte) {
    std::string s4 = wire("ttyS4"), s5 = wire("ttyS5"), s6 = wire("ttyS6");
    if (s4.empty() || s5.empty() || s6.empty()) GTEST_SKIP() << "socat not available";
    int f4 = peer_open_raw(s4), f5 = peer_open_raw(s5), f6 = peer_open_raw(s6);
    testing::internal::CaptureStdout();
    std::thread run([] { rs485_test(3); });
    // Let the answering ports open before greeting them.
    tcflag_t cflag = 0;
    for (int i = 0; i < 1000 && line_speed(port("ttyS6"), &cflag) != B19200; i++) usleep(10000);

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
