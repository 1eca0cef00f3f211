// The one logging call of the terminal: coloured, time-stamped lines mirrored to a
// UDP log server and queued to a ring that a writer thread drains to standard
// output and to rotating, size- and count-limited log files.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <cstdio>

#include "tc_system.h"

void clog_init(const char *log_filename, int max_filesize, int max_filenumb);
int clog_print(int level, const char *tag, const char *FUNCNAME, const char *FILENAME, int LINENO,
               const char *format, ...) __attribute__((format(printf, 6, 7)));
void clog_bind_serverip(const char *serverip, uint16_t port);
void clog_exit(void);
// The same, but gives up on the writer after timeout_ms (negative: waits for good): 0
// stopped, 1 the writer still runs (blocked on a stalled standard output, say) and
// keeps its buffers; the process should then end with _exit.
int clog_exit_within(int timeout_ms);

// Every caller logs with the tag "TCU" and its own function, file and line.
#define TCU_LOG(level, ...) clog_print((level), "TCU", __func__, __FILE__, __LINE__, __VA_ARGS__)

// A line that a peer's input sets off (a Modbus frame, a controller or board reply,
// a TLS failure): each call site may write a burst of CLOG_RATE_BURST lines, then
// CLOG_RATE_LINES lines a second, so a peer can neither rotate the log history away
// nor wear the flash, while a power unit configuring the terminal, or writing once a
// second, is logged in full. What a site drops is summarised in one line
// "... %d similar lines suppressed" from the same site once the flood has been over
// for a second, and once a minute while it lasts.
struct clog_rate_t {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    const char *func = nullptr;  // the site, for its summary line
    const char *file = nullptr;
    int line = 0;
    int level = 0;
    bool used = false;      // the bucket has been filled once
    int64_t tokens = 0;     // thousandths of a line
    int64_t refill_ms = 0;  // last refill
    int suppressed = 0;     // dropped since the last summary
    int64_t first_ms = 0;   // first drop since the last summary
    int64_t last_ms = 0;    // latest drop
    bool listed = false;    // entered in the list the writer thread flushes
};
constexpr int CLOG_RATE_BURST = 20;
constexpr int CLOG_RATE_LINES = 5;
constexpr int CLOG_RATE_QUIET_MS = 1000;     // a flood is over after this long without a drop
constexpr int CLOG_RATE_SUMMARY_MS = 60000;  // a lasting flood is summarised this often
// 1 when the line may be written now; writes a due summary first.
int clog_rate_pass(clog_rate_t *rate, int level, const char *func, const char *file, int line);
// Writes the summaries of floods that are over (the writer thread calls it, tests may).
void clog_rate_flush(void);

// As TCU_LOG_PEER, logged under the function name func (a site that speaks for
// another operation).
#define CLOG_PEER(level, func, ...)                                                   \
    do {                                                                              \
        static clog_rate_t tcu_log_rate_;                                             \
        if (clog_rate_pass(&tcu_log_rate_, (level), (func), __FILE__, __LINE__) != 0) \
            clog_print((level), "TCU", (func), __FILE__, __LINE__, __VA_ARGS__);      \
    } while (0)
#define TCU_LOG_PEER(level, ...) CLOG_PEER((level), __func__, __VA_ARGS__)

constexpr int CLOG_RING_SIZE = 32768;
// A formatted line (colour, stamp, ids, tag, caller, message, reset) and the
// datagram "HW|" + line each fit in 512 bytes: the line is cut at 509.
constexpr int CLOG_DGRAM_SIZE = 512;
constexpr int CLOG_LINE_MAX = CLOG_DGRAM_SIZE - 3;
// "_YYYYMMDD_HHMMSS.log" after the base name.
constexpr int CLOG_NAME_SUFFIX = 20;

struct clog_t {
    char buff[CLOG_RING_SIZE];
    int idx_r;
    int idx_w;
    int bytes;
    sem_t sempare;  // set up once per process, never destroyed (see clog_init)
    pthread_mutex_t mutex;
    pthread_t threadID;
    char *log_pathname;
    char *log_filename;
    FILE *fp;
    int log_filesize;
    int max_filesize;
    int max_filenumb;
    time_t utc;
    struct tm ltm;
    std::atomic<int> quit;
    char **flist;
    time_t *flutc;
    int fnumb;
    std::atomic<int> zqlog_fd{-1};  // -1 until clog_bind_serverip; then kept for the process
    struct sockaddr_in peer_addr;
    socklen_t peer_addrlen;

    // Mirror destination as address << 16 | port, 0 while unbound: senders on any
    // thread read it without a lock while a rebind may change it.
    std::atomic<uint64_t> peer_dest;
    // Nonzero between clog_init and clog_exit: lines go to the ring, else to stdout.
    std::atomic<int> active;
    std::atomic<int> busy;  // the writer holds a chunk it has not finished writing
    char cur_name[512];     // name of the open file (never deleted by retention)
    int64_t reopen_ms;      // monotonic time of the last failed open/write
    char obuf[CLOG_RING_SIZE];
    // The writer is blocked waiting for a line (guarded by mutex): only then does a
    // caller pay for waking it.
    int writer_waiting;
};

// After a wake-up the writer lets lines gather this long before it looks again, so a
// steady trickle of lines costs the callers no wake-up each; a ring half full or
// clog_exit cuts the wait short.
constexpr int CLOG_BATCH_MS = 20;

extern clog_t clogger;

// Kept for its callers to come: clog_print sends its datagram itself.
int clog_sendto_serverip(const char *line, int len = -1);
void *clog_loop(void *arg);
int clog_fopen(clog_t *clog);
int clog_flast(clog_t *clog, time_t utc, const char *name);
int clog_fload(clog_t *clog);
// Kept for its callers to come: a debugging dump of the managed files.
void show_flist(clog_t *clog);

// Ring operations, used by clog_print and the writer.
int clog_ring_put(clog_t *clog, const char *line, int len);
int clog_ring_take(clog_t *clog, char *out);

// Parses "<base>_YYYYMMDD_HHMMSS.log" exactly; 0 and *utc set on a match, <0 otherwise.
int clog_parse_name(const char *base, const char *name, time_t *utc);

// 1 once every queued byte has been taken and written.
int clog_drained(void);
