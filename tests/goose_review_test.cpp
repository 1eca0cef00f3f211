// Second look at the GOOSE publisher and its primitives: the operator's log lines of
// every frame and socket failure byte for byte, with the function names they are
// filed under, and HMAC keying from the context's own work buffer.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include "goose_HW.h"
#include "goose_HW_encode.h"
#include "hmac_sha256.h"
#include "support/netns_veth.h"

namespace {

std::string stdout_of(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The log line carrying text, from its function column to its end; "" when absent.
std::string line_with(const std::string &out, const std::string &text) {
    size_t at = out.find(text);
    if (at == std::string::npos) return "";
    size_t start = out.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    size_t end = out.find('\n', at);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
}

std::string ptr_text(const void *p) {
    char b[32];
    std::snprintf(b, sizeof(b), "%p", p);
    return b;
}

}  // namespace

TEST(GooseReviewLog, RequestLinesCarryTheirTextsUnderThePublicSenderNames) {
    auto dev = std::make_unique<goose_HW_t>();
    ASSERT_EQ(goose_HW_init(dev.get(), nullptr, 5), -6);
    const std::string me = ptr_text(dev.get());

    std::string out = stdout_of([&] { goose_HW_PowerRequest(dev.get()); });
    std::string line = line_with(out, "goose:" + me + ", ST:1, SQ:1, type:");
    ASSERT_NE(line, "") << out;
    EXPECT_NE(line.find(" goose_HW_PowerRequest_send "), std::string::npos) << line;
    EXPECT_EQ(line.find("_locked"), std::string::npos) << line;
    EXPECT_NE(
        line.find("| goose:" + me +
                  ", ST:1, SQ:1, type:PRT_ACDC_PLACEHOLDER, V:1000.000000 V, I:100.000000 A\n"),
        std::string::npos)
        << line;

    // Every type name, and the fallback for a value outside the enumeration.
    const char *names[] = {"unknow",
                           "PRT_ACDC_PLACEHOLDER",
                           "PRT_INSLUATION_DETECTION_START",
                           "PRT_INSLUATION_DETECTION_STOP",
                           "PRT_PRECHARGING",
                           "PRT_CHARGING",
                           "unknow"};
    for (uint16_t type = 0; type <= 6; type++) {
        dev->power_request.type = type;
        dev->power_request.requestV = 2.5f;
        dev->power_request.requestI = 12.0f;
        out = stdout_of([&] { goose_HW_PowerRequest_send(dev.get(), &dev->power_request); });
        EXPECT_NE(
            out.find(std::string(", type:") + names[type] + ", V: 2.500000 V, I:12.000000 A\n"),
            std::string::npos)
            << type << ": " << out;
    }

    dev->shutdown_request.reason = SRR_GUN_EMGSTOP;
    out = stdout_of([&] { goose_HW_ShuntdownRequest(dev.get()); });
    line = line_with(out, "goose:" + me + ", ST:2, SQ:1, reason:4\n");
    ASSERT_NE(line, "") << out;
    EXPECT_NE(line.find(" goose_HW_ShuntdownRequest_send "), std::string::npos) << line;
    EXPECT_EQ(line.find("_locked"), std::string::npos) << line;
    goose_HW_exit(dev.get());
}

TEST(GooseReviewLog, SocketAndSendFailuresAreLoggedWithTheirTexts) {
    netns_veth_t ns{};
    std::string why;
    if (netns_veth_create(&ns, "grev", &why) != 0) GTEST_SKIP() << "no veth namespace: " << why;
    ASSERT_EQ(netns_veth_enter(&ns), 0);

    // A name no interface has: the bind has nothing to bind to.
    auto missing = std::make_unique<goose_HW_t>();
    std::string out =
        stdout_of([&] { EXPECT_EQ(goose_HW_init(missing.get(), "grevnone0", 1), -3); });
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\| bind\(fd=\d+\) error\n)"))) << out;
    EXPECT_NE(line_with(out, "bind(fd=").find(" goose_HW_open_socket "), std::string::npos) << out;
    goose_HW_exit(missing.get());

    // A real interface: its address is logged; once it is down the send fails with
    // both addresses in the line, and the socket is closed for the next turn.
    auto dev = std::make_unique<goose_HW_t>();
    out = stdout_of([&] { EXPECT_EQ(goose_HW_init(dev.get(), ns.if_a, 1), 0); });
    EXPECT_NE(out.find("| mac:02 00 00 00 aa 01\n"), std::string::npos) << out;
    EXPECT_NE(line_with(out, "| mac:").find(" goose_HW_open_socket "), std::string::npos) << out;
    ASSERT_EQ(netns_ip(&ns, std::string("link set ") + ns.if_a + " down"), 0);
    out = stdout_of([&] { goose_HW_PowerRequest(dev.get()); });
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(\| src:02 00 00 00 aa 01, dst:02 00 00 00 00 01, ret:-1\n)")))
        << out;
    EXPECT_NE(line_with(out, "| src:").find(" goose_HW_send "), std::string::npos) << out;
    EXPECT_EQ(dev->fd, -1);
    goose_HW_exit(dev.get());
    netns_veth_destroy(&ns);
}

TEST(GooseReviewSocket, SendOnlySocketQueuesNothingAndSendsAsGoose) {
    netns_veth_t ns{};
    std::string why;
    if (netns_veth_create(&ns, "gsock", &why) != 0) GTEST_SKIP() << "no veth namespace: " << why;
    ASSERT_EQ(netns_veth_enter(&ns), 0);
    // Our own view of if_a's outgoing frames, with the protocol the kernel carried.
    int tap = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    ASSERT_GE(tap, 0);
    struct sockaddr_ll at;
    std::memset(&at, 0, sizeof(at));
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = (int)if_nametoindex(ns.if_a);
    ASSERT_EQ(bind(tap, reinterpret_cast<struct sockaddr *>(&at), sizeof(at)), 0);

    auto dev = std::make_unique<goose_HW_t>();
    ASSERT_EQ(goose_HW_init(dev.get(), ns.if_a, 1), 0);
    // Traffic arrives on the interface from the far end: nothing may pile up on the
    // publisher's socket, which is never read.
    int peer = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    ASSERT_GE(peer, 0);
    struct sockaddr_ll to;
    std::memset(&to, 0, sizeof(to));
    to.sll_family = AF_PACKET;
    to.sll_ifindex = (int)if_nametoindex(ns.if_b);
    to.sll_halen = 6;
    const uint8_t a_mac[6] = {0x02, 0x00, 0x00, 0x00, 0xaa, 0x01};
    std::memcpy(to.sll_addr, a_mac, 6);
    uint8_t frame[60] = {0x02, 0x00, 0x00, 0x00, 0xaa, 0x01, 0x02, 0x00, 0x00,
                         0x00, 0xbb, 0x01, 0x88, 0xB8, 0x00, 0x01, 0x00, 0x08};
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(sendto(peer, frame, sizeof(frame), 0, reinterpret_cast<struct sockaddr *>(&to),
                         sizeof(to)),
                  (ssize_t)sizeof(frame));
    close(peer);

    ASSERT_EQ(goose_HW_PowerRequest(dev.get()), 0);
    bool seen_incoming = false, seen_ours = false;
    for (int i = 0; i < 100 && !(seen_incoming && seen_ours); i++) {
        struct pollfd p = {tap, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        uint8_t buf[2048];
        struct sockaddr_ll from;
        socklen_t flen = sizeof(from);
        ssize_t n =
            recvfrom(tap, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr *>(&from), &flen);
        if (n < 14 || buf[12] != 0x88 || buf[13] != 0xB8) continue;
        if (from.sll_pkttype == PACKET_OUTGOING && n == 211) {
            seen_ours = true;
            EXPECT_EQ(from.sll_protocol, htons(0x88B8));
        } else if (from.sll_pkttype != PACKET_OUTGOING) {
            seen_incoming = true;
        }
    }
    EXPECT_TRUE(seen_ours);
    EXPECT_TRUE(seen_incoming);
    int queued = -1;
    ASSERT_EQ(ioctl(dev->fd, FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    uint8_t buf[64];
    EXPECT_LT(recv(dev->fd, buf, sizeof(buf), MSG_DONTWAIT), 0);
    close(tap);
    goose_HW_exit(dev.get());
    netns_veth_destroy(&ns);
}

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
TEST(GooseReviewFrame, EveryByteOfBothRequestFrames) {
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

TEST(HmacReview, KeyTakenFromTheContextsOwnWorkBuffer) {
    // A caller keys a context with a result that already sits in its buf (a PBKDF2
    // block, say): the MAC must be the one under those bytes, not under zeros.
    for (uint32_t klen : {1u, 20u, 32u, 48u, 64u}) {
        hmac_sha256_ctx_t ctx;
        uint8_t key[64];
        for (uint32_t i = 0; i < klen; i++) key[i] = (uint8_t)(0x41 + 3 * i);
        std::memcpy(ctx.buf, key, klen);
        hmac_sha256_init(&ctx, ctx.buf, klen);
        const uint8_t msg[] = "power request";
        uint8_t ours[32], ref[32];
        hmac_sha256_update(&ctx, msg, sizeof(msg));
        hmac_sha256_final(&ctx, ours);
        unsigned int n = 0;
        HMAC(EVP_sha256(), key, (int)klen, msg, sizeof(msg), ref, &n);
        EXPECT_EQ(0, std::memcmp(ours, ref, 32)) << klen;
    }
}
