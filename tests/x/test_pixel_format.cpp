// The root visual's layout: on real Xvfb screens of several depths and
// visual classes, and for the visuals a server could offer.
#include <gtest/gtest.h>

#include "display.h"
#include "pixel-format.h"
#include "x-harness.h"

using namespace xtest;

namespace {

xcb_visualtype_t visual(uint8_t cls, uint32_t r, uint32_t g, uint32_t b)
{
    xcb_visualtype_t v{};
    v._class = cls;
    v.red_mask = r;
    v.green_mask = g;
    v.blue_mask = b;
    return v;
}

constexpr uint8_t kPseudo = XCB_VISUAL_CLASS_PSEUDO_COLOR;
constexpr uint8_t kTrue = XCB_VISUAL_CLASS_TRUE_COLOR;
constexpr uint8_t kDirect = XCB_VISUAL_CLASS_DIRECT_COLOR;

} // namespace

struct ScreenCase {
    const char* screen;
    std::vector<std::string> args;
    PixelFormat expected;
};

class PixelFormatOnXvfb : public testing::TestWithParam<ScreenCase> {};

TEST_P(PixelFormatOnXvfb, RootVisualClassified)
{
    const ScreenCase& sc = GetParam();
    Xvfb x(XvfbOptions{sc.screen, sc.args});
    Client c(x.display());
    EXPECT_EQ(pixel_format(c.c(), 0), sc.expected);

    // the classification agrees with what the server says of its root visual
    xcb_visualtype_t* v = find_visual_by_id(c.screen(), c.screen()->root_visual);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->visual_id, c.screen()->root_visual);
    switch (c.depth()) {
    case 8: EXPECT_EQ(pixel_format_depth_8(v), sc.expected); break;
    case 16: EXPECT_EQ(pixel_format_depth_16(v), sc.expected); break;
    case 24: EXPECT_EQ(pixel_format_depth_24(v), sc.expected); break;
    default: EXPECT_EQ(sc.expected, FORMAT_UNKNOWN); break;
    }
    // a screen number the server does not have
    EXPECT_EQ(pixel_format(c.c(), 1), FORMAT_NOT_FOUND);
    EXPECT_EQ(pixel_format(c.c(), -1), FORMAT_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Screens, PixelFormatOnXvfb,
                         testing::Values(ScreenCase{"64x64x24", {}, xRGB8888},
                                         ScreenCase{"64x64x16", {}, RGB565},
                                         ScreenCase{"64x64x8", {}, PALETTE8},
                                         ScreenCase{"64x64x15", {}, FORMAT_UNKNOWN},           // 5-5-5
                                         ScreenCase{"64x64x24", {"-cc", "5"}, FORMAT_UNKNOWN}, // DirectColor
                                         ScreenCase{"64x64x8", {"-cc", "4"}, BGR233}, // TrueColor 2-3-3
                                         ScreenCase{"64x64x8", {"-cc", "2"}, FORMAT_UNKNOWN}), // StaticColor
                         [](const testing::TestParamInfo<ScreenCase>& p) { return std::to_string(p.index); });

TEST(PixelFormat, SecondScreenOfADisplay)
{
    Xvfb x(XvfbOptions{"64x64x24", {"-screen", "1", "64x64x16"}});
    Client c(x.display());
    EXPECT_EQ(pixel_format(c.c(), 0), xRGB8888);
    EXPECT_EQ(pixel_format(c.c(), 1), RGB565);
    EXPECT_EQ(pixel_format(c.c(), 2), FORMAT_NOT_FOUND);
}

TEST(PixelFormat, NoConnectionOrABrokenOne)
{
    EXPECT_EQ(pixel_format(nullptr, 0), FORMAT_NOT_FOUND);
    auto x = std::make_unique<Xvfb>();
    Client c(x->display());
    x->kill_server();
    free(xcb_get_input_focus_reply(c.c(), xcb_get_input_focus(c.c()), nullptr));
    ASSERT_NE(xcb_connection_has_error(c.c()), 0);
    EXPECT_EQ(pixel_format(c.c(), 0), FORMAT_NOT_FOUND);
}

TEST(PixelFormat, ClassifiersByDepth)
{
    auto v = visual(kPseudo, 0x12, 0x34, 0x56);
    EXPECT_EQ(pixel_format_depth_8(&v), PALETTE8); // whatever its masks
    v = visual(kTrue, 0xE0, 0x1C, 0x03);
    EXPECT_EQ(pixel_format_depth_8(&v), RGB332);
    v = visual(kTrue, 0x07, 0x38, 0xC0);
    EXPECT_EQ(pixel_format_depth_8(&v), BGR233);
    v = visual(kDirect, 0xE0, 0x1C, 0x03);
    EXPECT_EQ(pixel_format_depth_8(&v), FORMAT_UNKNOWN);
    for (uint8_t cls : {0, 1, 2}) { // StaticGray, GrayScale, StaticColor
        v = visual(cls, 0, 0, 0);
        EXPECT_EQ(pixel_format_depth_8(&v), FORMAT_UNKNOWN);
    }

    v = visual(kTrue, 0xF800, 0x07E0, 0x001F);
    EXPECT_EQ(pixel_format_depth_16(&v), RGB565);
    v = visual(kTrue, 0x001F, 0x07E0, 0xF800);
    EXPECT_EQ(pixel_format_depth_16(&v), BGR565);
    v = visual(kTrue, 0x7C00, 0x03E0, 0x001F);
    EXPECT_EQ(pixel_format_depth_16(&v), FORMAT_UNKNOWN);
    v = visual(kPseudo, 0xF800, 0x07E0, 0x001F);
    EXPECT_EQ(pixel_format_depth_16(&v), FORMAT_UNKNOWN);

    v = visual(kTrue, 0xFF0000, 0xFF00, 0xFF);
    EXPECT_EQ(pixel_format_depth_24(&v), xRGB8888);
    EXPECT_EQ(pixel_format_depth_32(&v), xRGB8888);
    v = visual(kTrue, 0xFF, 0xFF00, 0xFF0000);
    EXPECT_EQ(pixel_format_depth_24(&v), xBGR8888);
    EXPECT_EQ(pixel_format_depth_32(&v), xBGR8888);
    v = visual(kDirect, 0xFF0000, 0xFF00, 0xFF);
    EXPECT_EQ(pixel_format_depth_24(&v), FORMAT_UNKNOWN);
    EXPECT_EQ(pixel_format_depth_32(&v), FORMAT_UNKNOWN);
    v = visual(kTrue, 0xFF000000, 0xFF0000, 0xFF00);
    EXPECT_EQ(pixel_format_depth_32(&v), RGBx8888); // never the alpha formats
    EXPECT_EQ(pixel_format_depth_24(&v), FORMAT_UNKNOWN);
    v = visual(kTrue, 0xFF00, 0xFF0000, 0xFF000000);
    EXPECT_EQ(pixel_format_depth_32(&v), BGRx8888);
}
