// Bounded FIFO queues: one ring implementation shared by the three variants,
// which differ only in the side (if any) that holds a mutex.
#include "queue.h"

#include "debugging.h"

#include <err.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Texts that tell the variants apart in diagnostics.
struct QueueTexts {
    const char* producer_semaphore_warning;
    const char* mutex_warning; // null for the variant without a mutex
};

template <typename Q>
concept HasProducerMutex = requires(Q q)
{
    q.producer_mutex;
};
template <typename Q>
concept HasConsumerMutex = requires(Q q)
{
    q.consumer_mutex;
};

template <typename Q>
constexpr QueueTexts texts_of()
{
    if constexpr (HasProducerMutex<Q>)
        return {"%s: error while releasing producer_semaphore semaphore",
                "%s: error while releasing producers' mutex"};
    else if constexpr (HasConsumerMutex<Q>)
        return {"%s: error while releasing producer_semaphore semaphore",
                "%s: error while releasing consumers' mutex"};
    else
        return {"%s: error while releasing producer_semaphore", nullptr};
}

template <typename Q>
pthread_mutex_t* mutex_of(Q* q)
{
    if constexpr (HasProducerMutex<Q>)
        return &q->producer_mutex;
    else if constexpr (HasConsumerMutex<Q>)
        return &q->consumer_mutex;
    else
        return nullptr;
}

inline size_t mod_by_pow2(size_t n, size_t pow2)
{
    return n & (pow2 - 1);
}

// Waits until the semaphore can be taken; a signal does not end the wait.
bool wait_on(sem_t* semaphore)
{
    for (;;) {
        if (sem_wait(semaphore) == 0) return true;
        if (errno != EINTR) return false;
    }
}

#define QUEUE_INVARIANT(condition, text) INVARIANT_AS(function, condition, text)

template <typename Q>
Q* queue_create(size_t capacity, size_t element_size)
{
    if (capacity == 0 || element_size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    size_t slots = next_power_of_2(capacity);

    auto* q = static_cast<Q*>(calloc(1, sizeof(Q)));
    if (q == nullptr) return nullptr;
    q->buffer = static_cast<unsigned char*>(calloc(slots, element_size));
    if (q->buffer == nullptr) goto free_queue;
    q->capacity = slots;
    q->element_size = element_size;

    if (pthread_mutex_t* mutex = mutex_of(q)) {
        int rc = pthread_mutex_init(mutex, nullptr);
        if (rc != 0) {
            errno = rc;
            goto free_buffer;
        }
    }
    // The producer semaphore admits the capacity as asked for, not the rounded ring.
    if (capacity > SEM_VALUE_MAX) {
        errno = EINVAL;
        goto destroy_mutex;
    }
    if (sem_init(&q->producer_semaphore, 0, static_cast<unsigned>(capacity)) != 0) goto destroy_mutex;
    if (sem_init(&q->consumer_semaphore, 0, 0) != 0) goto destroy_producer_semaphore;
    return q;

destroy_producer_semaphore : {
    int saved = errno;
    sem_destroy(&q->producer_semaphore);
    errno = saved;
}
destroy_mutex:
    if (pthread_mutex_t* mutex = mutex_of(q)) {
        int saved = errno;
        pthread_mutex_destroy(mutex);
        errno = saved;
    }
free_buffer:
    free(q->buffer);
free_queue:
    free(q);
    return nullptr;
}

template <typename Q>
void queue_destroy(Q* q, const char* function)
{
    if (q == nullptr) return;
    constexpr QueueTexts texts = texts_of<Q>();
    if (sem_destroy(&q->consumer_semaphore) != 0)
        warn("%s: error while releasing consumer_semaphore", function);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (sem_destroy(&q->producer_semaphore) != 0) warn(texts.producer_semaphore_warning, function);
    if constexpr (HasProducerMutex<Q> || HasConsumerMutex<Q>) {
        int rc = pthread_mutex_destroy(mutex_of(q));
        if (rc != 0) {
            errno = rc;
            warn(texts.mutex_warning, function);
        }
    }
#pragma GCC diagnostic pop
    // Elements still in the ring are dropped unseen: the queue never owns what they point to.
    free(q->buffer);
    free(q);
}

template <typename Q>
bool queue_enqueue(Q* q, const void* src, const char* function)
{
    if (!wait_on(&q->producer_semaphore)) return false;
    if constexpr (HasProducerMutex<Q>)
        QUEUE_INVARIANT(pthread_mutex_lock(&q->producer_mutex) == 0,
                        "pthread_mutex_lock on q->producer_mutex should not fail");
    memcpy(q->buffer + mod_by_pow2(q->tail, q->capacity) * q->element_size, src, q->element_size);
    q->tail++;
    if constexpr (HasProducerMutex<Q>)
        QUEUE_INVARIANT(pthread_mutex_unlock(&q->producer_mutex) == 0,
                        "pthread_mutex_unlock on q->producer_mutex should not fail");
    QUEUE_INVARIANT(sem_post(&q->consumer_semaphore) == 0,
                    "sem_post on q->consumer_semaphore should not fail");
    return true;
}

template <typename Q>
bool queue_dequeue(Q* q, void* dest, const char* function)
{
    if (!wait_on(&q->consumer_semaphore)) return false;
    if constexpr (HasConsumerMutex<Q>)
        QUEUE_INVARIANT(pthread_mutex_lock(&q->consumer_mutex) == 0,
                        "pthread_mutex_lock on q->consumer_mutex should not fail");
    memcpy(dest, q->buffer + mod_by_pow2(q->head, q->capacity) * q->element_size, q->element_size);
    q->head++;
    if constexpr (HasConsumerMutex<Q>)
        QUEUE_INVARIANT(pthread_mutex_unlock(&q->consumer_mutex) == 0,
                        "pthread_mutex_unlock on q->consumer_mutex should not fail");
    QUEUE_INVARIANT(sem_post(&q->producer_semaphore) == 0,
                    "sem_post on q->producer_semaphore should not fail");
    return true;
}

} // namespace

size_t next_power_of_2(size_t n)
{
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// The C-style entry points of each variant.  The snapshot accessors read the
// counters without a lock.
#define PELK_QUEUE_DEFINE(prefix, Type)                                                                      \
    Type* prefix##_create(size_t capacity, size_t element_size)                                              \
    {                                                                                                        \
        return queue_create<Type>(capacity, element_size);                                                   \
    }                                                                                                        \
    void prefix##_destroy(Type* q)                                                                           \
    {                                                                                                        \
        queue_destroy(q, __func__);                                                                          \
    }                                                                                                        \
    bool prefix##_enqueue(Type* q, const void* src)                                                          \
    {                                                                                                        \
        return queue_enqueue(q, src, __func__);                                                              \
    }                                                                                                        \
    bool prefix##_dequeue(Type* q, void* dest)                                                               \
    {                                                                                                        \
        return queue_dequeue(q, dest, __func__);                                                             \
    }                                                                                                        \
    bool prefix##_is_empty(const Type* q)                                                                    \
    {                                                                                                        \
        return q->head == q->tail;                                                                           \
    }                                                                                                        \
    bool prefix##_is_full(const Type* q)                                                                     \
    {                                                                                                        \
        return q->tail == q->head + q->capacity;                                                             \
    }                                                                                                        \
    size_t prefix##_length(const Type* q)                                                                    \
    {                                                                                                        \
        return q->tail - q->head;                                                                            \
    }                                                                                                        \
    size_t prefix##_capacity(const Type* q)                                                                  \
    {                                                                                                        \
        return q->capacity;                                                                                  \
    }                                                                                                        \
    size_t prefix##_element_size(const Type* q)                                                              \
    {                                                                                                        \
        return q->element_size;                                                                              \
    }

PELK_QUEUE_DEFINE(p1c1, P1C1Queue)
PELK_QUEUE_DEFINE(pNc1, PNC1Queue)
PELK_QUEUE_DEFINE(p1cN, P1CNQueue)
