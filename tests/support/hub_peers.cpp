// Power-unit TCP peer and GOOSE capture used by the gun state hub tests.
#include "support/hub_peers.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tc_system.h"

PowerUnitPeer::PowerUnitPeer() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(listen_, (sockaddr *)&a, sizeof a);
    listen(listen_, 4);
    socklen_t len = sizeof a;
    getsockname(listen_, (sockaddr *)&a, &len);
    port_ = std::to_string(ntohs(a.sin_port));
}

PowerUnitPeer::~PowerUnitPeer() {
    if (conn_ >= 0) close(conn_);
    if (listen_ >= 0) close(listen_);
}

bool PowerUnitPeer::accept_link(int timeout_ms) {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    conn_ = accept(listen_, nullptr, nullptr);
    return conn_ >= 0;
}

int PowerUnitPeer::pending() const {
    int n = 0;
    if (conn_ < 0 || ioctl(conn_, FIONREAD, &n) != 0) return 0;
    return n;
}

static bool read_exact(int fd, uint8_t *buff, int n, int64_t deadline) {
    int got = 0;
    while (got < n) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) return false;
        ssize_t r = read(fd, buff + got, (size_t)(n - got));
        if (r <= 0) return false;
        got += (int)r;
    }
    return true;
}

std::vector<uint8_t> PowerUnitPeer::read_frame(int timeout_ms) {
    if (conn_ < 0) return {};
    int64_t deadline = monotime_ms() + timeout_ms;
    std::vector<uint8_t> f(6);
    if (!read_exact(conn_, f.data(), 6, deadline)) return {};
    int rest = (f[4] << 8) | f[5];
    f.resize(6 + (size_t)rest);
    // Once a frame has begun, its remainder must follow: allow a generous bound.
    if (!read_exact(conn_, f.data() + 6, rest, monotime_ms() + 5000)) return {};
    return f;
}

bool parse_hub_report(const std::vector<uint8_t> &f, HubReport *r, std::string *error) {
    auto fail = [&](const char *why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (f.size() < 22) return fail("short frame");
    int n = f[21];
    if ((int)f.size() != 22 + 2 * n) return fail("length does not match register count");
    if (f[2] != 0 || f[3] != 0 || f[4] != 0) return fail("protocol/length high bytes");
    if (f[5] != 16 + 2 * n) return fail("MBAP length");
    if (f[6] != 0x01 || f[7] != 0x41 || f[8] != 0x91 || f[9] != 0x00) return fail("header");
    if (f[10] != 11 + 2 * n) return fail("byte count");
    static const uint8_t fixed[7] = {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01};
    if (memcmp(&f[11], fixed, 7) != 0) return fail("fixed bytes 11-17");
    if (f[20] != 0) return fail("byte 20");
    r->seq = (uint16_t)((f[0] << 8) | f[1]);
    r->addr = (uint16_t)((f[18] << 8) | f[19]);
    r->values.clear();
    for (int i = 0; i < n; i++)
        r->values.push_back((uint16_t)((f[22 + 2 * i] << 8) | f[23 + 2 * i]));
    return true;
}

bool PowerUnitPeer::read_report(HubReport *r, int timeout_ms, std::string *error) {
    std::vector<uint8_t> f = read_frame(timeout_ms);
    if (f.empty()) {
        if (error != nullptr) *error = "no frame";
        return false;
    }
    return parse_hub_report(f, r, error);
}

bool PowerUnitPeer::send_bytes(const std::vector<uint8_t> &bytes) {
    return conn_ >= 0 && write(conn_, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
}

float GooseFrame::f(size_t i) const {
    uint32_t bits = i < entries.size() ? entries[i].second : 0;
    float v;
    memcpy(&v, &bits, sizeof v);
    return v;
}

namespace {

// BER length at p[*i]; false when it runs past end.
bool ber_len(const uint8_t *p, int end, int *i, int *len) {
    if (*i >= end) return false;
    uint8_t b = p[(*i)++];
    if (b < 0x80) {
        *len = b;
        return true;
    }
    int n = b & 0x7F;
    if (n < 1 || n > 3 || *i + n > end) return false;
    *len = 0;
    for (int k = 0; k < n; k++) *len = (*len << 8) | p[(*i)++];
    return true;
}

uint32_t be_value(const uint8_t *p, int len) {
    uint32_t v = 0;
    for (int k = 0; k < len && k < 4; k++) v = (v << 8) | p[k];
    return v;
}

}  // namespace

bool parse_goose(const uint8_t *b, int len, GooseFrame *g) {
    if (len < 24 || b[12] != 0x88 || b[13] != 0xB8) return false;
    memcpy(g->dst, b, 6);
    memcpy(g->src, b + 6, 6);
    g->appid = (uint16_t)((b[14] << 8) | b[15]);
    int i = 22;
    if (b[i++] != 0x61) return false;
    int pdu_len = 0;
    if (!ber_len(b, len, &i, &pdu_len) || i + pdu_len > len) return false;
    int end = i + pdu_len;
    g->entries.clear();
    while (i < end) {
        uint8_t tag = b[i++];
        int l = 0;
        if (!ber_len(b, end, &i, &l) || i + l > end) return false;
        if (tag == 0x83)
            g->goID.assign((const char *)b + i, strnlen((const char *)b + i, (size_t)l));
        if (tag == 0x85) g->stNum = be_value(b + i, l);
        if (tag == 0x86) g->sqNum = be_value(b + i, l);
        if (tag == 0xAB) {
            int j = i;
            while (j < i + l) {
                uint8_t et = b[j++];
                int el = 0;
                if (!ber_len(b, i + l, &j, &el) || j + el > i + l) return false;
                g->entries.emplace_back(et, be_value(b + j, el));
                j += el;
            }
        }
        i += l;
    }
    return true;
}

GooseCapture::GooseCapture() {
    fd_ = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd_ < 0) return;
    // Every test process on the machine shares lo, and one of them may flood it with
    // GOOSE repetitions: a roomy queue, and (once a prefix is set) a kernel filter so
    // that frames of others never take the room of this process's own.
    int big = 4 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)if_nametoindex("lo");
    if (bind(fd_, (sockaddr *)&sll, sizeof sll) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

GooseCapture::~GooseCapture() {
    if (fd_ >= 0) close(fd_);
}

bool GooseCapture::next(GooseFrame *g, int timeout_ms) {
    int64_t deadline = monotime_ms() + timeout_ms;
    uint8_t buff[2048];
    for (;;) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) return false;
        sockaddr_ll from{};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(fd_, buff, sizeof buff, 0, (sockaddr *)&from, &fl);
        if (n <= 0) return false;
        // Loopback shows each frame twice; the outgoing copy is the one sent.
        if (from.sll_pkttype != PACKET_OUTGOING) continue;
        if (n < 6 || memcmp(buff, prefix_, (size_t)prefix_len_) != 0) continue;
        *g = GooseFrame{};
        if (parse_goose(buff, (int)n, g)) return true;
    }
}

void GooseCapture::only_dst_prefix(const uint8_t *prefix, int n) {
    prefix_len_ = n < 0 ? 0 : (n > 6 ? 6 : n);
    memcpy(prefix_, prefix, (size_t)prefix_len_);
    if (fd_ < 0) return;
    // Kernel-side filter: outgoing GOOSE frames to this prefix only. next() still
    // checks the same, so a kernel that refuses the filter changes nothing but room.
    std::vector<sock_filter> code;
    code.push_back(BPF_STMT(BPF_LD | BPF_B | BPF_ABS, (uint32_t)(SKF_AD_OFF + SKF_AD_PKTTYPE)));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 0));
    code.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x88B8, 0, 0));
    for (int i = 0; i < prefix_len_; i++) {
        code.push_back(BPF_STMT(BPF_LD | BPF_B | BPF_ABS, (uint32_t)i));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, prefix_[i], 0, 0));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFF));  // accept
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));       // drop
    // Every test jumps to the drop at the end when it fails.
    size_t drop = code.size() - 1;
    for (size_t i = 0; i < code.size(); i++) {
        if (BPF_CLASS(code[i].code) == BPF_JMP) code[i].jf = (uint8_t)(drop - i - 1);
    }
    sock_fprog prog{(unsigned short)code.size(), code.data()};
    if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0) {
        // Frames queued before the filter was in place may be anyone's.
        drain();
    }
}

void GooseCapture::drain() {
    uint8_t buff[2048];
    while (recv(fd_, buff, sizeof buff, MSG_DONTWAIT) > 0) {
    }
}
