// Bounded queues: order, blocking at capacity, several threads on the shared
// side, signals during a blocked wait, creation and destruction.
#include "queue.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

// The three variants behind one face, for typed tests.
template <typename Q>
struct Ops;

#define QUEUE_OPS(prefix, Type)                                                                              \
    template <>                                                                                              \
    struct Ops<Type> {                                                                                       \
        static Type* create(size_t c, size_t e) { return prefix##_create(c, e); }                            \
        static void destroy(Type* q) { prefix##_destroy(q); }                                                \
        static bool enqueue(Type* q, const void* s) { return prefix##_enqueue(q, s); }                       \
        static bool dequeue(Type* q, void* d) { return prefix##_dequeue(q, d); }                             \
        static bool is_empty(const Type* q) { return prefix##_is_empty(q); }                                 \
        static bool is_full(const Type* q) { return prefix##_is_full(q); }                                   \
        static size_t length(const Type* q) { return prefix##_length(q); }                                   \
        static size_t capacity(const Type* q) { return prefix##_capacity(q); }                               \
        static size_t element_size(const Type* q) { return prefix##_element_size(q); }                       \
    };
QUEUE_OPS(p1c1, P1C1Queue)
QUEUE_OPS(pNc1, PNC1Queue)
QUEUE_OPS(p1cN, P1CNQueue)
#undef QUEUE_OPS

pid_t current_tid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

template <typename Q>
class QueueTest : public ::testing::Test {
};

using Variants = ::testing::Types<P1C1Queue, PNC1Queue, P1CNQueue>;
TYPED_TEST_SUITE(QueueTest, Variants);

TYPED_TEST(QueueTest, ZeroCapacityOrElementSizeIsRefused)
{
    using O = Ops<TypeParam>;
    errno = 0;
    EXPECT_EQ(O::create(0, 8), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(O::create(16, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TYPED_TEST(QueueTest, CapacityIsRoundedToAPowerOfTwo)
{
    using O = Ops<TypeParam>;
    for (auto [asked, slots] : {std::pair<size_t, size_t>{1, 1}, {5, 8}, {4096, 4096}, {4097, 8192}}) {
        TypeParam* q = O::create(asked, 3);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(O::capacity(q), slots);
        EXPECT_EQ(O::element_size(q), 3u);
        O::destroy(q);
    }
}

TYPED_TEST(QueueTest, ElementsComeOutInTheOrderTheyWentIn)
{
    using O = Ops<TypeParam>;
    // Odd-sized elements, wrapping round a small ring many times.
    struct Element {
        uint32_t value;
        char tag[3];
    };
    TypeParam* q = O::create(8, sizeof(Element));
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(O::is_empty(q));
    uint32_t next_out = 0;
    for (uint32_t in = 0; in < 1000; in++) {
        Element e{in, {'a', 'b', static_cast<char>('0' + in % 10)}};
        ASSERT_TRUE(O::enqueue(q, &e));
        if (in % 3 == 2) {
            for (int k = 0; k < 3; k++) {
                Element out{};
                ASSERT_TRUE(O::dequeue(q, &out));
                ASSERT_EQ(out.value, next_out);
                ASSERT_EQ(out.tag[2], static_cast<char>('0' + next_out % 10));
                next_out++;
            }
        }
    }
    EXPECT_EQ(O::length(q), 1u);
    Element last{};
    ASSERT_TRUE(O::dequeue(q, &last));
    EXPECT_EQ(last.value, 999u);
    EXPECT_TRUE(O::is_empty(q));
    O::destroy(q);
}

TYPED_TEST(QueueTest, DestroyingANullQueueOrOneWithElementsIsFine)
{
    using O = Ops<TypeParam>;
    O::destroy(nullptr);
    TypeParam* q = O::create(4, sizeof(void*));
    ASSERT_NE(q, nullptr);
    // The elements point nowhere valid: the queue must not look at them.
    for (uintptr_t i = 1; i <= 4; i++) {
        void* p = reinterpret_cast<void*>(i);
        ASSERT_TRUE(O::enqueue(q, &p));
    }
    EXPECT_TRUE(O::is_full(q));
    O::destroy(q);
}

// A thread that runs one blocking operation and tells when it returned.
struct BlockedCall {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    std::thread thread;

    template <typename F>
    explicit BlockedCall(F f)
        : thread([this, f] {
              tid = current_tid();
              f();
              returned = true;
          })
    {
        while (tid == 0) sched_yield();
    }
    bool sleeping_without_return() const { return test_support::wait_until_sleeping(tid) && !returned; }
    ~BlockedCall()
    {
        if (thread.joinable()) thread.join();
    }
};

TYPED_TEST(QueueTest, OneSlotQueueBlocksTheSecondEnqueueUntilADequeue)
{
    using O = Ops<TypeParam>;
    TypeParam* q = O::create(1, sizeof(int));
    ASSERT_NE(q, nullptr);
    int first = 1, second = 2;
    ASSERT_TRUE(O::enqueue(q, &first));
    {
        BlockedCall producer([&] { EXPECT_TRUE(O::enqueue(q, &second)); });
        ASSERT_TRUE(producer.sleeping_without_return());
        int out = 0;
        ASSERT_TRUE(O::dequeue(q, &out));
        EXPECT_EQ(out, 1);
        producer.thread.join();
        EXPECT_TRUE(producer.returned);
    }
    int out = 0;
    ASSERT_TRUE(O::dequeue(q, &out));
    EXPECT_EQ(out, 2);
    O::destroy(q);
}

TYPED_TEST(QueueTest, FullQueueOf4096BlocksThe4097thEnqueueUntilADequeue)
{
    using O = Ops<TypeParam>;
    TypeParam* q = O::create(4096, sizeof(uint32_t));
    ASSERT_NE(q, nullptr);
    for (uint32_t i = 0; i < 4096; i++) ASSERT_TRUE(O::enqueue(q, &i));
    EXPECT_TRUE(O::is_full(q));
    {
        uint32_t extra = 4096;
        BlockedCall producer([&] { EXPECT_TRUE(O::enqueue(q, &extra)); });
        ASSERT_TRUE(producer.sleeping_without_return());
        uint32_t out = 99;
        ASSERT_TRUE(O::dequeue(q, &out));
        EXPECT_EQ(out, 0u);
        producer.thread.join();
    }
    for (uint32_t i = 1; i <= 4096; i++) {
        uint32_t out = 0;
        ASSERT_TRUE(O::dequeue(q, &out));
        ASSERT_EQ(out, i);
    }
    EXPECT_TRUE(O::is_empty(q));
    O::destroy(q);
}

TYPED_TEST(QueueTest, EmptyQueueBlocksDequeueUntilAnEnqueue)
{
    using O = Ops<TypeParam>;
    TypeParam* q = O::create(2, sizeof(int));
    ASSERT_NE(q, nullptr);
    int out = 0;
    {
        BlockedCall consumer([&] { EXPECT_TRUE(O::dequeue(q, &out)); });
        ASSERT_TRUE(consumer.sleeping_without_return());
        int in = 7;
        ASSERT_TRUE(O::enqueue(q, &in));
        consumer.thread.join();
    }
    EXPECT_EQ(out, 7);
    O::destroy(q);
}

std::atomic<int> interruptions{0};

extern "C" void count_interruption(int)
{
    interruptions++;
}

// A handler without SA_RESTART: the semaphore wait returns EINTR, which the
// queue must take as "wait again".
struct InterruptingSignal {
    struct sigaction old {};
    InterruptingSignal()
    {
        struct sigaction sa {};
        sa.sa_handler = count_interruption;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &old);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &old, nullptr); }
};

// Interrupts the blocked call with a signal and checks that it waits again.
void interrupt_and_expect_waiting(BlockedCall& call)
{
    int before = interruptions;
    ASSERT_EQ(pthread_kill(call.thread.native_handle(), SIGUSR1), 0);
    auto deadline = std::chrono::steady_clock::now() + test_support::generous_timeout;
    while (interruptions == before && std::chrono::steady_clock::now() < deadline) sched_yield();
    ASSERT_GT(interruptions, before) << "the signal never reached the blocked thread";
    EXPECT_TRUE(call.sleeping_without_return()) << "the wait ended on a signal";
}

TYPED_TEST(QueueTest, SignalDoesNotEndABlockedDequeue)
{
    using O = Ops<TypeParam>;
    InterruptingSignal handler;
    TypeParam* q = O::create(1, sizeof(int));
    ASSERT_NE(q, nullptr);
    int out = 0;
    {
        BlockedCall consumer([&] { EXPECT_TRUE(O::dequeue(q, &out)); });
        ASSERT_TRUE(consumer.sleeping_without_return());
        interrupt_and_expect_waiting(consumer);
        int in = 42;
        ASSERT_TRUE(O::enqueue(q, &in));
        consumer.thread.join();
    }
    EXPECT_EQ(out, 42);
    O::destroy(q);
}

TYPED_TEST(QueueTest, SignalDoesNotEndABlockedEnqueue)
{
    using O = Ops<TypeParam>;
    InterruptingSignal handler;
    TypeParam* q = O::create(1, sizeof(int));
    ASSERT_NE(q, nullptr);
    int first = 1, second = 2;
    ASSERT_TRUE(O::enqueue(q, &first));
    {
        BlockedCall producer([&] { EXPECT_TRUE(O::enqueue(q, &second)); });
        ASSERT_TRUE(producer.sleeping_without_return());
        interrupt_and_expect_waiting(producer);
        int out = 0;
        ASSERT_TRUE(O::dequeue(q, &out));
        EXPECT_EQ(out, 1);
        producer.thread.join();
    }
    int out = 0;
    ASSERT_TRUE(O::dequeue(q, &out));
    EXPECT_EQ(out, 2);
    O::destroy(q);
}

// One element of the many-thread tests: who made it and its number there.
struct Stamp {
    uint32_t thread;
    uint32_t sequence;
};

constexpr uint32_t per_producer = 20000;

TEST(PNC1Queue, SeveralProducersKeepTheirOwnOrderAndLoseNothing)
{
    constexpr uint32_t producers = 4;
    PNC1Queue* q = pNc1_create(64, sizeof(Stamp)); // small, so producers block often
    ASSERT_NE(q, nullptr);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < producers; t++)
        threads.emplace_back([q, t] {
            for (uint32_t i = 0; i < per_producer; i++) {
                Stamp s{t, i};
                if (!pNc1_enqueue(q, &s)) abort();
            }
        });
    std::vector<uint32_t> next(producers, 0);
    for (uint32_t n = 0; n < producers * per_producer; n++) {
        Stamp s{};
        ASSERT_TRUE(pNc1_dequeue(q, &s));
        ASSERT_LT(s.thread, producers);
        ASSERT_EQ(s.sequence, next[s.thread]) << "producer " << s.thread;
        next[s.thread]++;
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(pNc1_is_empty(q));
    pNc1_destroy(q);
}

TEST(P1CNQueue, SeveralConsumersShareTheElementsOnceEachInOrder)
{
    constexpr uint32_t consumers = 4;
    constexpr uint32_t total = consumers * per_producer;
    P1CNQueue* q = p1cN_create(64, sizeof(uint32_t));
    ASSERT_NE(q, nullptr);
    std::vector<std::vector<uint32_t>> seen(consumers);
    std::vector<std::thread> threads;
    for (uint32_t c = 0; c < consumers; c++)
        threads.emplace_back([q, c, &seen] {
            for (;;) {
                uint32_t v = 0;
                if (!p1cN_dequeue(q, &v)) abort();
                if (v == UINT32_MAX) return; // end of data, one per consumer
                seen[c].push_back(v);
            }
        });
    for (uint32_t i = 0; i < total; i++) ASSERT_TRUE(p1cN_enqueue(q, &i));
    for (uint32_t c = 0; c < consumers; c++) {
        uint32_t end = UINT32_MAX;
        ASSERT_TRUE(p1cN_enqueue(q, &end));
    }
    for (auto& t : threads) t.join();
    std::vector<int> count(total, 0);
    for (const auto& values : seen) {
        for (size_t i = 0; i < values.size(); i++) {
            if (i > 0) {
                EXPECT_LT(values[i - 1], values[i]);
            }
            count[values[i]]++;
        }
    }
    for (uint32_t i = 0; i < total; i++) ASSERT_EQ(count[i], 1) << "element " << i;
    p1cN_destroy(q);
}

TEST(P1C1Queue, ProducerAndConsumerThreadsPassEveryElementInOrder)
{
    P1C1Queue* q = p1c1_create(16, sizeof(uint64_t));
    ASSERT_NE(q, nullptr);
    constexpr uint64_t count = 100000;
    std::thread producer([q] {
        for (uint64_t i = 0; i < count; i++)
            if (!p1c1_enqueue(q, &i)) abort();
    });
    for (uint64_t i = 0; i < count; i++) {
        uint64_t v = 0;
        ASSERT_TRUE(p1c1_dequeue(q, &v));
        ASSERT_EQ(v, i);
    }
    producer.join();
    p1c1_destroy(q);
}

TEST(NextPowerOf2, RoundsUp)
{
    EXPECT_EQ(next_power_of_2(1), 1u);
    EXPECT_EQ(next_power_of_2(2), 2u);
    EXPECT_EQ(next_power_of_2(3), 4u);
    EXPECT_EQ(next_power_of_2(5), 8u);
    EXPECT_EQ(next_power_of_2(4096), 4096u);
    EXPECT_EQ(next_power_of_2(4097), 8192u);
}

} // namespace
