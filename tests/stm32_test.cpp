// Co-processor link on a fake sysfs tree: the lines it drives at start, the
// feedbacks it samples and reports, and the LED modes as the board's LEDs show
// them cycle by cycle; the feedback line as the log server gets it.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

#include "support/fake_sysfs.h"
#include "support/log_fixture.h"
#include "adcgpio.h"
#include "stm32f103.h"
#include "tc_system.h"
#include "tc_tcu.h"

namespace {

constexpr int LED0 = 408, LED1 = 409, LED2 = 407, LED3 = 397;  // gun LEDs, active low
constexpr int FB[4] = {410, 396, 404, 398};                    // feedbacks, active low

uint32_t cycles() {
    pthread_mutex_lock(&stm32F103.mutex);
    uint32_t n = stm32F103.count;
    pthread_mutex_unlock(&stm32F103.mutex);
    return n;
}

// Runs ccu_STM32_loop on the global record with a short cycle, on a fake board.
class Stm32Loop : public testing::Test {
  protected:
    FakeSysfs fs;
    pthread_t tid{};
    bool running = false;

    void SetUp() override {
        fs.add_board_lines(1);
        fs.record_commands(true);
        modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
        ASSERT_EQ(0, ccu_STM32_init(&stm32F103, "can0", 500000, 1));
        tcu_hooks.stm32_cycle_ms = 60;
        stm32F103.count = 0;
        modbusHW.regs_0x1100[0x54] = 0x77;  // sentinels: a report overwrites them
        modbusHW.regs_0x1D00[0x54] = 0x77;
    }
    void TearDown() override {
        stop();
        tcu_hooks.stm32_cycle_ms = 1000;
        ccu_STM32_exit(&stm32F103);
        modbus_TCP_exit(&modbusHW);
    }
    void start() {
        ASSERT_EQ(0, pthread_create(&tid, nullptr, ccu_STM32_loop, &stm32F103));
        running = true;
    }
    void stop() {
        if (!running) return;
        stm32F103.quit = 1;
        pthread_join(tid, nullptr);
        running = false;
    }
    // Bounded generously: a wait, not a timing assertion.
    void wait_cycles(uint32_t n) {
        for (int i = 0; i < 1000 && cycles() < n; i++) msleep(10);
        ASSERT_GE(cycles(), n);
    }
};

}  // namespace

TEST(Stm32, InitAndPlaceholders) {
    stm32f103_t dev{};
    EXPECT_EQ(-1, ccu_STM32_init(nullptr, "can0", 500000, 1));
    ASSERT_EQ(0, ccu_STM32_init(&dev, "can0", 500000, 1));
    EXPECT_EQ(0, dev.quit);
    EXPECT_EQ(0x10, dev.SA);
    EXPECT_EQ(0x11, dev.DA);
    EXPECT_EQ(1, dev.GUNA_State);
    EXPECT_EQ(1, dev.GUNB_State);
    for (uint8_t l : dev.led) EXPECT_EQ(1, l);
    EXPECT_LE(dev.can.fd, 0);  // the CAN port is never opened
    EXPECT_EQ(-1, ccu_STM32_TransmitVoltage(&dev, 1));
    EXPECT_EQ(-1, ccu_STM32_TransmitState(&dev, 1));
    EXPECT_EQ(-1, ccu_STM32_ControlContactor(nullptr, 0, 1));
    EXPECT_EQ(nullptr, ccu_STM32_loop(nullptr));
    ccu_STM32_exit(&dev);
    ccu_STM32_exit(nullptr);
}

TEST(Stm32, ChannelsAndContactorsToBoardLines) {
    FakeSysfs fs;
    fs.add_board_lines(1);
    fs.record_commands(true);
    stm32f103_t dev{};
    ccu_STM32_init(&dev, "can0", 500000, 1);
    // Channels 6, 7, 8, 9 are board LEDs 1, 0, 2, 3; the LEDs are active low.
    EXPECT_EQ(-1, ccu_STM32_ControlLED(&dev, 6, 1));
    EXPECT_EQ("0", fs.value(LED1));
    EXPECT_EQ(-1, ccu_STM32_ControlLED(&dev, 7, 1));
    EXPECT_EQ("0", fs.value(LED0));
    ccu_STM32_ControlLED(&dev, 8, 1);
    EXPECT_EQ("0", fs.value(LED2));
    ccu_STM32_ControlLED(&dev, 9, 1);
    EXPECT_EQ("0", fs.value(LED3));
    ccu_STM32_ControlLED(&dev, 9, 0);
    EXPECT_EQ("1", fs.value(LED3));
    fs.clear_commands();
    EXPECT_EQ(-1, ccu_STM32_ControlLED(&dev, 5, 1));
    EXPECT_EQ(-1, ccu_STM32_ControlLED(&dev, 10, 1));
    EXPECT_TRUE(fs.commands().empty());
    // Contactor K index to output, active low: close writes 0.
    EXPECT_EQ(0, ccu_STM32_ControlContactor(&dev, 2, 1));
    EXPECT_EQ("0", fs.value(400));
    EXPECT_EQ(0, ccu_STM32_ControlContactor(&dev, 2, 0));
    EXPECT_EQ("1", fs.value(400));
    ccu_STM32_exit(&dev);
}

// Without a record the co-processor operations drive no board line.
TEST(Stm32, NullRecordDrivesNothing) {
    FakeSysfs board;
    board.add_board_lines(1);
    board.record_commands(true);
    EXPECT_EQ(-1, ccu_STM32_ControlLED(nullptr, 6, 1));
    EXPECT_EQ(-1, ccu_STM32_ControlContactor(nullptr, 0, 1));
    ccu_STM32_LED(nullptr);
    EXPECT_TRUE(board.commands().empty());
}

TEST_F(Stm32Loop, QuitBeforeStartStillOpensContactorsAndLightsLeds) {
    stm32F103.quit = 1;
    start();
    stop();
    std::vector<std::pair<std::string, std::string>> w = fs.writes();
    std::vector<std::pair<std::string, std::string>> want = {
        {"1", "/sys/class/gpio/gpio405/value"}, {"1", "/sys/class/gpio/gpio401/value"},
        {"1", "/sys/class/gpio/gpio400/value"}, {"1", "/sys/class/gpio/gpio399/value"},
        {"0", "/sys/class/gpio/gpio409/value"}, {"0", "/sys/class/gpio/gpio408/value"},
        {"0", "/sys/class/gpio/gpio407/value"}, {"0", "/sys/class/gpio/gpio397/value"},
    };
    EXPECT_EQ(want, w);
    EXPECT_EQ(0u, stm32F103.count);  // no sampling
    for (uint8_t l : stm32F103.led) EXPECT_EQ(1, l);
}

TEST_F(Stm32Loop, SamplesFeedbacksAndReportsOnlyAgreeingGuns) {
    // Gun A: K1 closed, K2 open (disagree). Gun B: both closed.
    fs.set_input(FB[0], 0);
    fs.set_input(FB[1], 1);
    fs.set_input(FB[2], 0);
    fs.set_input(FB[3], 0);
    start();
    wait_cycles(2);
    EXPECT_EQ(1, ccu_GUNA_Query_K1_State());
    EXPECT_EQ(0, ccu_GUNA_Query_K2_State());
    EXPECT_EQ(1, ccu_GUNB_Query_K1_State());
    EXPECT_EQ(1, ccu_GUNB_Query_K2_State());
    EXPECT_EQ(0u, ccu_GUNA_Query_OutputVoltage());
    EXPECT_EQ(0u, ccu_GUNB_Query_OutputVoltage());
    pthread_mutex_lock(&modbusHW.mutex);
    EXPECT_EQ(0x77, modbusHW.regs_0x1100[0x54]);  // no gun A report
    EXPECT_EQ(1, modbusHW.regs_0x1D00[0x54]);
    pthread_mutex_unlock(&modbusHW.mutex);

    // Both open on gun A now: reported as 0; gun B opens one contactor only.
    fs.set_input(FB[1], 1);
    fs.set_input(FB[0], 1);
    fs.set_input(FB[3], 1);
    uint32_t c = cycles();
    wait_cycles(c + 2);
    stop();
    EXPECT_EQ(0, modbusHW.regs_0x1100[0x54]);
    EXPECT_EQ(1, modbusHW.regs_0x1D00[0x54]);  // disagreeing: keeps its last value
}

TEST_F(Stm32Loop, BlinkingModeChangesOncePerCycleSteadyModeCommandsOnce) {
    ccu_GUNA_LED_State(2);  // gun A blinking, gun B steady
    start();
    wait_cycles(5);
    stop();
    uint32_t n = stm32F103.count;
    // Channel 6 (LED 1): lit at start, then inverted in every cycle.
    std::vector<int> h = fs.value_history(LED1);
    ASSERT_EQ(n + 1, h.size());
    for (size_t i = 0; i < h.size(); i++) EXPECT_EQ(i % 2 == 0 ? 0 : 1, h[i]) << i;
    // Channel 7 (LED 0): lit at start, put out once, never commanded again.
    EXPECT_EQ((std::vector<int>{0, 1}), fs.value_history(LED0));
    // Gun B steady: channel 8 (LED 2) out once, channel 9 (LED 3) already lit.
    EXPECT_EQ((std::vector<int>{0, 1}), fs.value_history(LED2));
    EXPECT_EQ((std::vector<int>{0}), fs.value_history(LED3));
}

TEST_F(Stm32Loop, ModeChangeShowsWithinOneCycle) {
    start();
    wait_cycles(2);
    ccu_GUNA_LED_State(0);
    ccu_GUNB_LED_State(0);
    uint32_t c = cycles();
    wait_cycles(c + 2);
    stop();
    // Gun A off: channel 6 dark, channel 7 lit. Gun B off: channel 8 lit, 9 dark.
    EXPECT_EQ("1", fs.value(LED1));
    EXPECT_EQ("0", fs.value(LED0));
    EXPECT_EQ("0", fs.value(LED2));
    EXPECT_EQ("1", fs.value(LED3));
    EXPECT_EQ((std::vector<int>{0, 1, 0}), fs.value_history(LED0));
}

TEST_F(Stm32Loop, FailedLedWriteIsWrittenAgainByTheNextRefresh) {
    ccu_GUNA_LED_State(0);  // gun A off: channel 6 (LED 1) goes dark
    fs.fail_commands(1);
    ccu_STM32_LED(&stm32F103);
    EXPECT_EQ("0", fs.value(LED1)) << "the write failed";
    ccu_STM32_LED(&stm32F103);
    EXPECT_EQ("1", fs.value(LED1));
    ccu_STM32_LED(&stm32F103);
    EXPECT_EQ((std::vector<int>{1}), fs.value_history(LED1)) << "written once it held";
}

// A contactor command that did not hold is written again by the next cycle; a stale
// close is never repeated over a newer open that held.
TEST_F(Stm32Loop, UnconfirmedContactorIsRepeatedButNeverOverANewerCommand) {
    const int k0 = FakeSysfs::contactor[0];
    start();
    wait_cycles(2);  // start-up writes done; a quiet cycle writes nothing
    EXPECT_EQ(0, ccu_STM32_ControlContactor(&stm32F103, 0, 1));
    fs.fail_commands(KMD_WRITE_ATTEMPTS);
    EXPECT_EQ(-2, ccu_STM32_ControlContactor(&stm32F103, 0, 0));
    wait_cycles(cycles() + 2);
    EXPECT_EQ("1", fs.value(k0)) << "the open was not repeated";
    stop();

    fs.fail_commands(KMD_WRITE_ATTEMPTS);
    EXPECT_EQ(-2, ccu_STM32_ControlContactor(&stm32F103, 0, 1));
    EXPECT_EQ(0, ccu_STM32_ControlContactor(&stm32F103, 0, 0));
    EXPECT_EQ(0, ccu_STM32_RetryContactors(&stm32F103));
    EXPECT_EQ("1", fs.value(k0));
}

// ---------------------------------------------------------------- the feedback line
// Its own fixture: the logger started as the terminal starts it, clock fixed, its
// mirror read by a stand-in log server.

class Stm32Log : public LogFixture {};

// Once per cycle the co-processor logs the four feedbacks in cyan.
TEST_F(Stm32Log, CoprocessorFeedbackLine) {
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
