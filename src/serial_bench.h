// Shared pieces of the serial loop-back bench tests.
#pragma once

#include <cstring>
#include <string_view>

#include "com_ttySx.h"

namespace serial_bench {

constexpr int kRecvBytes = 12;
constexpr int kRecvTimeoutMs = 1000;

// Sends a greeting with its terminating zero byte, as the far end expects.
inline int send_text(com_ttySx_t *tty, const char *text) {
    return com_ttySx_send(tty, const_cast<char *>(text), (int)strlen(text) + 1);
}

// The received bytes are not terminated: search only within what arrived.
inline bool holds(const char *buf, int n, const char *text) {
    if (n <= 0) return false;
    return std::string_view(buf, (size_t)n).find(text) != std::string_view::npos;
}

// Source file name without its directories, for the trace lines.
inline const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace serial_bench

#define SERIAL_BENCH_TRACE(key, value)                                                        \
    printf("%s(%d):%s | " key "=%d\n", serial_bench::base_name(__FILE__), __LINE__, __func__, \
           (int)(value))
