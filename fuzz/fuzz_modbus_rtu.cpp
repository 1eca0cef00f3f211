// Slave replies into the Modbus RTU master's checks (length, CRC, exception,
// function code, echoes and byte counts) for every function it offers. Input: the
// function (byte 0; bit 7 repairs the reply's CRC), the quantity (bytes 1-2, little endian), then
// the reply as the line delivers it before going quiet. The value buffers are sized exactly to what
// the caller asked for, so a write past them is a real overflow.
#include <memory>
#include <vector>

#include "fuzz_common.h"
#include "modbus_RTU.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t fn = (data[0] & 0x7F) % 12;
    const uint16_t nb = (uint16_t)(data[1] | data[2] << 8);
    // Bit 7 of the function byte: the reply's CRC is repaired first.
    std::vector<uint8_t> reply(data + 3, data + size);
    if ((data[0] & 0x80) && reply.size() >= 4) fuzz_put_crc16(reply.data(), reply.size() - 2);
    fuzz_line_t line;
    if (!fuzz_line_open(&line, reply.data(), reply.size(), true)) abort();
    com_ttySx_t tty{};
    tty.fd = line.sv[0];
    const uint8_t slave = 0x01;
    const uint16_t addr = 0x0010;
    int rc = 0;
    int limit = 0;  // largest quantity the function takes
    switch (fn) {
        case 0:
        case 1: {
            limit = MODBUS_RTU_MAX_READ_BITS;
            std::vector<uint8_t> v(nb <= limit ? (nb + 7) / 8 : 0);
            rc = fn == 0 ? modbus_RTU_read_coils(&tty, slave, addr, nb, v.data())
                         : modbus_RTU_read_discrete_inputs(&tty, slave, addr, nb, v.data());
            break;
        }
        case 2:
        case 3: {
            limit = MODBUS_RTU_MAX_READ_REGISTERS;
            std::vector<uint16_t> v(nb <= limit ? nb : 0);
            rc = fn == 2 ? modbus_RTU_read_holding_registers(&tty, slave, addr, nb, v.data())
                         : modbus_RTU_read_input_registers(&tty, slave, addr, nb, v.data());
            break;
        }
        case 4:
            rc = modbus_RTU_write_single_coil(&tty, slave, addr, nb & 1);
            break;
        case 5:
            rc = modbus_RTU_write_single_register(&tty, slave, addr, nb);
            break;
        case 6: {
            uint8_t v = 0;
            rc = modbus_RTU_read_exception_status(&tty, slave, &v);
            break;
        }
        case 7: {
            limit = MODBUS_RTU_MAX_WRITE_BITS;
            std::vector<uint8_t> v(nb <= limit ? nb : 0, 1);
            rc = modbus_RTU_write_multiple_coils(&tty, slave, addr, nb, v.data());
            break;
        }
        case 8: {
            limit = MODBUS_RTU_MAX_WRITE_REGISTERS;
            std::vector<uint16_t> v(nb <= limit ? nb : 0, 0x1234);
            rc = modbus_RTU_write_multiple_registers(&tty, slave, addr, nb, v.data());
            break;
        }
        case 9: {
            auto id = std::make_unique<uint8_t[]>(27);  // the documented maximum
            rc = modbus_RTU_report_slave_id(&tty, slave, id.get());
            break;
        }
        case 10:
            rc = modbus_RTU_mask_write_register(&tty, slave, addr, 0x00F2, 0x0025);
            break;
        default: {
            // Read count from the quantity's low byte, write count from its high byte.
            const uint16_t rd = nb & 0xFF, wr = nb >> 8;
            limit = -1;
            std::vector<uint16_t> v(
                rd <= MODBUS_RTU_MAX_READ_REGISTERS && wr <= MODBUS_RTU_MAX_RW_WRITE_REGISTERS
                    ? std::max(rd, wr)
                    : 0,
                0x5555);
            rc = modbus_RTU_read_write_registers(&tty, slave, addr, rd, 0x0020, wr, v.data());
            if (rd > MODBUS_RTU_MAX_READ_REGISTERS || wr > MODBUS_RTU_MAX_RW_WRITE_REGISTERS)
                FUZZ_CHECK(rc == MODBUS_RTU_E_QUANTITY, "quantities %u/%u took rc %d", rd, wr, rc);
            break;
        }
    }
    if (limit > 0 && nb > limit)
        FUZZ_CHECK(rc == MODBUS_RTU_E_QUANTITY, "quantity %u over %d took rc %d", nb, limit, rc);
    FUZZ_CHECK(rc >= MODBUS_RTU_E_QUANTITY && rc <= 255, "rc %d", rc);
    // The reply was a whole frame with a good CRC when the call succeeded.
    if (rc == 0) FUZZ_CHECK(size - 3 >= 5, "success on a %zu-byte reply", size - 3);
    if (tty.fd > 0) close(tty.fd);
    fuzz_line_close_peer(&line);
    return 0;
}
