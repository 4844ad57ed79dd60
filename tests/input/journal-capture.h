// Journal entries written by the modules in this test process, captured
// instead of reaching the systemd journal (this program defines
// sd_journal_print_with_location itself, which the modules then call).
#pragma once

#include <string>
#include <vector>

struct JournalEntry {
    int priority;
    std::string function;
    std::string message;
};

std::vector<JournalEntry> journal_entries();
void journal_clear();
