// The person being recorded is the adversary: any client of the display can
// set root properties, send events to the root, reach the recorder's RECORD
// context and change the cursor as fast as it likes.  None of it may blind,
// crash or wedge the recorder: after each attack the recording still follows
// the screen, a stop ends in order, and the file verifies.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xtest.h>

#include <functional>
#include <optional>

#include "harness.h"

using namespace std::chrono_literals;
using namespace xtest;

namespace {

// The recorder's RECORD context, found as an attacker would: by asking for
// every small resource id of every client.
xcb_record_context_t find_record_context(Client& c)
{
    std::vector<std::pair<uint32_t, xcb_record_get_context_cookie_t>> probes;
    for (uint32_t base = 1; base < 64; ++base)
        for (uint32_t id = 0; id < 64; ++id)
            probes.emplace_back(base << 21 | id, xcb_record_get_context(c.c(), base << 21 | id));
    xcb_record_context_t found = 0;
    for (auto& [id, cookie] : probes) {
        xcb_generic_error_t* e = nullptr;
        if (auto* r = xcb_record_get_context_reply(c.c(), cookie, &e)) found = id, std::free(r);
        std::free(e);
    }
    return found;
}

void fake_key(Client& c, uint8_t type)
{
    xcb_test_fake_input(c.c(), type, 38, XCB_CURRENT_TIME, c.root(), 0, 0, 0);
    c.sync();
}

struct Attack {
    const char* name;
    // Runs against the display while the recorder records; may return the
    // text that must never appear on the recorder's standard output.
    std::function<std::string(Display&, Recorder&)> run;
    bool stdout_unread = false; // the service never reads standard output
    // What the journal must tell, in at least one and at most `most` entries:
    // a client must not be able to flood it either.
    const char* journal = nullptr;
    size_t most = 1;
};

constexpr size_t most_entries = 100; // of any kind, in any case

class Hostile : public testing::TestWithParam<Attack> {};

TEST_P(Hostile, ClientCannotBlindCrashOrWedgeTheRecorder)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    ProcessOptions po;
    if (GetParam().stdout_unread) po.capture = false, po.stdout_fd = out[1];
    std::optional<Journal> journal;
    if (Journal::available()) po.journal_socket = journal.emplace().path();
    Recorder recorder({"-tfn", "own", d.name(), file}, po);
    close(out[1]);
    d.window(10, 10, 200, 150, 1);
    wait_for_screen(file, d.client, &recorder);

    const std::string forbidden = GetParam().run(d, recorder);
    // the attack has reached the recorder before the display changes on
    if (journal && GetParam().journal) journal->wait_for(GetParam().journal);

    d.window(250, 180, 300, 250, 2); // mapped after the attack: must be recorded
    wait_for_screen(file, d.client, &recorder);
    recorder.signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    if (!forbidden.empty()) {
        EXPECT_EQ(recorder.out().find(forbidden), std::string::npos) << recorder.out();
    }
    std::string verdict;
    EXPECT_EQ(zeldump_verify(file, &verdict), 0) << verdict;
    close(out[0]);
    if (journal) {
        EXPECT_LE(journal->messages().size(), most_entries);
        if (const char* text = GetParam().journal) {
            EXPECT_GE(journal->count(text), 1u) << text;
            EXPECT_LE(journal->count(text), GetParam().most) << text;
        }
    }
}

const Attack attacks[] = {
    {"RootInTheClientList",
     [](Display& d, Recorder&) {
         d.client.set_root_window_list("_NET_CLIENT_LIST", {d.client.root()});
         return "";
     },
     false, "ids of _NET_CLIENT_LIST that are no client windows"},
    {"BogusIdsInTheClientList",
     [](Display& d, Recorder&) {
         std::vector<xcb_window_t> ids;
         for (uint32_t i = 0; i < 10000; ++i) ids.push_back(0x3F00000u + i);
         d.client.set_root_window_list("_NET_CLIENT_LIST", ids);
         return "";
     },
     false, "ids of _NET_CLIENT_LIST that are no client windows", 2},
    {"RangesAddedToTheRecordContext",
     [](Display& d, Recorder&) {
         Client& c = d.client;
         const xcb_record_context_t context = find_record_context(c);
         EXPECT_NE(context, 0u);
         xcb_record_range_t range{};
         range.device_events = {XCB_KEY_RELEASE, XCB_KEY_RELEASE};
         range.core_requests = {1, 127};
         range.client_started = 1;
         range.client_died = 1;
         const xcb_record_client_spec_t all = XCB_RECORD_CS_ALL_CLIENTS;
         xcb_record_register_clients(c.c(), context, 0, 1, 1, &all, &range);
         fake_key(c, XCB_KEY_PRESS);
         fake_key(c, XCB_KEY_RELEASE);
         Client(d.name()).sync(); // a client starts and dies
         return "";
     },
     false, "skipping unexpected RECORD", 50},
    {"UnknownEventsWhileStandardOutputIsNotRead",
     [](Display& d, Recorder&) {
         // a core type the recorder has no use for (the server passes on
         // no extension event sent this way)
         xcb_generic_event_t e{};
         e.response_type = XCB_COLORMAP_NOTIFY;
         for (int i = 0; i < 20000; ++i)
             xcb_send_event(d.client.c(), 0, d.client.root(), XCB_EVENT_MASK_PROPERTY_CHANGE,
                            reinterpret_cast<const char*>(&e));
         d.client.sync();
         return "";
     },
     true, "unknown event type 32", 50},
    {"ForgedAnnouncementInAMembersTfn",
     [](Display& d, Recorder& r) {
         Client& c = d.client;
         const xcb_atom_t member = c.atom("MEMBER_EVIL");
         c.set_root_property("MEMBER_EVIL", "STRING", std::string("eve\0evil\n##lastInputBy admin", 29));
         c.send_root_message("LAST_INPUT", {4, member, 1000});
         c.send_root_message("LAST_INPUT", {4, 0, 2000}); // the own user, decided at once
         r.wait_for_output("##lastInputBy own\n");
         return "##lastInputBy admin";
     },
     false, "holds control characters"},
    {"CursorChangedAsFastAsPossible",
     [](Display& d, Recorder&) {
         Client& c = d.client;
         const xcb_font_t font = xcb_generate_id(c.c());
         xcb_open_font(c.c(), font, 6, "cursor");
         for (uint16_t i = 0; i < 2000; ++i) {
             const xcb_cursor_t cursor = xcb_generate_id(c.c());
             const uint16_t shape = static_cast<uint16_t>(i % 2 ? 68 : 2 * (i % 76));
             xcb_create_glyph_cursor(c.c(), cursor, font, font, shape, static_cast<uint16_t>(shape + 1),
                                     0xffff, 0xffff, 0xffff, 0, 0, 0);
             xcb_change_window_attributes(c.c(), c.root(), XCB_CW_CURSOR, &cursor);
             xcb_free_cursor(c.c(), cursor);
         }
         c.sync();
         return "";
     }},
};
INSTANTIATE_TEST_SUITE_P(Attacks, Hostile, testing::ValuesIn(attacks),
                         [](const testing::TestParamInfo<Attack>& i) { return std::string(i.param.name); });

// Standard output and error closed when the recorder starts: nothing meant
// for them may reach the X connection, which would take their numbers.
TEST(HostileStart, ClosedStandardOutputAndError)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    ProcessOptions po;
    po.pipe_stdin = true;
    Process recorder({"sh", "-c", "exec \"$@\" >&- 2>&-", "sh", RECORDER_PATH, "-tfn", "own", d.name(), file},
                     po);
    d.window(10, 10, 200, 150, 1);
    wait_for_screen(file, d.client, &recorder);
    d.client.send_root_message("LAST_INPUT", {4, 0, 1000}); // an announcement on standard output
    xcb_generic_event_t unknown{};
    unknown.response_type = 120; // and an unknown event, which is reported there too
    xcb_send_event(d.client.c(), 0, d.client.root(), XCB_EVENT_MASK_PROPERTY_CHANGE,
                   reinterpret_cast<const char*>(&unknown));
    d.window(250, 180, 300, 250, 2);
    wait_for_screen(file, d.client, &recorder);
    recorder.signal(SIGTERM);
    EXPECT_EQ(recorder.wait(), 0);
    std::string verdict;
    EXPECT_EQ(zeldump_verify(file, &verdict), 0) << verdict;
}

// Cursor images: at most one per frame tick, none that repeats the last one
// written, and compressed.
TEST(HostileCursor, CursorRecordsAreBoundedByTheFrameRate)
{
    Display d;
    Client& c = d.client;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({"-framerate", "10", d.name(), file});
    d.window(10, 10, 200, 150, 1);
    wait_for_screen(file, c, &recorder);
    const xcb_font_t font = xcb_generate_id(c.c());
    xcb_open_font(c.c(), font, 6, "cursor");
    const auto start = std::chrono::steady_clock::now();
    for (uint16_t i = 0; i < 3000; ++i) {
        const xcb_cursor_t cursor = xcb_generate_id(c.c());
        const uint16_t shape = static_cast<uint16_t>(2 * (i % 76));
        xcb_create_glyph_cursor(c.c(), cursor, font, font, shape, static_cast<uint16_t>(shape + 1), 0, 0, 0,
                                0xffff, 0xffff, 0xffff);
        xcb_change_window_attributes(c.c(), c.root(), XCB_CW_CURSOR, &cursor);
        xcb_free_cursor(c.c(), cursor);
        if (i % 100 == 0) c.sync();
    }
    c.sync();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(recorder.stop(), 0);
    const Recording r = read_recording(file);
    EXPECT_TRUE(r.of_type(ZEL_CURSOR_IMAGE).empty()) << "cursor images are written compressed";
    const size_t cursors = r.of_type(ZEL_COMPRESSED_CURSOR_IMAGE).size();
    EXPECT_GE(cursors, 1u);
    EXPECT_LE(cursors, static_cast<size_t>(seconds * 10) + 3);
}

} // namespace
