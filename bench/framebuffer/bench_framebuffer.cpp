// Framebuffer operations on a 1920 x 1080 screen at 32, 16 and 8 bits per
// pixel, in bytes of pixels moved per second, next to memcpy and memset of
// the same bytes.  Run in a Release build:
//   bench_framebuffer --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compressor.h"
#include "zel.h"

namespace {

constexpr uint16_t kWidth = 1920;
constexpr uint16_t kHeight = 1080;

PixelFormat format_of(int bpp)
{
    return bpp == 8 ? PALETTE8 : bpp == 16 ? RGB565 : xRGB8888;
}

struct Screen {
    int bpp;
    ZelImage* frame;
    Screen(int bits) : bpp(bits)
    {
        compressor_geometry_set(format_of(bits), static_cast<uint8_t>(bits), 32);
        frame = image_create(kWidth, kHeight);
    }
    ~Screen() { zel_record_free(frame); }
    size_t pixel_bytes(uint16_t w, uint16_t h) const { return static_cast<size_t>(w) * h * (bpp / 8); }
};

// An image of the given size with its own storage, as a reply would be.
struct Source {
    ZelImage view{};
    std::vector<uint8_t> data;
    Source(int bpp, int16_t x, int16_t y, uint16_t w, uint16_t h)
    {
        const uint32_t stride = stride_in_bytes(w, static_cast<uint8_t>(bpp), 32);
        data.assign(static_cast<size_t>(stride) * h, 0x5a);
        view.type = ZEL_IMAGE;
        view.x = x;
        view.y = y;
        view.width = w;
        view.height = h;
        view.bytes_per_line = stride;
        view.length = static_cast<uint32_t>(data.size());
        view.data = data.data();
    }
};

MergeFunction merge_for(int bpp)
{
    return bpp == 8 ? merge_image_depth8 : bpp == 16 ? merge_image_depth16 : merge_image_depth32;
}
ClearRectangleFunction clear_for(int bpp)
{
    return bpp == 8 ? clear_rectangle_depth8 : bpp == 16 ? clear_rectangle_depth16 : clear_rectangle_depth32;
}

void BM_memcpy_screen(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(kWidth) * kHeight * (state.range(0) / 8);
    std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_memset_screen(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(kWidth) * kHeight * (state.range(0) / 8);
    std::vector<uint8_t> a(bytes, 1);
    for (auto _ : state) {
        std::memset(a.data(), 0, bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// A whole-screen reply merged into the frame.
void BM_merge_screen(benchmark::State& state)
{
    Screen s(static_cast<int>(state.range(0)));
    Source image(s.bpp, 0, 0, kWidth, kHeight);
    const MergeFunction merge = merge_for(s.bpp);
    for (auto _ : state) {
        merge(&image.view, s.frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.pixel_bytes(kWidth, kHeight)));
}

// A window-sized reply (800 x 600) overhanging the left edge.
void BM_merge_window(benchmark::State& state)
{
    Screen s(static_cast<int>(state.range(0)));
    Source image(s.bpp, -10, 100, 800, 600);
    const MergeFunction merge = merge_for(s.bpp);
    for (auto _ : state) {
        merge(&image.view, s.frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.pixel_bytes(790, 600)));
}

void BM_clear_screen(benchmark::State& state)
{
    Screen s(static_cast<int>(state.range(0)));
    const ClearRectangleFunction clear = clear_for(s.bpp);
    const Rectangle all{0, 0, kWidth, kHeight};
    for (auto _ : state) {
        clear(&all, s.frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.pixel_bytes(kWidth, kHeight)));
}

// Every 32 x 32 block of the screen extracted into a block record payload.
void BM_extract_all_blocks(benchmark::State& state)
{
    const int bpp = static_cast<int>(state.range(0));
    compressor_geometry_set(format_of(bpp), static_cast<uint8_t>(bpp), 32);
    compressor_screen_setup(kWidth, kHeight);
    Tracker* t = tracker_create(kWidth, kHeight, 32, 32);
    tracker_add_box(t, Box{0, 0, kWidth - 1, kHeight - 1});
    std::vector<Box> blocks(tracker_number_of_blocks(t));
    uint32_t n = 0;
    tracker_list_changed_blocks(t, blocks.data(), &n);
    std::vector<uint8_t> payload(image_blocks_max_length(t));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            image_blocks_data_fill(compressor_frame(), blocks.data(), n, payload.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * static_cast<size_t>(kWidth) * kHeight * (bpp / 8)));
    tracker_destroy(t);
    compressor_teardown();
}

// Marking a damage box and listing the changed blocks, as one frame tick
// does before extracting (no pixels moved).
void BM_tracker_mark_and_list(benchmark::State& state)
{
    Tracker* t = tracker_create(kWidth, kHeight, 32, 32);
    std::vector<Box> blocks(tracker_number_of_blocks(t));
    for (auto _ : state) {
        tracker_add_box(t, Box{100, 100, 1100, 700});
        uint32_t n = 0;
        tracker_list_changed_blocks(t, blocks.data(), &n);
        tracker_reset(t);
        benchmark::DoNotOptimize(n);
    }
    tracker_destroy(t);
}

bool discard(void* p)
{
    zel_record_free(*static_cast<void**>(p));
    return true;
}

// One frame tick end to end with the given share (percent) of blocks
// changed: block list, payload, compression (the whole screen from 80%).
void BM_frame_tick(benchmark::State& state)
{
    compressor_geometry_set(xRGB8888, 32, 32);
    compressor_sink_set(discard);
    compressor_screen_setup(kWidth, kHeight);
    std::vector<uint8_t> noise(static_cast<size_t>(kWidth) * 4 * kHeight);
    uint32_t x = 12345;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24) & 0x0f;
    // The screen holds low-contrast noise, so compression has work to do.
    auto* reply =
        static_cast<xcb_get_image_reply_t*>(std::calloc(1, sizeof(xcb_get_image_reply_t) + noise.size()));
    reply->length = static_cast<uint32_t>(noise.size() / 4);
    std::memcpy(xcb_get_image_data(reply), noise.data(), noise.size());
    CompressorTicket image{TICKET_IMAGE, Rectangle{0, 0, kWidth, kHeight}, reply};
    compressor_handle_ticket(&image); // the compressor frees the reply
    const uint32_t nblocks = tracker_number_of_blocks(compressor_tracker());
    const auto nchanged = static_cast<uint32_t>(nblocks * state.range(0) / 100);
    for (auto _ : state) {
        for (uint32_t i = 0; i < nchanged; ++i) {
            CompressorTicket t{
                TICKET_CLEAR,
                Rectangle{static_cast<int16_t>(i % 60 * 32), static_cast<int16_t>(i / 60 * 32), 1, 1},
                nullptr};
            compressor_handle_ticket(&t);
        }
        CompressorTicket frame{TICKET_FRAME, Rectangle{0, 0, 0, 0}, nullptr};
        compressor_handle_ticket(&frame);
    }
    state.counters["blocks"] = nchanged;
    compressor_teardown();
    compressor_sink_set(nullptr);
}

} // namespace

BENCHMARK(BM_memcpy_screen)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_merge_screen)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_merge_window)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_extract_all_blocks)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_memset_screen)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_clear_screen)->Arg(32)->Arg(16)->Arg(8);
BENCHMARK(BM_tracker_mark_and_list);
BENCHMARK(BM_frame_tick)->Arg(5)->Arg(50)->Arg(79)->Arg(100)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
