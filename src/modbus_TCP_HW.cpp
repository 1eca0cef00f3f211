// Placeholder of the Modbus TCP link.
#include "modbus_TCP_HW.h"

#include "tc_system.h"

int modbus_TCP_init(modbus_TCP_t *dev, const char *, const char *, int, uint16_t) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    return 0;
}
void *modbus_TCP_loop(void *argv) {
    auto *dev = static_cast<modbus_TCP_t *>(argv);
    while (dev != nullptr && !dev->quit) msleep(100);
    return nullptr;
}
void modbus_TCP_exit(modbus_TCP_t *dev) {
    if (dev != nullptr) pthread_mutex_destroy(&dev->mutex);
}
