// On a real xpra 3.1 seamless session: what the recording shows equals, pixel
// for pixel, the windows' own contents (their named pixmaps) where X shows
// them, while a real xterm is typed into, moved and resized, a second window
// opens and closes, its menu is held open, and its client reconnects.
//
// xpra moves windows only when the attached client does, but honours a
// program's own requests: xterm moves and resizes itself for the escape
// sequences CSI 3;x;y t and CSI 8;rows;cols t once window operations are on.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/composite.h>

#include <algorithm>
#include <cstdlib>

#include "harness.h"

using namespace xtest;

namespace {

class Xpra : public testing::Test {
  protected:
    void SetUp() override
    {
        session = std::make_unique<XpraSession>();
        client = std::make_unique<Client>(session->display());
        recorder = std::make_unique<Recorder>(std::vector<std::string>{session->display(), file});
        xterm = open({"xterm", "-xrm", "XTerm*allowWindowOps: true", "-geometry", "60x12+40+30", "-e", "sh"});
    }

    // Starts a program and waits until its window is listed and viewable.
    xcb_window_t open(std::vector<std::string> argv)
    {
        const auto before = client->root_window_list("_NET_CLIENT_LIST");
        session->start(std::move(argv));
        xcb_window_t w = 0;
        client->wait_for_root_list("_NET_CLIENT_LIST", [&](const std::vector<xcb_window_t>& l) {
            for (xcb_window_t id : l)
                if (std::find(before.begin(), before.end(), id) == before.end()) w = id;
            return w != 0;
        });
        client->wait_for_viewable(w);
        return w;
    }

    void xdotool(std::vector<std::string> args)
    {
        args.insert(args.begin(), "xdotool");
        ProcessOptions po;
        po.env = {"DISPLAY=" + session->display()};
        ASSERT_EQ(run(args, po).status, 0);
    }

    // Types a command into the xterm's shell and waits for the windows to be
    // shown as they are then.
    void type(const std::string& line, const std::vector<xcb_window_t>& windows)
    {
        xdotool({"mousemove", "--window", std::to_string(xterm), "20", "20"});
        xdotool({"type", "--delay", "5", line + "\n"});
        expect_shown(windows);
    }

    // The recording ends up showing the windows as they are (composed anew at
    // every change of the file, while the terminal may still be drawing).
    void expect_shown(const std::vector<xcb_window_t>& windows)
    {
        client->sync();
        wait_for_picture(
            file, [&] { return compose_windows(*client, windows); }, recorder.get());
    }

    // Whether xpra redirects the window yet (it does so just after the map).
    bool redirected(xcb_window_t w)
    {
        const xcb_pixmap_t p = xcb_generate_id(client->c());
        xcb_generic_error_t* e =
            xcb_request_check(client->c(), xcb_composite_name_window_pixmap_checked(client->c(), w, p));
        const bool named = e == nullptr;
        std::free(e);
        if (named) xcb_free_pixmap(client->c(), p);
        return named;
    }

    // A viewable override-redirect child of the root that is not xpra's own,
    // once xpra redirects it: learnt from the root's MapNotify, then round trips.
    xcb_window_t wait_for_popup()
    {
        xcb_connection_t* c = client->c();
        const uint32_t mask = xcb_get_setup(c)->resource_id_mask;
        // xpra's windows are those of the client that owns the window-manager selection
        std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, client->atom("WM_S0")), nullptr),
            &std::free);
        const uint32_t xpra = owner ? owner->owner & ~mask : 0;
        const xcb_window_t popup = client->wait_for_map(
            [&](xcb_window_t w, bool override_redirect) { return override_redirect && (w & ~mask) != xpra; });
        for (int tries = 0; tries < 100000 && !redirected(popup); ++tries) client->sync();
        return popup;
    }

    const std::string file = temp_dir() + "/xpra.zel";
    std::unique_ptr<XpraSession> session;
    std::unique_ptr<Client> client;
    std::unique_ptr<Recorder> recorder;
    xcb_window_t xterm = 0;
};

TEST_F(Xpra, TerminalTypedMovedResizedAndASecondWindow)
{
    type("echo typed into a real terminal", {xterm});
    type("printf '\\033[3;230;140t'", {xterm});
    type("printf '\\033[8;16;70t'; ls /", {xterm});
    const xcb_window_t logo = open({"xlogo", "-geometry", "150x150+300+200"});
    expect_shown({xterm, logo});
    xdotool({"search", "--class", "xlogo", "windowkill"});
    client->wait_for_root_list("_NET_CLIENT_LIST", [&](const auto& l) { return l.size() == 1; });
    type("clear", {xterm});
    EXPECT_EQ(recorder->stop(), 0);
}

// The xterm's control-click menu: an override-redirect child of the root
// that the session never lists.
TEST_F(Xpra, HeldOpenMenuIsRecorded)
{
    type("echo a menu follows", {xterm});
    xdotool(
        {"mousemove", "--window", std::to_string(xterm), "30", "40", "keydown", "ctrl", "mousedown", "1"});
    const xcb_window_t menu = wait_for_popup();
    expect_shown({xterm, menu});
    xdotool({"mousemove", "--window", std::to_string(xterm), "400", "300", "mouseup", "1", "keyup", "ctrl"});
    expect_shown({xterm});
    EXPECT_EQ(recorder->stop(), 0);
}

// The client killed and attached again: the window's backing pixmap is
// replaced in a moment the recorder must not miss.
TEST_F(Xpra, TypingAfterTheClientReconnectsIsRecorded)
{
    const char* env = std::getenv("XPRA_RECONNECT_TRIALS");
    const int trials = env ? std::atoi(env) : 1;
    for (int i = 0; i < trials; ++i) {
        SCOPED_TRACE("trial " + std::to_string(i));
        session->detach();
        sleep(1); // detached for a while, as users are
        session->attach();
        client->wait_for_viewable(xterm);
        type("echo after reconnect " + std::to_string(i), {xterm});
    }
    EXPECT_EQ(recorder->stop(), 0);
}

// What any client of the session can do to the recorder, on real xpra: the
// client lists emptied, the manager check pointed at another client's
// window, the recorder's connections killed.  The terminal and its menu go on
// being recorded, and the file tells the gap.
TEST_F(Xpra, ClaimsAndKilledConnectionsDoNotHideTheTerminal)
{
    type("echo before", {xterm});
    client->set_root_window_list("_NET_CLIENT_LIST", {});
    client->set_root_window_list("_NET_CLIENT_LIST_STACKING", {});
    type("echo the lists are empty", {xterm});

    Client evil(session->display());
    evil.set_root_window_list("_NET_SUPPORTING_WM_CHECK", {evil.create_window(-1, -1, 1, 1)});
    xdotool(
        {"mousemove", "--window", std::to_string(xterm), "30", "40", "keydown", "ctrl", "mousedown", "1"});
    expect_shown({xterm, wait_for_popup()});
    xdotool({"mousemove", "--window", std::to_string(xterm), "400", "300", "mouseup", "1", "keyup", "ctrl"});

    for (uint32_t base : evil.client_bases(recorder->pid())) xcb_kill_client(evil.c(), base);
    evil.sync();
    type("echo after the kill", {xterm});
    EXPECT_EQ(recorder->stop(), 0);
    const Recording r = read_recording(file);
    const auto gaps = r.of_type(ZEL_INTERRUPTION);
    EXPECT_TRUE(std::ranges::any_of(gaps, [](const ZelRecord* g) {
        return reinterpret_cast<const ZelInterruption*>(g)->cause == ZEL_GAP_CONNECTION_LOST;
    }));
}

} // namespace
