// Board I/O of the ZQ terminal board through sysfs GPIO: line numbering, the shell
// commands that export lines and set direction and value, the value-file reads,
// and one operation per board function.
#include "tcZQHW.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <unistd.h>

#include "logger.h"
#include "tc_system.h"

namespace {

struct gpio_bank_t {
    int base;
    int lines;
};

// The board's three GPIO banks as the kernel numbers them.
constexpr std::array<gpio_bank_t, 3> gpio_banks = {{{488, 24}, {396, 92}, {344, 52}}};

struct gpio_line_t {
    int group;
    int index;
};

constexpr std::array<gpio_line_t, 4> gunled_lines = {{{1, 12}, {1, 13}, {1, 11}, {1, 1}}};
constexpr std::array<gpio_line_t, 4> kmd_lines = {{{1, 9}, {1, 5}, {1, 4}, {1, 3}}};
constexpr std::array<gpio_line_t, 4> kmdfb_lines = {{{1, 14}, {1, 0}, {1, 8}, {1, 2}}};
// Identity switches, bit 3 first.
constexpr std::array<gpio_line_t, 4> tcuid_lines = {{{0, 2}, {1, 10}, {1, 7}, {1, 6}}};
constexpr std::array<gpio_line_t, 2> sysled_lines = {{{0, 15}, {0, 16}}};
constexpr gpio_line_t usekey_line = {1, 36};

struct bsp_line_t {
    bool out;
    int group;
    int index;
    int default_v;
};

// Set-up order of the board; release runs through the same lines in the same order.
// Contactor outputs start open (1, active low); gun LEDs start lit until start-up
// switches them off.
constexpr std::array<bsp_line_t, 19> bsp_lines = {{
    {false, 1, 36, 0},  // key
    {true, 0, 15, 1},   // system LED 0
    {true, 0, 16, 0},   // system LED 1
    {false, 1, 10, 0},  // identity bit 2
    {false, 1, 6, 0},   // identity bit 0
    {false, 1, 7, 0},   // identity bit 1
    {false, 0, 2, 0},   // identity bit 3
    {true, 1, 11, 0},   // gun LED 2
    {true, 1, 12, 0},   // gun LED 0
    {true, 1, 13, 0},   // gun LED 1
    {true, 1, 1, 0},    // gun LED 3
    {true, 1, 3, 1},    // contactor 3
    {true, 1, 4, 1},    // contactor 2
    {true, 1, 5, 1},    // contactor 1
    {true, 1, 9, 1},    // contactor 0
    {false, 1, 14, 0},  // feedback 0
    {false, 1, 0, 0},   // feedback 1
    {false, 1, 2, 0},   // feedback 3
    {false, 1, 8, 0},   // feedback 2
}};

constexpr int gpio_count = 512;  // every number get_gpio_index can return is below this

// A line that can't be read is polled once per second by the co-processor thread:
// one log line per line and minute is enough.
std::mutex gate_mutex;
std::array<tc_fail_gate_t, gpio_count> read_gates{};
tc_fail_gate_t shell_gate{};
tc_fail_gate_t write_gates[gpio_count]{};
std::array<tc_fail_gate_t, 4> kmd_gates{};

// system() without its process-wide side effects: system() ignores SIGINT and
// SIGQUIT in the whole process while the command runs, so a stop request arriving
// during one of the many GPIO shells would be lost. Returns the wait status, or -1.
int gpio_shell_system(const char *command) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // ignored by the terminal, not by its shells
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char sh[] = "sh", c[] = "-c";
    char *argv[] = {sh, c, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// TCU_ROOT ends up in a shell command line: only plain path characters may pass.
bool shell_safe(const char *text) {
    for (const char *p = text; *p != '\0'; p++) {
        unsigned char c = (unsigned char)*p;
        if (!isalnum(c) && strchr("/._-+,:@%=", c) == nullptr) return false;
    }
    return true;
}

// "echo <word> > <fixed path resolved for host runs>": the one place where board
// I/O starts a shell. 0 when the shell ran and exited 0; -1 the path cannot go into
// a shell command; -2 the shell could not run or failed (a missing line, a full
// process table): the callers decide whether to repeat.
int gpio_echo(const char *word, const char *fixed_path) {
    char path[256];
    if (tcu_path(path, sizeof path, fixed_path) < 0 || !shell_safe(path)) {
        std::lock_guard<std::mutex> lock(gate_mutex);
        if (tc_fail_gate_pass(&shell_gate, 1, monotime_ms())) {
            TCU_LOG(1, "gpio path under TCU_ROOT unusable in a shell command: %s\n", fixed_path);
        }
        return -1;
    }
    char command[320];
    snprintf(command, sizeof command, "echo %s > %s", word, path);
    tc_shell_fn run = tcu_hooks.gpio_shell.load();
    if (run == nullptr) run = gpio_shell_system;
    int status = run(command);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return -2;
}

int gpio_echo_number(int number, const char *fixed_path) {
    char word[16];
    snprintf(word, sizeof word, "%d", number);
    return gpio_echo(word, fixed_path);
}

// One log line per line and minute for writes that keep failing.
void gpio_write_failed(int gpio, const char *what) {
    std::lock_guard<std::mutex> lock(gate_mutex);
    if (tc_fail_gate_pass(&write_gates[gpio], 1, monotime_ms()))
        TCU_LOG(1, "gpio%d: %s failed\n", gpio, what);
}

void gpio_write_ok(int gpio) {
    std::lock_guard<std::mutex> lock(gate_mutex);
    tc_fail_gate_clear(&write_gates[gpio]);
}

void gpio_file_path(char *dst, size_t size, int gpio, const char *leaf) {
    snprintf(dst, size, "/sys/class/gpio/gpio%d%s", gpio, leaf);
}

// The kernel creates gpioN (a link to a directory) when the line is exported.
bool gpio_exported(int gpio) {
    char fixed[64];
    gpio_file_path(fixed, sizeof fixed, gpio, "");
    char path[256];
    if (tcu_path(path, sizeof path, fixed) < 0) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void gpio_export(int gpio) {
    // Exporting a line that is already exported fails in the kernel; skip it.
    if (!gpio_exported(gpio)) gpio_echo_number(gpio, "/sys/class/gpio/export");
}

// Reads one decimal number from the line's value file. 0, or -1 when the file can't
// be opened, -2 when it holds no number.
int gpio_read_value(int gpio, int *value) {
    char fixed[64];
    gpio_file_path(fixed, sizeof fixed, gpio, "/value");
    char path[256];
    if (tcu_path(path, sizeof path, fixed) < 0) return -1;
    FILE *fp = fopen(path, "re");
    if (fp == nullptr) return -1;
    int rc = (fscanf(fp, "%d", value) == 1) ? 0 : -2;
    fclose(fp);
    return rc;
}

}  // namespace

int get_gpio_index(int group, int index) {
    if (group < 0 || group >= (int)gpio_banks.size()) return 0;
    const gpio_bank_t &bank = gpio_banks[(size_t)group];
    if (index < 0) index = 0;
    if (index > bank.lines - 1) index = bank.lines - 1;
    return bank.base + index;
}

void config_gpio_out(int group, int index, int default_v) {
    int gpio = get_gpio_index(group, index);
    gpio_export(gpio);
    char fixed[64];
    // "out" would drive the line low before the value is written, and the contactor
    // outputs are active low: "high"/"low" set direction and level in one step.
    gpio_file_path(fixed, sizeof fixed, gpio, "/direction");
    gpio_echo(default_v != 0 ? "high" : "low", fixed);
    gpio_file_path(fixed, sizeof fixed, gpio, "/value");
    gpio_echo_number(default_v, fixed);
}

void config_gpio_in(int group, int index) {
    int gpio = get_gpio_index(group, index);
    gpio_export(gpio);
    char fixed[64];
    gpio_file_path(fixed, sizeof fixed, gpio, "/direction");
    gpio_echo("in", fixed);
}

void config_gpio_free(int group, int index) {
    int gpio = get_gpio_index(group, index);
    if (gpio_exported(gpio)) gpio_echo_number(gpio, "/sys/class/gpio/unexport");
}

int set_gpio_value(int group, int index, int value) {
    int gpio = get_gpio_index(group, index);
    char fixed[64];
    gpio_file_path(fixed, sizeof fixed, gpio, "/value");
    int rc = gpio_echo_number(value, fixed);
    if (rc == 0)
        gpio_write_ok(gpio);
    else
        gpio_write_failed(gpio, "value write");
    return rc;
}

int get_gpio_value(int group, int index) {
    int gpio = get_gpio_index(group, index);
    int value = 0;
    int rc = gpio_read_value(gpio, &value);
    if (rc == 0) {
        std::lock_guard<std::mutex> lock(gate_mutex);
        tc_fail_gate_clear(&read_gates[(size_t)gpio]);
        return value;
    }
    // An unreadable line counts as 1, the idle level of every input on the board:
    // no switch bit set, no contactor reported closed.
    std::lock_guard<std::mutex> lock(gate_mutex);
    if (tc_fail_gate_pass(&read_gates[(size_t)gpio], rc, monotime_ms())) {
        TCU_LOG(1, "gpio%d: value %s, taken as 1\n", gpio,
                rc == -1 ? "file unreadable" : "not a number");
    }
    return 1;
}

void tcu_BSP_init(void) {
    for (const bsp_line_t &line : bsp_lines) {
        if (line.out) {
            config_gpio_out(line.group, line.index, line.default_v);
        } else {
            config_gpio_in(line.group, line.index);
        }
    }
}

void tcu_BSP_exit(void) {
    for (const bsp_line_t &line : bsp_lines) config_gpio_free(line.group, line.index);
}

int set_GUNLED_on(int idx, int on) {
    if (idx < 0 || idx >= (int)gunled_lines.size()) return -1;
    const gpio_line_t &line = gunled_lines[(size_t)idx];
    return set_gpio_value(line.group, line.index, on ? 0 : 1) == 0 ? 0 : -2;
}

int set_KMD_out(int idx, int on) {
    if (idx < 0 || idx >= (int)kmd_lines.size()) return -1;
    const gpio_line_t &line = kmd_lines[(size_t)idx];
    const int gpio = get_gpio_index(line.group, line.index);
    const int want = on ? 0 : 1;
    // A contactor command counts only once the line reads back what was written.
    int got = -1;
    for (int attempt = 0; attempt < KMD_WRITE_ATTEMPTS; attempt++) {
        if (attempt > 0) msleep(KMD_RETRY_PAUSE_MS);
        if (set_gpio_value(line.group, line.index, want) != 0) continue;
        int value = -1;
        if (gpio_read_value(gpio, &value) == 0) got = value;
        if (got == want) {
            std::lock_guard<std::mutex> lock(gate_mutex);
            tc_fail_gate_clear(&kmd_gates[(size_t)idx]);
            return 0;
        }
    }
    std::lock_guard<std::mutex> lock(gate_mutex);
    if (tc_fail_gate_pass(&kmd_gates[(size_t)idx], want, monotime_ms())) {
        TCU_LOG(1, "contactor %d (gpio%d) not %s after %d attempts: reads %d\n", idx, gpio,
                on ? "closed" : "open", KMD_WRITE_ATTEMPTS, got);
    }
    return -2;
}

int get_KMD_value_path(int idx, char *dst, size_t size) {
    if (dst == nullptr || size == 0) return -1;
    dst[0] = '\0';
    if (idx < 0 || idx >= (int)kmd_lines.size()) return -1;
    const gpio_line_t &line = kmd_lines[(size_t)idx];
    char fixed[64];
    gpio_file_path(fixed, sizeof fixed, get_gpio_index(line.group, line.index), "/value");
    return tcu_path(dst, size, fixed) < 0 ? -1 : 0;
}

int get_KMDFB(int idx) {
    if (idx < 0 || idx >= (int)kmdfb_lines.size()) return 0;
    const gpio_line_t &line = kmdfb_lines[(size_t)idx];
    return get_gpio_value(line.group, line.index) == 0 ? 1 : 0;
}

int get_TCUID(void) {
    // Called while loading the configuration, before tcu_BSP_init: on a freshly
    // booted board the switch lines are not exported yet and would all read as 1.
    for (const gpio_line_t &line : tcuid_lines) config_gpio_in(line.group, line.index);
    int id = 0;
    for (const gpio_line_t &line : tcuid_lines) {
        id = (id << 1) | (get_gpio_value(line.group, line.index) == 0 ? 1 : 0);
    }
    return id;
}

int set_SYSLED_on(int idx, int on) {
    if (idx < 0 || idx >= (int)sysled_lines.size()) return -1;
    const gpio_line_t &line = sysled_lines[(size_t)idx];
    return set_gpio_value(line.group, line.index, on) == 0 ? 0 : -2;
}

int get_USEKEY(void) {
    return get_gpio_value(usekey_line.group, usekey_line.index);
}
