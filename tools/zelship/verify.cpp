#include "verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zelship {

namespace {

struct FileCloser {
    int fd;
    ~FileCloser()
    {
        if (fd >= 0) ::close(fd);
    }
};

struct ReaderClose {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
using Reader = std::unique_ptr<ZelReader, ReaderClose>;

struct RecordFree {
    void operator()(ZelRecord* r) const { zel_record_free(r); }
};

// An unnamed file in TMPDIR (or /tmp), gone once closed.
int temporary_file()
{
    const char* dir = std::getenv("TMPDIR");
    return ::open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Reads one segment by its version id into the file at its offset.
Response fetch_segment(Client& client, const Manifest& m, int fd, StoreVerdict& out)
{
    Sha256Stream sha;
    uint64_t at = m.start;
    const Sink sink = [&](std::span<const uint8_t> piece) {
        const uint64_t keep = at >= m.end ? 0 : std::min<uint64_t>(piece.size(), m.end - at);
        if (keep > 0 &&
            ::pwrite(fd, piece.data(), keep, static_cast<off_t>(at)) != static_cast<ssize_t>(keep))
            return false;
        sha.add(piece);
        at += piece.size();
        return true;
    };
    Response r = client.get(m.segment, {{"versionId", m.version}}, {}, &sink);
    if (!r.ok()) return r;
    if (at != m.end || sha.finish() != m.sha256)
        out.problems.push_back(m.segment + " (version " + m.version +
                               ") is not the segment its manifest describes (size or SHA-256 differ)");
    return r;
}

std::string seal_problem(ZelReader* reader, const Manifest& m)
{
    const std::string named = "the seal its manifest names at byte " + std::to_string(m.seal->offset);
    ZelRecord* raw = nullptr;
    if (zel_reader_seek(reader, m.seal->offset) != 0 || zel_reader_next(reader, &raw) != ZEL_READ_RECORD)
        return m.segment + " does not hold " + named;
    std::unique_ptr<ZelRecord, RecordFree> record(raw);
    const auto* s = reinterpret_cast<const ZelSeal*>(raw);
    const bool same = raw->type == ZEL_SEAL && s->offset == m.seal->offset && s->timestamp == m.seal->time &&
                      s->flags == m.seal->flags && std::memcmp(s->chain, m.seal->chain.data(), 32) == 0 &&
                      zel_reader_record_offset(reader) + zel_reader_record_size(reader) == m.end;
    return same ? std::string{} : m.segment + " does not end with " + named;
}

// Each segment but a last one ends with the seal its manifest names.
void check_seals(int fd, const Shipped& shipped, StoreVerdict& out)
{
    Reader reader(zel_reader_open(("/proc/self/fd/" + std::to_string(fd)).c_str()));
    if (!reader)
        return out.problems.push_back(std::string("cannot read back the segments: ") + std::strerror(errno));
    zel_reader_show_seals(reader.get(), 1);
    for (const auto& m : shipped.segments) {
        if (!m.seal && &m != &shipped.segments.back())
            out.problems.push_back("manifest of " + m.segment + " names no seal, yet segments follow it");
        if (!m.seal) continue;
        if (std::string p = seal_problem(reader.get(), m); !p.empty()) out.problems.push_back(p);
    }
}

std::string seals_text(const ZelVerification& v)
{
    std::string out = std::to_string(v.seals) + (v.seals == 1 ? " seal holds" : " seals hold");
    if (!v.is_signed) return out + ", unsigned";
    char id[2 * ZEL_KEY_ID_BYTES + 1];
    for (size_t i = 0; i < ZEL_KEY_ID_BYTES; ++i) std::snprintf(id + 2 * i, 3, "%02X", v.key_id[i]);
    return out + ", signed with key " + id;
}

} // namespace

ZelVerdict StoreVerdict::verdict() const
{
    if (zel.verdict == ZEL_VERDICT_CORRUPT || zel.verdict == ZEL_VERDICT_ERROR) return zel.verdict;
    return problems.empty() ? zel.verdict : ZEL_VERDICT_NOT_AUTHENTIC;
}

std::string StoreVerdict::text(const std::string& url) const
{
    char head[512];
    const auto n = static_cast<unsigned long long>(segments);
    switch (verdict()) {
    case ZEL_VERDICT_COMPLETE:
        std::snprintf(head, sizeof head,
                      "%s: complete, %llu segments, %" PRIu64 " bytes, %" PRIu64
                      " records, every checksum holds, %s",
                      url.c_str(), n, bytes, zel.records, seals_text(zel).c_str());
        return head;
    case ZEL_VERDICT_TRUNCATED:
        std::snprintf(head, sizeof head,
                      "%s: truncated at byte %" PRIu64 " (%s), %llu segments; sealed up to byte %" PRIu64,
                      url.c_str(), zel.problem_offset, zel.reason, n, zel.sealed_bytes);
        return head;
    case ZEL_VERDICT_CORRUPT:
        std::snprintf(head, sizeof head, "%s: corrupt at byte %" PRIu64 ": %s", url.c_str(),
                      zel.problem_offset, zel.reason);
        return head;
    case ZEL_VERDICT_NOT_AUTHENTIC: break;
    case ZEL_VERDICT_ERROR: return url + ": unreadable: " + zel.reason;
    }
    std::string out =
        url + ": not authentic: " + (problems.empty() ? std::string(zel.reason) : problems.front());
    for (size_t i = 1; i < problems.size(); ++i) out += "\n" + url + ": also: " + problems[i];
    if (!problems.empty() && zel.verdict != ZEL_VERDICT_COMPLETE && zel.verdict != ZEL_VERDICT_TRUNCATED)
        out += "\n" + url + ": also: " + zel.reason;
    return out;
}

Response verify_shipped(Client& client, const Shipped& shipped, StoreVerdict& out)
{
    out = StoreVerdict{};
    out.problems = shipped.problems;
    out.segments = shipped.segments.size();
    out.bytes = shipped.size();
    const FileCloser file{temporary_file()};
    if (file.fd < 0)
        return Response::failure(std::string("no temporary file: ") + std::strerror(errno), false);
    Response r = Response::settled();
    for (const auto& m : shipped.segments)
        if (r = fetch_segment(client, m, file.fd, out); !r.ok()) return r;
    check_seals(file.fd, shipped, out);
    Reader reader(zel_reader_open(("/proc/self/fd/" + std::to_string(file.fd)).c_str()));
    if (!reader)
        return Response::failure(std::string("cannot read back the segments: ") + std::strerror(errno),
                                 false);
    zel_verify(reader.get(), nullptr, &out.zel);
    return r;
}

} // namespace zelship
