// Relay co-processor link: contactor and LED commands to board I/O and the
// once-a-second feedback sampling that reports each gun's contactor state through
// the gun state hub.
#include "stm32f103.h"

#include <algorithm>
#include <cstring>

#include "adcgpio.h"
#include "logger.h"
#include "tc_system.h"
#include "tc_tcu.h"

int ccu_STM32_init(stm32f103_t *dev, const char *can_name, int bitrate, int enable) {
    (void)can_name;
    (void)bitrate;
    (void)enable;
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    pthread_mutex_init(&dev->kmd_mutex, nullptr);
    for (int k = 0; k < 4; k++) {
        dev->kmd_want[k] = -1;
        dev->kmd_pending[k] = 0;
    }
    dev->quit = 0;
    dev->can.fd = -1;  // never opened
    dev->SA = 0x10;
    dev->DA = 0x11;
    for (auto &l : dev->led) l = 1;
    dev->GUNA_State = 1;
    dev->GUNB_State = 1;
    dev->led_ncmds = 0;
    return 0;
}

void ccu_STM32_exit(stm32f103_t *dev) {
    if (dev == nullptr) return;
    pthread_mutex_destroy(&dev->kmd_mutex);
    pthread_mutex_destroy(&dev->mutex);
}

int ccu_STM32_TransmitVoltage(stm32f103_t *dev, int enable) {
    (void)dev;
    (void)enable;
    return -1;
}

int ccu_STM32_TransmitState(stm32f103_t *dev, int enable) {
    (void)dev;
    (void)enable;
    return -1;
}

int ccu_STM32_ControlContactor(stm32f103_t *dev, int idx, int enable) {
    if (dev == nullptr) return -1;
    if (idx < 0 || idx > 3) return 0;  // no such output: nothing is driven
    tc_lock lock(&dev->kmd_mutex);
    // The stop opens every output under this mutex after raising its flag: a close
    // that reaches it later would undo that.
    if (enable != 0 && tc_stop_requested() != 0) return -3;
    dev->kmd_want[idx] = (int8_t)(enable ? 1 : 0);
    int rc = set_KMD_out(idx, enable);
    dev->kmd_pending[idx] = rc == 0 ? 0 : 1;
    return rc == 0 ? 0 : -2;
}

int ccu_STM32_RetryContactors(stm32f103_t *dev) {
    if (dev == nullptr) return -1;
    int pending = 0;
    tc_lock lock(&dev->kmd_mutex);
    const bool stopping = tc_stop_requested() != 0;
    for (int k = 0; k < 4; k++) {
        if (!dev->kmd_pending[k] || dev->kmd_want[k] < 0) continue;
        if (stopping && dev->kmd_want[k] == 1) {
            // A close that never held is not repeated once the stop is requested.
            dev->kmd_pending[k] = 0;
            TCU_LOG(1, "contactor %d: close not repeated, the terminal is stopping\n", k);
            continue;
        }
        if (set_KMD_out(k, dev->kmd_want[k]) == 0) {
            dev->kmd_pending[k] = 0;
            TCU_LOG(3, "contactor %d: %s confirmed on repeat\n", k,
                    dev->kmd_want[k] ? "close" : "open");
        } else {
            pending++;
        }
    }
    return pending;
}

namespace {

// Channel to board LED: 6 -> 1, 7 -> 0, 8 -> 2, 9 -> 3. 0 written, -1 no such
// channel, -2 the write failed.
int drive_led(int idx, int enable) {
    switch (idx) {
        case 6:
            return set_GUNLED_on(1, enable);
        case 7:
            return set_GUNLED_on(0, enable);
        case 8:
            return set_GUNLED_on(2, enable);
        case 9:
            return set_GUNLED_on(3, enable);
        default:
            return -1;
    }
}

// A cached state no channel can have: the next refresh commands the channel again.
constexpr uint8_t kLedUnknown = 0xFF;

}  // namespace

int ccu_STM32_ControlLED(stm32f103_t *dev, int idx, int enable) {
    if (dev == nullptr) return -1;  // no record, no line driven
    drive_led(idx, enable);
    return -1;
}

int ccu_STM32_QueueLED(stm32f103_t *dev, int idx, int enable) {
    if (dev == nullptr) return -1;
    if (dev->led_ncmds < 0 || dev->led_ncmds >= STM32_LED_CMD_MAX) return -2;
    dev->led_cmds[dev->led_ncmds].idx = (uint8_t)idx;
    dev->led_cmds[dev->led_ncmds].enable = (uint8_t)(enable ? 1 : 0);
    dev->led_ncmds++;
    return 0;
}

void ccu_STM32_LED(stm32f103_t *dev) {
    if (dev == nullptr) return;
    stm32_led_cmd_t cmds[STM32_LED_CMD_MAX];
    int n = 0;
    tc_lock lock(&dev->mutex);
    dev->led_ncmds = 0;
    uint8_t a = dev->GUNA_State;
    if (a == 0) {
        ccu_GUNA_LED_OnOff(0);
    } else if (a == 1) {
        ccu_GUNA_LED_OnOff(1);
    } else {
        ccu_GUNA_LED_Toggle();
    }
    uint8_t b = dev->GUNB_State;
    if (b == 0) {
        ccu_GUNB_LED_OnOff(0);
    } else if (b == 1) {
        ccu_GUNB_LED_OnOff(1);
    } else {
        ccu_GUNB_LED_Toggle();
    }
    n = dev->led_ncmds;
    memcpy(cmds, dev->led_cmds, sizeof(stm32_led_cmd_t) * (size_t)n);
    dev->led_ncmds = 0;
    lock.unlock();
    // Each command starts a shell: run them with the mutex released so the
    // controller's mode updates and queries never wait on them. A write that failed
    // leaves its channel unknown, so the next refresh writes it again.
    for (int i = 0; i < n; i++) {
        if (drive_led(cmds[i].idx, cmds[i].enable) != -2) continue;
        tc_lock again(&dev->mutex);
        dev->led[cmds[i].idx - 6] = kLedUnknown;
    }
}

void *ccu_STM32_loop(void *argv) {
    auto *dev = static_cast<stm32f103_t *>(argv);
    if (dev == nullptr) return nullptr;

    for (int k = 0; k < 4; k++) ccu_STM32_ControlContactor(dev, k, 0);
    for (int ch = 6; ch <= 9; ch++) {
        ccu_STM32_ControlLED(dev, ch, 1);
        tc_lock lock(&dev->mutex);
        dev->led[ch - 6] = 1;
    }

    while (dev->quit.load() == 0) {
        dev->heartbeat.fetch_add(1, std::memory_order_relaxed);
        // Slices, so that a stop is not kept waiting for a whole cycle.
        const int64_t next = monotime_ms() + tcu_hooks.stm32_cycle_ms.load();
        for (int64_t now = monotime_ms(); now < next && dev->quit.load() == 0; now = monotime_ms())
            msleep((int)std::min<int64_t>(next - now, 250));
        if (dev->quit.load() != 0) break;
        ccu_STM32_RetryContactors(dev);
        // The feedback files are read before taking the mutex: the controller's
        // queries need only the stored result, not the file reads.
        uint8_t fb[4];
        for (int i = 0; i < 4; i++) fb[i] = (uint8_t)get_KMDFB(i);
        {
            tc_lock lock(&dev->mutex);
            memcpy(dev->state, fb, sizeof fb);
            dev->count++;
        }

        // While the terminal stops, the LEDs stay off as the stop left them.
        if (tc_stop_requested() == 0) ccu_STM32_LED(dev);
        TCU_LOG(3, "K0:%d, K1:%d, K2:%d, K3:%d\n", fb[0], fb[1], fb[2], fb[3]);

        // A gun whose two feedbacks disagree is mid-switch: no report this cycle.
        if (fb[0] == 1 && fb[1] == 1) ccu_Update_GUNA_ContactorState(1);
        if (fb[2] == 1 && fb[3] == 1) ccu_Update_GUNB_ContactorState(1);
        if (fb[0] == 0 && fb[1] == 0) ccu_Update_GUNA_ContactorState(0);
        if (fb[2] == 0 && fb[3] == 0) ccu_Update_GUNB_ContactorState(0);
    }
    return nullptr;
}
