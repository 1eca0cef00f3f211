// Thin driver over a termios serial device: raw mode with a fixed line-settings
// table, the kernel RS-485 direction control, send, receive with a total time-out,
// reopen after a failure and restoration of the device's own settings on close.
#pragma once

#include <cstdint>
#include <termios.h>

#include "tc_system.h"

struct com_ttySx_t {
    int fd;                       // -1 when closed (0 in a zeroed record counts as closed)
    char *devname;                // own heap copy of the device path
    struct termios save_termios;  // found on the device at open, written back on close
    struct termios curr_termios;  // applied at open and at every reopen
    tc_fail_gate_t reset_gate;    // a reopen failing again and again logs once a minute
};

// 0, or the positive errno of the step that failed; -1 for a null record.
int com_ttySx_init(com_ttySx_t *dev, const char *devname, int baudrate, int databits, int parbits,
                   int stopbits);
// 0; -1 no record; -2 reopen failed; -3 applying the settings failed.
int comm_ttySx_reset(com_ttySx_t *dev);
int com_ttySx_send(com_ttySx_t *dev, const char *txbuff, int txlen);
// Kept for its callers to come: every receive so far has a deadline.
int com_ttySx_recv(com_ttySx_t *dev, char *rxbuff, int rxsize);
int com_ttySx_flush(com_ttySx_t *dev);
// Discards received bytes only; what is still being sent stays queued.
int com_ttySx_flush_input(com_ttySx_t *dev);
// Bytes received before max_bytes or the total time-out; -1 no record, failed wait
// or a readable descriptor that gives nothing (hang-up); -2 not open.
int com_ttySx_recv_with_timeout(com_ttySx_t *dev, char *rxbuff, int max_bytes, int timeout);
int com_ttySx_rs485_enable(com_ttySx_t *dev, int enable);
int com_ttySx_rs485_control(com_ttySx_t *dev, int send);
void com_ttySx_exit(com_ttySx_t *dev);

// CRC-32/JAMCRC (reflected 0xEDB88320, init 0xFFFFFFFF, no final inversion).
// Kept for its callers to come: no frame carries a CRC-32 yet.
uint32_t com_crc32(const uint8_t *buf, int len);
