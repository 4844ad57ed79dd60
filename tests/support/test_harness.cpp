// The test display itself: if these fail, no X test can be trusted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <xcb/composite.h>

#include <algorithm>
#include <cstdlib>

#include "x-harness.h"

using namespace xtest;

namespace {

bool process_exists(pid_t pid)
{
    return kill(pid, 0) == 0;
}

template <typename T>
struct Free {
    void operator()(T* p) const { std::free(p); }
};

} // namespace

TEST(Process, StatusOutputAndStdin)
{
    auto r = run({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");

    ProcessOptions o;
    o.pipe_stdin = true;
    Process cat({"cat"}, o);
    cat.write_stdin("hello\n");
    EXPECT_TRUE(cat.wait_for_output("hello\n"));
    cat.close_stdin();
    EXPECT_EQ(cat.wait(), 0);

    Process sleeper({"sleep", "1000"});
    EXPECT_TRUE(sleeper.running());
    sleeper.signal(SIGTERM);
    EXPECT_EQ(sleeper.wait(), 128 + SIGTERM);
}

TEST(Process, DestructorKillsTheWholeGroup)
{
    // as in a test with an xpra session: orphans of the group come to us
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t child;
    {
        Process p({"sh", "-c", "sleep 1000 & echo $!; wait"});
        ASSERT_TRUE(p.wait_for_output("\n"));
        child = std::stoi(p.out());
        EXPECT_TRUE(process_exists(child));
    }
    // the grandchild was in the group: killed, and reaped by the destructor
    EXPECT_FALSE(process_exists(child));
}

TEST(Xvfb, FreeDisplaysAndNothingLeftBehind)
{
    pid_t pid1, pid2;
    {
        Xvfb a;
        Xvfb b(XvfbOptions{"320x200x16", {}});
        EXPECT_NE(a.display(), b.display());
        pid1 = a.pid();
        pid2 = b.pid();
        Client ca(a.display()), cb(b.display());
        EXPECT_EQ(ca.screen()->width_in_pixels, 640);
        EXPECT_EQ(ca.depth(), 24);
        EXPECT_EQ(cb.screen()->width_in_pixels, 320);
        EXPECT_EQ(cb.depth(), 16);
    }
    EXPECT_FALSE(process_exists(pid1));
    EXPECT_FALSE(process_exists(pid2));
}

TEST(Xvfb, ExtensionsCanBeSwitchedOff)
{
    Xvfb x(XvfbOptions{"640x480x24", {"-extension", "XTEST"}});
    Client c(x.display());
    auto r = std::unique_ptr<xcb_query_extension_reply_t, Free<xcb_query_extension_reply_t>>(
        xcb_query_extension_reply(c.c(), xcb_query_extension(c.c(), 5, "XTEST"), nullptr));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->present);
}

TEST(Client, PatternsReachTheScreen)
{
    for (const char* screen : {"320x200x24", "320x200x16", "320x200x8"}) {
        SCOPED_TRACE(screen);
        Xvfb x(XvfbOptions{screen, {}});
        Client c(x.display());
        auto w = c.create_window(10, 20, 50, 40, 2);
        c.map(w);
        c.draw_pattern(w, 7);
        Image img = c.root_image();
        uint8_t d = c.depth();
        EXPECT_EQ(img.pixel(12, 22), pattern_pixel(7, 0, 0, d));
        EXPECT_EQ(img.pixel(12 + 49, 22 + 39), pattern_pixel(7, 49, 39, d));
        EXPECT_EQ(img.pixel(0, 0), 0u); // black background
        uint32_t mismatches = 0;
        for (int y = 0; y < 40; ++y)
            for (int xx = 0; xx < 50; ++xx)
                mismatches += img.pixel(12 + xx, 22 + y) != pattern_pixel(7, xx, y, d);
        EXPECT_EQ(mismatches, 0u);
        c.fill(w, 5);
        EXPECT_EQ(c.root_image().pixel(30, 30), 5u);
    }
}

TEST(SeamlessSession, ServerModeTypes)
{
    Xvfb x;
    Client c(x.display());
    {
        SeamlessSession s(x.display());
        auto p = c.root_property("XPRA_SERVER_MODE");
        ASSERT_TRUE(p);
        EXPECT_EQ(p->first, "seamless");
        EXPECT_EQ(p->second, "UTF8_STRING");
    }
    EXPECT_FALSE(c.root_property("XPRA_SERVER_MODE"));
    EXPECT_FALSE(c.root_property("_NET_CLIENT_LIST"));
    EXPECT_FALSE(c.root_property("_NET_CLIENT_LIST_STACKING"));
    {
        SeamlessSession s(x.display(), ModeType::String, "desktop");
        auto p = c.root_property("XPRA_SERVER_MODE");
        ASSERT_TRUE(p);
        EXPECT_EQ(p->first, "desktop");
        EXPECT_EQ(p->second, "STRING");
    }
    {
        c.set_root_property("XPRA_SERVER_MODE", "STRING", "stale");
        SeamlessSession s(x.display(), ModeType::Absent);
        EXPECT_FALSE(c.root_property("XPRA_SERVER_MODE"));
        EXPECT_EQ(s.stop(), 0);
    }
}

TEST(SeamlessSession, ListsFollowTheWindows)
{
    Xvfb x;
    Client c(x.display());
    auto early = c.create_window(0, 0, 10, 10);
    c.map(early);
    SeamlessSession s(x.display());
    EXPECT_EQ(c.root_window_list("_NET_CLIENT_LIST"), std::vector<xcb_window_t>{early});

    using L = std::vector<xcb_window_t>;
    auto a = c.create_window(10, 10, 30, 30);
    auto b = c.create_window(20, 20, 30, 30);
    auto popup = c.create_window(5, 5, 10, 10, 0, true);
    c.map(b);
    c.map(a);
    c.map(popup);
    // listed from first map, in that order; stacking is creation order here
    c.wait_for_client_list([&](const L& l) { return l == L{early, b, a}; });
    c.wait_for_stacking([&](const L& l) { return l == L{early, a, b}; });

    c.raise(a);
    c.wait_for_stacking([&](const L& l) { return l == L{early, b, a}; });
    c.lower(a);
    c.wait_for_stacking([&](const L& l) { return l == L{a, early, b}; });
    xcb_circulate_window(c.c(), XCB_CIRCULATE_RAISE_LOWEST, c.root());
    c.sync();
    c.wait_for_stacking([&](const L& l) { return l == L{early, b, a}; });

    c.unmap(b); // still managed while it exists
    c.destroy(early);
    c.wait_for_client_list([&](const L& l) { return l == L{b, a}; });
    c.wait_for_stacking([&](const L& l) { return l == L{b, a}; });
    c.destroy(b);
    c.destroy(a);
    c.wait_for_client_list([&](const L& l) { return l.empty(); });
}

TEST(SeamlessSession, ListFromCreation)
{
    Xvfb x;
    Client c(x.display());
    SeamlessSession s(x.display(), SeamlessOptions{ModeType::Utf8String, "seamless", true, true});
    auto a = c.create_window(0, 0, 10, 10);
    c.wait_for_client_list(
        [&](const std::vector<xcb_window_t>& l) { return l == std::vector<xcb_window_t>{a}; });
}

TEST(SeamlessSession, WindowsAreRedirectedAndNameable)
{
    Xvfb x;
    Client c(x.display());
    SeamlessSession s(x.display());
    auto w = c.create_window(30, 40, 64, 48, 3);
    c.map(w);
    c.draw_pattern(w, 99);
    xcb_pixmap_t pix = xcb_generate_id(c.c());
    auto err = std::unique_ptr<xcb_generic_error_t, Free<xcb_generic_error_t>>(
        xcb_request_check(c.c(), xcb_composite_name_window_pixmap_checked(c.c(), w, pix)));
    ASSERT_FALSE(err) << "NameWindowPixmap refused: window not redirected";
    Image off = c.get_image(pix, 3, 3, 64, 48); // inside origin at the border width
    Image on = c.root_image();
    for (int y = 0; y < 48; y += 7)
        for (int xx = 0; xx < 64; xx += 5) {
            EXPECT_EQ(off.pixel(xx, y), pattern_pixel(99, xx, y, 24));
            EXPECT_EQ(on.pixel(33 + xx, 43 + y), pattern_pixel(99, xx, y, 24));
        }
    EXPECT_EQ(on.pixel(30, 40), 0x808080u); // the border
}

#ifdef RECORDER_PATH
TEST(Recorder, RecordsAreSeenAsTheyAreWritten)
{
    Xvfb x;
    SeamlessSession s(x.display());
    Client c(x.display());
    auto w = c.create_window(0, 0, 64, 64);
    c.map(w);
    c.draw_pattern(w, 3);
    std::string file = temp_dir() + "/rec.zel";
    Recorder rec({x.display(), file, "-app", "harness"});
    // the header, the footer item and a first frame, while it still runs
    auto seen = wait_for_records(file, [](const Records& rs) {
        return std::any_of(rs.begin(), rs.end(), [](const RecordPtr& r) {
            return r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_COMPRESSED_IMAGE_BLOCKS;
        });
    });
    EXPECT_TRUE(rec.running());
    EXPECT_EQ(seen.status, ZEL_READ_TRUNCATED);
    ASSERT_FALSE(seen.records.empty());
    EXPECT_EQ(seen.records.front()->type, ZEL_HEADER);
    rec.signal(SIGTERM);
    EXPECT_EQ(rec.wait(), 0) << rec.err();
    Recording done = read_recording(file);
    EXPECT_EQ(done.status, ZEL_READ_END) << done.problem;
    auto* app = done.first<ZelFooterItem>(ZEL_FOOTER_ITEM_APP);
    ASSERT_NE(app, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(app->item), "harness");
}
#endif
