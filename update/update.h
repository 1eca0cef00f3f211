// Firmware updater: answers the HMI board's version queries for the terminal program and
// installs a new program image it offers, as a versioned file behind the fixed program link.
// A separate, single-threaded program; shares nothing with the terminal but the file layout.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// The HMI's default port and address on the dispenser's internal network.
constexpr int ZQ_UPDATE_DEFAULT_PORT = 20248;
constexpr const char *ZQ_UPDATE_DEFAULT_ADDR = "192.168.1.10";

constexpr int ZQ_UPDATE_BUFF_SIZE = 1024;    // one message line or one file chunk
constexpr int ZQ_UPDATE_ADDR_SIZE = 64;      // dotted-decimal text and its terminator
constexpr int ZQ_UPDATE_PATH_SIZE = 256;     // link target and installation paths
constexpr int ZQ_UPDATE_TRAILER_SIZE = 128;  // signature trailer at the end of a signed image

// Installation state.
enum zq_update_state {
    ZQ_STATE_IDLE = 0,         // nothing downloaded yet
    ZQ_STATE_COMPLETE = 2,     // exactly file_size bytes received and on disk
    ZQ_STATE_SHORT = 3,        // transfer ended short, or the file could not be written
    ZQ_STATE_INSTALLED = 4,    // installation steps run
    ZQ_STATE_DOWNLOADING = 5,  // file open, bytes arriving
};

// A version on trial: the program the record names as new is confirmed once one process
// running that very file has been seen at every look for the confirmation period; it is
// rolled back when that has not happened by the end of the trial window.
struct zq_trial_t {
    int active = 0;
    char newfile[ZQ_UPDATE_PATH_SIZE] = {};   // the version on trial
    char previous[ZQ_UPDATE_PATH_SIZE] = {};  // the last confirmed version, the way back
    uint64_t dev = 0, ino = 0;                // the file behind newfile
    int pid = 0;                              // the process watched, 0 while none runs the file
    uint64_t started = 0;                     // its start time (clock ticks after boot)
    int64_t seen_ms = 0;                      // the first look that found it
    int64_t end_ms = 0;                       // end of the trial window
    int64_t next_look_ms = 0;
};

struct zq_update_t {
    int quit = 0;
    int sock = -1;
    int state = ZQ_STATE_IDLE;
    struct sockaddr_in addr = {};
    socklen_t addrlen = 0;
    // One spare byte: the buffer is always terminated, even behind a full 1024-byte line.
    char rx_buff[ZQ_UPDATE_BUFF_SIZE + 1] = {};
    int rx_bytes = 0;
    char tx_buff[ZQ_UPDATE_BUFF_SIZE] = {};
    int file_size = 0;
    int new_version[3] = {};
    int app_version[3] = {};
    char serverip[ZQ_UPDATE_ADDR_SIZE] = {};
    int port = 0;
    // The last bytes of the image (at most the trailer's 128), held back from the file while
    // they arrive: a signed image is installed without its trailer.
    uint8_t tail[ZQ_UPDATE_TRAILER_SIZE] = {};
    int tail_bytes = 0;
    int64_t start_ms = 0;  // monotonic clock at program start; the trial window counts from it
    zq_trial_t trial;
};

extern zq_update_t update;

int zq_update_init(zq_update_t *upd);
int zq_update_loop(zq_update_t *upd);
int zq_update_exit(zq_update_t *upd);

int android_connect(zq_update_t *upd);
int wait_android_message(zq_update_t *upd);
int android_LoadVersion(zq_update_t *upd, const char *linkname);
int android_DowanloadFile(zq_update_t *upd, const char *filename);
int android_Upgrade(zq_update_t *upd, const char *linkname, const char *filename);
int android_Reboot(zq_update_t *upd);

int android_NotifyUpdateFirmware_res(zq_update_t *upd, const char *status);
int android_RequestUpdateFirmware_req(zq_update_t *upd, const int version[3]);
int android_NotifyUpdateFirmwareResult_res(zq_update_t *upd, const char *status,
                                           const int version[3]);
int android_GetFirmwareVersion_res(zq_update_t *upd);

// Parses an offer line completely: Size and all three version numbers (what follows the third
// number is not read). 0 when the offer can be taken, negative otherwise; fields that did not
// parse are 0, never left over from an earlier offer.
int android_ParseOffer(const char *line, int *size, int version[3]);

// Host runs: every fixed absolute path resolves under TCU_ROOT when it is set and non-empty.
int update_path(char *dst, size_t size, const char *fixed);

// 0 when the file begins with an ELF header of an executable for this very machine.
int update_check_elf(const char *filename);

// The signature trailer of an image of `size` bytes whose last 128 bytes are `trailer`:
//   0-7 "TCUSIG01", 8-15 N = size - 128 (u64 LE), 16-21 the version a.b.c (three u16 LE),
//   22-63 zero, 64-127 the Ed25519 signature of the program and trailer bytes 0-63.
// 1 when the bytes carry no trailer magic (an unsigned image); 0 when the trailer is well
// formed and names `version`; -1 null argument, -2 N does not match the size, -3 bytes 22-63
// are not zero, -4 another version.
int update_parse_trailer(const uint8_t trailer[ZQ_UPDATE_TRAILER_SIZE], long size,
                         const int version[3]);

// The key images must be signed with. Built with a key (ZQ_UPDATE_PUBLIC_KEY), that key and
// never a file. Otherwise the key of "/home/root/etc/zq_update.pub": 0 with the key in pub; 1
// when the file does not exist (images are not verified); negative when it exists but cannot be
// used, which fails every image: -1 not examinable, -2 not readable (a symbolic link included),
// -3 no regular file, -4 group- or other-writable, -5 owned by another user, -6 too large, -7
// not an Ed25519 public key in PEM, -8 a key of small order. `why` receives a short reason.
int update_load_key(uint8_t pub[32], const char **why);

// Monotonic clock in milliseconds: every deadline and wait of the updater runs on it.
int64_t update_now_ms(void);

// Loads the trial record left by an installation (at start, and after each installation).
// 0 when there is none or it was unusable (removed), 1 when a trial now runs.
int update_trial_load(zq_update_t *upd, int64_t window_from_ms);
// One look at a running trial (at most every 250 ms, from every wait of the updater): confirms
// the version or rolls it back. 0 while undecided or without trial, 1 confirmed, 2 rolled
// back, negative when the rollback failed (the record stays for the next start).
int update_trial_watch(zq_update_t *upd);
