// The compressor's frame on a 1920 x 1080 screen: merging an image that
// changed (or did not), clearing, copying, finding a scroll, and whole frame
// ticks, next to memcpy of the same bytes.  Run in a Release build:
//   bench_framebuffer --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compressor.h"
#include "scroll.h"
#include "zel.h"

namespace {

constexpr uint16_t kWidth = 1920;
constexpr uint16_t kHeight = 1080;
constexpr size_t kBytes = static_cast<size_t>(kWidth) * kHeight * 4;

// Text-like rows: each row a pattern of its own, repeating every 37 rows.
std::vector<uint8_t> text_rows(int shift)
{
    std::vector<uint8_t> p(kBytes);
    for (size_t y = 0; y < kHeight; ++y)
        for (size_t x = 0; x < kWidth * 4; ++x)
            p[y * kWidth * 4 + x] =
                static_cast<uint8_t>(((y + static_cast<size_t>(shift)) % 37) * 7 + x % 13);
    return p;
}

xcb_get_image_reply_t* reply_of(const std::vector<uint8_t>& pixels)
{
    auto* reply =
        static_cast<xcb_get_image_reply_t*>(std::calloc(1, sizeof(xcb_get_image_reply_t) + pixels.size()));
    reply->length = static_cast<uint32_t>(pixels.size() / 4);
    std::memcpy(xcb_get_image_data(reply), pixels.data(), pixels.size());
    return reply;
}

bool discard(RecordPtr)
{
    return true;
}

struct Compressor {
    Compressor()
    {
        compressor_geometry_set(xRGB8888, 32, 32);
        compressor_sink_set(discard);
        compressor_screen_setup(kWidth, kHeight);
    }
    ~Compressor()
    {
        compressor_teardown();
        compressor_sink_set(nullptr);
    }
    void image(const std::vector<uint8_t>& pixels)
    {
        CompressorTicket t{TICKET_IMAGE, {0, 0, kWidth, kHeight}, reply_of(pixels), 0, 0};
        compressor_handle_ticket(&t);
    }
    void frame()
    {
        CompressorTicket t{TICKET_FRAME, {0, 0, 0, 0}, nullptr, 0, 0};
        compressor_handle_ticket(&t);
    }
};

void BM_memcpy_screen(benchmark::State& state)
{
    std::vector<uint8_t> a(kBytes, 1), b(kBytes);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), kBytes);
        benchmark::DoNotOptimize(b.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

// A whole screen merged: unchanged (compared only) or changed everywhere.
void BM_merge_screen(benchmark::State& state)
{
    Compressor c;
    const std::vector<uint8_t> a = text_rows(0), b = text_rows(1);
    c.image(a);
    c.frame();
    for (auto _ : state) {
        c.image(state.range(0) ? b : a);
        state.PauseTiming();
        c.image(a);
        c.frame();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_find_scroll(benchmark::State& state)
{
    const std::vector<uint8_t> a = text_rows(0), b = text_rows(3);
    for (auto _ : state) {
        Scroll s = find_scroll(a.data(), kWidth * 4, b.data(), kWidth * 4, kWidth * 4, kHeight);
        benchmark::DoNotOptimize(s);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes * 2));
}

// One tick end to end: a scrolled screen becomes a copy and a few blocks.
void BM_scrolled_tick(benchmark::State& state)
{
    Compressor c;
    std::vector<std::vector<uint8_t>> screens;
    for (int i = 0; i < 4; ++i) screens.push_back(text_rows(i));
    c.image(screens[0]);
    c.frame();
    size_t k = 0;
    for (auto _ : state) {
        c.image(screens[++k % 4]);
        c.frame();
    }
}

} // namespace

BENCHMARK(BM_memcpy_screen);
BENCHMARK(BM_merge_screen)->Arg(0)->Arg(1);
BENCHMARK(BM_find_scroll);
BENCHMARK(BM_scrolled_tick);
BENCHMARK_MAIN();
