// Search across recordings (search.h): the reader passes every picture over
// by its length and returns only the records that hold text.
#include "search.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <vector>

#include "zeldump.h"

namespace zelsearch {
namespace {

using zeldump::as;

// ---- matching ----

// Text as units to compare: the lower case of each valid UTF-8 character, and
// 0x110000 + the byte for each byte that is not UTF-8 (so that it matches
// only itself).
class CaseFolder {
  public:
    CaseFolder() : utf8_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
    ~CaseFolder()
    {
        if (utf8_ != static_cast<locale_t>(nullptr)) ::freelocale(utf8_);
    }
    CaseFolder(const CaseFolder&) = delete;
    CaseFolder& operator=(const CaseFolder&) = delete;

    std::u32string fold(const uint8_t* s, size_t n) const
    {
        std::u32string out;
        out.reserve(n);
        for (size_t i = 0; i < n;) {
            char32_t c = 0;
            const size_t len = zeldump::utf8_sequence(s + i, n - i, &c);
            out += len == 0 ? 0x110000 + s[i] : lower(c);
            i += len == 0 ? 1 : len;
        }
        return out;
    }

  private:
    // Without the C.UTF-8 locale only ASCII letters are folded.
    char32_t lower(char32_t c) const
    {
        if (utf8_ != static_cast<locale_t>(nullptr)) return static_cast<char32_t>(::towlower_l(c, utf8_));
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    }
    locale_t utf8_;
};

const CaseFolder& folder()
{
    static const CaseFolder f;
    return f;
}

class Needle {
  public:
    explicit Needle(const std::string& query)
        : folded_(query.size() <= max_query_bytes
                      ? folder().fold(reinterpret_cast<const uint8_t*>(query.data()), query.size())
                      : std::u32string())
    {
    }
    bool in(const uint8_t* s, size_t n) const
    {
        return !folded_.empty() && s != nullptr && folder().fold(s, n).find(folded_) != std::u32string::npos;
    }
    bool in(const std::string& s) const { return in(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    bool in(const ZelBytes& b) const { return in(b.data, b.length); }
    bool in(const uint8_t* s) const
    {
        return s != nullptr && in(s, std::strlen(reinterpret_cast<const char*>(s)));
    }

  private:
    std::u32string folded_;
};

// ---- texts of the records ----

std::string bytes(const ZelBytes& b)
{
    return b.data != nullptr ? std::string(reinterpret_cast<const char*>(b.data), b.length) : "";
}

std::string string(const uint8_t* s)
{
    return s != nullptr ? reinterpret_cast<const char*>(s) : "";
}

// "alice (tfn 0123)"; "unknown" for no user.
std::string person(const uint8_t* user, const uint8_t* tfn)
{
    std::string out = user != nullptr ? string(user) : "unknown";
    return tfn != nullptr && tfn[0] != '\0' ? out + " (tfn " + string(tfn) + ")" : out;
}

// A command line's arguments joined by spaces, as it is typed.
std::string command_line(const ZelBytes& command)
{
    std::string out = bytes(command);
    std::replace(out.begin(), out.end(), '\0', ' ');
    return out;
}

// "xterm -e sh (xterm, XTerm) pid 4242 uid 1000": the command line, WM_CLASS,
// and what the host knows.
std::string program(const ZelWindow* w)
{
    std::string out = w->command.data != nullptr ? command_line(w->command) : "unknown";
    if (w->instance.data != nullptr && w->class_name.data != nullptr)
        out += " (" + bytes(w->instance) + ", " + bytes(w->class_name) + ")";
    else if (w->instance.data != nullptr || w->class_name.data != nullptr)
        out += " (" + bytes(w->instance) + bytes(w->class_name) + ")";
    out += " pid " + (w->pid >= 0 ? std::to_string(w->pid) : std::string("unknown"));
    return out + " uid " + (w->uid != 0xFFFFFFFFu ? std::to_string(w->uid) : std::string("unknown"));
}

std::string gap(const ZelInterruption* i)
{
    char length[48];
    std::snprintf(length, sizeof length, " for %.3f s",
                  static_cast<double>(i->timestamp - std::min(i->from, i->timestamp)) / 1e6);
    std::string out = std::string(zel_gap_cause_to_string(i->cause)) + length;
    return i->detail.data != nullptr ? out + ": " + bytes(i->detail) : out;
}

std::string end(const ZelDone* d)
{
    std::string out = zel_end_reason_to_string(d->reason);
    if (d->reason != ZEL_END_SIGNAL) return out;
    return out + " " + std::to_string(d->signal) + " from pid " + std::to_string(d->pid) + " uid " +
           std::to_string(d->uid);
}

const char* footer_kind(uint8_t type)
{
    switch (type) {
    case ZEL_FOOTER_ITEM_APP: return "app";
    case ZEL_FOOTER_ITEM_HOST: return "host";
    case ZEL_FOOTER_ITEM_IP: return "address";
    case ZEL_FOOTER_ITEM_SID: return "session";
    case ZEL_FOOTER_ITEM_TID: return "ticket";
    case ZEL_FOOTER_ITEM_APPFMT: return "app-format";
    default: return nullptr;
    }
}

// ---- one recording ----

// The hits of one recording, from its records in file order.
class FileHits {
  public:
    FileHits(const std::string& file, const Needle& needle) : file_(file), needle_(needle) {}

    void see(const ZelRecord* r)
    {
        clock_.see(r);
        last_ = r->timestamp;
        switch (r->type) {
        case ZEL_HEADER: participant(r, "user", as<ZelHeader>(r)->user, as<ZelHeader>(r)->tfn); break;
        case ZEL_LAST_INPUT:
            participant(r, "input", as<ZelLastInput>(r)->user, as<ZelLastInput>(r)->tfn);
            break;
        case ZEL_WINDOW: window(as<ZelWindow>(r)); break;
        case ZEL_INTERRUPTION: composed(r, "gap", gap(as<ZelInterruption>(r))); break;
        case ZEL_DONE: composed(r, "end", end(as<ZelDone>(r))); break;
        default:
            if (const char* kind = footer_kind(r->type); kind != nullptr)
                if (needle_.in(as<ZelFooterItem>(r)->item))
                    add(r->timestamp, kind, string(as<ZelFooterItem>(r)->item));
            break;
        }
    }
    // A note at this time (0: unknown).
    void note(uint64_t timestamp, const std::string& text) { add(timestamp, "note", text); }
    // The time of the last record read (0 before any).
    uint64_t last() const { return last_; }
    size_t count() const { return hits_.size(); }
    // The hits in time order.
    std::vector<Hit> take()
    {
        std::stable_sort(hits_.begin(), hits_.end(),
                         [](const Hit& a, const Hit& b) { return a.timestamp < b.timestamp; });
        return std::move(hits_);
    }

  private:
    void add(uint64_t timestamp, const char* kind, std::string text)
    {
        hits_.push_back(
            Hit{file_, timestamp != 0 ? clock_.seconds(timestamp) : 0, timestamp, kind, std::move(text)});
    }
    void participant(const ZelRecord* r, const char* kind, const uint8_t* user, const uint8_t* tfn)
    {
        if (needle_.in(user) || needle_.in(tfn)) add(r->timestamp, kind, person(user, tfn));
    }
    void composed(const ZelRecord* r, const char* kind, const std::string& text)
    {
        if (needle_.in(text)) add(r->timestamp, kind, text);
    }
    void window(const ZelWindow* w)
    {
        if ((w->event == ZEL_WINDOW_SHOWN || w->event == ZEL_WINDOW_TITLE) && needle_.in(w->title))
            add(w->timestamp, "title", bytes(w->title));
        if (w->event == ZEL_WINDOW_SHOWN &&
            (needle_.in(command_line(w->command)) || needle_.in(w->instance) || needle_.in(w->class_name)))
            add(w->timestamp, "program", program(w));
    }

    std::string file_;
    const Needle& needle_;
    zeldump::Clock clock_;
    uint64_t last_ = 0;
    std::vector<Hit> hits_;
};

// Everything but the records that hold text: their payloads are neither read
// nor checked.
// clang-format off
constexpr uint8_t passed_over[] = {
    ZEL_DEBUG, ZEL_IMAGE, ZEL_COMPRESSED_IMAGE, ZEL_CURSOR_IMAGE, ZEL_CURSOR_POSITION, ZEL_SCREEN_CHANGE,
    ZEL_IMAGE_BLOCKS, ZEL_COMPRESSED_IMAGE_BLOCKS, ZEL_COMPRESSED_CURSOR_IMAGE, ZEL_COPY, ZEL_SEAL, ZEL_KEYFRAME};
// clang-format on

// The bytes of a file descriptor the caller keeps, read a window at a time:
// passing a picture over asks for the 20 bytes of the next frame's head, and
// one read of the window answers the heads of the many small frames in it.
class WindowedFile {
  public:
    explicit WindowedFile(int fd) : fd_(fd), window_(64 * 1024) {}
    ZelSource source()
    {
        ZelSource s{};
        s.context = this;
        s.read_at = [](void* c, uint64_t offset, void* buf, size_t n) {
            return static_cast<WindowedFile*>(c)->read_at(offset, static_cast<uint8_t*>(buf), n);
        };
        s.size = [](void* c) {
            struct stat st {};
            const int fd = static_cast<WindowedFile*>(c)->fd_;
            return ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : uint64_t{0};
        };
        return s;
    }

  private:
    int64_t read_at(uint64_t offset, uint8_t* out, size_t n)
    {
        if (n > window_.size() / 2) return ::pread(fd_, out, n, static_cast<off_t>(offset));
        if (offset < at_ || offset - at_ >= filled_) {
            const ssize_t k = ::pread(fd_, window_.data(), window_.size(), static_cast<off_t>(offset));
            if (k < 0) return -1;
            at_ = offset;
            filled_ = static_cast<size_t>(k);
            if (k == 0) return 0;
        }
        const size_t have = std::min(n, filled_ - static_cast<size_t>(offset - at_));
        std::memcpy(out, window_.data() + (offset - at_), have);
        return static_cast<int64_t>(have);
    }

    int fd_;
    std::vector<uint8_t> window_;
    uint64_t at_ = 0;
    size_t filled_ = 0;
};

// How reading a recording ended, as a note ("" when complete).
struct Damage {
    unsigned stretches = 0;
    uint64_t first = 0, time = 0;
    std::string problem;
    void see(ZelReader* reader, uint64_t timestamp)
    {
        if (stretches++ > 0) return;
        time = timestamp;
        first = zel_reader_problem_offset(reader);
        problem = zel_reader_problem(reader);
    }
    std::string text(bool read_on) const
    {
        std::string out = "corrupt at byte " + std::to_string(first) + ": " + problem;
        if (!read_on && stretches == 1) return out + "; nothing intact follows";
        return out + "; read on at the next intact record (" + std::to_string(stretches) +
               " damaged stretch" + (stretches == 1 ? ")" : "es)");
    }
};

std::string ending(int fd, ZelReader* reader, ZelReadStatus s)
{
    const std::string at = " at byte " + std::to_string(zel_reader_problem_offset(reader));
    if (s == ZEL_READ_TRUNCATED && zel_file_is_being_written(fd) == 1)
        return "being written: searched up to byte " + std::to_string(zel_reader_problem_offset(reader));
    if (s == ZEL_READ_TRUNCATED) return "truncated" + at + ": " + zel_reader_problem(reader);
    if (s == ZEL_READ_ERROR) return "unreadable" + at + ": " + zel_reader_problem(reader);
    return "";
}

// Reads the recording open at fd through to its end (and on past damage)
// while the hits stay within budget.
void read_recording(int fd, FileHits& hits, size_t budget)
{
    WindowedFile file(fd);
    const ZelSource source = file.source();
    zeldump::Reader reader(zel_reader_open_source(&source));
    if (!reader) return hits.note(0, std::string("unreadable: ") + std::strerror(errno));
    zel_reader_skip_types(reader.get(), passed_over, std::size(passed_over));
    Damage damage;
    ZelReadStatus s = ZEL_READ_RECORD;
    while (hits.count() < budget) {
        ZelRecord* raw = nullptr;
        s = zel_reader_next(reader.get(), &raw);
        if (s == ZEL_READ_RECORD) {
            zeldump::Record r(raw);
            hits.see(r.get());
            continue;
        }
        if (s != ZEL_READ_CORRUPT) break;
        damage.see(reader.get(), hits.last());
        if (zel_reader_resync(reader.get()) != 0) break;
    }
    if (damage.stretches > 0) hits.note(damage.time, damage.text(s != ZEL_READ_CORRUPT));
    if (std::string e = ending(fd, reader.get(), s); !e.empty()) hits.note(hits.last(), e);
}

// ---- files ----

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// A name the server can only take for a file directly inside the directory.
bool recording_name(const std::string& name)
{
    if (name.empty() || name[0] == '.' || name.size() > 255 || name.size() < 5 ||
        name.compare(name.size() - 4, 4, ".zel") != 0)
        return false;
    return name.find_first_of(std::string("/\\%\0", 4)) == std::string::npos;
}

// The regular recordings directly inside the directory open at fd, in name order.
std::vector<std::string> recordings(int dir_fd)
{
    std::vector<std::string> out;
    const int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) ::close(fd);
        return out;
    }
    while (const dirent* e = ::readdir(d)) {
        struct stat st {};
        if (recording_name(e->d_name) && ::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            out.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// "NAME":"VALUE", and "NAME_base64":"..." when the value is not UTF-8.
std::string member(const char* name, const std::string& value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(value.data());
    bool valid = true;
    std::string out = std::string("\"") + name + "\":" + zeldump::quoted(p, value.size(), &valid);
    return valid ? out : out + ",\"" + name + "_base64\":" + zeldump::base64(p, value.size());
}

void search_file(int fd, const std::string& name, const Needle& needle, size_t budget, std::vector<Hit>& out)
{
    FileHits hits(name, needle);
    read_recording(fd, hits, budget);
    for (Hit& h : hits.take()) out.push_back(std::move(h));
}

} // namespace

std::vector<Hit> search(int fd, const std::string& name, const std::string& query)
{
    const Needle needle(query);
    std::vector<Hit> out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        search_file(fd, name, needle, max_hits, out);
    } else {
        for (const std::string& file : recordings(fd)) {
            if (out.size() >= max_hits) break;
            Fd f(::openat(fd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            struct stat fst {};
            if (f.get() < 0 || ::fstat(f.get(), &fst) != 0 || !S_ISREG(fst.st_mode))
                out.push_back(Hit{file, 0, 0, "note",
                                  std::string("unreadable: ") +
                                      (f.get() < 0 ? std::strerror(errno) : "not a regular file")});
            else
                search_file(f.get(), file, needle, max_hits - out.size(), out);
        }
    }
    if (out.size() >= max_hits)
        out.push_back(Hit{out.back().file, out.back().time, out.back().timestamp, "note",
                          "the search stops at " + std::to_string(max_hits) + " hits"});
    return out;
}

std::string to_json(const std::vector<Hit>& hits)
{
    std::string out = "[";
    for (const Hit& h : hits) {
        char time[80];
        std::snprintf(time, sizeof time, ",\"time\":%.6f,\"timestamp\":%" PRIu64 ",", h.time, h.timestamp);
        out += (out.size() == 1 ? "\n{" : ",\n{") + member("file", h.file) + time + member("kind", h.kind) +
               "," + member("text", h.text) + "}";
    }
    return out + (hits.empty() ? "]\n" : "\n]\n");
}

} // namespace zelsearch
