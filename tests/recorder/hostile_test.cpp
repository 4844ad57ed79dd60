// The person being recorded is the adversary: any client of the display can
// write root properties, send events to the root, free or disable any X
// resource of the recorder by its id and kill its connections.  None of it
// may hide a window, keep a later one out, reorder the picture, end the
// recording or change who gave the input: after each attack the recording
// still follows the screen (the first window repainted, a second one of a
// new client over it), a stop ends in order, the file verifies, and every
// gap is in the file with its cause.  The rows follow docs/threat-model.md.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/record.h>
#include <xcb/res.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "harness.h"

using namespace std::chrono_literals;
using namespace xtest;

namespace {

// The recorder's RECORD context, found as an attacker would: by asking for
// the small resource ids of every client.
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

// Every id of the recorder's connections, as X-Resource tells anyone.
void for_each_recorder_id(Client& c, pid_t recorder, const std::function<void(uint32_t)>& f)
{
    for (uint32_t base : c.client_bases(recorder))
        for (uint32_t i = 0; i < 4096; ++i) f(base | i);
    c.sync();
}

struct Attacked {
    Display& d;
    Recorder& recorder;
    const std::string& file;
    xcb_window_t first; // the window recorded before the attack
    std::vector<std::unique_ptr<Client>> attackers;
    Client& attacker()
    {
        attackers.push_back(std::make_unique<Client>(d.name()));
        return *attackers.back();
    }
};

struct Attack {
    const char* name;
    // Runs against the display while the recorder records; may return text
    // that must never appear on the recorder's standard output.
    std::function<std::string(Attacked&)> run;
    // What the journal must tell, in at least one and at most `most` entries.
    const char* journal = nullptr;
    size_t most = 1;
    // Run again once the second window is listed (xpra rewrites its lists then).
    std::function<void(Attacked&)> again = nullptr;
    // Gaps the file must hold afterwards.
    std::vector<uint8_t> gaps = {};
    bool stdout_unread = false; // the service never reads standard output
};

constexpr size_t most_entries = 100; // of any kind, in any case

std::vector<uint8_t> gap_causes(const Recording& r)
{
    std::vector<uint8_t> out;
    for (const ZelRecord* g : r.of_type(ZEL_INTERRUPTION))
        out.push_back(reinterpret_cast<const ZelInterruption*>(g)->cause);
    return out;
}

// After the input stream was taken: once the file tells the gap, input is
// recorded again.
void input_recorded_after_the_gap(Attacked& a)
{
    const auto input_gap = [](const Recording& r) {
        const std::vector<uint8_t> causes = gap_causes(r);
        return std::ranges::find(causes, ZEL_GAP_INPUT_LOST) != causes.end();
    };
    const Recording with_gap = wait_for_records(a.file, input_gap, &a.recorder);
    const uint64_t gap_end = with_gap.of_type(ZEL_INTERRUPTION).back()->timestamp;
    xcb_test_fake_input(a.d.client.c(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, a.d.client.root(), 77, 55, 0);
    a.d.client.sync();
    wait_for_records(
        a.file,
        [gap_end](const Recording& r) {
            return std::ranges::any_of(r.of_type(ZEL_CURSOR_POSITION),
                                       [gap_end](const ZelRecord* p) { return p->timestamp > gap_end; });
        },
        &a.recorder);
}

std::string empty_client_lists(Attacked& a)
{
    a.d.client.set_root_window_list("_NET_CLIENT_LIST", {});
    a.d.client.set_root_window_list("_NET_CLIENT_LIST_STACKING", {});
    return "";
}

class Hostile : public testing::TestWithParam<Attack> {};

TEST_P(Hostile, ClientCannotHideEndOrWedgeTheRecording)
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
    Attacked a{d, recorder, file, d.window(10, 10, 200, 150, 1), {}};
    wait_for_screen(file, d.client, &recorder);

    const std::string forbidden = GetParam().run(a);
    // new content of the first window: once recorded, the recorder has taken
    // every event of the attack (it takes them in order), and a resource it
    // needed for it has been found missing and made again
    d.client.draw_pattern(a.first, 7);
    wait_for_screen(file, d.client, &recorder);
    if (journal && GetParam().journal) journal->wait_for(GetParam().journal);
    Client later(d.name()); // a window of a client that connects after the attack, over the first
    const xcb_window_t second = later.create_window(150, 100, 300, 250);
    later.map(second);
    later.draw_pattern(second, 2);
    d.client.wait_for_listed(second);
    if (GetParam().again) GetParam().again(a);
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
    const std::vector<uint8_t> gaps = gap_causes(read_recording(file));
    for (uint8_t cause : GetParam().gaps)
        EXPECT_NE(std::ranges::find(gaps, cause), gaps.end()) << "no gap of cause " << int(cause);
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
    {"ClientListEmptiedAfterEveryMap", empty_client_lists, nullptr, 1,
     [](Attacked& a) { empty_client_lists(a); }},
    {"ClientListOfTheRootAndBogusIds",
     [](Attacked& a) {
         std::vector<xcb_window_t> ids{a.d.client.root()};
         for (uint32_t i = 0; i < 10000; ++i) ids.push_back(0x3F00000u + i);
         a.d.client.set_root_window_list("_NET_CLIENT_LIST", ids);
         return "";
     }},
    {"FutureClientsListedBeforehand",
     [](Attacked& a) {
         std::vector<xcb_window_t> ids;
         const uint32_t step = a.d.client.id_mask() + 1;
         for (uint32_t slot = 1; slot < 64; ++slot)
             for (uint32_t offset = 0; offset < 64; ++offset) ids.push_back(slot * step + offset);
         a.d.client.set_root_window_list("_NET_CLIENT_LIST", ids);
         return "";
     }},
    {"StackingListReversed", [](Attacked&) { return ""; }, nullptr, 1,
     [](Attacked& a) {
         std::vector<xcb_window_t> ids = a.d.client.root_window_list("_NET_CLIENT_LIST_STACKING");
         std::reverse(ids.begin(), ids.end());
         a.d.client.set_root_window_list("_NET_CLIENT_LIST_STACKING", ids);
     }},
    {"ManagerCheckPointedAtAClientsWindow",
     [](Attacked& a) {
         Client& evil = a.attacker();
         const xcb_window_t own = evil.create_window(-1, -1, 1, 1);
         a.d.client.set_root_window_list("_NET_SUPPORTING_WM_CHECK", {own});
         const xcb_window_t popup = evil.create_window(400, 250, 300, 200, 0, true);
         evil.map(popup);
         evil.draw_pattern(popup, 9);
         return "";
     }},
    {"ManagerSelectionTaken",
     [](Attacked& a) {
         Client& evil = a.attacker();
         const xcb_window_t own = evil.create_window(-1, -1, 1, 1);
         xcb_set_selection_owner(evil.c(), own, evil.atom("WM_S0"), XCB_CURRENT_TIME);
         evil.sync();
         return "";
     },
     "the window-manager selection is now held by",
     1,
     nullptr,
     {ZEL_GAP_MANAGER_CHANGED}},
    {"PixmapsFreed",
     [](Attacked& a) {
         Client& evil = a.attacker();
         for_each_recorder_id(evil, a.recorder.pid(), [&](uint32_t id) { xcb_free_pixmap(evil.c(), id); });
         return "";
     },
     nullptr,
     1,
     nullptr,
     {ZEL_GAP_RESOURCE_LOST}},
    {"DamageObjectsDestroyed",
     [](Attacked& a) {
         Client& evil = a.attacker();
         std::free(
             xcb_damage_query_version_reply(evil.c(), xcb_damage_query_version(evil.c(), 1, 1), nullptr));
         for_each_recorder_id(evil, a.recorder.pid(), [&](uint32_t id) { xcb_damage_destroy(evil.c(), id); });
         return "";
     },
     "was destroyed by another client",
     4,
     nullptr,
     {ZEL_GAP_RESOURCE_LOST}},
    {"SharedSegmentsOfOthersAreWritable",
     [](Attacked& a) -> std::string {
         // any client can make the server write into another's MIT-SHM
         // segment by its id: the recorder must hold none to be written into
         Client& evil = a.attacker();
         const xcb_atom_t segment = evil.atom("ShmSeg");
         for (uint32_t base : evil.client_bases(a.recorder.pid())) {
             std::unique_ptr<xcb_res_query_client_resources_reply_t, decltype(&std::free)> r(
                 xcb_res_query_client_resources_reply(
                     evil.c(), xcb_res_query_client_resources(evil.c(), base), nullptr),
                 &std::free);
             EXPECT_TRUE(r);
             if (!r) continue;
             for (auto t = xcb_res_query_client_resources_types_iterator(r.get()); t.rem;
                  xcb_res_type_next(&t))
                 EXPECT_FALSE(t.data->resource_type == segment && t.data->count > 0) << "a shared segment";
         }
         return "";
     }},
    {"RecordContextFreed",
     [](Attacked& a) {
         Client& evil = a.attacker();
         xcb_record_free_context(evil.c(), find_record_context(evil));
         evil.sync();
         return "";
     },
     "RECORD context was disabled or freed",
     1,
     input_recorded_after_the_gap,
     {ZEL_GAP_INPUT_LOST}},
    {"RecordContextDisabled",
     [](Attacked& a) {
         Client& evil = a.attacker();
         xcb_record_disable_context(evil.c(), find_record_context(evil));
         evil.sync();
         return "";
     },
     "RECORD context was disabled or freed",
     1,
     input_recorded_after_the_gap,
     {ZEL_GAP_INPUT_LOST}},
    {"RecordClientsUnregistered",
     [](Attacked& a) {
         Client& evil = a.attacker();
         const xcb_record_client_spec_t all = XCB_RECORD_CS_ALL_CLIENTS;
         xcb_record_unregister_clients(evil.c(), find_record_context(evil), 1, &all);
         evil.sync();
         return "";
     },
     "clients were unregistered by another client",
     1,
     input_recorded_after_the_gap,
     {ZEL_GAP_INPUT_LOST}},
    {"ConnectionsKilled",
     [](Attacked& a) {
         Client& evil = a.attacker();
         for (uint32_t base : evil.client_bases(a.recorder.pid())) xcb_kill_client(evil.c(), base);
         evil.sync();
         return "";
     },
     "connection to the display broke",
     1,
     input_recorded_after_the_gap,
     {ZEL_GAP_CONNECTION_LOST, ZEL_GAP_INPUT_LOST}},
    {"WindowManagerTrafficLikeMemberMessages",
     [](Attacked& a) {
         Client& c = a.d.client;
         // a root property whose value reads as a member's name and tfn
         c.set_root_property("EVIL_RULES", "STRING", std::string("evdev\0pc105", 11));
         const uint32_t names = c.atom("EVIL_RULES");
         for (const char* type : {"_NET_ACTIVE_WINDOW", "_NET_WM_STATE", "_NET_WM_MOVERESIZE"})
             for (uint32_t i = 0; i < 33333; ++i) {
                 xcb_client_message_event_t e{};
                 e.response_type = XCB_CLIENT_MESSAGE;
                 e.format = 32;
                 e.window = c.root();
                 e.type = c.atom(type);
                 e.data.data32[0] = i % 2 ? 1 : 4; // "register", then "key press"
                 e.data.data32[1] = names;
                 e.data.data32[2] = 1000 + i;
                 xcb_send_event(c.c(), 0, c.root(),
                                XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                                reinterpret_cast<const char*>(&e));
             }
         c.sync();
         return "##lastInputBy";
     }},
    {"RangesAddedToTheRecordContext",
     [](Attacked& a) {
         Client& c = a.d.client;
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
         Client(a.d.name()).sync(); // a client starts and dies
         return "";
     },
     "skipping unexpected RECORD", 50},
    {"MadeUpEventsWhileStandardOutputIsNotRead",
     [](Attacked& a) {
         // what the server would send if the window went and the screen
         // shrank, made up by a client (SendEvent), and types of no use
         Client& c = a.d.client;
         const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
         for (int i = 0; i < 5000; ++i) {
             xcb_unmap_notify_event_t unmap{};
             unmap.response_type = XCB_UNMAP_NOTIFY;
             unmap.event = c.root();
             unmap.window = a.first;
             xcb_configure_notify_event_t shrink{};
             shrink.response_type = XCB_CONFIGURE_NOTIFY;
             shrink.event = shrink.window = c.root();
             shrink.width = shrink.height = 100;
             xcb_generic_event_t unknown{};
             unknown.response_type = XCB_COLORMAP_NOTIFY;
             for (const void* e : {static_cast<const void*>(&unmap), static_cast<const void*>(&shrink),
                                   static_cast<const void*>(&unknown)})
                 xcb_send_event(c.c(), 0, c.root(), mask, static_cast<const char*>(e));
             c.send_root_message("LAST_INPUT", {4, 0, static_cast<uint32_t>(1000 + i)}); // announcements
         }
         c.sync();
         return "";
     },
     "another client sent (SendEvent)",
     50,
     nullptr,
     {},
     true},
    {"ForgedAnnouncementInAMembersTfn",
     [](Attacked& a) {
         Client& c = a.d.client;
         const xcb_atom_t member = c.atom("MEMBER_EVIL");
         c.set_root_property("MEMBER_EVIL", "STRING", std::string("eve\0evil\n##lastInputBy admin", 29));
         c.send_root_message("LAST_INPUT", {4, member, 1000});
         c.send_root_message("LAST_INPUT", {4, 0, 2000}); // the own user, decided at once
         a.recorder.wait_for_output("##lastInputBy own\n");
         return "##lastInputBy admin";
     },
     "holds control characters"},
    {"CursorChangedAsFastAsPossible",
     [](Attacked& a) {
         Client& c = a.d.client;
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
    unknown.response_type = 120; // and a made-up event, which is journaled
    xcb_send_event(d.client.c(), 0, d.client.root(), XCB_EVENT_MASK_PROPERTY_CHANGE,
                   reinterpret_cast<const char*>(&unknown));
    d.window(250, 180, 300, 250, 2);
    wait_for_screen(file, d.client, &recorder);
    recorder.signal(SIGTERM);
    EXPECT_EQ(recorder.wait(), 0);
    std::string verdict;
    EXPECT_EQ(zeldump_verify(file, &verdict), 0) << verdict;
}

// Another client grabs the server and holds it: the recorder's requests go
// on (it is impervious to grabs), and a stop ends in order.
TEST(HostileGrab, ServerGrabbedDuringTheStop)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    d.window(10, 10, 200, 150, 1);
    wait_for_screen(file, d.client, &recorder);
    Client evil(d.name());
    xcb_grab_server(evil.c());
    evil.sync();
    recorder.signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
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
