// Placeholder of the charging-controller link.
#include "ast_ZQ.h"

#include "tc_system.h"

int ccu_AST_init(ast_zq_t *dev, const char *) {
    if (dev == nullptr) return -1;
    pthread_mutex_init(&dev->mutex, nullptr);
    return 0;
}
void *ccu_AST_loop(void *argv) {
    auto *dev = static_cast<ast_zq_t *>(argv);
    while (dev != nullptr && !dev->quit) msleep(100);
    return nullptr;
}
void ccu_AST_exit(ast_zq_t *dev) {
    if (dev != nullptr) pthread_mutex_destroy(&dev->mutex);
}
