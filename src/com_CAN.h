// SocketCAN port: brings a CAN interface up at a bit rate with `ip link`, opens a
// raw socket on it, sends and receives classic frames, and builds the J1939 PDU1
// identifiers the relay co-processor bus uses.
#pragma once

#include <cstdint>
#include <linux/can.h>

#include "tc_system.h"

struct com_can_t {
    int fd;                // raw CAN socket, valid when > 0
    int bitrate;           // bit/s; the owner's, never written here
    const char *can_name;  // borrowed, must outlive the port
};

// Longest interface name the kernel takes (IFNAMSIZ - 1).
constexpr int COM_CAN_NAME_MAX = 15;
// 1 when `name` is 1..15 letters, digits, '_', '.' or '-' (safe inside a shell
// text and inside an interface request), else 0.
int com_CAN_name_valid(const char *name);

// Kept for its callers to come: the co-processor record holds a port that is never opened.
// The descriptor (> 0); -1 null dev (after the interface has been reconfigured),
// -2 socket creation failed, -3 interface name refused (nothing run),
// -4 the shell could not be run. The `ip link` text runs through system()
// (tcu_hooks.can_shell in tests).
int com_CAN_init(com_can_t *dev, const char *can_name, int bitrate);
void com_CAN_exit(com_can_t *dev);
int com_CAN_filter(com_can_t *dev, uint32_t canMask, int canID);
// 16 for one frame; -1 null dev, -2 wait error, -3 nothing within `timeout` ms.
int com_CAN_read(com_can_t *dev, struct can_frame *frame, int timeout);
int com_CAN_send(com_can_t *dev, const struct can_frame *frame);
int com_CAN_send_PDU1(com_can_t *dev, uint8_t RDP, uint8_t PF, uint8_t PS, uint8_t SA,
                      const uint8_t *data, int len);
int com_CAN_send_PDU1PNG(com_can_t *dev, uint32_t PGN, uint8_t SA, const uint8_t *data, int len);

// J1939 PDU1 identifier words (extended-frame flag set, priority 0).
constexpr uint32_t com_CAN_PDU1_id(uint8_t RDP, uint8_t PF, uint8_t PS, uint8_t SA) {
    return 0x80000000u | ((uint32_t)(RDP & 0x03) << 24) | ((uint32_t)PF << 16) |
           ((uint32_t)PS << 8) | SA;
}
// The data-page bit of the PGN is not carried; PS is 0.
constexpr uint32_t com_CAN_PDU1PNG_id(uint32_t PGN, uint8_t SA) {
    return 0x80000000u | (((PGN >> 8) & 0xFFu) << 16) | SA;
}
