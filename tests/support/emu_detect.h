// Tells a test whether it runs under user-mode emulation (qemu-aarch64 for the
// ARM64 target build), where raw packet sockets, network namespaces and some
// terminal and device ioctls are missing, so such tests can skip visibly.
#pragma once

#include <gtest/gtest.h>

// True when the process runs under qemu user-mode emulation: the cross build's
// test runner sets TCU_UNDER_QEMU=1 in the emulated process; a process started
// by hand as `qemu-aarch64 ./x_test` is recognised by its process name.
bool running_under_emulation();

// Skips the current test (GTEST_SKIP) under emulation, naming what is missing.
// Use at the top of a TEST body or in SetUp(); `what` is a string literal.
#define TCU_SKIP_UNDER_EMULATION(what)                                        \
    do {                                                                      \
        if (running_under_emulation())                                        \
            GTEST_SKIP() << "not available under user-mode emulation: " what; \
    } while (0)

// Replace the process by a program built for the target, as execv/execve do.
// Under emulation the kernel cannot load a target binary itself (binfmt_misc is
// not relied on), so the emulator is run on it instead; arguments, argv[0] and
// the environment are kept. Return only on failure (-1, errno set).
int emu_execv(const char *path, char *const argv[]);
int emu_execve(const char *path, char *const argv[], char *const envp[]);
