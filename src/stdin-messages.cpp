// Control messages on standard input while recording: one "keyword value"
// per line, each becoming a footer item; the end of input stops the
// recording.
//
// Lines are assembled across reads: every complete line of a read is
// handled, in order, and an unfinished line is kept until its end arrives.
// A line ends at LF, at CR, or at CR LF (the LF right after a CR, even in the
// next read, ends nothing more).  A line is kept up to 4095 bytes; a longer
// one is handled cut at 4095 bytes and the rest of it, up to its line end,
// is dropped.  At the end of input an unfinished last line is still handled.
#include "stdin-messages.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "debugging.h"
#include "stop.h"
#include "writer.h"

namespace {

constexpr size_t LINE_MAX_BYTES = 4095;

struct Keyword {
    std::string_view word; // the keyword and its one blank
    ZelRecordType type;
};

constexpr Keyword keywords[] = {
    {"app ", ZEL_FOOTER_ITEM_APP}, {"appfmt ", ZEL_FOOTER_ITEM_APPFMT}, {"host ", ZEL_FOOTER_ITEM_HOST},
    {"ip ", ZEL_FOOTER_ITEM_IP},   {"sid ", ZEL_FOOTER_ITEM_SID},       {"tid ", ZEL_FOOTER_ITEM_TID},
};

// The line being assembled, kept between reads; always NUL-terminated.
char line[LINE_MAX_BYTES + 1];
size_t line_length;
// The line in hand went past its bound and was handled: drop up to its end.
bool line_overlong;
// The last byte seen was a CR, so an LF right after it is part of that end.
bool after_cr;

void line_handle()
{
    line[line_length] = '\0';
    stdin_handle_message(line);
    line_length = 0;
}

void line_feed(const char* data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const char ch = data[i];
        const bool lf_of_crlf = after_cr && ch == '\n';
        after_cr = ch == '\r';
        if (lf_of_crlf) continue;
        if (ch == '\r' || ch == '\n') {
            if (line_overlong)
                line_overlong = false;
            else
                line_handle();
            continue;
        }
        if (line_overlong) continue;
        if (line_length == LINE_MAX_BYTES) {
            // the bound is reached and the line goes on: take what we have
            line_handle();
            line_overlong = true;
            continue;
        }
        line[line_length++] = ch;
    }
}

} // namespace

ZelRecordType message_type(const char* msg)
{
    const std::string_view m(msg);
    for (const Keyword& k : keywords)
        if (m.starts_with(k.word)) return k.type;
    return ZEL_TYPE_UNKNOWN;
}

void stdin_handle_message(char* msg)
{
    DEBUG("msg=<%s>", msg);
    const ZelRecordType type = message_type(msg);
    if (type == ZEL_TYPE_UNKNOWN) {
        JOURNAL_ERROR("unknown message type: '%s'", msg);
        return;
    }
    for (const Keyword& k : keywords)
        if (k.type == type) {
            send_footer_item(type, msg + k.word.size());
            return;
        }
}

void stdin_end_of_input()
{
    if (line_length > 0 && !line_overlong) line_handle();
    line_length = 0;
    line_overlong = false;
    after_cr = false;
}

// Set once a read has failed: from then on standard input is not watched.
static bool stdin_broken;

void event_from_stdin()
{
    char buffer[4096] = {};
    const ssize_t n = read(0, buffer, sizeof buffer - 1);
    if (n > 0) {
        line_feed(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
        stdin_end_of_input();
        DEBUG("EOF on stdin -> exiting");
        JOURNAL_INFO("EOF on stdin -> exiting");
        stop_request(EndReason::STDIN_CLOSED);
    } else {
        const int e = errno;
        if (e == EINTR || e == EAGAIN) return;
        DEBUG("failed to read from stdin: %d %s", e, strerror(e));
        JOURNAL_ERROR("failed to read from stdin: %d %s", e, strerror(e));
        // poll keeps reporting such a descriptor readable and every read
        // fails again: the loop would spin and flood the journal
        stdin_broken = true;
    }
}

bool stdin_is_broken()
{
    return stdin_broken;
}
