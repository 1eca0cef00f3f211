// Blocking Modbus RTU master on one serial port: one request, one reply, one
// result per call. Bench and meter use only; nothing in the running terminal polls it.
#pragma once

#include <cstdint>

#include "com_ttySx.h"

// Kept for its callers to come: a bench driver, built in, never started.
// Results: 0 success; -1 no or incomplete reply (3000 ms time-out) or receive error;
// -2 CRC mismatch; -3 wrong function, echo or byte count, or a 5-byte reply that is
// not an exception; -4 quantity beyond the Modbus limits (refused before sending);
// 1..255 the slave's exception code.
enum {
    MODBUS_RTU_TIMEOUT_MS = 3000,
    MODBUS_RTU_E_NO_REPLY = -1,
    MODBUS_RTU_E_CRC = -2,
    MODBUS_RTU_E_REPLY = -3,
    MODBUS_RTU_E_QUANTITY = -4,
};

// The Modbus limits: larger quantities do not fit one frame.
constexpr int MODBUS_RTU_MAX_READ_BITS = 2000;
constexpr int MODBUS_RTU_MAX_READ_REGISTERS = 125;
constexpr int MODBUS_RTU_MAX_WRITE_BITS = 1968;
constexpr int MODBUS_RTU_MAX_WRITE_REGISTERS = 123;
constexpr int MODBUS_RTU_MAX_RW_WRITE_REGISTERS = 121;
// The largest RTU frame (application data unit), and what the caller of
// modbus_RTU_report_slave_id receives of a longer slave id.
constexpr int MODBUS_RTU_MAX_ADU = 256;
constexpr int MODBUS_RTU_SLAVE_ID_MAX = 27;

int modbus_RTU_read_coils(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                          uint8_t *value);
int modbus_RTU_read_discrete_inputs(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    uint8_t *value);
int modbus_RTU_read_holding_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                      uint16_t *value);
int modbus_RTU_read_input_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    uint16_t *value);
int modbus_RTU_write_single_coil(com_ttySx_t *tty, uint8_t slave, uint16_t addr, int value);
int modbus_RTU_write_single_register(com_ttySx_t *tty, uint8_t slave, uint16_t addr,
                                     uint16_t value);
int modbus_RTU_read_exception_status(com_ttySx_t *tty, uint8_t slave, uint8_t *value);
int modbus_RTU_write_multiple_coils(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    const uint8_t *value);
int modbus_RTU_write_multiple_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                        const uint16_t *value);
// The reply is as long as its byte count says (at most 256 bytes); slave_id receives
// its first MODBUS_RTU_SLAVE_ID_MAX (27) data bytes.
int modbus_RTU_report_slave_id(com_ttySx_t *tty, uint8_t slave, uint8_t *slave_id);
int modbus_RTU_mask_write_register(com_ttySx_t *tty, uint8_t slave, uint16_t addr,
                                   uint16_t and_mask, uint16_t or_mask);
int modbus_RTU_read_write_registers(com_ttySx_t *tty, uint8_t slave, uint16_t read_addr,
                                    uint16_t read_nb, uint16_t write_addr, uint16_t write_nb,
                                    uint16_t *value);
