// GOOSE publisher of one gun: keeps the gun's request in force, sends a newly posted
// one at once and repeats it on the GOOSE retransmission schedule (fast after a
// change, settling at T0) on a send-only raw packet socket.
#include "goose_HW.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "goose_HW_encode.h"
#include "logger.h"

namespace {

constexpr char POWER_REQUEST_ID[] = "CC/0$GO$PowerRequest";
constexpr char SHUTDOWN_REQUEST_ID[] = "CC/0$GO$ShutdownRequest";
constexpr uint16_t POWER_REQUEST_APPID = 0x0001;
constexpr uint16_t SHUTDOWN_REQUEST_APPID = 0x3002;
constexpr uint16_t GOOSE_ETHERTYPE = 0x88B8;
constexpr uint16_t GOOSE_PRIORITY = 5;
constexpr uint16_t GOOSE_VLAN = 0;  // untagged
constexpr uint32_t POWER_REQUEST_ENTRIES = 8;
constexpr uint32_t SHUTDOWN_REQUEST_ENTRIES = 5;
constexpr uint16_t TIME_ALLOWED_TO_LIVE_MS = 10000;
// How soon the worker notices quit. Each slice is a wake-up of an otherwise idle
// thread: 500 ms keeps the two publishers at 4 wake-ups a second between frames.
constexpr int SLEEP_SLICE_MS = 500;

char *format_mac(char *buff, int bsize, const uint8_t *mac) {
    snprintf(buff, (size_t)bsize, "%02x %02x %02x %02x %02x %02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buff;
}

const char *format_typestring(int type) {
    switch (type) {
        case PRT_ACDC_PLACEHOLDER:
            return "PRT_ACDC_PLACEHOLDER";
        case PRT_INSLUATION_DETECTION_START:
            return "PRT_INSLUATION_DETECTION_START";
        case PRT_INSLUATION_DETECTION_STOP:
            return "PRT_INSLUATION_DETECTION_STOP";
        case PRT_PRECHARGING:
            return "PRT_PRECHARGING";
        case PRT_CHARGING:
            return "PRT_CHARGING";
        default:
            return "unknow";
    }
}

// The interface index looked up by name on every send, as if_nametoindex does, but on
// the open packet socket: one ioctl instead of a helper socket opened and closed per
// frame. 0 (no such interface, or a name too long to look up) makes the send fail.
int interface_index(const goose_HW_t *dev) {
    if (dev->interfaceID == nullptr || strlen(dev->interfaceID) >= IFNAMSIZ) return 0;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::memcpy(ifr.ifr_name, dev->interfaceID, strlen(dev->interfaceID));
    if (ioctl(dev->fd, SIOCGIFINDEX, &ifr) < 0) return 0;
    return ifr.ifr_ifindex;
}

void close_socket(goose_HW_t *dev) {
    if (dev->fd >= 0) close(dev->fd);
    dev->fd = -1;
}

// Socket set-up fails the same way every turn while the interface is missing: log
// each kind once a minute, not once per turn.
bool open_log_due(goose_HW_t *dev, int code) {
    return tc_fail_gate_pass(&dev->open_gate, code, monotime_ms()) != 0;
}

void set_header(goose_HW_t *dev, const char *ref) {
    dev->goCBRef = ref;
    dev->dataSetRef = ref;
    dev->goID = ref;
    dev->timeAllowedToLive = TIME_ALLOWED_TO_LIVE_MS;
    dev->simulation = false;
    dev->needsCommission = false;
    dev->confRev = 1;
}

// Wraps the encoded entries (in work_b) into goosePdu and frame; returns tx_bytes.
int frame_entries(goose_HW_t *dev, uint8_t *work_a, uint8_t *work_b, int entries_len,
                  uint32_t entries, uint16_t appid) {
    int body_len = goose_HW_encode_APDU(dev, work_a, 0, entries, work_b, entries_len);
    int pdu_len = goose_HW_encode_TLV(work_b, 0, 0x61, body_len, work_a);
    dev->tx_bytes = goose_HW_encode_Eth8021Q(dev, dev->tx_buff, 0, GOOSE_PRIORITY, GOOSE_VLAN,
                                             appid, work_b, pdu_len);
    goose_HW_send(dev);
    return dev->tx_bytes;
}

// Schedule of a new request: at once (by the poster), the rest of the worker's current
// pause, then 1 s, 2 s, 4 s, then T0.
void restart_schedule(goose_HW_t *dev) {
    dev->T[0] = dev->T0;
    dev->T[1] = dev->T1;
    dev->T[2] = 2 * (int64_t)dev->T1;
    dev->T[3] = 4 * (int64_t)dev->T1;
    dev->T[4] = 8 * (int64_t)dev->T1;
    dev->T_idx = 0;
}

}  // namespace

int goose_HW_init(goose_HW_t *dev, const char *interfaceID, uint16_t connector_id) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    dev->quit = 0;
    dev->T0 = 5000;
    dev->T1 = 1000;
    // Start-up schedule: 0, 2, 4, 8, 13 s, then every T0 (second entry 2000, unlike
    // the schedule a new request installs).
    const int64_t startup[5] = {5000, 2000, 2000, 4000, 8000};
    std::memcpy(dev->T, startup, sizeof(dev->T));
    dev->T_idx = 0;
    dev->stNum = 0;
    dev->sqNum = 0;
    dev->state = GHWS_POWER_REQUEST;
    dev->power_request = PowerRequest_t{
        connector_id, 0,     PRT_ACDC_PLACEHOLDER, PRM_CONSTANT_CURRENT, 1000.0f, 100.0f,
        0xFFFF,       0xFFFF};
    dev->shutdown_request = ShutdownRequest_t{connector_id, 0, SRR_NORMAL, 0, 0xFFFF};
    std::memcpy(dev->dst_mac, GOOSE_HW_DEFAULT_DST_MAC, sizeof(dev->dst_mac));
    set_header(dev, POWER_REQUEST_ID);
    dev->interfaceID = interfaceID;
    dev->fd = -1;
    dev->tx_bytes = 0;
    dev->rx_bytes = 0;
    std::memset(&dev->sll, 0, sizeof(dev->sll));
    dev->slen = sizeof(dev->sll);
    tc_fail_gate_clear(&dev->open_gate);
    tc_fail_gate_clear(&dev->send_gate);
    if (interfaceID == nullptr) {
        TCU_LOG(1, "ifname not configured: goose:%p publishes nothing\n", (void *)dev);
        return -6;
    }
    tc_lock lock(&dev->mutex);
    return goose_HW_open_socket(dev);
}

int goose_HW_open_socket(goose_HW_t *dev) {
    if (dev == nullptr || dev->fd >= 0) return -1;
    if (dev->interfaceID == nullptr) return -6;
    // Protocol 0: the socket only sends and has no receive hook, so the kernel queues
    // nothing on it (ETH_P_ALL would queue every frame of the interface, unread).
    // Close-on-exec: the GPIO shells must not inherit the packet socket.
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (open_log_due(dev, -2)) TCU_LOG(1, "socket(fd=%d) error\n", fd);
        return -2;
    }
    dev->fd = fd;
    struct sockaddr_ll bind_addr;
    std::memset(&bind_addr, 0, sizeof(bind_addr));
    bind_addr.sll_family = AF_PACKET;
    bind_addr.sll_protocol = 0;
    bind_addr.sll_ifindex = (int)if_nametoindex(dev->interfaceID);
    // Index 0 would bind to every interface: a missing interface is a bind failure.
    if (bind_addr.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&bind_addr), sizeof(bind_addr)) < 0) {
        if (open_log_due(dev, -3)) TCU_LOG(1, "bind(fd=%d) error\n", fd);
        close_socket(dev);
        return -3;
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::strncpy(ifr.ifr_name, dev->interfaceID, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        if (open_log_due(dev, -4)) TCU_LOG(1, "ioctl(SIOCGIFINDEX, fd=%d) error\n", fd);
        close_socket(dev);
        return -4;
    }
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        if (open_log_due(dev, -5)) TCU_LOG(1, "ioctl(SIOCGIFHWADDR, fd=%d) error\n", fd);
        close_socket(dev);
        return -5;
    }
    std::memcpy(dev->src_mac, ifr.ifr_hwaddr.sa_data, sizeof(dev->src_mac));
    tc_fail_gate_clear(&dev->open_gate);
    const uint8_t *m = dev->src_mac;
    TCU_LOG(3, "mac:%02x %02x %02x %02x %02x %02x\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    return 0;
}

int goose_HW_send(goose_HW_t *dev) {
    if (dev == nullptr || dev->fd < 0) return -1;
    if (dev->tx_bytes <= 0) return -2;
    std::memset(&dev->sll, 0, sizeof(dev->sll));
    dev->sll.sll_family = AF_PACKET;
    dev->sll.sll_protocol = htons(GOOSE_ETHERTYPE);
    dev->sll.sll_ifindex = interface_index(dev);
    dev->sll.sll_halen = 6;
    std::memcpy(dev->sll.sll_addr, dev->dst_mac, 6);
    dev->slen = sizeof(dev->sll);
    // MSG_DONTWAIT: the mutex is held here, so a full queue must not stall the poster.
    ssize_t ret = sendto(dev->fd, dev->tx_buff, (size_t)dev->tx_bytes, MSG_DONTWAIT,
                         reinterpret_cast<struct sockaddr *>(&dev->sll), dev->slen);
    if (ret > 0) {
        int sent = (int)ret;
        std::memmove(dev->tx_buff, dev->tx_buff + sent, (size_t)(dev->tx_bytes - sent));
        dev->tx_bytes -= sent;
        tc_fail_gate_clear(&dev->send_gate);
        return 0;
    }
    if (tc_fail_gate_pass(&dev->send_gate, -3, monotime_ms())) {
        char src[24], dst[24];
        TCU_LOG(1, "src:%s, dst:%s, ret:%d\n", format_mac(src, sizeof(src), dev->src_mac),
                format_mac(dst, sizeof(dst), dev->dst_mac), (int)ret);
    }
    // The frame is lost; the next worker turn reopens and sends the next repetition.
    close_socket(dev);
    return -3;
}

int goose_HW_PowerRequest_send_locked(goose_HW_t *dev, const PowerRequest_t *pdu) {
    if (dev == nullptr || pdu == nullptr) return -1;
    dev->sqNum++;
    set_header(dev, POWER_REQUEST_ID);
    // Logged under the public name: operators follow these lines by function name.
    clog_print(4, "TCU", "goose_HW_PowerRequest_send", __FILE__, __LINE__,
               "goose:%p, ST:%d, SQ:%d, type:%s, V:%9f V, I:%9f A\n", (void *)dev, (int)dev->stNum,
               (int)dev->sqNum, format_typestring(pdu->type), (double)pdu->requestV,
               (double)pdu->requestI);
    gettimeofday(&dev->timestamp, nullptr);
    uint8_t work_a[GOOSE_HW_BUFF_SIZE];
    uint8_t work_b[GOOSE_HW_BUFF_SIZE];
    int n = goose_HW_encode_PowerRequest(dev, work_b, 0, pdu);
    return frame_entries(dev, work_a, work_b, n, POWER_REQUEST_ENTRIES, POWER_REQUEST_APPID);
}

int goose_HW_ShuntdownRequest_send_locked(goose_HW_t *dev, const ShutdownRequest_t *pdu) {
    if (dev == nullptr || pdu == nullptr) return -1;
    dev->sqNum++;
    set_header(dev, SHUTDOWN_REQUEST_ID);
    clog_print(4, "TCU", "goose_HW_ShuntdownRequest_send", __FILE__, __LINE__,
               "goose:%p, ST:%d, SQ:%d, reason:%hd\n", (void *)dev, (int)dev->stNum,
               (int)dev->sqNum, (short)pdu->reason);
    gettimeofday(&dev->timestamp, nullptr);
    uint8_t work_a[GOOSE_HW_BUFF_SIZE];
    uint8_t work_b[GOOSE_HW_BUFF_SIZE];
    int n = goose_HW_encode_ShuntdownRequest(dev, work_b, 0, pdu);
    return frame_entries(dev, work_a, work_b, n, SHUTDOWN_REQUEST_ENTRIES, SHUTDOWN_REQUEST_APPID);
}

int goose_HW_PowerRequest_send(goose_HW_t *dev, const PowerRequest_t *pdu) {
    if (dev == nullptr) return -1;
    tc_lock lock(&dev->mutex);
    return goose_HW_PowerRequest_send_locked(dev, pdu);
}

int goose_HW_ShuntdownRequest_send(goose_HW_t *dev, const ShutdownRequest_t *pdu) {
    if (dev == nullptr) return -1;
    tc_lock lock(&dev->mutex);
    return goose_HW_ShuntdownRequest_send_locked(dev, pdu);
}

int goose_HW_PowerRequest_locked(goose_HW_t *dev) {
    if (dev == nullptr) return -1;
    dev->stNum++;
    dev->sqNum = 0;
    dev->state = GHWS_POWER_REQUEST;
    restart_schedule(dev);
    return goose_HW_PowerRequest_send_locked(dev, &dev->power_request);
}

int goose_HW_ShuntdownRequest_locked(goose_HW_t *dev) {
    if (dev == nullptr) return -1;
    dev->stNum++;
    dev->sqNum = 0;
    dev->state = GHWS_SHUTDOWN_REQUEST;
    restart_schedule(dev);
    return goose_HW_ShuntdownRequest_send_locked(dev, &dev->shutdown_request);
}

// Counting the new state and sending its first frame happen in one hold, so the
// worker never sends between the two with a mismatched stNum/sqNum.
int goose_HW_PowerRequest(goose_HW_t *dev) {
    if (dev == nullptr) return -1;
    tc_lock lock(&dev->mutex);
    return goose_HW_PowerRequest_locked(dev);
}

int goose_HW_ShuntdownRequest(goose_HW_t *dev) {
    if (dev == nullptr) return -1;
    tc_lock lock(&dev->mutex);
    return goose_HW_ShuntdownRequest_locked(dev);
}

int goose_HW_turn(goose_HW_t *dev) {
    if (dev == nullptr) return -1;
    tc_lock lock(&dev->mutex);
    if (dev->fd < 0) goose_HW_open_socket(dev);
    // state is read in the same hold as the build: a post cannot slip in between and
    // have its new stNum carry the previous request.
    int state = dev->state;
    if (state == GHWS_POWER_REQUEST) {
        goose_HW_PowerRequest_send_locked(dev, &dev->power_request);
    } else if (state == GHWS_SHUTDOWN_REQUEST) {
        goose_HW_ShuntdownRequest_send_locked(dev, &dev->shutdown_request);
    }
    if (dev->T_idx < 4) dev->T_idx++;
    // T[4] never governs a pause: the last step settles at T0.
    return (int)(dev->T_idx == 4 ? dev->T[0] : dev->T[dev->T_idx]);
}

void *goose_HW_loop(void *argv) {
    auto *dev = static_cast<goose_HW_t *>(argv);
    if (dev == nullptr) return nullptr;
    while (dev->quit == 0) {
        dev->heartbeat.fetch_add(1, std::memory_order_relaxed);
        int64_t deadline = monotime_ms() + goose_HW_turn(dev);
        // Slept in slices against a monotonic deadline, so shutdown is not held up
        // by a 5 s pause; a post does not shorten the pause in progress.
        for (int64_t now = monotime_ms(); dev->quit == 0 && now < deadline; now = monotime_ms()) {
            int64_t left = deadline - now;
            msleep((int)(left < SLEEP_SLICE_MS ? left : SLEEP_SLICE_MS));
        }
    }
    return nullptr;
}

void goose_HW_exit(goose_HW_t *dev) {
    if (dev == nullptr) return;
    {
        tc_lock lock(&dev->mutex);
        close_socket(dev);
    }
    pthread_mutex_destroy(&dev->mutex);
}
