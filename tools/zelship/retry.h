// Trying a request to the store again with back-off (0.5 s, doubling up to
// 5 s), each failure told on standard error.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "s3.h"

namespace zelship {

// Calls attempt(first) until it answers yes; with `refusal_is_final` a
// refusal that no retry can change (a 4xx answer) ends the trying.
template <typename Attempt>
Response until_taken(const std::string& what, bool refusal_is_final, Attempt attempt)
{
    constexpr std::chrono::milliseconds longest{5000};
    std::chrono::milliseconds delay{500};
    for (bool first = true;; first = false) {
        Response r = attempt(first);
        if (r.ok() || (!r.retry && refusal_is_final)) return r;
        std::fprintf(stderr, "zelship: %s failed: %s; trying again in %.1f s\n", what.c_str(),
                     r.describe().c_str(), static_cast<double>(delay.count()) / 1e3);
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, longest);
    }
}

} // namespace zelship
