// Scripted HMI board for the updater tests: TCP server, updater child process, temporary root.
#include "support/hmi_peer.h"

#include <ctime>
#include "support/emu_detect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

}  // namespace

// ---- HmiServer -----------------------------------------------------------------------------

HmiServer::HmiServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(listen_fd_, (sockaddr *)&addr, sizeof addr) == 0 && listen(listen_fd_, 4) == 0) {
        socklen_t len = sizeof addr;
        getsockname(listen_fd_, (sockaddr *)&addr, &len);
        port_ = ntohs(addr.sin_port);
    }
}

HmiServer::~HmiServer() {
    cut();
    if (listen_fd_ >= 0) close(listen_fd_);
}

bool HmiServer::accept_within(int timeout_ms) {
    cut();
    pollfd pfd = {listen_fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1) return false;
    conn_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    pending_.clear();
    chunk_ns_.clear();
    if (conn_ < 0) return false;
    int on = 1;
    setsockopt(conn_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    return true;
}

bool HmiServer::send_bytes(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(conn_, p + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

std::string HmiServer::read_line(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            // The chunk that held the line feed dates the line; offsets move up.
            line_ns_ = 0;
            for (const auto &c : chunk_ns_) {
                if (c.first > lf) {
                    line_ns_ = c.second;
                    break;
                }
            }
            std::vector<std::pair<size_t, int64_t>> rest;
            for (const auto &c : chunk_ns_) {
                if (c.first > lf + 1) rest.emplace_back(c.first - (lf + 1), c.second);
            }
            chunk_ns_ = rest;
            return line;
        }
        pollfd pfd = {conn_, POLLIN, 0};
        if (poll(&pfd, 1, ms_left(deadline)) != 1) return "";
        char buf[512];
        alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(timespec))];
        iovec iov = {buf, sizeof buf};
        msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctrl;
        msg.msg_controllen = sizeof ctrl;
        ssize_t n = recvmsg(conn_, &msg, 0);
        if (n <= 0) return "";
        int64_t at = 0;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof ts);
                at = (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
            }
        }
        // The kernel may deliver the first segments of a new socket unstamped while it
        // turns receive stamps on; the read time then stands in (never earlier than the
        // arrival, so a lower bound between two lines stays sound).
        if (at == 0) {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            at = (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
        }
        pending_.append(buf, (size_t)n);
        chunk_ns_.emplace_back(pending_.size(), at);
    }
}

bool HmiServer::quiet_for(int ms) {
    if (!pending_.empty()) return false;
    pollfd pfd = {conn_, POLLIN, 0};
    if (poll(&pfd, 1, ms) == 0) return true;
    char c;
    return recv(conn_, &c, 1, MSG_PEEK) == 0;  // a close is no message
}

bool HmiServer::closed_within(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd pfd = {conn_, POLLIN, 0};
        if (poll(&pfd, 1, ms_left(deadline)) != 1) return false;
        char buf[256];
        ssize_t n = recv(conn_, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

void HmiServer::cut() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
    pending_.clear();
    chunk_ns_.clear();
}

// ---- HmiUpdater ----------------------------------------------------------------------------

HmiUpdater::~HmiUpdater() {
    stop();
}

bool HmiUpdater::start(const std::string &binary, const std::vector<std::string> &args,
                       const std::map<std::string, std::string> &env) {
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0) env_text.push_back(entry);
    }
    for (const auto &[key, value] : env) env_text.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_text = {binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // The updater never outlives a crashed test.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(126);
        if (fsize_limit_ >= 0) {
            struct rlimit lim = {(rlim_t)fsize_limit_, (rlim_t)fsize_limit_};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        emu_execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    pid_ = pid;
    out_fd_ = fds[0];
    reader_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = read(out_fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(mu_);
            out_.append(buf, (size_t)n);
            cv_.notify_all();
        }
    });
    return true;
}

bool HmiUpdater::wait_output(const std::string &needle, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return out_.find(needle) != std::string::npos; });
}

std::string HmiUpdater::output() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

bool HmiUpdater::wait_exit(int timeout_ms, int *status) {
    if (pid_ < 0 || reaped_) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (status != nullptr) *status = st;
            return true;
        }
        if (ms_left(deadline) == 0) return false;
        usleep(10000);
    }
}

void HmiUpdater::stop() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    if (reader_.joinable()) reader_.join();
    if (out_fd_ >= 0) close(out_fd_);
    out_fd_ = -1;
}

// ---- HmiRoot -------------------------------------------------------------------------------

std::vector<unsigned char> hmi_read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void hmi_write_file(const std::string &path, const std::vector<unsigned char> &bytes, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    }
    chmod(path.c_str(), (mode_t)mode);
}

HmiRoot::HmiRoot() {
    char tmpl[] = "/tmp/zq_update_test_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    std::filesystem::create_directories(dir_ + "/home/root/bin");
    std::filesystem::create_directories(dir_ + "/home/root/etc");
    std::filesystem::create_directories(dir_ + "/bin");
    for (const char *name : {"pkill", "reboot"}) {
        std::string script =
            std::string("#!/bin/sh\necho ") + name + " \"$@\" >> '" + dir_ + "/calls.log'\n";
        // pkill stops the stand-in terminal of the test, if one runs, and nothing else.
        if (std::string(name) == "pkill") {
            script += "[ -f '" + dir_ + "/terminal.pid' ] && kill \"$(cat '" + dir_ +
                      "/terminal.pid')\" 2>/dev/null\nexit 0\n";
        }
        hmi_write_file(dir_ + "/bin/" + name,
                       std::vector<unsigned char>(script.begin(), script.end()), 0755);
    }
}

HmiRoot::~HmiRoot() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string HmiRoot::calls() const {
    auto bytes = hmi_read_file(dir_ + "/calls.log");
    return std::string(bytes.begin(), bytes.end());
}

void HmiRoot::install(const std::string &version, const std::vector<unsigned char> &bytes) {
    std::string file = bin("app_ZQHW_" + version);
    hmi_write_file(file, bytes, 0755);
    std::string link = bin("app_ZQHW");
    unlink(link.c_str());
    symlink(file.c_str(), link.c_str());
}

std::string HmiRoot::link_target() const {
    char buf[512] = {0};
    ssize_t n = readlink(bin("app_ZQHW").c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}
