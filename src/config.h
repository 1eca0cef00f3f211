// The installation settings from /home/root/etc/tcu_config.json.
#pragma once

#include <cstdint>

struct modbus_hw_config_t {
    char *serverip;
    char *port;
    int16_t enable_ssl;
    int16_t maxI_GUNA;
    int16_t maxI_GUNB;
};

struct tcu_config_t {
    int16_t tcu_id;
    int16_t enable_modbus_hw;
    int16_t enable_hmi;
    int16_t enable_ocpp;
    char *ast_tty;
    char *ifname;
    char *zqlog_ip;
    int32_t zqlog_port;
    modbus_hw_config_t modbus_hw;
};

extern tcu_config_t tcu_config;

void tcu_config_init(const char *path);
void tcu_config_save(const char *path);
void tcu_config_exit(void);
