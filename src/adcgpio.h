// Board I/O: the GPIO lines of contactors, LEDs, feedbacks and identity switches.
#pragma once

void tcu_BSP_init(void);
void tcu_BSP_exit(void);
void set_GUNLED_on(int idx, int on);
void set_KMD_out(int idx, int on);
int get_TCUID(void);
