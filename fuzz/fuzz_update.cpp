// The HMI's side of the update protocol into the updater: its line reader (one byte
// at a time, resynchronising on "Event", bounded by the buffer) on a socket pair,
// every line it returns dispatched as the updater's loop would, and the offer
// parser also on the raw input as one text. The raw input is also read as the end of
// an image (the signature trailer) and as a public-key file.
#include <string>

#include "ed25519.h"
#include "fuzz_common.h"
#include "update.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    fuzz_private_root("fuzz_update");
    return 0;
}

namespace {

void check_offer(const char *text) {
    int size = 12345;
    int v[3] = {7, 7, 7};
    int rc = android_ParseOffer(text, &size, v);
    FUZZ_CHECK(rc == 0 || rc == -2 || rc == -3, "rc %d", rc);
    if (rc == 0) {
        // Like the protocol's own "%d" parser: any version number, nothing read after it.
        FUZZ_CHECK(size > 0, "offer taken: %d %d.%d.%d", size, v[0], v[1], v[2]);
        FUZZ_CHECK(strncmp(text, "Event=NotifyUpdateFirmware,Type=HW,Size=", 40) == 0,
                   "offer without its prefix taken");
    }
}

void check_trailer(const uint8_t *data, size_t size) {
    if (size < (size_t)ZQ_UPDATE_TRAILER_SIZE) return;
    const uint8_t *trailer = data + size - ZQ_UPDATE_TRAILER_SIZE;
    int version[3] = {trailer[16] | trailer[17] << 8, trailer[18] | trailer[19] << 8,
                      trailer[20] | trailer[21] << 8};
    int rc = update_parse_trailer(trailer, (long)size, version);
    FUZZ_CHECK(rc >= -3 && rc <= 1, "trailer rc %d", rc);
    if (rc == 0) {
        FUZZ_CHECK(memcmp(trailer, "TCUSIG01", 8) == 0, "trailer without magic taken");
        // A well-formed trailer is still no valid signature for random bytes.
        uint8_t pub[32] = {0x01};
        FUZZ_CHECK(ed25519_verify(trailer + 64, data, size - 64, pub) != 0, "forged image");
    }
}

void check_key(const uint8_t *data, size_t size) {
    uint8_t pub[32];
    int rc = ed25519_parse_public_pem(reinterpret_cast<const char *>(data), size, pub);
    FUZZ_CHECK(rc <= 0 && rc >= -6, "key rc %d", rc);
    if (rc == 0) FUZZ_CHECK(ed25519_point_check(pub) == 0, "key that is no point taken");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string whole(reinterpret_cast<const char *>(data), size);
    check_offer(whole.c_str());
    check_trailer(data, size);
    check_key(data, size);

    fuzz_line_t line;
    if (!fuzz_line_open(&line, data, size, true)) abort();
    static zq_update_t upd;
    upd = zq_update_t{};
    upd.sock = line.sv[0];
    upd.app_version[0] = 1;
    for (int guard = 0; guard < 4096 && upd.sock >= 0; guard++) {
        int rc = wait_android_message(&upd);
        FUZZ_CHECK(upd.rx_bytes >= 0 && upd.rx_bytes <= ZQ_UPDATE_BUFF_SIZE, "rx_bytes %d",
                   upd.rx_bytes);
        FUZZ_CHECK(upd.rx_buff[upd.rx_bytes] == '\0', "line not terminated");
        if (rc != 0) continue;
        FUZZ_CHECK(upd.rx_bytes >= 6 && memcmp(upd.rx_buff, "Event", 5) == 0 &&
                       upd.rx_buff[upd.rx_bytes - 1] == '\n',
                   "line of %d bytes returned", upd.rx_bytes);
        FUZZ_CHECK(memchr(upd.rx_buff, '\n', (size_t)upd.rx_bytes - 1) == nullptr,
                   "two lines in one");
        if (strncmp(upd.rx_buff, "Event=NotifyUpdateFirmware,Type=HW", 34) == 0) {
            check_offer(upd.rx_buff);
        } else if (strncmp(upd.rx_buff, "Event=GetFirmwareVersion,Type=HW", 32) == 0) {
            FUZZ_CHECK(android_GetFirmwareVersion_res(&upd) > 0, "version answer not sent");
        }
    }
    if (upd.sock >= 0) close(upd.sock);
    upd.sock = -1;
    fuzz_line_close_peer(&line);
    return 0;
}
