// Start-up and shutdown of the five links and their workers, and the gun state
// hub through which the links reach each other.
#include "tc_tcu.h"

#include <unistd.h>

#include "config.h"
#include "logger.h"
#include "tc_system.h"

modbus_TCP_t modbusHW;
goose_HW_t gooseGUNA;
goose_HW_t gooseGUNB;
stm32f103_t stm32F103;
ast_zq_t ccuASTZQ;
tc_thread_t threadTCU[5];

int ccu_TCU_init(void) {
    uint16_t tcu_id = (uint16_t)tcu_config.tcu_id;
    modbus_TCP_init(&modbusHW, tcu_config.modbus_hw.serverip, tcu_config.modbus_hw.port,
                    tcu_config.modbus_hw.enable_ssl, tcu_id);
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
    // The main thread has nothing left to do: park it without using the CPU.
    while (quit == 0) pause();
}

void ccu_TCU_exit(void) {
    stm32F103.quit = 1;
    gooseGUNB.quit = 1;
    gooseGUNA.quit = 1;
    ccuASTZQ.quit = 1;
    modbusHW.quit = 1;
    for (int i = 4; i >= 0; i--) tc_thread_exit(&threadTCU[i]);
    ccu_AST_exit(&ccuASTZQ);
    ccu_STM32_exit(&stm32F103);
    goose_HW_exit(&gooseGUNB);
    goose_HW_exit(&gooseGUNA);
    modbus_TCP_exit(&modbusHW);
}

// ---- Gun state hub (placeholders until the links land) ----
void ccu_Update_GUNA_Type(uint16_t) {}
void ccu_Update_GUNB_Type(uint16_t) {}
void ccu_Update_GUNA_IVE(uint16_t, uint16_t, uint16_t, uint32_t, uint32_t) {}
void ccu_Update_GUNB_IVE(uint16_t, uint16_t, uint16_t, uint32_t, uint32_t) {}
void ccu_Update_GUNA_WorkState(uint16_t) {}
void ccu_Update_GUNB_WorkState(uint16_t) {}
void ccu_Update_GUNA_LinkState(uint16_t) {}
void ccu_Update_GUNB_LinkState(uint16_t) {}
void ccu_Update_GUNA_K1K2Voltage(uint32_t) {}
void ccu_Update_GUNB_K1K2Voltage(uint32_t) {}
void ccu_Update_GUNA_ContactorState(uint8_t) {}
void ccu_Update_GUNB_ContactorState(uint8_t) {}
void ccu_Update_GUNA_ElecLockState(uint8_t) {}
void ccu_Update_GUNB_ElecLockState(uint8_t) {}
void ccu_Update_GUNA_PowerOn(uint8_t) {}
void ccu_Update_GUNB_PowerOn(uint8_t) {}
void ccu_Update_serialID(const char *) {}
void ccu_Update_UTC(void) {}
void ccu_GUNA_PowerRequest(uint16_t, uint16_t, float, float) {}
void ccu_GUNB_PowerRequest(uint16_t, uint16_t, float, float) {}
void ccu_GUNA_ShuntdownRequest(uint16_t) {}
void ccu_GUNB_ShuntdownRequest(uint16_t) {}
void ccu_Update_GUNA_mac_addr(void) {}
void ccu_Update_GUNB_mac_addr(void) {}
void ccu_Update_GUNA_HMAC(void) {}
void ccu_Update_GUNB_HMAC(void) {}
void ccu_GUNA_Ctrl_K1(int) {}
void ccu_GUNA_Ctrl_K2(int) {}
void ccu_GUNB_Ctrl_K1(int) {}
void ccu_GUNB_Ctrl_K2(int) {}
uint8_t ccu_GUNA_Query_K1_State(void) { return 0; }
uint8_t ccu_GUNA_Query_K2_State(void) { return 0; }
uint8_t ccu_GUNB_Query_K1_State(void) { return 0; }
uint8_t ccu_GUNB_Query_K2_State(void) { return 0; }
uint32_t ccu_GUNA_Query_OutputVoltage(void) { return 0; }
uint32_t ccu_GUNB_Query_OutputVoltage(void) { return 0; }
void ccu_GUNA_LED_State(uint8_t) {}
void ccu_GUNB_LED_State(uint8_t) {}
void ccu_GUNA_LED_OnOff(int) {}
void ccu_GUNA_LED_Toggle(void) {}
void ccu_GUNB_LED_OnOff(int) {}
void ccu_GUNB_LED_Toggle(void) {}
