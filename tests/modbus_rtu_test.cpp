// The Modbus RTU master against libmodbus as the slave, and against a scripted
// slave for what libmodbus never sends (bad CRC, wrong function, short replies);
// the energy meter against two scripted meters.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <functional>
#include <modbus/modbus.h>
#include <sys/select.h>
#include <thread>
#include <unistd.h>

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
