// The main connection against real X servers: the screen chosen by the
// display name, the root's event selection, the root size, and every way
// of failing to connect.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "display.h"
#include "recorder-args.h"
#include "x-harness.h"

using namespace xtest;
using testing::ExitedWithCode;

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

uint32_t root_event_mask_of_recorder()
{
    xcb_connection_t* c = display_connection();
    Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, display_root()), nullptr),
        &std::free);
    return a ? a->your_event_mask : 0;
}

} // namespace

TEST(Display, ConnectsToTheScreenOfTheDisplayName)
{
    Xvfb x(XvfbOptions{"320x200x16", {"-screen", "1", "400x300x8"}});
    Client c0(x.display());
    Client c1(x.display() + ".1");

    use_display(x.display());
    display_connection_setup();
    ASSERT_NE(display_connection(), nullptr);
    EXPECT_EQ(display_screen_nbr(), 0);
    EXPECT_EQ(display_root(), c0.root());
    EXPECT_EQ(root_depth(), 16);
    EXPECT_EQ(root_width(), 320);
    EXPECT_EQ(root_height(), 200);
    EXPECT_EQ(root_event_mask_of_recorder(),
              uint32_t{XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE});
    display_connection_teardown();
    EXPECT_EQ(display_connection(), nullptr);

    use_display(x.display() + ".1");
    display_connection_setup();
    EXPECT_EQ(display_screen_nbr(), 1);
    EXPECT_EQ(display_root(), c1.root());
    EXPECT_NE(display_root(), c0.root());
    EXPECT_EQ(display_screen()->root, c1.root());
    EXPECT_EQ(root_depth(), 8);
    EXPECT_EQ(root_width(), 400);
    EXPECT_EQ(root_height(), 300);
    display_connection_teardown();
}

TEST(Display, RootSizeFollowsChangesNotTheSetupData)
{
    Xvfb x;
    use_display(x.display());
    display_connection_setup();
    root_size_changed(1920, 1080);
    EXPECT_EQ(root_width(), 1920);
    EXPECT_EQ(root_height(), 1080);
    EXPECT_EQ(display_screen()->width_in_pixels, 640);
    EXPECT_EQ(display_screen()->height_in_pixels, 480);
    display_connection_teardown();
}

TEST(Display, RootPropertyChangesReachTheConnection)
{
    Xvfb x;
    Client c(x.display());
    use_display(x.display());
    display_connection_setup();
    c.set_root_property("_NET_CLIENT_LIST_STACKING", "STRING", "x");
    // the recorder's connection sees the PropertyNotify behind a round trip
    xcb_connection_t* rc = display_connection();
    Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(rc, xcb_get_input_focus(rc), nullptr),
                                            &std::free);
    bool seen = false;
    while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(rc)) {
        if ((ev->response_type & 0x7f) == XCB_PROPERTY_NOTIFY &&
            reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == c.atom("_NET_CLIENT_LIST_STACKING"))
            seen = true;
        std::free(ev);
    }
    EXPECT_TRUE(seen);
    display_connection_teardown();
}

TEST(Display, TeardownOfABrokenConnectionStillDisconnects)
{
    auto x = std::make_unique<Xvfb>();
    use_display(x->display());
    display_connection_setup();
    x->kill_server();
    xcb_connection_t* rc = display_connection();
    Reply<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(rc, xcb_get_input_focus(rc), nullptr),
                                         &std::free);
    EXPECT_FALSE(r);
    EXPECT_NE(xcb_connection_has_error(rc), 0);
    display_connection_teardown();
    EXPECT_EQ(display_connection(), nullptr);
}

TEST(DisplayDeathTest, UnparsableDisplayName)
{
    EXPECT_EXIT(
        {
            use_display("no display here");
            display_connection_setup();
        },
        ExitedWithCode(1), "failed to connect to display no display here: can't parse display string");
}

TEST(DisplayDeathTest, NoServerOnTheDisplay)
{
    // far above the numbers that -displayfd hands out
    const std::string gone = ":64999";
    EXPECT_EXIT(
        {
            use_display(gone);
            display_connection_setup();
        },
        ExitedWithCode(1), "failed to connect to display " + gone + ": socket, pipe, or stream error");
}

TEST(DisplayDeathTest, ScreenBeyondTheServers)
{
    Xvfb x;
    // the xcb library may refuse the screen itself or leave it to us
    EXPECT_EXIT(
        {
            use_display(x.display() + ".3");
            display_connection_setup();
        },
        ExitedWithCode(1),
        "failed to connect to display " + x.display() + "\\.3: invalid screen|" +
            "failed to retrieve screen for display " + x.display() + "\\.3");
}
