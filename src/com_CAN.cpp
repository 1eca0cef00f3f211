// SocketCAN port of the relay co-processor bus: interface set-up through `ip link`,
// a raw socket bound to the interface, frame send with a stdout trace, read with a
// time-out and J1939 PDU1 identifiers.
#include "com_CAN.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "logger.h"
#include "tc_system.h"

int com_CAN_name_valid(const char *name) {
    if (name == nullptr || name[0] == '\0') return 0;
    int n = 0;
    for (; name[n] != '\0'; n++) {
        if (n >= COM_CAN_NAME_MAX) return 0;
        char c = name[n];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok) return 0;
    }
    return 1;
}

int com_CAN_init(com_can_t *dev, const char *can_name, int bitrate) {
    // The name lands in a shell text and an interface request: anything a shell
    // would interpret, or longer than the kernel's limit, is refused before
    // anything runs.
    if (!com_CAN_name_valid(can_name)) {
        TCU_LOG(1, "can name refused\n");
        return -3;
    }
    char cmd[128] = {0};
    snprintf(cmd, sizeof cmd, "ip link set %s down\nip link set %s up type can bitrate %d\n",
             can_name, can_name, bitrate);
    tc_shell_fn run = tcu_hooks.can_shell.load();
    int ret = run != nullptr ? run(cmd) : system(cmd);
    if (ret < 0) {
        // A shell that could not be started must not read as a descriptor.
        TCU_LOG(1, "ret=%d\n", ret);
        return -4;
    }
    msleep(1000);  // let the interface come up
    if (dev == nullptr) return -1;

    dev->can_name = can_name;
    dev->fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (dev->fd <= 0) {
        TCU_LOG(1, "socket(ret=%d)\n", dev->fd);
        return -2;
    }

    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, can_name, strlen(can_name));  // at most 15, checked above
    ioctl(dev->fd, SIOCGIFINDEX, &ifr);

    struct sockaddr_can addr;
    memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    ret = bind(dev->fd, (struct sockaddr *)&addr, sizeof addr);
    if (ret != 0) TCU_LOG(1, "ret=%d\n", ret);

    int flags = fcntl(dev->fd, F_GETFL, 0);
    ret = fcntl(dev->fd, F_SETFL, flags | O_NONBLOCK);
    if (ret != 0) TCU_LOG(1, "ret=%d\n", ret);

    // The port must not hear its own frames.
    int loopback = 0;
    ret = setsockopt(dev->fd, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &loopback, sizeof loopback);
    if (ret != 0) TCU_LOG(1, "ret=%d\n", ret);
    return dev->fd;
}

void com_CAN_exit(com_can_t *dev) {
    // The port stays open for the life of the process; nothing to release.
    (void)dev;
}

int com_CAN_filter(com_can_t *dev, uint32_t canMask, int canID) {
    if (dev == nullptr) return -1;
    struct can_filter filter;
    filter.can_id = (canid_t)canID;
    filter.can_mask = canMask;
    // One filter replaces whatever was installed before.
    return setsockopt(dev->fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter);
}

int com_CAN_read(com_can_t *dev, struct can_frame *frame, int timeout) {
    if (dev == nullptr || frame == nullptr) return -1;
    if (timeout < 0) timeout = 0;
    if (dev->fd < 0) {
        TCU_LOG(1, "select(fd=%d) error.\n", dev->fd);
        return -2;
    }
    int ret = tc_wait_readable(dev->fd, monotime_ms() + timeout);
    if (ret < 0) {
        TCU_LOG(1, "select(fd=%d) error.\n", dev->fd);
        return -2;
    }
    if (ret == 0) return -3;
    return (int)read(dev->fd, frame, sizeof(struct can_frame));
}

int com_CAN_send(com_can_t *dev, const struct can_frame *frame) {
    if (dev == nullptr || frame == nullptr) return -1;
    const uint8_t *d = frame->data;
    printf("can.send.%08x, len:%d, %02x %02x %02x %02x %02x %02x %02x %02x\n", frame->can_id,
           frame->len, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    return (int)write(dev->fd, frame, sizeof(struct can_frame));
}

static int com_CAN_send_id(com_can_t *dev, uint32_t id, const uint8_t *data, int len) {
    if (dev == nullptr) return -1;
    struct can_frame frame;
    memset(&frame, 0, sizeof frame);
    if (len > CAN_MAX_DLEN) len = CAN_MAX_DLEN;
    if (len < 0 || data == nullptr) len = 0;
    frame.len = (uint8_t)len;
    frame.can_id = id;
    if (len > 0) memcpy(frame.data, data, (size_t)len);
    return com_CAN_send(dev, &frame);
}

int com_CAN_send_PDU1(com_can_t *dev, uint8_t RDP, uint8_t PF, uint8_t PS, uint8_t SA,
                      const uint8_t *data, int len) {
    return com_CAN_send_id(dev, com_CAN_PDU1_id(RDP, PF, PS, SA), data, len);
}

int com_CAN_send_PDU1PNG(com_can_t *dev, uint32_t PGN, uint8_t SA, const uint8_t *data, int len) {
    return com_CAN_send_id(dev, com_CAN_PDU1PNG_id(PGN, SA), data, len);
}
