// Placeholder of the relay co-processor link (replaced by the real link).
#pragma once

#include <atomic>
#include <pthread.h>

struct stm32f103_t {
    pthread_mutex_t mutex;
    std::atomic<int> quit;
};

int ccu_STM32_init(stm32f103_t *dev, const char *can_name, int bitrate, int enable);
void *ccu_STM32_loop(void *argv);
void ccu_STM32_exit(stm32f103_t *dev);
