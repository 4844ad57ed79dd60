// The objects of a shipped recording under its prefix, and the manifest that
// names each segment.  A segment is the bytes from one seal's end to the next
// seal's end (the first from byte 0); the closing bytes after a final seal
// that precedes the end-of-data record form a last segment without a seal.
//
//   PREFIX/segment/OOOOOOOOOOOOOOOO        the bytes [start, end) of the file
//   PREFIX/manifest/OOOOOOOOOOOOOOOO.json  that segment's manifest
//
// (O: the start offset in 16 lower-case hex digits).  A manifest is one line
// of JSON in exactly this form, nothing else accepted (strings never need
// escaping: prefixes and version ids hold none of '"', '\\' or controls):
//
//   {"manifest":1,"segment":"KEY","version":"VERSION_ID","start":N,"end":N,
//    "sha256":"HEX","seal":{"offset":N,"time":N,"chain":"HEX","flags":N}}
//
// with "seal":null for a closing segment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "digest.h"

namespace zelship {

// The seal whose frame ends a segment, as the file holds it.
struct SealInfo {
    uint64_t offset = 0; // of the seal's frame: the bytes its chain covers
    uint64_t time = 0;   // the frame's timestamp
    Sha256 chain{};
    uint8_t flags = 0;
    bool operator==(const SealInfo&) const = default;
};

struct Manifest {
    std::string segment; // the segment's key
    std::string version; // the segment's version id
    uint64_t start = 0;
    uint64_t end = 0;
    Sha256 sha256{};
    std::optional<SealInfo> seal;
};

std::string segment_key(const std::string& prefix, uint64_t start);
std::string manifest_key(const std::string& prefix, uint64_t start);
// The start offset a key of this prefix names, and whether it is a segment's
// or a manifest's; false for any other key.
[[nodiscard]] bool parse_key(const std::string& prefix, std::string_view key, uint64_t& start,
                             bool& manifest);

std::string manifest_json(const Manifest& m);
// Strict: exactly the form manifest_json writes.  False with a message.
[[nodiscard]] bool parse_manifest(std::string_view text, Manifest& out, std::string& error);

} // namespace zelship
