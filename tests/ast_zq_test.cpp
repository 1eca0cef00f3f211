// Controller link against a scripted controller and board on a pseudo-terminal:
// frames byte for byte, the misbehaving line, the board exchange with its lock and
// auxiliary-power controls, the function names on its log lines, and the hub effects
// of a whole charge on each gun.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <vector>

#include "ast_ZQ.h"
#include "config.h"
#include "modbus_crc.h"
#include "support/ctrl_peer.h"
#include "support/fake_sysfs.h"
#include "support/log_tap.h"
#include "support/pty_pair.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

// Bound on waits for something that must come; never a timing requirement.
constexpr int kWaitMs = 10000;

std::string hex(const ctrl_bytes &b) {
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size(); i++) {
        snprintf(t, sizeof t, i ? " %02X" : "%02X", b[i]);
        s += t;
    }
    return s;
}

uint16_t reg(uint16_t addr) {
    pthread_mutex_lock(&modbusHW.mutex);
    uint16_t v =
        (addr >> 8) == 0x11 ? modbusHW.regs_0x1100[addr & 0xFF] : modbusHW.regs_0x1D00[addr & 0xFF];
    pthread_mutex_unlock(&modbusHW.mutex);
    return v;
}

struct post_t {
    uint32_t stNum;
    int state;
    PowerRequest_t power;
    ShutdownRequest_t shutdown;
};

post_t goose_view(goose_HW_t *g) {
    pthread_mutex_lock(&g->mutex);
    post_t p{g->stNum, g->state.load(), g->power_request, g->shutdown_request};
    pthread_mutex_unlock(&g->mutex);
    return p;
}

class AstLink : public ::testing::Test {
  protected:
    void SetUp() override {
        sys = std::make_unique<FakeSysfs>();  // contactor GPIO writes land here, never in /sys
        sys->add_board_lines();
        sys->record_commands(true);
        modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);  // reports dropped, image kept
        goose_HW_init(&gooseGUNA, nullptr, 1);  // no socket: posts are counted, not sent
        goose_HW_init(&gooseGUNB, nullptr, 2);
        tcu_config.modbus_hw.maxI_GUNA = 250;
        tcu_config.modbus_hw.maxI_GUNB = 200;
        ASSERT_EQ(pty_pair_open(&line), 0);
        dev = std::make_unique<ast_zq_t>();
        ASSERT_EQ(ccu_AST_init(dev.get(), line.name.c_str()), 0);
        ASSERT_GT(dev->tty.fd, 0);
        peer = std::make_unique<ctrl_peer_t>(line.master);
    }
    void TearDown() override {
        peer.reset();
        if (peer_closed_line) line.master = -1;
        ccu_AST_exit(dev.get());
        pty_pair_close(&line);
        goose_HW_exit(&gooseGUNA);
        goose_HW_exit(&gooseGUNB);
        modbus_TCP_exit(&modbusHW);
        sys.reset();
    }
    // Controllers answer every poll with command 14 (nothing to do), the board
    // with its state: a whole cycle then runs without any deadline.
    void quiet_line() {
        peer->set_default(0x11, ctrl_reply(0x11, 0, 14, {0}));
        peer->set_default(0x12, ctrl_reply(0x12, 0, 14, {0}));
        peer->board_state(board);
    }
    // One exchange with gun A (or B) answered by `reply`; returns the frames the
    // peer received during it.
    std::vector<ctrl_frame_t> exchange(uint8_t addr, const ctrl_bytes &reply, int *rc = nullptr) {
        peer->clear_frames();
        peer->queue(addr, reply);
        int gun = (addr & 0x0F) - 1;
        int r = ccu_AST_queryController(dev.get(), addr, dev->stat1[gun], dev->stat2[gun],
                                        (uint16_t)(dev->power_allocated[gun] / 5));
        if (rc) *rc = r;
        if (r > 0) peer->wait_count(2, kWaitMs);
        return peer->frames();
    }
    ctrl_bytes response_to(uint8_t addr, const ctrl_bytes &reply) {
        int rc = 0;
        auto f = exchange(addr, reply, &rc);
        EXPECT_GT(rc, 0);
        if (f.size() < 2) return {};
        EXPECT_TRUE(f[1].crc_ok);
        return f[1].bytes;
    }
    std::vector<size_t> contactor_writes(int gpio) {
        std::vector<size_t> at;
        auto w = sys->writes();
        std::string key = "gpio" + std::to_string(gpio) + "/value";
        for (size_t i = 0; i < w.size(); i++)
            if (w[i].second.find(key) != std::string::npos) at.push_back(i);
        return at;
    }

    std::unique_ptr<FakeSysfs> sys;
    pty_pair_t line;
    std::unique_ptr<ast_zq_t> dev;
    std::unique_ptr<ctrl_peer_t> peer;
    ctrl_board_state_t board;
    bool peer_closed_line = false;
};

// ---------------------------------------------------------------- checksum

TEST(AstCrc, ModbusCheckValuesTablesAndAnIndependentBitwiseCrc) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(modbus_crc16(digits, 9), 0x4B37);
    const uint8_t req[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(modbus_crc16(req, 6), 0xCDC5);
    EXPECT_EQ(modbus_crc16(req, 0), 0xFFFF);
    EXPECT_EQ(table_crc_hi[0], 0x00);
    EXPECT_EQ(table_crc_hi[1], 0xC1);
    EXPECT_EQ(table_crc_hi[2], 0x81);
    EXPECT_EQ(table_crc_hi[3], 0x40);
    EXPECT_EQ(table_crc_lo[0], 0x00);
    EXPECT_EQ(table_crc_lo[1], 0xC0);
    EXPECT_EQ(table_crc_lo[2], 0xC1);
    EXPECT_EQ(table_crc_lo[3], 0x01);
    uint32_t seed = 12345;
    for (int n = 0; n < 200; n++) {
        uint8_t buf[64];
        int len = n % 64;
        for (int i = 0; i < len; i++)
            buf[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
        ASSERT_EQ(modbus_crc16(buf, len), ctrl_crc16(buf, (size_t)len)) << len;
    }
}

// ---------------------------------------------------------------- frames

TEST_F(AstLink, FirstCycleFramesByteExact) {
    quiet_line();
    EXPECT_EQ(ccu_AST_cycle(dev.get()), 3);
    ASSERT_TRUE(peer->wait_count(5, kWaitMs));
    auto f = peer->frames();
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(hex(f[0].bytes), "11 EE 04 00 03 04 00 0E 4F");  // power_allocated 3 -> 0
    EXPECT_EQ(f[1].bytes[0], 0x11);                            // response to gun A's command 14
    EXPECT_EQ(f[1].bytes[6], 1);
    EXPECT_EQ(hex(f[2].bytes), "12 ED 04 00 03 04 00 3D 7C");
    EXPECT_EQ(hex(f[4].bytes), "13 EC 08 42 00 04 00 00 00 00 00 7A A4");
    for (const auto &fr : f) EXPECT_TRUE(fr.crc_ok) << hex(fr.bytes);
    EXPECT_EQ(dev->need_send_ctrl_cmd, 0);
}

// A stop is not kept waiting for the rest of a cycle: the exchange under way is the last.
TEST_F(AstLink, StopEndsTheCycleAfterTheExchangeUnderWay) {
    quiet_line();
    dev->quit = 1;
    EXPECT_EQ(ccu_AST_cycle(dev.get()), 1);
}

TEST_F(AstLink, ResponsesAandBByteExact) {
    // Shortest reply (L = 3: seq, cmd, one parameter) is dispatched.
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 5, 0, {0}))), "11 EE 04 01 05 00 01 2C B2");

    board.lockA = 0;  // the board reports gun A locked
    peer->board_state(board);
    EXPECT_EQ(ccu_AST_queryTemperature(dev.get(), 0x13, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 7, 102, {0}))),
              "11 EE 06 01 07 66 01 FF 01 58 0D");
    EXPECT_EQ(hex(response_to(0x12, ctrl_reply(0x12, 7, 102, {0}))).substr(21, 5), "FF 00");

    // Command 14: answered, nothing else.
    EXPECT_EQ(hex(response_to(0x12, ctrl_reply(0x12, 9, 14, {0}))).substr(0, 20),
              "12 ED 04 01 09 0E 01");
}

TEST_F(AstLink, PowerAllocatedTravelsInThePollDividedByFive) {
    response_to(0x11, ctrl_reply(0x11, 1, 1, {0x03, 0xE8, 0}));  // 1000
    EXPECT_EQ(dev->power_allocated[0], 1000);
    auto f = exchange(0x11, ctrl_reply(0x11, 2, 1, {0x05, 0xDC, 0}));  // 1500
    ASSERT_GE(f.size(), 1u);
    EXPECT_EQ(f[0].bytes[6], 200);
    f = exchange(0x11, ctrl_reply(0x11, 3, 14, {0}));
    ASSERT_GE(f.size(), 1u);
    EXPECT_EQ(f[0].bytes[6], 44);  // 300 modulo 256
    EXPECT_TRUE(f[0].crc_ok);
    // Command 101 reads it back.
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 4, 101, {0}))).substr(21, 5), "05 DC");
}

// ---------------------------------------------------------------- misbehaving line

TEST_F(AstLink, SilenceCostsOneDeadlineWithRetransmissions) {
    int64_t t0 = monotime_ms();
    int rc = ccu_AST_queryController(dev.get(), 0x11, 3, 4, 0);
    int64_t took = monotime_ms() - t0;
    EXPECT_EQ(rc, -2);
    EXPECT_GE(took, 500);
    EXPECT_LT(took, 5000);
    peer->wait_count(2, kWaitMs);
    auto f = peer->frames();
    // The first poll and at most two retransmissions, all the same poll.
    ASSERT_GE(f.size(), 2u);
    EXPECT_LE(f.size(), 3u);
    for (const auto &fr : f) EXPECT_EQ(hex(fr.bytes), "11 EE 04 00 03 04 00 0E 4F");
    EXPECT_GT(dev->tty.fd, 0);  // reopened, still usable
}

TEST_F(AstLink, BadHeadersAreRetransmittedAndNeverAnswered) {
    // A wrong complement every time: three polls, no response, nothing executed.
    ctrl_bytes bad = ctrl_reply(0x11, 1, 1, {0x03, 0xE8, 0});
    bad[1] = 0xEF;
    peer->set_default(0x11, bad);
    int rc = 0;
    auto f = exchange(0x11, bad, &rc);
    EXPECT_LT(rc, 0);
    peer->wait_count(3, kWaitMs);
    f = peer->frames();
    EXPECT_EQ(f.size(), 3u);
    for (const auto &fr : f) EXPECT_EQ(fr.bytes[3], 0);  // polls only
    EXPECT_EQ(dev->power_allocated[0], 3);
    peer->clear_default(0x11);

    // A length byte above 123 would run past the 128-byte buffer: a bad header.
    ctrl_bytes huge = {0x11, 0xEE, 200, 1, 1};
    huge.resize(130, 0x55);
    peer->set_default(0x11, huge);
    f = exchange(0x11, huge, &rc);
    EXPECT_LT(rc, 0);
    peer->clear_default(0x11);
    EXPECT_EQ(dev->power_allocated[0], 3);
}

TEST_F(AstLink, WrongCrcGetsNoResponseAndTheCycleGoesOn) {
    ctrl_bytes r = ctrl_reply(0x11, 1, 1, {0x03, 0xE8, 0});
    r.back() ^= 0xFF;
    int rc = -9;
    auto f = exchange(0x11, r, &rc);
    EXPECT_EQ(rc, 0);
    usleep(50000);
    EXPECT_EQ(peer->count(), 1u);  // only the poll
    EXPECT_EQ(dev->power_allocated[0], 3);
}

TEST_F(AstLink, ReplyShorterThanItsLengthByteEndsWithMinusTwo) {
    ctrl_bytes r = ctrl_reply(0x11, 1, 3, {0x13, 0x88, 0x00, 0x7D, 0});
    r.resize(9);  // announces 12 bytes, 9 arrive
    int rc = 0;
    exchange(0x11, r, &rc);
    // The first time-out resends and clears the count, so the end is -2, not -4.
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(dev->currV[0], 0.0f);
    usleep(50000);
    for (const auto &fr : peer->frames()) EXPECT_EQ(fr.bytes[3], 0);  // no response
}

// A reply that arrives after its exchange gave up must not be taken as the answer
// to the next poll: the line would stay one reply behind for good.
TEST_F(AstLink, LateReplyIsDroppedBeforeTheNextPoll) {
    // Gun A stays silent until its exchange has given up, then its reply arrives.
    EXPECT_EQ(ccu_AST_queryController(dev.get(), 0x11, 3, 4, 0), -2);
    // The retransmissions went out just before the exchange gave up: let the peer
    // collect them, or they would be counted among the next exchange's frames.
    peer->wait_count(2, kWaitMs);
    for (size_t n = 0, i = 0; i < kWaitMs / 200 && n != peer->count(); i++) {
        n = peer->count();
        msleep(200);
    }
    ctrl_bytes late = ctrl_reply(0x11, 5, 1, {0x07, 0xD0, 0});  // allocate 2000 to gun A
    ASSERT_EQ(write(line.master, late.data(), late.size()), (ssize_t)late.size());
    ASSERT_TRUE(
        pty_wait_queued(line.slave, (int)late.size()));  // now in the terminal's input queue

    auto f = exchange(0x12, ctrl_reply(0x12, 6, 14, {0}));
    EXPECT_EQ(dev->power_allocated[0], 3) << "the stale gun A reply was executed";
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].bytes[0], 0x12);  // the response answers gun B's own reply
    EXPECT_EQ(f[1].bytes[4], 6);     // seq and command of gun B's reply
    EXPECT_EQ(f[1].bytes[5], 14);
}

// A device that answers a retransmitted poll answers after the exchange gave up;
// on a real bus its reply is still arriving when the next request is due and the
// next device answers only after it. The terminal waits for the line to go quiet.
TEST_F(AstLink, ReplyToARetransmissionStillArrivingIsNotTakenByTheNextExchange) {
    EXPECT_EQ(ccu_AST_queryController(dev.get(), 0x11, 3, 4, 0), -2);  // silent: retransmitted
    std::thread late([&] {
        usleep(30000);
        ctrl_bytes r = ctrl_reply(0x11, 5, 1, {0x07, 0xD0, 0});  // allocate 2000 to gun A
        write(line.master, r.data(), r.size());
    });
    // The reply must land inside the terminal's quiet window: a real-time writer is not
    // kept waiting behind other work on a loaded machine (without the privilege it
    // simply runs at normal priority).
    sched_param rt{};
    rt.sched_priority = 1;
    pthread_setschedparam(late.native_handle(), SCHED_FIFO, &rt);
    ctrl_action_t own{ctrl_reply(0x12, 6, 14, {0})};
    own.delay_ms = 150;  // gun B answers after the bus is free again
    peer->clear_frames();
    peer->queue(0x12, own);
    int rc = ccu_AST_queryController(dev.get(), 0x12, 3, 4, 0);
    late.join();
    EXPECT_GT(rc, 0);
    EXPECT_EQ(dev->power_allocated[0], 3) << "the late gun A reply was executed";
    // Frames with byte 3 = 1 answer a command. The peer reads them on its own thread:
    // wait for gun B's response, the last frame of the exchange, so that any response
    // written before it has been collected too.
    auto is_response = [](const ctrl_frame_t &fr) {
        return fr.bytes.size() > 5 && fr.bytes[3] == 1;
    };
    peer->wait_for(
        [&](const std::vector<ctrl_frame_t> &fs) {
            return std::any_of(fs.begin(), fs.end(), [&](const ctrl_frame_t &fr) {
                return is_response(fr) && fr.bytes[0] == 0x12;
            });
        },
        kWaitMs);
    std::vector<ctrl_bytes> responses;
    for (const auto &fr : peer->frames())
        if (is_response(fr)) responses.push_back(fr.bytes);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0][0], 0x12);
    EXPECT_EQ(responses[0][4], 6);  // gun B's own seq
}

TEST_F(AstLink, UnsupportedCommandRepeatsThePoll) {
    auto f = exchange(0x11, ctrl_reply(0x11, 3, 12, {0}));
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(hex(f[1].bytes), hex(f[0].bytes));
    EXPECT_EQ(hex(f[1].bytes), "11 EE 04 00 03 04 00 0E 4F");
}

TEST_F(AstLink, ReplyFromTheOtherAddressActsOnThatGun) {
    auto f = exchange(0x11, ctrl_reply(0x12, 4, 1, {0x07, 0xD0, 0}));  // 2000 for gun B
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].bytes[0], 0x12);
    EXPECT_EQ(f[1].bytes[1], 0xED);
    EXPECT_EQ(dev->power_allocated[1], 2000);
    EXPECT_EQ(dev->power_allocated[0], 3);
    EXPECT_EQ(reg(0x1D0B), 1);
}

TEST_F(AstLink, TooShortCommandIsAnsweredWithResultZeroAndNotExecuted) {
    // Command 3 with L = 3: voltage and current would come from the CRC and stale bytes.
    dev->ast_stage[0] = AST_CHARGING;
    uint32_t st = goose_view(&gooseGUNA).stNum;
    ctrl_bytes r = response_to(0x11, ctrl_reply(0x11, 6, 3, {0x13}));
    EXPECT_EQ(hex(r).substr(0, 20), "11 EE 04 01 06 03 00");
    EXPECT_EQ(dev->currV[0], 0.0f);
    EXPECT_EQ(goose_view(&gooseGUNA).stNum, st);
    // Command 1 with its power cut off after one byte.
    r = response_to(0x11, ctrl_reply(0x11, 7, 1, {0x03}));
    EXPECT_EQ(r[6], 0);
    EXPECT_EQ(dev->power_allocated[0], 3);
    // Command 3 with everything but the more-commands byte is executed.
    r = response_to(0x11, ctrl_reply(0x11, 8, 3, {0x13, 0x88, 0x00, 0x7D}));
    EXPECT_EQ(r[6], 1);
    EXPECT_FLOAT_EQ(dev->currV[0], 500.0f);
    EXPECT_FLOAT_EQ(dev->currI[0], 12.5f);
}

// ---------------------------------------------------------------- board

class AstBoard : public AstLink {
  protected:
    // Places a reply as the receive routine would leave it and processes it.
    int process(const ctrl_bytes &bytes) {
        memcpy(dev->rxbuff, bytes.data(), bytes.size());
        dev->rxbytes = (int)bytes.size();
        return ccu_AST_processTemperature(dev.get());
    }
};

TEST_F(AstBoard, SeventeenBytesAreRepairedSixteenAreNot) {
    board.temp[0] = 77;
    board.lockB = 0;
    ctrl_bytes full = ctrl_board_reply(0x13, board);
    ctrl_bytes cut(full.begin() + 1, full.end());
    ctrl_bytes sixteen(full.begin() + 2, full.end());
    EXPECT_EQ(process(sixteen), -2);
    EXPECT_EQ(dev->temp[0], 0);
    EXPECT_EQ(dev->GUNB_ELockState, 1);
    EXPECT_EQ(process(cut), 0);
    EXPECT_EQ(dev->temp[0], 77);
    EXPECT_EQ(dev->GUNB_ELockState, 0);
    EXPECT_EQ(reg(0x1D56), 1);

    ctrl_bytes bad = full;
    bad[1] ^= 1;
    EXPECT_EQ(process(bad), -3);
    bad = full;
    bad[16] ^= 1;
    EXPECT_EQ(process(bad), 1);  // CRC rejected (0 from ccu_AST_queryTemperature)
    bad = full;
    bad[2] = 14;  // announces 19 bytes, 18 held; CRC made to match
    uint16_t crc = ctrl_crc16(bad.data(), 16);
    bad[16] = (uint8_t)(crc & 0xFF);
    bad[17] = (uint8_t)(crc >> 8);
    EXPECT_EQ(process(bad), -4);
    EXPECT_EQ(dev->rxbytes, 0);
}

TEST_F(AstBoard, EmergencyStopOnlyOnTheChangeIntoIt) {
    uint32_t a0 = goose_view(&gooseGUNA).stNum, b0 = goose_view(&gooseGUNB).stNum;
    for (uint8_t e : {0x00, 0x7F, 0x7F, 0x00, 0x7F}) {
        board.emg = e;
        peer->board_state(board);
        EXPECT_EQ(ccu_AST_queryTemperature(dev.get(), 0x13, 0, 0, 0, 0, 0), 0);
    }
    post_t a = goose_view(&gooseGUNA), b = goose_view(&gooseGUNB);
    EXPECT_EQ(a.stNum - a0, 2u);
    EXPECT_EQ(b.stNum - b0, 2u);
    EXPECT_EQ(a.state, GHWS_SHUTDOWN_REQUEST);
    EXPECT_EQ(a.shutdown.reason, SRR_GUN_EMGSTOP);
    EXPECT_EQ(b.shutdown.reason, SRR_GUN_EMGSTOP);
    EXPECT_EQ(dev->emgstate, 0x7F);
}

TEST_F(AstBoard, LinkStatesReachTheHubInverted) {
    board.linkA = 2;  // 1 -> 2 -> 0: no hub call
    process(ctrl_board_reply(0x13, board));
    board.linkA = 0;
    process(ctrl_board_reply(0x13, board));
    EXPECT_EQ(reg(0x110D), 0);
    EXPECT_EQ(dev->GUNAState, 0);

    board.linkA = 1;  // 0 -> 1: work state 0, link state 0
    modbusHW.regs_0x1100[0x0B] = 9;
    process(ctrl_board_reply(0x13, board));
    EXPECT_EQ(reg(0x110B), 0);
    EXPECT_EQ(reg(0x110D), 0);
    board.linkA = 0;  // 1 -> 0 together with gun B
    board.linkB = 0;
    process(ctrl_board_reply(0x13, board));
    EXPECT_EQ(reg(0x110B), 1);
    EXPECT_EQ(reg(0x110D), 1);
    EXPECT_EQ(reg(0x1D0B), 1);
    EXPECT_EQ(reg(0x1D0D), 1);
}

TEST_F(AstBoard, LockCommandIsWrittenConfirmedAndWithdrawn) {
    quiet_line();
    auto board_frames = [&] {
        std::vector<std::string> v;
        for (const auto &f : peer->frames())
            if (f.bytes[0] == 0x13) v.push_back(hex(f.bytes));
        return v;
    };
    // Command 8 for gun A: the write follows this cycle's read, lock A with the
    // other controls at 2.
    peer->queue(0x11, ctrl_reply(0x11, 1, 8, {0}));
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->GUNA_ELockCtrl, 0);
    auto w = board_frames();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], "13 EC 08 42 00 04 00 00 00 00 00 7A A4");
    EXPECT_EQ(w[1], "13 EC 08 42 00 04 01 00 02 02 02 66 05");

    // Command 10 (auxiliary power on, gun A): the lock, still unconfirmed, goes again.
    peer->queue(0x11, ctrl_reply(0x11, 2, 10, {0, 0}));
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    w = board_frames();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].substr(0, 32), "13 EC 08 42 00 04 01 00 02 00 02");
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(board_frames().size(), 1u);  // nothing due

    // The board confirms the lock: hub lock value 1, control withdrawn with one
    // write of 2, the auxiliary control repeated in it.
    board.lockA = 0;
    peer->board_state(board);
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(reg(0x1156), 1);
    EXPECT_EQ(dev->GUNA_ELockCtrl, 2);
    w = board_frames();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].substr(0, 32), "13 EC 08 42 00 04 01 02 02 00 02");
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(board_frames().size(), 1u);

    // Command 9 for gun B while the board already shows B unlocked: withdrawn at
    // the read, so the write carries 2 for B.
    peer->queue(0x12, ctrl_reply(0x12, 3, 9, {0}));
    peer->clear_frames();
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->GUNB_ELockCtrl, 2);
    w = board_frames();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].substr(0, 32), "13 EC 08 42 00 04 01 02 02 00 02");
    EXPECT_EQ(dev->need_send_ctrl_cmd, 0);
}

TEST_F(AstBoard, RejectedWriteIsRepeatedOnlyWhenTheReadWasAnswered) {
    quiet_line();
    ccu_AST_GUNA_AuxPower(dev.get(), 1);
    EXPECT_EQ(dev->GUNA_AuxPowerCtrl, 0);
    // The board answers the read, the answer to the write arrives corrupted.
    ctrl_bytes bad = ctrl_board_reply(0x13, board);
    bad[16] ^= 0xFF;
    peer->queue(0x13, ctrl_board_reply(0x13, board));
    peer->queue(0x13, bad);
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->need_send_ctrl_cmd, 1);
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->need_send_ctrl_cmd, 0);

    // A silent board: the flag stays cleared, no second deadline every cycle.
    peer->clear_default(0x13);
    ccu_AST_GUNB_ELock(dev.get(), 1);
    ccu_AST_cycle(dev.get());
    EXPECT_EQ(dev->need_send_ctrl_cmd, 0);
}

// ---------------------------------------------------------------- port lost and found

TEST(AstLinkPort, AbsentDeviceSettingRunsPacedWithoutAPort) {
    auto dev = std::make_unique<ast_zq_t>();
    ASSERT_EQ(ccu_AST_init(dev.get(), nullptr), 0);
    EXPECT_EQ(dev->addr, 0x10);
    EXPECT_EQ(dev->GUNA_ELockCtrl, 2);
    EXPECT_EQ(dev->power_allocated[1], 3);
    std::thread t(ccu_AST_loop, dev.get());
    clockid_t cid;
    pthread_getcpuclockid(t.native_handle(), &cid);
    msleep(600);
    struct timespec cpu;
    clock_gettime(cid, &cpu);
    dev->quit = 1;
    t.join();
    EXPECT_LT(cpu.tv_sec * 1000 + cpu.tv_nsec / 1000000, 300);  // not spinning
    ccu_AST_exit(dev.get());
    EXPECT_EQ(ccu_AST_init(nullptr, "x"), -1);
    EXPECT_EQ(ccu_AST_loop(nullptr), nullptr);
    ccu_AST_exit(nullptr);
}

// The controller's end closes the line; the link neither dies nor spins, and comes
// back when a device answers under the same name again.
TEST(AstLinkPort, PeerClosingTheLineThenADeviceReturns) {
    FakeSysfs sys;
    sys.add_board_lines();
    sys.record_commands(true);
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
    std::string dir = sys.root() + "/dev";
    std::filesystem::create_directories(dir);
    std::string link = dir + "/ttyS2";

    pty_pair_t a;
    ASSERT_EQ(pty_pair_open(&a), 0);
    std::filesystem::create_symlink(a.name, link);
    auto dev = std::make_unique<ast_zq_t>();
    ASSERT_EQ(ccu_AST_init(dev.get(), link.c_str()), 0);
    auto peer = std::make_unique<ctrl_peer_t>(a.master);
    peer->set_default(0x11, ctrl_reply(0x11, 0, 14, {0}));
    peer->set_default(0x12, ctrl_reply(0x12, 0, 14, {0}));
    peer->board_state(ctrl_board_state_t{});
    peer->queue(0x12, ctrl_action_t{{}, 0, true});  // gun B's controller hangs up
    std::thread t(ccu_AST_loop, dev.get());
    for (int i = 0; i < kWaitMs / 10 && !peer->closed(); i++) msleep(10);
    ASSERT_TRUE(peer->closed());
    // The device path goes with the line: the freed pseudo-terminal number may be
    // handed to another process at once, and the terminal keeps reopening its path.
    std::filesystem::remove(link);
    peer.reset();
    a.master = -1;
    pty_pair_close(&a);

    clockid_t cid;
    pthread_getcpuclockid(t.native_handle(), &cid);
    struct timespec c0, c1;
    clock_gettime(cid, &c0);
    msleep(1200);
    clock_gettime(cid, &c1);
    int64_t cpu_ms = (c1.tv_sec - c0.tv_sec) * 1000 + (c1.tv_nsec - c0.tv_nsec) / 1000000;
    EXPECT_LT(cpu_ms, 400);  // a dead line must not make the cycle spin

    pty_pair_t b;
    ASSERT_EQ(pty_pair_open(&b), 0);
    std::filesystem::create_symlink(b.name, link);
    ctrl_peer_t peer2(b.master);
    peer2.set_default(0x11, ctrl_reply(0x11, 0, 14, {0}));
    peer2.set_default(0x12, ctrl_reply(0x12, 0, 14, {0}));
    peer2.board_state(ctrl_board_state_t{});
    EXPECT_TRUE(peer2.wait_count(5, kWaitMs));  // reopened, about 500 ms later
    dev->quit = 1;
    t.join();
    peer2.stop();
    ccu_AST_exit(dev.get());
    pty_pair_close(&b);
    modbus_TCP_exit(&modbusHW);
}

}  // namespace

namespace {

// ---------------------------------------------------------------- names on the log, lock state 2
// The function names an operator sees on the trace and error lines of the board commands
// and the board exchange, and a board reporting a lock state outside 0/1 while no lock
// command is pending. Their own fixture: both controllers answer "nothing to do".

class AstQuietLine : public ::testing::Test {
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
TEST_F(AstQuietLine, TraceLinesNameTheOperation) {
    LogTap tap(LOG_TAP_BIND);
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
        std::string l;
        tap.find("addr=12, more_cmd:0\n", &l);
        EXPECT_NE(l.find(std::string(" ") + r.handler + " "), std::string::npos) << l;
    }

    ctrl_board_state_t s;
    s.linkA = 0;  // 1 -> 0: "GUNAState:1"
    ctrl_bytes reply = ctrl_board_reply(0x13, s);
    tap.drain();
    EXPECT_EQ(process(reply), 0);
    std::string l;
    tap.find("GUNAState:1\n ", &l);
    EXPECT_NE(l.find(" ccu_AST_queryTemperature "), std::string::npos) << l;

    reply[16] ^= 0x5A;
    EXPECT_EQ(process(reply), 1);
    tap.find("crcr[", &l);
    EXPECT_NE(l.find(" ccu_AST_queryTemperature "), std::string::npos) << l;
}

// A lock state of 2 from the board while no lock command is pending (control 2) is
// not a carried-out command: no write is scheduled, cycle after cycle.
// Two guns charging side by side: each gun's command traces have a budget of their
// own, so a burst of gun A's set-points leaves gun B's traced.
TEST_F(AstQuietLine, CommandTracesHaveABudgetPerGun) {
    LogTap tap;
    for (int i = 0; i < CLOG_RATE_BURST + 5; i++) {
        peer->queue(0x11, ctrl_setvi(0x11, (uint8_t)i, 5000, 1000));
        ASSERT_GT(ccu_AST_queryController(dev.get(), 0x11, 3, 4, 0), 0);
    }
    peer->queue(0x12, ctrl_setvi(0x12, 1, 5000, 1000));
    ASSERT_GT(ccu_AST_queryController(dev.get(), 0x12, 3, 4, 0), 0);
    EXPECT_TRUE(tap.wait_for("addr=12, more_cmd:0, ast_stage:0", kWaitMs)) << tap.all();
}

TEST_F(AstQuietLine, LockStateTwoWithNothingPendingCausesNoWrite) {
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

namespace {

// ---------------------------------------------------------------- a whole charge

class AstCharge : public AstLink {
  protected:
    uint8_t seq = 0;
    // Sends one controller command for the gun and checks it was answered with 1.
    void cmd(uint8_t addr, uint8_t code, const ctrl_bytes &params = {0}) {
        ctrl_bytes r = response_to(addr, ctrl_reply(addr, ++seq, code, params));
        ASSERT_GE(r.size(), 9u);
        EXPECT_EQ(r[5], code);
        EXPECT_EQ(r[6], 1);
    }
    void status(uint8_t addr, uint8_t stage, uint8_t type = 1, uint16_t currI = 105,
                uint16_t currV = 2205) {
        ctrl_bytes r =
            response_to(addr, ctrl_status(addr, ++seq, 3000, currI, currV, 123456, 7, stage, type));
        ASSERT_GE(r.size(), 9u);
        EXPECT_EQ(r[6], 1);
    }
    void setvi(uint8_t addr, uint16_t dV, uint16_t dA) {
        ctrl_bytes r = response_to(addr, ctrl_setvi(addr, ++seq, dV, dA));
        ASSERT_GE(r.size(), 9u);
        EXPECT_EQ(r[6], 1);
    }
    static float f32(uint16_t hi, uint16_t lo) {
        uint32_t bits = ((uint32_t)hi << 16) | lo;
        float f;
        memcpy(&f, &bits, 4);
        return f;
    }
    uint8_t led(int gun) {
        pthread_mutex_lock(&stm32F103.mutex);
        uint8_t v = gun == 0 ? stm32F103.GUNA_State : stm32F103.GUNB_State;
        pthread_mutex_unlock(&stm32F103.mutex);
        return v;
    }
};

TEST_F(AstCharge, GunAFromPlugInToShutdown) {
    goose_HW_t *g = &gooseGUNA;
    uint32_t st = goose_view(g).stNum;

    // First report after start leaves AST_IDLE: work state 4, shutdown reason 0.
    status(0x11, AST_PLUGIN);
    EXPECT_EQ(reg(0x110B), 4);
    post_t p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.state, GHWS_SHUTDOWN_REQUEST);
    EXPECT_EQ(p.shutdown.reason, SRR_NORMAL);
    EXPECT_EQ(reg(0x1104), 4);  // gun type 1 is written as 4
    EXPECT_EQ(led(0), 1);
    // Measurements: the configured 250 A, not the controller's 300 A.
    EXPECT_FLOAT_EQ(f32(reg(0x1105), reg(0x1106)), 250.0f);
    EXPECT_FLOAT_EQ(f32(reg(0x1107), reg(0x1108)), 220.5f);
    EXPECT_FLOAT_EQ(f32(reg(0x1109), reg(0x110A)), 10.5f);
    EXPECT_FLOAT_EQ(f32(reg(0x1113), reg(0x1114)), 220.5f);

    cmd(0x11, 1, {0x03, 0xE8, 0});  // allocate 1000
    EXPECT_EQ(reg(0x110B), 1);
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.state, GHWS_POWER_REQUEST);
    EXPECT_EQ(p.power.type, PRT_ACDC_PLACEHOLDER);
    EXPECT_EQ(p.power.mode, PRM_CONSTANT_CURRENT);
    EXPECT_FLOAT_EQ(p.power.requestV, 1000.0f);
    EXPECT_FLOAT_EQ(p.power.requestI, 100.0f);
    EXPECT_EQ(p.power.connect_id, 1);
    EXPECT_EQ(p.power.serialnumb, 0xFFFF);

    status(0x11, AST_INSULATION_CHECK);
    EXPECT_EQ(goose_view(g).stNum, st);  // PLUGIN is not in the leaving table
    EXPECT_EQ(led(0), 2);
    setvi(0x11, 5000, 125);  // 500 V, 12.5 A: the check needs at least 30 A
    EXPECT_EQ(reg(0x110B), 8);
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.power.type, PRT_INSLUATION_DETECTION_START);
    EXPECT_FLOAT_EQ(p.power.requestV, 500.0f);
    EXPECT_FLOAT_EQ(p.power.requestI, 30.0f);
    setvi(0x11, 5000, 125);  // once per charge
    EXPECT_EQ(goose_view(g).stNum, st);

    status(0x11, AST_PRECHARGE);
    modbusHW.regs_0x1100[0x0B] = 0;
    setvi(0x11, 4000, 100);
    EXPECT_EQ(reg(0x110B), 8);
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.power.type, PRT_PRECHARGING);
    EXPECT_FLOAT_EQ(p.power.requestI, 10.0f);
    setvi(0x11, 4010, 100);  // repeated with every command 3 in the stage
    EXPECT_EQ(goose_view(g).stNum, ++st);

    sys->clear_commands();
    cmd(0x11, 6);  // close: K2 first, then K1
    auto k1 = contactor_writes(FakeSysfs::contactor[0]);
    auto k2 = contactor_writes(FakeSysfs::contactor[1]);
    ASSERT_FALSE(k1.empty());
    ASSERT_FALSE(k2.empty());
    EXPECT_LT(k2.front(), k1.front());

    status(0x11, AST_CHARGING);
    setvi(0x11, 4000, 1500);
    EXPECT_EQ(reg(0x110B), 3);
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.power.type, PRT_CHARGING);
    EXPECT_FLOAT_EQ(p.power.requestV, 400.0f);
    EXPECT_FLOAT_EQ(p.power.requestI, 150.0f);

    cmd(0x11, 5);  // the insulation start is still outstanding: stop it
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.power.type, PRT_INSLUATION_DETECTION_STOP);
    EXPECT_FLOAT_EQ(p.power.requestV, 0.0f);
    cmd(0x11, 5);  // nothing outstanding
    EXPECT_EQ(goose_view(g).stNum, st);

    sys->clear_commands();
    modbusHW.regs_0x1100[0x0B] = 3;
    cmd(0x11, 7);  // open: K1 first (work state 1 through the hub), then K2
    k1 = contactor_writes(FakeSysfs::contactor[0]);
    k2 = contactor_writes(FakeSysfs::contactor[1]);
    ASSERT_FALSE(k1.empty());
    ASSERT_FALSE(k2.empty());
    EXPECT_LT(k1.front(), k2.front());
    EXPECT_EQ(reg(0x110B), 1);

    cmd(0x11, 2);  // deallocate
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.power.type, PRT_ACDC_PLACEHOLDER);
    EXPECT_FLOAT_EQ(p.power.requestV, 0.0f);
    EXPECT_FLOAT_EQ(p.power.requestI, 0.0f);
    EXPECT_EQ(dev->power_allocated[0], 1000);

    status(0x11, AST_END);
    EXPECT_EQ(led(0), 1);
    status(0x11, AST_IDLE);  // leaving END
    EXPECT_EQ(reg(0x110B), 4);
    p = goose_view(g);
    EXPECT_EQ(p.stNum, ++st);
    EXPECT_EQ(p.shutdown.reason, SRR_NORMAL);
    EXPECT_EQ(goose_view(&gooseGUNB).stNum, 0u);  // gun B untouched throughout
}

TEST_F(AstCharge, GunBChargeAndItsPrechargeWithoutWorkState) {
    goose_HW_t *g = &gooseGUNB;
    status(0x12, AST_PLUGIN, 2);
    EXPECT_EQ(reg(0x1D0B), 4);
    EXPECT_EQ(reg(0x1D04), 1);  // gun type 2 is written as 1
    EXPECT_FLOAT_EQ(f32(reg(0x1D05), reg(0x1D06)), 200.0f);
    cmd(0x12, 1, {0x05, 0xDC, 0});
    EXPECT_EQ(reg(0x1D0B), 1);
    status(0x12, AST_INSULATION_CHECK, 2);
    setvi(0x12, 7500, 400);
    EXPECT_EQ(reg(0x1D0B), 8);
    EXPECT_FLOAT_EQ(goose_view(g).power.requestI, 40.0f);
    cmd(0x12, 5);
    EXPECT_EQ(goose_view(g).power.type, PRT_INSLUATION_DETECTION_STOP);
    status(0x12, AST_PRECHARGE, 2);
    modbusHW.regs_0x1D00[0x0B] = 77;
    uint32_t st = goose_view(g).stNum;
    setvi(0x12, 7400, 50);
    EXPECT_EQ(reg(0x1D0B), 77);  // gun B's precharge writes no work state
    EXPECT_EQ(goose_view(g).stNum, st + 1);
    EXPECT_EQ(goose_view(g).power.type, PRT_PRECHARGING);
    sys->clear_commands();
    cmd(0x12, 6);
    auto k1 = contactor_writes(FakeSysfs::contactor[2]);
    auto k2 = contactor_writes(FakeSysfs::contactor[3]);
    ASSERT_FALSE(k1.empty());
    ASSERT_FALSE(k2.empty());
    EXPECT_LT(k2.front(), k1.front());
    status(0x12, AST_CHARGING, 2);
    setvi(0x12, 7400, 2000);
    EXPECT_EQ(reg(0x1D0B), 3);
    EXPECT_EQ(goose_view(g).power.type, PRT_CHARGING);
    cmd(0x12, 7);
    EXPECT_EQ(reg(0x1D0B), 1);
    cmd(0x12, 2);
    EXPECT_EQ(goose_view(g).power.type, PRT_ACDC_PLACEHOLDER);
    EXPECT_EQ(goose_view(&gooseGUNA).stNum, 0u);
}

TEST_F(AstCharge, StageTableTypesLengthsAndQueries) {
    goose_HW_t *g = &gooseGUNA;
    status(0x11, AST_FAULT);  // leaving IDLE
    status(0x11, AST_IDLE);   // leaving FAULT: 5, reason 6
    EXPECT_EQ(reg(0x110B), 5);
    EXPECT_EQ(goose_view(g).shutdown.reason, SRR_GUN_SECC_ERR);
    status(0x11, AST_FAULT_PLUGIN);
    EXPECT_EQ(led(0), 0);
    status(0x11, AST_PLUGIN);  // leaving FAULT_PLUGIN: 4, reason 1
    EXPECT_EQ(reg(0x110B), 4);
    EXPECT_EQ(goose_view(g).shutdown.reason, SRR_GUN_FALLOFF);

    // The same stage again: nothing but the LED.
    uint32_t st = goose_view(g).stNum;
    modbusHW.regs_0x1100[0x0B] = 42;
    stm32F103.GUNA_State = 9;
    status(0x11, AST_PLUGIN);
    EXPECT_EQ(goose_view(g).stNum, st);
    EXPECT_EQ(reg(0x110B), 42);
    EXPECT_EQ(led(0), 1);

    // Type 3 is remembered without a write; back to 1 writes 4.
    modbusHW.regs_0x1100[0x04] = 99;
    status(0x11, AST_PLUGIN, 3);
    EXPECT_EQ(reg(0x1104), 99);
    EXPECT_EQ(dev->ast_type[0], 3);
    status(0x11, AST_PLUGIN, 1);
    EXPECT_EQ(reg(0x1104), 4);

    // L = 15 only answers, L = 16 measures without stage, L = 18 does both.
    ctrl_bytes full = ctrl_status(0x11, 1, 3000, 400, 3000, 1, 2, AST_START, 1);
    auto cut_to = [](ctrl_bytes f, uint8_t len) {
        f.resize((size_t)len + 3);
        f[2] = len;
        uint16_t crc = ctrl_crc16(f.data(), f.size());
        f.push_back((uint8_t)(crc & 0xFF));
        f.push_back((uint8_t)(crc >> 8));
        return f;
    };
    modbusHW.regs_0x1100[0x07] = 0;
    ctrl_bytes r = response_to(0x11, cut_to(full, 15));
    EXPECT_EQ(r[6], 1);
    EXPECT_EQ(reg(0x1107), 0);
    response_to(0x11, cut_to(full, 16));
    EXPECT_FLOAT_EQ(f32(reg(0x1107), reg(0x1108)), 300.0f);
    EXPECT_EQ(dev->ast_stage[0], AST_PLUGIN);
    response_to(0x11, cut_to(full, 18));
    EXPECT_EQ(dev->ast_stage[0], AST_START);

    // After a stop and a new allocation the insulation start goes out again.
    status(0x11, AST_INSULATION_CHECK);
    setvi(0x11, 5000, 500);
    cmd(0x11, 5);
    cmd(0x11, 1, {0x03, 0xE8, 0});
    st = goose_view(g).stNum;
    setvi(0x11, 5000, 500);
    EXPECT_EQ(goose_view(g).stNum, st + 1);
    EXPECT_EQ(goose_view(g).power.type, PRT_INSLUATION_DETECTION_START);

    // Queries answer with response B from the record and the co-processor.
    pthread_mutex_lock(&stm32F103.mutex);
    stm32F103.state[0] = 1;
    stm32F103.state[1] = 0;
    stm32F103.voltage[0] = 400;
    stm32F103.voltage[2] = 750;
    pthread_mutex_unlock(&stm32F103.mutex);
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 20, 100, {0}))).substr(21, 5), "01 00");
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 21, 104, {0}))).substr(21, 5), "0F A0");
    EXPECT_EQ(hex(response_to(0x12, ctrl_reply(0x12, 22, 104, {0}))).substr(0, 2), "12");
    EXPECT_EQ(hex(response_to(0x12, ctrl_reply(0x12, 23, 104, {0}))).substr(21, 5), "1D 4C");
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 24, 103, {0}))).substr(21, 5), "FF 00");
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 25, 105, {0}))).substr(21, 5), "FF 00");
    cmd(0x11, 15, {1, 0});
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x11, 26, 105, {0}))).substr(21, 5), "FF 01");
    EXPECT_EQ(hex(response_to(0x12, ctrl_reply(0x12, 27, 105, {0}))).substr(21, 5), "FF 00");

    // Another address: answered, no gun changes.
    uint16_t before = dev->power_allocated[0];
    ctrl_bytes other = response_to(0x11, ctrl_reply(0x13, 28, 1, {0x00, 0x10, 0}));
    EXPECT_EQ(hex(other).substr(0, 20), "13 EC 04 01 1C 01 01");
    EXPECT_EQ(dev->power_allocated[0], before);
    EXPECT_EQ(dev->power_allocated[1], 3);
    EXPECT_EQ(hex(response_to(0x11, ctrl_reply(0x13, 29, 101, {0}))).substr(21, 5), "00 00");
}

// L = 17 ends with the stage byte, and the type's place is the CRC's low byte: the
// measurements are taken, the stage and the type are not.
TEST_F(AstCharge, SeventeenByteStatusTakesNeitherStageNorType) {
    status(0x11, AST_PLUGIN, 1);
    ctrl_bytes f = ctrl_status(0x11, 1, 3000, 400, 3000, 1, 2, AST_START, 1);
    f.resize(3 + 17);
    f[2] = 17;
    uint16_t crc = ctrl_crc16(f.data(), f.size());
    f.push_back((uint8_t)(crc & 0xFF));
    f.push_back((uint8_t)(crc >> 8));
    modbusHW.regs_0x1100[0x07] = 0;
    ctrl_bytes r = response_to(0x11, f);
    ASSERT_GE(r.size(), 9u);
    EXPECT_EQ(r[6], 1);
    EXPECT_FLOAT_EQ(f32(reg(0x1107), reg(0x1108)), 300.0f);
    EXPECT_EQ(dev->ast_stage[0], AST_PLUGIN);
    EXPECT_EQ(dev->ast_type[0], 1);
}

}  // namespace
