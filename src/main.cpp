// app_ZQHW: brings the terminal up in its fixed order, parks the main thread while
// the link workers run, and on SIGTERM or SIGINT makes the guns safe, stops the
// workers and ends; a fatal signal opens the contactors on its way out.
#include "main.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "adcgpio.h"
#include "config.h"
#include "logger.h"
#include "tc_system.h"
#include "tc_thread.h"
#include "tc_tcu.h"

const char *config_filename = "/home/root/etc/tcu_config.json";
const char *months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
char app_version[128];

char *formatAppVersion(void) {
    const char *date = __DATE__;  // "Apr 25 2025"
    const char *time = __TIME__;  // "08:05:23"
    int month = 0;
    for (int i = 0; i < 12; i++) {
        if (strncmp(date, months[i], 3) == 0) {
            month = i + 1;
            break;
        }
    }
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    sscanf(date + 4, "%d %d", &day, &year);
    sscanf(time, "%d:%d:%d", &hour, &minute, &second);
    snprintf(app_version, sizeof app_version, "app_ZQHW_V1R1-%04d%02d%02d %02d:%02d:%02d", year,
             month, day, hour, minute, second);
    return app_version;
}

#ifndef TCU_LIB_NO_MAIN
namespace {

// The contactor value files, resolved before any signal can arrive.
char kmd_value_paths[4][256];

// Commands the four contactors open with the only calls a handler may make (open,
// write, close). A GPIO shell that had already started to write "0" may still land
// after this "1": the handler cannot wait for it.
void open_contactors_now(void) {
    for (const char *path : kmd_value_paths) {
        if (path[0] == '\0') continue;
        int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ssize_t n = write(fd, "1\n", 2);  // active low: 1 is open
        (void)n;
        close(fd);
    }
}

// SIGTERM, SIGINT: the first asks for the orderly stop (the main thread does the
// work); a second one ends the process at once, contactors open.
void on_stop_signal(int sig) {
    if (tc_stop_requested() == 0) {
        tc_stop_request();
        return;
    }
    open_contactors_now();
    _exit(128 + sig);
}

// SIGABRT (the service manager's watchdog, abort), SIGSEGV, SIGBUS, SIGILL, SIGFPE: the
// contactors open, then the signal ends the process as it would have (same status,
// core dump where enabled). Runs on the thread's alternate stack, so a stack overflow
// still gets here.
void on_fatal_signal(int sig) {
    open_contactors_now();
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Pending until the handler returns: a fault would come back anyway, a signal sent
    // by another process would not.
    raise(sig);
}

void install_stop_handlers(void) {
    for (int i = 0; i < 4; i++)
        get_KMD_value_path(i, kmd_value_paths[i], sizeof kmd_value_paths[i]);
    tc_stop_setup();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    tc_thread_altstack();
    struct sigaction fatal;
    memset(&fatal, 0, sizeof fatal);
    fatal.sa_handler = on_fatal_signal;
    sigfillset(&fatal.sa_mask);
    fatal.sa_flags = SA_ONSTACK;
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &fatal, nullptr);
}

}  // namespace

int main(void) {
    signal(SIGPIPE, SIG_IGN);
    install_stop_handlers();

    char path[512];
    tcu_path(path, sizeof path, "/home/root/log/tcu");
    clog_init(path, 0x2d00000, 7);

    char config_path[512];
    tcu_path(config_path, sizeof config_path, config_filename);
    tcu_config_init(config_path);

    printf("\n\r\tSW:%s\n", formatAppVersion());
    fflush(stdout);

    if (tcu_config.zqlog_ip != nullptr) {
        clog_bind_serverip(tcu_config.zqlog_ip, (uint16_t)tcu_config.zqlog_port);
    } else {
        TCU_LOG(1, "zqlog_ip not set: log mirror off\n");
    }

    tcu_BSP_init();
    for (int i = 0; i < 4; i++) set_GUNLED_on(i, 0);
    for (int i = 0; i < 4; i++) set_KMD_out(i, 0);

    ccu_TCU_init();
    ccu_TCU_run(0);

    // Reached on SIGTERM or SIGINT: the guns are made safe before anything stops. The
    // program then ends as it always has without a stop: the GPIO lines stay exported
    // (contactors driven open, LEDs off) and the configuration file stays as the
    // operator wrote it, so neither tcu_BSP_exit nor tcu_config_exit runs.
    ccu_TCU_safe_stop();
    int stuck = ccu_TCU_exit_within(TCU_STOP_JOIN_MS);
    if (stuck > 0)
        TCU_LOG(1, "stopped with %d worker(s) still running\n", stuck);
    else
        TCU_LOG(3, "stopped\n");
    // A worker or the log writer blocked on a stalled console does not hold the exit;
    // nothing that runs at exit may touch what they still use.
    if (clog_exit_within(TCU_STOP_JOIN_MS) != 0 || stuck > 0) _exit(0);
    return 0;
}
#endif
