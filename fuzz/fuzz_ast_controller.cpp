// Controller replies through the link's receive, frame checks, command dispatch and
// every handler. Each record of the input is what the line delivers for one poll of
// gun A or B, one board exchange or one whole cycle; the line then goes quiet (end
// of stream), so a short reply costs no receive deadline. Selector bit 7 repairs
// the complement and CRC of the frames in the record.
#include <memory>

#include "ast_ZQ.h"
#include "config.h"
#include "fuzz_common.h"
#include "goose_HW.h"
#include "modbus_crc.h"
#include "modbus_TCP_HW.h"
#include "adcgpio.h"
#include "tc_tcu.h"

namespace {

int no_shell(const char *) {
    return 0;
}

// Every frame the terminal put on the line is whole: address and complement,
// length inside the buffer, CRC low byte first. Returns the number of frames.
int check_frames(const uint8_t *b, size_t n) {
    int frames = 0;
    size_t pos = 0;
    while (pos < n) {
        FUZZ_CHECK(n - pos >= 5, "%zu stray bytes on the line", n - pos);
        const uint8_t *f = b + pos;
        FUZZ_CHECK(f[1] == (uint8_t)~f[0], "address %02x complement %02x", f[0], f[1]);
        size_t len = f[2];
        FUZZ_CHECK(len + 5 <= (size_t)AST_BUFF_SIZE, "length %zu", len);
        FUZZ_CHECK(pos + len + 5 <= n, "frame cut: length %zu, %zu bytes left", len, n - pos);
        uint16_t crc = modbus_crc16(f, (int)len + 3);
        FUZZ_CHECK(f[3 + len] == (crc & 0xFF) && f[4 + len] == (crc >> 8), "bad CRC");
        pos += len + 5;
        frames++;
    }
    return frames;
}

// Repairs complement and CRC of every frame laid end to end in b (selector bit 7).
void repair_frames(uint8_t *b, size_t n) {
    size_t pos = 0;
    while (n - pos >= 5 && b[pos + 2] + 5u <= n - pos) {
        uint8_t *f = b + pos;
        f[1] = (uint8_t)~f[0];
        fuzz_put_crc16(f, f[2] + 3u);
        pos += f[2] + 5u;
    }
}

// What a controller command may change; a refused reply changes none of it.
struct gun_view_t {
    uint8_t stat1[2], stat2[2], stage[2], type[2], low[2], ctrl[4], need;
    uint16_t power[2];
    bool operator==(const gun_view_t &) const = default;
};

gun_view_t gun_view(const ast_zq_t *d) {
    return {{d->stat1[0], d->stat1[1]},
            {d->stat2[0], d->stat2[1]},
            {d->ast_stage[0], d->ast_stage[1]},
            {d->ast_type[0], d->ast_type[1]},
            {d->LowVoltMode[0], d->LowVoltMode[1]},
            {d->GUNA_ELockCtrl, d->GUNB_ELockCtrl, d->GUNA_AuxPowerCtrl, d->GUNB_AuxPowerCtrl},
            d->need_send_ctrl_cmd,
            {d->power_allocated[0], d->power_allocated[1]}};
}

void check_record(const ast_zq_t *dev) {
    FUZZ_CHECK(dev->rxbytes >= 0 && dev->rxbytes <= AST_BUFF_SIZE, "rxbytes %d", dev->rxbytes);
    FUZZ_CHECK(dev->txbytes >= 0 && dev->txbytes <= AST_BUFF_SIZE, "txbytes %d", dev->txbytes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    fuzz_private_root("fuzz_ast");
    tcu_hooks.gpio_shell = no_shell;  // contactor and LED commands are not carried out
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);  // reports dropped, image kept
    goose_HW_init(&gooseGUNA, nullptr, 1);               // posts counted, not sent
    goose_HW_init(&gooseGUNB, nullptr, 2);
    tcu_config.modbus_hw.maxI_GUNA = 250;
    tcu_config.modbus_hw.maxI_GUNB = 200;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto dev = std::make_unique<ast_zq_t>();
    ccu_AST_init(dev.get(), nullptr);
    fuzz_reader_t in{data, size};
    uint8_t sel;
    const uint8_t *bytes;
    size_t n;
    static uint8_t sent[1 << 16];
    while (in.next(&sel, &bytes, &n)) {
        uint8_t reply[256];
        memcpy(reply, bytes, n);
        if (sel & 0x80) repair_frames(reply, n);
        fuzz_line_t line;
        if (!fuzz_line_open(&line, reply, n, true)) abort();
        dev->tty.fd = line.sv[0];
        int rc = 0;
        const gun_view_t before = gun_view(dev.get());
        switch (sel & 3) {
            case 0:
            case 1: {
                int gun = sel & 1;
                rc = ccu_AST_queryController(dev.get(), (uint8_t)(0x11 + gun), dev->stat1[gun],
                                             dev->stat2[gun],
                                             (uint16_t)(dev->power_allocated[gun] / 5));
                // No reply, a bad header, a short or CRC-rejected frame: no command ran.
                if (rc <= 0) FUZZ_CHECK(gun_view(dev.get()) == before, "refused reply acted");
                break;
            }
            case 2:
                // Board controls from the selector's upper bits, then the write exchange.
                if (sel & 0x04) ccu_AST_GUNA_ELock(dev.get(), (sel >> 3) & 1);
                if (sel & 0x10) ccu_AST_GUNB_ELock(dev.get(), (sel >> 5) & 1);
                if (sel & 0x40) ccu_AST_GUNA_AuxPower(dev.get(), (sel >> 3) & 1);
                rc = ccu_AST_queryTemperature(dev.get(), 0x13, (sel >> 2) & 1, dev->GUNA_ELockCtrl,
                                              dev->GUNB_ELockCtrl, dev->GUNA_AuxPowerCtrl,
                                              dev->GUNB_AuxPowerCtrl);
                FUZZ_CHECK(rc <= 0, "board exchange %d", rc);
                break;
            default:
                // A whole cycle reads its replies one after the other from the line.
                rc = ccu_AST_cycle(dev.get());
                FUZZ_CHECK(rc >= 0 && rc <= 4, "cycle answered %d", rc);
                break;
        }
        check_record(dev.get());
        size_t got = fuzz_line_take(&line, sent, sizeof sent);
        int frames = check_frames(sent, got);
        if ((sel & 3) < 2 && rc > 0) FUZZ_CHECK(frames == 2, "poll answered, %d frames", frames);
        if (dev->tty.fd > 0) close(dev->tty.fd);
        dev->tty.fd = -1;
        fuzz_line_close_peer(&line);
    }
    ccu_AST_exit(dev.get());
    return 0;
}
