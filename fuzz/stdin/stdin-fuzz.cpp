// Fuzzes the control messages on standard input.  The first two bytes choose
// how the rest is cut into writes (1 byte up to past the read size); the
// rest is what arrives on descriptor 0, a pipe, read by event_from_stdin
// after every write, then the end of input.  The same bytes are then sent
// again in as few reads as possible: what is handled must not depend on how
// the input was cut.  Every footer item handed on must be a proper string
// without line ends, its line no longer than 4095 bytes; the end of input
// must stop the recording exactly once; nothing may leak.
//
// The frontend (footer items, stop), the console and the journal are played
// here.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "debugging.h"
#include "frontend.h"
#include "stdin-messages.h"
#include "zel.h"

namespace {

constexpr size_t LINE_MAX_BYTES = 4095;

// What was handled, in order: footer items and journal lines.
std::vector<std::string> handled;
int stops = 0;
bool debug_on = false;

size_t keyword_size(ZelRecordType type)
{
    switch (type) {
    case ZEL_FOOTER_ITEM_APP: return 4;
    case ZEL_FOOTER_ITEM_APPFMT: return 7;
    case ZEL_FOOTER_ITEM_HOST: return 5;
    case ZEL_FOOTER_ITEM_IP: return 3;
    case ZEL_FOOTER_ITEM_SID: return 4;
    case ZEL_FOOTER_ITEM_TID: return 4;
    default: abort(); // not a footer item
    }
}

__attribute__((format(printf, 1, 0))) std::string format_text(const char* format, va_list args)
{
    char buffer[2 * LINE_MAX_BYTES];
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) abort();
    return std::string(buffer,
                       static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

} // namespace

// ---- the surroundings --------------------------------------------------

void send_footer_item_to_backend(ZelRecordType type, const char* item)
{
    if (item == nullptr) abort();
    size_t n = strlen(item);
    if (keyword_size(type) + n > LINE_MAX_BYTES) abort();
    if (memchr(item, '\n', n) != nullptr || memchr(item, '\r', n) != nullptr) abort();
    handled.push_back(std::to_string(static_cast<int>(type)) + ":" + item);
}
void frontend_stop()
{
    stops++;
}
bool debugging()
{
    return debug_on;
}
void debug_puts(const char*, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_text(format, args);
    va_end(args);
}
extern "C" int sd_journal_print_with_location(int priority, const char*, const char*, const char*,
                                              const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = format_text(format, args);
    va_end(args);
    if (priority == LOG_ERR) {
        // an unknown message: the line is quoted whole
        if (text.size() > LINE_MAX_BYTES + 64) abort();
        handled.push_back("journal:" + text);
    }
    return 0;
}

// ---- the feeding ----------------------------------------------------------

namespace {

// Writes one piece into the pipe on descriptor 0 and reads until it is empty.
void deliver(int writer, const uint8_t* data, size_t n)
{
    while (n > 0) {
        ssize_t w = write(writer, data, n);
        if (w <= 0) abort();
        data += w;
        n -= static_cast<size_t>(w);
        for (;;) {
            int pending = 0;
            if (ioctl(0, FIONREAD, &pending) != 0) abort();
            if (pending == 0) break;
            event_from_stdin();
        }
    }
}

// One pass over the input: the pieces' sizes come from the generator; a
// zero maximum sends everything at once.
std::vector<std::string> pass(const uint8_t* data, size_t size, uint32_t max_piece, uint32_t seed)
{
    int fds[2];
    if (pipe(fds) != 0 || dup2(fds[0], 0) < 0) abort();
    close(fds[0]);
    handled.clear();
    stops = 0;
    uint32_t state = seed | 1;
    size_t at = 0;
    while (at < size) {
        size_t piece = size - at;
        if (max_piece != 0) {
            state = state * 1103515245 + 12345;
            size_t cut = 1 + (state >> 8) % max_piece;
            if (cut < piece) piece = cut;
        }
        if (piece > 16384) piece = 16384; // well within the pipe's room
        deliver(fds[1], data + at, piece);
        at += piece;
    }
    if (stops != 0) abort(); // only the end of input stops
    close(fds[1]);
    event_from_stdin();
    if (stops != 1) abort();
    if (stdin_is_broken()) abort();
    // descriptor 0 stays open until the next pass replaces it, so that pass's
    // pipe never gets 0 itself
    return std::move(handled);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    uint32_t max_piece = 1 + static_cast<uint32_t>(data[0] & 0x7F) * 40; // 1 .. 5081
    uint32_t seed = data[1];
    debug_on = (data[0] & 0x80) != 0;
    data += 2;
    size -= 2;
    std::vector<std::string> cut = pass(data, size, max_piece, seed);
    std::vector<std::string> whole = pass(data, size, 0, 0);
    if (cut != whole) abort();
    return 0;
}
