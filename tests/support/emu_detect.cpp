// Detection of user-mode emulation for the tests of the ARM64 target build.
#include "support/emu_detect.h"

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <unistd.h>

bool running_under_emulation() {
    const char *env = getenv("TCU_UNDER_QEMU");
    if (env != nullptr && env[0] != '\0') return strcmp(env, "0") != 0;

    // Run by hand through the emulator: the host process is qemu itself.
    char comm[32] = {0};
    FILE *f = fopen("/proc/self/comm", "r");
    if (f == nullptr) return false;
    size_t n = fread(comm, 1, sizeof(comm) - 1, f);
    fclose(f);
    comm[n] = '\0';
    return strncmp(comm, "qemu-", 5) == 0;
}

int emu_execve(const char *path, char *const argv[], char *const envp[]) {
    if (!running_under_emulation()) return execve(path, argv, envp);

    // qemu-aarch64 -0 <argv[0]> <path> <argv[1]> ...; the emulator is a host
    // program, which the kernel runs directly.
    const char *qemu = getenv("TCU_QEMU");
    if (qemu == nullptr || qemu[0] == '\0') qemu = "qemu-aarch64";
    constexpr int kMaxArgs = 64;
    const char *args[kMaxArgs + 5];
    int n = 0;
    args[n++] = qemu;
    args[n++] = "-0";
    args[n++] = (argv != nullptr && argv[0] != nullptr) ? argv[0] : path;
    args[n++] = path;
    for (int i = 1; argv != nullptr && argv[i] != nullptr; i++) {
        if (i > kMaxArgs) {
            errno = E2BIG;
            return -1;
        }
        args[n++] = argv[i];
    }
    args[n] = nullptr;
    return execvpe(qemu, const_cast<char *const *>(args), envp);
}

int emu_execv(const char *path, char *const argv[]) {
    return emu_execve(path, argv, environ);
}
