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
    const char *name;
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
    pthread_mutex_t report_mutex;  // one report at a time in xx_buff; taken before mutex
    const modbus_TCP_io_t *io;     // transport of the installed connection
    uint32_t conn_gen;             // bumped at every install and close
    int64_t next_connect_ms;       // monotonic: earliest next connection attempt
    int last_connect_ret;          // result of the last attempt
    int io_error;                  // last transport failure: SSL_get_error code or errno
    unsigned long io_detail;       // OpenSSL error queue entry of that failure (0 plain)
    int config_logged;             // the absent host/port was logged once
    tc_fail_gate_t connect_gate;   // repeated identical connection failures
    tc_fail_gate_t frame_gate;     // repeated frame-cutting complaints
};

// Pause between connection attempts, and the bound of one attempt (TCP + TLS).
constexpr int MODBUS_TCP_RETRY_MS = 1000;
constexpr int MODBUS_TCP_CONNECT_MS = 3000;
constexpr int MODBUS_TCP_SEND_MS = 5000;
constexpr int MODBUS_TCP_RECV_MS = 1000;

int modbus_TCP_init(modbus_TCP_t *dev, const char *server_ip, const char *server_port,
                    int ssl_enable, uint16_t tcu_id);
int modbus_TCP_connect(modbus_TCP_t *dev);
// TLS client set-up on a connected socket held in conn (not yet installed): the
// socket on success, -1 .. -8 on failure (conn is then released, fd -1).
int modbus_TCP_init_SSL(modbus_TCP_t *dev, modbus_TCP_conn_t *conn, int64_t deadline_ms);
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
void pthread_locking_callback(int mode, int type, const char *file, int line);
unsigned long pthreads_thread_id(void);

// Register image and request handling. The handlers read the request at the front
// of rx_buff and leave the response in tx_buff/tx_bytes.
int modbus_TCP_read_holding_registers(modbus_TCP_t *dev);
int modbus_TCP_write_single_register(modbus_TCP_t *dev);
int modbus_TCP_write_multiple_registers(modbus_TCP_t *dev);
int modbus_TCP_response_error(modbus_TCP_t *dev, uint8_t function, uint8_t errcode);
// Builds and sends an unsolicited report of N registers starting at regaddr, the
// values read from regvalue (normally a pointer into the image) under mutex.
// Must be called without mutex held. 0 after the send, -1 if not connected.
int modbus_TCP_report_registers(modbus_TCP_t *dev, uint16_t regaddr, const uint16_t *regvalue,
                                int N);
// Register dump on standard output. Takes mutex: call it without mutex held.
void showRegs(modbus_TCP_t *dev);

// Address mapping of the image: the register behind a Modbus address for a read
// (function 3) or a write (functions 6, 16); null when the address is not served.
uint16_t *modbus_TCP_read_reg(modbus_TCP_t *dev, uint16_t addr);
uint16_t *modbus_TCP_write_reg(modbus_TCP_t *dev, uint16_t addr);
