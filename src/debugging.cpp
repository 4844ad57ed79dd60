// Debug and verbose switches and the console log on standard output.
#include "debugging.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "console.h"
#include "timer.h"

struct debugging_state {
    bool debugging;
    bool verbose;
};

static debugging_state state;

bool debugging()
{
    return state.debugging;
}

void debugging_set(bool on)
{
    state.debugging = on;
}

bool verbose()
{
    return state.verbose;
}

void verbose_set(bool on)
{
    state.verbose = on;
}

void invariant_failed(const char* text, const char* file, unsigned line, const char* function)
{
    std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line,
                 function, text);
    std::abort();
}

// Appends printf-style text to out.
__attribute__((format(printf, 2, 0))) static void append_v(std::string& out, const char* format, va_list args)
{
    char buffer[1024];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    out.append(big.data(), static_cast<size_t>(n));
}

void debug_puts(const char* function, const char* format, ...)
{
    const timespec now = time_wall_now();
    const time_t seconds = now.tv_sec;
    tm local{};
    char clock_text[32] = "";
    if (localtime_r(&seconds, &local) != nullptr) strftime(clock_text, sizeof clock_text, "%H:%M:%S", &local);

    std::string line;
    char head[96];
    std::snprintf(head, sizeof head, "%s.%03d ", clock_text, static_cast<int>(now.tv_nsec / 1000000));
    line += head;
    line += function;
    line += ": ";
    va_list args;
    va_start(args, format);
    append_v(line, format, args);
    va_end(args);
    line += '\n';
    console_line(line);
}

void debug_printf(const char* format, ...)
{
    std::string text;
    va_list args;
    va_start(args, format);
    append_v(text, format, args);
    va_end(args);
    console_line(text);
}

bool RateLimit::allow(uint64_t now_us, unsigned long* skipped)
{
    if (now_us - window_start_us_ >= 1000000) {
        window_start_us_ = now_us;
        in_window_ = 0;
    }
    if (in_window_ >= per_second_) {
        ++skipped_;
        return false;
    }
    ++in_window_;
    *skipped = skipped_;
    skipped_ = 0;
    return true;
}
