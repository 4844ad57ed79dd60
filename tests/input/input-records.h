// What the recorder wrote, read back for checking: last-input records,
// cursor positions and lines of standard output.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "x-harness.h"
#include "zel.h"

namespace input_test {

// A last-input record as read back: user and tfn, "<null>" for a null field.
struct Credit {
    std::string user;
    std::string tfn;
    bool operator==(const Credit&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const Credit& c)
{
    return o << "{" << c.user << ", " << c.tfn.substr(0, 40) << (c.tfn.size() > 40 ? "..." : "") << "}";
}

inline std::string field(const uint8_t* s)
{
    return s != nullptr ? reinterpret_cast<const char*>(s) : "<null>";
}

struct Recording {
    ZelReadStatus status = ZEL_READ_ERROR;      // status after the last record
    std::vector<Credit> credits;                // ZelLastInput records in order
    std::vector<std::pair<int, int>> positions; // ZelCursorPosition records in order
    size_t records = 0;
};

// The last-input and cursor-position records among these.
inline Recording summarise(const xtest::Records& records, ZelReadStatus status)
{
    Recording r;
    r.status = status;
    r.records = records.size();
    for (const auto& record : records) {
        if (record->type == ZEL_LAST_INPUT) {
            auto* li = reinterpret_cast<const ZelLastInput*>(record.get());
            r.credits.push_back({field(li->user), field(li->tfn)});
        } else if (record->type == ZEL_CURSOR_POSITION) {
            auto* cp = reinterpret_cast<const ZelCursorPosition*>(record.get());
            r.positions.emplace_back(cp->x, cp->y);
        }
    }
    return r;
}

// Reads the file as far as it goes (it may still be growing).
inline Recording read_recording(const std::string& path)
{
    xtest::Recording whole = xtest::read_recording(path);
    return summarise(whole.records, whole.status);
}

inline bool has_position(const Recording& r, int x, int y)
{
    for (auto& p : r.positions)
        if (p == std::pair<int, int>(x, y)) return true;
    return false;
}

// Waits (inotify, through the harness) until the file holds a cursor
// position at (x, y).
inline Recording wait_for_position(const std::string& path, int x, int y)
{
    xtest::Recording whole = xtest::wait_for_records(path, [&](const xtest::Records& records) {
        return has_position(summarise(records, ZEL_READ_RECORD), x, y);
    });
    return summarise(whole.records, whole.status);
}

// Lines of text that start with prefix, without it.
inline std::vector<std::string> lines_with(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
        pos = end + 1;
    }
    return out;
}

// A last-input ClientMessage as a member sends it.
inline xcb_client_message_event_t message(uint32_t type, xcb_atom_t atom, uint32_t time)
{
    xcb_client_message_event_t e{};
    e.response_type = XCB_CLIENT_MESSAGE;
    e.format = 32;
    e.data.data32[0] = type;
    e.data.data32[1] = atom;
    e.data.data32[2] = time;
    return e;
}

} // namespace input_test
