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
