// Extension set-up against real X servers: the codes the event handling
// relies on, the RECORD context the input thread enables, the grab
// imperviousness, and the refusal of a server that lacks an extension.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "debugging.h"
#include "display.h"
#include "extensions.h"
#include "recorder-args.h"
#include "x-harness.h"

using namespace xtest;
using testing::ExitedWithCode;

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

struct ExtensionCodes {
    bool present = false;
    int event = 0;
    int error = 0;
};

ExtensionCodes query(Client& c, const std::string& name)
{
    Reply<xcb_query_extension_reply_t> r(
        xcb_query_extension_reply(
            c.c(), xcb_query_extension(c.c(), static_cast<uint16_t>(name.size()), name.c_str()), nullptr),
        &std::free);
    if (!r) return {};
    return {r->present != 0, r->first_event, r->first_error};
}

// Sets up the connection and the extensions as the recorder does.
void setup(const std::string& display)
{
    use_display(display);
    display_connection_setup();
    extensions_setup(display_connection(), display_root());
}

} // namespace

TEST(Extensions, EventCodesAreTheServers)
{
    Xvfb x;
    Client c(x.display());
    testing::internal::CaptureStdout();
    debugging_set(true);
    setup(x.display());
    debugging_set(false);
    std::string out = testing::internal::GetCapturedStdout();

    auto damage = query(c, "DAMAGE");
    auto randr = query(c, "RANDR");
    auto xfixes = query(c, "XFIXES");
    auto record = query(c, "RECORD");
    EXPECT_EQ(damage_event(), damage.event);
    EXPECT_EQ(randr_event(), randr.event);
    EXPECT_EQ(cursor_notify_event(), xfixes.event + 1); // CursorNotify is XFIXES event 1
    EXPECT_EQ(damage_id(), 0u);                         // no damage object on the root

    // the debug lines show the codes as the server reports them
    auto line = [](const char* name, const ExtensionCodes& e) {
        return "\t" + std::string(name) + " event=" + std::to_string(e.event) +
               " error=" + std::to_string(e.error) + "\n";
    };
    EXPECT_NE(out.find(line("DAMAGE", damage)), std::string::npos) << out;
    EXPECT_NE(out.find(line("RANDR", randr)), std::string::npos) << out;
    EXPECT_NE(out.find(line("RECORD", record)), std::string::npos) << out;
    EXPECT_NE(out.find(line("XFIXES", xfixes)), std::string::npos) << out;
    for (const char* l :
         {"\tXTEST extension present\n", "\tCOMPOSITE version major=", "\tRANDR version major=1 minor=6\n",
          "\tRECORD version major=1 minor=13\n", "\tXFIXES version major=5 minor=0\n",
          "\tRANDR screen change notifications requested\n", "\tXFIXES cursor notifications requested\n",
          "\tXTEST imperviousness from server grabs requested\n"})
        EXPECT_NE(out.find(l), std::string::npos) << l << " missing in:\n" << out;
    EXPECT_NE(out.find("\tRECORD context created on display " + x.display() + "\n"), std::string::npos);
    display_connection_teardown();
}

TEST(Extensions, RecordContextInterceptsPressesAndMotionOfAllClients)
{
    Xvfb x;
    Client c(x.display());
    setup(x.display());
    ASSERT_NE(record_context(), 0u);
    Reply<xcb_record_get_context_reply_t> r(
        xcb_record_get_context_reply(c.c(), xcb_record_get_context(c.c(), record_context()), nullptr),
        &std::free);
    ASSERT_TRUE(r) << "the server has no such RECORD context";
    EXPECT_EQ(r->enabled, 0);
    EXPECT_EQ(r->element_header, 0);
    // all clients, as seen by the server: every connected client is listed
    ASSERT_GE(xcb_record_get_context_intercepted_clients_length(r.get()), 1);
    auto it = xcb_record_get_context_intercepted_clients_iterator(r.get());
    std::vector<std::pair<int, int>> device_events;
    for (; it.rem; xcb_record_client_info_next(&it)) {
        auto* ranges = xcb_record_client_info_ranges(it.data);
        device_events.clear();
        for (int i = 0; i < xcb_record_client_info_ranges_length(it.data); ++i) {
            device_events.emplace_back(ranges[i].device_events.first, ranges[i].device_events.last);
            EXPECT_EQ(ranges[i].delivered_events.first, 0);
            EXPECT_EQ(ranges[i].core_requests.first, 0);
            EXPECT_EQ(ranges[i].errors.first, 0);
        }
        // releases are not recorded; the server may merge nothing here since the ranges touch no neighbour
        std::sort(device_events.begin(), device_events.end());
        EXPECT_EQ(device_events, (std::vector<std::pair<int, int>>{{2, 2}, {4, 4}, {6, 6}}));
    }
    display_connection_teardown();
}

TEST(Extensions, ServerGrabsDoNotStallTheRecorder)
{
    Xvfb x;
    Client grabber(x.display());
    setup(x.display());
    // the set-up has reached the server before the grab
    free(xcb_get_input_focus_reply(display_connection(), xcb_get_input_focus(display_connection()), nullptr));
    xcb_grab_server(grabber.c());
    grabber.sync();

    // a round trip on the recorder's connection while another client holds the grab
    xcb_connection_t* rc = display_connection();
    auto cookie = xcb_get_input_focus(rc);
    xcb_flush(rc);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    xcb_get_input_focus_reply_t* reply = nullptr;
    while (!reply && std::chrono::steady_clock::now() < deadline) {
        void* r = nullptr;
        xcb_generic_error_t* e = nullptr;
        if (xcb_poll_for_reply(rc, cookie.sequence, &r, &e)) {
            reply = static_cast<xcb_get_input_focus_reply_t*>(r);
            std::free(e);
            break;
        }
        pollfd p{xcb_get_file_descriptor(rc), POLLIN, 0};
        poll(&p, 1, 100);
    }
    EXPECT_NE(reply, nullptr) << "the recorder's connection stalled under another client's grab";
    std::free(reply);
    xcb_ungrab_server(grabber.c());
    grabber.sync();
    display_connection_teardown();
}

struct Missing {
    const char* disabled[2];
    const char* message;
    const char* preceding = nullptr; // the lines right before the message
};

class ExtensionsDeathTest : public testing::TestWithParam<Missing> {};

TEST_P(ExtensionsDeathTest, AMissingExtensionIsRefusedByName)
{
    const Missing& m = GetParam();
    XvfbOptions o;
    for (const char* e : m.disabled)
        if (e) o.extra_args.insert(o.extra_args.end(), {"-extension", e});
    Xvfb x(o);
    {
        Client c(x.display());
        for (const char* e : m.disabled) {
            if (e) {
                ASSERT_FALSE(query(c, e).present) << e << " could not be switched off";
            }
        }
    }
    // The debug lines go to standard error too, unbuffered, so that their
    // order with the message shows: no version line comes before the
    // refusal, since presence is checked in full first.
    std::string before = m.preceding ? m.preceding : "";
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            debugging_set(true);
            setup(x.display());
        },
        ExitedWithCode(1), before + "[^\n]*no " + m.message + " extension on display " + x.display() + "\n$");
}

INSTANTIATE_TEST_SUITE_P(
    EachExtension, ExtensionsDeathTest,
    testing::Values(Missing{{"Composite", nullptr}, "COMPOSITE"}, Missing{{"DAMAGE", nullptr}, "DAMAGE"},
                    Missing{{"RANDR", nullptr}, "RANDR"},
                    Missing{{"RECORD", nullptr},
                            "RECORD",
                            "\tDAMAGE event=[0-9]+ error=[0-9]+\n\tRANDR event=[0-9]+ error=[0-9]+\n"},
                    Missing{{"XFIXES", nullptr}, "XFIXES", "\tRECORD event=[0-9]+ error=[0-9]+\n"},
                    // Xvfb switches XTEST and RECORD together (one "test
                    // extensions" switch), and RECORD is checked first
                    Missing{{"XTEST", nullptr}, "RECORD", "\tRANDR event=[0-9]+ error=[0-9]+\n"},
                    // both gone: only the first in the order of checking is named
                    Missing{{"Composite", "DAMAGE"}, "COMPOSITE"}),
    [](const testing::TestParamInfo<Missing>& p) {
        std::string n = std::string("Without") + p.param.disabled[0];
        if (p.param.disabled[1]) n += std::string("And") + p.param.disabled[1];
        return n;
    });

// What no Xvfb can be made to do, through a display that lies for it.
TEST(ExtensionsDeathTest, OnlyXtestMissing)
{
    Xvfb x;
    XProxy proxy(x.display(), {"XTEST"});
    {
        Client c(proxy.display());
        ASSERT_FALSE(query(c, "XTEST").present);
        ASSERT_TRUE(query(c, "RECORD").present);
    }
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            debugging_set(true);
            setup(proxy.display());
        },
        ExitedWithCode(1),
        "\tXFIXES event=[0-9]+ error=[0-9]+\n[^\n]*no XTEST extension on display " + proxy.display() + "\n$");
}

TEST(ExtensionsDeathTest, UnansweredVersionQuery)
{
    Xvfb x;
    const std::pair<const char*, const char*> cases[] = {{"Composite", "COMPOSITE"},
                                                         {"DAMAGE", "DAMAGE"},
                                                         {"RANDR", "RANDR"},
                                                         {"RECORD", "RECORD"},
                                                         {"XFIXES", "XFIXES"}};
    for (auto [wire, name] : cases) {
        SCOPED_TRACE(name);
        XProxy proxy(x.display(), {}, {{wire, 0}}); // QueryVersion is minor 0 everywhere
        EXPECT_EXIT(setup(proxy.display()), ExitedWithCode(1),
                    std::string("failed to initialize ") + name + " extension\n$");
    }
}

TEST(ExtensionsDeathTest, RefusedRecordContextEndsWithStatus4)
{
    Xvfb x;
    XProxy proxy(x.display(), {}, {{"RECORD", 1}}); // CreateContext
    EXPECT_EXIT(setup(proxy.display()), ExitedWithCode(4),
                "failed to create RECORD context on display " + proxy.display() + "\n$");
}
