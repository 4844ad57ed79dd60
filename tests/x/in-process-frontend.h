// The recorder's display, extension and window-list modules run inside the
// test process against a real Xvfb, so that a test can drive the event
// handling directly and look at the window list while asking the server
// (through its own connection) which resources really exist.
#pragma once

#include <gtest/gtest.h>
#include <pixman.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "debugging.h"
#include "display.h"
#include "events.h"
#include "extensions.h"
#include "misc.h"
#include "window-list.h"
#include "x-harness.h"

namespace inproc {

// A rectangle of a pixman region, for comparisons.
struct Rect {
    int x1, y1, x2, y2;
    bool operator==(const Rect&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const Rect& r)
{
    return o << "(" << r.x1 << "," << r.y1 << ")-(" << r.x2 << "," << r.y2 << ")";
}

inline std::vector<Rect> rects_of(pixman_region16_t* region)
{
    int n = 0;
    const pixman_box16_t* b = pixman_region_rectangles(region, &n);
    std::vector<Rect> out;
    for (int i = 0; i < n; i++) out.push_back({b[i].x1, b[i].y1, b[i].x2, b[i].y2});
    return out;
}

class InProcessFrontend : public ::testing::Test {
  protected:
    // with_helper: the seamless-session helper redirects the windows and keeps
    // the client lists; without it the test redirects the root's children
    // itself and writes _NET_CLIENT_LIST as it likes.
    explicit InProcessFrontend(bool with_helper) : with_helper_(with_helper) {}

    void SetUp() override
    {
        xvfb_ = std::make_unique<xtest::Xvfb>();
        client_ = std::make_unique<xtest::Client>(xvfb_->display());
        if (with_helper_)
            helper_ = std::make_unique<xtest::SeamlessSession>(xvfb_->display());
        else
            xcb_composite_redirect_subwindows(c(), client_->root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        // DAMAGE serves a client only after it has asked for the version
        XcbReply<xcb_damage_query_version_reply_t> v(
            xcb_damage_query_version_reply(c(), xcb_damage_query_version(c(), 1, 1), nullptr));
        ASSERT_TRUE(v);
        client_->sync();

        dir_ = xtest::temp_dir();
        // the options keep pointers into argv: it lives as long as the fixture
        args_ = {"pelkrecorder-xpra-seamless", xvfb_->display(), dir_ + "/recording.zel"};
        for (auto& a : args_) argv_.push_back(a.data());
        cli_parse_arguments(static_cast<int>(argv_.size()), argv_.data());
        debugging_set(false);

        display_connection_setup();
        extensions_setup(display_connection(), display_root());
        window_list_setup();
    }

    void TearDown() override
    {
        debugging_set(false);
        window_list_teardown();
        display_connection_teardown();
        helper_.reset();
        client_.reset();
        xvfb_.reset();
    }

    xcb_connection_t* c() const { return client_->c(); }
    xtest::Xvfb& xvfb() { return *xvfb_; }
    xtest::Client& client() { return *client_; }
    std::string recording() const { return args_[2]; }

    // A round trip on the recorder's connection: its requests are flushed
    // and done, and every event the server sent it before is in xcb's queue.
    static void recorder_sync()
    {
        xcb_connection_t* rc = display_connection();
        XcbReply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(rc, xcb_get_input_focus(rc), nullptr));
        ASSERT_TRUE(r);
    }

    // Whatever the test client did is seen by the recorder's event handling.
    void pump()
    {
        client_->sync();
        recorder_sync();
        event_from_source();
        // what the handlers sent (and left unflushed) reaches the server, and
        // the events it causes are handled too
        recorder_sync();
        event_from_source();
    }

    // The helper lists windows from their first map.
    xcb_window_t mapped_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t bw = 0)
    {
        xcb_window_t win = client_->create_window(x, y, w, h, bw);
        client_->map(win);
        if (with_helper_) {
            client_->wait_for_client_list([win](const std::vector<xcb_window_t>& l) {
                return std::find(l.begin(), l.end(), win) != l.end();
            });
        }
        return win;
    }

    void set_client_list(const std::vector<xcb_window_t>& ids)
    {
        client_->set_root_window_list("_NET_CLIENT_LIST", ids);
        pump();
    }

    // The size the server gives for a drawable, or nothing when it does not exist.
    std::optional<std::pair<uint16_t, uint16_t>> drawable_size(xcb_drawable_t d)
    {
        xcb_generic_error_t* error = nullptr;
        XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c(), xcb_get_geometry(c(), d), &error));
        std::free(error);
        if (!g) return std::nullopt;
        return std::make_pair(g->width, g->height);
    }
    bool pixmap_exists(xcb_pixmap_t p) { return p != 0 && drawable_size(p).has_value(); }

    // A damage object exists when the server accepts a subtraction on it.
    bool damage_exists(xcb_damage_damage_t d)
    {
        if (d == 0) return false;
        XcbReply<xcb_generic_error_t> e(
            xcb_request_check(c(), xcb_damage_subtract_checked(c(), d, XCB_NONE, XCB_NONE)));
        return !e;
    }

    static WindowState* tracked(xcb_window_t w) { return list_find(&list_of_windows, w); }

    static std::vector<xcb_window_t> tracked_ids()
    {
        std::vector<xcb_window_t> ids;
        for (size_t i = 0; i < list_of_windows.size; i++) ids.push_back(list_of_windows.ws[i].win);
        return ids;
    }

  private:
    bool with_helper_;
    std::unique_ptr<xtest::Xvfb> xvfb_;
    std::unique_ptr<xtest::Client> client_;
    std::unique_ptr<xtest::SeamlessSession> helper_;
    std::string dir_;
    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

// Console output of a stretch of code, in debug mode.
template <typename Fn>
std::string debug_output_of(Fn fn)
{
    debugging_set(true);
    ::testing::internal::CaptureStdout();
    fn();
    std::string out = ::testing::internal::GetCapturedStdout();
    debugging_set(false);
    return out;
}

} // namespace inproc
