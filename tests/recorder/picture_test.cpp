// The recording shows what the screen shows: after every change the replayed
// recording equals, pixel for pixel, the screen as the X server composes it
// (the seamless helper keeps the windows automatically redirected, so the
// root window holds the composed picture while the recorder reads the
// windows' own pixmaps).
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

using namespace xtest;

namespace {

struct Screen {
    const char* name;
    const char* geometry;
    std::vector<std::string> server_args;
};

class EveryChange : public testing::TestWithParam<Screen> {};

// Windows with borders at odd sizes overlap, are raised, moved, resized,
// unmapped, mapped and destroyed; each step is exact.
TEST_P(EveryChange, IsRecordedPixelExact)
{
    Display d({GetParam().geometry, GetParam().server_args, false});
    Client& c = d.client;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    const xcb_window_t a = d.window(10, 12, 301, 203, 1, 3);
    const xcb_window_t b = d.window(150, 97, 243, 171, 2, 1);
    wait_for_screen(file, c, &recorder);
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"raise", [&] { c.raise(a); }},
        {"move", [&] { c.move_resize(b, 333, 211, 243, 171); }},
        {"resize", [&] { c.move_resize(a, 5, 7, 410, 257), c.draw_pattern(a, 3); }},
        {"unmap", [&] { c.unmap(a); }},
        {"map", [&] { c.map(a), c.draw_pattern(a, 4); }},
        {"lower", [&] { c.lower(a); }},
        {"destroy", [&] { c.destroy(b); }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
        wait_for_screen(file, c, &recorder);
    }
    EXPECT_EQ(recorder.stop(), 0);
}

// Widths that are no multiple of the 32-pixel blocks or of the scanline pad.
const Screen screens[] = {
    {"Depth24", "640x480x24", {}},
    {"Depth24OddSize", "637x471x24", {}},
    {"Depth16OddSize", "639x477x16", {}},
    {"Depth8TrueColorOddSize", "643x470x8", {"-cc", "4"}},
};
INSTANTIATE_TEST_SUITE_P(Screens, EveryChange, testing::ValuesIn(screens),
                         [](const testing::TestParamInfo<Screen>& i) { return std::string(i.param.name); });

TEST(Picture, SixHundredWindowsComeAndGo)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    std::vector<xcb_window_t> windows;
    for (int i = 0; i < 600; ++i) {
        windows.push_back(d.client.create_window(static_cast<int16_t>(i % 30 * 20),
                                                 static_cast<int16_t>(i / 30 * 22), 37, 29));
        xcb_map_window(d.client.c(), windows.back());
    }
    d.client.sync();
    for (size_t i = 0; i < windows.size(); i += 7)
        d.client.draw_pattern(windows[i], static_cast<uint32_t>(i));
    d.client.wait_for_root_list("_NET_CLIENT_LIST", [](const auto& l) { return l.size() == 600; });
    wait_for_screen(file, d.client, &recorder);
    for (size_t i = 0; i < windows.size(); i += 2) xcb_destroy_window(d.client.c(), windows[i]);
    d.client.wait_for_root_list("_NET_CLIENT_LIST", [](const auto& l) { return l.size() == 300; });
    wait_for_screen(file, d.client, &recorder);
    EXPECT_EQ(recorder.stop(), 0);
}

// The screen changes size (RandR on Xorg's dummy driver): the recording
// follows, and what the larger screen uncovers is painted.
TEST(Picture, ScreenResizeIsFollowed)
{
    std::unique_ptr<Display> d;
    try {
        d = std::make_unique<Display>(XServerOptions{"640x480x24", {}, true});
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no Xorg with the dummy driver here: " << e.what();
    }
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d->name(), file});
    d->window(500, 300, 300, 250, 5);
    wait_for_screen(file, d->client, &recorder);
    for (const char* size : {"1024x768", "800x600"}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(run({"xrandr", "-display", d->name(), "--fb", size}).status, 0);
        d->client.sync();
        wait_for_screen(file, d->client, &recorder);
    }
    EXPECT_EQ(recorder.stop(), 0);
}

// Menus, tooltips and other override-redirect windows are never listed by
// the session, yet the user sees them: they are recorded where X shows them.
TEST(Picture, OverrideRedirectWindowsAreRecordedWhereXShowsThem)
{
    Display d;
    Client& c = d.client;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    const xcb_window_t listed = d.window(40, 40, 400, 300, 1);
    const xcb_window_t popup = c.create_window(100, 80, 150, 220, 1, true);
    c.map(popup);
    c.draw_pattern(popup, 7);
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"shown", [] {}},
        {"moved", [&] { c.move_resize(popup, 300, 200, 150, 220); }},
        {"listed raised over it", [&] { c.raise(listed); }},
        {"raised again", [&] { c.raise(popup); }},
        {"unmapped", [&] { c.unmap(popup); }},
        {"mapped at the screen edge", [&] { c.move_resize(popup, 560, 400, 150, 220), c.map(popup); }},
        {"destroyed", [&] { c.destroy(popup); }},
    };
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
        c.draw_pattern(listed, 1);
        wait_for_screen(file, c, &recorder);
    }
    EXPECT_EQ(recorder.stop(), 0);
}

// Six hundred pop-ups that come and go while their images are fetched:
// nothing breaks or leaks, and the screen after them is exact.
TEST(Picture, ShortLivedPopupsComeAndGo)
{
    Display d;
    Client& c = d.client;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    d.window(0, 0, 640, 480, 1);
    std::vector<xcb_window_t> open;
    for (int i = 0; i < 600; ++i) {
        const xcb_window_t w = c.create_window(static_cast<int16_t>(i * 37 % 600),
                                               static_cast<int16_t>(i * 53 % 440), 41, 31, 1, true);
        xcb_map_window(c.c(), w);
        open.push_back(w);
        if (i % 10 == 9) c.draw_pattern(w, static_cast<uint32_t>(i)); // a round trip now and then
        if (open.size() > 3) {
            xcb_destroy_window(c.c(), open.front());
            open.erase(open.begin());
        }
    }
    c.sync();
    wait_for_screen(file, c, &recorder);
    EXPECT_EQ(recorder.stop(), 0);
}

// Content that scrolls (rows copied inside the window, new rows drawn) and
// windows that move, alone and at once, with repeating lines and content
// at block and screen edges: the replay stays exact.
TEST(Picture, ScrollingAndMovingStayExact)
{
    Display d({"650x490x24", {}, false});
    Client& c = d.client;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    const xcb_window_t term = d.window(0, 3, 481, 387, 9);
    const xcb_window_t other = d.window(330, 250, 320, 240, 10);
    wait_for_screen(file, c, &recorder);
    for (int step = 0; step < 12; ++step) {
        SCOPED_TRACE(step);
        c.scroll(term, step % 3 == 2 ? 17 : -13 * (1 + step % 2));
        if (step % 4 == 1) c.fill(other, 0x202020); // identical lines everywhere
        if (step % 2)
            c.move_resize(other, static_cast<int16_t>(330 - 31 * step), static_cast<int16_t>(250 - 7 * step),
                          320, 240);
        wait_for_screen(file, c, &recorder);
    }
    EXPECT_EQ(recorder.stop(), 0);
}

} // namespace
