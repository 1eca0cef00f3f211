// Start-up and shutdown of the terminal's links, and the gun state hub: the one
// place where one link writes into another link's object.
#pragma once

#include <cstdint>

#include "ast_ZQ.h"
#include "goose_HW.h"
#include "modbus_TCP_HW.h"
#include "stm32f103.h"
#include "tc_thread.h"

extern modbus_TCP_t modbusHW;
extern goose_HW_t gooseGUNA;
extern goose_HW_t gooseGUNB;
extern stm32f103_t stm32F103;
extern ast_zq_t ccuASTZQ;
extern tc_thread_t threadTCU[5];

int ccu_TCU_init(void);
// Starts the five workers; returns at once for a nonzero quit, otherwise when a stop
// is requested (tc_stop_request: SIGTERM, SIGINT).
void ccu_TCU_run(int quit);
// Makes both guns safe before the workers stop: a shutdown request (reason 9) for
// every gun whose request in force is not one already, a pause for the power unit
// to ramp down, contactors open (K1 then K2, gun A then gun B), gun LEDs off. From
// the stop request on, the hub refuses power requests and contactor closes.
void ccu_TCU_safe_stop(void);
// Raises every quit flag, joins the workers (4 down to 0) and closes the links. The
// _within form gives up on the workers bound_ms after it started (negative: waits
// for good), logs each one left running and then closes no link; it returns how many
// were left.
void ccu_TCU_exit(void);
int ccu_TCU_exit_within(int bound_ms);

// How often the parked main thread looks up from its wait, and the pause between
// the shutdown requests and the opening of the contactors in an orderly stop.
constexpr int TCU_RUN_TICK_MS = 250;
constexpr int TCU_STOP_RAMP_MS = 500;
// How long the workers get to end after the guns are safe. Every loop sees its quit
// flag within its own cycle, about a second at most; longer means stuck (on a stalled
// console, say). The log writer gets as long again.
constexpr int TCU_STOP_JOIN_MS = 3000;
// How long a command's GOOSE request waits for its work-state report to be handed to
// the socket before it goes anyway.
constexpr int TCU_REPORT_LEAD_MS = 5;

// Status register updates (register image write, then a report to the power unit).
void ccu_Update_GUNA_Type(uint16_t type);
void ccu_Update_GUNB_Type(uint16_t type);
void ccu_Update_GUNA_IVE(uint16_t maxI, uint16_t currI, uint16_t currV, uint32_t totalE,
                         uint32_t currE);
void ccu_Update_GUNB_IVE(uint16_t maxI, uint16_t currI, uint16_t currV, uint32_t totalE,
                         uint32_t currE);
void ccu_Update_GUNA_WorkState(uint16_t state);
void ccu_Update_GUNB_WorkState(uint16_t state);
void ccu_Update_GUNA_LinkState(uint16_t state);
void ccu_Update_GUNB_LinkState(uint16_t state);
// Kept for its callers to come: no contactor voltage is measured yet.
void ccu_Update_GUNA_K1K2Voltage(uint32_t vol);
void ccu_Update_GUNB_K1K2Voltage(uint32_t vol);
void ccu_Update_GUNA_ContactorState(uint8_t K1K2);
void ccu_Update_GUNB_ContactorState(uint8_t K1K2);
void ccu_Update_GUNA_ElecLockState(uint8_t state);
void ccu_Update_GUNB_ElecLockState(uint8_t state);
// Kept for its callers to come: nothing reports the power-on state yet.
void ccu_Update_GUNA_PowerOn(uint8_t state);
void ccu_Update_GUNB_PowerOn(uint8_t state);

// Terminal-wide updates (no report).
// Kept for its callers to come: the identity and the time are not updated in operation yet.
void ccu_Update_serialID(const char *serialID);
void ccu_Update_UTC(void);

// GOOSE requests: fill the publisher's request, then post it.
void ccu_GUNA_PowerRequest(uint16_t type, uint16_t mode, float voltageV, float currentA);
void ccu_GUNB_PowerRequest(uint16_t type, uint16_t mode, float voltageV, float currentA);
void ccu_GUNA_ShuntdownRequest(uint16_t reason);
void ccu_GUNB_ShuntdownRequest(uint16_t reason);

// GOOSE destination address and key written by the power unit (Modbus thread).
void ccu_Update_GUNA_mac_addr(void);
void ccu_Update_GUNB_mac_addr(void);
void ccu_Update_GUNA_HMAC(void);
void ccu_Update_GUNB_HMAC(void);

// Contactors and queries.
void ccu_GUNA_Ctrl_K1(int close);
void ccu_GUNA_Ctrl_K2(int close);
void ccu_GUNB_Ctrl_K1(int close);
void ccu_GUNB_Ctrl_K2(int close);
uint8_t ccu_GUNA_Query_K1_State(void);
uint8_t ccu_GUNA_Query_K2_State(void);
uint8_t ccu_GUNB_Query_K1_State(void);
uint8_t ccu_GUNB_Query_K2_State(void);
uint32_t ccu_GUNA_Query_OutputVoltage(void);
uint32_t ccu_GUNB_Query_OutputVoltage(void);

// LEDs: modes (take stm32F103.mutex) and channel drivers (caller holds it).
void ccu_GUNA_LED_State(uint8_t state);
void ccu_GUNB_LED_State(uint8_t state);
void ccu_GUNA_LED_OnOff(int enable);
void ccu_GUNA_LED_Toggle(void);
void ccu_GUNB_LED_OnOff(int enable);
void ccu_GUNB_LED_Toggle(void);
