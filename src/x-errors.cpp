// X errors: their meaning by sequence number, and their names.
#include "x-errors.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/record.h>
#include <xcb/res.h>
#include <xcb/xcb_event.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string_view>

namespace {

struct Extension {
    xcb_extension_t* id;
    const char* name;
    const char* first_error_name; // its error at first_error, or null
    uint8_t major = 0;
    uint8_t first_error = 0;
    bool present = false;
};

std::array<Extension, 7> extensions = {{
    {&xcb_composite_id, "Composite", nullptr},
    {&xcb_damage_id, "DAMAGE", "BadDamage"},
    {&xcb_randr_id, "RANDR", "BadOutput"},
    {&xcb_record_id, "RECORD", "BadContext"},
    {&xcb_xfixes_id, "XFIXES", "BadRegion"},
    {&xcb_test_id, "XTEST", nullptr},
    {&xcb_res_id, "X-Resource", nullptr},
}};

// By sequence number; kept until an event of a later request has arrived.
std::map<uint32_t, XExpected> expected;

// a is before b, sequence numbers wrapping at 2^32
bool before(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) < 0;
}

const Extension* extension_of_request(uint8_t major)
{
    for (const Extension& e : extensions)
        if (e.present && e.major == major) return &e;
    return nullptr;
}

const char* error_name(uint8_t code)
{
    if (code < 128) return xcb_event_get_error_label(code);
    for (const Extension& e : extensions)
        if (e.present && e.first_error_name && code == e.first_error) return e.first_error_name;
    return "extension error";
}

} // namespace

void x_errors_setup(xcb_connection_t* c)
{
    for (Extension& e : extensions) xcb_prefetch_extension_data(c, e.id);
    for (Extension& e : extensions) {
        const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, e.id);
        e.present = data && data->present;
        e.major = e.present ? data->major_opcode : 0;
        e.first_error = e.present ? data->first_error : 0;
    }
}

void x_errors_reset()
{
    expected.clear();
}

void x_expect(unsigned int sequence, XExpected what)
{
    expected[sequence] = what;
}

void x_forget(unsigned int sequence)
{
    expected.erase(sequence);
}

std::optional<XExpected> x_error_meaning(const xcb_generic_error_t* e)
{
    const auto it = expected.find(e->full_sequence);
    if (it == expected.end()) return std::nullopt;
    const XExpected what = it->second;
    expected.erase(it);
    return what;
}

void x_errors_seen(uint32_t full_sequence)
{
    while (!expected.empty() && before(expected.begin()->first, full_sequence))
        expected.erase(expected.begin());
}

std::string x_error_text(const xcb_generic_error_t* e)
{
    char request[64];
    if (const Extension* x = extension_of_request(e->major_code))
        std::snprintf(request, sizeof request, "%s request %u", x->name, e->minor_code);
    else if (e->major_code < 128)
        std::snprintf(request, sizeof request, "%s", xcb_event_get_request_label(e->major_code));
    else
        std::snprintf(request, sizeof request, "request %u.%u", e->major_code, e->minor_code);
    char text[160];
    std::snprintf(text, sizeof text, "%s on %s (resource 0x%x, sequence %u)", error_name(e->error_code),
                  request, e->resource_id, e->full_sequence);
    return text;
}

bool x_error_is(const xcb_generic_error_t* e, const char* extension)
{
    for (const Extension& x : extensions)
        if (x.present && x.first_error_name && std::string_view(x.name) == extension)
            return e->error_code == x.first_error;
    return false;
}

const char* xcb_error_code_to_string(int code)
{
    static constexpr std::array<const char*, 7> names = {
        "unknown error code",
        "socket, pipe, or stream error", // XCB_CONN_ERROR
        "unsupported extension",         // XCB_CONN_CLOSED_EXT_NOTSUPPORTED
        "not enough memory",             // XCB_CONN_CLOSED_MEM_INSUFFICIENT
        "request length exceeded",       // XCB_CONN_CLOSED_REQ_LEN_EXCEED
        "can't parse display string",    // XCB_CONN_CLOSED_PARSE_ERR
        "invalid screen",                // XCB_CONN_CLOSED_INVALID_SCREEN
    };
    static_assert(XCB_CONN_ERROR == 1 && XCB_CONN_CLOSED_INVALID_SCREEN == 6);
    if (code < 1 || code >= static_cast<int>(names.size())) return names[0];
    return names[static_cast<size_t>(code)];
}
