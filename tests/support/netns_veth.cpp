// Network-namespace veth fixture and AF_PACKET capture for link-level tests.
#include "support/netns_veth.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int run_quiet(const std::string &cmd) {
    std::string full = cmd + " >/dev/null 2>&1";
    int rc = std::system(full.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int netns_ip(const netns_veth_t *ns, const std::string &args) {
    return run_quiet(std::string("ip -n ") + ns->name + " " + args);
}

int netns_veth_create(netns_veth_t *ns, const char *tag, std::string *why) {
    std::memset(ns, 0, sizeof(*ns));
    ns->ns_fd = -1;
    ns->home_fd = -1;
    if (geteuid() != 0) {
        if (why) *why = "needs root to create a network namespace";
        return -1;
    }
    // The whole process id: two test processes running at once never share a name
    // (the namespace of a crashed run with this id is removed just below).
    int pid = (int)getpid();
    std::snprintf(ns->name, sizeof(ns->name), "tcu_%s_%d", tag, pid);
    std::snprintf(ns->if_a, sizeof(ns->if_a), "va%d", pid);
    std::snprintf(ns->if_b, sizeof(ns->if_b), "vb%d", pid);
    run_quiet(std::string("ip netns del ") + ns->name);  // left over from a crashed run
    if (run_quiet(std::string("ip netns add ") + ns->name) != 0) {
        if (why) *why = "ip netns add failed (no CAP_SYS_ADMIN or no iproute2)";
        ns->name[0] = 0;
        return -1;
    }
    if (netns_ip(ns, std::string("link add ") + ns->if_a + " type veth peer name " + ns->if_b) ||
        netns_ip(ns, std::string("link set ") + ns->if_a + " address 02:00:00:00:aa:01") ||
        netns_ip(ns, std::string("link set ") + ns->if_b + " address 02:00:00:00:bb:01") ||
        netns_ip(ns, std::string("link set ") + ns->if_a + " up") ||
        netns_ip(ns, std::string("link set ") + ns->if_b + " up")) {
        if (why) *why = "could not create the veth pair";
        netns_veth_destroy(ns);
        return -1;
    }
    std::string path = std::string("/var/run/netns/") + ns->name;
    ns->ns_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns->ns_fd < 0) {
        if (why) *why = "cannot open " + path;
        netns_veth_destroy(ns);
        return -1;
    }
    return 0;
}

int netns_veth_enter(netns_veth_t *ns) {
    if (ns->ns_fd < 0 || ns->home_fd >= 0) return -1;
    ns->home_fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (ns->home_fd < 0) return -1;
    if (setns(ns->ns_fd, CLONE_NEWNET) != 0) {
        close(ns->home_fd);
        ns->home_fd = -1;
        return -1;
    }
    return 0;
}

int netns_veth_leave(netns_veth_t *ns) {
    if (ns->home_fd < 0) return -1;
    int rc = setns(ns->home_fd, CLONE_NEWNET);
    close(ns->home_fd);
    ns->home_fd = -1;
    return rc == 0 ? 0 : -1;
}

void netns_veth_destroy(netns_veth_t *ns) {
    if (ns->home_fd >= 0) netns_veth_leave(ns);
    if (ns->ns_fd >= 0) close(ns->ns_fd);
    ns->ns_fd = -1;
    if (ns->name[0] != 0) run_quiet(std::string("ip netns del ") + ns->name);
    ns->name[0] = 0;
}

int netns_capture_open(netns_capture_t *cap, const char *ifname, bool outgoing_only) {
    cap->skip_outgoing = outgoing_only;
    cap->fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (cap->fd < 0) return -1;
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof(sll));
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)if_nametoindex(ifname);
    if (sll.sll_ifindex == 0 || bind(cap->fd, (struct sockaddr *)&sll, sizeof(sll)) != 0) {
        close(cap->fd);
        cap->fd = -1;
        return -1;
    }
    return 0;
}

int netns_capture_next(netns_capture_t *cap, uint8_t *buf, int size, int timeout_ms,
                       uint16_t ethertype) {
    if (cap->fd < 0) return -1;
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) return 0;
        struct pollfd pfd = {cap->fd, POLLIN, 0};
        int rc = poll(&pfd, 1, (int)left);
        if (rc < 0) return -1;
        if (rc == 0) return 0;
        struct sockaddr_ll from;
        socklen_t flen = sizeof(from);
        ssize_t n = recvfrom(cap->fd, buf, (size_t)size, 0, (struct sockaddr *)&from, &flen);
        if (n < 14) continue;
        if (cap->skip_outgoing && from.sll_pkttype != PACKET_OUTGOING) continue;
        int off = 12;
        if (buf[12] == 0x81 && buf[13] == 0x00 && n >= 18) off = 16;
        if (((uint16_t)buf[off] << 8 | buf[off + 1]) == ethertype) return (int)n;
    }
}

void netns_capture_drain(netns_capture_t *cap) {
    uint8_t scratch[2048];
    while (cap->fd >= 0 && recv(cap->fd, scratch, sizeof(scratch), MSG_DONTWAIT) > 0) {
    }
}

void netns_capture_close(netns_capture_t *cap) {
    if (cap->fd >= 0) close(cap->fd);
    cap->fd = -1;
}
