// Placeholder board I/O.
#include "tcZQHW.h"

void tcu_BSP_init(void) {}
void tcu_BSP_exit(void) {}
void set_GUNLED_on(int, int) {}
void set_KMD_out(int, int) {}
int get_TCUID(void) { return 0; }
