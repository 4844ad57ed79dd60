// A real xpra seamless session as the recorder meets it: the session
// marks itself, lists the windows of a real program, keeps them redirected
// so their pixmaps can be named once a client is attached, and leaves
// nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/composite.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "x-harness.h"

using namespace xtest;

TEST(XpraSession, XtermWindowsAreListedViewableAndNameable)
{
    pid_t server_pid = -1, xterm_pid = -1, x_server_pid = -1;
    std::string display;
    {
        XpraSession s;
        display = s.display();
        server_pid = s.server_pid();
        x_server_pid = s.x_server_pid();
        ASSERT_GT(x_server_pid, 0) << "no X server under xpra";
        Client c(display);
        auto mode = c.root_property("XPRA_SERVER_MODE");
        ASSERT_TRUE(mode);
        EXPECT_EQ(mode->first, "seamless");
        EXPECT_EQ(mode->second, "UTF8_STRING");

        Process& xterm = s.start({"xterm", "-geometry", "40x10", "-e", "sleep", "1000"});
        xterm_pid = xterm.pid();
        std::vector<xcb_window_t> listed;
        c.wait_for_client_list([&](const std::vector<xcb_window_t>& l) {
            listed = l;
            return !l.empty();
        });
        ASSERT_EQ(listed.size(), 1u);
        xcb_window_t w = listed[0];
        c.wait_for_stacking(
            [&](const std::vector<xcb_window_t>& l) { return std::find(l.begin(), l.end(), w) != l.end(); });
        c.wait_for_viewable(w);

        // redirected by the server: its contents can be had off-screen
        xcb_pixmap_t pix = xcb_generate_id(c.c());
        std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> err(
            xcb_request_check(c.c(), xcb_composite_name_window_pixmap_checked(c.c(), w, pix)), &std::free);
        EXPECT_FALSE(err) << "NameWindowPixmap refused for the xterm window";

        // the program ends: its window leaves the list
        xterm.signal(SIGTERM);
        xterm.wait();
        c.wait_for_client_list(
            [&](const std::vector<xcb_window_t>& l) { return std::find(l.begin(), l.end(), w) == l.end(); });
    }
    // everything stopped: xpra, its X server, the program
    EXPECT_NE(kill(server_pid, 0), 0);
    EXPECT_NE(kill(x_server_pid, 0), 0) << "the session's X server still runs: " << [&] {
        std::ifstream stat("/proc/" + std::to_string(x_server_pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        return line;
    }();
    EXPECT_NE(kill(xterm_pid, 0), 0);
}
