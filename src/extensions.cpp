// The six X extensions the recorder needs: presence, event codes, versions
// and the set-up requests on the main connection.
#include "extensions.h"

#include <err.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <array>

#include "args.h"
#include "debugging.h"
#include "x-reply.h"

namespace {

struct extension_codes {
    uint8_t event;
    uint8_t error;
};

struct {
    extension_codes composite, damage, randr, record, xfixes;
    xcb_record_context_t rc;
} extension = {};

struct Required {
    xcb_extension_t* id;
    const char* name;
    extension_codes* codes; // null: nothing to keep (XTEST)
};

// Present, or the end of the process with the extension's own message.
const xcb_query_extension_reply_t* require(xcb_connection_t* c, const Required& r)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, r.id);
    if (!data || !data->present) errx(1, "no %s extension on display %s", r.name, display_name());
    if (r.codes) *r.codes = {data->first_event, data->first_error};
    if (r.codes && r.codes != &extension.composite)
        DEBUG_RAW("\t%s event=%d error=%d\n", r.name, data->first_event, data->first_error);
    return data;
}

// The version the server answered, or the end of the process.
template <typename Reply, typename Cookie>
void expect_version(xcb_connection_t* c, Reply* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                    Cookie cookie, const char* name)
{
    const auto r = xcb_reply(reply, c, cookie);
    if (!r) errx(1, "failed to initialize %s extension", name);
    DEBUG_RAW("\t%s version major=%d minor=%d\n", name, static_cast<int>(r->major_version),
              static_cast<int>(r->minor_version));
}

void check_presence(xcb_connection_t* c)
{
    const Required required[] = {
        {&xcb_composite_id, "COMPOSITE", &extension.composite},
        {&xcb_damage_id, "DAMAGE", &extension.damage},
        {&xcb_randr_id, "RANDR", &extension.randr},
        {&xcb_record_id, "RECORD", &extension.record},
        {&xcb_xfixes_id, "XFIXES", &extension.xfixes},
        {&xcb_test_id, "XTEST", nullptr},
    };
    for (const Required& r : required) xcb_prefetch_extension_data(c, r.id);
    xcb_flush(c);
    // every extension is there before any version is asked for
    for (const Required& r : required) require(c, r);
    extension.xfixes.event = static_cast<uint8_t>(extension.xfixes.event + XCB_XFIXES_CURSOR_NOTIFY);
    DEBUG_RAW("\tXTEST extension present\n");
}

// All five version queries go out before the first reply is read.
void check_versions(xcb_connection_t* c)
{
    const auto composite = xcb_composite_query_version(c, 1, 1);
    const auto damage = xcb_damage_query_version(c, 1, 1);
    const auto randr = xcb_randr_query_version(c, 1, 6);
    const auto record = xcb_record_query_version(c, 1, 13);
    const auto xfixes = xcb_xfixes_query_version(c, 5, 0);
    xcb_flush(c);
    expect_version(c, xcb_composite_query_version_reply, composite, "COMPOSITE");
    expect_version(c, xcb_damage_query_version_reply, damage, "DAMAGE");
    expect_version(c, xcb_randr_query_version_reply, randr, "RANDR");
    expect_version(c, xcb_record_query_version_reply, record, "RECORD");
    expect_version(c, xcb_xfixes_query_version_reply, xfixes, "XFIXES");
}

// Key presses, button presses and pointer motion of every client; releases
// are not recorded.
void create_record_context(xcb_connection_t* c)
{
    const xcb_record_context_t rc = xcb_generate_id(c);
    const xcb_record_client_spec_t clients[] = {XCB_RECORD_CS_ALL_CLIENTS};
    std::array<xcb_record_range_t, 3> ranges{};
    ranges[0].device_events = {XCB_KEY_PRESS, XCB_KEY_PRESS};
    ranges[1].device_events = {XCB_BUTTON_PRESS, XCB_BUTTON_PRESS};
    ranges[2].device_events = {XCB_MOTION_NOTIFY, XCB_MOTION_NOTIFY};
    const xcb_void_cookie_t created = xcb_record_create_context_checked(
        c, rc, 0, 1, static_cast<uint32_t>(ranges.size()), clients, ranges.data());
    if (XcbReply<xcb_generic_error_t> error{xcb_request_check(c, created)})
        errx(4, "failed to create RECORD context on display %s", display_name());
    extension.rc = rc;
    DEBUG_RAW("\tRECORD context created on display %s\n", display_name());
}

} // namespace

void extensions_setup(xcb_connection_t* c, xcb_window_t root)
{
    check_presence(c);
    check_versions(c);
    xcb_randr_select_input(c, root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    DEBUG_RAW("\tRANDR screen change notifications requested\n");
    create_record_context(c);
    xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    DEBUG_RAW("\tXFIXES cursor notifications requested\n");
    // server grabs by other clients must not stall the recorder
    xcb_test_grab_control(c, 1);
    DEBUG_RAW("\tXTEST imperviousness from server grabs requested\n");
    xcb_flush(c);
}

int damage_event()
{
    return extension.damage.event;
}

int cursor_notify_event()
{
    return extension.xfixes.event;
}

int randr_event()
{
    return extension.randr.event;
}

xcb_record_context_t record_context()
{
    return extension.rc;
}
