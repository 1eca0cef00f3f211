// DC energy meters: value words with a decimal exponent word, and a signed 32-bit
// energy count, read from both meters in turn.
#include "acrel_DJSF1352RN.h"

#include <cmath>

#include "modbus_RTU.h"

namespace {

// The meter gives r0 with its exponent r1: r0 x 10^(r1 - 3), in single precision
// as the meter's own documentation computes it.
float scaled(uint16_t r0, uint16_t r1) {
    return (float)r0 * powf(10.0f, (float)((int)r1 - 3));
}

void read_scaled(DCMeters_t *dev, uint16_t reg, float *field) {
    if (dev == nullptr) return;
    for (int ch = 0; ch < 2; ch++) {
        uint16_t r[2] = {};
        // A meter that fails keeps its last value; the other one is still asked.
        if (modbus_RTU_read_holding_registers(&dev->tty, (uint8_t)(dev->salve + ch), reg, 2, r) ==
            0)
            field[ch] = scaled(r[0], r[1]);
    }
}

}  // namespace

int ccu_DCMeters_init(DCMeters_t *dev, const char *devname) {
    if (dev == nullptr) return -1;
    com_ttySx_init(&dev->tty, devname, 9600, 8, 'N', 1);
    com_ttySx_rs485_enable(&dev->tty, 1);
    dev->salve = 1;
    return 0;
}

void ccu_DCMeters_readV(DCMeters_t *dev) {
    read_scaled(dev, 0x0000, dev ? dev->current_V : nullptr);
}
void ccu_DCMeters_readI(DCMeters_t *dev) {
    read_scaled(dev, 0x0002, dev ? dev->current_I : nullptr);
}
void ccu_DCMeters_readP(DCMeters_t *dev) {
    read_scaled(dev, 0x0008, dev ? dev->current_P : nullptr);
}

void ccu_DCMeters_readE(DCMeters_t *dev) {
    if (dev == nullptr) return;
    for (int ch = 0; ch < 2; ch++) {
        uint16_t r[2] = {};
        if (modbus_RTU_read_holding_registers(&dev->tty, (uint8_t)(dev->salve + ch), 0x000C, 2,
                                              r) == 0)
            dev->current_E[ch] = (float)(int32_t)(((uint32_t)r[0] << 16) | r[1]);
    }
}

void ccu_DCMeters_exit(DCMeters_t *dev) {
    if (dev == nullptr) return;
    com_ttySx_rs485_enable(&dev->tty, 0);
    com_ttySx_exit(&dev->tty);
}
