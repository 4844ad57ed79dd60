// X errors.  What an error of a request means is said where the request is
// made, by its sequence number; every other error is journaled with its
// names, a few times a second at most (any client can cause floods of them).
// Main thread only.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>

// What an expected error tells.
enum class XErrorMeaning : uint8_t {
    QUIET,        // nothing: the resource may have gone meanwhile
    IMAGE,        // an image of the window was not taken (pixmap freed, segment detached, window gone)
    DAMAGE_CHECK, // the window's damage object is gone (destroyed by another client)
};

struct XExpected {
    XErrorMeaning meaning;
    uint32_t window; // the window it concerns, where it concerns one
};

// Learns the extensions' opcodes and first error codes, for the names.
void x_errors_setup(xcb_connection_t* c);
// Forgets every expectation (the connection is gone).
void x_errors_reset();
// An error of the request with this sequence number means `what`.
void x_expect(unsigned int sequence, XExpected what);
// Forgets what an error of that request would mean (a check made again:
// the earlier one had its time to fail).
void x_forget(unsigned int sequence);
// What the error means, if its request was given a meaning (which is
// then forgotten).
std::optional<XExpected> x_error_meaning(const xcb_generic_error_t* e);
// Everything the server sent up to this event has arrived: requests before
// it can have no error still to come.
void x_errors_seen(uint32_t full_sequence);
// "BadDamage on DAMAGE request 2 (resource 0x400012, sequence 812)".
std::string x_error_text(const xcb_generic_error_t* e);
// True when the error is of the named extension's own first error code
// ("DAMAGE" BadDamage, "RECORD" BadContext, ...).
bool x_error_is(const xcb_generic_error_t* e, const char* extension);

// The name of an xcb connection error code (xcb_connection_has_error).
const char* xcb_error_code_to_string(int code);
