// What a bucket holds under a prefix (every version, delete markers too) and
// whether it locks objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "s3.h"

namespace zelship {

struct ObjectVersion {
    std::string key;
    std::string version;
    std::string etag; // without quotes: the MD5 in hex for a single-part upload
    uint64_t size = 0;
    bool delete_marker = false;
    std::string modified; // as the store gives it (ISO 8601)
};

// Every version of every key under the prefix (after the key `after`, when
// given), in the store's order: by key, and within a key the newest first
// (page after page).
[[nodiscard]] Response list_versions(Client& client, const std::string& prefix,
                                     std::vector<ObjectVersion>& out, const std::string& after = {});

// The names of the "folders" right under the prefix (which ends with '/'):
// the part of each key after the prefix up to its next '/', each once, in
// order (ListObjectsV2 with a delimiter, page after page).
[[nodiscard]] Response list_folders(Client& client, const std::string& prefix, std::vector<std::string>& out);

// Whether the bucket was made with Object Lock.
[[nodiscard]] Response object_lock_enabled(Client& client, bool& enabled);

} // namespace zelship
