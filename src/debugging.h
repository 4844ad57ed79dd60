// Diagnostics: the debug and verbose switches, console lines on standard
// output, and the one way every module writes journal entries.
#pragma once

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdint>

bool debugging();
void debugging_set(bool on);
bool verbose();
void verbose_set(bool on);

// One console line: "HH:MM:SS.mmm function: message\n" (console.h: dropped
// rather than blocking when standard output is not read).
void debug_puts(const char* function, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Raw text, for multi-line dumps.
void debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Broken invariants stop the process in every build type, NDEBUG included,
// reported in the form of a failed assertion with the text of what should hold.
[[noreturn]] void invariant_failed(const char* text, const char* file, unsigned line, const char* function);
#define INVARIANT_AS(function, condition, text)                                                              \
    do {                                                                                                     \
        if (!(condition)) invariant_failed((text), __FILE__, __LINE__, (function));                          \
    } while (0)
#define INVARIANT(condition, text) INVARIANT_AS(__func__, condition, text)

#define PELK_STR2(x) #x
#define PELK_STR(x) PELK_STR2(x)

// Journal entry carrying the call site: CODE_FILE, CODE_LINE and the
// function name.  Written in every mode.
#define JOURNAL_AS(function, priority, ...)                                                                  \
    sd_journal_print_with_location((priority), "CODE_FILE=" __FILE__, "CODE_LINE=" PELK_STR(__LINE__),       \
                                   (function), __VA_ARGS__)
#define JOURNAL(priority, ...) JOURNAL_AS(__func__, (priority), __VA_ARGS__)
#define JOURNAL_ERROR(...) JOURNAL(LOG_ERR, __VA_ARGS__)
#define JOURNAL_INFO(...) JOURNAL(LOG_INFO, __VA_ARGS__)

// Console line in debug mode only, under the calling function's name or a
// given one (for steps that log under a name of their own).
#define DEBUG_AS(function, ...)                                                                              \
    do {                                                                                                     \
        if (debugging()) debug_puts((function), __VA_ARGS__);                                                \
    } while (0)
#define DEBUG(...) DEBUG_AS(__func__, __VA_ARGS__)
// Raw dump piece in debug mode only.
#define DEBUG_RAW(...)                                                                                       \
    do {                                                                                                     \
        if (debugging()) debug_printf(__VA_ARGS__);                                                          \
    } while (0)

// At most per_second events in any one-second window are let through; the
// rest are counted, so that a flood from the display costs a few lines.
class RateLimit {
  public:
    explicit RateLimit(unsigned per_second) : per_second_(per_second) {}
    // Whether this event may be logged; *skipped receives how many were not
    // since the last one that was.
    bool allow(uint64_t now_us, unsigned long* skipped);

  private:
    unsigned per_second_;
    unsigned in_window_ = 0;
    uint64_t window_start_us_ = 0;
    unsigned long skipped_ = 0;
};
