// The framebuffer's pixel operations at the three pixel sizes: the frame's
// layout, merge and clear clipped on every side, extract with padded rows.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "compressor.h"
#include "pipeline_support.h"
#include "zel.h"

using namespace pipeline;

namespace {

struct Ops {
    MergeFunction merge;
    ExtractPixelFunction extract;
    ClearRectangleFunction clear;
};

Ops ops_for(const Geometry& g)
{
    switch (g.bits_per_pixel) {
    case 8: return {merge_image_depth8, extract_pixels_depth8, clear_rectangle_depth8};
    case 16: return {merge_image_depth16, extract_pixels_depth16, clear_rectangle_depth16};
    default: return {merge_image_depth32, extract_pixels_depth32, clear_rectangle_depth32};
    }
}

struct FrameDeleter {
    void operator()(ZelImage* image) const { zel_record_free(image); }
};
using Frame = std::unique_ptr<ZelImage, FrameDeleter>;

// Odd sizes, so that rows are padded at depth 8 and 16.
constexpr uint16_t kWidth = 67;
constexpr uint16_t kHeight = 41;

class FramebufferOps : public ::testing::TestWithParam<Geometry> {
  protected:
    void SetUp() override
    {
        g = GetParam();
        g.apply();
        ops = ops_for(g);
    }

    // A frame already painted all over, so that every write shows.
    Frame painted_frame(Model& model)
    {
        Frame frame(image_create(kWidth, kHeight));
        EXPECT_NE(frame, nullptr);
        TestImage background(g, 0, 0, kWidth, kHeight, 99);
        ops.merge(&background.view, frame.get());
        model.merge(background);
        return frame;
    }

    Geometry g{};
    Ops ops{};
};

struct Area {
    const char* what;
    Rectangle r;
};

// Areas against the 67 x 41 frame: inside, crossing each edge, and wholly
// outside on each side (ending one pixel before the frame or starting one
// after it).
const Area kAreas[] = {
    {"inside", {5, 7, 20, 10}},
    {"10 px left of the frame", {-10, 3, 30, 8}},
    {"above the frame", {4, -6, 10, 12}},
    {"over the right edge", {60, 2, 20, 5}},
    {"over the bottom edge", {3, 35, 9, 20}},
    {"over all four edges", {-5, -5, 80, 60}},
    {"only the corner pixel", {-9, -9, 10, 10}},
    {"only the last pixel", {kWidth - 1, kHeight - 1, 10, 10}},
    {"exactly the frame", {0, 0, kWidth, kHeight}},
    {"wholly left", {-30, 0, 30, 10}},
    {"wholly right", {kWidth, 0, 5, 5}},
    {"wholly above", {0, -10, 10, 10}},
    {"wholly below", {0, kHeight, 5, 5}},
};

} // namespace

TEST_P(FramebufferOps, ImageCreateLaysOutZeroedRowsAtThePaddedStride)
{
    for (uint16_t w : {1, 2, 3, 5, 7, 9, 1365, 1366, 1920}) {
        Frame frame(image_create(w, 3));
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->type, ZEL_IMAGE);
        EXPECT_EQ(frame->width, w);
        EXPECT_EQ(frame->height, 3);
        EXPECT_EQ(frame->x, 0);
        EXPECT_EQ(frame->y, 0);
        EXPECT_EQ(frame->pixel_format, g.format);
        EXPECT_EQ(frame->scanline_pad, g.scanline_pad);
        // The line length a reader walks the rows with is the padded one,
        // also where it differs from width x bytes per pixel.
        EXPECT_EQ(frame->bytes_per_line, g.stride(w)) << "width " << w;
        EXPECT_EQ(frame->length, 3 * g.stride(w));
        std::vector<uint8_t> zero(frame->length, 0);
        EXPECT_EQ(std::memcmp(frame->data, zero.data(), zero.size()), 0);
    }
}

TEST_P(FramebufferOps, MergeCopiesOnlyThePartInsideTheFrame)
{
    for (const Area& a : kAreas) {
        SCOPED_TRACE(a.what);
        Model model(g, kWidth, kHeight);
        Frame frame = painted_frame(model);
        TestImage image(g, a.r.x, a.r.y, a.r.width, a.r.height, 7);
        ops.merge(&image.view, frame.get());
        model.merge(image);
        EXPECT_TRUE(frame_equals(g, frame.get(), model));
    }
}

TEST_P(FramebufferOps, MergeFromLeftOfTheFrameStartsAtSourceColumnTen)
{
    Model model(g, kWidth, kHeight);
    Frame frame = painted_frame(model);
    TestImage image(g, -10, 4, 25, 3, 5);
    ops.merge(&image.view, frame.get());
    const uint32_t stride = g.stride(kWidth);
    for (int row = 0; row < 3; ++row)
        for (int col = 10; col < 25; ++col)
            for (unsigned b = 0; b < g.bytes(); ++b)
                ASSERT_EQ(frame->data[(4 + row) * stride + (col - 10) * g.bytes() + b],
                          pattern_byte(5, col, row, b))
                    << "source column " << col << " row " << row;
}

TEST_P(FramebufferOps, MergeOfAnImageWhollyOutsideLeavesTheFrameAlone)
{
    Model model(g, kWidth, kHeight);
    Frame frame = painted_frame(model);
    const std::vector<uint8_t> before(frame->data, frame->data + frame->length);
    for (Rectangle r : {Rectangle{-3, 0, 3, 3}, Rectangle{0, -3, 3, 3}, Rectangle{kWidth, 0, 3, 3},
                        Rectangle{0, kHeight, 3, 3}, Rectangle{-100, -100, 50, 50}}) {
        TestImage image(g, r.x, r.y, r.width, r.height, 3);
        ops.merge(&image.view, frame.get());
    }
    EXPECT_EQ(std::vector<uint8_t>(frame->data, frame->data + frame->length), before);
}

TEST_P(FramebufferOps, ClearZeroesOnlyThePartInsideTheFrame)
{
    for (const Area& a : kAreas) {
        SCOPED_TRACE(a.what);
        Model model(g, kWidth, kHeight);
        Frame frame = painted_frame(model);
        ops.clear(&a.r, frame.get());
        model.clear(a.r);
        EXPECT_TRUE(frame_equals(g, frame.get(), model));
    }
}

TEST_P(FramebufferOps, ExtractWritesRowsSpacedByThePaddedLength)
{
    Model model(g, kWidth, kHeight);
    Frame frame = painted_frame(model);
    for (uint16_t w = 1; w <= 33; ++w) {
        SCOPED_TRACE(testing::Message() << "width " << w);
        const Rectangle rect{3, 4, w, 6};
        const uint32_t out_stride = g.stride(w);
        std::vector<uint8_t> out(6 * out_stride + 16, kPadByte);
        uint8_t* end = ops.extract(frame.get(), rect, out.data());
        ASSERT_EQ(end, out.data() + 6 * out_stride);
        for (int row = 0; row < 6; ++row) {
            const uint8_t* line = out.data() + row * out_stride;
            for (int col = 0; col < w; ++col)
                ASSERT_EQ(std::memcmp(line + col * g.bytes(), model.at(3 + col, 4 + row), g.bytes()), 0)
                    << "pixel " << col << " of row " << row;
            for (uint32_t b = w * g.bytes(); b < out_stride; ++b)
                ASSERT_EQ(line[b], kPadByte) << "pad byte " << b << " of row " << row << " written";
        }
        for (size_t b = 6 * out_stride; b < out.size(); ++b)
            ASSERT_EQ(out[b], kPadByte) << "written past the end";
    }
}

TEST_P(FramebufferOps, ExtractOutsideTheFrameWritesNothing)
{
    Model model(g, kWidth, kHeight);
    Frame frame = painted_frame(model);
    std::vector<uint8_t> out(64, kPadByte);
    EXPECT_EQ(ops.extract(frame.get(), Rectangle{kWidth, 0, 4, 4}, out.data()), out.data());
    EXPECT_EQ(ops.extract(frame.get(), Rectangle{0, -4, 4, 4}, out.data()), out.data());
    EXPECT_EQ(out, std::vector<uint8_t>(64, kPadByte));
}

INSTANTIATE_TEST_SUITE_P(PixelSizes, FramebufferOps, ::testing::ValuesIn(kGeometries), geometry_name);

// ---------------------------------------------------------------- intersections

namespace {

ZelImage image_at(int16_t x, int16_t y, uint16_t w, uint16_t h)
{
    ZelImage image{};
    image.x = x;
    image.y = y;
    image.width = w;
    image.height = h;
    return image;
}

bool same(Rectangle a, Rectangle b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

} // namespace

TEST(Intersection, OverlapIsClippedToBothOperands)
{
    const ZelImage frame = image_at(0, 0, 1920, 1080);
    EXPECT_TRUE(
        same(rectangle_from_intersection_image_rectangle(&frame, {-10, -20, 30, 40}), {0, 0, 20, 20}));
    EXPECT_TRUE(same(rectangle_from_intersection_image_rectangle(&frame, {1900, 1070, 50, 50}),
                     {1900, 1070, 20, 10}));
    EXPECT_TRUE(
        same(rectangle_from_intersection_image_rectangle(&frame, {100, 200, 5, 6}), {100, 200, 5, 6}));
    EXPECT_TRUE(
        same(rectangle_from_intersection_image_rectangle(&frame, {1919, 1079, 1, 1}), {1919, 1079, 1, 1}));
    const ZelImage window = image_at(-5, 1000, 30, 200);
    EXPECT_TRUE(same(rectangle_from_image_intersection(&window, &frame), {0, 1000, 25, 80}));
    EXPECT_TRUE(same(rectangle_from_image_intersection(&frame, &window), {0, 1000, 25, 80}));
}

TEST(Intersection, OperandsThatOnlyTouchDoNotOverlap)
{
    const ZelImage frame = image_at(0, 0, 1920, 1080);
    for (Rectangle r : {Rectangle{1920, 0, 10, 10}, Rectangle{0, 1080, 10, 10}, Rectangle{-10, 0, 10, 10},
                        Rectangle{0, -10, 10, 10}}) {
        const Rectangle o = rectangle_from_intersection_image_rectangle(&frame, r);
        EXPECT_EQ(o.width, 0);
        EXPECT_EQ(o.height, 0);
    }
}
