// zeldump: lists, checks and exports ZEL recordings.
//
//   zeldump FILE                 one line per record
//   zeldump --json FILE          one JSON object per record
//   zeldump --stats FILE         counts, bytes, duration, compression, frames
//   zeldump --verify [--key PUBLIC_FILE] FILE
//                                exit 0 complete, 2 truncated, 3 corrupt, 4 not authentic
//   zeldump --keygen SECRET_FILE PUBLIC_FILE
//   zeldump --png DIR [--every S | --at S ...] FILE
//   zeldump --video OUT [--fps N] FILE
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <sodium.h>

#include "serve.h"
#include "zel.h"

extern char** environ;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_usage = 1;
constexpr int exit_truncated = 2;
constexpr int exit_corrupt = 3;
constexpr int exit_not_authentic = 4;

const char* const usage_text =
    "usage: zeldump [OPTIONS] FILE\n"
    "       zeldump --keygen SECRET_FILE PUBLIC_FILE\n"
    "       zeldump --serve [ADDRESS:]PORT FILE_OR_DIR\n"
    "\n"
    "Lists, checks and exports a ZEL recording.\n"
    "\n"
    "  (no option)        one line per record: byte offset, type, seconds since the\n"
    "                     header's timestamp, and the record's fields\n"
    "  --json             one JSON object per record instead (strings that are not\n"
    "                     UTF-8 get U+FFFD and a NAME_base64 field with their bytes)\n"
    "  --stats            records and bytes per type, duration, frames, compression\n"
    "                     ratio, seals\n"
    "  --verify           check every checksum, decode every image, and check the hash\n"
    "                     chain and the signatures of the seals; one line says what was\n"
    "                     checked. Exit 0 complete and sealed, 2 truncated (the line says\n"
    "                     how far it is sealed), 3 corrupt, 4 not authentic\n"
    "  --key PUBLIC_FILE  with --verify: every seal must be signed with this key\n"
    "  --keygen SECRET_FILE PUBLIC_FILE\n"
    "                     write a new Ed25519 key pair for signing recordings (the secret\n"
    "                     key file with mode 0600); never overwrites a file\n"
    "  --png DIR          write frames as PNG files DIR/frame-SSSSSS.mmm.png (seconds since\n"
    "                     the header), the cursor drawn; with --every SECONDS a frame at\n"
    "                     each step, with --at SECONDS (repeatable) the frame at that time,\n"
    "                     with neither the last frame\n"
    "  --video FILE       encode the recording with ffmpeg (H.264, yuv420p) at its frame\n"
    "                     rate: the median interval of its image records, or --fps N\n"
    "                     (default 10 when the recording has too few images). When the\n"
    "                     screen size changes, every frame is padded with black at the\n"
    "                     right and bottom to the largest size in the recording (rounded\n"
    "                     up to even numbers)\n"
    "  --no-cursor        leave the cursor out of PNG and video frames\n"
    "  --quiet            no progress lines on standard error\n"
    "  --serve [ADDRESS:]PORT FILE_OR_DIR\n"
    "                     serve the browser player and the recording(s) over HTTP\n"
    "                     (127.0.0.1 unless ADDRESS is given); prints the URL to open\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 success; 1 bad usage, unreadable file or key file, or failed export;\n"
    "for listing, --json, --stats and --verify 2 when the recording is truncated and 3\n"
    "when it is corrupt (the readable records before the damage are still listed);\n"
    "--verify 4 when it is not authentic. Exports use the readable records and warn\n"
    "about damage on standard error.\n";

struct Options {
    bool json = false;
    bool stats = false;
    bool verify = false;
    std::string png_dir;
    std::string video;
    double every = 0;
    std::vector<double> at;
    double fps = 0;
    bool cursor = true;
    bool quiet = false;
    std::string key;
    std::string keygen_secret;
    std::string keygen_public;
    std::string file;
};

struct ReaderDeleter {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
struct ReplayDeleter {
    void operator()(ZelReplay* r) const { zel_replay_free(r); }
};
struct RecordDeleter {
    void operator()(ZelRecord* r) const { zel_record_free(r); }
};
using Reader = std::unique_ptr<ZelReader, ReaderDeleter>;
using Replay = std::unique_ptr<ZelReplay, ReplayDeleter>;
using Record = std::unique_ptr<ZelRecord, RecordDeleter>;

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

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_length(const uint8_t* p, size_t n)
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
    return len;
}

// A JSON string literal, or null; bytes that are not UTF-8 become U+FFFD,
// and *valid tells whether there were any.
std::string quoted(const uint8_t* s, bool* valid = nullptr)
{
    if (valid != nullptr) *valid = true;
    if (s == nullptr) return "null";
    std::string out = "\"";
    const size_t n = std::strlen(reinterpret_cast<const char*>(s));
    for (size_t i = 0; i < n;) {
        const uint8_t c = s[i];
        size_t len = utf8_length(s + i, n - i);
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

std::string base64(const uint8_t* p, size_t n)
{
    std::string out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
    out.pop_back(); // the NUL
    return "\"" + out + "\"";
}

std::string hex(const uint8_t* p, size_t n)
{
    std::string out = "\"";
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out + "\"";
}

// Fields of one record as (name, JSON value) pairs.
struct Fields : std::vector<std::pair<std::string, std::string>> {
    void num(const char* name, long long v) { emplace_back(name, std::to_string(v)); }
    void word(const char* name, const char* v)
    {
        emplace_back(name, quoted(reinterpret_cast<const uint8_t*>(v)));
    }
    // A string of the recording; one that is not valid UTF-8 also gets
    // NAME_base64 with its bytes.
    void text(const char* name, const uint8_t* s)
    {
        bool valid = true;
        emplace_back(name, quoted(s, &valid));
        if (!valid)
            emplace_back(std::string(name) + "_base64",
                         base64(s, std::strlen(reinterpret_cast<const char*>(s))));
    }
};

void header_fields(Fields& f, const ZelHeader* h)
{
    f.num("version", h->version);
    f.num("depth", h->depth);
    f.num("width", h->width);
    f.num("height", h->height);
    f.word("pixel_format", format_name(h->pixel_format));
    f.num("scanline_pad", h->scanline_pad);
    f.num("palette_size", h->palette_size);
    f.num("min_keycode", h->min_keycode);
    f.num("max_keycode", h->max_keycode);
    f.text("user", h->user);
    f.text("tfn", h->tfn);
}

// Images of both kinds (and keyframes).
template <typename T>
void image_fields(Fields& f, const T* i)
{
    f.num("x", i->x);
    f.num("y", i->y);
    f.num("width", i->width);
    f.num("height", i->height);
    f.word("pixel_format", format_name(i->pixel_format));
    f.num("scanline_pad", i->scanline_pad);
    if constexpr (std::is_same_v<T, ZelImage>) f.num("bytes_per_line", i->bytes_per_line);
    f.num("length", i->length);
    if constexpr (std::is_same_v<T, ZelCompressedImage>) f.num("compressed_length", i->compressed_length);
}

// Cursor images of both kinds.
template <typename T>
void cursor_fields(Fields& f, const T* c)
{
    f.num("x", c->x);
    f.num("y", c->y);
    f.num("width", c->width);
    f.num("height", c->height);
    f.num("xhot", c->xhot);
    f.num("yhot", c->yhot);
    f.num("cursor_serial", c->cursor_serial);
    f.num("pixels", c->length);
    if constexpr (std::is_same_v<T, ZelCompressedCursorImage>)
        f.num("compressed_length", c->compressed_length);
}

// The rectangles as [[src_x, src_y, width, height, dst_x, dst_y], ...].
void copy_fields(Fields& f, const ZelCopy* c)
{
    std::string rects = "[";
    for (uint32_t i = 0; i < c->count; ++i) {
        const ZelCopyRect& e = c->rects[i];
        char b[96];
        std::snprintf(b, sizeof b, "%s[%d,%d,%u,%u,%d,%d]", i ? "," : "", e.src_x, e.src_y, e.width, e.height,
                      e.dst_x, e.dst_y);
        rects += b;
    }
    f.num("count", c->count);
    f.emplace_back("rects", rects + "]");
}

void seal_fields(Fields& f, const ZelSeal* s)
{
    const bool is_signed = (s->flags & ZEL_SEAL_SIGNED) != 0;
    f.num("sealed_bytes", static_cast<long long>(s->offset));
    f.emplace_back("chain", hex(s->chain, sizeof s->chain));
    f.emplace_back("signed", is_signed ? "true" : "false");
    f.emplace_back("final", (s->flags & ZEL_SEAL_FINAL) ? "true" : "false");
    f.emplace_back("key_id", is_signed ? hex(s->key_id, sizeof s->key_id) : "null");
    f.emplace_back("signature", is_signed ? hex(s->signature, sizeof s->signature) : "null");
    f.emplace_back("public_key",
                   (s->flags & ZEL_SEAL_PUBLIC_KEY) ? hex(s->public_key, sizeof s->public_key) : "null");
}

bool is_image(uint8_t type)
{
    return type == ZEL_IMAGE || type == ZEL_COMPRESSED_IMAGE || type == ZEL_IMAGE_BLOCKS ||
           type == ZEL_COMPRESSED_IMAGE_BLOCKS || type == ZEL_KEYFRAME || type == ZEL_COPY;
}

template <typename T>
const T* as(const ZelRecord* r)
{
    return reinterpret_cast<const T*>(r);
}

Fields fields_of(const ZelRecord* r)
{
    Fields f;
    switch (r->type) {
    case ZEL_HEADER: header_fields(f, as<ZelHeader>(r)); break;
    case ZEL_IMAGE: image_fields(f, as<ZelImage>(r)); break;
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: image_fields(f, as<ZelCompressedImage>(r)); break;
    case ZEL_IMAGE_BLOCKS: f.num("length", as<ZelImageBlocks>(r)->length); break;
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        f.num("length", as<ZelCompressedImageBlocks>(r)->length);
        f.num("compressed_length", as<ZelCompressedImageBlocks>(r)->compressed_length);
        break;
    case ZEL_CURSOR_IMAGE: cursor_fields(f, as<ZelCursorImage>(r)); break;
    case ZEL_COMPRESSED_CURSOR_IMAGE: cursor_fields(f, as<ZelCompressedCursorImage>(r)); break;
    case ZEL_CURSOR_POSITION:
        f.num("x", as<ZelCursorPosition>(r)->x);
        f.num("y", as<ZelCursorPosition>(r)->y);
        break;
    case ZEL_SCREEN_CHANGE:
        f.num("width", as<ZelScreenChange>(r)->width);
        f.num("height", as<ZelScreenChange>(r)->height);
        break;
    case ZEL_LAST_INPUT:
        f.text("user", as<ZelLastInput>(r)->user);
        f.text("tfn", as<ZelLastInput>(r)->tfn);
        break;
    case ZEL_COPY: copy_fields(f, as<ZelCopy>(r)); break;
    case ZEL_SEAL: seal_fields(f, as<ZelSeal>(r)); break;
    default: // the footer items
        if (r->type != ZEL_DONE) f.text("item", as<ZelFooterItem>(r)->item);
        break;
    }
    return f;
}

// Seconds of a timestamp relative to the recording's start.
struct Clock {
    bool known = false;
    uint64_t base = 0;
    void see(const ZelRecord* r)
    {
        if (!known) {
            known = true;
            base = r->timestamp;
        }
    }
    double seconds(uint64_t t) const
    {
        return known ? (static_cast<double>(t) - static_cast<double>(base)) / 1e6 : 0.0;
    }
};

// Keyframes and seals are shown: every frame of the file is listed and checked.
Reader open_reader(const std::string& file, bool keyframes = true)
{
    Reader r(zel_reader_open(file.c_str()));
    if (!r) std::fprintf(stderr, "zeldump: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
    if (r) zel_reader_show_keyframes(r.get(), keyframes ? 1 : 0);
    if (r) zel_reader_show_seals(r.get(), keyframes ? 1 : 0);
    return r;
}

// One line about the reader's final status on standard error; the exit status.
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

// Progress on standard error about once a second.
class Progress {
  public:
    Progress(const char* what, bool quiet) : what_(what), quiet_(quiet), tty_(::isatty(2) != 0) {}
    void update(double fraction, uint64_t frames)
    {
        if (quiet_) return;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::seconds(1)) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "%szeldump: %s: %" PRIu64 " frames, %.0f%% of the recording%s", tty_ ? "\r" : "",
                     what_, frames, fraction * 100.0, tty_ ? "" : "\n");
    }
    void finish(uint64_t frames)
    {
        if (quiet_) return;
        if (shown_ || frames > 0)
            std::fprintf(stderr, "%szeldump: %s: %" PRIu64 " frames written\n", tty_ && shown_ ? "\r" : "",
                         what_, frames);
    }

  private:
    const char* what_;
    bool quiet_;
    bool tty_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

int list_records(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Clock clock;
    ZelReadStatus s;
    for (;;) {
        ZelRecord* raw = nullptr;
        s = zel_reader_next(reader.get(), &raw);
        if (s != ZEL_READ_RECORD) break;
        Record r(raw);
        clock.see(r.get());
        const char* type = zel_record_type_to_string(static_cast<ZelRecordType>(r->type));
        uint64_t offset = zel_reader_record_offset(reader.get());
        if (o.json) {
            std::printf("{\"offset\":%" PRIu64 ",\"type\":\"%s\",\"time\":%.6f,\"timestamp\":%" PRIu64
                        ",\"size\":%" PRIu64,
                        offset, type, clock.seconds(r->timestamp), r->timestamp,
                        zel_reader_record_size(reader.get()));
            for (const auto& [k, v] : fields_of(r.get())) std::printf(",\"%s\":%s", k.c_str(), v.c_str());
            std::printf("}\n");
        } else {
            std::printf("%10" PRIu64 " %-23s %+12.6f", offset, type, clock.seconds(r->timestamp));
            for (const auto& [k, v] : fields_of(r.get())) std::printf(" %s=%s", k.c_str(), v.c_str());
            std::printf("\n");
        }
    }
    std::fflush(stdout);
    return report_status(o.file, reader.get(), s, false);
}

// What --stats says about the seals (their bytes are checked by --verify).
struct SealSummary {
    uint64_t count = 0;
    uint64_t signed_count = 0;
    std::string key_ids;
    void see(const ZelSeal* s)
    {
        ++count;
        if (!(s->flags & ZEL_SEAL_SIGNED)) return;
        ++signed_count;
        std::string id = hex(s->key_id, sizeof s->key_id);
        id = id.substr(1, id.size() - 2);
        for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (key_ids.find(id) == std::string::npos) key_ids += (key_ids.empty() ? "" : ", ") + id;
    }
    std::string text(unsigned version) const
    {
        if (version < 2) return "none (format version 1)";
        std::string out = std::to_string(count);
        if (signed_count == 0) return out + ", unsigned";
        return out + ", " + std::to_string(signed_count) + " signed with key " + key_ids;
    }
};

// What --stats counts while reading.
struct Stats {
    struct PerType {
        uint64_t count = 0;
        uint64_t bytes = 0;
    };
    std::map<std::string, PerType> types;
    Clock clock;
    uint64_t records = 0, bytes = 16, first = 0, last = 0;
    uint64_t uncompressed = 0, compressed = 0, full = 0, block_frames = 0;
    std::vector<std::pair<uint16_t, uint16_t>> sizes;
    std::string format = "none";
    SealSummary seals;

    void image_data(uint32_t length, uint32_t compressed_length, uint64_t& frames)
    {
        uncompressed += length;
        compressed += compressed_length;
        ++frames;
    }
    void see(const ZelRecord* r, uint64_t frame_bytes)
    {
        clock.see(r);
        first = records++ == 0 ? r->timestamp : first;
        last = std::max(last, r->timestamp);
        PerType& t = types[zel_record_type_to_string(static_cast<ZelRecordType>(r->type))];
        ++t.count;
        t.bytes += frame_bytes;
        bytes += frame_bytes;
        switch (r->type) {
        case ZEL_HEADER:
            format = format_name(as<ZelHeader>(r)->pixel_format);
            sizes.emplace_back(as<ZelHeader>(r)->width, as<ZelHeader>(r)->height);
            break;
        case ZEL_SCREEN_CHANGE:
            sizes.emplace_back(as<ZelScreenChange>(r)->width, as<ZelScreenChange>(r)->height);
            break;
        case ZEL_COMPRESSED_IMAGE:
            image_data(as<ZelCompressedImage>(r)->length, as<ZelCompressedImage>(r)->compressed_length, full);
            break;
        case ZEL_COMPRESSED_IMAGE_BLOCKS:
            image_data(as<ZelCompressedImageBlocks>(r)->length,
                       as<ZelCompressedImageBlocks>(r)->compressed_length, block_frames);
            break;
        case ZEL_IMAGE: ++full; break;
        case ZEL_IMAGE_BLOCKS: ++block_frames; break;
        case ZEL_SEAL: seals.see(as<ZelSeal>(r)); break;
        default: break;
        }
    }
    void print(const std::string& file, ZelReader* reader, ZelReadStatus s) const
    {
        double duration = records ? static_cast<double>(last - std::min(first, clock.base)) / 1e6 : 0;
        std::printf("file: %s\nstatus: %s", file.c_str(),
                    s == ZEL_READ_END ? "complete" : zel_read_status_to_string(s));
        if (s != ZEL_READ_END)
            std::printf(" at byte %" PRIu64 " (%s)", zel_reader_problem_offset(reader),
                        zel_reader_problem(reader));
        std::printf("\nrecords: %" PRIu64 "\nbytes: %" PRIu64 " of %" PRIu64 " in the file\n", records, bytes,
                    zel_reader_size(reader));
        std::printf("duration: %.3f s\npixel format: %s\nscreen sizes:", duration, format.c_str());
        for (auto [w, h] : sizes) std::printf(" %ux%u", w, h);
        std::printf("\nframes: %" PRIu64 " (%" PRIu64 " full images, %" PRIu64 " block updates)",
                    full + block_frames, full, block_frames);
        if (duration > 0)
            std::printf(", %.2f per second", static_cast<double>(full + block_frames) / duration);
        std::printf("\nimage data: %" PRIu64 " bytes uncompressed, %" PRIu64 " compressed", uncompressed,
                    compressed);
        if (compressed > 0)
            std::printf(", ratio %.2f", static_cast<double>(uncompressed) / static_cast<double>(compressed));
        std::printf("\nseals: %s", seals.text(zel_reader_format_version(reader)).c_str());
        std::printf("\n%-24s %10s %14s\n", "type", "count", "bytes");
        for (const auto& [name, t] : types)
            std::printf("%-24s %10" PRIu64 " %14" PRIu64 "\n", name.c_str(), t.count, t.bytes);
    }
};

int show_stats(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Stats stats;
    ZelReadStatus s;
    ZelRecord* raw = nullptr;
    while ((s = zel_reader_next(reader.get(), &raw)) == ZEL_READ_RECORD) {
        Record r(raw);
        stats.see(r.get(), zel_reader_record_size(reader.get()));
    }
    stats.print(o.file, reader.get(), s);
    std::fflush(stdout);
    return report_status(o.file, reader.get(), s, false);
}

std::string key_id_text(const uint8_t id[ZEL_KEY_ID_BYTES])
{
    std::string h = hex(id, ZEL_KEY_ID_BYTES);
    h = h.substr(1, h.size() - 2);
    for (char& c : h) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return h;
}

// What the seals of a readable recording prove, for the verification line.
std::string seal_text(const ZelVerification& v, bool key_given)
{
    if (v.format_version < 2) return "unsealed (format version 1)";
    std::string out = std::to_string(v.seals) + (v.seals == 1 ? " seal holds" : " seals hold");
    if (!v.is_signed) return out + ", unsigned";
    out += ", signed with key " + key_id_text(v.key_id);
    return out + (v.key_checked ? " (the given key)"
                  : key_given   ? ""
                                : " (no key given to check it against)");
}

std::string sealed_prefix(const ZelVerification& v)
{
    if (v.format_version < 2) return "unsealed (format version 1)";
    if (v.seals == 0) return "nothing is sealed";
    char b[160];
    double seconds = v.header_time > 0 && v.sealed_time >= v.header_time
                         ? static_cast<double>(v.sealed_time - v.header_time) / 1e6
                         : 0.0;
    std::snprintf(b, sizeof b, "sealed up to byte %" PRIu64 " (%.3f s), the rest is unsealed", v.sealed_bytes,
                  seconds);
    return b;
}

int verify(const Options& o)
{
    uint8_t key[ZEL_PUBLIC_KEY_BYTES];
    char message[512];
    if (!o.key.empty() && zel_key_read_public(o.key.c_str(), key, message, sizeof message) != 0) {
        std::fprintf(stderr, "zeldump: %s\n", message);
        return exit_usage;
    }
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    ZelVerification v;
    const char* f = o.file.c_str();
    switch (zel_verify(reader.get(), o.key.empty() ? nullptr : key, &v)) {
    case ZEL_VERDICT_COMPLETE:
        std::printf("%s: complete, %" PRIu64 " records, every checksum holds, %s\n", f, v.records,
                    seal_text(v, !o.key.empty()).c_str());
        return exit_ok;
    case ZEL_VERDICT_TRUNCATED:
        std::printf("%s: truncated at byte %" PRIu64 " (%s), %" PRIu64 " good records before it; %s\n", f,
                    v.problem_offset, v.reason, v.records, sealed_prefix(v).c_str());
        return exit_truncated;
    case ZEL_VERDICT_CORRUPT:
        std::printf("%s: corrupt at byte %" PRIu64 ": %s\n", f, v.problem_offset, v.reason);
        return exit_corrupt;
    case ZEL_VERDICT_NOT_AUTHENTIC:
        std::printf("%s: not authentic: %s\n", f, v.reason);
        return exit_not_authentic;
    case ZEL_VERDICT_ERROR: break;
    }
    std::fprintf(stderr, "zeldump: %s: unreadable at byte %" PRIu64 ": %s\n", f, v.problem_offset, v.reason);
    return exit_usage;
}

int keygen(const Options& o)
{
    char message[512];
    uint8_t id[ZEL_KEY_ID_BYTES];
    if (zel_key_generate(o.keygen_secret.c_str(), o.keygen_public.c_str(), id, message, sizeof message) !=
        0) {
        std::fprintf(stderr, "zeldump: %s\n", message);
        return exit_usage;
    }
    std::printf("key %s: secret key in %s, public key in %s\n", key_id_text(id).c_str(),
                o.keygen_secret.c_str(), o.keygen_public.c_str());
    return exit_ok;
}

// ---- frames ----

bool write_png(const std::string& path, const uint8_t* rgba, uint32_t w, uint32_t h)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGBA;
    if (png_image_write_to_file(&image, path.c_str(), 0, rgba, 0, nullptr) == 0) {
        std::fprintf(stderr, "zeldump: cannot write %s: %s\n", path.c_str(), image.message);
        png_image_free(&image);
        return false;
    }
    return true;
}

std::string frame_name(const std::string& dir, double seconds)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "/frame-%010.3f.png", seconds);
    return dir + buf;
}

// Renders the replay as RGBA into buf; false when there is no screen yet.
bool render(const ZelReplay* replay, std::vector<uint8_t>& buf, bool cursor)
{
    if (!zel_replay_has_screen(replay)) return false;
    size_t need = static_cast<size_t>(zel_replay_width(replay)) * zel_replay_height(replay) * 4;
    if (need == 0) return false;
    buf.resize(need);
    return zel_replay_render_rgba(replay, buf.data(), buf.size(), cursor ? 1 : 0) == 0;
}

bool emit_png(const Options& o, const ZelReplay* replay, double seconds, std::vector<uint8_t>& buf)
{
    if (!render(replay, buf, o.cursor)) return true; // nothing to show before the header
    return write_png(frame_name(o.png_dir, seconds), buf.data(), zel_replay_width(replay),
                     zel_replay_height(replay));
}

// Applies a record; damaged image data is reported once and skipped.
void apply(ZelReplay* replay, const ZelRecord* r, uint64_t offset, bool& warned)
{
    if (zel_replay_apply(replay, r) != 0 && !warned && r->type != ZEL_CURSOR_IMAGE &&
        r->type != ZEL_COMPRESSED_CURSOR_IMAGE) {
        warned = true;
        std::fprintf(
            stderr, "zeldump: warning: %s record at byte %" PRIu64 " cannot be applied (%s); skipped\n",
            zel_record_type_to_string(static_cast<ZelRecordType>(r->type)), offset, std::strerror(errno));
    }
}

// Frames at every step of `step` seconds from the start (forward, one pass).
int export_every(const Options& o)
{
    Reader reader = open_reader(o.file, false);
    if (!reader) return exit_usage;
    Replay replay(zel_replay_new());
    Clock clock;
    std::vector<uint8_t> buf;
    Progress progress("png", o.quiet);
    uint64_t frames = 0;
    double next = 0;
    bool warned = false;
    ZelReadStatus s;
    for (;;) {
        ZelRecord* raw = nullptr;
        s = zel_reader_next(reader.get(), &raw);
        if (s != ZEL_READ_RECORD) break;
        Record r(raw);
        clock.see(r.get());
        double t = clock.seconds(r->timestamp);
        while (next < t) {
            if (zel_replay_has_screen(replay.get())) {
                if (!emit_png(o, replay.get(), next, buf)) return exit_usage;
                ++frames;
            }
            next += o.every;
        }
        apply(replay.get(), r.get(), zel_reader_record_offset(reader.get()), warned);
        progress.update(static_cast<double>(zel_reader_record_offset(reader.get())) /
                            static_cast<double>(std::max<uint64_t>(1, zel_reader_size(reader.get()))),
                        frames);
    }
    // The state after the last record stands until its time.
    double end = clock.seconds(zel_replay_time(replay.get()));
    while (next <= end && zel_replay_has_screen(replay.get())) {
        if (!emit_png(o, replay.get(), next, buf)) return exit_usage;
        ++frames;
        next += o.every;
    }
    progress.finish(frames);
    return report_status(o.file, reader.get(), s, true);
}

// What a first pass learns about each record without decoding images.
struct IndexEntry {
    uint64_t offset;
    uint64_t timestamp;
    bool image;
    bool keyframe; // a header, or an image covering the whole screen of its time
};

struct Index {
    std::vector<IndexEntry> entries;
    uint64_t base = 0;
    uint16_t max_width = 0;
    uint16_t max_height = 0;
    std::vector<uint64_t> image_times;
    ZelReadStatus status = ZEL_READ_END;
};

Index build_index(ZelReader* reader)
{
    Index ix;
    uint16_t w = 0, h = 0;
    bool have_base = false;
    for (;;) {
        ZelRecord* raw = nullptr;
        ZelReadStatus s = zel_reader_next(reader, &raw);
        if (s != ZEL_READ_RECORD) {
            ix.status = s;
            break;
        }
        Record r(raw);
        if (!have_base) {
            have_base = true;
            ix.base = r->timestamp;
        }
        IndexEntry e{zel_reader_record_offset(reader), r->timestamp, is_image(r->type), false};
        if (r->type == ZEL_HEADER) {
            auto* hd = reinterpret_cast<const ZelHeader*>(r.get());
            w = hd->width;
            h = hd->height;
            e.keyframe = true;
        } else if (r->type == ZEL_SCREEN_CHANGE) {
            auto* c = reinterpret_cast<const ZelScreenChange*>(r.get());
            w = c->width;
            h = c->height;
        } else if (r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_IMAGE || r->type == ZEL_KEYFRAME) {
            // The two image structures share their geometry's offsets.
            auto* c = reinterpret_cast<const ZelCompressedImage*>(r.get());
            e.keyframe = c->x <= 0 && c->y <= 0 && c->x + c->width >= w && c->y + c->height >= h;
        }
        if (e.image && r->type != ZEL_KEYFRAME) ix.image_times.push_back(r->timestamp);
        ix.max_width = std::max(ix.max_width, w);
        ix.max_height = std::max(ix.max_height, h);
        ix.entries.push_back(e);
    }
    return ix;
}

// Rebuilds the screen as it was at absolute time t: non-image records from the
// start, images only from the last keyframe at or before t.
bool replay_until(ZelReader* reader, const Index& ix, uint64_t t, ZelReplay* replay)
{
    size_t end = 0;
    while (end < ix.entries.size() && ix.entries[end].timestamp <= t) ++end;
    size_t key = 0;
    for (size_t i = end; i-- > 0;)
        if (ix.entries[i].keyframe) {
            key = i;
            break;
        }
    if (end == 0) return true;
    if (zel_reader_seek(reader, ix.entries[0].offset) != 0) return false;
    bool warned = false;
    for (size_t i = 0; i < end; ++i) {
        ZelRecord* raw = nullptr;
        if (zel_reader_next(reader, &raw) != ZEL_READ_RECORD) return false;
        Record r(raw);
        if (ix.entries[i].image && i < key) continue;      // painted over by the keyframe
        if (r->type == ZEL_KEYFRAME && i != key) continue; // the same screen as the records before it
        apply(replay, r.get(), ix.entries[i].offset, warned);
    }
    return true;
}

int export_at(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Index ix = build_index(reader.get());
    std::vector<uint8_t> buf;
    for (double seconds : o.at) {
        Replay replay(zel_replay_new());
        auto t = static_cast<uint64_t>(static_cast<double>(ix.base) + seconds * 1e6);
        if (seconds < 0) t = ix.base;
        if (!replay_until(reader.get(), ix, t, replay.get())) {
            std::fprintf(stderr, "zeldump: %s: cannot read the records again\n", o.file.c_str());
            return exit_usage;
        }
        if (!zel_replay_has_screen(replay.get())) {
            std::fprintf(stderr, "zeldump: no screen at %.3f s\n", seconds);
            continue;
        }
        if (!emit_png(o, replay.get(), seconds, buf)) return exit_usage;
    }
    return report_status(o.file, reader.get(), ix.status, true);
}

int export_last(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Index ix = build_index(reader.get());
    if (ix.entries.empty()) {
        std::fprintf(stderr, "zeldump: %s: no records\n", o.file.c_str());
        return report_status(o.file, reader.get(), ix.status, false);
    }
    Replay replay(zel_replay_new());
    uint64_t t = ix.entries.back().timestamp;
    if (!replay_until(reader.get(), ix, t, replay.get())) return exit_usage;
    std::vector<uint8_t> buf;
    if (!emit_png(o, replay.get(), static_cast<double>(t - ix.base) / 1e6, buf)) return exit_usage;
    return report_status(o.file, reader.get(), ix.status, true);
}

// ---- video ----

double frame_rate(const Options& o, const Index& ix)
{
    if (o.fps > 0) return o.fps;
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < ix.image_times.size(); ++i)
        if (ix.image_times[i] > ix.image_times[i - 1])
            gaps.push_back(ix.image_times[i] - ix.image_times[i - 1]);
    if (gaps.size() < 2) return 10;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    double fps = 1e6 / static_cast<double>(gaps[gaps.size() / 2]);
    return std::clamp(std::round(fps * 100) / 100, 1.0, 60.0);
}

class Encoder {
  public:
    bool start(const std::string& out, uint32_t w, uint32_t h, double fps)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        char size[32], rate[32];
        std::snprintf(size, sizeof size, "%ux%u", w, h);
        std::snprintf(rate, sizeof rate, "%.2f", fps);
        std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error",    "-nostdin",
                                         "-y",     "-f",           "rawvideo",  "-pix_fmt", "rgba",
                                         "-s",     size,           "-r",        rate,       "-i",
                                         "-",      "-c:v",         "libx264",   "-preset",  "veryfast",
                                         "-crf",   "18",           "-pix_fmt",  "yuv420p",  out};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        int rc = posix_spawnp(&pid_, "ffmpeg", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        if (rc != 0) {
            ::close(fds[1]);
            errno = rc;
            return false;
        }
        fd_ = fds[1];
        return true;
    }
    bool write(const uint8_t* p, size_t n)
    {
        while (n > 0) {
            ssize_t k = ::write(fd_, p, n);
            if (k < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    // Closes the pipe and waits; true when ffmpeg succeeded.
    bool finish()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (pid_ <= 0) return false;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~Encoder() { finish(); }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Frames of the video, each the screen at its time padded to W x H.
class VideoFrames {
  public:
    VideoFrames(const Options& o, const Index& ix, Encoder& enc)
        : o_(o), enc_(enc), W_((ix.max_width + 1u) & ~1u), H_((ix.max_height + 1u) & ~1u),
          fps_(frame_rate(o, ix)), first_(ix.base),
          total_(static_cast<uint64_t>(
                     std::floor(static_cast<double>(ix.entries.back().timestamp - ix.base) / 1e6 * fps_)) +
                 1),
          out_(static_cast<size_t>(W_) * H_ * 4)
    {
    }
    bool start()
    {
        if (!o_.quiet)
            std::fprintf(stderr, "zeldump: video: %ux%u at %.2f frames per second, %" PRIu64 " frames\n", W_,
                         H_, fps_, total_);
        return enc_.start(o_.video, W_, H_, fps_);
    }
    // Writes every frame due before time t (all that are left when t is 0).
    bool until(uint64_t t, ZelReplay* replay)
    {
        while (frame_ < total_ && (t == 0 || first_ + static_cast<uint64_t>(frame_ * 1e6 / fps_) < t))
            if (!emit(replay)) return false;
        return true;
    }
    uint64_t frame() const { return frame_; }
    double done() const { return static_cast<double>(frame_) / static_cast<double>(total_); }

  private:
    bool emit(ZelReplay* replay)
    {
        std::fill(out_.begin(), out_.end(), 0);
        for (size_t i = 3; i < out_.size(); i += 4) out_[i] = 255;
        if (render(replay, screen_, o_.cursor)) {
            const size_t w = zel_replay_width(replay), h = zel_replay_height(replay);
            for (size_t y = 0; y < h; ++y)
                std::memcpy(out_.data() + y * W_ * 4, screen_.data() + y * w * 4, w * 4);
        }
        ++frame_;
        return enc_.write(out_.data(), out_.size());
    }
    const Options& o_;
    Encoder& enc_;
    const uint32_t W_, H_;
    const double fps_;
    const uint64_t first_, total_;
    uint64_t frame_ = 0;
    std::vector<uint8_t> screen_, out_;
};

int export_video(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Index ix = build_index(reader.get());
    if (ix.max_width == 0 || ix.max_height == 0 || ix.entries.empty()) {
        std::fprintf(stderr, "zeldump: %s: no screen to encode\n", o.file.c_str());
        return exit_usage;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Encoder enc;
    VideoFrames frames(o, ix, enc);
    if (!frames.start()) {
        std::fprintf(stderr, "zeldump: cannot start ffmpeg: %s\n", std::strerror(errno));
        return exit_usage;
    }
    if (zel_reader_seek(reader.get(), ix.entries[0].offset) != 0) return exit_usage;
    Replay replay(zel_replay_new());
    Progress progress("video", o.quiet);
    bool warned = false, ok = true;
    for (size_t i = 0; i < ix.entries.size() && ok; ++i) {
        ZelRecord* raw = nullptr;
        if (zel_reader_next(reader.get(), &raw) != ZEL_READ_RECORD) break;
        Record r(raw);
        ok = frames.until(r->timestamp, replay.get());
        if (r->type != ZEL_KEYFRAME) apply(replay.get(), r.get(), ix.entries[i].offset, warned);
        progress.update(frames.done(), frames.frame());
    }
    ok = ok && frames.until(0, replay.get());
    const bool encoded = enc.finish();
    progress.finish(frames.frame());
    if (!ok || !encoded) {
        std::fprintf(stderr, "zeldump: ffmpeg failed to encode %s\n", o.video.c_str());
        return exit_usage;
    }
    return report_status(o.file, reader.get(), ix.status, true);
}

bool parse_number(const char* s, double& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s, &end);
    return errno == 0 && end != s && *end == '\0' && std::isfinite(out);
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "zeldump: %s\ntry 'zeldump --help'\n", message.c_str());
    return exit_usage;
}

// One word of the command line (and the values it takes); -1 to go on, or
// the exit status.
int parse_word(int argc, char** argv, int& i, Options& o)
{
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    double d = 0;
    const std::pair<const char*, bool Options::*> flags[] = {{"--json", &Options::json},
                                                             {"--stats", &Options::stats},
                                                             {"--verify", &Options::verify},
                                                             {"--quiet", &Options::quiet}};
    for (auto [name, member] : flags)
        if (a == name) {
            o.*member = true;
            return -1;
        }
    if (a == "--help" || a == "-h") {
        std::fputs(usage_text, stdout);
        return exit_ok;
    }
    if (a == "--no-cursor") {
        o.cursor = false;
    } else if (a == "--keygen") {
        if (i + 2 >= argc) return usage_error("--keygen needs SECRET_FILE and PUBLIC_FILE");
        o.keygen_secret = argv[++i];
        o.keygen_public = argv[++i];
    } else if (a == "--png" || a == "--video" || a == "--key") {
        if (v == nullptr) return usage_error(a + " needs an argument");
        (a == "--png" ? o.png_dir : a == "--key" ? o.key : o.video) = argv[++i];
    } else if (a == "--every" || a == "--at" || a == "--fps") {
        if (v == nullptr || !parse_number(v, d) || d < 0 || (a != "--at" && d <= 0))
            return usage_error(a + " needs a positive number");
        ++i;
        if (a == "--at")
            o.at.push_back(d);
        else
            (a == "--every" ? o.every : o.fps) = d;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
        return usage_error("unknown option " + a);
    } else if (o.file.empty()) {
        o.file = a;
    } else {
        return usage_error("more than one file given (" + a + ")");
    }
    return -1;
}

// Options that do not go together; -1 when they do.
int check_options(const Options& o)
{
    if (o.file.empty()) return usage_error("no recording given");
    if (!o.key.empty() && !o.verify) return usage_error("--key goes with --verify");
    int modes = o.json + o.stats + o.verify + !o.png_dir.empty() + !o.video.empty();
    if (modes > 1) return usage_error("choose one of --json, --stats, --verify, --png, --video");
    if ((o.every > 0 || !o.at.empty()) && o.png_dir.empty())
        return usage_error("--every and --at go with --png");
    if (o.every > 0 && !o.at.empty()) return usage_error("--every and --at exclude each other");
    if (o.fps > 0 && o.video.empty()) return usage_error("--fps goes with --video");
    return -1;
}

int export_png(const Options& o)
{
    struct stat st {};
    if (::stat(o.png_dir.c_str(), &st) != 0 && ::mkdir(o.png_dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "zeldump: cannot create %s: %s\n", o.png_dir.c_str(), std::strerror(errno));
        return exit_usage;
    }
    if (o.every > 0) return export_every(o);
    if (!o.at.empty()) return export_at(o);
    return export_last(o);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) return zeldump_serve(argc - 2, argv + 2);
    Options o;
    for (int i = 1; i < argc; ++i)
        if (int status = parse_word(argc, argv, i, o); status >= 0) return status;
    if (!o.keygen_secret.empty())
        return o.file.empty() ? keygen(o) : usage_error("--keygen takes no recording");
    if (int status = check_options(o); status >= 0) return status;
    if (o.stats) return show_stats(o);
    if (o.verify) return verify(o);
    if (!o.video.empty()) return export_video(o);
    if (!o.png_dir.empty()) return export_png(o);
    return list_records(o);
}
