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

// Random frames, sent as whole screens and as blocks whose row padding holds
// junk, through compression, the file and the reader.
TEST_P(ReplayExact, BlocksAndFullImagesRebuildTheFrame)
{
    const Geometry g = GetParam();
    const uint8_t bpp = pixel_format_bytes_per_pixel(g.format);
    const uint32_t stride = stride_in_bytes(g.width, static_cast<uint8_t>(bpp * 8), g.pad);
    std::vector<uint8_t> frame(static_cast<size_t>(stride) * g.height);
    std::mt19937 rng(42);
    Records rs;
    add_header(rs, t0, g.width, g.height, g.format)->scanline_pad = g.pad;
    for (int k = 0; k < 6; ++k) {
        const int x = k == 0 ? 0 : static_cast<int>(rng() % g.width),
                  y = k == 0 ? 0 : static_cast<int>(rng() % g.height);
        const int w = k == 0 ? g.width : 1 + static_cast<int>(rng() % static_cast<unsigned>(g.width - x));
        const int h = k == 0 ? g.height : 1 + static_cast<int>(rng() % static_cast<unsigned>(g.height - y));
        const uint32_t row = stride_in_bytes(static_cast<uint32_t>(w), static_cast<uint8_t>(bpp * 8), g.pad);
        std::vector<uint8_t> data(8, 0);
        const uint16_t rect[4] = {static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                  static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
        std::memcpy(data.data(), rect, 8);
        for (int r = y; r < y + h; ++r) {
            uint8_t* p = frame.data() + static_cast<size_t>(r) * stride + static_cast<size_t>(x) * bpp;
            for (size_t b = 0; b < static_cast<size_t>(w) * bpp; ++b) p[b] = static_cast<uint8_t>(rng());
            data.insert(data.end(), p, p + static_cast<size_t>(w) * bpp);
            data.insert(data.end(), row - static_cast<size_t>(w) * bpp, 0xEE);
        }
        ZelImage whole{ZEL_IMAGE,   t0 + 1,   g.width, g.height, 0,
                       0,           g.format, g.pad,   stride,   static_cast<uint32_t>(frame.size()),
                       frame.data()};
        ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t0 + 2 + static_cast<uint64_t>(k),
                         static_cast<uint32_t>(data.size()), data.data()};
        if (k == 0)
            rs.take(zel_image_compress(&whole));
        else
            rs.take(zel_image_blocks_compress(&b));
    }
    ReadResult read = read_memory(recording(rs));
    ZelReplay* replay = zel_replay_new();
    for (auto& r : read.records) ASSERT_EQ(zel_replay_apply(replay, r.get()), 0);
    uint32_t got_stride = 0;
    const uint8_t* canvas = zel_replay_canvas(replay, &got_stride);
    ASSERT_EQ(got_stride, stride);
    for (size_t r = 0; r < g.height; ++r)
        ASSERT_EQ(
            std::memcmp(canvas + r * stride, frame.data() + r * stride, static_cast<size_t>(g.width) * bpp),
            0)
            << "row " << r;
    zel_replay_free(replay);
}

INSTANTIATE_TEST_SUITE_P(AllPixelSizes, ReplayExact,
                         ::testing::Values(Geometry{PALETTE8, 32, 37, 23}, Geometry{PALETTE8, 8, 37, 23},
                                           Geometry{RGB332, 16, 65, 33}, Geometry{RGB565, 32, 37, 23},
                                           Geometry{BGR565, 16, 71, 40}, Geometry{xRGB8888, 32, 100, 70}));

// A replay of a header and one image with these pixel bytes; RGBA of pixel 0.
std::vector<uint8_t> first_pixel(PixelFormat format, std::vector<uint8_t> pixel,
                                 const RgbValue* palette = nullptr)
{
    ZelReplay* r = zel_replay_new();
    ZelHeader hd{ZEL_HEADER,
                 1,
                 0,
                 24,
                 1,
                 1,
                 format,
                 32,
                 static_cast<uint16_t>(palette ? 2 : 0),
                 const_cast<RgbValue*>(palette),
                 8,
                 255,
                 nullptr,
                 nullptr};
    pixel.resize(4, 0);
    ZelImage img{ZEL_IMAGE, 1, 1, 1, 0, 0, format, 32, 4, 4, pixel.data()};
    EXPECT_EQ(zel_replay_apply(r, &hd), 0);
    EXPECT_EQ(zel_replay_apply(r, &img), 0);
    std::vector<uint8_t> out(4);
    EXPECT_EQ(zel_replay_render_rgba(r, out.data(), out.size(), 0), 0);
    zel_replay_free(r);
    return out;
}

TEST(ReplayColours, EveryFormatConvertsToRgba)
{
    using V = std::vector<uint8_t>;
    const RgbValue palette[2] = {{0x1234, 0x5678, 0x9ABC, {0, 0}}, {0xFFFF, 0xFFFF, 0, {0, 0}}};
    const struct {
        PixelFormat format;
        V in, rgba;
    } cases[] = {
        {xRGB8888, {0x33, 0x22, 0x11, 0x99}, {0x11, 0x22, 0x33, 255}},
        {xBGR8888, {0x33, 0x22, 0x11, 0x99}, {0x33, 0x22, 0x11, 255}},
        {RGBx8888, {0x99, 0x33, 0x22, 0x11}, {0x11, 0x22, 0x33, 255}},
        {BGRx8888, {0x99, 0x11, 0x22, 0x33}, {0x11, 0x22, 0x33, 255}},
        {ARGB8888, {0x33, 0x22, 0x11, 0x80}, {0x11, 0x22, 0x33, 0x80}},
        {ABGR8888, {0x11, 0x22, 0x33, 0x80}, {0x11, 0x22, 0x33, 0x80}},
        {RGBA8888, {0x80, 0x33, 0x22, 0x11}, {0x11, 0x22, 0x33, 0x80}},
        {BGRA8888, {0x80, 0x11, 0x22, 0x33}, {0x11, 0x22, 0x33, 0x80}},
        {RGB565, {0x00, 0xF8}, {255, 0, 0, 255}},
        {RGB565, {0xE0, 0x07}, {0, 255, 0, 255}},
        {BGR565, {0x1F, 0x00}, {255, 0, 0, 255}},
        {RGB332, {0xE0}, {255, 0, 0, 255}},
        {RGB332, {0x03}, {0, 0, 255, 255}},
        {BGR233, {0x07}, {255, 0, 0, 255}},
        {BGR233, {0xC0}, {0, 0, 255, 255}},
        {PALETTE8, {1}, {255, 255, 0, 255}},
        {PALETTE8, {0}, {0x12, 0x56, 0x9A, 255}},
        {PALETTE8, {7}, {0, 0, 0, 255}}, // past the palette
    };
    for (const auto& c : cases)
        EXPECT_EQ(first_pixel(c.format, c.in, c.format == PALETTE8 ? palette : nullptr), c.rgba) << c.format;
}

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
        EXPECT_EQ(zel_replay_apply(r, &hd), 0);
        EXPECT_EQ(zel_replay_apply(r, &img), 0);
    }
    ~Screen() { zel_replay_free(r); }
    std::vector<uint32_t> pixels() const
    {
        uint32_t stride = 0;
        const auto* c = reinterpret_cast<const uint32_t*>(zel_replay_canvas(r, &stride));
        return {c, c + 16 * 12};
    }
};

// What a copy means: each entry's whole source read, then its target written.
std::vector<uint32_t> reference_copy(std::vector<uint32_t> px, const std::vector<ZelCopyRect>& rects)
{
    for (const ZelCopyRect& c : rects) {
        std::vector<uint32_t> src;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                src.push_back(px[static_cast<size_t>((c.src_y + y) * 16 + c.src_x + x)]);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                px[static_cast<size_t>((c.dst_y + y) * 16 + c.dst_x + x)] =
                    src[static_cast<size_t>(y * c.width + x)];
    }
    return px;
}

TEST(ReplayCopy, OverlappingCopiesMoveLikeMemmoveInOrder)
{
    const std::vector<std::vector<ZelCopyRect>> cases = {
        {{0, 0, 16, 10, 0, 2}},
        {{0, 2, 16, 10, 0, 0}},
        {{0, 0, 12, 12, 3, 0}},
        {{3, 0, 13, 12, 0, 0}},
        {{1, 1, 10, 8, 3, 2}},
        {{3, 2, 10, 8, 1, 1}},
        {{0, 0, 16, 12, 0, 0}},
        {{15, 11, 1, 1, 0, 0}},
        {{0, 0, 4, 4, 8, 8}, {8, 8, 4, 4, 0, 8}},         // the second reads what the first wrote
        {{-5, -5, 0, 3, 100, 100}, {0, 0, 1, 1, 15, 11}}, // an empty entry does nothing
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Screen s;
        ZelCopy c{ZEL_COPY, 9, static_cast<uint32_t>(cases[i].size()),
                  const_cast<ZelCopyRect*>(cases[i].data())};
        ASSERT_EQ(zel_replay_apply(s.r, &c), 0) << "case " << i;
        EXPECT_EQ(s.pixels(), reference_copy(s.px, cases[i])) << "case " << i;
        EXPECT_EQ(zel_replay_time(s.r), 9u);
    }
}

TEST(ReplayCopy, ACopyNotInsideTheScreenIsRefusedWhole)
{
    const std::vector<std::vector<ZelCopyRect>> cases = {
        {{0, 0, 4, 4, 1, 1}, {13, 0, 4, 1, 0, 0}}, // the second's source passes the right edge
        {{0, 0, 2, 2, -1, 0}},
        {{0, 0, 2, 2, 0, 11}},
        {{0, -1, 2, 2, 0, 0}},
        {{0, 0, 17, 1, 0, 0}},
        {{0, 0, 1, 13, 0, 0}},
        {{-32768, -32768, 65535, 65535, 0, 0}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Screen s;
        ZelCopy c{ZEL_COPY, 9, static_cast<uint32_t>(cases[i].size()),
                  const_cast<ZelCopyRect*>(cases[i].data())};
        errno = 0;
        EXPECT_EQ(zel_replay_apply(s.r, &c), -1) << "case " << i;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(s.pixels(), s.px) << "case " << i;
        EXPECT_EQ(zel_replay_time(s.r), 1u);
    }
    ZelReplay* empty = zel_replay_new();
    ZelCopyRect one{0, 0, 1, 1, 0, 0};
    ZelCopy c{ZEL_COPY, 9, 1, &one};
    EXPECT_EQ(zel_replay_apply(empty, &c), -1); // no screen yet
    zel_replay_free(empty);
}

TEST(ReplayCursor, CompressedAndPlainCursorsDrawTheSame)
{
    uint32_t pixels[4] = {0xFFFF0000u, 0x80000080u, 0x00000000u, 0xFFFFFFFFu}; // premultiplied ARGB
    ZelCursorImage plain{ZEL_CURSOR_IMAGE, 2, 2, 2, 3, 3, 1, 1, 7, 4, pixels};
    ZelCompressedCursorImage* packed = zel_cursor_image_compress(&plain);
    ASSERT_NE(packed, nullptr);
    std::vector<uint8_t> drawn[2];
    for (int k = 0; k < 2; ++k) {
        Screen s;
        ASSERT_EQ(zel_replay_apply(s.r, k == 0 ? static_cast<void*>(&plain) : static_cast<void*>(packed)), 0);
        ZelCursorPosition to{ZEL_CURSOR_POSITION, 9, 5, 6};
        ASSERT_EQ(zel_replay_apply(s.r, &to), 0);
        drawn[k].resize(16 * 12 * 4);
        ASSERT_EQ(zel_replay_render_rgba(s.r, drawn[k].data(), drawn[k].size(), 1), 0);
    }
    EXPECT_EQ(drawn[0], drawn[1]);
    auto at = [&](int x, int y) {
        return std::vector<uint8_t>(&drawn[0][(y * 16 + x) * 4], &drawn[0][(y * 16 + x) * 4 + 4]);
    };
    EXPECT_EQ(at(4, 5), (std::vector<uint8_t>{255, 0, 0, 255})); // the hot spot at the pointer
    EXPECT_EQ(at(5, 6), (std::vector<uint8_t>{255, 255, 255, 255}));
    packed->length = 5; // not width x height
    errno = 0;
    EXPECT_EQ(zel_cursor_image_decompress(packed), nullptr);
    EXPECT_EQ(errno, EINVAL);
    plain.length = 3;
    EXPECT_EQ(zel_cursor_image_compress(&plain), nullptr);
    zel_record_free(packed);
}

TEST(ReplayState, ScreenChangeKeepsTheTopLeftPart)
{
    Screen s;
    ZelScreenChange sc{ZEL_SCREEN_CHANGE, 5, 20, 2};
    ASSERT_EQ(zel_replay_apply(s.r, &sc), 0);
    uint32_t stride = 0;
    const auto* c = reinterpret_cast<const uint32_t*>(zel_replay_canvas(s.r, &stride));
    ASSERT_EQ(stride, 80u);
    for (uint32_t row = 0; row < 2; ++row)
        for (uint32_t col = 0; col < 20; ++col) EXPECT_EQ(c[row * 20 + col], col < 16 ? row * 16 + col : 0);
}

TEST(ReplayState, RecordsThatDoNotFitChangeNothing)
{
    Screen s;
    std::vector<uint8_t> px(16, 1);
    ZelImage wrong_format{ZEL_IMAGE, 5, 2, 2, 0, 0, RGB565, 32, 8, 16, px.data()};
    ZelImage short_data{ZEL_IMAGE, 5, 2, 2, 0, 0, xRGB8888, 32, 8, 15, px.data()};
    // The second entry is cut short: the first is not painted either.
    std::vector<uint8_t> cut = {0, 0, 0, 0, 1, 0, 1, 0, 9, 9, 9, 9, 1, 0, 1, 0, 1, 0, 1, 0, 9};
    ZelImageBlocks blocks{ZEL_IMAGE_BLOCKS, 5, static_cast<uint32_t>(cut.size()), cut.data()};
    ZelHeader unknown{ZEL_HEADER, 1, 5, 24, 2, 2, FORMAT_UNKNOWN, 32, 0, nullptr, 8, 255, nullptr, nullptr};
    for (const void* r : {static_cast<const void*>(&wrong_format), static_cast<const void*>(&short_data),
                          static_cast<const void*>(&blocks), static_cast<const void*>(&unknown)})
        EXPECT_EQ(zel_replay_apply(s.r, r), -1);
    EXPECT_EQ(s.pixels(), s.px);
    EXPECT_EQ(zel_replay_time(s.r), 1u);
    // Block rectangles reaching outside the screen are clipped.
    std::vector<uint8_t> edge = {0xFF, 0xFF, 11, 0, 2, 0, 1, 0, 1, 1, 1, 1, 2, 2, 2, 2};
    ZelImageBlocks e{ZEL_IMAGE_BLOCKS, 8, static_cast<uint32_t>(edge.size()), edge.data()};
    EXPECT_EQ(zel_replay_apply(s.r, &e), 0);
    EXPECT_EQ(s.pixels()[11 * 16], 0x02020202u);
}

} // namespace
