// Elements per second through each queue variant at the recorder's capacity
// of 4096: record pointers (8 bytes) and ticket-sized elements (64 bytes).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "queue.h"

namespace {

constexpr size_t capacity = 4096;
constexpr size_t elements_per_run = 200000;

template <size_t Size>
struct Element {
    unsigned char bytes[Size];
};

// Moves elements_per_run elements from `producers` threads to `consumers`
// threads; each side's share is equal.
template <typename Q, size_t Size>
void transfer(Q* q, bool (*enqueue)(Q*, const void*), bool (*dequeue)(Q*, void*), int producers,
              int consumers)
{
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; p++)
        threads.emplace_back([=] {
            Element<Size> e{};
            for (size_t i = 0; i < elements_per_run / static_cast<size_t>(producers); i++)
                if (!enqueue(q, &e)) abort();
        });
    for (int c = 0; c < consumers; c++)
        threads.emplace_back([=] {
            Element<Size> e{};
            for (size_t i = 0; i < elements_per_run / static_cast<size_t>(consumers); i++) {
                if (!dequeue(q, &e)) abort();
                benchmark::DoNotOptimize(e);
            }
        });
    for (auto& t : threads) t.join();
}

template <typename Q, size_t Size>
void run(benchmark::State& state, Q* (*create)(size_t, size_t), void (*destroy)(Q*),
         bool (*enqueue)(Q*, const void*), bool (*dequeue)(Q*, void*))
{
    int producers = static_cast<int>(state.range(0));
    int consumers = static_cast<int>(state.range(1));
    Q* q = create(capacity, Size);
    for (auto _ : state) transfer<Q, Size>(q, enqueue, dequeue, producers, consumers);
    destroy(q);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(elements_per_run));
}

template <size_t Size>
void BM_P1C1(benchmark::State& state)
{
    run<P1C1Queue, Size>(state, p1c1_create, p1c1_destroy, p1c1_enqueue, p1c1_dequeue);
}
template <size_t Size>
void BM_PNC1(benchmark::State& state)
{
    run<PNC1Queue, Size>(state, pNc1_create, pNc1_destroy, pNc1_enqueue, pNc1_dequeue);
}

// Arguments: producers, consumers.
BENCHMARK_TEMPLATE(BM_P1C1, 8)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_PNC1, 8)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->Args({4, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_P1C1, 64)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_PNC1, 64)
    ->ArgNames({"producers", "consumers"})
    ->Args({1, 1})
    ->Args({4, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
