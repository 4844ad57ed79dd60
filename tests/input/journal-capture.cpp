#include "journal-capture.h"

#include <systemd/sd-journal.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex journal_mutex;
std::vector<JournalEntry> journal;
} // namespace

std::vector<JournalEntry> journal_entries()
{
    std::lock_guard<std::mutex> lock(journal_mutex);
    return journal;
}

void journal_clear()
{
    std::lock_guard<std::mutex> lock(journal_mutex);
    journal.clear();
}

extern "C" int sd_journal_print_with_location(int priority, const char* /*file*/, const char* /*line*/,
                                              const char* func, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(message.data(), message.size() + 1, format, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(journal_mutex);
    journal.push_back({priority, func != nullptr ? func : "", message});
    return 0;
}
