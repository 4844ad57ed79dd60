// Names of the xcb library's connection error codes.
#include "x-errors.h"

#include <xcb/xcb.h>

#include <array>
#include <cstddef>

namespace {
constexpr std::array<const char*, 7> connection_error_names = {
    "unknown error code",
    "socket, pipe, or stream error", // XCB_CONN_ERROR
    "unsupported extension",         // XCB_CONN_CLOSED_EXT_NOTSUPPORTED
    "not enough memory",             // XCB_CONN_CLOSED_MEM_INSUFFICIENT
    "request length exceeded",       // XCB_CONN_CLOSED_REQ_LEN_EXCEED
    "can't parse display string",    // XCB_CONN_CLOSED_PARSE_ERR
    "invalid screen",                // XCB_CONN_CLOSED_INVALID_SCREEN
};
static_assert(XCB_CONN_ERROR == 1 && XCB_CONN_CLOSED_INVALID_SCREEN == 6);
} // namespace

const char* xcb_error_code_to_string(int code)
{
    if (code < 1 || code >= static_cast<int>(connection_error_names.size())) return connection_error_names[0];
    return connection_error_names[static_cast<size_t>(code)];
}
