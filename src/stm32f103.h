// Link object of the board's relay co-processor: owns the four contactor commands,
// the four gun LED channels and the once-a-second sampling of the contactor
// feedbacks. Laid out for a CAN co-processor; here every line is board I/O.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "com_CAN.h"

// One LED channel change decided under the mutex and driven after its release.
struct stm32_led_cmd_t {
    uint8_t idx;     // channel 6..9
    uint8_t enable;  // 1 on, 0 off
};

constexpr int STM32_LED_CMD_MAX = 8;

struct stm32f103_t {
    // Guards state, count, GUNA_State, GUNB_State, voltage, led and the pending
    // LED commands.
    pthread_mutex_t mutex;
    std::atomic<int> quit;  // nonzero asks the thread to end
    // One step per loop turn; the supervisor (tc_watch) sees a hang by it.
    std::atomic<uint32_t> heartbeat;
    com_can_t can;       // never opened in this system
    uint8_t SA;          // own bus address, 0x10
    uint8_t DA;          // co-processor's address, 0x11
    uint32_t count;      // completed sampling cycles, wraps
    uint8_t GUNA_State;  // LED mode: 0 off, 1 steady, other blinking
    uint8_t GUNB_State;
    uint32_t voltage[4];  // never written: stay 0
    uint8_t state[4];     // feedbacks K0..K3, 1 = closed
    uint8_t bitcode;      // reserved
    uint8_t led[4];       // last commanded state of LED channels 6, 7, 8, 9
    // Channel changes the hub's LED operations decided in this cycle; the
    // co-processor thread drives them once the mutex is released, so no shell
    // start ever runs under the mutex the controller thread waits on.
    stm32_led_cmd_t led_cmds[STM32_LED_CMD_MAX];
    int led_ncmds;
    // Contactor commands: the last one per output and whether it still has to be
    // confirmed. kmd_mutex orders the writes of one output (a repeat by this thread
    // never overtakes a newer command); it is held across the shell starts, never
    // across a network wait, and is not the mutex the controller's queries take.
    pthread_mutex_t kmd_mutex;
    int8_t kmd_want[4];      // -1 never commanded, 0 open, 1 closed
    uint8_t kmd_pending[4];  // 1: the last command is not confirmed yet
};

// 0, or -1 for a null record. can_name, bitrate and enable are accepted, unused.
int ccu_STM32_init(stm32f103_t *dev, const char *can_name, int bitrate, int enable);
void ccu_STM32_exit(stm32f103_t *dev);
// Kept for its callers to come: the co-processor is not on CAN yet.
// Placeholders of the CAN exchange: no effect, -1.
int ccu_STM32_TransmitVoltage(stm32f103_t *dev, int enable);
int ccu_STM32_TransmitState(stm32f103_t *dev, int enable);
// K index 0..3, enable 1 close / 0 open. 0 confirmed; -1 null record; -2 not
// confirmed yet (repeated by the co-processor thread every cycle until it holds); -3 a
// close refused because the terminal is stopping (nothing driven).
int ccu_STM32_ControlContactor(stm32f103_t *dev, int idx, int enable);
// Channel 6..9 to its board LED; other channels do nothing. Always -1.
int ccu_STM32_ControlLED(stm32f103_t *dev, int idx, int enable);
// Queues one channel change; the caller holds dev->mutex. 0, -1 null record,
// -2 queue full.
int ccu_STM32_QueueLED(stm32f103_t *dev, int idx, int enable);
// Applies both guns' LED modes once: decides under the mutex, drives after.
void ccu_STM32_LED(stm32f103_t *dev);
// Repeats every contactor command that is not confirmed yet; the worker runs it
// each cycle, except a close once the terminal is stopping. Returns how many are
// still pending.
int ccu_STM32_RetryContactors(stm32f103_t *dev);
// Worker thread entry (slot 3); argv is the record.
void *ccu_STM32_loop(void *argv);
