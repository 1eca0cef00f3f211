// Two linked pseudo-terminals with a path at each end (socat), for tests that need a
// serial device path on both sides, plus a raw scripted peer and its own CRC.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct serial_pair {
    std::string dir;
    std::string a;  // path of one end
    std::string b;  // path of the other end
    pid_t socat = -1;
};

// Starts socat and waits until both links exist. Returns false (and skips) when
// socat is missing.
bool serial_pair_open(serial_pair *pair);
void serial_pair_close(serial_pair *pair);

// Bitwise CRC-16/MODBUS written independently of the terminal's table code.
uint16_t peer_crc16(const uint8_t *buf, size_t len);
// Appends the CRC low byte first.
void peer_append_crc(std::vector<uint8_t> *frame);

// A raw end opened by path: read exactly n bytes within timeout_ms (returns the
// count read), write a frame.
int peer_open_raw(const std::string &path);
int peer_read(int fd, uint8_t *buf, int n, int timeout_ms);
void peer_write(int fd, const std::vector<uint8_t> &frame);
// The output speed (and in *cflag the control flags) a port was last set to, read
// by path without disturbing whoever holds it open; 0 when it cannot be opened.
speed_t peer_line_speed(const std::string &path, tcflag_t *cflag);
