// Placeholder configuration loader.
#include "config.h"

tcu_config_t tcu_config;

void tcu_config_init(const char *) {}
void tcu_config_save(const char *) {}
void tcu_config_exit(void) {}
