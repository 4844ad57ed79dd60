// The recording names its windows: when each was shown and by which
// program (the X server's pid of its client, the host's uid and command
// line), what it claimed to be called, every rename (at most one a second),
// and when it went; zeldump lists them for grep and JSON.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "harness.h"

using namespace std::chrono_literals;
using namespace xtest;

namespace {

const ZelWindow* as_window(const ZelRecord* r)
{
    return reinterpret_cast<const ZelWindow*>(r);
}

std::string text(const ZelBytes& b)
{
    return b.data ? std::string(reinterpret_cast<const char*>(b.data), b.length) : "";
}

std::vector<const ZelWindow*> events_of(const Recording& r, xcb_window_t win)
{
    std::vector<const ZelWindow*> out;
    for (const ZelRecord* rec : r.of_type(ZEL_WINDOW))
        if (as_window(rec)->window == win) out.push_back(as_window(rec));
    return out;
}

bool has_event(const Recording& r, xcb_window_t win, uint8_t event, const std::string& title = "")
{
    return std::ranges::any_of(events_of(r, win), [&](const ZelWindow* w) {
        return w->event == event && (title.empty() || text(w->title) == title);
    });
}

// Two terminals: one renamed while recording, one closed.  The records
// name their pids, commands and titles, in order.
TEST(WindowRecords, TerminalsAreNamedByProgramAndTitle)
{
    Display d;
    const std::string file = temp_dir() + "/w.zel";
    Recorder recorder({d.name(), file});
    ProcessOptions quiet;
    quiet.env = {"DISPLAY=" + d.name()};
    quiet.capture = false;
    const auto xterm = [&](const std::string& title) {
        return std::make_unique<Process>(
            std::vector<std::string>{"xterm", "-T", title, "-geometry", "40x8+10+10", "-e", "sleep", "600"},
            quiet);
    };
    auto first = xterm("first terminal");
    auto second = xterm("second terminal");
    std::map<pid_t, xcb_window_t> window_of;
    const Recording shown = wait_for_records(
        file,
        [&](const Recording& r) {
            for (const ZelRecord* rec : r.of_type(ZEL_WINDOW))
                if (as_window(rec)->event == ZEL_WINDOW_SHOWN)
                    window_of[as_window(rec)->pid] = as_window(rec)->window;
            return window_of.contains(first->pid()) && window_of.contains(second->pid());
        },
        &recorder);
    for (const ZelRecord* rec : shown.of_type(ZEL_WINDOW)) {
        const ZelWindow* w = as_window(rec);
        if (w->event != ZEL_WINDOW_SHOWN) continue;
        EXPECT_EQ(w->uid, getuid());
        EXPECT_EQ(text(w->command).rfind("xterm", 0), 0u) << text(w->command);
        EXPECT_EQ(text(w->instance), "xterm");
        EXPECT_EQ(text(w->class_name), "XTerm");
        EXPECT_EQ(w->flags & ZEL_WINDOW_OVERRIDE_REDIRECT, 0);
    }
    const xcb_window_t renamed = window_of[first->pid()], closed = window_of[second->pid()];
    EXPECT_TRUE(has_event(shown, renamed, ZEL_WINDOW_SHOWN, "first terminal"));

    xcb_change_property(d.client.c(), XCB_PROP_MODE_REPLACE, renamed, d.client.atom("_NET_WM_NAME"),
                        d.client.atom("UTF8_STRING"), 8, 9, "root@db01");
    d.client.sync();
    second->signal(SIGKILL);
    const Recording r = wait_for_records(
        file,
        [&](const Recording& rec) {
            return has_event(rec, renamed, ZEL_WINDOW_TITLE, "root@db01") &&
                   has_event(rec, closed, ZEL_WINDOW_GONE);
        },
        &recorder);
    const auto events = events_of(r, renamed);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front()->event, ZEL_WINDOW_SHOWN);
    EXPECT_EQ(recorder.stop(), 0);

    const RunResult listed = run({ZELDUMP_PATH, "--events", file});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("root@db01"), std::string::npos) << listed.out;
    const RunResult json = run({ZELDUMP_PATH, "--json", file});
    EXPECT_NE(json.out.find("\"type\":\"window\""), std::string::npos);
    EXPECT_NE(json.out.find("\"title\":\"root@db01\""), std::string::npos);
}

// 10,000 renames as fast as a client can send them: at most one title
// record a second, and the last title is recorded.
TEST(WindowRecords, TitleFloodCostsAtMostARecordASecond)
{
    Display d;
    const std::string file = temp_dir() + "/w.zel";
    Recorder recorder({d.name(), file});
    const xcb_window_t w = d.window(10, 10, 100, 80, 1);
    wait_for_records(
        file, [&](const Recording& r) { return has_event(r, w, ZEL_WINDOW_SHOWN); }, &recorder);
    const auto start = std::chrono::steady_clock::now();
    std::string last;
    for (int i = 0; i < 10000; ++i) {
        last = "title " + std::to_string(i);
        xcb_change_property(d.client.c(), XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(last.size()), last.data());
    }
    d.client.sync();
    const Recording r = wait_for_records(
        file, [&](const Recording& rec) { return has_event(rec, w, ZEL_WINDOW_TITLE, last); }, &recorder);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto titles = std::ranges::count_if(
        events_of(r, w), [](const ZelWindow* e) { return e->event == ZEL_WINDOW_TITLE; });
    EXPECT_LE(titles, static_cast<long>(seconds) + 2);
    EXPECT_EQ(recorder.stop(), 0);
}

// A window of a client the server knows no pid of (one that connected over
// TCP): the record says "unknown" instead of failing.
TEST(WindowRecords, ClientWithoutAPidIsUnknown)
{
    Display d(XServerOptions{"640x480x24", {"-listen", "tcp"}, false});
    const std::string file = temp_dir() + "/w.zel";
    Recorder recorder({d.name(), file});
    Client remote("localhost" + d.name());
    const xcb_window_t w = remote.create_window(50, 40, 120, 90);
    remote.map(w);
    remote.draw_pattern(w, 3);
    const Recording r = wait_for_records(
        file, [&](const Recording& rec) { return has_event(rec, w, ZEL_WINDOW_SHOWN); }, &recorder);
    const ZelWindow* shown = events_of(r, w).front();
    EXPECT_EQ(shown->pid, -1);
    EXPECT_EQ(shown->uid, UINT32_MAX);
    EXPECT_EQ(shown->command.data, nullptr);
    EXPECT_EQ(recorder.stop(), 0);
}

} // namespace
