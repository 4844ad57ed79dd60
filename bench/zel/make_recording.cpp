// zel_make_recording OUT SECONDS [BLOCKS_PER_FRAME [FULL_EVERY_SECONDS [WIDTHxHEIGHT]]]
// Writes a synthetic recording the way the recorder does: a header, a full
// screen, then at 10 frames a second a compressed record of the changed
// 32x32 blocks (text-like content, as a terminal being typed into) and a
// cursor position, a full screen every FULL_EVERY_SECONDS (0: never), and the
// end-of-data record.  For the reader, replay and seeking measurements.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "zel.h"

namespace {

struct Screen {
    uint16_t w, h;
    std::vector<uint8_t> px; // xRGB8888, stride w*4
    std::mt19937 rng{1};

    // Text-like: 8x16 character cells of light glyph strokes on a dark background.
    void text_block(int bx, int by)
    {
        for (int cy = 0; cy < 2; ++cy)
            for (int cx = 0; cx < 4; ++cx) {
                uint32_t glyph = rng();
                bool blank = (glyph & 7) == 0;
                for (int y = 0; y < 16; ++y)
                    for (int x = 0; x < 8; ++x) {
                        int px_x = bx * 32 + cx * 8 + x, px_y = by * 32 + cy * 16 + y;
                        if (px_x >= w || px_y >= h) continue;
                        bool on = !blank && y >= 3 && y < 13 && x >= 1 && x < 7 &&
                                  ((glyph >> ((y * 3 + x) % 29)) & 1) != 0;
                        uint32_t v = on ? 0x00D0D0D0u : 0x00101010u;
                        std::memcpy(px.data() + (static_cast<size_t>(px_y) * w + px_x) * 4, &v, 4);
                    }
            }
    }
};

bool write(ZelWriter* wr, void* record)
{
    bool ok = record != nullptr && zel_record_write(wr, record) == 0;
    zel_record_free(record);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: zel_make_recording OUT SECONDS [BLOCKS_PER_FRAME [FULL_EVERY_SECONDS [WxH]]]\n");
        return 1;
    }
    const double seconds = std::atof(argv[2]);
    const int per_frame = argc > 3 ? std::atoi(argv[3]) : 5;
    const double full_every = argc > 4 ? std::atof(argv[4]) : 60;
    unsigned w = 1920, h = 1080;
    if (argc > 5 && std::sscanf(argv[5], "%ux%u", &w, &h) != 2) return 1;
    Screen s{static_cast<uint16_t>(w), static_cast<uint16_t>(h),
             std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
    const int cols = (s.w + 31) / 32, rows = (s.h + 31) / 32;
    for (int by = 0; by < rows; ++by)
        for (int bx = 0; bx < cols; ++bx) s.text_block(bx, by);

    ZelWriter* wr = zel_writer_open(argv[1]);
    if (wr == nullptr) {
        std::perror("zel_make_recording");
        return 1;
    }
    const uint64_t t0 = 1'750'000'000'000'000ull;
    auto* hd = static_cast<ZelHeader*>(std::calloc(1, sizeof(ZelHeader)));
    *hd = ZelHeader{ZEL_HEADER, 1, t0, 24, s.w, s.h, xRGB8888, 32, 0, nullptr, 8, 255, nullptr, nullptr};
    bool ok = write(wr, hd);
    auto full = [&](uint64_t t) {
        ZelImage img{ZEL_IMAGE,  t,        s.w, s.h,      0,
                     0,          xRGB8888, 32,  s.w * 4u, static_cast<uint32_t>(s.px.size()),
                     s.px.data()};
        return write(wr, zel_image_compress(&img));
    };
    ok = ok && full(t0);
    const auto frames = static_cast<long>(seconds * 10);
    const long full_frames = full_every > 0 ? static_cast<long>(full_every * 10) : 0;
    std::vector<uint8_t> blocks;
    auto begin = std::chrono::steady_clock::now();
    for (long f = 1; f <= frames && ok; ++f) {
        const uint64_t t = t0 + static_cast<uint64_t>(f) * 100'000;
        if (full_frames > 0 && f % full_frames == 0) {
            for (int by = 0; by < rows; ++by)
                for (int bx = 0; bx < cols; ++bx) s.text_block(bx, by);
            ok = full(t);
        } else {
            // A run of neighbouring blocks, like a line being typed.
            int by = static_cast<int>(s.rng() % static_cast<unsigned>(rows));
            int bx0 = static_cast<int>(s.rng() % static_cast<unsigned>(cols));
            blocks.clear();
            for (int k = 0; k < per_frame; ++k) {
                int bx = (bx0 + k) % cols, row = (by + (bx0 + k) / cols) % rows;
                s.text_block(bx, row);
                int16_t x = static_cast<int16_t>(bx * 32), y = static_cast<int16_t>(row * 32);
                uint16_t bw = static_cast<uint16_t>(std::min(32, s.w - x)),
                         bh = static_cast<uint16_t>(std::min(32, s.h - y));
                uint8_t rect[8];
                std::memcpy(rect, &x, 2);
                std::memcpy(rect + 2, &y, 2);
                std::memcpy(rect + 4, &bw, 2);
                std::memcpy(rect + 6, &bh, 2);
                blocks.insert(blocks.end(), rect, rect + 8);
                for (int r = 0; r < bh; ++r) {
                    const uint8_t* src =
                        s.px.data() + (static_cast<size_t>(y + r) * s.w + static_cast<size_t>(x)) * 4;
                    blocks.insert(blocks.end(), src, src + bw * 4);
                }
            }
            ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(blocks.size()), blocks.data()};
            ok = write(wr, zel_image_blocks_compress(&b));
        }
        auto* cp = static_cast<ZelCursorPosition*>(std::calloc(1, sizeof(ZelCursorPosition)));
        *cp = ZelCursorPosition{ZEL_CURSOR_POSITION, t + 50'000, static_cast<int16_t>(f % s.w),
                                static_cast<int16_t>(f % s.h)};
        ok = ok && write(wr, cp);
    }
    ZelRecord* done = zel_record_done();
    if (done != nullptr) done->timestamp = t0 + static_cast<uint64_t>(frames) * 100'000 + 1;
    ok = ok && write(wr, done);
    ok = zel_writer_close(wr) == 0 && ok;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::fprintf(stderr, "zel_make_recording: %ld frames in %.1f s\n", frames, secs);
    return ok ? 0 : 1;
}
