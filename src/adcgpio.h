// Board I/O over the sysfs GPIO interface: the generic line operations (export,
// direction, value) and the board functions built on them (gun LEDs, contactor
// outputs and feedbacks, identity switches, system LEDs, key).
#pragma once

#include <atomic>

// sysfs GPIO number of line `index` in bank `group` (0, 1 or 2); the index is
// clamped into the bank, another group gives 0.
int get_gpio_index(int group, int index);

// Generic line operations. Writes are shell commands run through gpio_shell;
// reads open the line's value file.
void config_gpio_out(int group, int index, int default_v);
void config_gpio_in(int group, int index);
void config_gpio_free(int group, int index);
void set_gpio_value(int group, int index, int value);
// The line's value; 1 (and a log line) when the value file can't be read or
// holds no number.
int get_gpio_value(int group, int index);

// Runs one GPIO shell command; system() unless a test installs a recorder (atomic:
// worker threads may be driving lines while a test swaps it).
using gpio_shell_fn = int (*)(const char *command);
extern std::atomic<gpio_shell_fn> gpio_shell;

// Board operations.
void tcu_BSP_init(void);
void tcu_BSP_exit(void);
void set_GUNLED_on(int idx, int on);
void set_KMD_out(int idx, int on);
int get_KMDFB(int idx);
int get_TCUID(void);
void set_SYSLED_on(int idx, int on);
int get_USEKEY(void);
