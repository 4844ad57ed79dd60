// Fuzzes the last-input arbitration with hostile members: the input is a
// script of property contents (0 to 4096 bytes, or unreadable), client
// messages with any words, clock steps and debug-mode switches.  Every
// record handed to the writer must hold proper strings; nothing may leak.
//
// The module's surroundings are played here: the X server's property
// replies (the xcb calls it makes), the options, the clocks, the log and
// the writer.
#include <systemd/sd-journal.h>
#include <xcb/xcb.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "backend.h"
#include "debugging.h"
#include "display.h"
#include "last-input.h"
#include "timer.h"
#include "zel.h"

namespace {

constexpr xcb_atom_t ATOMS = 40; // atoms 1..40 exist; others are BadAtom
std::vector<std::string> properties(ATOMS + 1);
std::vector<bool> unreadable(ATOMS + 1);
uint32_t now_ms = 1000;
bool debug_on = false;
bool send_fails = false;
size_t records = 0;

void check_string(const uint8_t* s)
{
    if (s != nullptr && strlen(reinterpret_cast<const char*>(s)) > 4096) abort();
}

} // namespace

// ---- the surroundings --------------------------------------------------

xcb_connection_t* display_connection()
{
    return nullptr;
}
xcb_window_t display_root()
{
    return 1;
}
const char* user()
{
    return "own";
}
const char* tfn()
{
    return "t-own";
}
uint32_t time_in_ms()
{
    return now_ms;
}
uint64_t time_in_us()
{
    return 1;
}
bool debugging()
{
    return debug_on;
}
void debug_puts(const char* function, const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    (void)function;
}
void debug_printf(const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
}
extern "C" int sd_journal_print_with_location(int, const char*, const char*, const char*, const char* format,
                                              ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return 0;
}
bool send_to_backend(void* p)
{
    auto* record = *static_cast<ZelLastInput**>(p);
    if (record == nullptr || record->type != ZEL_LAST_INPUT) abort();
    check_string(record->user);
    check_string(record->tfn);
    if (send_fails) return false; // the caller keeps and frees it
    records++;
    zel_record_free(record);
    return true;
}

extern "C" {
xcb_get_property_cookie_t xcb_get_property(xcb_connection_t*, uint8_t, xcb_window_t, xcb_atom_t property,
                                           xcb_atom_t, uint32_t, uint32_t long_length)
{
    // the cookie carries what the reply needs
    return xcb_get_property_cookie_t{property <= ATOMS ? property * 8192 + long_length : 0};
}

xcb_get_property_reply_t* xcb_get_property_reply(xcb_connection_t*, xcb_get_property_cookie_t cookie,
                                                 xcb_generic_error_t** e)
{
    if (e != nullptr) *e = nullptr;
    xcb_atom_t atom = cookie.sequence / 8192;
    uint32_t units = cookie.sequence % 8192;
    if (atom == 0 || unreadable[atom]) return nullptr;
    const std::string& value = properties[atom];
    size_t n = value.size() < units * 4 ? value.size() : units * 4;
    auto* r = static_cast<xcb_get_property_reply_t*>(calloc(1, sizeof(xcb_get_property_reply_t) + n));
    if (r == nullptr) abort();
    r->format = n > 0 ? 8 : 0;
    r->value_len = static_cast<uint32_t>(n);
    r->bytes_after = static_cast<uint32_t>(value.size() - n);
    memcpy(r + 1, value.data(), n);
    return r;
}

void* xcb_get_property_value(const xcb_get_property_reply_t* R)
{
    return const_cast<xcb_get_property_reply_t*>(R + 1);
}

int xcb_get_property_value_length(const xcb_get_property_reply_t* R)
{
    return static_cast<int>(R->value_len * (R->format / 8));
}
}

// ---- the script ----------------------------------------------------------

namespace {

struct Script {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t word()
    {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++) w = w << 8 | byte();
        return w;
    }
};

void reset()
{
    for (auto& p : properties) p.clear();
    unreadable.assign(ATOMS + 1, false);
    now_ms = 1000;
    debug_on = false;
    send_fails = false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    reset();
    last_input_setup();
    Script s{data, size};
    while (s.more()) {
        uint8_t op = s.byte();
        switch (op % 6) {
        case 0: { // a member publishes a property
            xcb_atom_t atom = 1 + s.byte() % ATOMS;
            size_t n = (static_cast<size_t>(s.byte()) << 8 | s.byte()) % 4200;
            std::string value;
            for (size_t i = 0; i < n && s.more(); i++) value.push_back(static_cast<char>(s.byte()));
            properties[atom] = value;
            unreadable[atom] = false;
            break;
        }
        case 1: { // a protocol message from a known atom or none
            uint32_t type = s.byte() % 7;
            xcb_atom_t atom = s.byte() % (ATOMS + 1);
            uint32_t time = s.word();
            xcb_client_message_event_t e{};
            e.response_type = XCB_CLIENT_MESSAGE;
            e.data.data32[0] = type;
            e.data.data32[1] = atom;
            e.data.data32[2] = time;
            last_input_handle_message(&e);
            break;
        }
        case 2: { // any words at all
            xcb_client_message_event_t e{};
            e.response_type = XCB_CLIENT_MESSAGE;
            for (auto& w : e.data.data32) w = s.word();
            last_input_handle_message(&e);
            break;
        }
        case 3: now_ms += static_cast<uint32_t>(s.byte()) * 20; break;
        case 4: unreadable[1 + s.byte() % ATOMS] = true; break;
        default:
            if (op & 0x40) debug_on = !debug_on;
            if (op & 0x80) send_fails = !send_fails;
            break;
        }
        if (last_input_quorum() > 31) abort();
    }
    last_input_teardown();
    return 0;
}
