// The palette of an 8-bit PseudoColor screen, read in process: such a
// screen has no COMPOSITE (the server leaves it out for colormapped root
// visuals), so the recorder as a whole refuses it, and palette_fetch is
// checked here on its own against what the server's colormaps hold.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "args.h"
#include "display.h"
#include "frontend.h"
#include "x-harness.h"
#include "zel.h"

namespace {

class Palette : public testing::Test {
  protected:
    void start(bool installed_colormap)
    {
        args_ = {"pelkrecorder-xpra-seamless"};
        if (installed_colormap) args_.push_back("-installed-colormap");
        args_.push_back(x_.display());
        args_.push_back(xtest::temp_dir() + "/unused.zel");
        for (auto& a : args_) argv_.push_back(a.data());
        cli_parse_arguments(static_cast<int>(argv_.size()), argv_.data());
        display_connection_setup();
    }
    void TearDown() override { display_connection_teardown(); }

    // The colours the server holds in cmap for the root visual's pixels.
    std::vector<RgbValue> server_colors(xcb_colormap_t cmap)
    {
        xcb_connection_t* c = client_.c();
        const xcb_screen_t* s = client_.screen();
        uint32_t entries = 0;
        for (auto d = xcb_screen_allowed_depths_iterator(s); d.rem; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                if (v.data->visual_id == s->root_visual && entries == 0) entries = v.data->colormap_entries;
        entries = std::min<uint32_t>(entries, 256);
        std::vector<uint32_t> pixels(entries);
        for (uint32_t i = 0; i < entries; ++i) pixels[i] = i;
        auto* q = xcb_query_colors_reply(c, xcb_query_colors(c, cmap, entries, pixels.data()), nullptr);
        std::vector<RgbValue> out;
        if (!q) return out;
        const xcb_rgb_t* rgb = xcb_query_colors_colors(q);
        for (int i = 0; i < xcb_query_colors_colors_length(q); ++i)
            out.push_back(RgbValue{rgb[i].red, rgb[i].green, rgb[i].blue, {0, 0}});
        free(q);
        return out;
    }

    static void expect_same(const RgbValue* got, uint16_t n, const std::vector<RgbValue>& want)
    {
        ASSERT_EQ(n, want.size());
        ASSERT_NE(got, nullptr);
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i].red, want[i].red) << i;
            EXPECT_EQ(got[i].green, want[i].green) << i;
            EXPECT_EQ(got[i].blue, want[i].blue) << i;
            EXPECT_EQ(got[i].pad[0], 0) << i;
            EXPECT_EQ(got[i].pad[1], 0) << i;
        }
    }

    xtest::Xvfb x_{xtest::XvfbOptions{"320x200x8", {}}};
    xtest::Client client_{x_.display()};
    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

TEST_F(Palette, DefaultColormapHoldsEveryEntryOfTheRootVisual)
{
    start(false);
    uint16_t n = 0;
    RgbValue* p = nullptr;
    palette_fetch(&n, &p);
    EXPECT_EQ(n, 256);
    expect_same(p, n, server_colors(client_.screen()->default_colormap));
    free(p);
}

TEST_F(Palette, InstalledColormapIsUsedWhenItIsNotTheDefault)
{
    xcb_connection_t* c = client_.c();
    const xcb_screen_t* s = client_.screen();
    const xcb_colormap_t cmap = xcb_generate_id(c);
    xcb_create_colormap(c, XCB_COLORMAP_ALLOC_ALL, cmap, s->root, s->root_visual);
    std::vector<xcb_coloritem_t> items(256);
    for (uint32_t i = 0; i < 256; ++i)
        items[i] = xcb_coloritem_t{i,
                                   static_cast<uint16_t>((255 - i) * 257),
                                   static_cast<uint16_t>(i * 0x0101 ^ 0x5a5a),
                                   static_cast<uint16_t>(i << 8),
                                   XCB_COLOR_FLAG_RED | XCB_COLOR_FLAG_GREEN | XCB_COLOR_FLAG_BLUE,
                                   0};
    xcb_store_colors(c, cmap, 256, items.data());
    xcb_install_colormap(c, cmap);
    client_.sync();
    auto* l = xcb_list_installed_colormaps_reply(c, xcb_list_installed_colormaps(c, s->root), nullptr);
    ASSERT_NE(l, nullptr);
    ASSERT_GT(xcb_list_installed_colormaps_cmaps_length(l), 0);
    const xcb_colormap_t first = xcb_list_installed_colormaps_cmaps(l)[0];
    free(l);
    ASSERT_EQ(first, cmap) << "the server did not install the test's colormap";
    const auto installed = server_colors(cmap);
    ASSERT_NE(installed.size(), 0u);
    ASSERT_NE(installed[0].red, server_colors(s->default_colormap)[0].red) << "the colormaps must differ";

    start(true);
    uint16_t n = 0;
    RgbValue* p = nullptr;
    palette_fetch(&n, &p);
    expect_same(p, n, installed);
    free(p);
}

} // namespace
