// Verifying a shipped recording from the store: every segment read back by
// its version id must have its manifest's size and SHA-256 and end with the
// seal its manifest names, the prefix must hold nothing else (see shipped.h),
// and the bytes must verify with libzel as a file does.  The recording is
// read once, in order, through a StoreSource (nothing is kept on disk).
#pragma once

#include <string>
#include <vector>

#include "s3.h"
#include "shipped.h"
#include "zel.h"

namespace zelship {

struct StoreVerdict {
    ZelVerification zel{};             // libzel's verdict on the bytes read back
    std::vector<std::string> problems; // of the store: the prefix's and the segments'
    std::vector<ZelDamage> damage;     // libzel's damaged spans in the bytes read back
    size_t segments = 0;
    uint64_t bytes = 0;
    // Corruption first, then a problem of the store or a seal that fails
    // (not authentic), then truncation, as libzel ranks them.
    ZelVerdict verdict() const;
    // One line of what was checked, or lines of what is wrong.
    std::string text(const std::string& url) const;
};

// With public_key (32 bytes) every seal must be signed by that key.  False
// (the Response says why) when the store could not be read.
[[nodiscard]] Response verify_shipped(Client& client, const Shipped& shipped, const uint8_t* public_key,
                                      StoreVerdict& out);

} // namespace zelship
