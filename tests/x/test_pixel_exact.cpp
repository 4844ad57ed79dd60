// Pixel-exact end to end: after every change on a live seamless test
// display, the screen rebuilt from the recording equals the listed windows'
// insides composed in stacking order over zero, clipped to the screen.
// Without borders and untracked windows that picture is also what the
// server composes itself (automatic redirection on a black root), which
// checks the test's own model.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_frontend_common.h"
#include "x-harness.h"
#include "zel.h"

using e2e::Picture;
using e2e::Recording;
using e2e::TestWindow;

namespace {

// The current size of the root window (the connection's set-up data does
// not follow a RandR resize).
std::pair<uint16_t, uint16_t> root_size(xtest::Client& client)
{
    auto* g = xcb_get_geometry_reply(client.c(), xcb_get_geometry(client.c(), client.root()), nullptr);
    EXPECT_NE(g, nullptr);
    std::pair<uint16_t, uint16_t> size{g ? g->width : 0, g ? g->height : 0};
    free(g);
    return size;
}

class PixelExact {
  public:
    PixelExact(const std::string& display, std::vector<std::string> options = {})
        : display_(display), session_(display), client_(display)
    {
        file_ = xtest::temp_dir() + "/rec.zel";
        options.push_back(display);
        options.push_back(file_);
        rec_ = std::make_unique<xtest::Recorder>(options);
        // the recorder is running once its header is on disk
        e2e::wait_for_recording(
            file_, [](const Recording& r) { return !r.records.empty(); }, rec_.get());
        last_ = Picture(root_size(client_).first, root_size(client_).second);
    }

    ~PixelExact()
    {
        if (rec_->running()) {
            rec_->signal(SIGTERM);
            rec_->wait();
        }
    }

    xtest::Client& client() { return client_; }
    TestWindow& add(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t bw, uint32_t seed)
    {
        TestWindow t;
        t.id = client_.create_window(x, y, w, h, bw);
        t.x = x, t.y = y, t.w = w, t.h = h, t.bw = bw, t.seed = seed;
        windows_.push_back(t);
        return windows_.back();
    }
    TestWindow& win(size_t i) { return windows_[i]; }

    void map(size_t i)
    {
        client_.map(win(i).id);
        const xcb_window_t id = win(i).id;
        client_.wait_for_stacking([id](const std::vector<xcb_window_t>& s) {
            return std::find(s.begin(), s.end(), id) != s.end();
        });
        win(i).mapped = true;
        client_.draw_pattern(id, win(i).seed);
    }
    void draw(size_t i, uint32_t seed)
    {
        win(i).seed = seed;
        client_.draw_pattern(win(i).id, seed);
    }
    void move_resize(size_t i, int16_t x, int16_t y, uint16_t w, uint16_t h)
    {
        TestWindow& t = win(i);
        const bool resized = w != t.w || h != t.h;
        client_.move_resize(t.id, x, y, w, h);
        t.x = x, t.y = y, t.w = w, t.h = h;
        // a resized window loses its contents: draw them again
        if (resized) client_.draw_pattern(t.id, t.seed);
        client_.sync();
    }
    // Raise or lower, then wait until the stacking property says so.
    void restack(size_t i, bool raise)
    {
        const xcb_window_t id = win(i).id;
        raise ? client_.raise(id) : client_.lower(id);
        client_.wait_for_stacking([id, raise](const std::vector<xcb_window_t>& s) {
            return !s.empty() && (raise ? s.back() == id : s.front() == id);
        });
    }
    // Every mapped window drawn again with its pattern.
    void redraw()
    {
        for (const TestWindow& w : windows_)
            if (w.mapped) client_.draw_pattern(w.id, w.seed);
    }
    void unmap(size_t i)
    {
        client_.unmap(win(i).id);
        win(i).mapped = false;
        client_.sync();
    }
    void destroy(size_t i)
    {
        const xcb_window_t id = win(i).id;
        client_.destroy(id);
        win(i).mapped = false;
        client_.wait_for_client_list([id](const std::vector<xcb_window_t>& l) {
            return std::find(l.begin(), l.end(), id) == l.end();
        });
    }

    // Waits until the replayed recording shows the composed picture, with a
    // frame made after the change; server_check compares the model with the
    // server's own composition first.
    void expect_screen(const std::string& step, bool server_check)
    {
        SCOPED_TRACE(step);
        const auto [w, h] = root_size(client_);
        const Picture want = e2e::compose(client_, windows_, w, h);
        if (server_check) {
            const auto img = client_.get_image(client_.root(), 0, 0, w, h);
            ASSERT_EQ(e2e::difference(e2e::picture_of(img), want), "") << "the test's model is wrong";
        }
        ASSERT_NE(want, last_) << "every step must change the picture";
        const uint8_t depth = client_.depth();
        const size_t frames_before = frames_;
        Picture got;
        const Recording r = e2e::wait_for_recording(
            file_,
            [&](const Recording& rec) {
                if (rec.frames() <= frames_before) return false;
                got = e2e::replay_picture(rec, depth);
                return got == want;
            },
            rec_.get());
        frames_ = r.frames();
        EXPECT_EQ(e2e::difference(got, want), "");
        last_ = want;
    }

    // Stops the recorder with SIGTERM; the file must verify and replay to
    // the last picture.
    void finish()
    {
        rec_->signal(SIGTERM);
        EXPECT_EQ(rec_->wait(), 0) << rec_->err();
        EXPECT_EQ(xtest::run({ZELDUMP_PATH, "--verify", file_}).status, 0);
        const Recording r = e2e::read_recording(file_);
        EXPECT_EQ(r.status, ZEL_READ_END);
        EXPECT_EQ(e2e::difference(e2e::replay_picture(r, client_.depth()), last_), "");
    }

    const std::string& file() const { return file_; }
    xtest::Recorder& recorder() { return *rec_; }

  private:
    std::string display_;
    xtest::SeamlessSession session_;
    xtest::Client client_;
    std::string file_;
    std::unique_ptr<xtest::Recorder> rec_;
    std::vector<TestWindow> windows_;
    size_t frames_ = 0;
    Picture last_;
};

struct Screen {
    const char* name;
    const char* screen;
    const char* visual_class; // -cc value, or nullptr for the server's default
};

class EveryKindOfWindowChange : public testing::TestWithParam<Screen> {};

TEST_P(EveryKindOfWindowChange, ReplaysPixelExact)
{
    xtest::XvfbOptions xo{GetParam().screen, {}};
    if (GetParam().visual_class) xo.extra_args = {"-cc", GetParam().visual_class};
    xtest::Xvfb x(xo);
    PixelExact t(x.display());
    t.add(20, 30, 200, 150, 0, 1);   // 0: A
    t.add(150, 100, 180, 120, 0, 2); // 1: B, over A once mapped
    t.add(400, 50, 100, 80, 5, 3);   // 2: C, with a border

    t.map(0);
    t.expect_screen("A mapped", true);
    t.map(1);
    t.expect_screen("B mapped over A", true);
    t.draw(0, 11);
    t.expect_screen("A drawn into, partly under B", true);
    t.draw(1, 12);
    t.expect_screen("B drawn into", true);
    t.move_resize(1, 100, 200, 180, 120);
    t.expect_screen("B moved", true);
    t.move_resize(0, 20, 30, 260, 190);
    t.expect_screen("A resized", true);
    t.restack(0, true);
    t.expect_screen("A raised over B", true);
    t.restack(0, false);
    t.expect_screen("A lowered under B", true);
    t.move_resize(1, -60, 400, 180, 120);
    t.expect_screen("B moved partly off the screen", true);
    t.move_resize(1, 560, -40, 180, 120);
    t.expect_screen("B moved off the top right corner", true);
    t.map(2);
    t.expect_screen("C with a border mapped", false);
    t.draw(2, 13);
    t.expect_screen("C drawn into", false);
    t.unmap(2);
    t.expect_screen("C unmapped", true);
    t.unmap(1);
    t.expect_screen("B unmapped", true);
    t.map(1);
    t.expect_screen("B mapped again", true);

    // A window that the stacking order lists but the client list does not:
    // skipped, so the recording shows what lies under it.
    xtest::Client& c = t.client();
    const xcb_window_t o = c.create_window(40, 50, 120, 100, 0, true);
    c.map(o);
    c.fill(o, 0x00ff00ff);
    auto stacking = c.root_window_list("_NET_CLIENT_LIST_STACKING");
    stacking.push_back(o);
    c.set_root_window_list("_NET_CLIENT_LIST_STACKING", stacking);
    t.draw(0, 14);
    t.expect_screen("A drawn into under an untracked window", false);
    c.destroy(o);
    c.sync();

    t.destroy(1);
    t.expect_screen("B destroyed", true);
    t.destroy(0);
    t.expect_screen("A destroyed", true);
    t.finish();
}

// Widths that are no multiple of the 32-pixel blocks or of the scanline pad.
INSTANTIATE_TEST_SUITE_P(Screens, EveryKindOfWindowChange,
                         testing::Values(Screen{"Depth24", "640x480x24", nullptr},
                                         Screen{"Depth24OddSize", "637x471x24", nullptr},
                                         Screen{"Depth16OddSize", "639x477x16", nullptr},
                                         Screen{"Depth8TrueColorOddSize", "643x470x8", "4"}),
                         [](const testing::TestParamInfo<Screen>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- RandR

// An X server whose root can be resized through RandR: Xorg with the dummy
// video driver (Xvfb's screen cannot change size).  Skips when it cannot be
// started here.
class DummyXorg {
  public:
    DummyXorg()
    {
        dir_ = xtest::temp_dir();
        std::ofstream(dir_ + "/xorg.conf") << R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
EndSection
Section "Device"
  Identifier "d"
  Driver "dummy"
  VideoRam 64000
EndSection
Section "Monitor"
  Identifier "m"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "640x480" 25.18 640 656 752 800 480 490 492 525
EndSection
Section "Screen"
  Identifier "s"
  Device "d"
  Monitor "m"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "640x480"
    Virtual 1024 768
  EndSubSection
EndSection
)";
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        xtest::ProcessOptions po;
        po.capture = false;
        po.log_file = dir_ + "/out.log";
        po.keep_fds = {fds[1]};
        try {
            server_ = std::make_unique<xtest::Process>(
                std::vector<std::string>{"Xorg", "-config", dir_ + "/xorg.conf", "-configdir", dir_ + "/none",
                                         "-logfile", dir_ + "/xorg.log", "-displayfd", std::to_string(fds[1]),
                                         "-noreset", "-nolisten", "tcp", "-br"},
                po);
        } catch (const std::exception&) {
            close(fds[0]);
            close(fds[1]);
            return;
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + xtest::kGuard;
        while (std::chrono::steady_clock::now() < deadline) {
            if (poll(&p, 1, 1000) <= 0) {
                if (!server_->running()) break;
                continue;
            }
            char ch;
            if (read(fds[0], &ch, 1) != 1) break;
            if (ch == '\n') {
                display_ = ":" + number;
                break;
            }
            number += ch;
        }
        close(fds[0]);
    }
    ~DummyXorg()
    {
        if (server_ && server_->running()) {
            server_->signal(SIGTERM);
            server_->wait();
        }
    }
    const std::string& display() const { return display_; }

  private:
    std::string dir_;
    std::string display_;
    std::unique_ptr<xtest::Process> server_;
};

void set_screen_size(xtest::Client& c, uint16_t w, uint16_t h)
{
    // 96 dpi
    auto ck = xcb_randr_set_screen_size_checked(c.c(), c.root(), w, h, static_cast<uint32_t>(w * 254 / 960),
                                                static_cast<uint32_t>(h * 254 / 960));
    xcb_generic_error_t* e = xcb_request_check(c.c(), ck);
    EXPECT_EQ(e, nullptr) << "RRSetScreenSize failed";
    free(e);
    c.sync();
}

TEST(PixelExact, RootResizedThroughRandr)
{
    DummyXorg x;
    if (x.display().empty()) GTEST_SKIP() << "Xorg with the dummy driver cannot run here";
    PixelExact t(x.display());
    // RandR serves a client only after it has asked for the version
    xtest::Client& c = t.client();
    free(xcb_randr_query_version_reply(c.c(), xcb_randr_query_version(c.c(), 1, 5), nullptr));

    t.add(520, 380, 200, 150, 0, 21); // reaches past the 640x480 screen
    t.add(40, 40, 100, 100, 0, 22);
    t.map(0);
    t.map(1);
    t.expect_screen("windows mapped, one clipped by the screen", true);

    // A resize clears the windows' contents on this server (they are
    // exposed afresh): the test draws them again, as clients do.
    set_screen_size(c, 800, 600);
    t.redraw();
    t.expect_screen("screen grown: the clipped part appears", true);
    t.draw(1, 23);
    t.expect_screen("drawn into after the growth", true);

    // (the output keeps its 640x480 mode: the screen cannot become smaller)
    set_screen_size(c, 700, 520);
    t.redraw();
    t.expect_screen("screen shrunk", true);
    t.draw(0, 24);
    t.expect_screen("drawn into the clipped window after the shrink", true);

    set_screen_size(c, 640, 480);
    t.redraw();
    t.expect_screen("screen back to its first size", true);
    t.finish();
    const Recording r = e2e::read_recording(t.file());
    const auto changes = r.of<ZelScreenChange>(ZEL_SCREEN_CHANGE);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0]->width, 800);
    EXPECT_EQ(changes[0]->height, 600);
    EXPECT_EQ(changes[1]->width, 700);
    EXPECT_EQ(changes[1]->height, 520);
    EXPECT_EQ(changes[2]->width, 640);
    EXPECT_EQ(changes[2]->height, 480);
}

// ---------------------------------------------------------------- cursor

TEST(Cursor, AChangeRecordsTheServersCursorImage)
{
    xtest::Xvfb x;
    PixelExact t(x.display());
    xtest::Client& c = t.client();
    // the pointer rests on the root: its cursor is the one shown
    const uint16_t shapes[] = {34 /* crosshair */, 68 /* left_ptr */, 150 /* watch */};
    const xcb_font_t font = xcb_generate_id(c.c());
    xcb_open_font(c.c(), font, 6, "cursor");
    free(xcb_xfixes_query_version_reply(c.c(), xcb_xfixes_query_version(c.c(), 4, 0), nullptr));
    // the first cursor image is requested at set-up: wait for it to be written
    size_t seen =
        e2e::wait_for_recording(
            t.file(), [](const Recording& rec) { return rec.count(ZEL_CURSOR_IMAGE) >= 1; }, &t.recorder())
            .count(ZEL_CURSOR_IMAGE);
    EXPECT_GE(seen, 1u) << "the first cursor image is recorded at the start";
    for (const uint16_t shape : shapes) {
        SCOPED_TRACE(shape);
        const xcb_cursor_t cursor = xcb_generate_id(c.c());
        xcb_create_glyph_cursor(c.c(), cursor, font, font, shape, static_cast<uint16_t>(shape + 1), 0xffff,
                                0x8000, 0x1000, 0, 0, 0);
        const uint32_t value = cursor;
        xcb_change_window_attributes(c.c(), c.root(), XCB_CW_CURSOR, &value);
        c.sync();
        auto* img = xcb_xfixes_get_cursor_image_reply(c.c(), xcb_xfixes_get_cursor_image(c.c()), nullptr);
        ASSERT_NE(img, nullptr);
        const size_t before = seen;
        const Recording r = e2e::wait_for_recording(
            t.file(), [before](const Recording& rec) { return rec.count(ZEL_CURSOR_IMAGE) > before; },
            &t.recorder());
        const auto cursors = r.of<ZelCursorImage>(ZEL_CURSOR_IMAGE);
        seen = cursors.size();
        ASSERT_GT(seen, before);
        const ZelCursorImage* got = cursors.back();
        EXPECT_EQ(got->width, img->width);
        EXPECT_EQ(got->height, img->height);
        EXPECT_EQ(got->xhot, img->xhot);
        EXPECT_EQ(got->yhot, img->yhot);
        EXPECT_EQ(got->cursor_serial, img->cursor_serial);
        ASSERT_EQ(got->length, static_cast<uint32_t>(img->width) * img->height);
        const uint32_t* want = xcb_xfixes_get_cursor_image_cursor_image(img);
        EXPECT_TRUE(std::equal(want, want + got->length, got->data)) << "cursor pixels differ";
        free(img);
        xcb_free_cursor(c.c(), cursor);
    }
    xcb_close_font(c.c(), font);
    c.sync();
    // the cursor shows in no frame; the screen stayed black
    t.finish();
}

} // namespace
