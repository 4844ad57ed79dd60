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
#include "misc.h"

namespace {

struct extension {
    struct {
        uint8_t event;
        uint8_t error;
        xcb_composite_query_version_cookie_t cookie;
    } composite;
    struct {
        uint8_t event;
        uint8_t error;
        xcb_damage_query_version_cookie_t cookie;
        xcb_damage_damage_t id;
        uint8_t level;
    } damage;
    struct {
        uint8_t event;
        uint8_t error;
        xcb_randr_query_version_cookie_t cookie;
    } randr;
    struct {
        uint8_t event;
        uint8_t error;
        xcb_record_query_version_cookie_t cookie;
        xcb_record_context_t rc;
    } record;
    struct {
        uint8_t event;
        uint8_t error;
        xcb_xfixes_query_version_cookie_t cookie;
    } xfixes;
};

struct extension extension = {};

// Present, or the end of the process with the extension's own message.
const xcb_query_extension_reply_t* require(xcb_connection_t* c, xcb_extension_t* ext, const char* name)
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    if (!data || !data->present) errx(1, "no %s extension on display %s", name, display_name());
    return data;
}

} // namespace

void extensions_setup(xcb_connection_t* c, xcb_window_t root)
{
    xcb_prefetch_extension_data(c, &xcb_composite_id);
    xcb_prefetch_extension_data(c, &xcb_damage_id);
    xcb_prefetch_extension_data(c, &xcb_randr_id);
    xcb_prefetch_extension_data(c, &xcb_record_id);
    xcb_prefetch_extension_data(c, &xcb_test_id);
    xcb_prefetch_extension_data(c, &xcb_xfixes_id);
    xcb_flush(c);

    // every extension is there before any version is asked for
    const xcb_query_extension_reply_t* data = require(c, &xcb_composite_id, "COMPOSITE");
    extension.composite.event = data->first_event;
    extension.composite.error = data->first_error;

    data = require(c, &xcb_damage_id, "DAMAGE");
    extension.damage.event = data->first_event;
    extension.damage.error = data->first_error;
    DEBUG_RAW("\tDAMAGE event=%d error=%d\n", data->first_event, data->first_error);

    data = require(c, &xcb_randr_id, "RANDR");
    extension.randr.event = data->first_event;
    extension.randr.error = data->first_error;
    DEBUG_RAW("\tRANDR event=%d error=%d\n", data->first_event, data->first_error);

    data = require(c, &xcb_record_id, "RECORD");
    extension.record.event = data->first_event;
    extension.record.error = data->first_error;
    DEBUG_RAW("\tRECORD event=%d error=%d\n", data->first_event, data->first_error);

    data = require(c, &xcb_xfixes_id, "XFIXES");
    extension.xfixes.event = static_cast<uint8_t>(data->first_event + XCB_XFIXES_CURSOR_NOTIFY);
    extension.xfixes.error = data->first_error;
    DEBUG_RAW("\tXFIXES event=%d error=%d\n", data->first_event, data->first_error);

    require(c, &xcb_test_id, "XTEST");
    DEBUG_RAW("\tXTEST extension present\n");

    // all five version queries go out before the first reply is read
    xcb_flush(c);
    extension.composite.cookie = xcb_composite_query_version(c, 1, 1);
    extension.damage.cookie = xcb_damage_query_version(c, 1, 1);
    extension.randr.cookie = xcb_randr_query_version(c, 1, 6);
    extension.record.cookie = xcb_record_query_version(c, 1, 13);
    extension.xfixes.cookie = xcb_xfixes_query_version(c, 5, 0);
    xcb_flush(c);

    if (auto r = xcb_reply(xcb_composite_query_version_reply, c, extension.composite.cookie))
        DEBUG_RAW("\tCOMPOSITE version major=%d minor=%d\n", r->major_version, r->minor_version);
    else
        errx(1, "failed to initialize COMPOSITE extension");
    if (auto r = xcb_reply(xcb_damage_query_version_reply, c, extension.damage.cookie))
        DEBUG_RAW("\tDAMAGE version major=%d minor=%d\n", r->major_version, r->minor_version);
    else
        errx(1, "failed to initialize DAMAGE extension");
    if (auto r = xcb_reply(xcb_randr_query_version_reply, c, extension.randr.cookie))
        DEBUG_RAW("\tRANDR version major=%d minor=%d\n", r->major_version, r->minor_version);
    else
        errx(1, "failed to initialize RANDR extension");
    if (auto r = xcb_reply(xcb_record_query_version_reply, c, extension.record.cookie))
        DEBUG_RAW("\tRECORD version major=%d minor=%d\n", r->major_version, r->minor_version);
    else
        errx(1, "failed to initialize RECORD extension");
    if (auto r = xcb_reply(xcb_xfixes_query_version_reply, c, extension.xfixes.cookie))
        DEBUG_RAW("\tXFIXES version major=%d minor=%d\n", r->major_version, r->minor_version);
    else
        errx(1, "failed to initialize XFIXES extension");

    xcb_flush(c);
    xcb_randr_select_input(c, root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    DEBUG_RAW("\tRANDR screen change notifications requested\n");

    // key presses, button presses and pointer motion of every client;
    // releases are not recorded
    xcb_record_context_t rc = xcb_generate_id(c);
    const xcb_record_client_spec_t clients[] = {XCB_RECORD_CS_ALL_CLIENTS};
    std::array<xcb_record_range_t, 3> ranges{};
    ranges[0].device_events = {XCB_KEY_PRESS, XCB_KEY_PRESS};
    ranges[1].device_events = {XCB_BUTTON_PRESS, XCB_BUTTON_PRESS};
    ranges[2].device_events = {XCB_MOTION_NOTIFY, XCB_MOTION_NOTIFY};
    xcb_void_cookie_t created = xcb_record_create_context_checked(
        c, rc, 0, 1, static_cast<uint32_t>(ranges.size()), clients, ranges.data());
    if (XcbReply<xcb_generic_error_t> error{xcb_request_check(c, created)}) {
        error.reset();
        errx(4, "failed to create RECORD context on display %s", display_name());
    }
    extension.record.rc = rc;
    DEBUG_RAW("\tRECORD context created on display %s\n", display_name());

    xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    DEBUG_RAW("\tXFIXES cursor notifications requested\n");

    // server grabs by other clients must not stall the recorder
    xcb_test_grab_control(c, 1);
    DEBUG_RAW("\tXTEST imperviousness from server grabs requested\n");

    xcb_flush(c);
}

xcb_damage_damage_t damage_id()
{
    return extension.damage.id;
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
    return extension.record.rc;
}
