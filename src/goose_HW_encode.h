// Encoder of the GOOSE request frames: BER tag-length-value elements, the goosePdu
// with its header elements and data set, and the Ethernet framing with the header
// CRC and the HMAC-SHA256 authentication trailer.
#pragma once

#include <cstdint>
#include <sys/time.h>

#include "goose_HW.h"

// Every encoder writes at buff[index] and returns the position after what it wrote;
// buffer room is the caller's concern (a request frame needs 211 bytes).
int goose_HW_append_length(uint8_t *buff, int index, int length);
int goose_HW_encode_TL(uint8_t *buff, int index, uint8_t tag, int length);
int goose_HW_encode_TLV(uint8_t *buff, int index, uint8_t tag, int length, const uint8_t *value);
// Text with its terminating zero byte; a null text gives tag, 0x00.
int goose_HW_encode_string(uint8_t *buff, int index, uint8_t tag, const char *string);
int goose_HW_encode_uint32(uint8_t *buff, int index, uint8_t tag, uint32_t value);
int goose_HW_encode_uint16(uint8_t *buff, int index, uint8_t tag, uint16_t value);
int goose_HW_encode_boolean(uint8_t *buff, int index, uint8_t tag, bool value);
// UTC time: 4 bytes of seconds, 3 bytes of 2^-24 s fractions (whole ms), quality 0x0A.
int goose_HW_encode_timeval(uint8_t *buff, int index, uint8_t tag, const struct timeval *tv);
int goose_HW_encode_float(uint8_t *buff, int index, uint8_t tag, float tv);

// The data-set entries: 8 for a power request (36 bytes), 5 for a shutdown request
// (20 bytes).
int goose_HW_encode_PowerRequest(goose_HW_t *dev, uint8_t *buff, int index,
                                 const PowerRequest_t *pdu);
int goose_HW_encode_ShuntdownRequest(goose_HW_t *dev, uint8_t *buff, int index,
                                     const ShutdownRequest_t *pdu);
// The goosePdu body: header elements from dev, then allData holding the length
// bytes at apdu.
int goose_HW_encode_APDU(goose_HW_t *dev, uint8_t *buff, int index, uint32_t SetEntries,
                         const uint8_t *apdu, int length);
// The whole frame around the length-byte goosePdu at APDU; VLAN nonzero inserts an
// 802.1Q tag (priority bits 0: the priority argument does not enter the frame).
// Returns the position after the frame (the frame length for index 0).
int goose_HW_encode_Eth8021Q(goose_HW_t *dev, uint8_t *buff, int index, uint16_t priority,
                             uint16_t VLAN, uint16_t APPID, const uint8_t *APDU, int length);

// CRC-16/MODBUS (modbus_crc16), the GOOSE header's reserved word 2, high byte first.
uint16_t goose_HW_crc16(const uint8_t *addr, uint16_t addrLength);
// CRC-32/MPEG-2, table driven; no frame uses it.
uint32_t goose_HW_crc32(const uint8_t *buf, uint16_t len);
