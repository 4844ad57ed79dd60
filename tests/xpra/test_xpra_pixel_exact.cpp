// Pixel-exact end to end on a real xpra seamless session: a real terminal
// (xterm) is typed into through XTEST, moved and resized through its own
// window operations, and a second real program (xlogo) is opened over it and
// closed again.  After each step the screen rebuilt from the recording must
// equal what the server holds at that moment: every listed, viewable client
// window's own contents (read from its named pixmap) placed at its root
// position in stacking order over zero.
//
// On xpra a window cannot be moved from the server display (the server
// follows the attached client's window), but a program's own configure
// request is honoured: xpra passes it to the client, whose window moves and
// resizes, and the server's window follows.  xterm makes such requests for
// the escape sequences CSI 3;x;y t (move) and CSI 8;rows;cols t (resize)
// once window operations are allowed.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../x/test_frontend_common.h"
#include "x-harness.h"
#include "zel.h"

using e2e::Picture;
using e2e::Recording;

namespace {

template <typename T>
struct Freed {
    void operator()(T* p) const noexcept { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Freed<T>>;

// Where a client window shows on the root and how large it is.
struct Placement {
    int16_t x = 0, y = 0; // root position of the inside
    uint16_t width = 0, height = 0;
    uint16_t border = 0;
    bool viewable = false;
};

std::optional<Placement> placement(xcb_connection_t* c, xcb_window_t root, xcb_window_t w)
{
    auto ack = xcb_get_window_attributes(c, w);
    auto gck = xcb_get_geometry(c, w);
    auto tck = xcb_translate_coordinates(c, w, root, 0, 0);
    Reply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, ack, nullptr));
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, gck, nullptr));
    Reply<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(c, tck, nullptr));
    if (!a || !g || !t) return std::nullopt;
    Placement p;
    p.x = t->dst_x;
    p.y = t->dst_y;
    p.width = g->width;
    p.height = g->height;
    p.border = g->border_width;
    p.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
    return p;
}

// Holds the server grabbed, so that a picture is read from one moment.
class ServerGrab {
  public:
    explicit ServerGrab(xtest::Client& c) : c_(c) { xcb_grab_server(c_.c()); }
    ~ServerGrab()
    {
        xcb_ungrab_server(c_.c());
        xcb_flush(c_.c());
    }
    ServerGrab(const ServerGrab&) = delete;
    ServerGrab& operator=(const ServerGrab&) = delete;

  private:
    xtest::Client& c_;
};

class XpraPixelExact {
  public:
    XpraPixelExact() : client_(session_.display()) {}

    ~XpraPixelExact()
    {
        if (recorder_ && recorder_->running()) {
            recorder_->signal(SIGTERM);
            recorder_->wait();
        }
    }

    xtest::XpraSession& session() { return session_; }
    xtest::Client& client() { return client_; }

    // Runs xdotool against the session's display (XTEST for input).
    void xdotool(std::vector<std::string> args)
    {
        args.insert(args.begin(), "xdotool");
        const auto r = xtest::run(args, {"DISPLAY=" + session_.display()});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Starts a program and waits until its window is listed and viewable.
    xcb_window_t open(std::vector<std::string> argv, xtest::Process** process = nullptr)
    {
        const auto before = client_.root_window_list("_NET_CLIENT_LIST");
        xtest::Process& p = session_.start(std::move(argv));
        if (process) *process = &p;
        xcb_window_t w = 0;
        client_.wait_for_client_list([&](const std::vector<xcb_window_t>& l) {
            for (xcb_window_t id : l)
                if (std::find(before.begin(), before.end(), id) == before.end()) {
                    w = id;
                    return true;
                }
            return false;
        });
        client_.wait_for_viewable(w);
        return w;
    }

    void start_recorder()
    {
        file_ = xtest::temp_dir() + "/xpra.zel";
        recorder_ = std::make_unique<xtest::Recorder>(
            std::vector<std::string>{"-app", "xpra-pixel-exact", session_.display(), file_});
        // running once its header is on disk
        e2e::wait_for_recording(
            file_, [](const Recording& r) { return !r.records.empty(); }, recorder_.get());
    }

    std::optional<Placement> where(xcb_window_t w) { return placement(client_.c(), client_.root(), w); }

    // The picture the recording must show now: the viewable windows of the
    // client list, each from its own named pixmap, composed in stacking
    // order over zero and clipped to the screen.
    Picture expected(size_t* shown = nullptr)
    {
        xcb_connection_t* c = client_.c();
        const uint16_t width = client_.screen()->width_in_pixels;
        const uint16_t height = client_.screen()->height_in_pixels;
        Picture pic(width, height);
        ServerGrab grab(client_);
        const auto listed = client_.root_window_list("_NET_CLIENT_LIST");
        for (xcb_window_t id : client_.root_window_list("_NET_CLIENT_LIST_STACKING")) {
            if (std::find(listed.begin(), listed.end(), id) == listed.end()) continue;
            const auto p = where(id);
            if (!p || !p->viewable) continue;
            const xcb_pixmap_t pixmap = xcb_generate_id(c);
            xcb_generic_error_t* e =
                xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, id, pixmap));
            if (e) {
                ADD_FAILURE() << "NameWindowPixmap failed for window " << id << " with error "
                              << int(e->error_code);
                std::free(e);
                continue;
            }
            // the named pixmap holds the border: the inside starts at (border, border)
            const xtest::Image img = client_.get_image(pixmap, static_cast<int16_t>(p->border),
                                                       static_cast<int16_t>(p->border), p->width, p->height);
            xcb_free_pixmap(c, pixmap);
            if (shown) ++*shown;
            for (int y = 0; y < p->height; ++y)
                for (int x = 0; x < p->width; ++x) {
                    const int sx = p->x + x, sy = p->y + y;
                    if (sx < 0 || sy < 0 || sx >= width || sy >= height) continue;
                    pic.at(sx, sy) = img.pixel(x, y);
                }
        }
        return pic;
    }

    // Waits until the server shows the step's change (ready, when given)
    // and the recording, with a frame written after the previous step,
    // replays to exactly the server's picture of that moment.  Both are
    // read afresh whenever the recording grows (and on the wait's short
    // wake-ups), so drawing that is still under way only delays the match.
    void expect_screen(const std::string& step, size_t windows, const std::function<bool()>& ready = {})
    {
        SCOPED_TRACE(step);
        const uint8_t depth = client_.depth();
        const size_t frames_before = frames_;
        Picture want, got;
        bool compared = false;
        size_t shown = 0;
        const Recording r = e2e::wait_for_recording(
            file_,
            [&](const Recording& rec) {
                if (rec.frames() <= frames_before) return false;
                if (ready && !ready()) return false;
                shown = 0;
                want = expected(&shown);
                got = e2e::replay_picture(rec, depth);
                compared = true;
                return got == want;
            },
            recorder_.get());
        ASSERT_TRUE(compared) << "the step's change never showed";
        EXPECT_EQ(shown, windows) << "windows shown";
        EXPECT_EQ(e2e::difference(got, want), "");
        EXPECT_NE(want, last_) << "every step must change the picture";
        frames_ = r.frames();
        last_ = want;
    }

    // Stops the recorder in order; the file verifies and replays to the last
    // picture compared.
    void finish()
    {
        recorder_->signal(SIGTERM);
        EXPECT_EQ(recorder_->wait(), 0) << recorder_->err();
#ifdef ZELDUMP_PATH
        const auto v = xtest::run({ZELDUMP_PATH, "--verify", file_});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
#endif
        const Recording r = e2e::read_recording(file_);
        EXPECT_EQ(r.status, ZEL_READ_END);
        EXPECT_EQ(e2e::difference(e2e::replay_picture(r, client_.depth()), last_), "");
    }

    // The window's title (WM_NAME), which the terminal's shell sets on request.
    std::string title(xcb_window_t w)
    {
        xcb_connection_t* c = client_.c();
        Reply<xcb_get_property_reply_t> p(xcb_get_property_reply(
            c, xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
        if (!p) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(p.get())),
                           static_cast<size_t>(xcb_get_property_value_length(p.get())));
    }

    void focus(xcb_window_t w)
    {
        xcb_set_input_focus(client_.c(), XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
        client_.sync();
    }

  private:
    xtest::XpraSession session_;
    xtest::Client client_;
    std::string file_;
    std::unique_ptr<xtest::Recorder> recorder_;
    size_t frames_ = 0;
    Picture last_;
};

TEST(XpraPixelExact, TerminalTypedIntoMovedResizedAndAWindowOpenedAndClosed)
{
    XpraPixelExact t;
    // a steady cursor; window operations allowed so that the shell in it can
    // move and resize its own window
    const xcb_window_t term = t.open(
        {"xterm", "+bc", "-xrm", "XTerm*allowWindowOps: true", "-geometry", "40x10+40+40", "-e", "sh"});
    t.start_recorder();
    t.expect_screen("terminal shown", 1);

    // Each command ends by setting the window's title: once it has changed,
    // the shell has run the command and the terminal has drawn its echo.
    auto type = [&](const std::string& command, const std::string& mark) {
        t.focus(term);
        t.xdotool({"type", "--delay", "5", command + "; printf '\\033]2;" + mark + "\\007'\n"});
    };
    auto titled = [&](const std::string& mark) { return [&t, term, mark] { return t.title(term) == mark; }; };

    type("echo typed into a real terminal", "one");
    t.expect_screen("typed into the terminal", 1, titled("one"));

    const auto first = t.where(term);
    ASSERT_TRUE(first);
    type("printf '\\033[3;300;200t'", "two");
    t.expect_screen("terminal moved by its own request", 1, [&] {
        const auto p = t.where(term);
        return titled("two")() && p && p->x == 300 && p->y == 200;
    });

    type("printf '\\033[8;16;60t'", "three");
    t.expect_screen("terminal resized by its own request", 1, [&] {
        const auto p = t.where(term);
        return titled("three")() && p && p->width > first->width && p->height > first->height;
    });

    // a second program, opened partly over the terminal
    xtest::Process* logo = nullptr;
    const xcb_window_t second = t.open({"xlogo", "-geometry", "200x180+500+300"}, &logo);
    t.expect_screen("second window opened over the terminal", 2);

    type("echo typed under the other window", "four");
    t.expect_screen("typed into the partly covered terminal", 2, titled("four"));

    logo->signal(SIGTERM);
    logo->wait();
    t.client().wait_for_client_list([second](const std::vector<xcb_window_t>& l) {
        return std::find(l.begin(), l.end(), second) == l.end();
    });
    t.expect_screen("second window closed", 1);

    t.finish();
}

} // namespace
