// Thread records of the five link workers.
#include "tc_thread.h"

#include "logger.h"

void tc_thread_init(tc_thread_t *thread, tc_thread_entry_t entry, void *self) {
    if (thread == nullptr) return;
    pthread_attr_init(&thread->attr);
    int rc = pthread_create(&thread->thread_id, &thread->attr, entry, self);
    thread->started = (rc == 0);
    if (rc != 0) TCU_LOG(1, "pthread_create:%d\n", rc);
    thread->entry = entry;
    thread->self = self;
}

void tc_thread_exit(tc_thread_t *thread) {
    if (thread == nullptr) return;
    if (thread->started) {
        pthread_join(thread->thread_id, nullptr);
        thread->started = 0;
    }
    pthread_attr_destroy(&thread->attr);
}
