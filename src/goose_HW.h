// Placeholder of the GOOSE publisher (replaced by the real publisher).
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct goose_HW_t {
    pthread_mutex_t mutex;
    std::atomic<int> quit;
    uint8_t src_mac[6];
};

int goose_HW_init(goose_HW_t *dev, const char *interfaceID, uint16_t connector_id);
void *goose_HW_loop(void *argv);
void goose_HW_exit(goose_HW_t *dev);
