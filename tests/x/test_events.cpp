// The X event handling against a real server: events the server generates
// (or carries for another client with SendEvent) reach the handlers through
// event_from_source, and the effects are checked on the window list, on the
// server's resources, on standard output and in the recording file.
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "backend.h"
#include "compressor.h"
#include "frontend.h"
#include "in-process-frontend.h"
#include "last-input.h"
#include "zel.h"

using inproc::debug_output_of;
using inproc::InProcessFrontend;
using inproc::Rect;
using inproc::rects_of;

namespace {

std::string hex(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", id);
    return text;
}

using Size = std::pair<uint16_t, uint16_t>;

class EventsTest : public InProcessFrontend {
  protected:
    EventsTest() : InProcessFrontend(false) {}

    // A mapped window the recorder tracks (listed by the test itself).
    WindowState* track(xcb_window_t w)
    {
        listed_.push_back(w);
        set_client_list(listed_);
        return tracked(w);
    }

    // An event carried by the server from the test client to every client
    // that selected StructureNotify on the root: it arrives with the
    // SendEvent bit set in its first byte.
    template <typename Event>
    void send_to_root(const Event& event)
    {
        static_assert(sizeof(Event) <= 32, "a core event fits in 32 bytes");
        char bytes[32] = {};
        std::memcpy(bytes, &event, sizeof event);
        xcb_send_event(c(), 0, client().root(), XCB_EVENT_MASK_STRUCTURE_NOTIFY, bytes);
        pump();
    }

    void send_root_configure(uint16_t width, uint16_t height)
    {
        xcb_configure_notify_event_t e{};
        e.response_type = XCB_CONFIGURE_NOTIFY;
        e.event = client().root();
        e.window = client().root();
        e.width = width;
        e.height = height;
        send_to_root(e);
    }

    // Xvfb cannot resize its screen, and the server does not carry extension
    // events of other clients to core event masks: the notification is
    // handed to the dispatcher as the server would have delivered it.
    void screen_change(uint16_t width, uint16_t height)
    {
        xcb_randr_screen_change_notify_event_t e{};
        e.response_type = static_cast<uint8_t>(randr_event());
        e.root = client().root();
        e.request_window = client().root();
        e.width = width;
        e.height = height;
        source_process_event(reinterpret_cast<const xcb_generic_event_t*>(&e));
    }

    void fill_rect(xcb_window_t w, int16_t x, int16_t y, uint16_t width, uint16_t height)
    {
        xcb_gcontext_t gc = xcb_generate_id(c());
        const uint32_t foreground = 0x00ff8040;
        xcb_create_gc(c(), gc, w, XCB_GC_FOREGROUND, &foreground);
        xcb_rectangle_t r{x, y, width, height};
        xcb_poly_fill_rectangle(c(), w, gc, 1, &r);
        xcb_free_gc(c(), gc);
    }

    std::vector<xcb_window_t> listed_;
};

// ---------------------------------------------------------------- names

TEST(EventNames, CoreRequestOpcodesAndErrorCodes)
{
    EXPECT_STREQ(xcb_major_code(1), "XCB_CREATE_WINDOW");
    EXPECT_STREQ(xcb_major_code(2), "XCB_CHANGE_WINDOW_ATTRIBUTES");
    EXPECT_STREQ(xcb_major_code(3), "XCB_GET_WINDOW_ATTRIBUTES");
    EXPECT_STREQ(xcb_major_code(14), "XCB_GET_GEOMETRY");
    EXPECT_STREQ(xcb_major_code(20), "XCB_GET_PROPERTY");
    EXPECT_STREQ(xcb_major_code(40), "XCB_TRANSLATE_COORDINATES");
    EXPECT_STREQ(xcb_major_code(54), "XCB_FREE_PIXMAP");
    EXPECT_STREQ(xcb_major_code(74), "XCB_POLY_TEXT_8");
    EXPECT_STREQ(xcb_major_code(119), "XCB_GET_MODIFIER_MAPPING");
    EXPECT_STREQ(xcb_major_code(127), "XCB_NO_OPERATION");
    for (int op : {0, 120, 121, 126, 128, 140, 255})
        EXPECT_STREQ(xcb_major_code(static_cast<uint8_t>(op)), "UNKNOWN") << op;
    for (int op = 1; op <= 119; op++) {
        std::string name = xcb_major_code(static_cast<uint8_t>(op));
        EXPECT_EQ(name.rfind("XCB_", 0), 0u) << op << " " << name;
        EXPECT_NE(name, "UNKNOWN") << op;
    }

    EXPECT_STREQ(xcb_error_label(1), "BadRequest");
    EXPECT_STREQ(xcb_error_label(3), "BadWindow");
    EXPECT_STREQ(xcb_error_label(9), "BadDrawable");
    EXPECT_STREQ(xcb_error_label(14), "BadIDChoice");
    EXPECT_STREQ(xcb_error_label(17), "BadImplementation");
    for (int code : {0, 18, 128, 255})
        EXPECT_STREQ(xcb_error_label(static_cast<uint8_t>(code)), "UnknownError") << code;

    EXPECT_STREQ(visibility_state_name(0), "UNOBSCURED");
    EXPECT_STREQ(visibility_state_name(1), "PARTIALLY_OBSCURED");
    EXPECT_STREQ(visibility_state_name(2), "FULLY_OBSCURED");
    EXPECT_STREQ(visibility_state_name(3), "UNKNOWN");
}

// ---------------------------------------------------------------- errors

TEST_F(EventsTest, ErrorsOfCoreAndExtensionRequestsAreNamed)
{
    xcb_connection_t* rc = display_connection();
    const xcb_window_t nothing = xcb_generate_id(rc); // an id no resource has
    std::string out = debug_output_of([&] {
        xcb_get_window_attributes_unchecked(rc, nothing);
        xcb_get_geometry_unchecked(rc, nothing);
        xcb_damage_subtract(rc, nothing, XCB_NONE, XCB_NONE);
        xcb_get_image_unchecked(rc, XCB_IMAGE_FORMAT_Z_PIXMAP, nothing, 0, 0, 1, 1, ~0u);
        pump();
    });
    const std::string resource = "resource=" + hex(nothing) + ": ";
    EXPECT_NE(out.find("major=3 minor=0, " + resource + "BadWindow\n"), std::string::npos) << out;
    EXPECT_NE(out.find("major=14 minor=0, " + resource + "BadDrawable\n"), std::string::npos) << out;
    EXPECT_NE(out.find("major=73 minor=0, " + resource + "BadDrawable\n"), std::string::npos) << out;
    // DAMAGE's own error code lies beyond the core ones
    const int damage_major = xcb_get_extension_data(c(), &xcb_damage_id)->major_opcode;
    EXPECT_NE(out.find("major=" + std::to_string(damage_major) +
                       " minor=" + std::to_string(XCB_DAMAGE_SUBTRACT) + ", " + resource + "UnknownError\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(list_of_windows.size, 0u) << "errors change nothing";
}

// ---------------------------------------------------------------- root size

TEST_F(EventsTest, RootSizeChangeIsRecordedOnceWhicheverNotificationComesFirst)
{
    compressor_thread_start();
    backend_thread_start();

    send_root_configure(640, 480); // the current size: nothing
    EXPECT_EQ(root_width(), 640);
    send_root_configure(800, 600);
    EXPECT_EQ(root_width(), 800);
    EXPECT_EQ(root_height(), 600);
    screen_change(800, 600); // the same change told again by RandR
    screen_change(1024, 768);
    EXPECT_EQ(root_width(), 1024);
    EXPECT_EQ(root_height(), 768);
    send_root_configure(1024, 768);

    compressor_thread_stop();
    backend_thread_stop();

    std::vector<Size> changes;
    ZelReader* reader = zel_reader_open(recording().c_str());
    ASSERT_NE(reader, nullptr);
    ZelRecord* record = nullptr;
    ZelReadStatus status;
    while ((status = zel_reader_next(reader, &record)) == ZEL_READ_RECORD) {
        if (record->type == ZEL_SCREEN_CHANGE) {
            auto* sc = reinterpret_cast<ZelScreenChange*>(record);
            changes.emplace_back(sc->width, sc->height);
        }
        zel_record_free(record);
    }
    EXPECT_EQ(status, ZEL_READ_END) << zel_reader_problem(reader);
    zel_reader_close(reader);
    EXPECT_EQ(changes, (std::vector<Size>{{800, 600}, {1024, 768}}));
}

// ---------------------------------------------------------------- tracked windows

TEST_F(EventsTest, StructureEventsKeepPixmapsInStepWithTheWindowStorage)
{
    xcb_window_t w = client().create_window(20, 30, 100, 80);
    client().map(w);
    WindowState* st = track(w);
    ASSERT_NE(st, nullptr);
    const xcb_pixmap_t first = st->pixmap;
    ASSERT_TRUE(pixmap_exists(first));

    // a move alone keeps the pixmap and updates the position
    client().move_resize(w, 50, 60, 100, 80);
    pump();
    st = tracked(w);
    EXPECT_EQ(st->pixmap, first);
    EXPECT_TRUE(pixmap_exists(first));
    EXPECT_EQ(st->x_root, 50);
    EXPECT_EQ(st->y_root, 60);

    // a resize names a fresh pixmap of the new size and frees the old one
    client().move_resize(w, 50, 60, 120, 90);
    pump();
    EXPECT_EQ(st->width, 120);
    EXPECT_EQ(st->height, 90);
    EXPECT_NE(st->pixmap, first);
    EXPECT_FALSE(pixmap_exists(first));
    EXPECT_EQ(drawable_size(st->pixmap), (Size{120, 90}));

    // unmap frees it
    const xcb_pixmap_t second = st->pixmap;
    client().unmap(w);
    pump();
    EXPECT_FALSE(st->mapped);
    EXPECT_EQ(st->pixmap, 0u);
    EXPECT_FALSE(pixmap_exists(second));

    // map names one afresh (and the visibility change that comes with it is seen)
    std::string out = debug_output_of([&] {
        client().map(w);
        pump();
    });
    EXPECT_TRUE(st->mapped);
    EXPECT_EQ(drawable_size(st->pixmap), (Size{120, 90}));
    EXPECT_NE(out.find("window " + hex(w) + " mapped\n"), std::string::npos) << out;
    EXPECT_NE(out.find("VisibilityNotify for window " + hex(w) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("window " + hex(w) + " mapped=yes state=UNOBSCURED\n"), std::string::npos) << out;

    // a window believed unmapped that changes size loses its pixmap
    const xcb_pixmap_t third = st->pixmap;
    st->mapped = false;
    client().move_resize(w, 50, 60, 60, 40);
    pump();
    EXPECT_EQ(st->pixmap, 0u);
    EXPECT_FALSE(pixmap_exists(third));
    EXPECT_EQ(st->width, 60);

    // the next frame tick's query finds it viewable again and names a pixmap
    window_map_state_update(st);
    EXPECT_TRUE(st->mapped);
    EXPECT_EQ(drawable_size(st->pixmap), (Size{60, 40}));

    // DestroyNotify marks the entry and frees nothing
    const xcb_pixmap_t fourth = st->pixmap;
    ASSERT_TRUE(pixmap_exists(fourth));
    const xcb_damage_damage_t damage = st->damage;
    xcb_destroy_notify_event_t destroyed{};
    destroyed.response_type = XCB_DESTROY_NOTIFY;
    destroyed.event = w;
    destroyed.window = w;
    source_process_event(reinterpret_cast<const xcb_generic_event_t*>(&destroyed));
    EXPECT_TRUE(st->destroyed);
    EXPECT_FALSE(st->mapped);
    EXPECT_EQ(st->pixmap, fourth);
    EXPECT_TRUE(pixmap_exists(fourth));
    EXPECT_EQ(st->damage, damage);

    // a real destroy unmaps first, which frees the pixmap; the entry stays
    // until the frame composition or the next reconciliation removes it
    client().destroy(w);
    pump();
    st = tracked(w);
    ASSERT_NE(st, nullptr);
    EXPECT_TRUE(st->destroyed);
    EXPECT_FALSE(st->mapped);
    EXPECT_EQ(st->pixmap, 0u);
    EXPECT_FALSE(pixmap_exists(fourth));
    EXPECT_EQ(st->damage, damage);

    // events for windows nobody tracks change nothing
    xcb_window_t other = client().create_window(0, 0, 10, 10);
    client().map(other);
    client().move_resize(other, 5, 5, 20, 20);
    client().unmap(other);
    client().destroy(other);
    pump();
    EXPECT_EQ(tracked_ids(), (std::vector<xcb_window_t>{w}));
}

TEST_F(EventsTest, BorderWidthIsKeptForThePixmapOffset)
{
    xcb_window_t w = client().create_window(10, 10, 40, 30, 4);
    client().map(w);
    WindowState* st = track(w);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->border_width, 4);
    EXPECT_EQ(st->x_root, 14);
    EXPECT_EQ(drawable_size(st->pixmap), (Size{48, 38}));

    // a new border gives the window new storage, of the new outer size
    const xcb_pixmap_t before = st->pixmap;
    const uint32_t one = 1;
    xcb_configure_window(c(), w, XCB_CONFIG_WINDOW_BORDER_WIDTH, &one);
    pump();
    EXPECT_EQ(st->border_width, 1);
    EXPECT_EQ(st->x_root, 11);
    EXPECT_FALSE(pixmap_exists(before));
    EXPECT_EQ(drawable_size(st->pixmap), (Size{42, 32}));
}

TEST_F(EventsTest, DamageJoinsTheAccumulatorAndIsReportedAgainAfterSubtraction)
{
    xcb_window_t w = client().create_window(0, 0, 100, 100);
    client().map(w);
    WindowState* st = track(w);
    ASSERT_NE(st, nullptr);
    // a new damage object reports the whole window once
    EXPECT_EQ(rects_of(&st->accumulator), (std::vector<Rect>{{0, 0, 100, 100}}));
    pixman_region_clear(&st->accumulator);

    fill_rect(w, 10, 10, 20, 20);
    fill_rect(w, 50, 60, 5, 5);
    pump();
    EXPECT_EQ(rects_of(&st->accumulator), (std::vector<Rect>{{10, 10, 30, 30}, {50, 60, 55, 65}}));

    // the same area again: only reported because the damage was emptied
    pixman_region_clear(&st->accumulator);
    fill_rect(w, 10, 10, 20, 20);
    pump();
    EXPECT_EQ(rects_of(&st->accumulator), (std::vector<Rect>{{10, 10, 30, 30}}));

    // a report for a window that is not tracked changes nothing
    xcb_damage_notify_event_t e{};
    e.response_type = static_cast<uint8_t>(damage_event());
    e.level = XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES;
    e.drawable = w + 1000;
    e.area = {0, 0, 5, 5};
    std::string out =
        debug_output_of([&] { source_process_event(reinterpret_cast<xcb_generic_event_t*>(&e)); });
    EXPECT_NE(out.find("window " + hex(w + 1000) + " not found\n"), std::string::npos) << out;
    EXPECT_EQ(rects_of(&st->accumulator), (std::vector<Rect>{{10, 10, 30, 30}}));
}

// ---------------------------------------------------------------- other events

TEST_F(EventsTest, UnknownEventsArePrintedInEveryModeWithTheSendEventBitCleared)
{
    xcb_window_t w = client().create_window(0, 0, 30, 30);
    xcb_window_t parent = client().create_window(100, 100, 50, 50);
    client().map(w);
    track(w);

    ::testing::internal::CaptureStdout();
    xcb_reparent_window(c(), w, parent, 0, 0); // a real ReparentNotify (21) for a tracked window
    pump();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("## source_process_event: unknown event 21\n"), std::string::npos) << out;

    ::testing::internal::CaptureStdout();
    xcb_reparent_notify_event_t sent{};
    sent.response_type = XCB_REPARENT_NOTIFY;
    sent.event = client().root();
    sent.window = w;
    sent.parent = client().root();
    send_to_root(sent);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "## source_process_event: unknown event 21\n");
}

TEST_F(EventsTest, ClientMessagesReachTheLastInputCodeUnchanged)
{
    last_input_setup();
    std::string out = debug_output_of([&] {
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 32;
        m.window = client().root();
        m.type = client().atom("ANY_MESSAGE_TYPE");
        m.data.data32[0] = LI_EMPTY;
        m.data.data32[1] = 4242;
        m.data.data32[2] = 987654;
        send_to_root(m);
    });
    last_input_teardown();
    EXPECT_NE(out.find("atom=4242 time=987654"), std::string::npos) << out;
}

TEST_F(EventsTest, BrokenConnectionIsNoticedAfterTheQueuedEvents)
{
    xcb_window_t w = client().create_window(0, 0, 30, 30);
    client().map(w);
    WindowState* st = track(w);
    ASSERT_NE(st, nullptr);
    ASSERT_NE(st->pixmap, 0u);

    client().unmap(w);
    recorder_sync(); // the UnmapNotify waits in xcb's queue
    xvfb().kill_server();
    std::string out = debug_output_of([] { event_from_source(); });
    EXPECT_FALSE(st->mapped) << "the queued event was handled";
    EXPECT_EQ(st->pixmap, 0u);
    EXPECT_NE(out.find("event_from_source: connection has error 1: socket, pipe, or stream error\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(frontend_running());
}

// ---------------------------------------------------------------- with the seamless helper

class EventsWithHelperTest : public InProcessFrontend {
  protected:
    EventsWithHelperTest() : InProcessFrontend(true) {}
};

TEST_F(EventsWithHelperTest, WindowsAreTrackedAsTheSessionListsThem)
{
    xcb_window_t w = mapped_window(30, 40, 64, 48);
    pump();
    WindowState* st = tracked(w);
    ASSERT_NE(st, nullptr);
    EXPECT_TRUE(st->mapped);
    EXPECT_EQ(st->x_root, 30);
    EXPECT_EQ(st->y_root, 40);
    EXPECT_EQ(drawable_size(st->pixmap), (Size{64, 48}));
    EXPECT_TRUE(damage_exists(st->damage));

    xcb_window_t v = mapped_window(100, 40, 20, 20);
    client().wait_for_stacking(
        [&](const std::vector<xcb_window_t>& s) { return s.size() == 2 && s[1] == v; });
    pump();
    ASSERT_EQ(window_stack_size, 2u);
    EXPECT_EQ(window_stack[0], w);
    EXPECT_EQ(window_stack[1], v);
    client().raise(w);
    client().wait_for_stacking(
        [&](const std::vector<xcb_window_t>& s) { return s.size() == 2 && s[1] == w; });
    pump();
    EXPECT_EQ(window_stack[0], v);
    EXPECT_EQ(window_stack[1], w);
}

} // namespace
