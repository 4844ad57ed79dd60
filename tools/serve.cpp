// zeldump --serve: serves the browser player (compiled in) and recordings,
// read-only, to whoever holds the access token printed at start.
//
// Security model (docs/player.md): listens on 127.0.0.1 unless told
// otherwise; every request for a recording or the list of recordings must
// carry the token as "Authorization: Bearer TOKEN" (the page gets it from the
// URL's fragment, which no browser sends; no cookie is ever set); only the
// given file, or the regular .zel files directly inside the given directory,
// are served, looked up by exact name and opened without following symbolic
// links (or the shipped recordings of s3://BUCKET/PREFIX: serve-store.cpp,
// whose credentials stay in this process); a thread per connection, with a deadline for each request, so that
// slow or idle clients hold only their own.
#include "serve.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>
#include <sodium.h>

#include "serve-catalog.h"
#include "serve-files.h"
#include "zel.h"
#include "zeldump/search.h"
#include "zeldump/store.h"

namespace serve {
namespace {

constexpr int exit_usage = 1;
constexpr size_t chunk_size = 64 * 1024;

int fail(const std::string& message)
{
    std::fprintf(stderr, "zeldump: --serve: %s\n", message.c_str());
    return exit_usage;
}

// ---- the listening address ----

struct Listen {
    std::string host = "127.0.0.1";
    int port = 0;
    bool ipv6 = false;
};

// Parses [ADDRESS:]PORT (ADDRESS an IPv4 address or an IPv6 one in brackets);
// an error message, or "" when good.
std::string parse_listen(const std::string& arg, Listen& out)
{
    std::string port = arg;
    size_t colon = arg.rfind(':');
    if (colon != std::string::npos) {
        std::string host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            out.ipv6 = true;
        }
        unsigned char buf[sizeof(in6_addr)];
        if (inet_pton(out.ipv6 ? AF_INET6 : AF_INET, host.c_str(), buf) != 1)
            return "bad address '" + arg.substr(0, colon) +
                   "' (give an IPv4 address, or an IPv6 address in brackets, before ':PORT')";
        out.host = host;
    }
    char* end = nullptr;
    errno = 0;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || errno != 0 || p < 0 || p > 65535 || port[0] == '-' || port[0] == '+')
        return "bad port '" + port + "' (a number from 0 to 65535; 0 picks a free port)";
    out.port = static_cast<int>(p);
    return "";
}

// Why binding failed: httplib does not say, so try it once more by hand.
std::string bind_error(const Listen& l)
{
    int fd = ::socket(l.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (l.ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(l.port));
        inet_pton(AF_INET6, l.host.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(l.port));
        inet_pton(AF_INET, l.host.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len);
    int e = errno;
    ::close(fd);
    return rc == 0 ? "the server could not listen" : std::strerror(e);
}

// ---- the access token ----

// 32 random bytes in hexadecimal, new at every start.
std::string new_token()
{
    unsigned char raw[32];
    randombytes_buf(raw, sizeof raw);
    char hex[2 * sizeof raw + 1];
    sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
    return hex;
}

// The token of an "Authorization: Bearer TOKEN" header (the scheme in any
// case, as HTTP allows), or "".
std::string bearer_token(const std::string& header)
{
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size()) return "";
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return "";
    size_t start = header.find_first_not_of(' ', scheme.size());
    return start == std::string::npos ? "" : header.substr(start);
}

// Compares in constant time (the length is no secret).
bool same_token(const std::string& given, const std::string& token)
{
    return given.size() == token.size() && sodium_memcmp(given.data(), token.data(), token.size()) == 0;
}

// ---- what is served ----

using Fd = std::shared_ptr<int>;
Fd own_fd(int fd)
{
    return Fd(new int(fd), [](int* p) {
        if (*p >= 0) ::close(*p);
        delete p;
    });
}

bool has_suffix(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A name that can only mean a file directly inside the directory.
bool plain_name(const std::string& name)
{
    if (name.empty() || name[0] == '.' || name.size() > 255) return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0' || c == '%') return false;
    return true;
}

// Whether the recorder still holds the file open for writing.
bool being_written(int fd)
{
    return zel_file_is_being_written(fd) == 1;
}

class FileServed final : public Served {
  public:
    explicit FileServed(Fd fd) : fd_(std::move(fd)) {}
    uint64_t size() override
    {
        struct stat st {};
        return ::fstat(*fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    int64_t read_at(uint64_t offset, void* buf, size_t n) override
    {
        ssize_t k;
        do {
            k = ::pread(*fd_, buf, n, static_cast<off_t>(offset));
        } while (k < 0 && errno == EINTR);
        return k;
    }
    bool being_written() override { return serve::being_written(*fd_); }
    std::string version() override
    {
        struct stat st {};
        if (::fstat(*fd_, &st) != 0) return "";
        return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec);
    }
    ZelReader* open_reader() override
    {
        return zel_reader_open(("/proc/self/fd/" + std::to_string(*fd_)).c_str());
    }

  private:
    Fd fd_;
};

class FileCatalog final : public Catalog {
  public:
    // Opens FILE_OR_DIR; an error message or "".
    std::string open(const std::string& path)
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
        root_ = own_fd(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
        if (S_ISDIR(st.st_mode)) {
            dir_ = true;
            return "";
        }
        if (!S_ISREG(st.st_mode)) return path + " is neither a regular file nor a directory";
        size_t slash = path.rfind('/');
        single_ = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!plain_name(single_)) single_ = "recording.zel";
        return "";
    }
    bool is_dir() const override { return dir_; }
    const std::string& single() const override { return single_; }

    // The .zel files directly inside the directory, or the one file.
    std::vector<std::string> names() const override
    {
        if (!dir_) return {single_};
        std::vector<std::string> out;
        int fd = ::openat(*root_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
        if (d == nullptr) {
            if (fd >= 0) ::close(fd);
            return out;
        }
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            struct stat st {};
            if (plain_name(name) && has_suffix(name, ".zel") &&
                ::fstatat(*root_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                out.push_back(name);
        }
        ::closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }

    int open_recording(const std::string& name, std::shared_ptr<Served>& out) const override
    {
        Fd fd;
        const int status = open_file(name, fd);
        if (status == 0) out = std::make_shared<FileServed>(fd);
        return status;
    }

    std::optional<std::string> search(const std::string& query) const override
    {
        return zelsearch::search_json(*root_, single_, query);
    }

  private:
    // The open file for a name from the URL; 0 and the file, or 403/404.
    int open_file(const std::string& name, Fd& out) const
    {
        if (!plain_name(name) || name.find("..") != std::string::npos) return 403;
        if (!dir_) {
            if (name != single_) return 404;
            out = own_fd(::dup(*root_));
            return *out < 0 ? 404 : 0;
        }
        if (!has_suffix(name, ".zel")) return 404;
        int fd = ::openat(*root_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return errno == ELOOP ? 403 : 404;
        out = own_fd(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 404;
        return 0;
    }

    Fd root_;
    bool dir_ = false;
    std::string single_;
};

// ---- recording facts for the index page ----

// The key every recording must be signed with (zeldump --serve --key).
struct PinnedKey {
    bool set = false;
    uint8_t key[ZEL_PUBLIC_KEY_BYTES] = {};
    std::string id;   // in hexadecimal, as zeldump prints it
    std::string line; // the key file's Base64 line, for the page
};

std::string key_id_text(const uint8_t id[ZEL_KEY_ID_BYTES])
{
    char text[ZEL_KEY_ID_TEXT_BYTES];
    zel_key_id_text(id, text);
    return text;
}

// Reads a public key file; an error message or "".
std::string read_pinned_key(const char* path, PinnedKey& out)
{
    char why[256];
    if (zel_key_read_public(path, out.key, why, sizeof why) != 0) return why;
    uint8_t bin[2 + ZEL_KEY_ID_BYTES + ZEL_PUBLIC_KEY_BYTES] = {'E', 'd'};
    zel_key_id(out.key, bin + 2);
    std::memcpy(bin + 2 + ZEL_KEY_ID_BYTES, out.key, ZEL_PUBLIC_KEY_BYTES);
    char b64[sodium_base64_ENCODED_LEN(sizeof bin, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(b64, sizeof b64, bin, sizeof bin, sodium_base64_VARIANT_ORIGINAL);
    out.set = true;
    out.id = key_id_text(bin + 2);
    out.line = b64;
    return "";
}

struct Facts {
    double duration = 0;
    std::string user = "";
    std::string sid = "";
    ZelVerification verification{};
};

std::string text(const uint8_t* s)
{
    return s == nullptr ? "" : reinterpret_cast<const char*>(s);
}

// Who the seals say wrote the recording.
std::string signer(const ZelVerification& v, const PinnedKey& pinned)
{
    if (v.format_version < 2) return "format version 1: no seals, nothing proves it intact";
    if (v.seals == 0) return "no seal read yet";
    if (!v.is_signed) return "unsigned: seals prove nothing about who wrote it";
    if (pinned.set && v.key_checked) return "signed by the pinned key " + pinned.id;
    return "signed by key " + key_id_text(v.key_id);
}

// The verification state in words, no stronger than what the file proves.
std::string state_line(const ZelVerification& v, const PinnedKey& pinned, bool writing)
{
    const std::string at = " at byte " + std::to_string(v.problem_offset) + ": " + v.reason;
    switch (v.verdict) {
    case ZEL_VERDICT_COMPLETE: return "complete, intact, " + signer(v, pinned);
    case ZEL_VERDICT_TRUNCATED:
        return (writing ? std::string("live: being recorded; ") : "truncated" + at + "; ") +
               signer(v, pinned);
    case ZEL_VERDICT_CORRUPT: return "corrupt" + at;
    case ZEL_VERDICT_NOT_AUTHENTIC: return "NOT AUTHENTIC" + at;
    case ZEL_VERDICT_ERROR: break;
    }
    return "unreadable" + at;
}

// Reads every frame once, on past damage: checksums, structure and seals
// (not the images).
Facts read_facts(Served& served, const PinnedKey& pinned)
{
    Facts f;
    ZelReader* reader = served.open_reader();
    ZelVerifier* verifier = zel_verifier_new(pinned.set ? pinned.key : nullptr);
    if (reader == nullptr || verifier == nullptr || zel_reader_set_verifier(reader, verifier) != 0) {
        zel_reader_close(reader);
        zel_verifier_free(verifier);
        f.verification.verdict = ZEL_VERDICT_ERROR;
        std::snprintf(f.verification.reason, sizeof f.verification.reason, "%s", std::strerror(errno));
        return f;
    }
    uint64_t first = 0, last = 0;
    bool any = false;
    for (;;) {
        ZelRecord* r = nullptr;
        ZelReadStatus status = zel_reader_next(reader, &r);
        if (status == ZEL_READ_CORRUPT && zel_reader_resync(reader) == 0) continue;
        if (status != ZEL_READ_RECORD) break;
        if (!any) first = r->timestamp;
        any = true;
        last = std::max(last, r->timestamp);
        if (r->type == ZEL_HEADER && f.user.empty()) f.user = text(reinterpret_cast<ZelHeader*>(r)->user);
        if (r->type == ZEL_FOOTER_ITEM_SID) f.sid = text(reinterpret_cast<ZelFooterItem*>(r)->item);
        zel_record_free(r);
    }
    zel_verifier_result(verifier, &f.verification);
    f.duration = any ? static_cast<double>(last - first) / 1e6 : 0;
    zel_reader_close(reader);
    zel_verifier_free(verifier);
    return f;
}

// Facts per file, kept while its size and modification time stay the same.
class FactsCache {
  public:
    explicit FactsCache(const PinnedKey& pinned) : pinned_(pinned) {}

    Facts get(const std::string& name, Served& served)
    {
        const std::string version = served.version();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = cache_.find(name);
            if (it != cache_.end() && it->second.first == version && !version.empty())
                return it->second.second;
        }
        Facts f = read_facts(served, pinned_);
        std::lock_guard<std::mutex> lock(mutex_);
        cache_[name] = {version, f};
        return f;
    }

  private:
    const PinnedKey& pinned_;
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, Facts>> cache_; // by name: the version read, its facts
};

// ---- pages ----

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string url_escape(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string player_link(const std::string& name)
{
    return "/player/?src=" + url_escape("/files/" + url_escape(name));
}

// The rows of the index page (player/recordings.html), as JSON.
std::string recordings_json(const Catalog& catalog, FactsCache& cache, const PinnedKey& pinned)
{
    std::string rows;
    for (const std::string& name : catalog.names()) {
        std::shared_ptr<Served> served;
        if (catalog.open_recording(name, served) != 0) continue;
        const uint64_t size = served->size();
        Facts f = cache.get(name, *served);
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.3f", f.duration);
        const bool writing = served->being_written();
        const std::string problem = served->store_problem(); // nothing it holds can be trusted then
        const bool live = writing && f.verification.verdict == ZEL_VERDICT_TRUNCATED;
        const std::string verdict = !problem.empty() ? zel_verdict_to_string(ZEL_VERDICT_NOT_AUTHENTIC)
                                    : live           ? "live"
                                                     : zel_verdict_to_string(f.verification.verdict);
        const std::string state = !problem.empty() ? "not authentic from the store: " + problem
                                                   : state_line(f.verification, pinned, writing);
        rows += std::string(rows.empty() ? "" : ",\n") + "{\"name\":" + json_string(name) +
                ",\"size\":" + std::to_string(size) + ",\"duration\":" + duration +
                ",\"user\":" + json_string(f.user) + ",\"sid\":" + json_string(f.sid) +
                ",\"verdict\":" + json_string(verdict) + ",\"state\":" + json_string(state) + "}";
    }
    return "{\"recordings\":[\n" + rows + "]}\n";
}

const char* mime_type(const std::string& path)
{
    if (has_suffix(path, ".html")) return "text/html; charset=utf-8";
    if (has_suffix(path, ".js")) return "text/javascript; charset=utf-8";
    if (has_suffix(path, ".css")) return "text/css; charset=utf-8";
    if (has_suffix(path, ".wasm")) return "application/wasm";
    return "text/plain; charset=utf-8";
}

const EmbeddedFile* embedded(const std::string& path)
{
    for (unsigned i = 0; i < zel_embedded_file_count; ++i)
        if (path == zel_embedded_files[i].path) return &zel_embedded_files[i];
    return nullptr;
}

// ---- recordings, whole or by range ----

// Streams [from, from + length) of the file in bounded chunks, never past it.
bool send_bytes(Served& served, uint64_t from, uint64_t length, uint64_t at, httplib::DataSink& sink)
{
    if (at >= length) {
        sink.done();
        return true;
    }
    char buf[chunk_size];
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_size, length - at));
    const int64_t k = served.read_at(from + at, buf, n);
    if (k <= 0) return false; // the file shrank or cannot be read: abort the response
    return sink.write(buf, static_cast<size_t>(k));
}

// The first `size` bytes, or the one range of them httplib was asked for; a
// file that grows meanwhile sends no more than its Content-Length said.
// httplib asks for [offset, offset + length) in turns.
void send_whole(httplib::Response& res, const std::shared_ptr<Served>& served, uint64_t size)
{
    res.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                             [served, size](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return send_bytes(*served, offset, std::min<uint64_t>(length, size - offset),
                                                   0, sink);
                             });
}

// One range, clamped to the size as HTTP says; false when it cannot be met.
bool resolve_range(const httplib::Range& r, uint64_t size, uint64_t& first, uint64_t& last)
{
    if (size == 0 || (r.first < 0 && r.second < 0)) return false;
    if (r.first < 0) {
        if (r.second == 0) return false;
        first = static_cast<uint64_t>(r.second) >= size ? 0 : size - static_cast<uint64_t>(r.second);
        last = size - 1;
        return true;
    }
    first = static_cast<uint64_t>(r.first);
    if (first >= size) return false;
    last =
        r.second < 0 || static_cast<uint64_t>(r.second) >= size ? size - 1 : static_cast<uint64_t>(r.second);
    return true;
}

void send_range(const httplib::Request& req, httplib::Response& res, const std::shared_ptr<Served>& served,
                uint64_t size)
{
    uint64_t first = 0, last = 0;
    if (req.ranges.size() != 1 || !resolve_range(req.ranges[0], size, first, last)) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    const httplib::Range& r = req.ranges[0];
    if (r.first >= 0 && (r.second < 0 || static_cast<uint64_t>(r.second) < size))
        return send_whole(res, served, size); // httplib answers such a range itself, without chunks
    res.status = 206;
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                        std::to_string(size));
    // A range past the end or from the end: chunked, so that httplib leaves it
    // to us (it does not clamp one).
    const uint64_t length = last - first + 1;
    res.set_chunked_content_provider("application/octet-stream",
                                     [served, first, length](size_t offset, httplib::DataSink& sink) {
                                         return send_bytes(*served, first, length, offset, sink);
                                     });
}

// Printable ASCII for a header value (httplib drops a header it finds unsafe).
std::string header_text(std::string s)
{
    for (char& c : s)
        if (c < 0x20 || c > 0x7E) c = '?';
    return s;
}

// ---- connections ----

using Clock = std::chrono::steady_clock;
constexpr auto request_time = std::chrono::seconds(10); // to send a whole request head
constexpr auto idle_time = std::chrono::seconds(5);     // for the next request on a connection
constexpr auto write_time = std::chrono::seconds(30);   // for a blocked write to move on
constexpr size_t request_bytes = 64 * 1024;             // a request head (no body is read)
constexpr size_t requests_per_connection = 1000;
constexpr size_t max_connections = 400; // a thread and at most two descriptors each
constexpr int backlog = 128;

// One connection as httplib reads and writes it, with a deadline and a size
// limit for each request (httplib's own stream only limits each read).
class Connection final : public httplib::Stream {
  public:
    explicit Connection(int fd) : fd_(fd) {}

    // Waits for the next request for at most the idle time; false when none comes.
    bool next_request()
    {
        if (used_ == have_ && !ready(POLLIN, Clock::now() + idle_time)) return false;
        deadline_ = Clock::now() + request_time;
        received_ = 0;
        return true;
    }

    bool is_readable() const override { return used_ < have_ || ready(POLLIN, deadline_); }
    bool is_writable() const override { return ready(POLLOUT, Clock::now() + write_time); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (used_ == have_ && !receive()) return -1;
        size_t n = std::min(size, have_ - used_);
        std::memcpy(ptr, buf_ + used_, n);
        used_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        for (;;) {
            ssize_t k = ::send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (k >= 0 || (errno != EAGAIN && errno != EINTR)) return k;
            if (errno == EAGAIN && !is_writable()) return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(false, ip, port); }
    int socket() const override { return fd_; }

  private:
    // What has come, within the request's time and size.
    bool receive()
    {
        if (received_ >= request_bytes || !ready(POLLIN, deadline_)) return false;
        ssize_t k;
        do {
            k = ::recv(fd_, buf_, sizeof buf_, 0);
        } while (k < 0 && errno == EINTR);
        if (k <= 0) return false;
        have_ = static_cast<size_t>(k);
        used_ = 0;
        received_ += have_;
        return true;
    }

    bool ready(short events, Clock::time_point until) const
    {
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, events, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
            if (n > 0) return true; // readable, writable, or closed: the next call tells
            if (n == 0 || errno != EINTR) return false;
        }
    }

    void address(bool peer, std::string& ip, int& port) const
    {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        auto* a = reinterpret_cast<sockaddr*>(&ss);
        char host[NI_MAXHOST], service[NI_MAXSERV];
        if ((peer ? ::getpeername(fd_, a, &len) : ::getsockname(fd_, a, &len)) == 0 &&
            ::getnameinfo(a, len, host, sizeof host, service, sizeof service,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    int fd_;
    char buf_[4096];
    size_t have_ = 0, used_ = 0, received_ = 0;
    Clock::time_point deadline_{};
};

// The open connections: a thread each, so that a slow or idle client holds
// only its own; at most max_connections at once (the next waits in the
// listen queue).  stop() shuts every one down.
class Connections {
  public:
    // Runs job on a thread of its own once a place is free.
    void start(std::function<void()> job)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || running_.size() < max_connections; });
        reap();
        if (stopping_) {
            lock.unlock();
            job(); // closes the connection at once
            return;
        }
        auto it = running_.emplace(running_.end());
        *it = std::thread([this, it, job = std::move(job)] {
            job();
            std::lock_guard<std::mutex> done(mutex_);
            finished_.splice(finished_.end(), running_, it);
            changed_.notify_all();
        });
    }

    // Registers an open connection; false when stopping (close it).
    bool enter(int fd)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        open_.insert(fd);
        return true;
    }

    void leave(int fd)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(fd);
    }

    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        changed_.notify_all();
    }

    // Waits for every connection's thread.
    void join()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return running_.empty(); });
        reap();
    }

  private:
    void reap()
    {
        for (std::thread& t : finished_) t.join();
        finished_.clear();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<std::thread> running_, finished_;
    std::set<int> open_;
    bool stopping_ = false;
};

class ThreadPerConnection : public httplib::TaskQueue {
  public:
    explicit ThreadPerConnection(Connections& connections) : connections_(connections) {}
    void enqueue(std::function<void()> job) override { connections_.start(std::move(job)); }
    void shutdown() override { connections_.join(); }

  private:
    Connections& connections_;
};

// httplib's server with a thread per connection, a deadline and a size limit
// for each request, an idle limit between requests, and a longer listen queue.
class HttpServer : public httplib::Server {
  public:
    HttpServer()
    {
        new_task_queue = [this] { return new ThreadPerConnection(connections_); };
        set_payload_max_length(0); // only GET and HEAD are served: no request has a body
    }

    // httplib listens with a queue of 5; listening again sets the length.
    bool lengthen_listen_queue() { return ::listen(svr_sock_, backlog) == 0; }

    void stop_all()
    {
        connections_.stop();
        stop();
    }

  private:
    bool process_and_close_socket(int fd) override
    {
        bool ok = false;
        if (connections_.enter(fd)) {
            Connection c(fd);
            for (size_t n = 1; n <= requests_per_connection && c.next_request(); ++n) {
                bool closed = false;
                ok = process_request(c, n == requests_per_connection, closed, nullptr);
                if (!ok || closed) break;
            }
            connections_.leave(fd);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return ok;
    }

    Connections connections_;
};

// ---- the server ----

const char* const content_policy = "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; "
                                   "img-src 'self' data: blob:; object-src 'none'; base-uri 'none'; "
                                   "form-action 'none'; frame-ancestors 'none'";

class Server {
  public:
    Server(Catalog& catalog, std::string token, const PinnedKey& pinned)
        : catalog_(catalog), cache_(pinned), token_(std::move(token)), pinned_(pinned)
    {
    }

    void routes(httplib::Server& s)
    {
        s.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"Cache-Control", "no-store"},
                               {"Content-Security-Policy", content_policy}});
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            return authorized(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                        : httplib::Server::HandlerResponse::Handled;
        });
        s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
            if (catalog_.is_dir())
                page(res, "recordings.html");
            else
                res.set_redirect(player_link(catalog_.single()), 303); // the browser keeps the #token
        });
        s.Get("/recordings.json", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(recordings_json(catalog_, cache_, pinned_), "application/json");
        });
        s.Get("/player",
              [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/player/"); });
        s.Get("/player/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            std::string path = req.matches[1].str();
            page(res, path.empty() ? "index.html" : path);
        });
        s.Get("/files/(.*)",
              [this](const httplib::Request& req, httplib::Response& res) { recording(req, res); });
        s.Get("/search", [this](const httplib::Request& req, httplib::Response& res) { search(req, res); });
        s.Get(".*", [](const httplib::Request&, httplib::Response& res) { not_found(res); });
    }

  private:
    // GET /search?q=TEXT: zeldump --search over what is served.
    void search(const httplib::Request& req, httplib::Response& res) const
    {
        const std::string q = req.get_param_value("q");
        if (q.empty() || q.size() > zelsearch::max_query_bytes) {
            res.status = 400;
            return res.set_content("bad request: q must hold 1 to " +
                                       std::to_string(zelsearch::max_query_bytes) + " bytes\n",
                                   "text/plain; charset=utf-8");
        }
        if (const std::optional<std::string> json = catalog_.search(q))
            return res.set_content(*json, "application/json");
        res.status = 404;
        res.set_content("recordings in object storage cannot be searched here\n",
                        "text/plain; charset=utf-8");
    }

    static void not_found(httplib::Response& res)
    {
        res.status = 404;
        res.set_content("not found\n", "text/plain; charset=utf-8");
    }

    // A file of the player (compiled in).
    static void page(httplib::Response& res, const std::string& path)
    {
        const EmbeddedFile* f = embedded(path);
        if (f == nullptr) return not_found(res);
        res.set_content(reinterpret_cast<const char*>(f->data), f->size, mime_type(f->path));
    }

    // Recordings and their list need the token as "Authorization: Bearer";
    // the player's own files are the same for everyone.
    bool authorized(const httplib::Request& req, httplib::Response& res)
    {
        // the pages hold nothing of the recordings: everything else needs the token
        const bool page = req.path == "/" || req.path == "/player" || req.path.rfind("/player/", 0) == 0;
        if (page) return true;
        if (same_token(bearer_token(req.get_header_value("Authorization")), token_)) return true;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content("unauthorized: send the access token as 'Authorization: Bearer TOKEN'\n",
                        "text/plain; charset=utf-8");
        return false;
    }

    void recording(const httplib::Request& req, httplib::Response& res)
    {
        // The raw target too: encoded separators or dots never name a file.
        std::string raw = req.target.substr(0, req.target.find('?'));
        for (char& c : raw) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char* bad : {"%2e", "%2f", "%25", "%5c", "%00", "\\"})
            if (raw.find(bad) != std::string::npos) {
                res.status = 403;
                res.set_content("forbidden\n", "text/plain; charset=utf-8");
                return;
            }
        std::shared_ptr<Served> served;
        const int status = catalog_.open_recording(req.matches[1].str(), served);
        if (status != 0) {
            res.status = status;
            res.set_content(status == 403 ? "forbidden\n" : "not found\n", "text/plain; charset=utf-8");
            return;
        }
        const uint64_t size = served->size(); // a growing file: what is there now
        res.set_header("Accept-Ranges", "bytes");
        // What the page cannot learn from the bytes: whether the recorder
        // still writes the file (or zelship still ships it), the key the
        // server was told to expect, and what the store holds besides.
        res.set_header("Zel-Being-Written", served->being_written() ? "yes" : "no");
        if (pinned_.set) res.set_header("Zel-Pinned-Key", pinned_.line);
        if (const std::string problem = served->store_problem(); !problem.empty())
            res.set_header("Zel-Store-Problem", header_text(problem));
        if (req.ranges.empty())
            send_whole(res, served, size);
        else
            send_range(req, res, served, size);
    }

    Catalog& catalog_;
    FactsCache cache_;
    std::string token_;
    const PinnedKey& pinned_;
};

std::string url_host(const Listen& l)
{
    return l.ipv6 ? "[" + l.host + "]" : l.host;
}

// Waits for SIGINT or SIGTERM (blocked in every thread), then stops the server.
int run(HttpServer& http, const Listen& l)
{
    std::thread worker([&http] { http.listen_after_bind(); });
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {}
    http.stop_all();
    worker.join();
    std::fprintf(stderr, "zeldump: --serve: stopped on %s (%s:%d)\n", strsignal(sig), l.host.c_str(), l.port);
    return 0;
}

const char* const usage = "usage: zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT FILE_OR_DIR\n"
                          "       zeldump --serve [--key PUBLIC_FILE] [ADDRESS:]PORT s3://BUCKET/PREFIX "
                          "--endpoint URL [--region R]";

// The words after --serve: the key file, the two operands, the store's options.
struct Arguments {
    const char* key = nullptr;
    std::vector<std::string> operands;
    std::string endpoint, region;
};

// An error message, or "" when good.
std::string parse_arguments(int argc, char** argv, Arguments& out)
{
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const bool option = word == "--key" || word == "--endpoint" || word == "--region";
        if (option && i + 1 >= argc) return word + " needs a value";
        if (word == "--key" && i == 0)
            out.key = argv[++i];
        else if (word == "--endpoint")
            out.endpoint = argv[++i];
        else if (word == "--region")
            out.region = argv[++i];
        else if (word.starts_with("--"))
            return usage;
        else
            out.operands.push_back(word);
    }
    return out.operands.size() == 2 ? "" : usage;
}

} // namespace

std::unique_ptr<Catalog> open_file_catalog(const std::string& path, std::string& error)
{
    auto catalog = std::make_unique<FileCatalog>();
    error = catalog->open(path);
    return error.empty() ? std::move(catalog) : nullptr;
}

} // namespace serve

int zeldump_serve(int argc, char** argv)
{
    using namespace serve;
    if (sodium_init() < 0) return fail("libsodium cannot start (no random bytes for the access token)");
    Arguments args;
    if (std::string e = parse_arguments(argc, argv, args); !e.empty()) return fail(e);
    PinnedKey pinned;
    if (args.key != nullptr)
        if (std::string e = read_pinned_key(args.key, pinned); !e.empty()) return fail(e);
    Listen listen;
    if (std::string e = parse_listen(args.operands[0], listen); !e.empty()) return fail(e);
    const std::string& what = args.operands[1];
    const bool stored = zeldump::is_store_url(what);
    if (!stored && (!args.endpoint.empty() || !args.region.empty()))
        return fail("--endpoint and --region go with an s3://BUCKET/PREFIX recording");
    std::string error;
    const std::unique_ptr<Catalog> catalog =
        stored ? open_store_catalog(what, args.endpoint, args.region, error) : open_file_catalog(what, error);
    if (!catalog) return fail(error);
    const std::string token = new_token();

    // Signals are taken by run()'s sigwait; every thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    HttpServer http;
    if (listen.ipv6) http.set_address_family(AF_INET6);
    bool bound = listen.port == 0 ? (listen.port = http.bind_to_any_port(listen.host)) > 0
                                  : http.bind_to_port(listen.host, listen.port);
    if (!bound)
        return fail("cannot listen on " + url_host(listen) + ":" + std::to_string(listen.port) + ": " +
                    bind_error(listen));
    if (!http.lengthen_listen_queue())
        return fail("cannot listen on " + url_host(listen) + ":" + std::to_string(listen.port) + ": " +
                    std::strerror(errno));
    Server server(*catalog, token, pinned);
    server.routes(http);
    std::printf("http://%s:%d/#token=%s\n", url_host(listen).c_str(), listen.port, token.c_str());
    std::fflush(stdout);
    return run(http, listen);
}
