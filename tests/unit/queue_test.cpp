// The bounded queues between threads, under the thread sanitizer too: a full
// queue blocks its producers until the consumer takes, and every producer's
// elements arrive whole and in its order.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "queue.h"

namespace {

struct Element {
    uint32_t producer;
    uint32_t sequence;
    uint64_t check; // producer * sequence, so that torn copies show
};

TEST(Queue, FullQueueBlocksUntilTheConsumerTakes)
{
    P1C1Queue* q = p1c1_create(3, sizeof(int)); // a ring of 4 slots admitting 3
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(p1c1_enqueue(q, &i));
    // no room is left: a fourth enqueue would wait on the producers' semaphore
    EXPECT_EQ(sem_trywait(&q->producer_semaphore), -1);
    EXPECT_EQ(errno, EAGAIN);
    std::thread producer([&] {
        const int v = 3;
        EXPECT_TRUE(p1c1_enqueue(q, &v)); // goes in once the consumer has taken one
    });
    int got = -1;
    for (int expected = 0; expected < 4; ++expected) {
        ASSERT_TRUE(p1c1_dequeue(q, &got));
        EXPECT_EQ(got, expected);
    }
    producer.join();
    p1c1_destroy(q);
}

TEST(Queue, ManyProducersEachInOrder)
{
    constexpr uint32_t producers = 4, per_producer = 20000;
    PNC1Queue* q = pNc1_create(16, sizeof(Element));
    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < producers; ++p)
        threads.emplace_back([q, p] {
            for (uint32_t s = 0; s < per_producer; ++s) {
                const Element e{p, s, static_cast<uint64_t>(p) * s};
                EXPECT_TRUE(pNc1_enqueue(q, &e));
            }
        });
    std::vector<uint32_t> next(producers, 0);
    for (uint32_t n = 0; n < producers * per_producer; ++n) {
        Element e{};
        ASSERT_TRUE(pNc1_dequeue(q, &e));
        ASSERT_LT(e.producer, producers);
        ASSERT_EQ(e.sequence, next[e.producer]++);
        ASSERT_EQ(e.check, static_cast<uint64_t>(e.producer) * e.sequence);
    }
    for (auto& t : threads) t.join();
    pNc1_destroy(q);
}

} // namespace
