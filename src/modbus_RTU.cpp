// Modbus RTU master: builds each request in a frame buffer on the stack, sends it,
// receives the reply into the same buffer and checks length, CRC, exception,
// function code and echoes.
#include "modbus_RTU.h"

#include "modbus_crc.h"
#include "tc_system.h"

namespace {

// How a 5-byte reply that is not an exception is treated.
enum five_rule { FIVE_REFUSED, FIVE_ACCEPTED };

// Appends the CRC to frame[0..req_len-3] and sends the request.
void rtu_send(com_ttySx_t *tty, uint8_t *frame, int req_len) {
    uint16_t crc = modbus_crc16(frame, req_len - 2);
    frame[req_len - 2] = (uint8_t)(crc & 0xFF);
    frame[req_len - 1] = (uint8_t)(crc >> 8);

    com_ttySx_flush(tty);
    com_ttySx_rs485_control(tty, 1);
    com_ttySx_send(tty, reinterpret_cast<char *>(frame), req_len);
    com_ttySx_rs485_control(tty, 0);
}

// The checks every function shares, on the n bytes received for request code fc.
// Returns n (> 0) for the caller's own checks, or 0 with the final result (<= 0 or
// an exception code) in *result.
int rtu_check(const uint8_t *frame, uint8_t fc, int n, int expected, five_rule five,
              bool exception_any_length, int *result) {
    if (n != expected && n != 5) {
        *result = MODBUS_RTU_E_NO_REPLY;
        return 0;
    }
    uint16_t got = (uint16_t)(frame[n - 2] | (frame[n - 1] << 8));
    if (modbus_crc16(frame, n - 2) != got) {
        *result = MODBUS_RTU_E_CRC;
        return 0;
    }
    if ((n == 5 || exception_any_length) && frame[1] == (uint8_t)(fc | 0x80)) {
        *result = frame[2];
        return 0;
    }
    if (n == 5 && n != expected && five == FIVE_REFUSED) {
        *result = MODBUS_RTU_E_REPLY;
        return 0;
    }
    if (frame[1] != fc) {
        *result = MODBUS_RTU_E_REPLY;
        return 0;
    }
    return n;
}

// Sends the request, receives up to `expected` bytes and runs the shared checks
// (see rtu_check).
int rtu_exchange(com_ttySx_t *tty, uint8_t *frame, int req_len, int expected, five_rule five,
                 bool exception_any_length, int *result) {
    const uint8_t fc = frame[1];
    rtu_send(tty, frame, req_len);
    int n = com_ttySx_recv_with_timeout(tty, reinterpret_cast<char *>(frame), expected,
                                        MODBUS_RTU_TIMEOUT_MS);
    return rtu_check(frame, fc, n, expected, five, exception_any_length, result);
}

int read_bits(com_ttySx_t *tty, uint8_t slave, uint8_t fc, uint16_t addr, uint16_t nb,
              uint8_t *value) {
    if (nb > MODBUS_RTU_MAX_READ_BITS) return MODBUS_RTU_E_QUANTITY;
    uint8_t frame[260] = {};
    frame[0] = slave;
    frame[1] = fc;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, nb);
    int expected = 5 + (nb + 7) / 8;
    int result = 0;
    int n = rtu_exchange(tty, frame, 8, expected, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    int count = frame[2];
    if (count > n - 5) count = n - 5;  // never more than what actually arrived
    for (int i = 0; i < count && value != nullptr; i++) value[i] = frame[3 + i];
    return 0;
}

int read_registers(com_ttySx_t *tty, uint8_t slave, uint8_t fc, uint16_t addr, uint16_t nb,
                   uint16_t *value) {
    if (nb > MODBUS_RTU_MAX_READ_REGISTERS) return MODBUS_RTU_E_QUANTITY;
    uint8_t frame[260] = {};
    frame[0] = slave;
    frame[1] = fc;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, nb);
    int result = 0;
    // An input-register exception is known by its function code at any length.
    int n = rtu_exchange(tty, frame, 8, 5 + 2 * nb, FIVE_REFUSED, fc == 0x04, &result);
    if (n <= 0) return result;
    for (int i = 0; i < nb && value != nullptr; i++) value[i] = get_be16(frame + 3 + 2 * i);
    return 0;
}

}  // namespace

int modbus_RTU_read_coils(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                          uint8_t *value) {
    return read_bits(tty, slave, 0x01, addr, nb, value);
}

int modbus_RTU_read_discrete_inputs(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    uint8_t *value) {
    return read_bits(tty, slave, 0x02, addr, nb, value);
}

int modbus_RTU_read_holding_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                      uint16_t *value) {
    return read_registers(tty, slave, 0x03, addr, nb, value);
}

int modbus_RTU_read_input_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    uint16_t *value) {
    return read_registers(tty, slave, 0x04, addr, nb, value);
}

int modbus_RTU_write_single_coil(com_ttySx_t *tty, uint8_t slave, uint16_t addr, int value) {
    uint8_t frame[16] = {};
    const uint16_t coil = value ? 0xFF00 : 0x0000;
    frame[0] = slave;
    frame[1] = 0x05;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, coil);
    int result = 0;
    int n = rtu_exchange(tty, frame, 8, 8, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (get_be16(frame + 2) != addr || get_be16(frame + 4) != coil) return MODBUS_RTU_E_REPLY;
    return 0;
}

int modbus_RTU_write_single_register(com_ttySx_t *tty, uint8_t slave, uint16_t addr,
                                     uint16_t value) {
    uint8_t frame[16] = {};
    frame[0] = slave;
    frame[1] = 0x06;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, value);
    int result = 0;
    int n = rtu_exchange(tty, frame, 8, 8, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (get_be16(frame + 2) != addr || get_be16(frame + 4) != value) return MODBUS_RTU_E_REPLY;
    return 0;
}

int modbus_RTU_read_exception_status(com_ttySx_t *tty, uint8_t slave, uint8_t *value) {
    if (value != nullptr) *value = 0;
    uint8_t frame[8] = {};
    frame[0] = slave;
    frame[1] = 0x07;
    int result = 0;
    int n = rtu_exchange(tty, frame, 4, 5, FIVE_ACCEPTED, false, &result);
    if (n <= 0) return result;
    if (value != nullptr) *value = frame[2];
    return 0;
}

int modbus_RTU_write_multiple_coils(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                    const uint8_t *value) {
    if (nb > MODBUS_RTU_MAX_WRITE_BITS) return MODBUS_RTU_E_QUANTITY;
    uint8_t frame[260] = {};
    const int bytes = (nb + 7) / 8;
    frame[0] = slave;
    frame[1] = 0x0F;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, nb);
    frame[6] = (uint8_t)bytes;
    for (int i = 0; i < nb && value != nullptr; i++) {
        if (value[i]) frame[7 + i / 8] |= (uint8_t)(1u << (i % 8));
    }
    int result = 0;
    int n = rtu_exchange(tty, frame, 9 + bytes, 8, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (get_be16(frame + 2) != addr || get_be16(frame + 4) != nb) return MODBUS_RTU_E_REPLY;
    return 0;
}

int modbus_RTU_write_multiple_registers(com_ttySx_t *tty, uint8_t slave, uint16_t addr, uint16_t nb,
                                        const uint16_t *value) {
    if (nb > MODBUS_RTU_MAX_WRITE_REGISTERS) return MODBUS_RTU_E_QUANTITY;
    uint8_t frame[260] = {};
    frame[0] = slave;
    frame[1] = 0x10;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, nb);
    frame[6] = (uint8_t)(2 * nb);
    for (int i = 0; i < nb && value != nullptr; i++) put_be16(frame + 7 + 2 * i, value[i]);
    int result = 0;
    int n = rtu_exchange(tty, frame, 9 + 2 * nb, 8, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (get_be16(frame + 2) != addr || get_be16(frame + 4) != nb) return MODBUS_RTU_E_REPLY;
    return 0;
}

int modbus_RTU_report_slave_id(com_ttySx_t *tty, uint8_t slave, uint8_t *slave_id) {
    // Slaves answer with as many data bytes as they have to say (server id, run
    // indicator, device text): the reply's own byte count gives its length, up to
    // the RTU maximum of 256 bytes.
    uint8_t frame[MODBUS_RTU_MAX_ADU] = {};
    frame[0] = slave;
    frame[1] = 0x11;
    rtu_send(tty, frame, 4);
    const int64_t deadline = monotime_ms() + MODBUS_RTU_TIMEOUT_MS;
    char *rx = reinterpret_cast<char *>(frame);
    int n = com_ttySx_recv_with_timeout(tty, rx, 3, MODBUS_RTU_TIMEOUT_MS);
    int expected = 5;  // an exception, or a reply without data bytes
    if (n == 3) {
        if (frame[1] != 0x91) expected = 5 + frame[2];
        const int want = expected < MODBUS_RTU_MAX_ADU ? expected : MODBUS_RTU_MAX_ADU;
        const int64_t left = deadline - monotime_ms();
        int m = com_ttySx_recv_with_timeout(tty, rx + 3, want - 3, left > 0 ? (int)left : 0);
        n = m < 0 ? m : 3 + m;
    }
    int result = 0;
    // A byte count beyond the frame's room can never match what was received: -1.
    n = rtu_check(frame, 0x11, n, expected, FIVE_ACCEPTED, false, &result);
    if (n <= 0) return result;
    int count = n - 5;
    if (count > MODBUS_RTU_SLAVE_ID_MAX) count = MODBUS_RTU_SLAVE_ID_MAX;
    for (int i = 0; i < count && slave_id != nullptr; i++) slave_id[i] = frame[3 + i];
    return 0;
}

int modbus_RTU_mask_write_register(com_ttySx_t *tty, uint8_t slave, uint16_t addr,
                                   uint16_t and_mask, uint16_t or_mask) {
    uint8_t frame[16] = {};
    frame[0] = slave;
    frame[1] = 0x16;
    put_be16(frame + 2, addr);
    put_be16(frame + 4, and_mask);
    put_be16(frame + 6, or_mask);
    int result = 0;
    int n = rtu_exchange(tty, frame, 10, 10, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (get_be16(frame + 2) != addr) return MODBUS_RTU_E_REPLY;
    return 0;
}

int modbus_RTU_read_write_registers(com_ttySx_t *tty, uint8_t slave, uint16_t read_addr,
                                    uint16_t read_nb, uint16_t write_addr, uint16_t write_nb,
                                    uint16_t *value) {
    if (read_nb > MODBUS_RTU_MAX_READ_REGISTERS || write_nb > MODBUS_RTU_MAX_RW_WRITE_REGISTERS)
        return MODBUS_RTU_E_QUANTITY;
    uint8_t frame[260] = {};
    frame[0] = slave;
    frame[1] = 0x17;
    put_be16(frame + 2, read_addr);
    put_be16(frame + 4, read_nb);
    put_be16(frame + 6, write_addr);
    put_be16(frame + 8, write_nb);
    frame[10] = (uint8_t)(2 * write_nb);
    for (int i = 0; i < write_nb && value != nullptr; i++) put_be16(frame + 11 + 2 * i, value[i]);
    int result = 0;
    int n =
        rtu_exchange(tty, frame, 13 + 2 * write_nb, 5 + 2 * read_nb, FIVE_REFUSED, false, &result);
    if (n <= 0) return result;
    if (frame[2] != 2 * read_nb) return MODBUS_RTU_E_REPLY;
    for (int i = 0; i < read_nb && value != nullptr; i++) value[i] = get_be16(frame + 3 + 2 * i);
    return 0;
}
