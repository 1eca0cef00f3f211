// Real peers of the gun state hub for tests: a TCP power unit that the Modbus link
// connects to and whose received register reports are parsed, and an AF_PACKET
// capture of the GOOSE frames leaving on the loopback interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One unsolicited register report (function 0x41) as the power unit receives it.
struct HubReport {
    uint16_t seq = 0;
    uint16_t addr = 0;
    std::vector<uint16_t> values;
};

// Listens on 127.0.0.1 (ephemeral port); the link connects to it.
class PowerUnitPeer {
  public:
    PowerUnitPeer();
    ~PowerUnitPeer();
    const char *port() const { return port_.c_str(); }
    // Accepts the link's connection; false when none came within timeout_ms.
    bool accept_link(int timeout_ms = 5000);
    int fd() const { return conn_; }
    // Bytes queued for reading right now.
    int pending() const;
    // One whole Modbus TCP frame (MBAP length honoured); empty on time-out or close.
    std::vector<uint8_t> read_frame(int timeout_ms);
    // Next frame parsed as a register report; false on time-out or when the frame is
    // not a well-formed report (*error says why).
    bool read_report(HubReport *r, int timeout_ms, std::string *error = nullptr);
    bool send_bytes(const std::vector<uint8_t> &bytes);

  private:
    int listen_ = -1;
    int conn_ = -1;
    std::string port_;
};

// Checks every fixed byte of a report frame; false with a reason otherwise.
bool parse_hub_report(const std::vector<uint8_t> &frame, HubReport *r, std::string *error);

struct GooseFrame {
    uint8_t dst[6] = {};
    uint8_t src[6] = {};
    uint16_t appid = 0;
    std::string goID;
    uint32_t stNum = 0;
    uint32_t sqNum = 0;
    // Data-set entries in order: tag 0x86 (unsigned) or 0x87 (float bits) and the
    // value (16 or 32 bits).
    std::vector<std::pair<uint8_t, uint32_t>> entries;
    float f(size_t i) const;
};

// Parses an Ethernet GOOSE frame (no VLAN tag); false when it is not one.
bool parse_goose(const uint8_t *buff, int len, GooseFrame *g);

// Outgoing GOOSE frames (EtherType 0x88B8) on `lo`. Needs CAP_NET_RAW.
class GooseCapture {
  public:
    GooseCapture();
    ~GooseCapture();
    bool ok() const { return fd_ >= 0; }
    // Next outgoing GOOSE frame; false on time-out.
    bool next(GooseFrame *g, int timeout_ms);
    // Drops what is queued.
    void drain();
    // Only frames whose destination MAC starts with these bytes count: other tests
    // may publish on lo at the same time.
    void only_dst_prefix(const uint8_t *prefix, int n);

  private:
    int fd_ = -1;
    uint8_t prefix_[6] = {};
    int prefix_len_ = 0;
};
