// Worker thread records: create on an entry with its link object, join at shutdown.
#pragma once

#include <pthread.h>
#include <sched.h>

typedef void *(*tc_thread_entry_t)(void *);

struct tc_thread_t {
    pthread_t thread_id;
    pthread_attr_t attr;
    struct sched_param param;
    tc_thread_entry_t entry;
    void *self;
    int started;  // nonzero once pthread_create succeeded, so exit never joins garbage
};

void tc_thread_init(tc_thread_t *thread, tc_thread_entry_t entry, void *self);
void tc_thread_exit(tc_thread_t *thread);
// Joins for at most timeout_ms (negative: for good). 0 joined (or nothing to join), 1
// the thread still runs (the record stays joinable).
int tc_thread_exit_within(tc_thread_t *thread, int timeout_ms);
// Gives the calling thread its own alternate signal stack (once per thread, in its
// thread-local storage), so a handler of a fatal signal runs even after a stack
// overflow. 0, or -1 when sigaltstack refuses. Workers started by tc_thread_init have
// one already.
int tc_thread_altstack(void);
