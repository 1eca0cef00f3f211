// Test-side view of GOOSE frames: an independent parser of the frames the publisher
// sends, the HMAC trailer recomputed with OpenSSL, a pcap writer and a tshark runner
// for dissecting frames with Wireshark's GOOSE dissector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct goose_frame_info_t {
    uint8_t dst[6];
    uint8_t src[6];
    int ethertype_at;  // 12, or 16 behind an 802.1Q tag
    uint16_t appid;
    uint16_t length;  // the header's Length field
    uint16_t reserved1;
    uint16_t reserved2;
    int pdu_at;  // offset of the goosePdu tag 0x61
    int pdu_len;
    std::string gocbRef, datSet, goID;  // without their zero byte
    uint32_t timeAllowedtoLive;
    uint32_t stNum, sqNum, confRev, numDatSetEntries;
    bool simulation, ndsCom;
    std::vector<std::vector<uint8_t>> entries;  // content bytes of each data-set entry
    std::vector<uint8_t> entry_tags;
    uint8_t hmac[32];
};

// false when the bytes are not a GOOSE frame with a trailer as the publisher builds it.
bool goose_frame_parse(const uint8_t *frame, int len, goose_frame_info_t *info);
// The trailer equals OpenSSL's HMAC-SHA256 over EtherType .. end of goosePdu.
bool goose_frame_hmac_ok(const uint8_t *frame, int len, const uint8_t *key, int keylen);

// Ethernet pcap (link type 1).
bool goose_pcap_write(const std::string &path, const std::vector<std::vector<uint8_t>> &frames);
bool goose_tshark_available();
// tshark -r path -T fields -E separator=/t -e f...: one row per frame.
std::vector<std::vector<std::string>> goose_tshark_fields(const std::string &path,
                                                          const std::vector<std::string> &fields);
