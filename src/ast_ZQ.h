// Placeholder of the charging-controller link (replaced by the real link).
#pragma once

#include <atomic>
#include <pthread.h>

struct ast_zq_t {
    pthread_mutex_t mutex;
    std::atomic<int> quit;
};

int ccu_AST_init(ast_zq_t *dev, const char *devname);
void *ccu_AST_loop(void *argv);
void ccu_AST_exit(ast_zq_t *dev);
