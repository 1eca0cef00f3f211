// The power unit's byte stream into the Modbus TCP link: receive, frame cutting and
// resynchronisation, and the read and write handlers with the actions a write sets
// off. Each record of the input arrives as one read; a selector bit ends the stream
// (the link closes and a new connection is installed). Checked after every read:
// nothing outside the writable windows changed, every response is a whole frame.
#include <pthread.h>
#include <sys/ioctl.h>

#include "adcgpio.h"
#include "fuzz_common.h"
#include "goose_HW.h"
#include "modbus_TCP_HW.h"
#include "tc_tcu.h"

namespace {

int no_shell(const char *) {
    return 0;
}

// The image as the power unit may not change it: every block but the writable
// ones, and the part of 0x2000 outside its window 0x2006..0x2015.
struct readonly_image_t {
    uint16_t r0000[43], r1000[38], r1100[160], r1D00[160], r2000_lo[6], r2000_hi[1];
    uint16_t r3000[5], r3100[48], r3D00[48];
};

template <size_t N>
void copy(uint16_t (&dst)[N], const uint16_t *src) {
    memcpy(dst, src, sizeof dst);
}

readonly_image_t snapshot(modbus_TCP_t *dev) {
    readonly_image_t s;
    pthread_mutex_lock(&dev->mutex);
    copy(s.r0000, dev->regs_0x0000);
    copy(s.r1000, dev->regs_0x1000);
    copy(s.r1100, dev->regs_0x1100);
    copy(s.r1D00, dev->regs_0x1D00);
    copy(s.r2000_lo, dev->regs_0x2000);
    copy(s.r2000_hi, dev->regs_0x2000 + 22);
    copy(s.r3000, dev->regs_0x3000);
    copy(s.r3100, dev->regs_0x3100);
    copy(s.r3D00, dev->regs_0x3D00);
    pthread_mutex_unlock(&dev->mutex);
    return s;
}

bool same(const readonly_image_t &a, const readonly_image_t &b, const char **where) {
#define FUZZ_SAME(f)                         \
    if (memcmp(a.f, b.f, sizeof a.f) != 0) { \
        *where = #f;                         \
        return false;                        \
    }
    FUZZ_SAME(r0000)
    FUZZ_SAME(r1000)
    FUZZ_SAME(r1100)
    FUZZ_SAME(r1D00)
    FUZZ_SAME(r2000_lo)
    FUZZ_SAME(r2000_hi)
    FUZZ_SAME(r3000)
    FUZZ_SAME(r3100)
    FUZZ_SAME(r3D00)
#undef FUZZ_SAME
    return true;
}

// Installs a fresh connection as the link's own connect would.
void install(modbus_TCP_t *dev, fuzz_line_t *line) {
    if (!fuzz_line_open(line, nullptr, 0, false)) abort();
    pthread_mutex_lock(&dev->mutex);
    dev->fd = line->sv[0];
    dev->rx_bytes = 0;
    dev->conn_gen++;
    pthread_mutex_unlock(&dev->mutex);
}

// Responses are whole MBAP frames: protocol 0, length = bytes after it.
int check_responses(const uint8_t *b, size_t n) {
    int frames = 0;
    size_t pos = 0;
    while (pos < n) {
        FUZZ_CHECK(n - pos >= 9, "%zu stray bytes", n - pos);
        const uint8_t *f = b + pos;
        FUZZ_CHECK(f[2] == 0 && f[3] == 0, "protocol %02x%02x", f[2], f[3]);
        size_t len = (size_t)(f[4] << 8 | f[5]);
        FUZZ_CHECK(len >= 3 && pos + 6 + len <= n, "length %zu with %zu bytes", len, n - pos);
        uint8_t fn = f[7];
        // The byte count is 2 x quantity cut to 8 bits (quantities above 127 wrap).
        if (fn == 3) FUZZ_CHECK(f[8] == (uint8_t)(len - 3), "byte count %u, length %zu", f[8], len);
        if (fn & 0x80) FUZZ_CHECK(len == 3, "exception length %zu", len);
        pos += 6 + len;
        frames++;
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_stdout();
    fuzz_private_root("fuzz_modbus_tcp");
    tcu_hooks.gpio_shell = no_shell;
    modbus_TCP_init(&modbusHW, nullptr, nullptr, 0, 0);
    goose_HW_init(&gooseGUNA, nullptr, 1);
    goose_HW_init(&gooseGUNB, nullptr, 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    modbus_TCP_t *dev = &modbusHW;
    const readonly_image_t before = snapshot(dev);
    fuzz_line_t line;
    install(dev, &line);
    dev->trans_ids[0] = dev->trans_ids[1] = 0;
    fuzz_reader_t in{data, size};
    uint8_t sel;
    const uint8_t *bytes;
    size_t n;
    static uint8_t sent[1 << 16];
    while (in.next(&sel, &bytes, &n)) {
        for (size_t done = 0; done < n;) {
            ssize_t w = write(line.sv[1], bytes + done, n - done);
            if (w <= 0) abort();
            done += (size_t)w;
        }
        bool ended = (sel & 1) != 0;
        if (ended) shutdown(line.sv[1], SHUT_WR);
        // A read takes what fits the buffer: a few rounds carry the rest (and the
        // end of the stream) in.
        bool open = true;
        for (int round = 0; round < 300 && open; round++) {
            int rx = modbus_TCP_recv_with_timeout(dev, 0);
            FUZZ_CHECK(rx >= 0 && rx <= (int)sizeof dev->rx_buff, "rx_bytes %d", rx);
            int answered = modbus_TCP_process_frames(dev);
            FUZZ_CHECK(dev->rx_bytes >= 0 && dev->rx_bytes <= (int)sizeof dev->rx_buff,
                       "rx_bytes %d", dev->rx_bytes);
            const char *where = nullptr;
            FUZZ_CHECK(same(before, snapshot(dev), &where), "read-only registers %s written",
                       where);
            size_t got = fuzz_line_take(&line, sent, sizeof sent);
            int frames = check_responses(sent, got);
            FUZZ_CHECK(frames == answered, "%d responses for %d frames answered", frames, answered);
            pthread_mutex_lock(&dev->mutex);
            open = dev->fd == line.sv[0];
            pthread_mutex_unlock(&dev->mutex);
            int pending = 0;
            if (open && !ended && (ioctl(line.sv[0], FIONREAD, &pending) != 0 || pending == 0))
                break;
        }
        FUZZ_CHECK(!(ended && open), "end of stream not noticed");
        if (!open) {
            // Closed by the link (end of stream, oversized frame): reconnect.
            fuzz_line_close_peer(&line);
            install(dev, &line);
        }
    }
    pthread_mutex_lock(&dev->mutex);
    if (dev->fd == line.sv[0]) close(dev->fd);
    dev->fd = -1;
    dev->rx_bytes = 0;
    pthread_mutex_unlock(&dev->mutex);
    fuzz_line_close_peer(&line);
    return 0;
}
