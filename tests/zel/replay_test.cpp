// Replay rebuilds the exact pixels the compressor sent, at every pixel size
// and for widths that are not a multiple of the scanline pad, through the
// whole road: compress, write, read, replay.
#include <random>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

struct Geometry {
    PixelFormat format;
    uint8_t pad;
    uint16_t width;
    uint16_t height;
};

std::string name_of(const ::testing::TestParamInfo<Geometry>& info)
{
    return "format" + std::to_string(info.param.format) + "_pad" + std::to_string(info.param.pad) + "_" +
           std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

// The compressor's side: a frame in ZPixmap layout and the records it emits.
class Screen {
  public:
    Screen(const Geometry& g) : g_(g), bpp_(pixel_format_bytes_per_pixel(g.format))
    {
        stride_ = stride_in_bytes(g.width, static_cast<uint8_t>(bpp_ * 8), g.pad);
        frame_.assign(static_cast<size_t>(stride_) * g.height, 0);
    }
    uint32_t stride() const { return stride_; }
    uint8_t bpp() const { return bpp_; }
    void scribble(std::mt19937& rng, int x, int y, int w, int h)
    {
        for (int row = y; row < y + h; ++row)
            for (int col = x * bpp_; col < (x + w) * bpp_; ++col)
                frame_[static_cast<size_t>(row) * stride_ + static_cast<size_t>(col)] =
                    static_cast<uint8_t>(rng());
    }
    ZelRecord* full_image(uint64_t t)
    {
        ZelImage view{};
        view.type = ZEL_IMAGE;
        view.timestamp = t;
        view.width = g_.width;
        view.height = g_.height;
        view.pixel_format = g_.format;
        view.scanline_pad = g_.pad;
        view.bytes_per_line = stride_;
        view.length = static_cast<uint32_t>(frame_.size());
        view.data = frame_.data();
        return reinterpret_cast<ZelRecord*>(zel_image_compress(&view));
    }
    // Blocks of at most 32x32 covering the rectangle, entries laid out as the
    // compressor lays them: rectangle, then padded rows whose pad bytes hold junk.
    ZelRecord* blocks(uint64_t t, int x, int y, int w, int h)
    {
        std::vector<uint8_t> data;
        for (int by = y; by < y + h; by += 32)
            for (int bx = x; bx < x + w; bx += 32) {
                int16_t rx = static_cast<int16_t>(bx), ry = static_cast<int16_t>(by);
                auto rw = static_cast<uint16_t>(std::min(32, x + w - bx));
                auto rh = static_cast<uint16_t>(std::min(32, y + h - by));
                uint8_t rect[8];
                std::memcpy(rect, &rx, 2);
                std::memcpy(rect + 2, &ry, 2);
                std::memcpy(rect + 4, &rw, 2);
                std::memcpy(rect + 6, &rh, 2);
                data.insert(data.end(), rect, rect + 8);
                uint32_t row_len = stride_in_bytes(rw, static_cast<uint8_t>(bpp_ * 8), g_.pad);
                for (int row = 0; row < rh; ++row) {
                    const uint8_t* src = frame_.data() + static_cast<size_t>(by + row) * stride_ +
                                         static_cast<size_t>(bx) * bpp_;
                    data.insert(data.end(), src, src + rw * bpp_);
                    data.insert(data.end(), row_len - rw * bpp_, 0xEE);
                }
            }
        ZelImageBlocks b{};
        b.type = ZEL_IMAGE_BLOCKS;
        b.timestamp = t;
        b.length = static_cast<uint32_t>(data.size());
        b.data = data.data();
        return reinterpret_cast<ZelRecord*>(zel_image_blocks_compress(&b));
    }
    // Pixel bytes of each row must match; the row pad is nobody's content.
    ::testing::AssertionResult matches(const ZelReplay* r) const
    {
        uint32_t stride = 0;
        const uint8_t* canvas = zel_replay_canvas(r, &stride);
        if (canvas == nullptr || stride != stride_)
            return ::testing::AssertionFailure() << "no canvas or other stride";
        for (size_t row = 0; row < g_.height; ++row)
            if (std::memcmp(canvas + row * stride, frame_.data() + row * stride_,
                            static_cast<size_t>(g_.width) * bpp_) != 0)
                return ::testing::AssertionFailure() << "row " << row << " differs";
        return ::testing::AssertionSuccess();
    }

  private:
    Geometry g_;
    uint8_t bpp_;
    uint32_t stride_;
    std::vector<uint8_t> frame_;
};

class ReplayExact : public ::testing::TestWithParam<Geometry> {};

TEST_P(ReplayExact, BlocksAndFullImagesRebuildTheFrame)
{
    const Geometry g = GetParam();
    Screen screen(g);
    std::mt19937 rng(42);
    uint64_t t = 1'000'000;
    std::vector<ZelRecord*> records;
    auto* h = make<ZelHeader>(ZEL_HEADER, t);
    h->version = 1;
    h->depth = static_cast<uint8_t>(screen.bpp() == 4 ? 24 : screen.bpp() * 8);
    h->width = g.width;
    h->height = g.height;
    h->pixel_format = g.format;
    h->scanline_pad = g.pad;
    records.push_back(reinterpret_cast<ZelRecord*>(h));

    screen.scribble(rng, 0, 0, g.width, g.height);
    records.push_back(screen.full_image(t + 1));
    // Several frames of changed blocks, the right and bottom partial ones included.
    for (int k = 0; k < 4; ++k) {
        int x = static_cast<int>(rng() % g.width), y = static_cast<int>(rng() % g.height);
        int w = 1 + static_cast<int>(rng() % static_cast<unsigned>(g.width - x));
        int hh = 1 + static_cast<int>(rng() % static_cast<unsigned>(g.height - y));
        screen.scribble(rng, x, y, w, hh);
        records.push_back(screen.blocks(t + 2 + static_cast<uint64_t>(k), x, y, w, hh));
    }
    screen.scribble(rng, g.width - 5, g.height - 3, 5, 3);
    records.push_back(screen.blocks(t + 10, g.width - 5, g.height - 3, 5, 3));
    for (ZelRecord* r : records) ASSERT_NE(r, nullptr);

    TempDir dir;
    ASSERT_TRUE(write_recording(dir.file("r.zel"), records));
    ReadResult read = read_path(dir.file("r.zel"));
    ASSERT_EQ(read.status, ZEL_READ_TRUNCATED); // no end-of-data written here
    ASSERT_EQ(read.records.size(), records.size());

    ZelReplay* replay = zel_replay_new();
    for (auto& r : read.records) ASSERT_EQ(zel_replay_apply(replay, r.get()), 0);
    EXPECT_TRUE(screen.matches(replay));
    EXPECT_EQ(zel_replay_width(replay), g.width);
    EXPECT_EQ(zel_replay_time(replay), t + 10);
    std::vector<uint8_t> rgba(static_cast<size_t>(g.width) * g.height * 4);
    EXPECT_EQ(zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1), 0);
    EXPECT_EQ(zel_replay_render_rgba(replay, rgba.data(), rgba.size() - 1, 1), -1);
    zel_replay_free(replay);
    free_records(records);
}

INSTANTIATE_TEST_SUITE_P(AllPixelSizes, ReplayExact,
                         ::testing::Values(Geometry{PALETTE8, 32, 37, 23}, Geometry{PALETTE8, 8, 37, 23},
                                           Geometry{RGB332, 16, 65, 33}, Geometry{RGB565, 32, 37, 23},
                                           Geometry{BGR565, 16, 71, 40}, Geometry{xRGB8888, 32, 100, 70},
                                           Geometry{BGRx8888, 32, 33, 33}),
                         name_of);

ZelHeader header(PixelFormat format, uint16_t w, uint16_t h)
{
    ZelHeader hd{};
    hd.type = ZEL_HEADER;
    hd.version = 1;
    hd.width = w;
    hd.height = h;
    hd.pixel_format = format;
    hd.scanline_pad = 32;
    return hd;
}

std::vector<uint8_t> rgba_of(const ZelReplay* r, int with_cursor = 0)
{
    std::vector<uint8_t> out(static_cast<size_t>(zel_replay_width(r)) * zel_replay_height(r) * 4);
    EXPECT_EQ(zel_replay_render_rgba(r, out.data(), out.size(), with_cursor), 0);
    return out;
}

// One pixel painted through a plain image, its RGBA read back.
std::vector<uint8_t> one_pixel(PixelFormat format, std::vector<uint8_t> pixel,
                               const ZelHeader* with = nullptr)
{
    ZelReplay* r = zel_replay_new();
    ZelHeader hd = with ? *with : header(format, 1, 1);
    EXPECT_EQ(zel_replay_apply(r, &hd), 0);
    pixel.resize(4, 0);
    ZelImage img{};
    img.type = ZEL_IMAGE;
    img.width = 1;
    img.height = 1;
    img.pixel_format = format;
    img.scanline_pad = 32;
    img.length = 4;
    img.data = pixel.data();
    EXPECT_EQ(zel_replay_apply(r, &img), 0);
    std::vector<uint8_t> out = rgba_of(r);
    zel_replay_free(r);
    return out;
}

TEST(ReplayColours, EveryFormatConvertsToRgba)
{
    using V = std::vector<uint8_t>;
    // Pixel values are stored least significant byte first.
    EXPECT_EQ(one_pixel(xRGB8888, {0x33, 0x22, 0x11, 0x99}), (V{0x11, 0x22, 0x33, 255}));
    EXPECT_EQ(one_pixel(xBGR8888, {0x33, 0x22, 0x11, 0x99}), (V{0x33, 0x22, 0x11, 255}));
    EXPECT_EQ(one_pixel(RGBx8888, {0x99, 0x33, 0x22, 0x11}), (V{0x11, 0x22, 0x33, 255}));
    EXPECT_EQ(one_pixel(BGRx8888, {0x99, 0x11, 0x22, 0x33}), (V{0x11, 0x22, 0x33, 255}));
    EXPECT_EQ(one_pixel(ARGB8888, {0x33, 0x22, 0x11, 0x80}), (V{0x11, 0x22, 0x33, 0x80}));
    EXPECT_EQ(one_pixel(ABGR8888, {0x11, 0x22, 0x33, 0x80}), (V{0x11, 0x22, 0x33, 0x80}));
    EXPECT_EQ(one_pixel(RGBA8888, {0x80, 0x33, 0x22, 0x11}), (V{0x11, 0x22, 0x33, 0x80}));
    EXPECT_EQ(one_pixel(BGRA8888, {0x80, 0x11, 0x22, 0x33}), (V{0x11, 0x22, 0x33, 0x80}));
    EXPECT_EQ(one_pixel(RGB565, {0x00, 0xF8}), (V{255, 0, 0, 255}));
    EXPECT_EQ(one_pixel(RGB565, {0xE0, 0x07}), (V{0, 255, 0, 255}));
    EXPECT_EQ(one_pixel(BGR565, {0x1F, 0x00}), (V{255, 0, 0, 255}));
    EXPECT_EQ(one_pixel(RGB332, {0xE0}), (V{255, 0, 0, 255}));
    EXPECT_EQ(one_pixel(RGB332, {0x03}), (V{0, 0, 255, 255}));
    EXPECT_EQ(one_pixel(BGR233, {0x07}), (V{255, 0, 0, 255}));
    EXPECT_EQ(one_pixel(BGR233, {0xC0}), (V{0, 0, 255, 255}));

    RgbValue palette[2] = {{0x1234, 0x5678, 0x9ABC, {0, 0}}, {0xFFFF, 0xFFFF, 0, {0, 0}}};
    ZelHeader hd = header(PALETTE8, 1, 1);
    hd.palette_size = 2;
    hd.palette = palette;
    EXPECT_EQ(one_pixel(PALETTE8, {1}, &hd), (V{255, 255, 0, 255}));
    EXPECT_EQ(one_pixel(PALETTE8, {0}, &hd), (V{0x12, 0x56, 0x9A, 255}));
    EXPECT_EQ(one_pixel(PALETTE8, {7}, &hd), (V{0, 0, 0, 255})); // past the palette
}

TEST(ReplayState, ScreenChangeKeepsTheTopLeftPart)
{
    ZelReplay* r = zel_replay_new();
    ZelHeader hd = header(xRGB8888, 4, 4);
    ASSERT_EQ(zel_replay_apply(r, &hd), 0);
    std::vector<uint8_t> px(4 * 4 * 4, 0xAB);
    ZelImage img{};
    img.type = ZEL_IMAGE;
    img.width = 4;
    img.height = 4;
    img.pixel_format = xRGB8888;
    img.scanline_pad = 32;
    img.length = static_cast<uint32_t>(px.size());
    img.data = px.data();
    ASSERT_EQ(zel_replay_apply(r, &img), 0);
    ZelScreenChange sc{ZEL_SCREEN_CHANGE, 5, 6, 2};
    ASSERT_EQ(zel_replay_apply(r, &sc), 0);
    EXPECT_EQ(zel_replay_width(r), 6);
    EXPECT_EQ(zel_replay_height(r), 2);
    uint32_t stride = 0;
    const uint8_t* c = zel_replay_canvas(r, &stride);
    ASSERT_EQ(stride, 24u);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 6; ++col)
            EXPECT_EQ(c[row * 24 + col * 4], col < 4 ? 0xAB : 0) << row << "," << col;
    zel_replay_free(r);
}

TEST(ReplayState, CursorIsDrawnAtThePointerMinusTheHotSpot)
{
    ZelReplay* r = zel_replay_new();
    ZelHeader hd = header(xRGB8888, 8, 8);
    ASSERT_EQ(zel_replay_apply(r, &hd), 0);
    uint32_t pixels[4] = {0xFFFF0000u, 0x80000080u, 0x00000000u, 0xFFFFFFFFu}; // premultiplied ARGB
    ZelCursorImage ci{};
    ci.type = ZEL_CURSOR_IMAGE;
    ci.width = 2;
    ci.height = 2;
    ci.x = 3;
    ci.y = 3;
    ci.xhot = 1;
    ci.yhot = 1;
    ci.length = 4;
    ci.data = pixels;
    ASSERT_EQ(zel_replay_apply(r, &ci), 0);
    ZelCursorPosition cp{ZEL_CURSOR_POSITION, 9, 5, 6};
    ASSERT_EQ(zel_replay_apply(r, &cp), 0);
    int16_t x = 0, y = 0;
    EXPECT_EQ(zel_replay_cursor(r, &x, &y), 1);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(y, 6);
    std::vector<uint8_t> plain = rgba_of(r, 0), drawn = rgba_of(r, 1);
    auto at = [](const std::vector<uint8_t>& v, int px, int py) {
        return std::vector<uint8_t>(v.begin() + (py * 8 + px) * 4, v.begin() + (py * 8 + px) * 4 + 4);
    };
    EXPECT_EQ(at(plain, 4, 5), (std::vector<uint8_t>{0, 0, 0, 255}));
    EXPECT_EQ(at(drawn, 4, 5), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(at(drawn, 5, 5), (std::vector<uint8_t>{0, 0, 0x80, 255}));
    EXPECT_EQ(at(drawn, 4, 6), (std::vector<uint8_t>{0, 0, 0, 255}));
    EXPECT_EQ(at(drawn, 5, 6), (std::vector<uint8_t>{255, 255, 255, 255}));
    EXPECT_EQ(at(drawn, 3, 5), at(plain, 3, 5));
    zel_replay_free(r);
}

TEST(ReplayState, RecordsThatDoNotFitAreRefusedAndChangeNothing)
{
    ZelReplay* r = zel_replay_new();
    std::vector<uint8_t> px(16, 1);
    ZelImage img{};
    img.type = ZEL_IMAGE;
    img.width = 2;
    img.height = 2;
    img.pixel_format = xRGB8888;
    img.scanline_pad = 32;
    img.length = 16;
    img.data = px.data();
    EXPECT_EQ(zel_replay_apply(r, &img), -1); // before the header
    EXPECT_EQ(zel_replay_has_screen(r), 0);
    ZelHeader unknown = header(FORMAT_UNKNOWN, 2, 2);
    EXPECT_EQ(zel_replay_apply(r, &unknown), -1);
    ZelHeader hd = header(xRGB8888, 2, 2);
    ASSERT_EQ(zel_replay_apply(r, &hd), 0);
    img.pixel_format = RGB565;
    EXPECT_EQ(zel_replay_apply(r, &img), -1);
    img.pixel_format = xRGB8888;
    img.length = 15;
    EXPECT_EQ(zel_replay_apply(r, &img), -1);
    // A blocks record whose second entry is cut short paints nothing at all.
    std::vector<uint8_t> blocks = {0, 0, 0, 0, 1, 0, 1, 0, 9, 9, 9, 9, 1, 0, 1, 0, 1, 0, 1, 0, 9};
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, 7, static_cast<uint32_t>(blocks.size()), blocks.data()};
    EXPECT_EQ(zel_replay_apply(r, &b), -1);
    uint32_t stride = 0;
    const uint8_t* c = zel_replay_canvas(r, &stride);
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(zel_replay_time(r), 0u);
    // Rectangles reaching outside the screen are clipped.
    std::vector<uint8_t> edge = {0xFF, 0xFF, 1, 0, 2, 0, 1, 0, 1, 1, 1, 1, 2, 2, 2, 2};
    ZelImageBlocks e{ZEL_IMAGE_BLOCKS, 8, static_cast<uint32_t>(edge.size()), edge.data()};
    EXPECT_EQ(zel_replay_apply(r, &e), 0);
    c = zel_replay_canvas(r, &stride);
    EXPECT_EQ(c[stride], 2);
    EXPECT_EQ(c[stride + 4], 0);
    ZelReplay* copy = zel_replay_clone(r);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(zel_replay_canvas(copy, &stride)[stride], 2);
    zel_replay_free(copy);
    zel_replay_free(r);
}

} // namespace
