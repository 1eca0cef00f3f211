// Reader for the two Acrel DJSF1352-RN DC energy meters of the charging channels,
// at consecutive Modbus RTU slave addresses on one RS-485 line. Ready for use; the
// running terminal does not start it.
#pragma once

#include <cstdint>

#include "com_ttySx.h"

struct DCMeters_t {
    com_ttySx_t tty;
    uint16_t salve;  // channel 0 meter; channel 1 answers at salve + 1
    float current_V[2];
    float current_I[2];
    float current_P[2];
    float current_E[2];
};

// Kept for its callers to come: a bench driver, built in, never started.
int ccu_DCMeters_init(DCMeters_t *dev, const char *devname);
void ccu_DCMeters_readV(DCMeters_t *dev);
void ccu_DCMeters_readI(DCMeters_t *dev);
void ccu_DCMeters_readP(DCMeters_t *dev);
void ccu_DCMeters_readE(DCMeters_t *dev);
void ccu_DCMeters_exit(DCMeters_t *dev);
