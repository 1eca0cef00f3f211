// The one logging call of the terminal: coloured, time-stamped lines queued to a
// ring that a writer thread drains to standard output, rotating log files and a
// UDP log server.
#pragma once

#include <cstdint>

void clog_init(const char *log_filename, int max_filesize, int max_filenumb);
int clog_print(int level, const char *tag, const char *FUNCNAME, const char *FILENAME, int LINENO,
               const char *format, ...) __attribute__((format(printf, 6, 7)));
void clog_bind_serverip(const char *serverip, uint16_t port);
void clog_exit(void);

// Every caller logs with the tag "TCU" and its own function, file and line.
#define TCU_LOG(level, ...) clog_print((level), "TCU", __func__, __FILE__, __LINE__, __VA_ARGS__)
