// GOOSE frame parser, OpenSSL HMAC check, pcap writer and tshark runner for tests.
#include "support/goose_frame.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint16_t be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}

uint32_t be_n(const uint8_t *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

// BER length; -1 on an unsupported form or overrun.
int ber_len(const uint8_t *p, int pos, int end, int *len) {
    if (pos >= end) return -1;
    if (p[pos] < 0x80) {
        *len = p[pos];
        return pos + 1;
    }
    int n = p[pos] - 0x80;
    if (n < 1 || n > 3 || pos + 1 + n > end) return -1;
    *len = (int)be_n(p + pos + 1, n);
    return pos + 1 + n;
}

std::string text(const uint8_t *p, int n) {
    std::string s(reinterpret_cast<const char *>(p), (size_t)n);
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

void put_le32(FILE *f, uint32_t v) {
    uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    fwrite(b, 1, 4, f);
}

void put_le16(FILE *f, uint16_t v) {
    uint8_t b[2] = {(uint8_t)v, (uint8_t)(v >> 8)};
    fwrite(b, 1, 2, f);
}

}  // namespace

bool goose_frame_parse(const uint8_t *f, int len, goose_frame_info_t *info) {
    *info = goose_frame_info_t{};
    if (len < 22) return false;
    std::memcpy(info->dst, f, 6);
    std::memcpy(info->src, f + 6, 6);
    int e = (f[12] == 0x81 && f[13] == 0x00) ? 16 : 12;
    info->ethertype_at = e;
    if (len < e + 10 || be16(f + e) != 0x88B8) return false;
    info->appid = be16(f + e + 2);
    info->length = be16(f + e + 4);
    info->reserved1 = be16(f + e + 6);
    info->reserved2 = be16(f + e + 8);
    int pos = e + 10;
    info->pdu_at = pos;
    if (f[pos] != 0x61) return false;
    int body = 0;
    int p = ber_len(f, pos + 1, len, &body);
    if (p < 0 || p + body > len) return false;
    int end = p + body;
    info->pdu_len = end - pos;
    while (p < end) {
        uint8_t tag = f[p];
        int l = 0;
        int v = ber_len(f, p + 1, end, &l);
        if (v < 0 || v + l > end) return false;
        const uint8_t *c = f + v;
        switch (tag) {
            case 0x80:
                info->gocbRef = text(c, l);
                break;
            case 0x81:
                info->timeAllowedtoLive = be_n(c, l);
                break;
            case 0x82:
                info->datSet = text(c, l);
                break;
            case 0x83:
                info->goID = text(c, l);
                break;
            case 0x85:
                info->stNum = be_n(c, l);
                break;
            case 0x86:
                info->sqNum = be_n(c, l);
                break;
            case 0x87:
                info->simulation = l > 0 && c[0] != 0;
                break;
            case 0x88:
                info->confRev = be_n(c, l);
                break;
            case 0x89:
                info->ndsCom = l > 0 && c[0] != 0;
                break;
            case 0x8A:
                info->numDatSetEntries = be_n(c, l);
                break;
            case 0xAB: {
                int q = v;
                while (q < v + l) {
                    int el = 0;
                    int ev = ber_len(f, q + 1, v + l, &el);
                    if (ev < 0 || ev + el > v + l) return false;
                    info->entry_tags.push_back(f[q]);
                    info->entries.emplace_back(f + ev, f + ev + el);
                    q = ev + el;
                }
                break;
            }
            default:
                break;
        }
        p = v + l;
    }
    if (end + 35 != len || f[end] != 0xAD || be16(f + end + 1) != 32) return false;
    std::memcpy(info->hmac, f + end + 3, 32);
    return true;
}

bool goose_frame_hmac_ok(const uint8_t *frame, int len, const uint8_t *key, int keylen) {
    goose_frame_info_t info;
    if (!goose_frame_parse(frame, len, &info)) return false;
    uint8_t mac[32];
    unsigned int mlen = 0;
    int from = info.ethertype_at;
    int to = info.pdu_at + info.pdu_len;
    HMAC(EVP_sha256(), key, keylen, frame + from, (size_t)(to - from), mac, &mlen);
    return mlen == 32 && std::memcmp(mac, info.hmac, 32) == 0;
}

bool goose_pcap_write(const std::string &path, const std::vector<std::vector<uint8_t>> &frames) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    put_le32(f, 0xa1b2c3d4);
    put_le16(f, 2);
    put_le16(f, 4);
    put_le32(f, 0);
    put_le32(f, 0);
    put_le32(f, 65535);
    put_le32(f, 1);  // Ethernet
    uint32_t sec = 1700000000;
    for (const auto &fr : frames) {
        put_le32(f, sec++);
        put_le32(f, 0);
        put_le32(f, (uint32_t)fr.size());
        put_le32(f, (uint32_t)fr.size());
        fwrite(fr.data(), 1, fr.size(), f);
    }
    return std::fclose(f) == 0;
}

bool goose_tshark_available() {
    return std::system("tshark --version >/dev/null 2>&1") == 0;
}

std::vector<std::vector<std::string>> goose_tshark_fields(const std::string &path,
                                                          const std::vector<std::string> &fields) {
    std::string cmd = "tshark -r '" + path + "' -T fields -E separator=/t";
    for (const auto &fld : fields) cmd += " -e " + fld;
    cmd += " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return rows;
    char line[8192];
    while (std::fgets(line, sizeof(line), p) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        std::vector<std::string> cols;
        size_t start = 0;
        for (;;) {
            size_t tab = s.find('\t', start);
            cols.push_back(
                s.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        rows.push_back(cols);
    }
    pclose(p);
    return rows;
}
