// Certificates and a TLS server for the Modbus TCP link tests.
#include "support/tls_peer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "tc_system.h"

namespace {

bool run(const std::string &cmd) {
    std::string full = cmd + " >/dev/null 2>&1";
    return system(full.c_str()) == 0;
}

bool make_ca(const std::string &dir, const std::string &name) {
    return run("cd " + dir +
               " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
               " -nodes -keyout " +
               name + ".key -out " + name + ".crt -days 2 -subj '/CN=Test " + name + "'");
}

bool make_leaf(const std::string &dir, const std::string &name, const std::string &ca,
               const std::string &cn) {
    return run("cd " + dir +
               " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
               " -nodes -keyout " +
               name + ".key -out " + name + ".csr -subj '/CN=" + cn +
               "' && openssl x509 -req -in " + name + ".csr -CA " + ca + ".crt -CAkey " + ca +
               ".key -CAcreateserial -out " + name + ".crt -days 2");
}

bool copy_file(const std::string &from, const std::string &to) {
    if (from.empty()) {
        unlink(to.c_str());
        return true;
    }
    return run("cp '" + from + "' '" + to + "'");
}

}  // namespace

// The set is made once per build tree and kept for a day: every test process of
// the suite (ctest runs each case alone, two at a time under -j2) reuses it instead
// of generating keys again. A lock file beside the cache keeps makers and users
// apart: a user holds it shared for its whole life, a maker exclusively, so no
// process ever loads half of one set and half of another, or a set being removed.
TlsCerts::TlsCerts(const std::string &cache) {
    lock_fd_ = open((cache + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    auto fresh = [&] {
        struct stat st;
        return stat((cache + "/done").c_str(), &st) == 0 && time(nullptr) - st.st_mtime < 86400;
    };
    if (lock_fd_ >= 0) flock(lock_fd_, LOCK_SH);
    if (!fresh()) {
        // Give up the shared hold and make (or find made) the set under the exclusive one.
        if (lock_fd_ >= 0) flock(lock_fd_, LOCK_EX);
        if (!fresh()) {
            std::string tmp = cache + ".tmp" + std::to_string(getpid());
            run("rm -rf '" + tmp + "' && mkdir -p '" + tmp + "'");
            bool made = make_ca(tmp, "ca1") && make_ca(tmp, "ca2") &&
                        make_leaf(tmp, "server1", "ca1", "power-unit") &&
                        make_leaf(tmp, "server2", "ca2", "impostor") &&
                        make_leaf(tmp, "client1", "ca1", "terminal") &&
                        make_leaf(tmp, "client2", "ca2", "terminal2") &&
                        run("cd " + tmp +
                            " && openssl pkey -in client1.key -aes256 -passout pass:secret -out "
                            "client1_enc.key"
                            " && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 "
                            "-out rsa.key && touch done");
            if (made) run("rm -rf '" + cache + "' && mv -T '" + tmp + "' '" + cache + "'");
            run("rm -rf '" + tmp + "'");
        }
        if (lock_fd_ >= 0) flock(lock_fd_, LOCK_SH);
    }
    struct stat st;
    ok = stat((cache + "/done").c_str(), &st) == 0;
    char tmpl[] = "/tmp/tls_root_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir = tmpl;
    ok = ok && !dir.empty();
    ca1 = cache + "/ca1.crt";
    ca2 = cache + "/ca2.crt";
    server1_crt = cache + "/server1.crt";
    server1_key = cache + "/server1.key";
    server2_crt = cache + "/server2.crt";
    server2_key = cache + "/server2.key";
    client1_crt = cache + "/client1.crt";
    client1_key = cache + "/client1.key";
    client1_key_enc = cache + "/client1_enc.key";
    client2_crt = cache + "/client2.crt";
    client2_key = cache + "/client2.key";
    rsa_key = cache + "/rsa.key";
}

TlsCerts::~TlsCerts() {
    if (!dir.empty()) run("rm -rf '" + dir + "'");
    if (lock_fd_ >= 0) close(lock_fd_);  // releases the shared hold on the cache
}

bool TlsCerts::install(const std::string &root, const std::string &ca, const std::string &crt,
                       const std::string &key) const {
    std::string etc = root + "/home/root/etc";
    return run("mkdir -p '" + etc + "'") && copy_file(ca, etc + "/ca.crt") &&
           copy_file(crt, etc + "/client.crt") && copy_file(key, etc + "/client.keyp");
}

TlsServer::TlsServer(const TlsServerOptions &opt) : tcp_(8) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx_, opt.version);
    SSL_CTX_set_max_proto_version(ctx_, opt.version);
    // OpenSSL 3 offers versions before 1.2 only at security level 0: an old power
    // unit must really offer TLS 1.1 for the terminal to refuse it.
    if (opt.version < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx_, 0);
    if (!opt.tls12_ciphers.empty() && SSL_CTX_set_cipher_list(ctx_, opt.tls12_ciphers.c_str()) != 1)
        last_error = "server cipher list";
    if (SSL_CTX_use_certificate_file(ctx_, opt.cert.c_str(), SSL_FILETYPE_PEM) <= 0 ||
        SSL_CTX_use_PrivateKey_file(ctx_, opt.key.c_str(), SSL_FILETYPE_PEM) <= 0 ||
        SSL_CTX_load_verify_locations(ctx_, opt.verify_ca.c_str(), nullptr) <= 0)
        last_error = "server credentials";
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
}

TlsServer::~TlsServer() {
    if (th_.joinable()) th_.join();
    cut();
    SSL_CTX_free(ctx_);
}

void TlsServer::start_accept(int timeout_ms) {
    if (th_.joinable()) th_.join();
    cut();
    result_ = -1;
    th_ = std::thread([this, timeout_ms] {
        if (!tcp_.accept_within(timeout_ms)) return;
        fd_ = dup(tcp_.conn());
        tcp_.cut();
        timeval tv = {5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        ERR_clear_error();
        if (SSL_accept(ssl_) == 1) {
            result_ = 1;
            fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        } else {
            char buf[256];
            ERR_error_string_n(ERR_peek_last_error(), buf, sizeof buf);
            last_error = buf;
            result_ = 0;
        }
    });
}

int TlsServer::wait_handshake() {
    if (th_.joinable()) th_.join();
    return result_;
}

int TlsServer::count_plain_accepts(int ms) {
    int n = 0;
    int64_t deadline = monotime_ms() + ms;
    for (;;) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) break;
        if (tcp_.accept_within((int)left)) {
            n++;
            tcp_.cut();
        }
    }
    return n;
}

bool TlsServer::send_bytes(const mb_bytes &b) {
    if (ssl_ == nullptr) return false;
    size_t off = 0;
    int64_t deadline = monotime_ms() + 5000;
    while (off < b.size() && monotime_ms() < deadline) {
        int r = SSL_write(ssl_, b.data() + off, (int)(b.size() - off));
        if (r > 0) {
            off += (size_t)r;
            continue;
        }
        int err = SSL_get_error(ssl_, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
        pollfd p = {fd_, (short)(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        poll(&p, 1, 100);
    }
    return off == b.size();
}

mb_bytes TlsServer::seal(const mb_bytes &b) {
    mb_bytes raw;
    if (ssl_ == nullptr) return raw;
    BIO *sock = SSL_get_wbio(ssl_);
    BIO_up_ref(sock);
    BIO *mem = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl_, mem);
    if (SSL_write(ssl_, b.data(), (int)b.size()) == (int)b.size()) {
        char *data = nullptr;
        long n = BIO_get_mem_data(mem, &data);
        raw.assign(data, data + n);
    }
    SSL_set0_wbio(ssl_, sock);  // frees mem
    return raw;
}

bool TlsServer::send_raw(const mb_bytes &raw) {
    size_t off = 0;
    int64_t deadline = monotime_ms() + 5000;
    while (off < raw.size() && monotime_ms() < deadline) {
        ssize_t r = send(fd_, raw.data() + off, raw.size() - off, MSG_NOSIGNAL);
        if (r > 0) {
            off += (size_t)r;
            continue;
        }
        pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return off == raw.size();
}

// Appends decrypted bytes to pending_; false on time-out, close or error.
bool TlsServer::read_some(int timeout_ms) {
    if (ssl_ == nullptr) return false;
    int64_t deadline = monotime_ms() + timeout_ms;
    for (;;) {
        uint8_t buf[2048];
        int r = SSL_read(ssl_, buf, sizeof buf);
        if (r > 0) {
            pending_.insert(pending_.end(), buf, buf + r);
            return true;
        }
        int err = SSL_get_error(ssl_, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
        int64_t left = deadline - monotime_ms();
        if (left <= 0) return false;
        pollfd p = {fd_, POLLIN, 0};
        poll(&p, 1, (int)left);
    }
}

mb_bytes TlsServer::read_frame(int timeout_ms) {
    int64_t deadline = monotime_ms() + timeout_ms;
    for (;;) {
        if (pending_.size() >= 6) {
            size_t total = 6 + (size_t)((pending_[4] << 8) | pending_[5]);
            if (pending_.size() >= total) {
                mb_bytes f(pending_.begin(), pending_.begin() + (long)total);
                pending_.erase(pending_.begin(), pending_.begin() + (long)total);
                return f;
            }
        }
        int64_t left = deadline - monotime_ms();
        if (left <= 0 || !read_some((int)left)) return {};
    }
}

bool TlsServer::closed_within(int timeout_ms) {
    int64_t deadline = monotime_ms() + timeout_ms;
    for (;;) {
        int64_t left = deadline - monotime_ms();
        if (left <= 0) return false;
        if (!read_some((int)left)) return monotime_ms() < deadline;
        pending_.clear();
    }
}

void TlsServer::cut() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}
