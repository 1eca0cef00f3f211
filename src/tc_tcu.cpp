// Start-up and shutdown of the five links and their workers, and the gun state
// hub through which the links reach each other.
#include "tc_tcu.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "adcgpio.h"
#include "config.h"
#include "logger.h"
#include "tc_system.h"
#include "tc_watch.h"

modbus_TCP_t modbusHW;
goose_HW_t gooseGUNA;
goose_HW_t gooseGUNB;
stm32f103_t stm32F103;
ast_zq_t ccuASTZQ;
tc_thread_t threadTCU[5];

int ccu_TCU_init(void) {
    uint16_t tcu_id = (uint16_t)tcu_config.tcu_id;
    modbus_TCP_init(&modbusHW, tcu_config.modbus_hw.serverip, tcu_config.modbus_hw.port,
                    tcu_config.modbus_hw.enable_ssl, tcu_id, tcu_config.modbus_hw.server_name,
                    tcu_config.modbus_hw.tls_ciphers);
    goose_HW_init(&gooseGUNA, tcu_config.ifname, (uint16_t)(tcu_config.tcu_id * 2 + 1));
    goose_HW_init(&gooseGUNB, tcu_config.ifname, (uint16_t)(tcu_config.tcu_id * 2 + 2));
    // No worker exists yet, so the register image needs no lock here.
    dumpString2Reg(&modbusHW.regs_0x1100[0x4D], gooseGUNA.src_mac, 6);
    dumpString2Reg(&modbusHW.regs_0x1D00[0x4D], gooseGUNB.src_mac, 6);
    ccu_STM32_init(&stm32F103, "can0", 500000, 1);
    ccu_AST_init(&ccuASTZQ, tcu_config.ast_tty);
    return 0;
}

void ccu_TCU_run(int quit) {
    tc_thread_init(&threadTCU[0], modbus_TCP_loop, &modbusHW);
    tc_thread_init(&threadTCU[1], goose_HW_loop, &gooseGUNA);
    tc_thread_init(&threadTCU[2], goose_HW_loop, &gooseGUNB);
    tc_thread_init(&threadTCU[3], ccu_STM32_loop, &stm32F103);
    tc_thread_init(&threadTCU[4], ccu_AST_loop, &ccuASTZQ);
    // The main thread has nothing left to do but wait for a stop (SIGTERM, SIGINT):
    // the pipe becomes readable with the first request and stays so.
    // It also feeds the service manager's watchdog while every worker moves.
    tc_watch_init(&tcuWatch);
    tc_watch_ready(&tcuWatch, monotime_ms());
    while (quit == 0 && tc_stop_requested() == 0) {
        tc_wait_readable(tc_stop_fd(), monotime_ms() + TCU_RUN_TICK_MS);
        tc_watch_tick(&tcuWatch, monotime_ms());
    }
}

namespace {
const char *const kWorkerNames[5] = {"Modbus TCP", "GOOSE gun A", "GOOSE gun B", "co-processor",
                                     "controller polling"};
}  // namespace

int ccu_TCU_exit_within(int bound_ms) {
    tc_watch_stopping(&tcuWatch, monotime_ms());
    stm32F103.quit = 1;
    gooseGUNB.quit = 1;
    gooseGUNA.quit = 1;
    ccuASTZQ.quit = 1;
    modbusHW.quit = 1;
    // The Modbus thread may be waiting for the power unit: wake it.
    modbus_TCP_wake(&modbusHW);
    // The guns are safe already; a worker stuck (on a stalled console, say) must not
    // keep the process, and its link is then not closed under it.
    const int64_t deadline = monotime_ms() + bound_ms;
    int stuck = 0;
    for (int i = 4; i >= 0; i--) {
        int64_t left = bound_ms < 0 ? -1 : std::max<int64_t>(deadline - monotime_ms(), 0);
        if (tc_thread_exit_within(&threadTCU[i], (int)left) == 0) continue;
        TCU_LOG(1, "%s worker still running %d ms after the stop: not waiting for it\n",
                kWorkerNames[i], bound_ms);
        stuck++;
    }
    if (stuck > 0) return stuck;
    ccu_AST_exit(&ccuASTZQ);
    ccu_STM32_exit(&stm32F103);
    goose_HW_exit(&gooseGUNB);
    goose_HW_exit(&gooseGUNA);
    modbus_TCP_exit(&modbusHW);
    return 0;
}

void ccu_TCU_exit(void) {
    ccu_TCU_exit_within(-1);
}

// ---- Gun state hub ----
//
// Every operation runs on its caller's thread and holds at most one link mutex at
// a time; register reports go out after modbusHW.mutex is released. A GOOSE
// request is filled and posted in one hold of the publisher's mutex, so the
// publisher's worker never repeats new values under the old stNum.

#include <bit>
#include <cstring>

namespace {

// What differs between the twins of gun A and gun B.
struct hub_gun_t {
    uint16_t *status;          // status block, 0x1100 or 0x1D00
    uint16_t base;             // its Modbus address
    const uint16_t *settings;  // settings block written by the power unit, 0x2100 or 0x2D00
    goose_HW_t *goose;
    int k1;  // contactor index of K1 (K2 is the next one)
    const char *work_fmt;
    const char *link_fmt;
    // The work state's report that the gun's next GOOSE request must not overtake
    // (0: none waiting).
    std::atomic<uint64_t> *work_ticket;
};

std::atomic<uint64_t> work_tickets[2];
std::atomic<uint32_t> late_requests{0};

const hub_gun_t gunA = {modbusHW.regs_0x1100, 0x1100,        modbusHW.regs_0x2100, &gooseGUNA, 0,
                        "0x110B:%d\n",        "0x110D:%d\n", &work_tickets[0]};
const hub_gun_t gunB = {modbusHW.regs_0x1D00, 0x1D00,        modbusHW.regs_0x2D00, &gooseGUNB, 2,
                        "0x1D0B:%d\n",        "0x1D0D:%d\n", &work_tickets[1]};

// Register offsets inside a gun's status block.
constexpr int REG_TOTAL_E = 0x00;  // 4 registers, double
constexpr int REG_TYPE = 0x04;
constexpr int REG_MAX_I = 0x05;   // float
constexpr int REG_CURR_V = 0x07;  // float
constexpr int REG_CURR_I = 0x09;  // float
constexpr int REG_WORK_STATE = 0x0B;
constexpr int REG_LINK_STATE = 0x0D;
constexpr int REG_CONNECT_ID = 0x0E;
constexpr int REG_K1K2_V = 0x13;  // float
constexpr int REG_CONTACTOR = 0x54;
constexpr int REG_ELEC_LOCK = 0x56;
constexpr int REG_POWER_ON = 0x7E;
// Settings block.
constexpr int REG_DST_MAC = 0x11;  // 3 registers
constexpr int REG_HMAC = 0x15;     // 24 registers

void hub_report(const hub_gun_t &g, int off, int n) {
    // A report without a connection is dropped by the link; the image keeps the value.
    modbus_TCP_report_registers(&modbusHW, (uint16_t)(g.base + off), &g.status[off], n);
}

// Stores one status register and reports it.
void hub_update_reg(const hub_gun_t &g, int off, uint16_t value) {
    {
        tc_lock lock(&modbusHW.mutex);
        g.status[off] = value;
    }
    hub_report(g, off, 1);
}

// Work and link state: stored, logged, reported. The logged value is the one stored
// here, taken under the mutex, so the log line never reads a register another
// thread may be writing.
void hub_update_state(const hub_gun_t &g, int off, uint16_t value, const char *fmt,
                      const char *func) {
    uint16_t stored;
    {
        tc_lock lock(&modbusHW.mutex);
        g.status[off] = value;
        stored = g.status[off];
    }
    clog_print(4, "TCU", func, __FILE__, __LINE__, fmt, stored);
    if (off != REG_WORK_STATE) {
        hub_report(g, off, 1);
        return;
    }
    uint64_t ticket = 0;
    modbus_TCP_report_ticket(&modbusHW, (uint16_t)(g.base + off), &g.status[off], 1, &ticket);
    if (ticket != 0) g.work_ticket->store(ticket);
}

// The power unit learns the gun's work state before the request that follows it, as
// it did when reports went out on the caller's thread. A power unit that does not
// read delays the request by TCU_REPORT_LEAD_MS at most (once, until it reads again);
// then the request goes first and the late order is counted.
void hub_report_first(const hub_gun_t &g, const char *func) {
    uint64_t ticket = g.work_ticket->exchange(0);
    if (ticket == 0) return;
    if (modbus_TCP_report_wait(&modbusHW, ticket, TCU_REPORT_LEAD_MS) != 1) return;
    uint32_t late = late_requests.fetch_add(1) + 1;
    static clog_rate_t late_rate;
    if (clog_rate_pass(&late_rate, 1, func, __FILE__, __LINE__))
        clog_print(1, "TCU", func, __FILE__, __LINE__,
                   "request sent before its work-state report: the power unit is not reading "
                   "(%u so far)\n",
                   late);
}

void hub_update_IVE(const hub_gun_t &g, uint16_t maxI, uint16_t currI, uint16_t currV,
                    uint32_t totalE) {
    {
        tc_lock lock(&modbusHW.mutex);
        float_to_regs(&g.status[REG_MAX_I], (float)maxI / 10.0f);
        float_to_regs(&g.status[REG_CURR_V], (float)currV / 10.0f);
        float_to_regs(&g.status[REG_CURR_I], (float)currI / 10.0f);
        double_to_regs(&g.status[REG_TOTAL_E], (double)totalE / 1000.0);
        float_to_regs(&g.status[REG_K1K2_V], (float)currV / 10.0f);
    }
    // The other measurement registers reach the power unit when it reads them.
    hub_report(g, REG_K1K2_V, 2);
}

void hub_update_K1K2Voltage(const hub_gun_t &g, uint32_t vol) {
    {
        tc_lock lock(&modbusHW.mutex);
        float_to_regs(&g.status[REG_K1K2_V], (float)vol);
    }
    hub_report(g, REG_K1K2_V, 2);
}

uint16_t hub_connect_id(const hub_gun_t &g) {
    tc_lock lock(&modbusHW.mutex);
    return g.status[REG_CONNECT_ID];
}

// While the terminal stops, both guns stay shut down whatever the controller asks.
// Logged only: the caller decides under the lock that posts the request or drives the
// line, so a request already on its way when the stop came cannot slip in after it.
void hub_refused(const char *what, const char *func) {
    static clog_rate_t refused_rate;
    if (clog_rate_pass(&refused_rate, 1, func, __FILE__, __LINE__))
        clog_print(1, "TCU", func, __FILE__, __LINE__, "%s refused: the terminal is stopping\n",
                   what);
}

void hub_power_request(const hub_gun_t &g, uint16_t type, uint16_t mode, float voltageV,
                       float currentA, const char *func) {
    if (tc_stop_requested() != 0) {  // the early answer; the one that counts is below
        hub_refused("power request", func);
        return;
    }
    hub_report_first(g, func);
    // Everything that needs modbusHW.mutex comes first: never two link mutexes.
    uint16_t connect_id = hub_connect_id(g);
    showRegs(&modbusHW);
    clog_print(4, "TCU", func, __FILE__, __LINE__, "type:%hd\n", (short)type);
    tc_lock lock(&g.goose->mutex);
    // The stop posts its shutdown request under this mutex after raising the flag: seen
    // here, the stop came first, and nothing may replace its request.
    if (tc_stop_requested() != 0) {
        lock.unlock();
        hub_refused("power request", func);
        return;
    }
    PowerRequest_t &r = g.goose->power_request;
    r.connect_id = connect_id;
    r.serialnumb = 0xFFFF;
    r.type = type;
    r.mode = mode;
    r.requestV = voltageV;
    r.requestI = currentA;
    r.resv0 = 0xFFFF;
    r.resv1 = 0xFFFF;
    // Counting the new state in the same hold keeps new values and new stNum together;
    // the first frame goes out now, on this thread (the raw socket does not block).
    goose_HW_PowerRequest_locked(g.goose);
}

// only_once: the stop's own request, posted unless the gun's request in force is a
// shutdown already; decided under the mutex that a power request would need.
void hub_shutdown_request(const hub_gun_t &g, uint16_t reason, bool only_once) {
    uint16_t connect_id = hub_connect_id(g);
    tc_lock lock(&g.goose->mutex);
    if (only_once && g.goose->state.load() == GHWS_SHUTDOWN_REQUEST) return;
    ShutdownRequest_t &r = g.goose->shutdown_request;
    r.connect_id = connect_id;
    r.serialnumb = 0xFFFF;
    r.reason = reason;
    r.resv0 = 0xFFFF;
    r.resv1 = 0xFFFF;
    goose_HW_ShuntdownRequest_locked(g.goose);
}

// Runs on the Modbus thread, the only writer of the settings registers, so they are
// read without modbusHW.mutex (the write handler may be the caller).
void hub_update_mac(const hub_gun_t &g) {
    uint8_t mac[6];
    dumpReg2String(mac, &g.settings[REG_DST_MAC], 3);
    // One destination for both streams: whichever gun's block was written last.
    for (goose_HW_t *goose : {&gooseGUNA, &gooseGUNB}) {
        tc_lock lock(&goose->mutex);
        memcpy(goose->dst_mac, mac, sizeof mac);
    }
}

void hub_update_hmac(const hub_gun_t &g) {
    uint8_t key[GOOSE_HW_KEY_SIZE];
    dumpReg2String(key, &g.settings[REG_HMAC], GOOSE_HW_KEY_SIZE / 2);
    tc_lock lock(&g.goose->mutex);
    memcpy(g.goose->HMAC, key, sizeof key);
}

// The co-processor link refuses a close once the stop is requested, under the mutex
// that drives the lines.
void hub_ctrl_K1(const hub_gun_t &g, int close, const char *func) {
    // Work state 1 is handed over before the output opens; the opening never waits for
    // it to reach the power unit.
    if (close == 0) hub_update_reg(g, REG_WORK_STATE, 1);
    if (ccu_STM32_ControlContactor(&stm32F103, g.k1, close) == -3)
        hub_refused("contactor close", func);
}

void hub_ctrl_K2(const hub_gun_t &g, int close, const char *func) {
    if (ccu_STM32_ControlContactor(&stm32F103, g.k1 + 1, close) == -3)
        hub_refused("contactor close", func);
}

template <typename T>
T hub_query(const T &field) {
    tc_lock lock(&stm32F103.mutex);
    return field;
}

// LED channel cache: caller holds stm32F103.mutex. A channel is commanded only when
// its cached state differs; the command is queued and driven by the co-processor
// thread after it releases the mutex.
void led_set(int ch, int want) {
    uint8_t &cached = stm32F103.led[ch - 6];
    if (cached == (uint8_t)want) return;
    ccu_STM32_QueueLED(&stm32F103, ch, want);
    cached = (uint8_t)want;
}

void led_invert(int ch) {
    uint8_t &cached = stm32F103.led[ch - 6];
    uint8_t want = cached ? 0 : 1;
    ccu_STM32_QueueLED(&stm32F103, ch, want);
    cached = want;
}

}  // namespace

void ccu_Update_GUNA_Type(uint16_t type) {
    hub_update_reg(gunA, REG_TYPE, type);
}
void ccu_Update_GUNB_Type(uint16_t type) {
    hub_update_reg(gunB, REG_TYPE, type);
}

void ccu_Update_GUNA_IVE(uint16_t maxI, uint16_t currI, uint16_t currV, uint32_t totalE,
                         uint32_t currE) {
    (void)currE;  // energy of the present charge: accepted, not stored
    hub_update_IVE(gunA, maxI, currI, currV, totalE);
}
void ccu_Update_GUNB_IVE(uint16_t maxI, uint16_t currI, uint16_t currV, uint32_t totalE,
                         uint32_t currE) {
    (void)currE;
    hub_update_IVE(gunB, maxI, currI, currV, totalE);
}

void ccu_Update_GUNA_WorkState(uint16_t state) {
    hub_update_state(gunA, REG_WORK_STATE, state, gunA.work_fmt, __func__);
}
void ccu_Update_GUNB_WorkState(uint16_t state) {
    hub_update_state(gunB, REG_WORK_STATE, state, gunB.work_fmt, __func__);
}
void ccu_Update_GUNA_LinkState(uint16_t state) {
    hub_update_state(gunA, REG_LINK_STATE, state, gunA.link_fmt, __func__);
}
void ccu_Update_GUNB_LinkState(uint16_t state) {
    hub_update_state(gunB, REG_LINK_STATE, state, gunB.link_fmt, __func__);
}

void ccu_Update_GUNA_K1K2Voltage(uint32_t vol) {
    hub_update_K1K2Voltage(gunA, vol);
}
void ccu_Update_GUNB_K1K2Voltage(uint32_t vol) {
    hub_update_K1K2Voltage(gunB, vol);
}

void ccu_Update_GUNA_ContactorState(uint8_t K1K2) {
    hub_update_reg(gunA, REG_CONTACTOR, K1K2);
}
void ccu_Update_GUNB_ContactorState(uint8_t K1K2) {
    hub_update_reg(gunB, REG_CONTACTOR, K1K2);
}
void ccu_Update_GUNA_ElecLockState(uint8_t state) {
    hub_update_reg(gunA, REG_ELEC_LOCK, state);
}
void ccu_Update_GUNB_ElecLockState(uint8_t state) {
    hub_update_reg(gunB, REG_ELEC_LOCK, state);
}
void ccu_Update_GUNA_PowerOn(uint8_t state) {
    hub_update_reg(gunA, REG_POWER_ON, state);
}
void ccu_Update_GUNB_PowerOn(uint8_t state) {
    hub_update_reg(gunB, REG_POWER_ON, state);
}

void ccu_Update_serialID(const char *serialID) {
    if (serialID == nullptr) return;
    // The identity takes exactly 9 registers: a shorter text is padded with zeros and
    // a longer one cut, never read past its end.
    uint8_t text[18] = {0};
    memcpy(text, serialID, strnlen(serialID, sizeof text));
    tc_lock lock(&modbusHW.mutex);
    dumpString2Reg(&modbusHW.regs_0x1000[0x16], text, (int)sizeof text);
}

void ccu_Update_UTC(void) {
    uint32_t secs = (uint32_t)(systime_ms() / 1000);
    tc_lock lock(&modbusHW.mutex);
    // Low word first, unlike the floats.
    modbusHW.regs_0x1000[0x24] = (uint16_t)(secs & 0xFFFF);
    modbusHW.regs_0x1000[0x25] = (uint16_t)(secs >> 16);
}

void ccu_GUNA_PowerRequest(uint16_t type, uint16_t mode, float voltageV, float currentA) {
    hub_power_request(gunA, type, mode, voltageV, currentA, __func__);
}
void ccu_GUNB_PowerRequest(uint16_t type, uint16_t mode, float voltageV, float currentA) {
    hub_power_request(gunB, type, mode, voltageV, currentA, __func__);
}
void ccu_GUNA_ShuntdownRequest(uint16_t reason) {
    hub_report_first(gunA, __func__);
    hub_shutdown_request(gunA, reason, false);
}
void ccu_GUNB_ShuntdownRequest(uint16_t reason) {
    hub_report_first(gunB, __func__);
    hub_shutdown_request(gunB, reason, false);
}

void ccu_Update_GUNA_mac_addr(void) {
    hub_update_mac(gunA);
}
void ccu_Update_GUNB_mac_addr(void) {
    hub_update_mac(gunB);
}
void ccu_Update_GUNA_HMAC(void) {
    hub_update_hmac(gunA);
}
void ccu_Update_GUNB_HMAC(void) {
    hub_update_hmac(gunB);
}

void ccu_GUNA_Ctrl_K1(int close) {
    hub_ctrl_K1(gunA, close, __func__);
}
void ccu_GUNA_Ctrl_K2(int close) {
    hub_ctrl_K2(gunA, close, __func__);
}
void ccu_GUNB_Ctrl_K1(int close) {
    hub_ctrl_K1(gunB, close, __func__);
}
void ccu_GUNB_Ctrl_K2(int close) {
    hub_ctrl_K2(gunB, close, __func__);
}

uint8_t ccu_GUNA_Query_K1_State(void) {
    return hub_query(stm32F103.state[0]);
}
uint8_t ccu_GUNA_Query_K2_State(void) {
    return hub_query(stm32F103.state[1]);
}
uint8_t ccu_GUNB_Query_K1_State(void) {
    return hub_query(stm32F103.state[2]);
}
uint8_t ccu_GUNB_Query_K2_State(void) {
    return hub_query(stm32F103.state[3]);
}
uint32_t ccu_GUNA_Query_OutputVoltage(void) {
    return hub_query(stm32F103.voltage[0]);
}
uint32_t ccu_GUNB_Query_OutputVoltage(void) {
    return hub_query(stm32F103.voltage[2]);
}

void ccu_GUNA_LED_State(uint8_t state) {
    tc_lock lock(&stm32F103.mutex);
    stm32F103.GUNA_State = state;
}
void ccu_GUNB_LED_State(uint8_t state) {
    tc_lock lock(&stm32F103.mutex);
    stm32F103.GUNB_State = state;
}

// Gun A: channel 6 is the active indicator, channel 7 the idle one.
void ccu_GUNA_LED_OnOff(int enable) {
    led_set(6, enable ? 1 : 0);
    led_set(7, enable ? 0 : 1);
}
void ccu_GUNA_LED_Toggle(void) {
    led_invert(6);
    led_set(7, 0);
}
// Gun B: channel 9 is the active indicator, channel 8 the idle one.
void ccu_GUNB_LED_OnOff(int enable) {
    led_set(8, enable ? 0 : 1);
    led_set(9, enable ? 1 : 0);
}
void ccu_GUNB_LED_Toggle(void) {
    led_set(8, 0);
    led_invert(9);
}

void ccu_TCU_safe_stop(void) {
    tc_watch_stopping(&tcuWatch, monotime_ms());
    TCU_LOG(1, "stop requested: shutting both guns down\n");
    // No power request and no contactor close is taken from here on (each is refused
    // under the lock that would post or drive it), so nothing can undo what follows.
    // Never waits for a report: a stalled power unit does not delay these.
    hub_shutdown_request(gunA, SRR_GUN_HOST_ERR, true);
    hub_shutdown_request(gunB, SRR_GUN_HOST_ERR, true);
    // The power unit ramps the output down before the contactors open under load.
    msleep(TCU_STOP_RAMP_MS);
    ccu_GUNA_Ctrl_K1(0);
    ccu_GUNA_Ctrl_K2(0);
    ccu_GUNB_Ctrl_K1(0);
    ccu_GUNB_Ctrl_K2(0);
    {
        tc_lock lock(&stm32F103.mutex);
        for (auto &l : stm32F103.led) l = 0;
    }
    for (int i = 0; i < 4; i++) set_GUNLED_on(i, 0);
    TCU_LOG(3, "guns safe: contactors open, LEDs off\n");
}
