// app_ZQHW: brings the terminal up in its fixed order, parks the main thread while
// the link workers run, and on SIGTERM or SIGINT makes the guns safe and undoes it
// all in reverse.
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

// SIGTERM, SIGINT: the first asks for the orderly stop (the main thread does the
// work); a second one ends the process at once, after commanding the contactors
// open with the only calls a handler may make (open, write, close).
void on_stop_signal(int sig) {
    if (tc_stop_requested() == 0) {
        tc_stop_request();
        return;
    }
    for (const char *path : kmd_value_paths) {
        if (path[0] == '\0') continue;
        int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ssize_t n = write(fd, "1\n", 2);  // active low: 1 is open
        (void)n;
        close(fd);
    }
    _exit(128 + sig);
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

    // Reached on SIGTERM or SIGINT: the guns are made safe before anything stops.
    ccu_TCU_safe_stop();
    ccu_TCU_exit();
    tcu_BSP_exit();
    tcu_config_exit();
    TCU_LOG(3, "stopped\n");
    clog_exit();
    return 0;
}
#endif
