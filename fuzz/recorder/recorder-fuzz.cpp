// Fuzzes the recorder's parsers of outside input; the first byte chooses:
//   0: Base64 values, decoded into a buffer of exactly the room the rest
//      asks for: nothing is written past it, the status is 0 to 4;
//   1: a command line (words split at zero bytes): its refusals (err.h)
//      come back here with a status of 1 to 4, and every value taken is a
//      proper string;
//   2: control messages on standard input, a real pipe on descriptor 0,
//      cut into writes of a size the next byte chooses: what is handled
//      equals what the same bytes give read whole;
//   3: last-input members and messages: hostile member properties (up to
//      4200 bytes), any message words, clock steps; every record handed on
//      holds proper strings and the quorum stays within its bounds.
// The modules' surroundings (the frontend, the writer, the X server's
// property replies, the clock, the journal) are played here.
#include <err.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <csetjmp>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "last-input.h"
#include "stdin-messages.h"
#include "stop.h"
#include "timer.h"
#include "zel.h"

namespace {

std::jmp_buf* refusal = nullptr; // where a refusal of the options returns to
int refusal_status = 0;
std::vector<std::string> items; // footer items handed on, as "type value"
constexpr xcb_atom_t ATOMS = 40;
std::string properties[ATOMS + 1];
uint32_t now_ms = 1000;

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t byte() { return size ? (--size, *data++) : 0; }
    uint32_t word()
    {
        return uint32_t{byte()} << 24 | uint32_t{byte()} << 16 | uint32_t{byte()} << 8 | byte();
    }
};

void proper(const uint8_t* s, size_t max)
{
    if (s != nullptr && std::strlen(reinterpret_cast<const char*>(s)) > max) std::abort();
}

bool stopped = false;

} // namespace

// ---- the surroundings ----------------------------------------------------

extern "C" {
void errx(int status, const char*, ...)
{
    if (refusal == nullptr) std::abort();
    refusal_status = status;
    std::longjmp(*refusal, 1);
}
void err(int status, const char*, ...)
{
    errx(status, "");
}
void warnx(const char*, ...) {}
int sd_journal_print_with_location(int, const char*, const char*, const char*, const char*, ...)
{
    return 0;
}
xcb_get_property_cookie_t xcb_get_property(xcb_connection_t*, uint8_t, xcb_window_t, xcb_atom_t atom,
                                           xcb_atom_t, uint32_t, uint32_t)
{
    return {atom <= ATOMS ? atom : 0};
}
xcb_get_property_reply_t* xcb_get_property_reply(xcb_connection_t*, xcb_get_property_cookie_t cookie,
                                                 xcb_generic_error_t** e)
{
    if (e) *e = nullptr;
    const std::string& v = properties[cookie.sequence];
    if (cookie.sequence == 0) return nullptr;
    auto* r =
        static_cast<xcb_get_property_reply_t*>(std::calloc(1, sizeof(xcb_get_property_reply_t) + v.size()));
    r->format = 8;
    r->value_len = static_cast<uint32_t>(v.size());
    std::memcpy(r + 1, v.data(), v.size());
    return r;
}
void* xcb_get_property_value(const xcb_get_property_reply_t* r)
{
    return const_cast<xcb_get_property_reply_t*>(r + 1);
}
int xcb_get_property_value_length(const xcb_get_property_reply_t* r)
{
    return static_cast<int>(r->value_len);
}
}

void stop_request(StopCause)
{
    stopped = true;
}
void send_footer_item(ZelRecordType type, const char* item)
{
    proper(reinterpret_cast<const uint8_t*>(item), 4095);
    if (std::strpbrk(item, "\r\n")) std::abort();
    items.push_back(std::to_string(type) + " " + item);
}
bool send_record_to_writer(RecordPtr record)
{
    auto* r = reinterpret_cast<ZelLastInput*>(record.release());
    if (r->type != ZEL_LAST_INPUT) std::abort();
    proper(r->user, 4096);
    proper(r->tfn, 4096);
    zel_record_free(r);
    return true;
}
xcb_connection_t* display_connection()
{
    return nullptr;
}
xcb_window_t display_root()
{
    return 1;
}
uint32_t time_in_ms()
{
    return now_ms;
}
uint64_t time_in_us()
{
    return now_ms * 1000ull;
}
int64_t time_monotonic_ms()
{
    return now_ms;
}
timespec time_wall_now()
{
    return timespec{static_cast<time_t>(now_ms / 1000), static_cast<long>(now_ms % 1000) * 1000000};
}

// ---- the parsers -----------------------------------------------------------

namespace {

void base64(Input in)
{
    const size_t room = (in.byte() << 8 | in.byte()) % 4096;
    std::vector<unsigned char> out(room + 1, 0xA5);
    size_t length = room;
    const int status = base64_decode(reinterpret_cast<const char*>(in.data), in.size, out.data(), &length);
    if (status < 0 || status > 4 || out[room] != 0xA5 || (status == 0 && length > room)) std::abort();
}

void command_line(Input in)
{
    // the options record points into the words for the whole run
    static char pool[1025];
    const size_t n = std::min<size_t>(in.size, 1024);
    std::memcpy(pool, in.data, n);
    pool[n] = '\0';
    std::vector<char*> argv{const_cast<char*>("pelk")};
    for (size_t i = 0; i < n; i += std::strlen(pool + i) + 1) {
        const std::string_view w(pool + i);
        for (std::string_view exits : {"-h", "-?", "-v", "-help", "--help", "-version", "--version"})
            if (w == exits) pool[i] = 'x';
        argv.push_back(pool + i);
    }
    std::jmp_buf here;
    refusal = &here;
    if (setjmp(here) == 0)
        cli_parse_arguments(static_cast<int>(argv.size()), argv.data());
    else if (refusal_status < 1 || refusal_status > 4)
        std::abort();
    refusal = nullptr;
    for (const char* v : {app(), appfmt(), host(), ip(), sid(), tfn(), tid(), user()})
        proper(reinterpret_cast<const uint8_t*>(v), 4095 > n ? 4095 : n);
}

// What the messages give when fed through a pipe in writes of `piece` bytes
// (0: all at once), each read by the recorder before the next is written.
std::vector<std::string> messages(const uint8_t* data, size_t size, size_t piece)
{
    items.clear();
    stopped = false;
    int fds[2];
    if (pipe(fds) != 0 || dup2(fds[0], 0) < 0) std::abort();
    close(fds[0]);
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(piece ? piece : size, size - at);
        if (write(fds[1], data + at, n) != static_cast<ssize_t>(n)) std::abort();
        at += n;
        for (int left = 0; ioctl(0, FIONREAD, &left) == 0 && left > 0;) event_from_stdin();
    }
    close(fds[1]);
    while (!stopped) event_from_stdin(); // the rest, then the end of input
    return items;
}

void stdin_lines(Input in)
{
    const size_t piece = 1 + in.byte() * 16u;
    const size_t size = std::min<size_t>(in.size, 60000); // within one pipe's buffer
    if (messages(in.data, size, piece) != messages(in.data, size, 0)) std::abort();
}

void last_input(Input in)
{
    for (auto& p : properties) p.clear();
    now_ms = 1000;
    last_input_setup();
    while (in.size) {
        const uint8_t op = in.byte();
        if (op % 3 == 0) { // a member publishes its property
            std::string& p = properties[1 + in.byte() % ATOMS];
            p.clear();
            for (size_t n = (in.byte() << 8 | in.byte()) % 4200; n-- && in.size;)
                p.push_back(static_cast<char>(in.byte()));
        } else if (op % 3 == 1) { // a message with any words
            xcb_client_message_event_t e{};
            e.response_type = XCB_CLIENT_MESSAGE;
            e.data.data32[0] = in.byte() % 7;
            e.data.data32[1] = in.byte() % (ATOMS + 1);
            e.data.data32[2] = in.word();
            last_input_handle_message(&e);
        } else {
            now_ms += in.byte() * 20u;
        }
        if (last_input_quorum() > 31) std::abort();
    }
    last_input_teardown();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    Input in{data + 1, size - 1};
    switch (data[0] % 4) {
    case 0: base64(in); break;
    case 1: command_line(in); break;
    case 2: stdin_lines(in); break;
    default: last_input(in); break;
    }
    return 0;
}
