// Placeholder of the relay co-processor link.
#include "stm32f103.h"

#include "tc_system.h"

int ccu_STM32_init(stm32f103_t *dev, const char *, int, int) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    return 0;
}
void *ccu_STM32_loop(void *argv) {
    auto *dev = static_cast<stm32f103_t *>(argv);
    while (dev != nullptr && !dev->quit) msleep(100);
    return nullptr;
}
void ccu_STM32_exit(stm32f103_t *dev) {
    if (dev != nullptr) pthread_mutex_destroy(&dev->mutex);
}
