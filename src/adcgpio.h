// Board I/O over the sysfs GPIO interface: the generic line operations (export,
// direction, value) and the board functions built on them (gun LEDs, contactor
// outputs and feedbacks, identity switches, system LEDs, key).
#pragma once

#include <cstddef>

#include "tc_system.h"

// sysfs GPIO number of line `index` in bank `group` (0, 1 or 2); the index is
// clamped into the bank, another group gives 0.
int get_gpio_index(int group, int index);

// Generic line operations. Writes are shell commands (tcu_hooks.gpio_shell in
// tests); reads open the line's value file.
void config_gpio_out(int group, int index, int default_v);
void config_gpio_in(int group, int index);
void config_gpio_free(int group, int index);
// 0 written; -1 the path cannot be used, -2 the shell failed (logged once a minute
// per line).
int set_gpio_value(int group, int index, int value);
// The line's value; 1 (and a log line) when the value file can't be read or
// holds no number.
int get_gpio_value(int group, int index);

// Board operations.
void tcu_BSP_init(void);
void tcu_BSP_exit(void);
// 0 written, -1 no such LED, -2 the write failed (the next LED refresh repeats it).
int set_GUNLED_on(int idx, int on);
// Contactor output: written, then read back from the value file; up to
// KMD_WRITE_ATTEMPTS writes until it reads what was written. 0 confirmed, -1 no such
// output, -2 not confirmed (logged once a minute per output; the co-processor
// repeats it every cycle).
constexpr int KMD_WRITE_ATTEMPTS = 3;
constexpr int KMD_RETRY_PAUSE_MS = 20;
int set_KMD_out(int idx, int on);
// Path of contactor output idx's value file (host runs resolved), for the one place
// that must write it without a shell: the second stop signal. 0, or -1.
int get_KMD_value_path(int idx, char *dst, size_t size);
int get_KMDFB(int idx);
int get_TCUID(void);
// Kept for its callers to come: no system LED or key is used yet.
int set_SYSLED_on(int idx, int on);
int get_USEKEY(void);
