// Thread records of the five link workers.
#include "tc_thread.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <array>

#include "logger.h"
#include "tc_system.h"

namespace {

// Each thread's own, living and ending with it. A fatal signal's handler needs only a
// few hundred bytes; the rest is room for the kernel's signal frame on any CPU.
constexpr size_t kAltStackSize = 64 * 1024;
alignas(16) thread_local std::array<char, kAltStackSize> t_altstack;
thread_local bool t_has_altstack = false;

// The worker starts with its alternate stack in place, then runs its entry.
void *tc_thread_start(void *arg) {
    auto *thread = static_cast<tc_thread_t *>(arg);
    tc_thread_altstack();
    return thread->entry(thread->self);
}

}  // namespace

int tc_thread_altstack(void) {
    if (t_has_altstack) return 0;
    stack_t ss = {};
    ss.ss_sp = t_altstack.data();
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) return -1;
    t_has_altstack = true;
    return 0;
}

void tc_thread_init(tc_thread_t *thread, tc_thread_entry_t entry, void *self) {
    if (thread == nullptr) return;
    pthread_attr_init(&thread->attr);
    thread->entry = entry;
    thread->self = self;
    int rc = pthread_create(&thread->thread_id, &thread->attr, tc_thread_start, thread);
    thread->started = (rc == 0);
    if (rc != 0) TCU_LOG(1, "pthread_create:%d\n", rc);
}

void tc_thread_exit(tc_thread_t *thread) {
    tc_thread_exit_within(thread, -1);
}

int tc_thread_exit_within(tc_thread_t *thread, int timeout_ms) {
    if (thread == nullptr) return 0;
    if (thread->started) {
        if (timeout_ms < 0) {
            pthread_join(thread->thread_id, nullptr);
        } else {
            const struct timespec until = monotime_after(timeout_ms);
            if (pthread_clockjoin_np(thread->thread_id, nullptr, CLOCK_MONOTONIC, &until) ==
                ETIMEDOUT)
                return 1;
        }
        thread->started = 0;
    }
    pthread_attr_destroy(&thread->attr);
    return 0;
}
