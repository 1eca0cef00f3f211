// app_ZQHW: brings the terminal up in its fixed order, parks the main thread while
// the link workers run, and undoes it all in reverse if ever told to return.
#include "main.h"

#include <csignal>
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
int main(void) {
    signal(SIGPIPE, SIG_IGN);

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

    ccu_TCU_exit();
    tcu_BSP_exit();
    tcu_config_exit();
    clog_exit();
    return 0;
}
#endif
