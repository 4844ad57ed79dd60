// Names of X errors for log lines.
#pragma once

// The name of an xcb connection error code (xcb_connection_has_error).
const char* xcb_error_code_to_string(int code);
