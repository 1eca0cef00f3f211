// Placeholder of the Modbus TCP link to the power unit (replaced by the real link).
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct modbus_TCP_t {
    pthread_mutex_t mutex;
    std::atomic<int> quit;
    uint16_t regs_0x1100[160];
    uint16_t regs_0x1D00[160];
};

int modbus_TCP_init(modbus_TCP_t *dev, const char *server_ip, const char *server_port,
                    int ssl_enable, uint16_t tcu_id);
void *modbus_TCP_loop(void *argv);
void modbus_TCP_exit(modbus_TCP_t *dev);
