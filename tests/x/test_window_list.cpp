// The window list against a real server: reconciliation with
// _NET_CLIENT_LIST, the stacking copy, and the X resources each tracked
// window holds, checked by asking the server whether they exist.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "in-process-frontend.h"

using inproc::debug_output_of;
using inproc::InProcessFrontend;
using inproc::Rect;
using inproc::rects_of;

namespace {

std::string hex(xcb_window_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", id);
    return text;
}

// Position of needle in text followed by a line end or a blank, so that
// 0x20001 does not match 0x200010; npos when absent.
size_t find_id_line(const std::string& text, const std::string& needle)
{
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        size_t end = at + needle.size();
        if (end == text.size() || text[end] == '\n' || text[end] == ' ') return at;
    }
    return std::string::npos;
}

size_t count_of(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

WindowState entry(xcb_window_t win)
{
    WindowState st{};
    st.win = win;
    return st;
}

// ---------------------------------------------------------------- the sorted array alone

TEST(WindowListArray, KeepsIdsSortedUnsignedGrowsByDoublingAndNeverShrinks)
{
    WindowList list;
    list_init(&list);
    EXPECT_EQ(list.capacity, 0u);
    EXPECT_EQ(list.ws, nullptr);
    EXPECT_EQ(list_find(&list, 5), nullptr);

    // ids with the top bit set sort after all others
    const std::vector<xcb_window_t> ids = {0x80000001, 5, 0x7fffffff, 9, 1, 0xfffffffe, 7, 2};
    for (xcb_window_t id : ids) ASSERT_NE(list_add(&list, entry(id)), nullptr) << hex(id);
    EXPECT_EQ(list.capacity, 8u);
    EXPECT_EQ(list_add(&list, entry(9)), nullptr) << "a duplicate is refused";
    EXPECT_EQ(list.size, 8u);

    WindowState* ninth = list_add(&list, entry(4));
    ASSERT_NE(ninth, nullptr);
    EXPECT_EQ(ninth->win, 4u) << "the pointer is to the stored entry";
    EXPECT_EQ(list.capacity, 16u);

    const std::vector<xcb_window_t> sorted = {1, 2, 4, 5, 7, 9, 0x7fffffff, 0x80000001, 0xfffffffe};
    ASSERT_EQ(list.size, sorted.size());
    for (size_t i = 0; i < sorted.size(); i++) {
        EXPECT_EQ(list.ws[i].win, sorted[i]) << i;
        EXPECT_EQ(list_lower_bound(&list, sorted[i]), i);
        EXPECT_EQ(list_find(&list, sorted[i]), &list.ws[i]);
    }
    EXPECT_EQ(list_lower_bound(&list, 3), 2u);
    EXPECT_EQ(list_lower_bound(&list, 0xffffffff), list.size);
    EXPECT_EQ(list_find(&list, 3), nullptr);

    EXPECT_TRUE(list_remove(&list, 7));
    EXPECT_FALSE(list_remove(&list, 7));
    EXPECT_EQ(list_find(&list, 7), nullptr);
    EXPECT_EQ(list_find(&list, 9)->win, 9u) << "entries after the gap moved down intact";
    for (xcb_window_t id : sorted) list_remove(&list, id);
    EXPECT_EQ(list.size, 0u);
    EXPECT_EQ(list.capacity, 16u);

    list_destroy(&list);
    EXPECT_EQ(list.capacity, 0u);
    EXPECT_EQ(list.size, 0u);
    EXPECT_EQ(list.ws, nullptr);
}

TEST(WindowListArray, WinCmpOrdersIdsAsUnsignedNumbers)
{
    std::vector<xcb_window_t> ids = {0x80000000, 3, 0xffffffff, 0x7fffffff, 3, 0};
    std::qsort(ids.data(), ids.size(), sizeof ids[0], win_cmp);
    EXPECT_EQ(ids, (std::vector<xcb_window_t>{0, 3, 3, 0x7fffffff, 0x80000000, 0xffffffff}));
    xcb_window_t a = 1, b = 0x80000000;
    EXPECT_EQ(win_cmp(&a, &b), -1);
    EXPECT_EQ(win_cmp(&b, &a), 1);
    EXPECT_EQ(win_cmp(&a, &a), 0);
}

TEST(WindowListArray, MapStateNames)
{
    EXPECT_STREQ(map_state_name(0), "UNMAPPED");
    EXPECT_STREQ(map_state_name(1), "UNVIEWABLE");
    EXPECT_STREQ(map_state_name(2), "VIEWABLE");
    EXPECT_STREQ(map_state_name(3), "UNKNOWN");
}

// ---------------------------------------------------------------- against the server

// The test writes _NET_CLIENT_LIST itself and keeps the windows redirected.
class WindowListTest : public InProcessFrontend {
  protected:
    WindowListTest() : InProcessFrontend(false) {}
};

TEST_F(WindowListTest, ReconcilesDescendingListThenKeepsOneDropsTwoAddsOne)
{
    // ids are handed out ascending: a < b < c
    xcb_window_t a = client().create_window(10, 20, 50, 40);
    xcb_window_t b = client().create_window(100, 20, 30, 30);
    xcb_window_t c = client().create_window(200, 20, 60, 50, 3);
    client().map(a);
    client().map(c);
    EXPECT_EQ(list_of_windows.size, 0u) << "nothing is listed yet";

    set_client_list({c, b, a});
    ASSERT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, b, c}));
    EXPECT_EQ(list_of_windows.capacity, 8u);
    WindowState* sa = tracked(a);
    WindowState* sb = tracked(b);
    WindowState* sc = tracked(c);
    for (WindowState* st : {sa, sb, sc}) {
        EXPECT_TRUE(damage_exists(st->damage)) << hex(st->win);
        EXPECT_FALSE(st->destroyed);
    }
    EXPECT_TRUE(sa->mapped);
    EXPECT_FALSE(sb->mapped);
    EXPECT_TRUE(sc->mapped);
    EXPECT_EQ(sb->pixmap, 0u) << "an unmapped window gets no pixmap";
    EXPECT_EQ(drawable_size(sa->pixmap), std::make_pair(uint16_t{50}, uint16_t{40}));
    // the named pixmap includes the border; the inside origin lies at (3, 3) in it
    EXPECT_EQ(drawable_size(sc->pixmap), std::make_pair(uint16_t{66}, uint16_t{56}));
    EXPECT_EQ(sc->border_width, 3);
    EXPECT_EQ(sa->border_width, 0);
    EXPECT_EQ(sc->width, 60);
    EXPECT_EQ(sc->height, 50);
    EXPECT_EQ(sa->x_root, 10);
    EXPECT_EQ(sa->y_root, 20);
    EXPECT_EQ(sc->x_root, 203) << "the position is the inside origin";
    EXPECT_EQ(sc->y_root, 23);
    EXPECT_EQ(sb->width, 30);

    // a keeps an accumulator of its own and its pixmap through the change
    pixman_region_clear(&sa->accumulator);
    pixman_region_union_rect(&sa->accumulator, &sa->accumulator, 1, 2, 3, 4);
    const xcb_pixmap_t pa = sa->pixmap;
    const xcb_pixmap_t pc = sc->pixmap;
    const xcb_damage_damage_t db = sb->damage;
    const xcb_damage_damage_t dc = sc->damage;
    xcb_window_t d = client().create_window(300, 200, 20, 10);
    client().map(d);

    std::string out = debug_output_of([&] { set_client_list({d, a}); });
    ASSERT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, d}));
    sa = tracked(a);
    EXPECT_EQ(sa->pixmap, pa);
    EXPECT_TRUE(pixmap_exists(pa));
    EXPECT_EQ(rects_of(&sa->accumulator), (std::vector<Rect>{{1, 2, 4, 6}}));
    EXPECT_FALSE(pixmap_exists(pc)) << "a removed window's pixmap is freed";
    EXPECT_FALSE(damage_exists(db)) << "a removed window's damage object is destroyed";
    EXPECT_FALSE(damage_exists(dc));
    EXPECT_TRUE(damage_exists(tracked(d)->damage));
    EXPECT_EQ(drawable_size(tracked(d)->pixmap), std::make_pair(uint16_t{20}, uint16_t{10}));

    // removals, in ascending order, come before the addition
    size_t removing_b = find_id_line(out, "removing window " + hex(b));
    size_t removing_c = find_id_line(out, "removing window " + hex(c));
    size_t adding_d = find_id_line(out, "added window=" + hex(d));
    ASSERT_NE(removing_b, std::string::npos) << out;
    ASSERT_NE(removing_c, std::string::npos) << out;
    ASSERT_NE(adding_d, std::string::npos) << out;
    EXPECT_LT(removing_b, removing_c);
    EXPECT_LT(removing_c, adding_d);
    EXPECT_EQ(count_of(out, "added window="), 1u) << "the kept window is not added again";
    EXPECT_NE(out.find("_NET_CLIENT_LIST:\n " + hex(d) + " " + hex(a) + "\n"), std::string::npos)
        << "the property is dumped in its own order\n"
        << out;
    EXPECT_NE(out.find("\t[1] " + hex(a) + " mapped=yes pixmap=" + hex(pa) + "\n"), std::string::npos) << out;
}

TEST_F(WindowListTest, IdListedTwiceIsTrackedOnce)
{
    xcb_window_t a = client().create_window(0, 0, 10, 10);
    xcb_window_t b = client().create_window(20, 0, 10, 10);
    client().map(a);
    client().map(b);

    std::string out = debug_output_of([&] { set_client_list({a, b, a}); });
    EXPECT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, b}));
    EXPECT_EQ(count_of(out, "added window="), 2u) << out;
    EXPECT_EQ(count_of(out, "failed to add window " + hex(a) + " to window list"), 1u) << out;

    const xcb_pixmap_t pa = tracked(a)->pixmap;
    out = debug_output_of([&] { set_client_list({b, a, b, b}); });
    EXPECT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, b}));
    EXPECT_EQ(count_of(out, "added window="), 0u) << out;
    EXPECT_EQ(count_of(out, "removing window"), 0u) << out;
    EXPECT_EQ(tracked(a)->pixmap, pa);
}

TEST_F(WindowListTest, SixHundredWindowsComeAndGoThroughHeapWorkArrays)
{
    constexpr size_t n = 600;
    std::vector<xcb_window_t> windows;
    for (size_t i = 0; i < n; i++) {
        auto x = static_cast<int16_t>((i % 40) * 15);
        auto y = static_cast<int16_t>((i / 40) * 15);
        windows.push_back(client().create_window(x, y, 10, 10));
    }
    for (size_t i = 0; i < n; i += 2) xcb_map_window(c(), windows[i]); // every other one viewable
    client().sync();

    std::vector<xcb_window_t> descending(windows.rbegin(), windows.rend());
    set_client_list(descending);
    ASSERT_EQ(tracked_ids(), windows) << "ascending, one entry each";
    EXPECT_EQ(list_of_windows.capacity, 1024u);

    // ask the server about every resource at once, then look at the answers
    std::vector<xcb_get_geometry_cookie_t> pixmaps;
    std::vector<xcb_void_cookie_t> damages;
    std::vector<xcb_pixmap_t> pixmap_ids;
    std::vector<xcb_damage_damage_t> damage_ids;
    for (size_t i = 0; i < n; i++) {
        const WindowState& st = list_of_windows.ws[i];
        EXPECT_EQ(st.mapped, i % 2 == 0) << i;
        EXPECT_EQ(st.pixmap != 0, i % 2 == 0) << i;
        pixmap_ids.push_back(st.pixmap);
        damage_ids.push_back(st.damage);
        if (st.pixmap != 0) pixmaps.push_back(xcb_get_geometry(c(), st.pixmap));
        damages.push_back(xcb_damage_subtract_checked(c(), st.damage, XCB_NONE, XCB_NONE));
    }
    size_t pixmaps_found = 0;
    for (auto cookie : pixmaps) {
        xcb_generic_error_t* e = nullptr;
        XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c(), cookie, &e));
        std::free(e);
        if (g && g->width == 10 && g->height == 10) pixmaps_found++;
    }
    EXPECT_EQ(pixmaps_found, n / 2);
    size_t damages_found = 0;
    for (auto cookie : damages) {
        XcbReply<xcb_generic_error_t> e(xcb_request_check(c(), cookie));
        if (!e) damages_found++;
    }
    EXPECT_EQ(damages_found, n);

    // the property deleted: every window goes, with its resources
    client().delete_root_property("_NET_CLIENT_LIST");
    pump();
    EXPECT_EQ(list_of_windows.size, 0u);
    EXPECT_EQ(list_of_windows.capacity, 1024u) << "the array never shrinks";
    size_t pixmaps_left = 0;
    for (xcb_pixmap_t p : pixmap_ids)
        if (p != 0 && pixmap_exists(p)) pixmaps_left++;
    EXPECT_EQ(pixmaps_left, 0u);
    size_t damages_left = 0;
    for (xcb_damage_damage_t d : damage_ids)
        if (damage_exists(d)) damages_left++;
    EXPECT_EQ(damages_left, 0u);

    // and all come back with the next listing
    set_client_list(windows);
    EXPECT_EQ(list_of_windows.size, n);
}

TEST_F(WindowListTest, ListOfOtherTypeReadsAsEmpty)
{
    xcb_window_t a = client().create_window(0, 0, 10, 10);
    client().map(a);
    set_client_list({a});
    ASSERT_EQ(list_of_windows.size, 1u);

    // same bytes, type CARDINAL instead of WINDOW
    xcb_change_property(c(), XCB_PROP_MODE_REPLACE, client().root(), client().atom("_NET_CLIENT_LIST"),
                        XCB_ATOM_CARDINAL, 32, 1, &a);
    pump();
    EXPECT_EQ(list_of_windows.size, 0u);
}

TEST_F(WindowListTest, UnmappedWindowGetsItsPixmapOnceFoundViewable)
{
    xcb_window_t w = client().create_window(5, 5, 40, 30);
    set_client_list({w});
    WindowState* st = tracked(w);
    ASSERT_NE(st, nullptr);
    EXPECT_TRUE(damage_exists(st->damage));
    EXPECT_EQ(st->pixmap, 0u);
    EXPECT_FALSE(st->mapped);

    client().map(w); // its MapNotify is left waiting: the frame tick's query comes first
    std::string out = debug_output_of([&] { window_map_state_update(st); });
    EXPECT_TRUE(st->mapped);
    EXPECT_NE(out.find("window_map_state_update: window " + hex(w) + ": map_state=VIEWABLE"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("renew NameWindowPixmap"), std::string::npos) << out;
    EXPECT_EQ(drawable_size(st->pixmap), std::make_pair(uint16_t{40}, uint16_t{30}));

    // mapped at the last tick as well: no new naming
    st->previous.mapped = true;
    const xcb_pixmap_t p = st->pixmap;
    out = debug_output_of([&] { window_map_state_update(st); });
    EXPECT_EQ(out.find("renew NameWindowPixmap"), std::string::npos) << out;
    EXPECT_EQ(st->pixmap, p);
    EXPECT_TRUE(pixmap_exists(p));
}

TEST_F(WindowListTest, StackingCopyFollowsItsPropertyInPropertyOrder)
{
    EXPECT_EQ(window_stack, nullptr) << "absent at set-up";
    EXPECT_EQ(window_stack_size, 0u);

    xcb_window_t a = client().create_window(0, 0, 10, 10);
    xcb_window_t b = client().create_window(0, 0, 10, 10);
    client().map(a);
    set_client_list({a});
    // a stacked id need not be tracked
    client().set_root_window_list("_NET_CLIENT_LIST_STACKING", {b, a});
    pump();
    ASSERT_EQ(window_stack_size, 2u);
    EXPECT_EQ(window_stack[0], b);
    EXPECT_EQ(window_stack[1], a);

    // other root properties change nothing
    std::string out = debug_output_of([&] {
        client().set_root_property("SOME_OTHER_PROPERTY", "STRING", "x");
        pump();
    });
    EXPECT_EQ(out.find("XCB_PROPERTY_NOTIFY"), std::string::npos) << out;
    EXPECT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a}));
    EXPECT_EQ(window_stack_size, 2u);

    client().delete_root_property("_NET_CLIENT_LIST_STACKING");
    pump();
    EXPECT_EQ(window_stack, nullptr);
    EXPECT_EQ(window_stack_size, 0u);
}

// Run under the address sanitizer: accumulators with several rectangles own
// heap storage, which the teardown must release (the leak check at exit
// fails the test otherwise).
TEST_F(WindowListTest, TeardownReleasesEveryAccumulator)
{
    xcb_window_t a = client().create_window(0, 0, 50, 50);
    xcb_window_t b = client().create_window(60, 0, 50, 50);
    client().map(a);
    client().map(b);
    set_client_list({a, b});
    client().set_root_window_list("_NET_CLIENT_LIST_STACKING", {a, b});
    pump();
    for (xcb_window_t w : {a, b}) {
        WindowState* st = tracked(w);
        ASSERT_NE(st, nullptr);
        pixman_region_clear(&st->accumulator);
        for (int i = 0; i < 5; i++)
            pixman_region_union_rect(&st->accumulator, &st->accumulator, i * 10, i * 10, 3, 3);
        EXPECT_GT(pixman_region_n_rects(&st->accumulator), 1);
    }
    window_list_teardown();
    EXPECT_EQ(list_of_windows.size, 0u);
    EXPECT_EQ(list_of_windows.capacity, 0u);
    EXPECT_EQ(list_of_windows.ws, nullptr);
    EXPECT_EQ(window_stack, nullptr);
    EXPECT_EQ(window_stack_size, 0u);
}

// ---------------------------------------------------------------- with the seamless helper

class WindowListWithHelperTest : public InProcessFrontend {
  protected:
    WindowListWithHelperTest() : InProcessFrontend(true) {}
};

TEST_F(WindowListWithHelperTest, SetupTracksListedWindowsAndDestroyedOnesLeave)
{
    xcb_window_t a = mapped_window(10, 10, 30, 30);
    xcb_window_t b = mapped_window(50, 10, 30, 30);
    xcb_window_t c = mapped_window(90, 10, 30, 30);
    client().wait_for_stacking([&](const std::vector<xcb_window_t>& s) { return s.size() == 3; });

    // a set-up on a display that already has client windows tracks them all
    window_list_teardown();
    window_list_setup();
    ASSERT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, b, c}));
    for (xcb_window_t w : {a, b, c}) EXPECT_TRUE(pixmap_exists(tracked(w)->pixmap)) << hex(w);
    ASSERT_EQ(window_stack_size, 3u);
    EXPECT_EQ(std::vector<xcb_window_t>(window_stack, window_stack + 3),
              client().root_window_list("_NET_CLIENT_LIST_STACKING"));

    const xcb_pixmap_t pb = tracked(b)->pixmap;
    client().destroy(b);
    client().wait_for_client_list([&](const std::vector<xcb_window_t>& l) { return l.size() == 2; });
    client().wait_for_stacking([&](const std::vector<xcb_window_t>& s) { return s.size() == 2; });
    pump();
    EXPECT_EQ(tracked_ids(), (std::vector<xcb_window_t>{a, c}));
    EXPECT_FALSE(pixmap_exists(pb));
    EXPECT_EQ(window_stack_size, 2u);
}

} // namespace
