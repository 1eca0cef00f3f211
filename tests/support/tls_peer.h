// TLS side of the power unit for tests: certificates made at test time with the
// openssl command (two CAs, server and client pairs, an encrypted key), and a TLS
// server that takes the terminal's connection and speaks Modbus TCP frames.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/modbus_peer.h"

// Certificates from a per-build cache; dir is a temporary directory of this
// process (for the terminal's TCU_ROOT), removed by the destructor.
struct TlsCerts {
    std::string dir;
    // ca1 signs server1 and client1; ca2 signs server2 and client2.
    std::string ca1, ca2, server1_crt, server1_key, server2_crt, server2_key;
    std::string client1_crt, client1_key, client1_key_enc, client2_crt, client2_key;
    std::string rsa_key;  // a key of another type than every certificate's
    bool ok = false;

    explicit TlsCerts(const std::string &cache);
    ~TlsCerts();
    // Copies the terminal's three credential files under root/home/root/etc; an
    // empty source leaves that file absent.
    bool install(const std::string &root, const std::string &ca, const std::string &crt,
                 const std::string &key) const;

  private:
    int lock_fd_ = -1;  // shared hold on the cache while this set is in use
};

struct TlsServerOptions {
    std::string cert, key, verify_ca;  // verify_ca: CA that client certificates must chain to
    int version = TLS1_3_VERSION;      // the only version offered
    std::string tls12_ciphers = {};    // TLS 1.2 suites offered (OpenSSL string); empty: default
};

class TlsServer {
  public:
    explicit TlsServer(const TlsServerOptions &opt);
    ~TlsServer();
    int port() const { return tcp_.port(); }
    const char *port_text() const { return tcp_.port_text(); }
    // Accepts one connection and runs the handshake on a thread of its own, so that
    // the terminal's connect on the test thread can proceed.
    void start_accept(int timeout_ms = 8000);
    // 1 handshake done, 0 failed, -1 nothing accepted (waits for the thread).
    int wait_handshake();
    // Accepts and closes connections for ms milliseconds; returns how many came.
    int count_plain_accepts(int ms);
    bool send_bytes(const mb_bytes &b);
    mb_bytes read_frame(int timeout_ms);
    // The TLS records that carry b, as raw bytes on the wire (not sent), and raw
    // bytes written to the socket as they are: a record can be cut anywhere.
    mb_bytes seal(const mb_bytes &b);
    bool send_raw(const mb_bytes &raw);
    bool closed_within(int timeout_ms);
    void cut();
    std::string last_error;

  private:
    bool read_some(int timeout_ms);
    ModbusPeer tcp_;
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    int fd_ = -1;
    std::thread th_;
    int result_ = -1;
    mb_bytes pending_;
};
