// Charging-controller link: polls gun A, gun B and the lock/auxiliary-power/
// temperature board on one RS-485 line, executes the command each controller reply
// carries through the gun state hub and answers it in the same exchange.
#include "ast_ZQ.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "config.h"
#include "goose_HW.h"
#include "logger.h"
#include "modbus_crc.h"
#include "tc_system.h"
#include "tc_tcu.h"

// ---------------------------------------------------------------- helpers

namespace {

// The hub's twin operations, indexed by gun.
struct ast_gun_ops_t {
    void (*ive)(uint16_t, uint16_t, uint16_t, uint32_t, uint32_t);
    void (*work_state)(uint16_t);
    void (*type)(uint16_t);
    void (*link_state)(uint16_t);
    void (*lock_state)(uint8_t);
    void (*power_request)(uint16_t, uint16_t, float, float);
    void (*shutdown_request)(uint16_t);
    void (*ctrl_k1)(int);
    void (*ctrl_k2)(int);
    uint8_t (*query_k1)(void);
    uint8_t (*query_k2)(void);
    uint32_t (*query_voltage)(void);
    void (*led_state)(uint8_t);
};

constexpr ast_gun_ops_t ast_gun_ops[2] = {
    {ccu_Update_GUNA_IVE, ccu_Update_GUNA_WorkState, ccu_Update_GUNA_Type,
     ccu_Update_GUNA_LinkState, ccu_Update_GUNA_ElecLockState, ccu_GUNA_PowerRequest,
     ccu_GUNA_ShuntdownRequest, ccu_GUNA_Ctrl_K1, ccu_GUNA_Ctrl_K2, ccu_GUNA_Query_K1_State,
     ccu_GUNA_Query_K2_State, ccu_GUNA_Query_OutputVoltage, ccu_GUNA_LED_State},
    {ccu_Update_GUNB_IVE, ccu_Update_GUNB_WorkState, ccu_Update_GUNB_Type,
     ccu_Update_GUNB_LinkState, ccu_Update_GUNB_ElecLockState, ccu_GUNB_PowerRequest,
     ccu_GUNB_ShuntdownRequest, ccu_GUNB_Ctrl_K1, ccu_GUNB_Ctrl_K2, ccu_GUNB_Query_K1_State,
     ccu_GUNB_Query_K2_State, ccu_GUNB_Query_OutputVoltage, ccu_GUNB_LED_State},
};

// 0 gun A, 1 gun B, -1 any other address (answered, no effect on a gun).
int ast_gun(const ast_zq_t *dev, uint8_t addr) {
    uint8_t base = dev->addr & 0xF0;
    if (addr == (base | 1)) return 0;
    if (addr == (base | 2)) return 1;
    return -1;
}

// The budget of gun A, gun B or any other address among a trace site's three.
clog_rate_t *ast_gun_rate(clog_rate_t (&rates)[3], const ast_zq_t *dev, uint8_t addr) {
    int gun = ast_gun(dev, addr);
    return &rates[gun >= 0 ? gun : 2];
}

// A command's trace: set off by the controller, so rate-limited per site like every
// peer-triggered line, with a budget for each gun, so that two guns charging side by
// side never halve each other's lines.
#define AST_CMD_LOG(dev, addr, level, ...)                                                 \
    do {                                                                                   \
        static clog_rate_t ast_cmd_rates_[3];                                              \
        if (clog_rate_pass(ast_gun_rate(ast_cmd_rates_, (dev), (addr)), (level), __func__, \
                           __FILE__, __LINE__) != 0)                                       \
            clog_print((level), "TCU", __func__, __FILE__, __LINE__, __VA_ARGS__);         \
    } while (0)

// The more-commands byte; a frame that ends before it carries none (its place
// would be a CRC byte).
uint8_t ast_more(ast_zq_t *dev, int off) {
    dev->more_cmd = (off <= 2 + dev->rxbuff[2]) ? dev->rxbuff[off] : 0;
    return dev->more_cmd;
}

// Address complement, length and CRC (low byte first) around a body already in
// txbuff[3..2+L].
int ast_seal(ast_zq_t *dev, uint8_t addr, uint8_t len) {
    dev->txbuff[0] = addr;
    dev->txbuff[1] = (uint8_t)~addr;
    dev->txbuff[2] = len;
    uint16_t crc = modbus_crc16(dev->txbuff, len + 3);
    dev->txbuff[3 + len] = (uint8_t)(crc & 0xFF);
    dev->txbuff[4 + len] = (uint8_t)(crc >> 8);
    dev->txbytes = len + 5;
    return dev->txbytes;
}

// A port closed by a failed write, never opened or gone with its USB adapter is
// reopened here, at most every AST_REOPEN_MS; com_ttySx keeps a failing reopen to
// one log line a minute.
bool ast_port_ready(ast_zq_t *dev) {
    if (dev->tty.fd > 0) return true;
    if (dev->tty.devname == nullptr) return false;  // no device configured: logged at init
    int64_t now = monotime_ms();
    if (dev->reopen_ms != 0 && now - dev->reopen_ms < AST_REOPEN_MS) return false;
    dev->reopen_ms = now;
    if (comm_ttySx_reset(&dev->tty) == -2) return false;
    TCU_LOG(3, "tty:%s reopened\n", dev->tty.devname);
    com_ttySx_rs485_enable(&dev->tty, 1);
    return dev->tty.fd > 0;
}

int ast_send(ast_zq_t *dev) {
    if (!ast_port_ready(dev)) return -2;
    return com_ttySx_send(&dev->tty, reinterpret_cast<const char *>(dev->txbuff), dev->txbytes);
}

// A new request (poll or board exchange) starts from an empty input queue: a reply
// that came in after its own exchange gave up would otherwise be taken as the
// answer to this one, and every later exchange would read its predecessor's reply.
int ast_send_request(ast_zq_t *dev) {
    if (!ast_port_ready(dev)) return -2;
    if (dev->line_dirty) {
        // The retransmission went out at the end of its deadline, so a device that
        // answers it answers after the exchange gave up: let that reply finish
        // before this request, or it lands in the next device's exchange.
        char scratch[AST_BUFF_SIZE];
        int64_t until = monotime_ms() + AST_DRAIN_MAX_MS;
        while (com_ttySx_recv_with_timeout(&dev->tty, scratch, sizeof scratch, AST_QUIET_MS) > 0 &&
               monotime_ms() < until && dev->quit.load() == 0) {
        }
        dev->line_dirty = 0;
    }
    com_ttySx_flush_input(&dev->tty);
    return ast_send(dev);
}

// Retransmission inside a receive: reopen (which also drops what is pending) and
// send the last frame again. -2 when the port cannot be reopened or written.
int ast_resend(ast_zq_t *dev) {
    dev->line_dirty = 1;
    comm_ttySx_reset(&dev->tty);
    if (dev->tty.fd <= 0) return -2;
    int n = com_ttySx_send(&dev->tty, reinterpret_cast<const char *>(dev->txbuff), dev->txbytes);
    dev->rxbytes = 0;
    return n < 0 ? -2 : 0;
}

}  // namespace

// ---------------------------------------------------------------- frames

int ccu_AST_responseA(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd, uint8_t res) {
    if (dev == nullptr) return -1;
    dev->txbuff[3] = 1;
    dev->txbuff[4] = seq;
    dev->txbuff[5] = cmd;
    dev->txbuff[6] = res;
    return ast_seal(dev, addr, 4);
}

int ccu_AST_responseB(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd, uint8_t res,
                      uint16_t data) {
    if (dev == nullptr) return -1;
    dev->txbuff[3] = 1;
    dev->txbuff[4] = seq;
    dev->txbuff[5] = cmd;
    dev->txbuff[6] = res;
    dev->txbuff[7] = (uint8_t)(data >> 8);
    dev->txbuff[8] = (uint8_t)(data & 0xFF);
    return ast_seal(dev, addr, 6);
}

int ccu_AST_recv_with_timeout(ast_zq_t *dev, int minbytes, int timeout, int tries) {
    // One deadline for the whole call, retransmissions included; monotonic so a
    // clock step cannot stretch or cut it.
    int64_t deadline = monotime_ms() + timeout;
    if (dev == nullptr) return -1;
    if (dev->tty.fd <= 0) return -2;
    int wanted = minbytes < 3 ? 3 : minbytes;
    if (wanted > AST_BUFF_SIZE) wanted = AST_BUFF_SIZE;
    dev->rxbytes = 0;
    dev->more_cmd = 0;

    for (;;) {
        // The port's own receive waits on the same deadline: a deadline passed while
        // the last bytes were handled only leaves time to look whether more are there.
        int64_t left = deadline - monotime_ms();
        int ask = wanted - dev->rxbytes;
        int n = com_ttySx_recv_with_timeout(&dev->tty,
                                            reinterpret_cast<char *>(dev->rxbuff) + dev->rxbytes,
                                            ask, left > 0 ? (int)left : 0);
        if (n < 0) return errno;  // a failed wait or a hang-up, logged by the port
        dev->rxbytes += n;
        if (n < ask) {
            TCU_LOG_PEER(1, "timeout rxbytes:%d\n", dev->rxbytes);
            if (--tries <= 0) return errno;
            if (ast_resend(dev) < 0) return -2;
            continue;
        }
        if (dev->rxbytes >= 3) {
            // A length byte above AST_MAX_LEN would make the frame overrun the
            // buffer: such a header is as bad as a wrong complement.
            if (dev->rxbuff[0] == (uint8_t)~dev->rxbuff[1] && dev->rxbuff[2] <= AST_MAX_LEN) {
                wanted = dev->rxbuff[2] + 5;
            } else {
                TCU_LOG_PEER(1, "rxbytes:%d\n", dev->rxbytes);
                if (--tries <= 0) return errno;
                if (ast_resend(dev) < 0) return -2;
                continue;
            }
        }
        if (dev->rxbytes >= wanted) return dev->rxbytes;
    }
}

// ---------------------------------------------------------------- dispatch

namespace {

using ast_handler_t = int (*)(ast_zq_t *, uint8_t, uint8_t, uint8_t);

// Command 14 is acknowledged and nothing else.
int ast_cmd14_answer(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

struct ast_cmd_entry_t {
    uint8_t cmd;
    ast_handler_t handler;
    // Offset of the last parameter byte the handler reads (the more-commands byte
    // excluded); a frame ending before it is not executed. 0: no rule of this kind.
    uint8_t last_param;
};

constexpr ast_cmd_entry_t ast_cmd_table[] = {
    {0, ccu_AST_cmd0_NoOperation, 0},  // length rules of its own
    {1, ccu_AST_cmd1_Allocate, 6},
    {2, ccu_AST_cmd2_Deallocate, 0},
    {3, ccu_AST_cmd3_SetVoltCurr, 8},
    {4, ccu_AST_cmd4_Startup, 0},
    {5, ccu_AST_cmd5_Poweroff, 0},
    {6, ccu_AST_cmd6_CloseOutContactor, 0},
    {7, ccu_AST_cmd7_DisconnectOutContactor, 0},
    {8, ccu_AST_cmd8_LockGun, 0},
    {9, ccu_AST_cmd9_UnlockGun, 0},
    {10, ccu_AST_cmd10_TurnOnAuxPower, 5},
    {11, ccu_AST_cmd11_TurnOffAuxPower, 5},
    {14, ast_cmd14_answer, 0},
    {15, ccu_AST_cmd15_SetHiLowVoltMode, 5},
    {100, ccu_AST_cmd100_QueryOutContactor, 0},
    {101, ccu_AST_cmd101_QueryPowerAlloc, 0},
    {102, ccu_AST_cmd102_QueryGunLockState, 0},
    {103, ccu_AST_cmd103_QueryAuxPowerState, 0},
    {104, ccu_AST_cmd104_QueryOutVoltage, 0},
    {105, ccu_AST_cmd105_QueryHiLowVoltMode, 0},
};

const ast_cmd_entry_t *ast_find_cmd(uint8_t cmd) {
    for (const auto &e : ast_cmd_table)
        if (e.cmd == cmd) return &e;
    return nullptr;
}

}  // namespace

int ccu_AST_queryController(ast_zq_t *dev, uint8_t addr, uint8_t stat1, uint8_t stat2,
                            uint16_t allocated_power) {
    if (dev == nullptr) return -1;
    dev->txbuff[3] = 0;
    dev->txbuff[4] = stat1;
    dev->txbuff[5] = stat2;
    dev->txbuff[6] = (uint8_t)(allocated_power & 0xFF);
    ast_seal(dev, addr, 4);
    if (ast_send_request(dev) != dev->txbytes) return -1;

    dev->rxbytes = 0;
    dev->more_cmd = 0;
    ccu_AST_recv_with_timeout(dev, 3, AST_TIMEOUT_MS, AST_TRIES);
    if (dev->rxbytes < 8) {
        dev->rxbytes = 0;
        return -2;
    }
    if (dev->rxbuff[0] != (uint8_t)~dev->rxbuff[1]) {
        dev->rxbytes = 0;
        return -3;
    }
    int len = dev->rxbuff[2];
    if (dev->rxbytes < len + 5) {
        dev->rxbytes = 0;
        return -4;
    }
    uint16_t crcr = (uint16_t)(dev->rxbuff[3 + len] + 256 * dev->rxbuff[4 + len]);
    uint16_t crcx = modbus_crc16(dev->rxbuff, len + 3);
    if (crcr != crcx) {
        dev->rxbytes = 0;
        TCU_LOG_PEER(1, "crcr[%04x] != crcx[%04x]\n", crcr, crcx);
        return 0;
    }

    uint8_t raddr = dev->rxbuff[0];
    uint8_t seq = dev->rxbuff[3];
    uint8_t cmd = dev->rxbuff[4];
    const ast_cmd_entry_t *e = ast_find_cmd(cmd);
    if (e == nullptr) {
        // The poll is still in txbuff and goes out again below.
        TCU_LOG_PEER(1, "unsupport cmd[%02x]\n", cmd);
        printline("uart recv", dev->rxbuff, dev->rxbytes);
    } else if (e->last_param != 0 && e->last_param > 2 + len) {
        // Acting on it would read stale buffer bytes or the CRC as parameters.
        TCU_LOG_PEER(1, "short frame cmd[%02x] L:%d\n", cmd, len);
        ccu_AST_responseA(dev, raddr, seq, cmd, 0);
    } else {
        e->handler(dev, raddr, seq, cmd);
    }
    dev->rxbytes = 0;
    return ast_send(dev);
}

// ---------------------------------------------------------------- handlers

int ccu_AST_cmd0_NoOperation(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    int len = dev->rxbuff[2];
    int gun = ast_gun(dev, addr);
    if (len > 15) {
        uint16_t maxI = get_be16(dev->rxbuff + 5);
        uint16_t currI = get_be16(dev->rxbuff + 7);
        uint16_t currV = get_be16(dev->rxbuff + 9);
        uint32_t totalE = get_be32(dev->rxbuff + 11);
        uint32_t currE = get_be32(dev->rxbuff + 15);
        printf(
            "addr=%02x, maxI:%5hd .1A, currI:%5hd .1A, currV:%5hd .1V, currE:%9d kWh, "
            "totalE:%9d Wh\n",
            addr, (short)maxI, (short)currI, (short)currV, (int)currE, (int)totalE);
        if (gun >= 0) {
            // The configured gun maximum goes to the power unit; the controller's
            // own figure is only shown.
            int16_t cfg =
                gun == 0 ? tcu_config.modbus_hw.maxI_GUNA : tcu_config.modbus_hw.maxI_GUNB;
            ast_gun_ops[gun].ive((uint16_t)(cfg * 10), currI, currV, totalE, currE);
        }
    }
    if (len > 17 && gun >= 0) {
        const ast_gun_ops_t &ops = ast_gun_ops[gun];
        uint8_t stage = dev->rxbuff[19];
        uint8_t type = dev->rxbuff[20];
        uint8_t prev = dev->ast_stage[gun];
        if (prev != stage) {
            switch (prev) {
                case AST_IDLE:
                case AST_END:
                    ops.work_state(4);
                    ops.shutdown_request(SRR_NORMAL);
                    break;
                case AST_FAULT:
                    ops.work_state(5);
                    ops.shutdown_request(SRR_GUN_SECC_ERR);
                    break;
                case AST_FAULT_PLUGIN:
                    ops.work_state(4);
                    ops.shutdown_request(SRR_GUN_FALLOFF);
                    break;
                default:
                    break;
            }
        }
        if (type != dev->ast_type[gun]) {
            if (type == 1)
                ops.type(4);
            else if (type == 2)
                ops.type(1);
            dev->ast_type[gun] = type;
        }
        dev->ast_stage[gun] = stage;
        uint8_t led;
        switch (stage) {
            case AST_FAULT:
            case AST_FAULT_PLUGIN:
                led = 0;
                break;
            case AST_START:
            case AST_INSULATION_CHECK:
            case AST_PRECHARGE:
            case AST_CHARGING:
                led = 2;
                break;
            default:
                led = 1;
                break;
        }
        ops.led_state(led);
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd1_Allocate(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    uint16_t currP = get_be16(dev->rxbuff + 5);
    ast_more(dev, 7);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, currP:%d\n", addr, dev->more_cmd, currP);
    int gun = ast_gun(dev, addr);
    if (gun >= 0) {
        dev->power_allocated[gun] = currP;
        ast_gun_ops[gun].work_state(1);
        ast_gun_ops[gun].power_request(PRT_ACDC_PLACEHOLDER, PRM_CONSTANT_CURRENT, 1000.0f, 100.0f);
        dev->ast_check[gun] = 0;
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd2_Deallocate(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun >= 0) {
        ast_gun_ops[gun].work_state(1);
        ast_gun_ops[gun].power_request(PRT_ACDC_PLACEHOLDER, PRM_CONSTANT_CURRENT, 0.0f, 0.0f);
        dev->ast_check[gun] = 0;
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd3_SetVoltCurr(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    float V = (float)get_be16(dev->rxbuff + 5) / 10.0f;
    float I = (float)get_be16(dev->rxbuff + 7) / 10.0f;
    ast_more(dev, 9);
    int gun = ast_gun(dev, addr);
    if (gun < 0) return ccu_AST_responseA(dev, addr, seq, cmd, 1);

    const ast_gun_ops_t &ops = ast_gun_ops[gun];
    dev->currV[gun] = V;
    dev->currI[gun] = I;
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, ast_stage:%d, V:%9f V, I:%9f A\n", addr,
                dev->more_cmd, dev->ast_stage[gun], (double)V, (double)I);
    switch (dev->ast_stage[gun]) {
        case AST_INSULATION_CHECK:
            // One start per charge; the power unit needs at least 30 A to test.
            if (dev->ast_check[gun] == 1) break;
            ops.work_state(8);
            ops.power_request(PRT_INSLUATION_DETECTION_START, PRM_CONSTANT_CURRENT, V,
                              I < 30.0f ? 30.0f : I);
            dev->ast_check[gun] = 1;
            break;
        case AST_PRECHARGE:
            if (gun == 0) ops.work_state(8);
            ops.power_request(PRT_PRECHARGING, PRM_CONSTANT_CURRENT, V, I);
            break;
        case AST_CHARGING:
            ops.work_state(3);
            ops.power_request(PRT_CHARGING, PRM_CONSTANT_CURRENT, V, I);
            break;
        default:
            break;
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd4_Startup(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd5_Poweroff(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun >= 0 && dev->ast_check[gun] == 1) {
        ast_gun_ops[gun].power_request(PRT_INSLUATION_DETECTION_STOP, PRM_CONSTANT_CURRENT, 0.0f,
                                       0.0f);
        dev->ast_check[gun] = 0;
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd6_CloseOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun >= 0) {
        ast_gun_ops[gun].ctrl_k2(1);
        ast_gun_ops[gun].ctrl_k1(1);
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd7_DisconnectOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun >= 0) {
        ast_gun_ops[gun].ctrl_k1(0);
        ast_gun_ops[gun].ctrl_k2(0);
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

namespace {

// Commands 8 to 11: store a board control for the gun and make a write due. The
// trace names the handler (func), as every other command's trace does.
int ast_board_control(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd, int more_off,
                      bool lock, uint8_t value, const char *func) {
    ast_more(dev, more_off);
    // A budget per command and gun, as each command's own trace site would have.
    static clog_rate_t rates[4][3];
    if (clog_rate_pass(ast_gun_rate(rates[(cmd - 8) & 3], dev, addr), 4, func, __FILE__,
                       __LINE__) != 0)
        clog_print(4, "TCU", func, __FILE__, __LINE__, "addr=%02x, more_cmd:%d\n", addr,
                   dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun == 0) {
        (lock ? dev->GUNA_ELockCtrl : dev->GUNA_AuxPowerCtrl) = value;
        dev->need_send_ctrl_cmd = 1;
    } else if (gun == 1) {
        (lock ? dev->GUNB_ELockCtrl : dev->GUNB_AuxPowerCtrl) = value;
        dev->need_send_ctrl_cmd = 1;
    }
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

}  // namespace

int ccu_AST_cmd8_LockGun(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    return ast_board_control(dev, addr, seq, cmd, 5, true, 0, __func__);
}

int ccu_AST_cmd9_UnlockGun(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    return ast_board_control(dev, addr, seq, cmd, 5, true, 1, __func__);
}

int ccu_AST_cmd10_TurnOnAuxPower(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    return ast_board_control(dev, addr, seq, cmd, 6, false, 0, __func__);
}

int ccu_AST_cmd11_TurnOffAuxPower(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    return ast_board_control(dev, addr, seq, cmd, 6, false, 1, __func__);
}

int ccu_AST_cmd15_SetHiLowVoltMode(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 6);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d\n", addr, dev->more_cmd);
    int gun = ast_gun(dev, addr);
    if (gun >= 0) dev->LowVoltMode[gun] = dev->rxbuff[5];
    return ccu_AST_responseA(dev, addr, seq, cmd, 1);
}

int ccu_AST_cmd100_QueryOutContactor(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint16_t data = 0;
    if (gun >= 0)
        data = (uint16_t)((ast_gun_ops[gun].query_k1() << 8) | ast_gun_ops[gun].query_k2());
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, state:%04x\n", addr, dev->more_cmd, data);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

int ccu_AST_cmd101_QueryPowerAlloc(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint16_t data = gun >= 0 ? dev->power_allocated[gun] : 0;
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, power_allocated:%04x\n", addr, dev->more_cmd,
                data);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

// Lock and auxiliary-power queries: the board says 0 for locked / on, the
// controller wants 1 in the low byte under 0xFF.
static uint16_t ast_board_state_word(uint8_t state) {
    return (uint16_t)(0xFF00 + (state == 0 ? 1 : 0));
}

int ccu_AST_cmd102_QueryGunLockState(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint16_t data =
        gun < 0 ? 0 : ast_board_state_word(gun == 0 ? dev->GUNA_ELockState : dev->GUNB_ELockState);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, state:%04x\n", addr, dev->more_cmd, data);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

int ccu_AST_cmd103_QueryAuxPowerState(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint16_t data = gun < 0 ? 0
                            : ast_board_state_word(gun == 0 ? dev->GUNA_AuxPowerState
                                                            : dev->GUNB_AuxPowerState);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, state:%04x\n", addr, dev->more_cmd, data);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

int ccu_AST_cmd104_QueryOutVoltage(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint32_t voltage = gun >= 0 ? ast_gun_ops[gun].query_voltage() : 0;
    uint16_t data = (uint16_t)((voltage * 10) & 0xFFFF);
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, voltage:%hd\n", addr, dev->more_cmd,
                (short)voltage);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

int ccu_AST_cmd105_QueryHiLowVoltMode(ast_zq_t *dev, uint8_t addr, uint8_t seq, uint8_t cmd) {
    ast_more(dev, 5);
    int gun = ast_gun(dev, addr);
    uint16_t data = 0;
    if (gun >= 0) data = (uint16_t)(0xFF00 + (dev->LowVoltMode[gun] == 1 ? 1 : 0));
    AST_CMD_LOG(dev, addr, 4, "addr=%02x, more_cmd:%d, state:%04x\n", addr, dev->more_cmd, data);
    return ccu_AST_responseB(dev, addr, seq, cmd, 1, data);
}

// ---------------------------------------------------------------- board

// Board replies are logged under the exchange's own name, whoever processes them.
// Set off by the board's replies: rate-limited per site like every peer-triggered line.
#define AST_BOARD_LOG(level, ...) CLOG_PEER((level), "ccu_AST_queryTemperature", __VA_ARGS__)

int ccu_AST_processTemperature(ast_zq_t *dev) {
    if (dev == nullptr) return -1;
    uint8_t *rx = dev->rxbuff;
    if (dev->rxbytes == 17) {
        // A reply that lost its address byte: put it back from the complement.
        memmove(rx + 1, rx, 17);
        rx[0] = (uint8_t)~rx[1];
        dev->rxbytes = 18;
    } else if (dev->rxbytes < 17) {
        dev->rxbytes = 0;
        return -2;
    } else if (rx[0] != (uint8_t)~rx[1]) {
        dev->rxbytes = 0;
        return -3;
    }
    uint16_t crcr = (uint16_t)(rx[16] + 256 * rx[17]);
    uint16_t crcx = modbus_crc16(rx, 16);
    if (crcr != crcx) {
        AST_BOARD_LOG(1, "crcr[%04x] != crcx[%04x]\n", crcr, crcx);
        dev->rxbytes = 0;
        return 1;
    }
    if (rx[2] + 4 >= dev->rxbytes) {
        dev->rxbytes = 0;
        return -4;
    }
    memcpy(dev->temp, rx + 3, 6);

    // Only the change into an emergency stop asks both guns to shut down.
    if (dev->emgstate != 0x7F && rx[9] == 0x7F) {
        ccu_GUNA_ShuntdownRequest(SRR_GUN_EMGSTOP);
        ccu_GUNB_ShuntdownRequest(SRR_GUN_EMGSTOP);
    }
    dev->emgstate = rx[9];

    // The board's link values are the inverse of the hub's.
    if (dev->GUNAState == 1 && rx[10] == 0) {
        AST_BOARD_LOG(4, "GUNAState:%d\n ", 1);
        ccu_Update_GUNA_WorkState(1);
        ccu_Update_GUNA_LinkState(1);
    }
    if (dev->GUNBState == 1 && rx[11] == 0) {
        AST_BOARD_LOG(4, "GUNBState:%d\n ", 1);
        ccu_Update_GUNB_WorkState(1);
        ccu_Update_GUNB_LinkState(1);
    }
    if (dev->GUNAState == 0 && rx[10] == 1) {
        AST_BOARD_LOG(4, "GUNAState:%d\n ", 0);
        ccu_Update_GUNA_WorkState(0);
        ccu_Update_GUNA_LinkState(0);
    }
    if (dev->GUNBState == 0 && rx[11] == 1) {
        AST_BOARD_LOG(4, "GUNBState:%d\n ", 0);
        ccu_Update_GUNB_WorkState(0);
        ccu_Update_GUNB_LinkState(0);
    }
    dev->GUNAState = rx[10];
    dev->GUNBState = rx[11];

    // Lock: board 0 = locked, hub 1 = locked.
    if (dev->GUNA_ELockState == 1 && rx[12] == 0) ccu_Update_GUNA_ElecLockState(1);
    if (dev->GUNA_ELockState == 0 && rx[12] == 1) ccu_Update_GUNA_ElecLockState(0);
    if (dev->GUNB_ELockState == 1 && rx[13] == 0) ccu_Update_GUNB_ElecLockState(1);
    if (dev->GUNB_ELockState == 0 && rx[13] == 1) ccu_Update_GUNB_ElecLockState(0);
    dev->GUNA_ELockState = rx[12];
    dev->GUNB_ELockState = rx[13];
    dev->GUNA_AuxPowerState = rx[14];
    dev->GUNB_AuxPowerState = rx[15];

    // A lock command the board has carried out is withdrawn with one more write
    // of "no command"; auxiliary-power controls stay and are repeated.
    // Only a pending lock or unlock (0 or 1) is withdrawn: a board reporting 2 while
    // nothing is pending must not cause a write every cycle.
    if (dev->GUNA_ELockCtrl < 2 && dev->GUNA_ELockState == dev->GUNA_ELockCtrl) {
        dev->GUNA_ELockCtrl = 2;
        dev->need_send_ctrl_cmd = 1;
    }
    if (dev->GUNB_ELockCtrl < 2 && dev->GUNB_ELockState == dev->GUNB_ELockCtrl) {
        dev->GUNB_ELockCtrl = 2;
        dev->need_send_ctrl_cmd = 1;
    }
    dev->rxbytes = 0;
    return 0;
}

namespace {

// The board exchange with the CRC rejection told apart (1) for the cycle.
int ast_board_exchange(ast_zq_t *dev, uint8_t addr, uint8_t rw, uint8_t ALock, uint8_t BLock,
                       uint8_t APowerAux, uint8_t BPowerAux) {
    dev->txbuff[3] = 0x42;
    dev->txbuff[4] = 0x00;
    dev->txbuff[5] = 0x04;
    dev->txbuff[6] = rw;
    dev->txbuff[7] = ALock;
    dev->txbuff[8] = BLock;
    dev->txbuff[9] = APowerAux;
    dev->txbuff[10] = BPowerAux;
    ast_seal(dev, addr, 8);
    if (ast_send_request(dev) != 13) return -1;
    dev->rxbytes = 0;
    ccu_AST_recv_with_timeout(dev, 3, AST_TIMEOUT_MS, AST_TRIES);
    return ccu_AST_processTemperature(dev);
}

}  // namespace

int ccu_AST_queryTemperature(ast_zq_t *dev, uint8_t addr, uint8_t rw, uint8_t ALock, uint8_t BLock,
                             uint8_t APowerAux, uint8_t BPowerAux) {
    if (dev == nullptr) return -1;
    int rc = ast_board_exchange(dev, addr, rw, ALock, BLock, APowerAux, BPowerAux);
    return rc == 1 ? 0 : rc;
}

int ccu_AST_GUNA_ELock(ast_zq_t *dev, int lock) {
    if (dev == nullptr) return -1;
    dev->GUNA_ELockCtrl = lock ? 0 : 1;
    dev->need_send_ctrl_cmd = 1;
    return 0;
}

int ccu_AST_GUNB_ELock(ast_zq_t *dev, int lock) {
    if (dev == nullptr) return -1;
    dev->GUNB_ELockCtrl = lock ? 0 : 1;
    dev->need_send_ctrl_cmd = 1;
    return 0;
}

int ccu_AST_GUNA_AuxPower(ast_zq_t *dev, int close) {
    if (dev == nullptr) return -1;
    dev->GUNA_AuxPowerCtrl = close ? 0 : 1;
    dev->need_send_ctrl_cmd = 1;
    return 0;
}

int ccu_AST_GUNB_AuxPower(ast_zq_t *dev, int close) {
    if (dev == nullptr) return -1;
    dev->GUNB_AuxPowerCtrl = close ? 0 : 1;
    dev->need_send_ctrl_cmd = 1;
    return 0;
}

// ---------------------------------------------------------------- life cycle

int ccu_AST_init(ast_zq_t *dev, const char *devname) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    dev->quit = 0;
    dev->tty.fd = -1;
    dev->reopen_ms = 0;
    if (devname == nullptr) {
        // Without a device the worker still runs (and paces itself); nothing to reopen.
        TCU_LOG(1, "ast_tty not set: controller link has no serial port\n");
    } else {
        // Results ignored: a port that failed to open is reopened by the cycle.
        com_ttySx_init(&dev->tty, devname, 9600, 8, 'N', 1);
        com_ttySx_rs485_enable(&dev->tty, 1);
    }
    dev->addr = 0x10;
    for (int g = 0; g < 2; g++) {
        dev->stat1[g] = 3;
        dev->stat2[g] = 4;
        dev->power_allocated[g] = 3;
        dev->ast_stage[g] = 0;
        dev->ast_type[g] = 0;
        dev->ast_check[g] = 0;
        dev->currV[g] = 0.0f;
        dev->currI[g] = 0.0f;
        dev->LowVoltMode[g] = 0;
    }
    dev->need_send_ctrl_cmd = 0;
    dev->GUNA_ELockCtrl = 2;
    dev->GUNB_ELockCtrl = 2;
    dev->GUNA_AuxPowerCtrl = 2;
    dev->GUNB_AuxPowerCtrl = 2;
    dev->GUNA_ELockState = 1;
    dev->GUNB_ELockState = 1;
    dev->GUNA_AuxPowerState = 1;
    dev->GUNB_AuxPowerState = 1;
    dev->GUNAState = 1;
    dev->GUNBState = 1;
    dev->emgstate = 0;
    dev->more_cmd = 0;
    dev->rxbytes = 0;
    dev->txbytes = 0;
    for (auto &t : dev->answered_ms) t.store(0);
    for (auto &s : dev->stage_seen) s.store(0);
    return 0;
}

int ccu_AST_cycle(ast_zq_t *dev) {
    if (dev == nullptr) return -1;
    uint8_t base = dev->addr & 0xF0;
    int answered = 0;
    if (ccu_AST_queryController(dev, base | 1, dev->stat1[0], dev->stat2[0],
                                (uint16_t)(dev->power_allocated[0] / 5)) >= 0) {
        answered++;
        dev->answered_ms[0].store(monotime_ms(), std::memory_order_relaxed);
    }
    if (dev->quit.load() != 0) return answered;
    if (ccu_AST_queryController(dev, base | 2, dev->stat1[1], dev->stat2[1],
                                (uint16_t)(dev->power_allocated[1] / 5)) >= 0) {
        answered++;
        dev->answered_ms[1].store(monotime_ms(), std::memory_order_relaxed);
    }
    for (int g = 0; g < 2; g++)
        dev->stage_seen[g].store(dev->ast_stage[g], std::memory_order_relaxed);
    // A stop is not kept waiting for the rest of the cycle.
    if (dev->quit.load() != 0) return answered;
    int rd = ast_board_exchange(dev, base | 3, 0, 0, 0, 0, 0);
    if (rd >= 0) {
        answered++;
        dev->answered_ms[2].store(monotime_ms(), std::memory_order_relaxed);
    }
    if (dev->need_send_ctrl_cmd == 1 && dev->quit.load() == 0) {
        dev->need_send_ctrl_cmd = 0;
        int wr = ast_board_exchange(dev, base | 3, 1, dev->GUNA_ELockCtrl, dev->GUNB_ELockCtrl,
                                    dev->GUNA_AuxPowerCtrl, dev->GUNB_AuxPowerCtrl);
        // The controller was told the command is done: a write the board did
        // not take is repeated next cycle, unless the board is silent anyway.
        if (wr != 0 && rd >= 0) dev->need_send_ctrl_cmd = 1;
        if (wr >= 0) answered++;
    }
    return answered;
}

void *ccu_AST_loop(void *argv) {
    auto *dev = static_cast<ast_zq_t *>(argv);
    if (dev == nullptr) return nullptr;
    while (dev->quit == 0) {
        dev->heartbeat.fetch_add(1, std::memory_order_relaxed);
        int64_t t0 = monotime_ms();
        int answered = ccu_AST_cycle(dev);
        // A cycle that failed at once (port closed, hung up, no device) would
        // otherwise spin: wait about one receive deadline, watching quit. Two
        // slices, not ten: a missing port should cost no more wake-ups than needed.
        if (answered <= 0 && monotime_ms() - t0 < AST_TIMEOUT_MS / 5) {
            for (int waited = 0; waited < AST_REOPEN_MS && dev->quit == 0; waited += 250)
                msleep(250);
        }
    }
    return nullptr;
}

void ccu_AST_exit(ast_zq_t *dev) {
    if (dev == nullptr) return;
    pthread_mutex_destroy(&dev->mutex);
    com_ttySx_rs485_enable(&dev->tty, 0);
    com_ttySx_exit(&dev->tty);
}
