// The installation settings from /home/root/etc/tcu_config.json: loaded once at
// start-up into tcu_config, written back at shutdown.
#pragma once

#include <cstdint>

struct modbus_hw_config_t {
    char *serverip;
    char *port;
    int16_t enable_ssl;
    int16_t maxI_GUNA;
    int16_t maxI_GUNB;
    // Optional: the name (or IP address) the power unit's TLS certificate must carry.
    // Absent: any certificate from the CA is accepted, and the key is not written back.
    char *server_name;
    // Optional: an OpenSSL cipher string that limits the TLS 1.2 suites offered.
    // Absent: the library's default list; not written back either.
    char *tls_ciphers;
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

// Clears tcu_config and fills it from the file. A key that is missing or not a JSON
// string leaves its field 0 or absent (null text), with one log line naming it.
void tcu_config_init(const char *path);
// Writes tcu_config to the file through a temporary file renamed over it. Refused
// (logged) while the record holds no loaded configuration: after a load that found
// no file or no valid JSON, or one with a value that was present but not a string.
void tcu_config_save(const char *path);
// Writes the record back to the file tcu_config_init read.
void tcu_config_exit(void);
