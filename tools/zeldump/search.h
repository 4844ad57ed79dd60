// Search across recordings: window titles, the programs behind the windows,
// who had input, footer items, gaps and end reasons, found in every recording
// of a directory by reading only the records that hold them (image, cursor
// and copy records are passed over by their lengths).
//
// Used by `zeldump --search TEXT FILE_OR_DIR` and by `zeldump --serve` for
// GET /search?q=TEXT.  Thread-safe: every call opens its own readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelsearch {

// Longest query, in bytes (a window title holds at most 4096).
constexpr size_t max_query_bytes = 1024;
// A search stops after this many hits (and says so in a note).
constexpr size_t max_hits = 10000;

// One place in a recording where the query was found, or a note about a
// recording that could not be searched whole.
struct Hit {
    std::string file;       // the file's name inside the directory (bytes as given)
    double time = 0;        // seconds since the recording's header (as the player counts)
    uint64_t timestamp = 0; // microseconds since the epoch (0 when nothing could be read)
    // title    a window's title, when shown or renamed
    // program  a window's program: command line, then WM_CLASS instance and class, pid and uid
    // user     the recorded user of the header (and tfn)
    // input    who gave the last input (user and tfn)
    // app, host, address, session, ticket, app-format
    //          footer items
    // gap      an interruption: its cause, length and detail
    // end      the end reason
    // note     not a hit: damage, truncation, a file still being written or
    //          unreadable, the hit limit (listed whatever the query)
    std::string kind;
    std::string text; // as recorded (may not be UTF-8), or the words of a note
};

// Every hit of query in the recording or directory open at fd: a regular file
// is searched as `name`; a directory's regular *.zel files directly inside it
// (opened relative to fd, never following a symbolic link) in name order.
// The hits of each file are in time order.  Matching ignores case in valid
// UTF-8 (simple case mapping) and compares bytes that are not UTF-8 as they
// are; the empty query, or one longer than max_query_bytes, matches nothing.
// A damaged file gives its hits around the damage and a note; a file being
// written is searched as far as it is written.
std::vector<Hit> search(int fd, const std::string& name, const std::string& query);

// The hits as a JSON array of {"file", "time", "timestamp", "kind", "text"}
// objects, one a line; a file name or text that is not valid UTF-8 gets
// U+FFFD and a "file_base64" or "text_base64" member with its bytes.
std::string to_json(const std::vector<Hit>& hits);

// search() as JSON: what GET /search?q=TEXT answers (Content-Type
// application/json).
inline std::string search_json(int fd, const std::string& name, const std::string& query)
{
    return to_json(search(fd, name, query));
}

} // namespace zelsearch
