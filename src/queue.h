// Bounded FIFO queues of fixed-size elements between threads: a ring of
// slots guarded by two counting semaphores, plus a mutex for the producers
// when there are several.  Enqueue blocks while full, dequeue while empty.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>

struct p1c1_queue {
    size_t capacity; // slots in the ring: the asked capacity rounded up to a power of 2
    size_t element_size;
    size_t head;
    size_t tail;
    sem_t producer_semaphore; // free slots, up to the asked capacity
    sem_t consumer_semaphore; // filled slots
    unsigned char* buffer;
};
typedef struct p1c1_queue P1C1Queue;

struct pNc1_queue {
    size_t capacity;
    size_t element_size;
    size_t head;
    size_t tail;
    pthread_mutex_t producer_mutex;
    sem_t producer_semaphore;
    sem_t consumer_semaphore;
    unsigned char* buffer;
};
typedef struct pNc1_queue PNC1Queue;

// One producer and one consumer.
P1C1Queue* p1c1_create(size_t capacity, size_t element_size);
void p1c1_destroy(P1C1Queue* q);
[[nodiscard]] bool p1c1_enqueue(P1C1Queue* q, const void* src);
[[nodiscard]] bool p1c1_dequeue(P1C1Queue* q, void* dest);

// Any number of producers and one consumer.
PNC1Queue* pNc1_create(size_t capacity, size_t element_size);
void pNc1_destroy(PNC1Queue* q);
[[nodiscard]] bool pNc1_enqueue(PNC1Queue* q, const void* src);
[[nodiscard]] bool pNc1_dequeue(PNC1Queue* q, void* dest);
// As pNc1_dequeue, waiting at most timeout_ms: false when nothing came.
[[nodiscard]] bool pNc1_dequeue_within(PNC1Queue* q, void* dest, int timeout_ms);

size_t next_power_of_2(size_t n);
