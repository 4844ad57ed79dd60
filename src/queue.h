// Bounded FIFO queues of fixed-size elements between threads: a ring of
// slots guarded by two counting semaphores, plus a mutex on the side that
// has several threads.  Enqueue blocks while full, dequeue while empty.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>

struct p1c1_queue {
    size_t capacity;
    size_t element_size;
    size_t head;
    size_t tail;
    sem_t producer_semaphore;
    sem_t consumer_semaphore;
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

struct p1cN_queue {
    size_t capacity;
    size_t element_size;
    size_t head;
    size_t tail;
    pthread_mutex_t consumer_mutex;
    sem_t producer_semaphore;
    sem_t consumer_semaphore;
    unsigned char* buffer;
};
typedef struct p1cN_queue P1CNQueue;

#define PELK_QUEUE_DECLARE(prefix, Type)                                                                     \
    Type* prefix##_create(size_t capacity, size_t element_size);                                             \
    void prefix##_destroy(Type* q);                                                                          \
    [[nodiscard]] bool prefix##_enqueue(Type* q, const void* src);                                           \
    [[nodiscard]] bool prefix##_dequeue(Type* q, void* dest);                                                \
    bool prefix##_is_empty(const Type* q);                                                                   \
    bool prefix##_is_full(const Type* q);                                                                    \
    size_t prefix##_length(const Type* q);                                                                   \
    size_t prefix##_capacity(const Type* q);                                                                 \
    size_t prefix##_element_size(const Type* q);

PELK_QUEUE_DECLARE(p1c1, P1C1Queue)
PELK_QUEUE_DECLARE(pNc1, PNC1Queue)
PELK_QUEUE_DECLARE(p1cN, P1CNQueue)

#undef PELK_QUEUE_DECLARE

size_t next_power_of_2(size_t n);
