// A recording as the store holds it under its prefix.  The manifests say what
// the recording is: for each manifest key its first version counts (Object
// Lock keeps it; a later version or a delete marker cannot replace it), and
// the manifests must follow each other from byte 0 without a gap.  Every
// other object version under the prefix is a problem, except a copy of the
// version that counts (the same MD5 and size).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bucket.h"
#include "manifest.h"
#include "s3.h"

namespace zelship {

struct Shipped {
    std::vector<Manifest> segments;         // from byte 0 on, in order
    std::map<uint64_t, Manifest> manifests; // every readable manifest (first versions), by start
    std::vector<std::string> problems;      // one line each
    // Versions of segment keys that no manifest names, by start offset.
    std::map<uint64_t, std::vector<ObjectVersion>> unnamed;
    uint64_t size() const { return segments.empty() ? 0 : segments.back().end; }
};

// Lists the prefix and reads every manifest (by version id).
[[nodiscard]] Response load_shipped(Client& client, Shipped& out);

} // namespace zelship
