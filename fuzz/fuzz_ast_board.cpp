// The board's reply as it lies in the receive buffer after an exchange: the 17-byte
// repair, complement, CRC and length checks, then the state changes it sets off.
// Two replies per input, so a change of state between them is exercised too.
#include <memory>

#include "adcgpio.h"
#include "ast_ZQ.h"
#include "fuzz_common.h"
#include "goose_HW.h"
#include "modbus_TCP_HW.h"
#include "tc_tcu.h"

namespace {

int no_shell(const char *) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    fuzz_private_root("fuzz_board");
    tcu_hooks.gpio_shell = no_shell;
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
    goose_HW_init(&gooseGUNA, nullptr, 1);
    goose_HW_init(&gooseGUNB, nullptr, 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto dev = std::make_unique<ast_zq_t>();
    ccu_AST_init(dev.get(), nullptr);
    // First byte: the lock controls pending before the replies; then records of
    // [selector][length][bytes] each put in rxbuff as the receive would leave it
    // (selector bit 0: complement and CRC repaired first).
    if (size < 1) return 0;
    dev->GUNA_ELockCtrl = (uint8_t)(data[0] % 3);
    dev->GUNB_ELockCtrl = (uint8_t)((data[0] / 3) % 3);
    fuzz_reader_t in{data + 1, size - 1};
    uint8_t sel;
    const uint8_t *bytes;
    size_t n;
    while (in.next(&sel, &bytes, &n)) {
        // The receive never fills more than the buffer.
        if (n > (size_t)AST_BUFF_SIZE) n = AST_BUFF_SIZE;
        memset(dev->rxbuff, sel, sizeof dev->rxbuff);  // stale bytes behind the reply
        memcpy(dev->rxbuff, bytes, n);
        if ((sel & 1) && n == 17) {
            // As the repair will see it: address put back from the complement.
            uint8_t full[18];
            full[0] = (uint8_t)~dev->rxbuff[0];
            memcpy(full + 1, dev->rxbuff, 17);
            fuzz_put_crc16(full, 16);
            memcpy(dev->rxbuff, full + 1, 17);
        } else if ((sel & 1) && n >= 18) {
            dev->rxbuff[1] = (uint8_t)~dev->rxbuff[0];
            fuzz_put_crc16(dev->rxbuff, 16);
        }
        dev->rxbytes = (int)n;
        uint8_t before_temp[6];
        memcpy(before_temp, dev->temp, sizeof before_temp);
        int rc = ccu_AST_processTemperature(dev.get());
        FUZZ_CHECK(rc == 0 || rc == 1 || rc == -2 || rc == -3 || rc == -4, "rc %d", rc);
        FUZZ_CHECK(dev->rxbytes == 0, "rxbytes %d left after processing", dev->rxbytes);
        if (rc != 0)
            FUZZ_CHECK(memcmp(before_temp, dev->temp, sizeof before_temp) == 0,
                       "refused reply (%d) changed the temperatures", rc);
        if (rc == 0) {
            FUZZ_CHECK(dev->GUNA_ELockCtrl != dev->GUNA_ELockState || dev->GUNA_ELockCtrl == 2,
                       "carried-out lock command not withdrawn");
        }
    }
    ccu_AST_exit(dev.get());
    return 0;
}
