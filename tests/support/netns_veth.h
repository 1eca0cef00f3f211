// A throw-away network namespace holding one veth pair, so tests put real frames on a
// real link without touching the host's interfaces; plus an AF_PACKET capture of one
// interface. Needs root (CAP_NET_ADMIN, CAP_SYS_ADMIN); callers skip visibly without.
#pragma once

#include <cstdint>
#include <string>

struct netns_veth_t {
    char name[32];  // namespace name, unique per process and tag
    char if_a[16];  // the end the code under test sends on
    char if_b[16];  // the end the test captures on
    int ns_fd;      // the namespace, for setns
    int home_fd;    // the thread's namespace before netns_veth_enter
};

// Creates the namespace and the pair (both ends up, fixed MACs 02:00:00:00:aa:01 on
// if_a and 02:00:00:00:bb:01 on if_b). 0; -1 with the reason in *why.
int netns_veth_create(netns_veth_t *ns, const char *tag, std::string *why);
// Moves the calling thread into the namespace; threads it starts afterwards (and
// sockets it opens) live there too. 0 or -1.
int netns_veth_enter(netns_veth_t *ns);
// Back to the namespace the thread came from. 0 or -1.
int netns_veth_leave(netns_veth_t *ns);
// Leaves if entered, deletes the namespace (and with it the pair).
void netns_veth_destroy(netns_veth_t *ns);
// Runs "ip -n <ns> <args>" quietly; the exit status.
int netns_ip(const netns_veth_t *ns, const std::string &args);

struct netns_capture_t {
    int fd;
    bool skip_outgoing;  // on lo every frame shows twice: keep only PACKET_OUTGOING
};

// Captures every frame of ifname in the calling thread's namespace. 0 or -1.
int netns_capture_open(netns_capture_t *cap, const char *ifname, bool outgoing_only = false);
// The next frame whose EtherType (behind an optional 802.1Q tag) is ethertype, within
// timeout_ms: its length, 0 at time-out, -1 on error.
int netns_capture_next(netns_capture_t *cap, uint8_t *buf, int size, int timeout_ms,
                       uint16_t ethertype);
// Drops everything queued so far.
void netns_capture_drain(netns_capture_t *cap);
void netns_capture_close(netns_capture_t *cap);
