// Replay rebuilds the exact pixels the compressor sent, at every pixel size
// and for widths that are not a multiple of the scanline pad; copies move
// pixels as if read whole before written, and never outside the screen.
#include <random>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

struct Geometry {
    PixelFormat format;
    uint8_t pad;
    uint16_t width, height;
};

class ReplayExact : public ::testing::TestWithParam<Geometry> {};

// A random whole screen, then random block records (their row padding holds
// junk), through compression, the file and the reader.
TEST_P(ReplayExact, BlocksAndFullImagesRebuildTheFrame)
{
    const auto [format, pad, width, height] = GetParam();
    const uint8_t bpp = pixel_format_bytes_per_pixel(format);
    auto stride = [&](uint32_t w) { return stride_in_bytes(w, static_cast<uint8_t>(bpp * 8), pad); };
    std::vector<uint8_t> frame(size_t{stride(width)} * height);
    std::mt19937 rng(42);
    Records rs;
    rs.header(t0, width, height, format, pad);
    for (uint32_t k = 0, x = 0, y = 0, w = width, h = height; k < 6; ++k) {
        std::vector<uint8_t> data(8);
        const uint16_t rect[4] = {uint16_t(x), uint16_t(y), uint16_t(w), uint16_t(h)};
        std::memcpy(data.data(), rect, 8);
        for (uint32_t r = y; r < y + h; ++r) {
            uint8_t* p = frame.data() + r * stride(width) + x * bpp;
            for (size_t b = 0; b < w * bpp; ++b) p[b] = static_cast<uint8_t>(rng());
            data.insert(data.end(), p, p + w * bpp);
            data.insert(data.end(), stride(w) - w * bpp, 0xEE);
        }
        ZelImage i{ZEL_IMAGE, t0, width, height, 0, 0, format, pad, 0, uint32_t(frame.size()), frame.data()};
        ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t0 + k, uint32_t(data.size()), data.data()};
        k == 0 ? rs.take(zel_image_compress(&i)) : rs.take(zel_image_blocks_compress(&b));
        x = rng() % width, y = rng() % height, w = 1 + rng() % (width - x), h = 1 + rng() % (height - y);
    }
    ZelReplay* replay = zel_replay_new();
    for (auto& r : read_memory(recording(rs)).records) ASSERT_EQ(zel_replay_apply(replay, r.get()), 0);
    uint32_t n = 0;
    const uint8_t* canvas = zel_replay_canvas(replay, &n);
    ASSERT_EQ(n, stride(width));
    for (size_t r = 0; r < height; ++r)
        EXPECT_EQ(std::memcmp(canvas + r * n, frame.data() + r * n, size_t{width} * bpp), 0) << r;
    zel_replay_free(replay);
}

INSTANTIATE_TEST_SUITE_P(AllPixelSizes, ReplayExact,
                         ::testing::Values(Geometry{PALETTE8, 32, 37, 23}, Geometry{PALETTE8, 8, 37, 23},
                                           Geometry{RGB332, 16, 65, 33}, Geometry{RGB565, 32, 37, 23},
                                           Geometry{BGR565, 16, 71, 40}, Geometry{xRGB8888, 32, 100, 70}));

// A 16x12 screen whose pixel i holds the value i.
struct Screen {
    ZelReplay* r = zel_replay_new();
    std::vector<uint32_t> px = std::vector<uint32_t>(16 * 12);
    Screen()
    {
        for (uint32_t i = 0; i < px.size(); ++i) px[i] = i;
        ZelHeader hd{ZEL_HEADER, 1, 0, 24, 16, 12, xRGB8888, 32, 0, nullptr, 8, 255, nullptr, nullptr};
        ZelImage img{
            ZEL_IMAGE, 1, 16, 12, 0, 0, xRGB8888, 32, 64, 16 * 12 * 4, reinterpret_cast<uint8_t*>(px.data())};
        EXPECT_TRUE(zel_replay_apply(r, &hd) == 0 && zel_replay_apply(r, &img) == 0);
    }
    ~Screen() { zel_replay_free(r); }
    std::vector<uint32_t> pixels() const
    {
        const auto* c = reinterpret_cast<const uint32_t*>(zel_replay_canvas(r, nullptr));
        return {c, c + 16 * 12};
    }
    int apply(const std::vector<ZelCopyRect>& rects)
    {
        ZelCopy c{ZEL_COPY, 9, static_cast<uint32_t>(rects.size()), const_cast<ZelCopyRect*>(rects.data())};
        return zel_replay_apply(r, &c);
    }
};

// What a copy means: each entry's whole source read, then its target written.
std::vector<uint32_t> reference_copy(std::vector<uint32_t> px, const std::vector<ZelCopyRect>& rects)
{
    for (const ZelCopyRect& c : rects) {
        std::vector<uint32_t> src;
        for (int y = 0; y < c.height * c.width; ++y)
            src.push_back(px[size_t((c.src_y + y / c.width) * 16 + c.src_x + y % c.width)]);
        for (int y = 0; y < c.height * c.width; ++y)
            px[size_t((c.dst_y + y / c.width) * 16 + c.dst_x + y % c.width)] = src[size_t(y)];
    }
    return px;
}

// Copies that fit, then copies of which one rectangle passes an edge.
TEST(ReplayCopy, CopiesMoveLikeMemmoveInOrderOrAreRefusedWhole)
{
    // clang-format off
    const std::vector<std::vector<ZelCopyRect>> fit = {
        {{0, 0, 16, 10, 0, 2}}, {{0, 2, 16, 10, 0, 0}}, {{0, 0, 12, 12, 3, 0}}, {{3, 0, 13, 12, 0, 0}},
        {{1, 1, 10, 8, 3, 2}}, {{3, 2, 10, 8, 1, 1}}, {{0, 0, 16, 12, 0, 0}}, {{15, 11, 1, 1, 0, 0}},
        {{0, 0, 4, 4, 8, 8}, {8, 8, 4, 4, 0, 8}},         // the second reads what the first wrote
        {{-5, -5, 0, 3, 100, 100}, {0, 0, 1, 1, 15, 11}}, // an empty entry does nothing
    }, outside = {
        {{0, 0, 4, 4, 1, 1}, {13, 0, 4, 1, 0, 0}}, {{0, 0, 2, 2, -1, 0}}, {{0, 0, 2, 2, 0, 11}}, {{0, -1, 2, 2, 0, 0}},
        {{0, 0, 17, 1, 0, 0}}, {{0, 0, 1, 13, 0, 0}}, {{-32768, -32768, 65535, 65535, 0, 0}},
    };
    // clang-format on
    for (const auto& rects : fit) {
        Screen s;
        ASSERT_EQ(s.apply(rects), 0) << rects.size() << " " << rects[0].src_x;
        EXPECT_EQ(s.pixels(), reference_copy(s.px, rects)) << rects.size() << " " << rects[0].src_x;
        EXPECT_EQ(zel_replay_time(s.r), 9u);
    }
    for (const auto& rects : outside) {
        Screen s;
        errno = 0;
        EXPECT_TRUE(s.apply(rects) == -1 && errno == EINVAL) << rects.size() << " " << rects[0].src_x;
        EXPECT_EQ(s.pixels(), s.px); // nothing painted
        EXPECT_EQ(zel_replay_time(s.r), 1u);
    }
    ZelReplay* empty = zel_replay_new();
    ZelCopy c{ZEL_COPY, 9, 1, const_cast<ZelCopyRect*>(fit[7].data())};
    EXPECT_EQ(zel_replay_apply(empty, &c), -1); // no screen yet
    zel_replay_free(empty);
}

// After damage, pictures (here a copy and a block) pass over until a whole screen; other records
// (here a window and a move) still count.
TEST(ReplayDamage, PicturesWaitForAWholeScreen)
{
    Screen s;
    zel_replay_mark_damage(s.r);
    std::vector<uint32_t> px(16 * 12, 7);
    ZelImage whole{
        ZEL_IMAGE, 20, 16, 12, 0, 0, xRGB8888, 32, 64, 16 * 12 * 4, reinterpret_cast<uint8_t*>(px.data())},
        part = whole;
    part.width = 15;
    ZelWindow gone{ZEL_WINDOW, 12, 1, ZEL_WINDOW_GONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, {}, {}, {}};
    ZelCursorPosition to{ZEL_CURSOR_POSITION, 13, 5, 6};
    int16_t x = 0, y = 0;
    EXPECT_EQ(s.apply({{0, 0, 4, 4, 8, 8}}), 0);
    EXPECT_TRUE(zel_replay_apply(s.r, &part) == 0 && zel_replay_apply(s.r, &gone) == 0);
    EXPECT_TRUE(zel_replay_apply(s.r, &to) == 0 && zel_replay_cursor(s.r, &x, &y) == 0 && x == 5);
    EXPECT_TRUE(s.pixels() == s.px && zel_replay_time(s.r) == 13 && !zel_replay_is_whole(s.r));
    EXPECT_TRUE(zel_replay_apply(s.r, &whole) == 0 && s.pixels() == px && zel_replay_is_whole(s.r));
}

TEST(ReplayCursor, CompressedAndPlainCursorsDrawTheSame)
{
    uint32_t pixels[4] = {0xFFFF0000u, 0x80000080u, 0x00000000u, 0xFFFFFFFFu}; // premultiplied ARGB
    ZelCursorImage plain{ZEL_CURSOR_IMAGE, 2, 2, 2, 3, 3, 1, 1, 7, 4, pixels};
    ZelCompressedCursorImage* packed = zel_cursor_image_compress(&plain);
    ZelCursorPosition to{ZEL_CURSOR_POSITION, 9, 5, 6};
    std::vector<uint8_t> drawn[2] = {std::vector<uint8_t>(16 * 12 * 4), std::vector<uint8_t>(16 * 12 * 4)};
    for (int k = 0; k < 2; ++k) {
        Screen s;
        EXPECT_TRUE(zel_replay_apply(s.r, k ? static_cast<void*>(packed) : &plain) == 0 &&
                    zel_replay_apply(s.r, &to) == 0);
        EXPECT_EQ(zel_replay_render_rgba(s.r, drawn[k].data(), drawn[k].size(), 1), 0);
    }
    EXPECT_EQ(drawn[0], drawn[1]);
    EXPECT_EQ(std::vector<uint8_t>(&drawn[1][(5 * 16 + 4) * 4], &drawn[1][(5 * 16 + 5) * 4]),
              (std::vector<uint8_t>{255, 0, 0, 255})); // the hot spot at the pointer
    packed->length = 5;                                // not width x height
    EXPECT_TRUE(zel_cursor_image_decompress(packed) == nullptr && errno == EINVAL);
    plain.length = 3;
    EXPECT_EQ(zel_cursor_image_compress(&plain), nullptr);
    zel_record_free(packed);
}

} // namespace
