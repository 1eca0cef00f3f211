// Power-unit side of the Modbus TCP link for tests: a listener on 127.0.0.1 that
// takes the terminal's connection and raw MBAP framing written here (not by the code
// under test). The terminal's log lines are seen through support/log_tap.h.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

using mb_bytes = std::vector<uint8_t>;

// Request frames, every 16-bit field big-endian.
mb_bytes mb_read_req(uint16_t tid, uint16_t addr, uint16_t qty, uint8_t unit = 1);
mb_bytes mb_write1_req(uint16_t tid, uint16_t addr, uint16_t value, uint8_t unit = 1);
mb_bytes mb_writeN_req(uint16_t tid, uint16_t addr, const std::vector<uint16_t> &values,
                       uint8_t unit = 1);
// The report frame the terminal sends for N registers at addr.
mb_bytes mb_report_frame(uint16_t tid, uint16_t addr, const std::vector<uint16_t> &values);
std::string mb_hex(const mb_bytes &b);

// Reads exactly n bytes from fd within timeout_ms; fewer on time-out or close.
mb_bytes mb_read_exact(int fd, size_t n, int timeout_ms);
// One MBAP frame (7-byte header + length - 1); empty on time-out or close.
mb_bytes mb_read_frame(int fd, int timeout_ms);

class ModbusPeer {
  public:
    // backlog < 0: no listen() yet (call listen_now); port 0: any free port.
    explicit ModbusPeer(int backlog = 4, int port = 0);
    ~ModbusPeer();
    int port() const { return port_; }
    const char *port_text() const { return port_text_.c_str(); }
    bool listen_now(int backlog);
    bool accept_within(int timeout_ms);
    int conn() const { return conn_; }
    bool send_bytes(const mb_bytes &b);
    mb_bytes read_frame(int timeout_ms) { return mb_read_frame(conn_, timeout_ms); }
    // True when nothing arrives for ms milliseconds.
    bool quiet_for(int ms);
    // True when the terminal closes the connection within timeout_ms.
    bool closed_within(int timeout_ms);
    void cut();
    void close_listener();
    int listen_fd() const { return listen_fd_; }

  private:
    int listen_fd_ = -1;
    int conn_ = -1;
    int port_ = 0;
    std::string port_text_;
};

// A TCP port on 127.0.0.1 that nothing listens on, held bound for the rest of the
// process so that nobody else takes it.
int mb_closed_port(void);
// Binds port (0: any free one) on 127.0.0.1 without listening, SO_REUSEADDR set so this
// process can still listen on it: connects are refused and nobody else can take it.
// Returns the descriptor, -1 when the port cannot be bound.
int mb_hold_port(int port);
