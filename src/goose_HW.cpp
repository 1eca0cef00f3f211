// Placeholder of the GOOSE publisher.
#include "goose_HW.h"

#include "tc_system.h"

int goose_HW_init(goose_HW_t *dev, const char *, uint16_t) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    return 0;
}
void *goose_HW_loop(void *argv) {
    auto *dev = static_cast<goose_HW_t *>(argv);
    while (dev != nullptr && !dev->quit) msleep(100);
    return nullptr;
}
void goose_HW_exit(goose_HW_t *dev) {
    if (dev != nullptr) pthread_mutex_destroy(&dev->mutex);
}
// Interim stubs until the publisher lands (keep the library linkable).
int goose_HW_PowerRequest(goose_HW_t *dev) { return dev == nullptr ? -1 : 0; }
int goose_HW_ShuntdownRequest(goose_HW_t *dev) { return dev == nullptr ? -1 : 0; }
int goose_HW_PowerRequest_locked(goose_HW_t *dev) { return dev == nullptr ? -1 : 0; }
int goose_HW_ShuntdownRequest_locked(goose_HW_t *dev) { return dev == nullptr ? -1 : 0; }
