// Charging-controller link: the terminal is the only master of the RS-485 line and
// polls the controller for gun A (0x11) and gun B (0x12) and the lock, auxiliary-
// power and temperature board (0x13); every controller reply carries one command.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "com_ttySx.h"

// Charging stage reported by the controller in command 0.
enum ast_state : uint8_t {
    AST_IDLE = 0,
    AST_FAULT = 1,
    AST_PLUGIN = 2,
    AST_FAULT_PLUGIN = 3,
    AST_START = 4,
    AST_INSULATION_CHECK = 5,
    AST_PRECHARGE = 6,
    AST_CHARGING = 7,
    AST_END = 8,
};

constexpr int AST_BUFF_SIZE = 128;
// The length byte may announce at most what fits the receive buffer.
constexpr int AST_MAX_LEN = AST_BUFF_SIZE - 5;
constexpr int AST_TIMEOUT_MS = 500;
constexpr int AST_TRIES = 3;
// A closed port is reopened at most this often.
constexpr int AST_REOPEN_MS = 500;
// After a retransmission the line must stay quiet this long before the next
// request goes out (about 100 characters at 9600 baud), at most AST_DRAIN_MAX_MS.
constexpr int AST_QUIET_MS = 100;
constexpr int AST_DRAIN_MAX_MS = 1000;

// Index 0 of each pair is gun A, index 1 gun B.
struct ast_zq_t {
    pthread_mutex_t mutex;  // created and destroyed, never taken: one thread owns the record
    std::atomic<int> quit;
    // One step per loop turn; the supervisor (tc_watch) sees a hang by it.
    std::atomic<uint32_t> heartbeat;
    com_ttySx_t tty;
    uint8_t txbuff[AST_BUFF_SIZE];  // last frame built: poll, response or board request
    int txbytes;
    uint8_t rxbuff[AST_BUFF_SIZE];
    int rxbytes;
    uint8_t temp[6];
    uint8_t addr;  // only the high nibble is used
    uint8_t emgstate;
    uint8_t GUNAState;
    uint8_t GUNBState;
    uint8_t LowVoltMode[2];
    uint8_t GUNA_ELockState;  // board convention: 0 locked, 1 unlocked
    uint8_t GUNB_ELockState;
    uint8_t GUNA_AuxPowerState;  // 0 on, 1 off
    uint8_t GUNB_AuxPowerState;
    uint8_t GUNA_ELockCtrl;  // 0 lock, 1 unlock, 2 no command
    uint8_t GUNB_ELockCtrl;
    uint8_t GUNA_AuxPowerCtrl;  // 0 on, 1 off, 2 no command
    uint8_t GUNB_AuxPowerCtrl;
    uint8_t stat1[2];
    uint8_t stat2[2];
    uint16_t power_allocated[2];
    float currI[2];
    float currV[2];
    uint8_t more_cmd;
    uint8_t need_send_ctrl_cmd;
    uint8_t ast_stage[2];
    uint8_t ast_type[2];
    uint8_t ast_check[2];
    // Upkeep of a closed port: last reopen attempt (monotonic ms, 0 = none yet).
    int64_t reopen_ms;
    // A request was retransmitted: its answer may still be on the line when the
    // next request is due (see ast_send_request).
    uint8_t line_dirty;
    // For the technician's status line (read by the main thread): when gun A, gun B
    // and the board last gave a usable answer (monotonic ms, 0: never), and each
    // gun's last reported stage.
    std::atomic<int64_t> answered_ms[3];
    std::atomic<uint8_t> stage_seen[2];
};

int ccu_AST_init(ast_zq_t *dev, const char *devname);
void *ccu_AST_loop(void *argv);
void ccu_AST_exit(ast_zq_t *dev);
// One polling cycle: gun A, gun B, board read, board write when due. Returns the
// number of exchanges that got a usable answer.
int ccu_AST_cycle(ast_zq_t *dev);

int ccu_AST_queryController(ast_zq_t *dev, uint8_t addr, uint8_t stat1, uint8_t stat2,
                            uint16_t allocated_power);
int ccu_AST_recv_with_timeout(ast_zq_t *dev, int minbytes, int timeout, int tries);
int ccu_AST_responseA(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd, uint8_t res);
int ccu_AST_responseB(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd, uint8_t res,
                      uint16_t data);

// Board exchange; 0 after a processed or CRC-rejected reply, -1 request not sent,
// -2 fewer than 17 bytes, -3 bad complement, -4 shorter than its length byte.
int ccu_AST_queryTemperature(ast_zq_t *dev, uint8_t addr, uint8_t rw, uint8_t ALock, uint8_t BLock,
                             uint8_t APowerAux, uint8_t BPowerAux);
// Processing of the board reply held in rxbuff/rxbytes (17-byte repair included):
// 0 processed, 1 CRC rejected, -2, -3, -4 as above.
int ccu_AST_processTemperature(ast_zq_t *dev);
// Kept for its callers to come: commands 8 to 11 set the controls directly.
int ccu_AST_GUNA_ELock(ast_zq_t *dev, int lock);
int ccu_AST_GUNB_ELock(ast_zq_t *dev, int lock);
int ccu_AST_GUNA_AuxPower(ast_zq_t *dev, int close);
int ccu_AST_GUNB_AuxPower(ast_zq_t *dev, int close);

// Command handlers: addr, seq and cmd from the reply; they return the length of
// the response they built in txbuff.
int ccu_AST_cmd0_NoOperation(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd1_Allocate(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd2_Deallocate(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd3_SetVoltCurr(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd4_Startup(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd5_Poweroff(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd6_CloseOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd7_DisconnectOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd8_LockGun(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd9_UnlockGun(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd10_TurnOnAuxPower(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd11_TurnOffAuxPower(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd15_SetHiLowVoltMode(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd100_QueryOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd101_QueryPowerAlloc(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd102_QueryGunLockState(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd103_QueryAuxPowerState(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd104_QueryOutVoltage(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
int ccu_AST_cmd105_QueryHiLowVoltMode(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd);
