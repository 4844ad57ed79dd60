// zeldump: text helpers, the reader and the status line that the commands share.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <sodium.h>

#include "store.h"
#include "zeldump.h"

namespace zeldump {

const char* format_name(PixelFormat f)
{
    switch (f) {
    case FORMAT_NOT_FOUND: return "not_found";
    case FORMAT_UNKNOWN: return "unknown";
    case PALETTE8: return "PALETTE8";
    case RGB332: return "RGB332";
    case BGR233: return "BGR233";
    case RGB565: return "RGB565";
    case BGR565: return "BGR565";
    case xRGB8888: return "xRGB8888";
    case xBGR8888: return "xBGR8888";
    case RGBx8888: return "RGBx8888";
    case BGRx8888: return "BGRx8888";
    case ARGB8888: return "ARGB8888";
    case ABGR8888: return "ABGR8888";
    case RGBA8888: return "RGBA8888";
    case BGRA8888: return "BGRA8888";
    }
    return "invalid";
}

size_t utf8_sequence(const uint8_t* p, size_t n, char32_t* code_point)
{
    const uint8_t c = p[0];
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (code_point != nullptr) *code_point = cp;
    return len;
}

std::string quoted(const uint8_t* s, size_t n, bool* valid)
{
    if (valid != nullptr) *valid = true;
    if (s == nullptr) return "null";
    std::string out = "\"";
    for (size_t i = 0; i < n;) {
        const uint8_t c = s[i];
        size_t len = utf8_sequence(s + i, n - i);
        char buf[8];
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            if (valid != nullptr) *valid = false;
            len = 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(reinterpret_cast<const char*>(s + i), len);
        }
        i += len;
    }
    return out + "\"";
}

std::string quoted(const uint8_t* s, bool* valid)
{
    return quoted(s, s != nullptr ? std::strlen(reinterpret_cast<const char*>(s)) : 0, valid);
}

std::string base64(const uint8_t* p, size_t n)
{
    std::string out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
    out.pop_back(); // the NUL
    return "\"" + out + "\"";
}

std::string hex(const uint8_t* p, size_t n)
{
    std::string out(2 * n + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), p, n);
    out.pop_back();
    return "\"" + out + "\"";
}

std::string key_id_text(const uint8_t id[ZEL_KEY_ID_BYTES])
{
    char text[ZEL_KEY_ID_TEXT_BYTES];
    zel_key_id_text(id, text);
    return text;
}

Reader open_reader(const Options& o, bool keyframes)
{
    Reader r(is_store_url(o.file) ? open_store_reader(o) : Reader(zel_reader_open(o.file.c_str())));
    if (!r && !is_store_url(o.file))
        std::fprintf(stderr, "zeldump: cannot open %s: %s\n", o.file.c_str(), std::strerror(errno));
    if (r) zel_reader_show_keyframes(r.get(), keyframes ? 1 : 0);
    if (r) zel_reader_show_seals(r.get(), keyframes ? 1 : 0);
    return r;
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "zeldump: %s\ntry 'zeldump --help'\n", message.c_str());
    return exit_usage;
}

int report_status(const std::string& file, ZelReader* reader, ZelReadStatus s, bool for_export)
{
    if (s == ZEL_READ_END) return exit_ok;
    const char* what = s == ZEL_READ_TRUNCATED ? "truncated"
                       : s == ZEL_READ_CORRUPT ? "corrupt"
                                               : "unreadable";
    std::fprintf(stderr, "zeldump: %s%s: %s at byte %" PRIu64 ": %s\n", for_export ? "warning: " : "",
                 file.c_str(), what, zel_reader_problem_offset(reader), zel_reader_problem(reader));
    if (for_export && s != ZEL_READ_ERROR) return exit_ok;
    if (s == ZEL_READ_TRUNCATED) return exit_truncated;
    if (s == ZEL_READ_CORRUPT) return exit_corrupt;
    return exit_usage;
}

Record RecordStream::next()
{
    for (;;) {
        ZelRecord* raw = nullptr;
        status_ = zel_reader_next(reader_, &raw);
        if (status_ == ZEL_READ_RECORD) {
            after_damage_ = pending_;
            pending_ = false;
            return Record(raw);
        }
        if (status_ != ZEL_READ_CORRUPT) return nullptr;
        damage_from_ = zel_reader_problem_offset(reader_);
        const std::string problem = zel_reader_problem(reader_);
        if (!damaged_) first_damage_ = damage_from_, first_problem_ = problem;
        damaged_ = true;
        ++stretches_;
        const int found = zel_reader_resync(reader_);
        std::fprintf(stderr, "zeldump: %s%s: corrupt at byte %" PRIu64 ": %s; %s\n",
                     for_export_ ? "warning: " : "", file_.c_str(), damage_from_, problem.c_str(),
                     found == 0 ? "reading on at the next intact record" : "nothing intact follows");
        if (found != 0) return nullptr;
        pending_ = true;
    }
}

int RecordStream::finish() const
{
    if (status_ == ZEL_READ_CORRUPT) return for_export_ ? exit_ok : exit_corrupt; // told already
    const int status = report_status(file_, reader_, status_, for_export_);
    if (for_export_ || status == exit_usage) return status;
    return damaged_ ? exit_corrupt : status;
}

} // namespace zeldump
