// The Modbus RTU master against libmodbus as the slave, and against a scripted
// slave for what libmodbus never sends (bad CRC, wrong function, short replies);
// the energy meter against two scripted meters; every request byte and reply length
// of each function, and the meter's slaves and line, against a one-shot slave.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <modbus/modbus.h>
#include <string>
#include <sys/select.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "acrel_DJSF1352RN.h"
#include "modbus_RTU.h"
#include "support/serial_pair.h"
#include "tc_system.h"

namespace {

// libmodbus answering as slave 1 on one end of the pair.
class LibmodbusSlave {
  public:
    bool start(const std::string &path) {
        ctx_ = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
        if (ctx_ == nullptr) return false;
        modbus_set_slave(ctx_, 1);
        if (modbus_connect(ctx_) != 0) return false;
        map_ = modbus_mapping_new(32, 32, 64, 64);
        for (int i = 0; i < 64; i++) {
            map_->tab_registers[i] = (uint16_t)(0x1000 + i);
            map_->tab_input_registers[i] = (uint16_t)(0x2000 + i);
        }
        map_->tab_input_bits[0] = 1;
        map_->tab_input_bits[2] = 1;
        map_->tab_input_bits[9] = 1;
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    void stop() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
        if (map_) modbus_mapping_free(map_);
        if (ctx_) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
        map_ = nullptr;
        ctx_ = nullptr;
    }
    modbus_mapping_t *map() { return map_; }

  private:
    void serve() {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        int fd = modbus_get_socket(ctx_);
        while (!quit_) {
            // modbus_receive blocks: wait for bytes outside it.
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(fd, &rd);
            struct timeval tv = {0, 50000};
            if (select(fd + 1, &rd, nullptr, nullptr, &tv) <= 0) continue;
            int rc = modbus_receive(ctx_, query);
            if (rc > 0) modbus_reply(ctx_, query, rc, map_);
        }
    }
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    std::thread thread_;
    std::atomic<bool> quit_{false};
};

class RtuMaster : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!serial_pair_open(&pair_)) GTEST_SKIP() << "socat not available";
    }
    void TearDown() override {
        com_ttySx_exit(&tty_);
        serial_pair_close(&pair_);
    }
    void open_master() { ASSERT_EQ(com_ttySx_init(&tty_, pair_.a.c_str(), 9600, 8, 'N', 1), 0); }
    serial_pair pair_;
    com_ttySx_t tty_ = {};
};

// A scripted slave: reads one request of `req_len` bytes, hands it to `answer`.
std::thread scripted(const std::string &path, int req_len,
                     std::function<std::vector<uint8_t>(const std::vector<uint8_t> &)> answer,
                     std::vector<uint8_t> *seen = nullptr) {
    int fd = peer_open_raw(path);
    return std::thread([fd, req_len, answer, seen] {
        std::vector<uint8_t> req((size_t)req_len);
        int n = peer_read(fd, req.data(), req_len, 5000);
        req.resize((size_t)(n > 0 ? n : 0));
        if (seen) *seen = req;
        if (n == req_len) peer_write(fd, answer(req));
        usleep(100000);
        close(fd);
    });
}

}  // namespace

TEST_F(RtuMaster, EveryFunctionAgainstLibmodbus) {
    LibmodbusSlave slave;
    ASSERT_TRUE(slave.start(pair_.b));
    open_master();  // after the slave: modbus_connect flushes its port

    uint16_t regs[4] = {};
    EXPECT_EQ(modbus_RTU_read_holding_registers(&tty_, 1, 2, 3, regs), 0);
    EXPECT_EQ(regs[0], 0x1002);
    EXPECT_EQ(regs[2], 0x1004);
    EXPECT_EQ(modbus_RTU_read_input_registers(&tty_, 1, 5, 2, regs), 0);
    EXPECT_EQ(regs[1], 0x2006);

    EXPECT_EQ(modbus_RTU_write_single_register(&tty_, 1, 7, 0xBEEF), 0);
    EXPECT_EQ(slave.map()->tab_registers[7], 0xBEEF);
    const uint16_t many[3] = {1, 2, 3};
    EXPECT_EQ(modbus_RTU_write_multiple_registers(&tty_, 1, 10, 3, many), 0);
    EXPECT_EQ(slave.map()->tab_registers[12], 3);
    EXPECT_EQ(modbus_RTU_mask_write_register(&tty_, 1, 10, 0x00F0, 0x0005), 0);
    EXPECT_EQ(slave.map()->tab_registers[10], (1 & 0x00F0) | (0x0005 & ~0x00F0));

    uint16_t rw[2] = {0xAAAA, 0xBBBB};
    EXPECT_EQ(modbus_RTU_read_write_registers(&tty_, 1, 20, 2, 20, 2, rw), 0);
    EXPECT_EQ(rw[0], 0xAAAA);  // libmodbus writes before it reads
    EXPECT_EQ(rw[1], 0xBBBB);

    EXPECT_EQ(modbus_RTU_write_single_coil(&tty_, 1, 4, 1), 0);
    EXPECT_EQ(slave.map()->tab_bits[4], 1);
    const uint8_t coils[3] = {1, 0, 1};
    EXPECT_EQ(modbus_RTU_write_multiple_coils(&tty_, 1, 0, 3, coils), 0);
    EXPECT_EQ(slave.map()->tab_bits[0], 1);
    EXPECT_EQ(slave.map()->tab_bits[1], 0);
    EXPECT_EQ(slave.map()->tab_bits[2], 1);

    uint8_t bits[2] = {};
    EXPECT_EQ(modbus_RTU_read_coils(&tty_, 1, 0, 8, bits), 0);
    EXPECT_EQ(bits[0], 0x15);  // coils 0, 2 and 4
    EXPECT_EQ(modbus_RTU_read_discrete_inputs(&tty_, 1, 0, 10, bits), 0);
    EXPECT_EQ(bits[0], 0x05);
    EXPECT_EQ(bits[1], 0x02);

    // libmodbus says its own id, run indicator and version text: a length of its own.
    uint8_t id[27] = {};
    EXPECT_EQ(modbus_RTU_report_slave_id(&tty_, 1, id), 0);
    EXPECT_EQ(id[1], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(id + 2), 3), "LMB");
    slave.stop();
}

// Each case here waits out the 3000 ms time-out, so they share one fixture run.
TEST_F(RtuMaster, ExceptionAndBroadcastWaitTheTimeout) {
    LibmodbusSlave slave;
    ASSERT_TRUE(slave.start(pair_.b));
    open_master();
    uint16_t regs[2];
    // Illegal address: a 5-byte exception, seen only after the full time-out.
    EXPECT_EQ(modbus_RTU_read_holding_registers(&tty_, 1, 1000, 2, regs),
              MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    // Broadcast: nobody answers.
    EXPECT_EQ(modbus_RTU_write_single_register(&tty_, 0, 3, 9), -1);
    slave.stop();
}

TEST_F(RtuMaster, RequestBytesAndCorruptReplies) {
    open_master();
    std::vector<uint8_t> seen;
    // The request bytes of a 2-register read from slave 1.
    auto t = scripted(
        pair_.b, 8,
        [](const std::vector<uint8_t> &) {
            std::vector<uint8_t> r = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B};
            peer_append_crc(&r);
            r[r.size() - 1] ^= 0xFF;  // corrupt the CRC
            return r;
        },
        &seen);
    uint16_t regs[2] = {7, 7};
    EXPECT_EQ(modbus_RTU_read_holding_registers(&tty_, 1, 0, 2, regs), -2);
    t.join();
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    EXPECT_EQ(regs[0], 7);

    // Right length and CRC, another function code.
    t = scripted(pair_.b, 8, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x04, 0x04, 0x00, 0x0A, 0x00, 0x0B};
        peer_append_crc(&r);
        return r;
    });
    EXPECT_EQ(modbus_RTU_read_holding_registers(&tty_, 1, 0, 2, regs), -3);
    t.join();

    // Input registers: an exception is recognised from 0x84 at the expected length too.
    t = scripted(pair_.b, 8, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x84, 0x02, 0x00, 0x00, 0x00, 0x00};
        peer_append_crc(&r);
        return r;
    });
    EXPECT_EQ(modbus_RTU_read_input_registers(&tty_, 1, 0, 2, regs), 2);
    t.join();

    // Mask write echoing another address.
    t = scripted(pair_.b, 10, [](const std::vector<uint8_t> &q) {
        std::vector<uint8_t> r(q.begin(), q.begin() + 8);
        r[3] ^= 1;
        peer_append_crc(&r);
        return r;
    });
    EXPECT_EQ(modbus_RTU_mask_write_register(&tty_, 1, 0x20, 0xFF00, 0x0001), -3);
    t.join();

    // Report slave id: data bytes copied as the byte count says.
    t = scripted(pair_.b, 4, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x11, 27};
        for (int i = 0; i < 27; i++) r.push_back((uint8_t)('A' + i % 26));
        peer_append_crc(&r);
        return r;
    });
    uint8_t id[27] = {};
    EXPECT_EQ(modbus_RTU_report_slave_id(&tty_, 1, id), 0);
    EXPECT_EQ(id[0], 'A');
    EXPECT_EQ(id[26], 'A');
    t.join();

    // Read exception status (libmodbus does not serve 0x07).
    t = scripted(pair_.b, 4, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x07, 0x6D};
        peer_append_crc(&r);
        return r;
    });
    uint8_t status = 0;
    EXPECT_EQ(modbus_RTU_read_exception_status(&tty_, 1, &status), 0);
    EXPECT_EQ(status, 0x6D);
    t.join();
    t = scripted(pair_.b, 4, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x87, 0x04};
        peer_append_crc(&r);
        return r;
    });
    EXPECT_EQ(modbus_RTU_read_exception_status(&tty_, 1, &status), 4);
    EXPECT_EQ(status, 0);  // cleared before the exchange, left so on failure
    t.join();

    // The coil request packs 1, 0, 1 into one data byte 0x05.
    t = scripted(
        pair_.b, 10,
        [](const std::vector<uint8_t> &q) {
            std::vector<uint8_t> r(q.begin(), q.begin() + 6);
            peer_append_crc(&r);
            return r;
        },
        &seen);
    const uint8_t coils[3] = {1, 0, 1};
    EXPECT_EQ(modbus_RTU_write_multiple_coils(&tty_, 1, 0x13, 3, coils), 0);
    t.join();
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_EQ(seen[6], 1);
    EXPECT_EQ(seen[7], 0x05);
}

TEST_F(RtuMaster, FiveByteRepliesWithoutDataAreRefused) {
    open_master();
    // 0x04 with a 5-byte reply carrying 0x04 holds no registers: refused like 0x03.
    auto t = scripted(pair_.b, 8, [](const std::vector<uint8_t> &) {
        std::vector<uint8_t> r = {0x01, 0x04, 0x00};
        peer_append_crc(&r);
        return r;
    });
    uint16_t regs[2];
    int64_t t0 = monotime_ms();
    EXPECT_EQ(modbus_RTU_read_input_registers(&tty_, 1, 0, 2, regs), -3);
    t.join();
    EXPECT_GE(monotime_ms() - t0, 2900);  // a short reply is only seen at the time-out
}

TEST_F(RtuMaster, QuantitiesBeyondTheLimitsAreRefusedBeforeSending) {
    open_master();
    int fd = peer_open_raw(pair_.b);
    uint8_t bits[300];
    uint16_t regs[300] = {};
    EXPECT_EQ(modbus_RTU_read_coils(&tty_, 1, 0, 2001, bits), -4);
    EXPECT_EQ(modbus_RTU_read_discrete_inputs(&tty_, 1, 0, 2001, bits), -4);
    EXPECT_EQ(modbus_RTU_read_holding_registers(&tty_, 1, 0, 126, regs), -4);
    EXPECT_EQ(modbus_RTU_read_input_registers(&tty_, 1, 0, 126, regs), -4);
    EXPECT_EQ(modbus_RTU_write_multiple_coils(&tty_, 1, 0, 1969, bits), -4);
    EXPECT_EQ(modbus_RTU_write_multiple_registers(&tty_, 1, 0, 124, regs), -4);
    EXPECT_EQ(modbus_RTU_read_write_registers(&tty_, 1, 0, 126, 0, 1, regs), -4);
    EXPECT_EQ(modbus_RTU_read_write_registers(&tty_, 1, 0, 1, 0, 122, regs), -4);
    uint8_t any[4];
    EXPECT_EQ(peer_read(fd, any, 1, 200), 0) << "a refused request reached the line";
    close(fd);
}

// Two scripted meters at slaves 1 and 2 (or only one of them answering).
static std::thread meters(const std::string &path, int requests, bool second_silent, uint16_t r0,
                          uint16_t r1) {
    int fd = peer_open_raw(path);
    return std::thread([=] {
        for (int i = 0; i < requests; i++) {
            uint8_t q[8];
            if (peer_read(fd, q, 8, 8000) != 8) break;
            if (q[0] == 2 && second_silent) continue;
            std::vector<uint8_t> r = {
                q[0], 0x03, 0x04, (uint8_t)(r0 >> 8), (uint8_t)r0, (uint8_t)(r1 >> 8), (uint8_t)r1};
            if (q[0] == 2) r[4] ^= 0;  // same value on both channels
            peer_append_crc(&r);
            peer_write(fd, r);
        }
        close(fd);
    });
}

TEST_F(RtuMaster, MeterConversions) {
    DCMeters_t m = {};
    ASSERT_EQ(ccu_DCMeters_init(&m, pair_.a.c_str()), 0);
    EXPECT_EQ(m.salve, 1);

    auto t = meters(pair_.b, 2, false, 7500, 2);
    ccu_DCMeters_readV(&m);
    t.join();
    EXPECT_FLOAT_EQ(m.current_V[0], 750.0f);
    EXPECT_FLOAT_EQ(m.current_V[1], 750.0f);

    t = meters(pair_.b, 2, false, 7500, 3);
    ccu_DCMeters_readI(&m);
    t.join();
    EXPECT_FLOAT_EQ(m.current_I[0], 7500.0f);

    // Exponent 0: single precision gives 7.5000005, not 7.5.
    t = meters(pair_.b, 2, false, 7500, 0);
    ccu_DCMeters_readP(&m);
    t.join();
    EXPECT_EQ(m.current_P[0], 7500.0f * powf(10.0f, -3.0f));
    EXPECT_NEAR(m.current_P[0], 7.5000005f, 1e-6);

    t = meters(pair_.b, 2, false, 0x0001, 0x86A0);
    ccu_DCMeters_readE(&m);
    t.join();
    EXPECT_FLOAT_EQ(m.current_E[0], 100000.0f);
    t = meters(pair_.b, 2, false, 0xFFFF, 0xFFFF);
    ccu_DCMeters_readE(&m);
    t.join();
    EXPECT_FLOAT_EQ(m.current_E[1], -1.0f);

    // Channel 1 silent: channel 0 changes, channel 1 keeps its value (one 3 s time-out).
    t = meters(pair_.b, 2, true, 2000, 3);
    ccu_DCMeters_readV(&m);
    t.join();
    EXPECT_FLOAT_EQ(m.current_V[0], 2000.0f);
    EXPECT_FLOAT_EQ(m.current_V[1], 750.0f);
    ccu_DCMeters_exit(&m);
}

TEST(RtuMasterNull, NullMeterRecord) {
    EXPECT_EQ(ccu_DCMeters_init(nullptr, "/dev/null"), -1);
    ccu_DCMeters_readV(nullptr);
    ccu_DCMeters_readE(nullptr);
    ccu_DCMeters_exit(nullptr);
}

// ---------------------------------------------------------------- every byte on the wire
// Every request byte and expected reply length of the twelve functions, the order of
// the checks and the copy limits, short replies at the time-out, the meter's slaves
// and line settings. Their own scripted slave: one request, one reply.

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

class RtuWire : public ::testing::Test {
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
TEST_F(RtuWire, RequestFramesAndExpectedReplyLengthsOfAllTwelve) {
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
TEST_F(RtuWire, EchoByteCountAndFunctionChecks) {
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

// Function 0x11: the reply is as long as its own byte count says; the caller gets the
// first 27 data bytes, and the CRC covers them all. Five bytes (no data, or an
// exception) are a whole reply as they stand.
TEST_F(RtuWire, SlaveIdReplyIsAsLongAsItsByteCount) {
    auto reply = [](int count) {
        bytes r = {1, 0x11, (uint8_t)count};
        for (int i = 0; i < count; i++) r.push_back((uint8_t)(0x20 + i % 90));
        return with_crc(r);
    };
    uint8_t slave_id[28];
    auto op = [&] { return modbus_RTU_report_slave_id(&tty_, 1, slave_id); };
    for (int count : {3, 27, 250}) {
        memset(slave_id, 0xEE, sizeof slave_id);
        bytes r = reply(count);
        EXPECT_EQ(exchange(4, r, op), 0) << count;
        int copied = count < 27 ? count : 27;
        EXPECT_EQ(bytes(slave_id, slave_id + copied), bytes(r.begin() + 3, r.begin() + 3 + copied))
            << count;
        EXPECT_EQ(slave_id[copied], 0xEE) << count;
    }
    bytes bad = reply(250);
    bad[200] ^= 0x01;  // far behind the bytes the caller gets
    EXPECT_EQ(exchange(4, bad, op), -2);
    memset(slave_id, 0xEE, sizeof slave_id);
    EXPECT_EQ(exchange(4, with_crc({1, 0x11, 0}), op), 0);
    EXPECT_EQ(slave_id[0], 0xEE);
    EXPECT_EQ(exchange(4, with_crc({1, 0x91, 0x01}), op), 1);
}

// With a quantity of 0 the expected length is 5 itself: a data-less reply is
// the answer, at once.
TEST_F(RtuWire, QuantityZeroReadsAcceptTheFiveByteReply) {
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
TEST(RtuWireSlow, FiveByteRepliesAtTheTimeout) {
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
    bytes slave_id_200 = {1, 0x11, 200};
    for (int i = 0; i < 27; i++) slave_id_200.push_back(0x41);
    slave_id_200 = with_crc(slave_id_200);
    std::vector<Case> cases = {
        {"0x11 byte count above what arrives", 4, slave_id_200,
         [](com_ttySx_t *t) { return modbus_RTU_report_slave_id(t, 1, id); }, -1},
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

// ---------------------------------------------------------------- meter on the wire

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

}  // namespace

TEST(MeterWire, RegistersSlavesLineAndTheSecondMeterAfterAFailure) {
    serial_pair pair;
    if (!serial_pair_open(&pair)) GTEST_SKIP() << "socat not available";
    DCMeters_t m = {};
    ASSERT_EQ(ccu_DCMeters_init(&m, pair.a.c_str()), 0);
    tcflag_t cflag = 0;
    EXPECT_EQ(peer_line_speed(pair.a, &cflag), (speed_t)B9600);
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
