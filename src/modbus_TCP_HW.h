// Modbus TCP link to the power unit: the terminal connects out (plain TCP or TLS
// with mutual certificates) and then serves the power unit's register requests on
// that connection, pushing unsolicited register reports (function 0x41) of its own.
#pragma once

#include <openssl/ssl.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "tc_system.h"

struct modbus_TCP_t;

// Transport of one connection, chosen when it is installed (plain socket or TLS),
// so that the receive and send paths never ask which one they run on.
// read:  > 0 bytes read, 0 nothing available yet, -1 end of stream, -2 error.
// write: > 0 bytes written, 0 would block (wait for *events), -2 error.
struct modbus_TCP_io_t {
    int (*read)(modbus_TCP_t *dev, uint8_t *buff, int size);
    int (*write)(modbus_TCP_t *dev, const uint8_t *buff, int size, short *events);
    int (*pending)(modbus_TCP_t *dev);  // bytes already decrypted, invisible to poll
};

// A connection being set up on the link's own thread, outside the mutex; it is
// installed into the record only once it is ready.
struct modbus_TCP_conn_t {
    int fd;
    SSL_CTX *ctx;
    SSL *ssl;
};

// Register reports wait here until the link's thread sends them: a report is built
// (values copied) when it is handed over, and numbered when it is sent.
constexpr int MODBUS_TCP_REPORT_QUEUE = 256;
constexpr int MODBUS_TCP_REPORT_REGS = 8;
struct modbus_TCP_report_t {
    uint16_t regaddr;
    uint16_t count;
    uint32_t conn_gen;  // the connection it was queued for
    uint64_t ticket;    // its place in the order of hand-overs
    uint16_t regs[MODBUS_TCP_REPORT_REGS];
};

struct modbus_TCP_t {
    pthread_mutex_t mutex;  // connection state and register image
    int ssl_enable;
    const char *serverip;  // borrowed from the configuration; null: not configured
    const char *port;
    int fd;  // -1 when disconnected; <= 0 counts as not connected
    std::atomic<int> quit;
    // One step per loop turn; the supervisor (tc_watch) sees a hang by it.
    std::atomic<uint32_t> heartbeat;
    SSL_CTX *ctx;
    SSL *ssl;
    uint8_t rx_buff[1024];
    int rx_bytes;
    uint8_t tx_buff[1024];
    int tx_bytes;
    uint8_t xx_buff[1024];
    int xx_bytes;
    uint16_t trans_ids[2];
    uint16_t seqnumb;

    // Register image (Modbus address -> element: see the window table in the .cpp).
    uint16_t regs_0x0000[43];
    uint16_t regs_0x0100[43];
    uint16_t regs_0x1000[38];
    uint16_t regs_0x1100[160];
    uint16_t regs_0x1D00[160];
    uint16_t regs_0x2000[23];
    uint16_t regs_0x2100[48];
    uint16_t regs_0x2D00[48];
    uint16_t regs_0x3000[5];
    uint16_t regs_0x3100[48];
    uint16_t regs_0x3D00[48];
    uint16_t regs_0x4000[256];

    // Link housekeeping.
    //
    // Locks: io_mutex serialises everything done on the socket (reads, writes,
    // installing and closing a connection) and is held across the waits for the
    // power unit; only the link's own thread takes it while the loop runs. mutex is
    // held only for short copies (register image, publishing fd), never across a
    // wait, so the controller and co-processor threads never wait on the network.
    // report_mutex guards the report queue. Order: io_mutex, then mutex or
    // report_mutex; never the reverse.
    pthread_mutex_t io_mutex;
    pthread_mutex_t report_mutex;
    const modbus_TCP_io_t *io;  // transport of the installed connection
    uint32_t conn_gen;          // bumped at every install and close
    int64_t next_connect_ms;    // monotonic: earliest next connection attempt
    int last_connect_ret;       // result of the last attempt
    // Last transport failure: the read or write call's own result, errno right after
    // it, its SSL_get_error code (0: not a TLS failure) and OpenSSL's queue entry.
    int io_ret;
    int io_errno;
    int io_ssl_code;
    unsigned long io_detail;
    int config_logged;              // the absent host/port was logged once
    tc_fail_gate_t connect_gate;    // repeated identical connection failures
    tc_fail_gate_t frame_gate;      // repeated frame-cutting complaints
    const char *server_name;        // TLS: name or address the certificate must match; null: any
    const char *tls_ciphers;        // TLS 1.2 suites (OpenSSL cipher string); null: the default
    int tls_ciphers_refused;        // the library refused tls_ciphers: no attempt is made
    std::atomic<int> wake_fd;       // eventfd: a report is queued, or quit was raised
    std::atomic<int> loop_running;  // the link's thread owns the socket
    pthread_t loop_thread;

    // Reports handed over by other threads, sent by the link's thread in order.
    modbus_TCP_report_t reports[MODBUS_TCP_REPORT_QUEUE];
    int report_head;                // oldest entry
    int report_count;               // entries queued
    uint32_t reports_dropped_full;  // the queue was full (the power unit stopped reading)
    uint32_t reports_dropped_gone;  // the connection ended before they were sent
    // Tickets: every queued report gets the next one; settled says up to which one
    // they have been handed to the socket (or dropped). report_cond signals a rise.
    uint64_t report_tickets;
    uint64_t report_settled;
    int report_waiters;
    int report_stalled;          // a wait timed out and nothing has been settled since
    pthread_cond_t report_cond;  // monotonic clock, with report_mutex
};

// Pause between connection attempts, and the bound of one attempt (TCP + TLS).
constexpr int MODBUS_TCP_RETRY_MS = 1000;
constexpr int MODBUS_TCP_CONNECT_MS = 3000;
constexpr int MODBUS_TCP_SEND_MS = 5000;
constexpr int MODBUS_TCP_RECV_MS = 1000;

// server_name (TLS only, may be null): the power unit's certificate must match it,
// as a DNS name or, when it parses as one, an IP address. tls_ciphers (TLS only, may
// be null): the TLS 1.2 suites offered; a string the library refuses fails every
// connection attempt with -8 (never the default list instead).
int modbus_TCP_init(modbus_TCP_t *dev, const char *server_ip, const char *server_port,
                    int ssl_enable, uint16_t tcu_id, const char *server_name = nullptr,
                    const char *tls_ciphers = nullptr);
int modbus_TCP_connect(modbus_TCP_t *dev);
// TLS client set-up on a connected socket held in conn (not yet installed): the
// socket on success, -1 .. -8 on failure (conn is then released, fd -1).
int modbus_TCP_init_SSL(modbus_TCP_t *dev, modbus_TCP_conn_t *conn, int64_t deadline_ms);
// Kept for its callers to come: closing frees the TLS objects itself.
// Shuts down and frees the installed TLS objects; the caller holds mutex.
int modbus_TCP_free_SSL(modbus_TCP_t *dev);
int modbus_TCP_recv_with_timeout(modbus_TCP_t *dev, int timeout);
int modebus_TCP_send(modbus_TCP_t *dev, const uint8_t *buff, int bytes);
void *modbus_TCP_loop(void *argv);
void modbus_TCP_exit(modbus_TCP_t *dev);
// Cuts and answers every complete request frame buffered in rx_buff (the loop's
// step after each receive); returns the number of frames answered.
int modbus_TCP_process_frames(modbus_TCP_t *dev);

void CRYPTO_thread_setup(void);
void CRYPTO_thread_cleanup(void);
// Kept for its callers to come: OpenSSL 3 calls neither.
void pthread_locking_callback(int mode, int type, const char *file, int line);
unsigned long pthreads_thread_id(void);

// Register image and request handling. The handlers read the request at the front
// of rx_buff and leave the response in tx_buff/tx_bytes.
int modbus_TCP_read_holding_registers(modbus_TCP_t *dev);
int modbus_TCP_write_single_register(modbus_TCP_t *dev);
int modbus_TCP_write_multiple_registers(modbus_TCP_t *dev);
int modbus_TCP_response_error(modbus_TCP_t *dev, uint8_t function, uint8_t errcode);
// Hands over an unsolicited report of N registers starting at regaddr, the values
// copied from regvalue (normally a pointer into the image) under mutex. Never waits
// on the network: from another thread the report is queued and the link's thread
// sends it; on the link's own thread (or while no loop runs) the queue is sent at
// once. Must be called without mutex held. 0 handed over; -1 not connected (or no
// record); -2 bad count; -3 queue full (dropped, counted, logged).
int modbus_TCP_report_registers(modbus_TCP_t *dev, uint16_t regaddr, const uint16_t *regvalue,
                                int N);
// The same, and *ticket names the report for modbus_TCP_report_wait (0: nothing to wait
// for, because it was not queued or is already on the socket).
int modbus_TCP_report_ticket(modbus_TCP_t *dev, uint16_t regaddr, const uint16_t *regvalue, int N,
                             uint64_t *ticket);
// Waits until the report of that ticket has been handed to the socket or dropped, at
// most timeout_ms. Never call it holding a link mutex. 0 settled, 1 the time-out came
// first, -1 no record.
int modbus_TCP_report_wait(modbus_TCP_t *dev, uint64_t ticket, int timeout_ms);
// Sends every queued report (the link's thread; takes io_mutex). Returns how many
// were sent.
int modbus_TCP_flush_reports(modbus_TCP_t *dev);
// Wakes the link's thread (a queued report, quit). Async-signal-safe.
void modbus_TCP_wake(modbus_TCP_t *dev);
// Register dump on standard output. Takes mutex: call it without mutex held.
void showRegs(modbus_TCP_t *dev);

// Address mapping of the image: the register behind a Modbus address for a read
// (function 3) or a write (functions 6, 16); null when the address is not served.
uint16_t *modbus_TCP_read_reg(modbus_TCP_t *dev, uint16_t addr);
uint16_t *modbus_TCP_write_reg(modbus_TCP_t *dev, uint16_t addr);
