// Bounded FIFO queues: one ring implementation shared by both variants,
// which differ only in the producers' mutex.
#include "queue.h"

#include <err.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "debugging.h"
#include "timer.h"

namespace {

template <typename Q>
concept HasProducerMutex = requires(Q q)
{
    q.producer_mutex;
};

// Waits until the semaphore can be taken; a signal does not end the wait.
bool wait_on(sem_t* semaphore)
{
    for (;;) {
        if (sem_wait(semaphore) == 0) return true;
        if (errno != EINTR) return false;
    }
}

template <typename Q>
void lock_producers(Q* q, const char* function)
{
    if constexpr (HasProducerMutex<Q>)
        INVARIANT_AS(function, pthread_mutex_lock(&q->producer_mutex) == 0,
                     "pthread_mutex_lock on q->producer_mutex should not fail");
}

template <typename Q>
void unlock_producers(Q* q, const char* function)
{
    if constexpr (HasProducerMutex<Q>)
        INVARIANT_AS(function, pthread_mutex_unlock(&q->producer_mutex) == 0,
                     "pthread_mutex_unlock on q->producer_mutex should not fail");
}

template <typename Q>
void queue_free(Q* q)
{
    std::free(q->buffer);
    std::free(q);
}

template <typename Q>
Q* queue_create(size_t capacity, size_t element_size)
{
    // The producer semaphore admits the capacity as asked for, not the rounded ring.
    if (capacity == 0 || element_size == 0 || capacity > SEM_VALUE_MAX) {
        errno = EINVAL;
        return nullptr;
    }
    auto* q = static_cast<Q*>(std::calloc(1, sizeof(Q)));
    if (q == nullptr) return nullptr;
    q->capacity = next_power_of_2(capacity);
    q->element_size = element_size;
    q->buffer = static_cast<unsigned char*>(std::calloc(q->capacity, element_size));
    int rc = q->buffer == nullptr ? ENOMEM : 0;
    if constexpr (HasProducerMutex<Q>)
        if (rc == 0) rc = pthread_mutex_init(&q->producer_mutex, nullptr);
    if (rc == 0 && sem_init(&q->producer_semaphore, 0, static_cast<unsigned>(capacity)) != 0) rc = errno;
    if (rc == 0 && sem_init(&q->consumer_semaphore, 0, 0) != 0) rc = errno;
    if (rc != 0) {
        queue_free(q);
        errno = rc;
        return nullptr;
    }
    return q;
}

template <typename Q>
void queue_destroy(Q* q, const char* function)
{
    if (q == nullptr) return;
    if (sem_destroy(&q->consumer_semaphore) != 0)
        warn("%s: error while releasing consumer_semaphore", function);
    if (sem_destroy(&q->producer_semaphore) != 0)
        warn("%s: error while releasing producer_semaphore", function);
    if constexpr (HasProducerMutex<Q>)
        if (int rc = pthread_mutex_destroy(&q->producer_mutex); rc != 0) {
            errno = rc;
            warn("%s: error while releasing producers' mutex", function);
        }
    // Elements still in the ring are dropped unseen: the queue never owns what they point to.
    queue_free(q);
}

template <typename Q>
bool queue_enqueue(Q* q, const void* src, const char* function)
{
    if (!wait_on(&q->producer_semaphore)) return false;
    lock_producers(q, function);
    std::memcpy(q->buffer + (q->tail & (q->capacity - 1)) * q->element_size, src, q->element_size);
    q->tail++;
    unlock_producers(q, function);
    INVARIANT_AS(function, sem_post(&q->consumer_semaphore) == 0,
                 "sem_post on q->consumer_semaphore should not fail");
    return true;
}

// Waits at most timeout_ms for the semaphore.  (sem_timedwait counts on the
// wall clock: a clock set forward or back only moves this time-out.  Not
// sem_clockwait on the monotonic clock: the thread sanitizer does not know
// it, and would miss the ordering the semaphore gives.)
bool wait_within(sem_t* semaphore, int timeout_ms)
{
    const timespec deadline = time_wall_after_ms(timeout_ms);
    for (;;) {
        if (sem_timedwait(semaphore, &deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}

template <typename Q>
void take_head(Q* q, void* dest, const char* function)
{
    std::memcpy(dest, q->buffer + (q->head & (q->capacity - 1)) * q->element_size, q->element_size);
    q->head++;
    INVARIANT_AS(function, sem_post(&q->producer_semaphore) == 0,
                 "sem_post on q->producer_semaphore should not fail");
}

template <typename Q>
bool queue_dequeue(Q* q, void* dest, const char* function)
{
    if (!wait_on(&q->consumer_semaphore)) return false;
    take_head(q, dest, function);
    return true;
}

} // namespace

size_t next_power_of_2(size_t n)
{
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

P1C1Queue* p1c1_create(size_t capacity, size_t element_size)
{
    return queue_create<P1C1Queue>(capacity, element_size);
}
void p1c1_destroy(P1C1Queue* q)
{
    queue_destroy(q, __func__);
}
bool p1c1_enqueue(P1C1Queue* q, const void* src)
{
    return queue_enqueue(q, src, __func__);
}
bool p1c1_dequeue(P1C1Queue* q, void* dest)
{
    return queue_dequeue(q, dest, __func__);
}

PNC1Queue* pNc1_create(size_t capacity, size_t element_size)
{
    return queue_create<PNC1Queue>(capacity, element_size);
}
void pNc1_destroy(PNC1Queue* q)
{
    queue_destroy(q, __func__);
}
bool pNc1_enqueue(PNC1Queue* q, const void* src)
{
    return queue_enqueue(q, src, __func__);
}
bool pNc1_dequeue(PNC1Queue* q, void* dest)
{
    return queue_dequeue(q, dest, __func__);
}
bool pNc1_dequeue_within(PNC1Queue* q, void* dest, int timeout_ms)
{
    if (!wait_within(&q->consumer_semaphore, timeout_ms)) return false;
    take_head(q, dest, __func__);
    return true;
}
