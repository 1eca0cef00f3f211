// GOOSE frame codec: element encodings byte for byte, the request frames as
// Wireshark's GOOSE dissector reads them, the header CRC and HMAC trailer recomputed
// independently, and the reply decoder fed good, short, long and hostile replies.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "goose_HW.h"
#include "goose_HW_decode.h"
#include "goose_HW_encode.h"
#include "support/goose_frame.h"

namespace {

using bytes_t = std::vector<uint8_t>;

bytes_t span(const uint8_t *b, int from, int to) {
    return bytes_t(b + from, b + to);
}

// A publisher without socket (no interface): every field set as at start-up.
std::unique_ptr<goose_HW_t> make_dev(uint16_t connector_id = 1) {
    auto dev = std::make_unique<goose_HW_t>();
    EXPECT_EQ(goose_HW_init(dev.get(), nullptr, connector_id), -6);
    const uint8_t src[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(dev->src_mac, src, 6);
    return dev;
}

// The frame the publisher builds from its request in force; tx_buff keeps it since
// there is no socket to send it on.
bytes_t build_power(goose_HW_t *dev) {
    int n = goose_HW_PowerRequest_send(dev, &dev->power_request);
    return bytes_t(dev->tx_buff, dev->tx_buff + (n > 0 ? n : 0));
}

bytes_t build_shutdown(goose_HW_t *dev) {
    int n = goose_HW_ShuntdownRequest_send(dev, &dev->shutdown_request);
    return bytes_t(dev->tx_buff, dev->tx_buff + (n > 0 ? n : 0));
}

// The same goosePdu re-framed with an 802.1Q tag.
bytes_t retag(goose_HW_t *dev, const bytes_t &frame, uint16_t vlan) {
    goose_frame_info_t info;
    EXPECT_TRUE(goose_frame_parse(frame.data(), (int)frame.size(), &info));
    uint8_t out[GOOSE_HW_BUFF_SIZE];
    int n = goose_HW_encode_Eth8021Q(dev, out, 0, 5, vlan, info.appid, frame.data() + info.pdu_at,
                                     info.pdu_len);
    return bytes_t(out, out + n);
}

std::string hexs(const std::vector<uint8_t> &b) {
    std::string s;
    char t[3];
    for (uint8_t c : b) {
        std::snprintf(t, sizeof(t), "%02x", c);
        s += t;
    }
    return s;
}

}  // namespace

TEST(GooseEncode, ElementEncodings) {
    uint8_t b[64];
    int n = goose_HW_encode_string(b, 0, 0x80, "ABCDEFGHIJKLMNOPQRST");
    ASSERT_EQ(n, 23);
    EXPECT_EQ(b[0], 0x80);
    EXPECT_EQ(b[1], 0x15);
    EXPECT_EQ(0, std::memcmp(b + 2, "ABCDEFGHIJKLMNOPQRST", 21));  // with its zero byte
    EXPECT_EQ(span(b, 0, goose_HW_encode_string(b, 0, 0x83, nullptr)), (bytes_t{0x83, 0x00}));

    struct {
        int len;
        bytes_t wire;
    } lengths[] = {{0, {0x00}},
                   {127, {0x7F}},
                   {128, {0x81, 0x80}},
                   {255, {0x81, 0xFF}},
                   {256, {0x82, 0x01, 0x00}},
                   {65534, {0x82, 0xFF, 0xFE}},
                   {65535, {0x83, 0x00, 0xFF, 0xFF}},
                   {0x123456, {0x83, 0x12, 0x34, 0x56}}};
    for (const auto &l : lengths) {
        EXPECT_EQ(span(b, 3, goose_HW_append_length(b, 3, l.len)), l.wire) << l.len;
        int decoded = -1;
        EXPECT_EQ(goose_HW_decode_length(b, 3, &decoded), 3 + (int)l.wire.size());
        EXPECT_EQ(decoded, l.len);
    }

    EXPECT_EQ(span(b, 0, goose_HW_encode_float(b, 0, 0x87, 100.0f)),
              (bytes_t{0x87, 0x04, 0x42, 0xC8, 0x00, 0x00}));
    EXPECT_EQ(span(b, 0, goose_HW_encode_uint16(b, 0, 0x86, 0xBEEF)),
              (bytes_t{0x86, 0x02, 0xBE, 0xEF}));
    EXPECT_EQ(span(b, 0, goose_HW_encode_uint32(b, 0, 0x85, 0x01020304)),
              (bytes_t{0x85, 0x04, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(span(b, 0, goose_HW_encode_boolean(b, 0, 0x87, true)), (bytes_t{0x87, 0x01, 0x01}));
    EXPECT_EQ(span(b, 0, goose_HW_encode_boolean(b, 0, 0x89, false)), (bytes_t{0x89, 0x01, 0x00}));

    // 0.999999 s counts as 999 ms: 999 * 16777 + 215 = 0xFFBE76.
    struct timeval tv = {0x12345678, 999999};
    EXPECT_EQ(span(b, 0, goose_HW_encode_timeval(b, 0, 0x84, &tv)),
              (bytes_t{0x84, 0x08, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xBE, 0x76, 0x0A}));
    tv = {1, 0};
    EXPECT_EQ(span(b, 0, goose_HW_encode_timeval(b, 0, 0x84, &tv)),
              (bytes_t{0x84, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0A}));
}

TEST(GooseEncode, CrcCheckValues) {
    const uint8_t check[] = "123456789";
    EXPECT_EQ(goose_HW_crc16(check, 9), 0x4B37);  // CRC-16/MODBUS
    EXPECT_EQ(goose_HW_crc16(check, 0), 0xFFFF);
    EXPECT_EQ(goose_HW_crc32(check, 9), 0x0376E6E7u);  // CRC-32/MPEG-2
    EXPECT_EQ(goose_HW_crc32(check, 0), 0xFFFFFFFFu);
}

TEST(GooseEncode, PowerAndShutdownFramesByteLayout) {
    auto dev = make_dev(11);
    dev->stNum = 7;
    bytes_t power = build_power(dev.get());
    ASSERT_EQ(power.size(), 211u);
    // Destination: the default for both guns; source: the interface's address.
    EXPECT_EQ(span(power.data(), 0, 12),
              (bytes_t{0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    // EtherType, APPID 1, Length 162, reserved 1 = 35 (trailer), reserved 2 = CRC.
    EXPECT_EQ(span(power.data(), 12, 20),
              (bytes_t{0x88, 0xB8, 0x00, 0x01, 0x00, 0xA2, 0x00, 0x23}));
    uint16_t crc = goose_HW_crc16(power.data() + 12, 8);
    EXPECT_EQ(power[20], crc >> 8);
    EXPECT_EQ(power[21], crc & 0xFF);
    // goosePdu of 154 bytes: 0x61, 0x81 0x97, then gocbRef first.
    EXPECT_EQ(span(power.data(), 22, 27), (bytes_t{0x61, 0x81, 0x97, 0x80, 0x15}));
    EXPECT_EQ(span(power.data(), 176, 179), (bytes_t{0xAD, 0x00, 0x20}));
    EXPECT_TRUE(goose_frame_hmac_ok(power.data(), 211, dev->HMAC, 48));  // 48 zero bytes

    goose_frame_info_t info;
    ASSERT_TRUE(goose_frame_parse(power.data(), 211, &info));
    EXPECT_EQ(info.pdu_len, 154);
    EXPECT_EQ(info.goID, "CC/0$GO$PowerRequest");
    EXPECT_EQ(info.stNum, 7u);
    EXPECT_EQ(info.sqNum, 1u);
    EXPECT_EQ(info.numDatSetEntries, 8u);
    // Placeholder: connector 11, serial 0, type 1, mode 2, 1000 V, 100 A, 0xFFFF x2.
    EXPECT_EQ(info.entry_tags, (bytes_t{0x86, 0x86, 0x86, 0x86, 0x87, 0x87, 0x86, 0x86}));
    EXPECT_EQ(hexs(info.entries[0]) + hexs(info.entries[1]) + hexs(info.entries[2]) +
                  hexs(info.entries[3]) + hexs(info.entries[4]) + hexs(info.entries[5]) +
                  hexs(info.entries[6]) + hexs(info.entries[7]),
              "000b000000010002447a000042c80000ffffffff");

    dev->stNum = 8;
    dev->sqNum = 0;
    dev->shutdown_request.reason = SRR_GUN_EMGSTOP;
    bytes_t shut = build_shutdown(dev.get());
    ASSERT_EQ(shut.size(), 204u);
    EXPECT_EQ(span(shut.data(), 12, 20), (bytes_t{0x88, 0xB8, 0x30, 0x02, 0x00, 0x9B, 0x00, 0x23}));
    EXPECT_EQ(span(shut.data(), 22, 25), (bytes_t{0x61, 0x81, 0x90}));
    EXPECT_TRUE(goose_frame_hmac_ok(shut.data(), 204, dev->HMAC, 48));
    ASSERT_TRUE(goose_frame_parse(shut.data(), 204, &info));
    EXPECT_EQ(info.pdu_len, 147);
    EXPECT_EQ(info.numDatSetEntries, 5u);
    EXPECT_EQ(info.sqNum, 1u);
    EXPECT_EQ(hexs(info.entries[2]), "0004");
}

TEST(GooseEncode, VlanTagMovesTheFrameButNotTheCrcOrHmacStart) {
    auto dev = make_dev();
    bytes_t plain = build_power(dev.get());
    bytes_t tagged = retag(dev.get(), plain, 0x1123);  // only 12 VLAN bits enter the tag
    ASSERT_EQ(tagged.size(), 215u);
    EXPECT_EQ(span(tagged.data(), 12, 18), (bytes_t{0x81, 0x00, 0x01, 0x23, 0x88, 0xB8}));
    // Everything from the EtherType on is the untagged frame's.
    EXPECT_EQ(span(tagged.data(), 16, 215), span(plain.data(), 12, 211));
    EXPECT_TRUE(goose_frame_hmac_ok(tagged.data(), 215, dev->HMAC, 48));
}

TEST(GooseEncode, HmacCoversThePduNotTheAddresses) {
    auto dev = make_dev();
    for (int i = 0; i < 48; i++) dev->HMAC[i] = (uint8_t)(0xA0 + i);
    bytes_t a = build_power(dev.get());
    EXPECT_TRUE(goose_frame_hmac_ok(a.data(), (int)a.size(), dev->HMAC, 48));
    uint8_t zero[48] = {};
    EXPECT_FALSE(goose_frame_hmac_ok(a.data(), (int)a.size(), zero, 48));

    goose_frame_info_t info;
    ASSERT_TRUE(goose_frame_parse(a.data(), (int)a.size(), &info));
    bytes_t pdu(a.begin() + info.pdu_at, a.begin() + info.pdu_at + info.pdu_len);
    uint8_t frame[GOOSE_HW_BUFF_SIZE];
    // Another destination: same authentication value.
    dev->dst_mac[5] = 0x77;
    goose_HW_encode_Eth8021Q(dev.get(), frame, 0, 5, 0, 1, pdu.data(), (int)pdu.size());
    EXPECT_EQ(frame[5], 0x77);
    EXPECT_EQ(span(frame, 176, 211), span(a.data(), 176, 211));
    // One goosePdu byte changed: another authentication value.
    pdu[40] ^= 0x01;
    goose_HW_encode_Eth8021Q(dev.get(), frame, 0, 5, 0, 1, pdu.data(), (int)pdu.size());
    EXPECT_NE(span(frame, 179, 211), span(a.data(), 179, 211));
    EXPECT_TRUE(goose_frame_hmac_ok(frame, 211, dev->HMAC, 48));
}

TEST(GooseEncode, WiresharkDissectsTheFrames) {
    if (!goose_tshark_available()) GTEST_SKIP() << "tshark not installed";
    auto dev = make_dev(3);
    dev->stNum = 41;
    dev->power_request = PowerRequest_t{3,      0xFFFF,  PRT_CHARGING, PRM_CONSTANT_VOLTAGE,
                                        750.5f, 125.25f, 0xFFFF,       0xFFFF};
    dev->shutdown_request = ShutdownRequest_t{3, 0xFFFF, SRR_GUN_INSULTION_ERR, 0xFFFF, 0xFFFF};
    std::vector<bytes_t> frames;
    frames.push_back(build_power(dev.get()));
    frames.push_back(build_shutdown(dev.get()));
    frames.push_back(retag(dev.get(), frames[0], 100));
    frames.push_back(retag(dev.get(), frames[1], 4095));
    ASSERT_EQ(frames[0].size(), 211u);
    ASSERT_EQ(frames[1].size(), 204u);

    std::string path =
        std::string(TCU_BINARY_DIR) + "/goose_codec_" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(goose_pcap_write(path, frames));
    auto rows = goose_tshark_fields(
        path, {"frame.len", "goose.appid", "goose.length", "goose.gocbRef", "goose.datSet",
               "goose.goID", "goose.stNum", "goose.sqNum", "goose.timeAllowedtoLive",
               "goose.confRev", "goose.numDatSetEntries", "goose.unsigned", "goose.floating_point",
               "goose.simulation", "goose.ndsCom", "vlan.id"});
    unlink(path.c_str());
    ASSERT_EQ(rows.size(), 4u);
    for (size_t i = 0; i < rows.size(); i++) ASSERT_EQ(rows[i].size(), 16u) << i;

    const std::string power_unsigned = "3,-1,5,1,-1,-1";  // 0xFFFF shows as -1
    const std::string shut_unsigned = "3,-1,3,-1,-1";
    // APPID 0x0001 / 0x3002 show in hex; Length excludes the trailer.
    for (int tagged = 0; tagged < 2; tagged++) {
        const auto &p = rows[0 + 2 * tagged];
        const auto &s = rows[1 + 2 * tagged];
        EXPECT_EQ(p[0], tagged ? "215" : "211");
        EXPECT_EQ(p[1], "0x0001");
        EXPECT_EQ(p[2], "162");
        EXPECT_EQ(p[3], "CC/0$GO$PowerRequest");
        EXPECT_EQ(p[4], "CC/0$GO$PowerRequest");
        EXPECT_EQ(p[5], "CC/0$GO$PowerRequest");
        EXPECT_EQ(p[6], "41");
        EXPECT_EQ(p[8], "10000");
        EXPECT_EQ(p[9], "1");
        EXPECT_EQ(p[10], "8");
        EXPECT_EQ(p[11], power_unsigned);
        // 750.5 = 0x443BA000, 125.25 = 0x42FA8000.
        EXPECT_EQ(p[12], "443ba000,42fa8000");
        EXPECT_EQ(p[13], "0");
        EXPECT_EQ(p[14], "0");
        EXPECT_EQ(s[0], tagged ? "208" : "204");
        EXPECT_EQ(s[1], "0x3002");
        EXPECT_EQ(s[2], "155");
        EXPECT_EQ(s[5], "CC/0$GO$ShutdownRequest");
        EXPECT_EQ(s[6], "41");
        EXPECT_EQ(s[10], "5");
        EXPECT_EQ(s[11], shut_unsigned);
        EXPECT_EQ(s[12], "");
    }
    EXPECT_EQ(rows[0][7], "1");
    EXPECT_EQ(rows[1][7], "2");
    EXPECT_EQ(rows[2][15], "100");
    EXPECT_EQ(rows[3][15], "4095");
}

// ---- Request frames byte for byte ----

namespace {

std::string hex_of(const uint8_t *p, size_t n) {
    std::string s;
    char t[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(t, sizeof(t), "%02x", p[i]);
        s += t;
    }
    return s;
}

std::string hex_text(const char *text) {
    return hex_of(reinterpret_cast<const uint8_t *>(text), std::strlen(text) + 1);
}

// The 8 bytes of the UTC time element, worked out here from the seconds and whole
// milliseconds (2^24 fractions per second, quality 0x0A).
std::string time_hex(const struct timeval &tv) {
    uint32_t sec = (uint32_t)tv.tv_sec;
    uint32_t frac = (uint32_t)((uint64_t)(tv.tv_usec / 1000) * 16777216u / 1000u);
    uint8_t b[8] = {(uint8_t)(sec >> 24),  (uint8_t)(sec >> 16), (uint8_t)(sec >> 8), (uint8_t)sec,
                    (uint8_t)(frac >> 16), (uint8_t)(frac >> 8), (uint8_t)frac,       0x0A};
    return hex_of(b, 8);
}

std::string openssl_trailer(const uint8_t *frame, int from, int to) {
    uint8_t key[48] = {};
    uint8_t mac[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key, 48, frame + from, (size_t)(to - from), mac, &n);
    return "ad0020" + hex_of(mac, n);
}

}  // namespace

// Every byte of both request frames, written out from the wire layout: addresses,
// EtherType, APPID, Length, reserved 35, the header CRC-16 high byte first, the
// goosePdu elements in order with their tags and length forms, the data set, and
// the trailer recomputed with OpenSSL under the all-zero start-up key.
TEST(GooseFrameBytes, EveryByteOfBothRequestFrames) {
    auto dev = std::make_unique<goose_HW_t>();
    ASSERT_EQ(goose_HW_init(dev.get(), nullptr, 11), -6);
    const uint8_t src[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(dev->src_mac, src, 6);
    dev->stNum = 7;

    int n = goose_HW_PowerRequest_send(dev.get(), &dev->power_request);
    ASSERT_EQ(n, 211);
    const std::string power_id = hex_text("CC/0$GO$PowerRequest");
    std::string expect =
        "020000000001"
        "021122334455"
        "88b8"
        "0001"
        "00a2"
        "0023"
        "3dac"
        "618197" +
        ("8015" + power_id) + "81022710" + ("8215" + power_id) + ("8315" + power_id) + "8408" +
        time_hex(dev->timestamp) +
        "850400000007"
        "860400000001"
        "870100"
        "880400000001"
        "890100"
        "8a0400000008"
        "ab24"
        "8602000b"
        "86020000"
        "86020001"
        "86020002"
        "8704447a0000"
        "870442c80000"
        "8602ffff"
        "8602ffff" +
        openssl_trailer(dev->tx_buff, 12, 176);
    EXPECT_EQ(hex_of(dev->tx_buff, 211), expect);

    dev->stNum = 8;
    dev->sqNum = 0;
    dev->shutdown_request.reason = SRR_GUN_EMGSTOP;
    n = goose_HW_ShuntdownRequest_send(dev.get(), &dev->shutdown_request);
    ASSERT_EQ(n, 204);
    const std::string shut_id = hex_text("CC/0$GO$ShutdownRequest");
    expect =
        "020000000001"
        "021122334455"
        "88b8"
        "3002"
        "009b"
        "0023"
        "c03d"
        "618190" +
        ("8018" + shut_id) + "81022710" + ("8218" + shut_id) + ("8318" + shut_id) + "8408" +
        time_hex(dev->timestamp) +
        "850400000008"
        "860400000001"
        "870100"
        "880400000001"
        "890100"
        "8a0400000005"
        "ab14"
        "8602000b"
        "86020000"
        "86020004"
        "86020000"
        "8602ffff" +
        openssl_trailer(dev->tx_buff, 12, 169);
    EXPECT_EQ(hex_of(dev->tx_buff, 204), expect);
    goose_HW_exit(dev.get());
}

// ---- Reply decoder ----

namespace {

// A reply goosePdu as the power unit would send it, from the encoders.
struct reply_builder_t {
    std::string goID = "CC/0$GO$PowerRequestReply";
    uint32_t count = 9;
    int count_bytes = 4;  // 1 as most peers send it, 4 as our own encoder writes it
    bool with_count = true;
    bool with_alldata = true;
    bytes_t entries;

    void power_entries(const PowerReply_t &r) {
        uint8_t b[128];
        int n = 0;
        for (uint16_t v : {r.connect_id, r.serialnumb, r.type, r.result, r.mode})
            n = goose_HW_encode_uint16(b, n, 0x86, (uint16_t)v);
        n = goose_HW_encode_float(b, n, 0x87, r.requestV);
        n = goose_HW_encode_float(b, n, 0x87, r.requestI);
        n = goose_HW_encode_uint16(b, n, 0x86, r.resv0);
        n = goose_HW_encode_uint16(b, n, 0x86, r.resv1);
        entries.assign(b, b + n);
    }

    bytes_t build() const {
        uint8_t body[1024];
        int n = goose_HW_encode_string(body, 0, 0x80, "CC/0$GO$Reply");
        n = goose_HW_encode_uint16(body, n, 0x81, 10000);
        n = goose_HW_encode_string(body, n, 0x82, "CC/0$DS$Reply");
        n = goose_HW_encode_string(body, n, 0x83, goID.c_str());
        struct timeval tv = {100, 0};
        n = goose_HW_encode_timeval(body, n, 0x84, &tv);
        n = goose_HW_encode_uint32(body, n, 0x85, 3);
        n = goose_HW_encode_uint32(body, n, 0x86, 9);
        n = goose_HW_encode_boolean(body, n, 0x87, false);
        n = goose_HW_encode_uint32(body, n, 0x88, 1);
        n = goose_HW_encode_boolean(body, n, 0x89, false);
        if (with_count) {
            body[n++] = 0x8A;
            body[n++] = (uint8_t)count_bytes;
            for (int i = count_bytes - 1; i >= 0; i--)
                body[n++] = (uint8_t)((uint64_t)count >> (8 * i));
        }
        if (with_alldata)
            n = goose_HW_encode_TLV(body, n, 0xAB, (int)entries.size(), entries.data());
        uint8_t pdu[1100];
        int m = goose_HW_encode_TLV(pdu, 0, 0x61, n, body);
        return bytes_t(pdu, pdu + m);
    }
};

// Decodes from a buffer of exactly the given size, so an overread is a real one
// (AddressSanitizer builds catch it).
int decode(goose_HW_t *dev, const bytes_t &b) {
    auto exact = std::make_unique<uint8_t[]>(b.size());
    if (!b.empty()) std::memcpy(exact.get(), b.data(), b.size());
    return goose_HW_decode_APDU(dev, exact.get(), (int)b.size());
}

const PowerReply_t kPower = {5,      0x1234, PRT_PRECHARGING, 1,     PRM_CONSTANT_CURRENT,
                             650.0f, 42.5f,  0xFFFF,          0xFFFE};

// Field by field: the record has padding between the counters and the floats.
bool same(const PowerReply_t &a, const PowerReply_t &b) {
    return a.connect_id == b.connect_id && a.serialnumb == b.serialnumb && a.type == b.type &&
           a.result == b.result && a.mode == b.mode && a.requestV == b.requestV &&
           a.requestI == b.requestI && a.resv0 == b.resv0 && a.resv1 == b.resv1;
}

}  // namespace

TEST(GooseDecode, PowerAndShutdownReplies) {
    auto dev = make_dev();
    for (int count_bytes : {1, 2, 4}) {
        dev->power_reply = PowerReply_t{};
        reply_builder_t r;
        r.count_bytes = count_bytes;
        r.power_entries(kPower);
        ASSERT_EQ(decode(dev.get(), r.build()), 0) << count_bytes;
        EXPECT_TRUE(same(dev->power_reply, kPower));
        EXPECT_STREQ(dev->goID_cache, "CC/0$GO$PowerRequestReply");
        EXPECT_STREQ(dev->goCBRef_cache, "CC/0$GO$Reply");
        EXPECT_STREQ(dev->dataSetRef_cache, "CC/0$DS$Reply");
    }

    reply_builder_t s;
    s.goID = "CC/0$GO$ShutdownRequestReply";
    s.count = 5;
    s.count_bytes = 1;
    uint8_t b[64];
    int n = 0;
    for (int v : {6, 0xFFFF, (int)SRR_GUN_EMGSTOP, 1, 0})
        n = goose_HW_encode_uint16(b, n, 0x86, (uint16_t)v);
    s.entries.assign(b, b + n);
    ASSERT_EQ(decode(dev.get(), s.build()), 0);
    EXPECT_EQ(dev->shutdown_reply.connect_id, 6);
    EXPECT_EQ(dev->shutdown_reply.serialnumb, 0xFFFF);
    EXPECT_EQ(dev->shutdown_reply.reason, SRR_GUN_EMGSTOP);
    EXPECT_EQ(dev->shutdown_reply.result, 1);
    EXPECT_EQ(dev->shutdown_reply.reject, 0);
    EXPECT_TRUE(same(dev->power_reply, kPower));  // the other record untouched
    EXPECT_EQ(dev->rx_bytes, 0);
}

TEST(GooseDecode, GroupsTakeOnlyTheirTagsAndOversizedEntriesAdvanceByLength) {
    auto dev = make_dev();
    dev->power_reply = PowerReply_t{100, 101, 102, 103, 104, 1.0f, 2.0f, 105, 106};
    reply_builder_t r;
    uint8_t b[128];
    int n = 0;
    // Two unsigned entries, the first 4 bytes long (its first two bytes count), then
    // straight to the floats, then one reserved word.
    const uint8_t wide[4] = {0x00, 0x07, 0xEE, 0xEE};
    n = goose_HW_encode_TLV(b, n, 0x86, 4, wide);
    n = goose_HW_encode_uint16(b, n, 0x86, 8);
    n = goose_HW_encode_float(b, n, 0x87, 500.0f);
    n = goose_HW_encode_float(b, n, 0x87, 60.0f);
    n = goose_HW_encode_uint16(b, n, 0x86, 9);
    r.entries.assign(b, b + n);
    ASSERT_EQ(decode(dev.get(), r.build()), 0);
    const PowerReply_t expect = {7, 8, 102, 103, 104, 500.0f, 60.0f, 9, 106};
    EXPECT_TRUE(same(dev->power_reply, expect));
}

TEST(GooseDecode, RefusedRepliesChangeNothing) {
    auto dev = make_dev();
    reply_builder_t good;
    good.power_entries(kPower);
    ASSERT_EQ(decode(dev.get(), good.build()), 0);
    const PowerReply_t before = dev->power_reply;

    // kPower with other values: a refused reply must not leak them into the object.
    PowerReply_t other = kPower;
    other.connect_id = 99;
    other.requestV = 1.0f;

    auto expect_refused = [&](const bytes_t &b, int code, const char *what) {
        std::strcpy(dev->goID_cache, "unchanged");
        EXPECT_EQ(decode(dev.get(), b), code) << what;
        EXPECT_TRUE(same(dev->power_reply, before)) << what;
        EXPECT_STREQ(dev->goID_cache, "unchanged") << what;
    };

    reply_builder_t r;
    r.power_entries(other);
    r.count = 8;  // goID of a power reply, count of 8: not a known reply
    expect_refused(r.build(), -9, "count mismatch");
    r.count = 9;
    r.goID = "CC/0$GO$SomethingElse";
    expect_refused(r.build(), -9, "unknown goID");
    r.goID = "CC/0$GO$PowerRequestReply";
    r.with_count = false;
    expect_refused(r.build(), -9, "allData where the count belongs");
    r.with_alldata = false;
    expect_refused(r.build(), -8, "neither count nor allData");
    r.with_count = true;
    expect_refused(r.build(), -8, "no allData");
    r.with_alldata = true;
    r.count_bytes = 5;
    expect_refused(r.build(), -8, "5-byte count");
    r.count_bytes = 4;

    bytes_t ok = r.build();
    bytes_t b = ok;
    b[0] = 0x60;
    expect_refused(b, -6, "not a goosePdu");
    // The tag alone is a goosePdu whose length is missing: a length fault, not -6.
    expect_refused(bytes_t{0x61}, -7, "tag without length");
    expect_refused(bytes_t{}, -6, "no bytes");
    b = ok;
    b.push_back(0x00);
    expect_refused(b, -7, "trailing byte");
    expect_refused(bytes_t{0x61, 0x00}, -7, "empty body");
    expect_refused(bytes_t{0x61, 0x80, 0x80, 0x00, 0x00, 0x00}, -7, "indefinite length");
    expect_refused(bytes_t{0x61, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}, -7, "5-byte length");
    EXPECT_EQ(decode(dev.get(), ok), 0);
    dev->power_reply = before;

    // A header text of 128 characters does not fit its 128-character cache; 127 does.
    r.goID = std::string(128, 'G');
    expect_refused(r.build(), -7, "128-character goID");
    r.goID = std::string(127, 'G');
    expect_refused(r.build(), -9, "127-character goID");
    r.goID = "CC/0$GO$PowerRequestReply";

    // An entry whose length runs past allData, and one too short for its type.
    bytes_t entries = r.entries;
    r.entries.back() = 0x00;
    r.entries[r.entries.size() - 3] = 0x04;  // last unsigned claims 4 bytes, has 2
    expect_refused(r.build(), -7, "entry past allData");
    r.entries = entries;
    r.entries[1] = 0x01;  // connect_id claims 1 byte: too short for an unsigned
    expect_refused(r.build(), -7, "unsigned entry of one byte");
    r.entries = entries;

    // Every truncation of a good reply is refused without reading past its end.
    ok = r.build();
    for (size_t cut = 0; cut < ok.size(); cut++) {
        bytes_t t(ok.begin(), ok.begin() + cut);
        EXPECT_LT(decode(dev.get(), t), 0) << cut;
    }
    // Every truncation with the outer length patched to fit: inner elements overrun.
    for (size_t cut = 4; cut < ok.size(); cut++) {
        bytes_t t(ok.begin(), ok.begin() + cut);
        t[1] = 0x81;
        t[2] = (uint8_t)(cut - 3);
        EXPECT_LT(decode(dev.get(), t), 0) << cut;
    }
    EXPECT_TRUE(same(dev->power_reply, before));
    EXPECT_EQ(goose_HW_decode_APDU(nullptr, ok.data(), (int)ok.size()), -1);
}

TEST(GooseDecode, LengthForms) {
    int len = 0;
    const uint8_t four[] = {0x84, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(goose_HW_decode_length(four, 0, &len), 5);
    EXPECT_EQ(len, 65536);
    const uint8_t indefinite[] = {0x80};
    EXPECT_EQ(goose_HW_decode_length(indefinite, 0, &len), -1);
    const uint8_t five[] = {0x85, 0, 0, 0, 0, 1};
    EXPECT_EQ(goose_HW_decode_length(five, 0, &len), -1);
    const uint8_t huge[] = {0x84, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(goose_HW_decode_length(huge, 0, &len), -1);
}
