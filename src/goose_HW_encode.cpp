// GOOSE request frame encoder: BER elements, goosePdu, Ethernet framing with the
// header CRC and the HMAC-SHA256 trailer. Stateless; every byte is placed explicitly
// in network order.
#include "goose_HW_encode.h"

#include <array>
#include <cstring>

#include "hmac_sha256.h"
#include "modbus_crc.h"
#include "tc_system.h"

namespace {

constexpr uint8_t GOOSE_ETHERTYPE_HI = 0x88;
constexpr uint8_t GOOSE_ETHERTYPE_LO = 0xB8;
constexpr uint8_t GOOSE_TRAILER_TAG = 0xAD;
constexpr int GOOSE_TRAILER_SIZE = 35;  // tag, 2-byte length, 32-byte HMAC
constexpr int GOOSE_HMAC_SIZE = 32;

constexpr std::array<uint32_t, 256> make_crc32_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; k++) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> crc32_table = make_crc32_table();

}  // namespace

int goose_HW_append_length(uint8_t *buff, int index, int length) {
    uint32_t n = length < 0 ? 0 : (uint32_t)length;
    if (n <= 0x7F) {
        buff[index++] = (uint8_t)n;
    } else if (n <= 0xFF) {
        buff[index++] = 0x81;
        buff[index++] = (uint8_t)n;
    } else if (n <= 0xFFFE) {
        buff[index++] = 0x82;
        put_be16(buff + index, (uint16_t)n);
        index += 2;
    } else {
        // 65535 already takes the three-byte form, as the peers expect.
        buff[index++] = 0x83;
        buff[index++] = (uint8_t)(n >> 16);
        buff[index++] = (uint8_t)(n >> 8);
        buff[index++] = (uint8_t)n;
    }
    return index;
}

int goose_HW_encode_TL(uint8_t *buff, int index, uint8_t tag, int length) {
    buff[index++] = tag;
    return goose_HW_append_length(buff, index, length);
}

int goose_HW_encode_TLV(uint8_t *buff, int index, uint8_t tag, int length, const uint8_t *value) {
    if (length < 0) length = 0;
    index = goose_HW_encode_TL(buff, index, tag, length);
    // memmove: a caller may wrap bytes that already sit in the same buffer.
    if (length > 0 && value != nullptr) std::memmove(buff + index, value, (size_t)length);
    return index + length;
}

int goose_HW_encode_string(uint8_t *buff, int index, uint8_t tag, const char *string) {
    if (string == nullptr) return goose_HW_encode_TL(buff, index, tag, 0);
    int n = (int)std::strlen(string) + 1;  // the peers expect the zero byte on the wire
    return goose_HW_encode_TLV(buff, index, tag, n, reinterpret_cast<const uint8_t *>(string));
}

int goose_HW_encode_uint32(uint8_t *buff, int index, uint8_t tag, uint32_t value) {
    buff[index++] = tag;
    buff[index++] = 0x04;
    put_be32(buff + index, value);
    return index + 4;
}

int goose_HW_encode_uint16(uint8_t *buff, int index, uint8_t tag, uint16_t value) {
    buff[index++] = tag;
    buff[index++] = 0x02;
    put_be16(buff + index, value);
    return index + 2;
}

int goose_HW_encode_boolean(uint8_t *buff, int index, uint8_t tag, bool value) {
    buff[index++] = tag;
    buff[index++] = 0x01;
    buff[index++] = value ? 0x01 : 0x00;
    return index;
}

int goose_HW_encode_timeval(uint8_t *buff, int index, uint8_t tag, const struct timeval *tv) {
    uint32_t sec = tv != nullptr ? (uint32_t)tv->tv_sec : 0;
    uint32_t ms = tv != nullptr ? (uint32_t)(tv->tv_usec / 1000) : 0;
    if (ms > 999) ms = 999;  // a malformed timeval must not carry into the seconds
    // 2^24 / 1000 = 16777.216, in integer arithmetic.
    uint32_t fraction = ms * 16777 + (ms * 216) / 1000;
    buff[index++] = tag;
    buff[index++] = 0x08;
    put_be32(buff + index, sec);
    index += 4;
    buff[index++] = (uint8_t)(fraction >> 16);
    buff[index++] = (uint8_t)(fraction >> 8);
    buff[index++] = (uint8_t)fraction;
    buff[index++] = 0x0A;  // time quality: 10 significant fraction bits
    return index;
}

int goose_HW_encode_float(uint8_t *buff, int index, uint8_t tag, float tv) {
    uint32_t bits;
    static_assert(sizeof(bits) == sizeof(tv));
    std::memcpy(&bits, &tv, sizeof(bits));
    buff[index++] = tag;
    buff[index++] = 0x04;
    put_be32(buff + index, bits);
    return index + 4;
}

int goose_HW_encode_PowerRequest(goose_HW_t *, uint8_t *buff, int index,
                                 const PowerRequest_t *pdu) {
    if (pdu == nullptr) return index;
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->connect_id);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->serialnumb);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->type);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->mode);
    index = goose_HW_encode_float(buff, index, 0x87, pdu->requestV);
    index = goose_HW_encode_float(buff, index, 0x87, pdu->requestI);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->resv0);
    return goose_HW_encode_uint16(buff, index, 0x86, pdu->resv1);
}

int goose_HW_encode_ShuntdownRequest(goose_HW_t *, uint8_t *buff, int index,
                                     const ShutdownRequest_t *pdu) {
    if (pdu == nullptr) return index;
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->connect_id);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->serialnumb);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->reason);
    index = goose_HW_encode_uint16(buff, index, 0x86, pdu->resv0);
    return goose_HW_encode_uint16(buff, index, 0x86, pdu->resv1);
}

int goose_HW_encode_APDU(goose_HW_t *dev, uint8_t *buff, int index, uint32_t SetEntries,
                         const uint8_t *apdu, int length) {
    if (dev == nullptr) return index;
    index = goose_HW_encode_string(buff, index, 0x80, dev->goCBRef);
    index = goose_HW_encode_uint16(buff, index, 0x81, dev->timeAllowedToLive);
    index = goose_HW_encode_string(buff, index, 0x82, dev->dataSetRef);
    index = goose_HW_encode_string(buff, index, 0x83, dev->goID);
    index = goose_HW_encode_timeval(buff, index, 0x84, &dev->timestamp);
    index = goose_HW_encode_uint32(buff, index, 0x85, dev->stNum);
    index = goose_HW_encode_uint32(buff, index, 0x86, dev->sqNum);
    index = goose_HW_encode_boolean(buff, index, 0x87, dev->simulation);
    index = goose_HW_encode_uint32(buff, index, 0x88, dev->confRev);
    index = goose_HW_encode_boolean(buff, index, 0x89, dev->needsCommission);
    index = goose_HW_encode_uint32(buff, index, 0x8A, SetEntries);
    return goose_HW_encode_TLV(buff, index, 0xAB, length, apdu);
}

int goose_HW_encode_Eth8021Q(goose_HW_t *dev, uint8_t *buff, int index, uint16_t, uint16_t VLAN,
                             uint16_t APPID, const uint8_t *APDU, int length) {
    if (dev == nullptr || APDU == nullptr || length < 0) return index;
    std::memcpy(buff + index, dev->dst_mac, 6);
    std::memcpy(buff + index + 6, dev->src_mac, 6);
    index += 12;
    if (VLAN != 0) {
        buff[index++] = 0x81;
        buff[index++] = 0x00;
        buff[index++] = (uint8_t)((VLAN >> 8) & 0x0F);
        buff[index++] = (uint8_t)VLAN;
    }
    int ethertype = index;
    buff[index++] = GOOSE_ETHERTYPE_HI;
    buff[index++] = GOOSE_ETHERTYPE_LO;
    put_be16(buff + index, APPID);
    index += 2;
    // Length counts APPID through the end of the goosePdu, not the trailer.
    put_be16(buff + index, (uint16_t)(length + 8));
    index += 2;
    // Reserved 1 carries the trailer length, reserved 2 the CRC of the header.
    put_be16(buff + index, GOOSE_TRAILER_SIZE);
    index += 2;
    put_be16(buff + index, goose_HW_crc16(buff + ethertype, 8));
    index += 2;
    std::memmove(buff + index, APDU, (size_t)length);
    index += length;
    uint8_t mac[GOOSE_HMAC_SIZE] = {};
    HMAC_SHA256(dev->HMAC, GOOSE_HW_KEY_SIZE, buff + ethertype, index - ethertype, mac);
    buff[index++] = GOOSE_TRAILER_TAG;
    put_be16(buff + index, GOOSE_HMAC_SIZE);
    index += 2;
    std::memcpy(buff + index, mac, GOOSE_HMAC_SIZE);
    return index + GOOSE_HMAC_SIZE;
}

// The serial frames' CRC; the header carries it high byte first.
uint16_t goose_HW_crc16(const uint8_t *addr, uint16_t addrLength) {
    return modbus_crc16(addr, addrLength);
}

// Kept for its callers to come: no frame carries a CRC-32 yet.
uint32_t goose_HW_crc32(const uint8_t *buf, uint16_t len) {
    uint32_t crc = 0xFFFFFFFFu;
    if (buf == nullptr) return crc;
    for (uint16_t i = 0; i < len; i++)
        crc = (crc << 8) ^ crc32_table[((crc >> 24) ^ buf[i]) & 0xFF];
    return crc;
}
