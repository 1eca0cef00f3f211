// Decoder of the power unit's GOOSE reply data sets. Every element is checked against
// the end of the given bytes before it is read, and the object is written only once
// the whole reply has been accepted.
#include "goose_HW_decode.h"

#include <cstring>

#include "tc_system.h"

namespace {

constexpr char POWER_REPLY_ID[] = "CC/0$GO$PowerRequestReply";
constexpr char SHUTDOWN_REPLY_ID[] = "CC/0$GO$ShutdownRequestReply";
constexpr int POWER_REPLY_ENTRIES = 9;
constexpr int SHUTDOWN_REPLY_ENTRIES = 5;

// One tag-length-value element read within [pos, end).
struct element_t {
    uint8_t tag;
    int value;  // position of the content
    int length;
    int next;  // position after the element
};

// BER length at pos, bounded by end: position after it, or -1 when the form is not
// supported or its bytes (or the content it announces) run past end.
int decode_length_bounded(const uint8_t *buff, int pos, int end, int *length) {
    if (pos >= end) return -1;
    int form = buff[pos];
    int bytes = form < 0x80 ? 0 : form - 0x80;
    if (pos + 1 + bytes > end) return -1;
    return goose_HW_decode_length(buff, pos, length);
}

// 0 with *el filled, -1 when the element does not fit in [pos, end).
int read_element(const uint8_t *buff, int pos, int end, element_t *el) {
    if (pos >= end) return -1;
    int length = 0;
    int value = decode_length_bounded(buff, pos + 1, end, &length);
    if (value < 0 || length > end - value) return -1;
    el->tag = buff[pos];
    el->value = value;
    el->length = length;
    el->next = value + length;
    return 0;
}

inline bool tag_at(const uint8_t *buff, int pos, int end, uint8_t tag) {
    return pos < end && buff[pos] == tag;
}

// Copies a header text; false when it does not fit a cache with its zero byte.
bool copy_text(char (&cache)[GOOSE_HW_CACHE_SIZE], const uint8_t *src, int length) {
    size_t n = strnlen(reinterpret_cast<const char *>(src), (size_t)length);
    if (n >= sizeof(cache)) return false;
    std::memcpy(cache, src, n);
    cache[n] = 0;
    return true;
}

// Takes up to count entries of one type while the expected tag stands at *pos.
// Returns the number taken, or -1 for an entry that runs past end or is shorter
// than its type.
template <typename T>
int take_group(const uint8_t *buff, int *pos, int end, uint8_t tag, T *const *fields, int count) {
    constexpr int need = sizeof(T) == 2 ? 2 : 4;
    int taken = 0;
    while (taken < count && tag_at(buff, *pos, end, tag)) {
        element_t el;
        if (read_element(buff, *pos, end, &el) < 0 || el.length < need) return -1;
        if constexpr (sizeof(T) == 2) {
            *fields[taken] = get_be16(buff + el.value);
        } else {
            *fields[taken] = get_be_float(buff + el.value);
        }
        *pos = el.next;
        taken++;
    }
    return taken;
}

}  // namespace

int goose_HW_decode_length(const uint8_t *buff, int index, int *length) {
    if (buff == nullptr || length == nullptr || index < 0) return -1;
    uint8_t form = buff[index++];
    if (form < 0x80) {
        *length = form;
        return index;
    }
    // 0x80 (indefinite) has no end to bound it; beyond 0x84 does not fit an int.
    int bytes = form - 0x80;
    if (bytes < 1 || bytes > 4) return -1;
    uint32_t n = 0;
    for (int i = 0; i < bytes; i++) n = n << 8 | buff[index++];
    if (n > 0x7FFFFFFFu) return -1;
    *length = (int)n;
    return index;
}

int goose_HW_decode_PowerRequestResult(goose_HW_t *dev, const uint8_t *buff, int length,
                                       PowerReply_t *ack) {
    if (dev == nullptr || ack == nullptr || (buff == nullptr && length > 0)) return -1;
    PowerReply_t r = *ack;  // fields a short group leaves out keep their values
    int pos = 0;
    uint16_t *head[] = {&r.connect_id, &r.serialnumb, &r.type, &r.result, &r.mode};
    float *values[] = {&r.requestV, &r.requestI};
    uint16_t *tail[] = {&r.resv0, &r.resv1};
    if (take_group(buff, &pos, length, 0x86, head, 5) < 0 ||
        take_group(buff, &pos, length, 0x87, values, 2) < 0 ||
        take_group(buff, &pos, length, 0x86, tail, 2) < 0)
        return -7;
    *ack = r;
    dev->rx_bytes = 0;
    return 0;
}

int goose_HW_decode_ShutdownRequestResult(goose_HW_t *dev, const uint8_t *buff, int length,
                                          ShutdownReply_t *ack) {
    if (dev == nullptr || ack == nullptr || (buff == nullptr && length > 0)) return -1;
    ShutdownReply_t r = *ack;
    int pos = 0;
    uint16_t *fields[] = {&r.connect_id, &r.serialnumb, &r.reason, &r.result, &r.reject};
    if (take_group(buff, &pos, length, 0x86, fields, 5) < 0) return -7;
    *ack = r;
    dev->rx_bytes = 0;
    return 0;
}

int goose_HW_decode_APDU(goose_HW_t *dev, const uint8_t *buff, int length) {
    if (dev == nullptr) return -1;
    if (buff == nullptr || length < 1 || buff[0] != 0x61) return -6;
    int body_len = 0;
    int pos = decode_length_bounded(buff, 1, length, &body_len);
    if (pos < 0 || body_len == 0 || body_len != length - pos) return -7;
    const int end = length;

    // Header texts land in local caches first: a refused reply changes nothing.
    char goCBRef[GOOSE_HW_CACHE_SIZE] = {};
    char dataSetRef[GOOSE_HW_CACHE_SIZE] = {};
    char goID[GOOSE_HW_CACHE_SIZE] = {};
    for (uint8_t tag = 0x80; tag <= 0x89; tag++) {
        if (!tag_at(buff, pos, end, tag)) continue;
        element_t el;
        if (read_element(buff, pos, end, &el) < 0) return -7;
        const uint8_t *text = buff + el.value;
        if ((tag == 0x80 && !copy_text(goCBRef, text, el.length)) ||
            (tag == 0x82 && !copy_text(dataSetRef, text, el.length)) ||
            (tag == 0x83 && !copy_text(goID, text, el.length)))
            return -7;
        pos = el.next;
    }

    if (!tag_at(buff, pos, end, 0x8A)) return tag_at(buff, pos, end, 0xAB) ? -9 : -8;
    element_t count_el;
    if (read_element(buff, pos, end, &count_el) < 0) return -7;
    // The count is the big-endian value of all its content bytes: a one-byte count
    // and this system's own 4-byte count read alike.
    if (count_el.length < 1 || count_el.length > 4) return -8;
    uint32_t count = 0;
    for (int i = 0; i < count_el.length; i++) count = count << 8 | buff[count_el.value + i];
    pos = count_el.next;

    if (!tag_at(buff, pos, end, 0xAB)) return -8;
    element_t data;
    if (read_element(buff, pos, end, &data) < 0) return -7;

    int ret;
    PowerReply_t power = dev->power_reply;
    ShutdownReply_t shutdown = dev->shutdown_reply;
    if (std::strcmp(goID, POWER_REPLY_ID) == 0 && count == POWER_REPLY_ENTRIES) {
        ret = goose_HW_decode_PowerRequestResult(dev, buff + data.value, data.length, &power);
    } else if (std::strcmp(goID, SHUTDOWN_REPLY_ID) == 0 && count == SHUTDOWN_REPLY_ENTRIES) {
        ret = goose_HW_decode_ShutdownRequestResult(dev, buff + data.value, data.length, &shutdown);
    } else {
        return -9;
    }
    if (ret < 0) return ret;
    dev->power_reply = power;
    dev->shutdown_reply = shutdown;
    std::memcpy(dev->goCBRef_cache, goCBRef, sizeof(goCBRef));
    std::memcpy(dev->dataSetRef_cache, dataSetRef, sizeof(dataSetRef));
    std::memcpy(dev->goID_cache, goID, sizeof(goID));
    return 0;
}
