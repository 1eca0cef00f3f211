// The hub driven from every side at once, as in the running terminal: controller
// threads posting updates and requests, the co-processor loop reporting contactor
// states and driving LEDs, the Modbus link serving a power unit that writes GOOSE
// addresses and keys, and both GOOSE workers repeating. Built with ThreadSanitizer
// (TCU_TSAN) this is the race and lock-order check of the hub.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <tuple>
#include <vector>
#include <cstring>
#include <unistd.h>

#include "support/fake_sysfs.h"
#include "support/hub_peers.h"
#include "adcgpio.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

constexpr uint16_t TCU_ID = 3;  // connector ids 7 and 8
std::atomic<int> g_gpio_writes{0};

// Board writes are counted, not run: thousands of shell starts would only slow
// the interleavings down.
int counting_shell(const char *) {
    g_gpio_writes++;
    return 0;
}

std::vector<uint8_t> write_multiple(uint16_t tid, uint16_t start, const std::vector<uint16_t> &v) {
    std::vector<uint8_t> f = {(uint8_t)(tid >> 8),
                              (uint8_t)tid,
                              0,
                              0,
                              0,
                              0,
                              0x01,
                              0x10,
                              (uint8_t)(start >> 8),
                              (uint8_t)start,
                              0,
                              (uint8_t)v.size(),
                              (uint8_t)(2 * v.size())};
    for (uint16_t x : v) {
        f.push_back((uint8_t)(x >> 8));
        f.push_back((uint8_t)x);
    }
    f[5] = (uint8_t)(f.size() - 6);
    return f;
}

std::vector<uint8_t> read_holding(uint16_t tid, uint16_t start, uint16_t n) {
    return {(uint8_t)(tid >> 8),
            (uint8_t)tid,
            0,
            0,
            0,
            6,
            0x01,
            0x03,
            (uint8_t)(start >> 8),
            (uint8_t)start,
            (uint8_t)(n >> 8),
            (uint8_t)n};
}

}  // namespace

TEST(HubStress, ControllerCoprocessorAndModbusThreadsAtOnce) {
    FakeSysfs fs;
    fs.add_board_lines(1);
    tcu_hooks.gpio_shell = counting_shell;
    // Gun A closed, gun B half-closed: the co-processor reports one gun only.
    fs.set_input(410, 0);
    fs.set_input(396, 0);
    fs.set_input(404, 0);

    PowerUnitPeer peer;
    modbus_TCP_init(&modbusHW, "127.0.0.1", peer.port(), 0, TCU_ID);
    ASSERT_TRUE(peer.accept_link());
    bool goose_ok = goose_HW_init(&gooseGUNA, "lo", TCU_ID * 2 + 1) == 0;
    goose_ok = goose_HW_init(&gooseGUNB, "lo", TCU_ID * 2 + 2) == 0 && goose_ok;
    ccu_STM32_init(&stm32F103, "can0", 500000, 1);
    tcu_hooks.stm32_cycle_ms = 5;
    // Destinations of this process only (02:53:pid:..), so frames of other tests
    // publishing on lo at the same time are not counted.
    const uint16_t mac0 = 0x0253, mac1 = (uint16_t)getpid();
    const uint8_t dst_prefix[4] = {0x02, 0x53, (uint8_t)(mac1 >> 8), (uint8_t)mac1};
    for (goose_HW_t *g : {&gooseGUNA, &gooseGUNB}) {
        memcpy(g->dst_mac, dst_prefix, 4);
        g->dst_mac[4] = 0xFF;
        g->dst_mac[5] = 0xFF;
    }

    // Power unit: one reader of everything that arrives.
    std::atomic<bool> peer_done{false};
    std::atomic<int> last_sent{-1};  // id of the link's last report, once it has stopped
    std::vector<HubReport> reports;
    std::vector<std::string> bad_frames;
    int responses = 0;
    std::thread reader([&] {
        for (;;) {
            // Once every sender has stopped, what is still on its way is read up to the
            // last report the link sent (the bound only guards against a hang).
            bool last = peer_done.load();
            if (last && !reports.empty() && reports.back().seq == last_sent.load()) break;
            std::vector<uint8_t> f = peer.read_frame(last ? 10000 : 200);
            if (f.empty()) {
                if (last) break;
                continue;
            }
            if (f.size() >= 8 && f[7] == 0x41) {
                HubReport r;
                std::string why;
                if (parse_hub_report(f, &r, &why)) {
                    reports.push_back(r);
                } else {
                    bad_frames.push_back(why);
                }
            } else {
                responses++;
            }
        }
    });

    // GOOSE frames as the power unit would see them.
    GooseCapture cap;
    cap.only_dst_prefix(dst_prefix, 4);
    std::map<std::tuple<uint32_t, std::string, uint32_t>, GooseFrame> by_state;
    std::vector<std::string> goose_mismatch;
    int goose_frames = 0;
    std::thread sniffer;
    if (goose_ok && cap.ok()) {
        sniffer = std::thread([&] {
            GooseFrame g;
            for (;;) {
                bool last = peer_done.load();
                if (!cap.next(&g, last ? 1000 : 100)) {
                    if (last) break;
                    continue;
                }
                if (g.entries.empty()) continue;
                goose_frames++;
                // One state number, one content: the gun is told apart by connect_id.
                auto key = std::make_tuple(g.entries[0].second, g.goID, g.stNum);
                auto it = by_state.find(key);
                if (it == by_state.end()) {
                    by_state[key] = g;
                } else if (it->second.entries != g.entries) {
                    goose_mismatch.push_back(g.goID + " stNum " + std::to_string(g.stNum));
                }
            }
        });
    }

    std::vector<pthread_t> workers(4);
    pthread_create(&workers[0], nullptr, modbus_TCP_loop, &modbusHW);
    pthread_create(&workers[1], nullptr, goose_HW_loop, &gooseGUNA);
    pthread_create(&workers[2], nullptr, goose_HW_loop, &gooseGUNB);
    pthread_create(&workers[3], nullptr, ccu_STM32_loop, &stm32F103);

    constexpr int ROUNDS = 150;
    std::atomic<bool> stop_repeat{false};
    // Repetitions as fast as the publisher allows, to meet every post mid-way.
    std::thread repeater([&] {
        while (!stop_repeat.load()) {
            goose_HW_turn(&gooseGUNA);
            goose_HW_turn(&gooseGUNB);
            std::this_thread::yield();
        }
    });

    std::thread modbus_side([&] {
        for (int i = 0; i < ROUNDS / 3; i++) {
            uint16_t tid = (uint16_t)(0x100 + i);
            uint16_t base = (i % 2 == 0) ? 0x2111 : 0x2D11;
            peer.send_bytes(write_multiple(tid, base, {mac0, mac1, (uint16_t)i}));
            std::vector<uint16_t> key(24, (uint16_t)(i * 257));
            peer.send_bytes(write_multiple(tid, (uint16_t)(base + 4), key));
            peer.send_bytes(read_holding(tid, 0x1100, 0x20));
            peer.send_bytes(read_holding(tid, 0x1D00, 0x60));
            msleep(2);
        }
    });

    auto controller = [](bool gunA) {
        for (int i = 0; i < ROUNDS; i++) {
            if (gunA) {
                ccu_Update_GUNA_IVE((uint16_t)i, (uint16_t)(i + 1), (uint16_t)(i * 10), (uint32_t)i,
                                    0);
                ccu_Update_GUNA_WorkState((uint16_t)(i % 9));
                ccu_Update_GUNA_LinkState((uint16_t)(i % 2));
                ccu_Update_GUNA_ElecLockState((uint8_t)(i % 2));
                ccu_GUNA_PowerRequest(PRT_CHARGING, PRM_CONSTANT_CURRENT, (float)i,
                                      (float)(i % 50));
                if (i % 10 == 0) ccu_GUNA_ShuntdownRequest((uint16_t)(i % 10));
                ccu_GUNA_Ctrl_K1(i % 2);
                ccu_GUNA_Ctrl_K2(i % 2);
                (void)ccu_GUNA_Query_K1_State();
                (void)ccu_GUNA_Query_OutputVoltage();
                ccu_GUNA_LED_State((uint8_t)(i % 3));
            } else {
                ccu_Update_GUNB_IVE((uint16_t)i, (uint16_t)(i + 1), (uint16_t)(i * 10), (uint32_t)i,
                                    0);
                ccu_Update_GUNB_WorkState((uint16_t)(i % 9));
                ccu_Update_GUNB_Type((uint16_t)(i % 5));
                ccu_GUNB_PowerRequest(PRT_PRECHARGING, PRM_CONSTANT_VOLTAGE, (float)(1000 + i),
                                      1.0f);
                if (i % 7 == 0) ccu_GUNB_ShuntdownRequest(SRR_GUN_OFFLINE);
                ccu_GUNB_Ctrl_K1(i % 2);
                ccu_GUNB_Ctrl_K2(i % 2);
                (void)ccu_GUNB_Query_K2_State();
                (void)ccu_GUNB_Query_OutputVoltage();
                ccu_GUNB_LED_State((uint8_t)((i + 1) % 3));
                ccu_Update_UTC();
                ccu_Update_serialID("TC20241120-ASTZQ 3");
            }
        }
    };
    std::thread ctrlA(controller, true);
    std::thread ctrlB(controller, false);
    ctrlA.join();
    ctrlB.join();
    modbus_side.join();
    stop_repeat = true;
    repeater.join();

    stm32F103.quit = 1;
    gooseGUNB.quit = 1;
    gooseGUNA.quit = 1;
    modbusHW.quit = 1;
    for (int i = 3; i >= 0; i--) pthread_join(workers[(size_t)i], nullptr);
    // The link's thread has ended: nothing is sent any more, and what it had not sent
    // yet stays in its queue.
    last_sent = modbusHW.seqnumb;
    int left;
    {
        tc_lock q(&modbusHW.report_mutex);
        left = modbusHW.report_count;
    }
    peer_done = true;  // the peers read on until nothing more comes
    reader.join();
    if (sniffer.joinable()) sniffer.join();

    EXPECT_TRUE(bad_frames.empty())
        << bad_frames.size() << " malformed reports, first: " << bad_frames.front();
    // Every report the link sent arrived whole and in sequence: none was interleaved
    // with another, none lost.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().seq, 1);
    EXPECT_EQ(reports.back().seq, last_sent.load());
    for (size_t i = 1; i < reports.size(); i++) {
        ASSERT_EQ((uint16_t)(reports[i - 1].seq + 1), reports[i].seq) << "report " << i;
    }
    // How many of them the link could send depends on the scheduler; that every report
    // handed over was sent, refused as the queue was full, or is still waiting does not.
    // The controllers alone hand over eight a round, the link three at start.
    EXPECT_GE(reports.size() + modbusHW.reports_dropped_full + modbusHW.reports_dropped_gone +
                  (size_t)left,
              (size_t)(3 + ROUNDS * 8));
    EXPECT_GT(responses, 0);
    EXPECT_GT(g_gpio_writes.load(), 0);
    if (goose_ok && cap.ok()) {
        EXPECT_GT(goose_frames, ROUNDS);
        EXPECT_TRUE(goose_mismatch.empty())
            << goose_mismatch.size() << " frames carried other values under a state number, first: "
            << goose_mismatch.front();
    } else {
        std::printf("[ SKIPPED  ] GOOSE frame consistency: no raw packet socket on lo\n");
    }

    ccu_STM32_exit(&stm32F103);
    tcu_hooks.stm32_cycle_ms = 1000;
    goose_HW_exit(&gooseGUNB);
    goose_HW_exit(&gooseGUNA);
    modbus_TCP_exit(&modbusHW);
}
