// A service manager's end of the notification protocol: a datagram socket bound to a
// path or an abstract name ('@...'), read as the manager reads it.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

struct notify_listener_t {
    int fd = -1;
    std::string name;  // as NOTIFY_SOCKET names it

    // Binds to name (absolute path or '@' + abstract name). false on failure.
    bool open(const std::string &n) {
        name = n;
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        // A path needs its NUL in sun_path; an abstract name spends it on the leading NUL.
        if (n.empty() || n.size() > sizeof a.sun_path) return false;
        if (n[0] != '@' && n.size() == sizeof a.sun_path) return false;
        memcpy(a.sun_path, n.data(), n.size());
        socklen_t len = (socklen_t)(offsetof(sockaddr_un, sun_path) + n.size());
        if (n[0] == '@') {
            a.sun_path[0] = '\0';
        } else {
            unlink(n.c_str());
            len++;
        }
        return bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0;
    }
    // The next datagram, waiting at most wait_ms; "" when none came.
    std::string next(int wait_ms = 10000) {
        timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, (size_t)n) : std::string();
    }
    // What is queued now, without waiting: every send is synchronous on this socket
    // type, so a datagram sent before the call is already here.
    std::string pending() {
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, (size_t)n) : std::string();
    }
    ~notify_listener_t() {
        if (fd >= 0) close(fd);
        if (!name.empty() && name[0] == '/') unlink(name.c_str());
    }
};
