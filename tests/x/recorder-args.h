// Sets the recorder's command line for tests that call its modules in
// process: the display (and a file name nobody opens).
#pragma once

#include <string>
#include <vector>

#include "args.h"

inline void use_display(const std::string& display)
{
    static std::vector<std::string> words;
    static std::vector<char*> argv;
    words = {"pelkrecorder-xpra-seamless"};
    words.push_back(display);
    words.emplace_back("/dev/null");
    argv.clear();
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    cli_parse_arguments(static_cast<int>(words.size()), argv.data());
}
