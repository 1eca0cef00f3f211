// Placeholder logger: prints straight to standard output until the ring-buffered
// writer lands.
#include "logger.h"

#include <cstdarg>
#include <cstdio>

void clog_init(const char *, int, int) {}

int clog_print(int level, const char *tag, const char *FUNCNAME, const char *, int LINENO,
               const char *format, ...) {
    char line[512];
    int n = snprintf(line, sizeof line, "[%d][%s][%s:%d] ", level, tag ? tag : "", FUNCNAME, LINENO);
    va_list ap;
    va_start(ap, format);
    if (n > 0 && n < (int)sizeof line) vsnprintf(line + n, sizeof line - (size_t)n, format, ap);
    va_end(ap);
    fputs(line, stdout);
    return n;
}

void clog_bind_serverip(const char *, uint16_t) {}
void clog_exit(void) { fflush(stdout); }
