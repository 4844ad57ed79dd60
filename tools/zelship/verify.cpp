#include "verify.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "source.h"

namespace zelship {

namespace {

struct ReaderClose {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
using Reader = std::unique_ptr<ZelReader, ReaderClose>;

struct RecordFree {
    void operator()(ZelRecord* r) const { zel_record_free(r); }
};

constexpr uint64_t file_head = 16;            // what a reader checks before it seeks
constexpr uint64_t longest_seal_frame = 4096; // more than any: a manifest naming more is wrong

// Bytes of the recording kept at their offsets and read as a ZelSource: the
// file head and the seal frames, enough for a reader to seek to each seal
// and decode it.
struct Pieces {
    std::map<uint64_t, std::string> at;
    uint64_t size = 0;

    int64_t read(uint64_t offset, uint8_t* out, size_t n) const
    {
        auto it = at.upper_bound(offset);
        if (it == at.begin() || offset >= std::prev(it)->first + std::prev(it)->second.size()) {
            errno = EIO;
            return -1;
        }
        --it;
        const auto from = static_cast<size_t>(offset - it->first);
        const size_t k = std::min(n, it->second.size() - from);
        std::memcpy(out, it->second.data() + from, k);
        return static_cast<int64_t>(k);
    }
    ZelSource source()
    {
        ZelSource s{};
        s.context = this;
        s.read_at = [](void* c, uint64_t offset, void* buf, size_t n) {
            return static_cast<Pieces*>(c)->read(offset, static_cast<uint8_t*>(buf), n);
        };
        s.size = [](void* c) { return static_cast<Pieces*>(c)->size; };
        return s;
    }
    // The part within [from, to) of bytes read at `offset`, added to the
    // piece at `key` (the bytes come in order).
    void add(uint64_t key, uint64_t from, uint64_t to, uint64_t offset, std::span<const uint8_t> bytes)
    {
        from = std::max(from, offset);
        to = std::min(to, offset + bytes.size());
        if (from >= to) return;
        at[key] += std::string_view(reinterpret_cast<const char*>(bytes.data() + (from - offset)),
                                    static_cast<size_t>(to - from));
    }
};

// The frame of the seal that a manifest names, when it is where a seal
// frame can be: inside the segment, at its end.
bool seal_frame_fits(const Manifest& m)
{
    return m.seal && m.seal->offset >= m.start && m.seal->offset < m.end &&
           m.end - m.seal->offset <= longest_seal_frame;
}

std::string seal_problem(ZelReader* reader, const Manifest& m)
{
    const std::string named = "the seal its manifest names at byte " + std::to_string(m.seal->offset);
    ZelRecord* raw = nullptr;
    if (!seal_frame_fits(m) || zel_reader_seek(reader, m.seal->offset) != 0 ||
        zel_reader_next(reader, &raw) != ZEL_READ_RECORD)
        return m.segment + " does not end with " + named;
    std::unique_ptr<ZelRecord, RecordFree> record(raw);
    const auto* s = reinterpret_cast<const ZelSeal*>(raw);
    const bool same = raw->type == ZEL_SEAL && s->offset == m.seal->offset && s->timestamp == m.seal->time &&
                      s->flags == m.seal->flags && std::memcmp(s->chain, m.seal->chain.data(), 32) == 0 &&
                      zel_reader_record_offset(reader) + zel_reader_record_size(reader) == m.end;
    return same ? std::string{} : m.segment + " does not end with " + named;
}

// What a reader read of one segment, from its start on.
struct Seen {
    Sha256Stream sha;
    uint64_t next = 0; // the first byte not seen yet
};

// Follows the ranges that a verifying reader reads from the store: each
// segment's bytes, seen in order, are hashed, and the file head and the seal
// frames kept.  What the reader did not read in order (it stopped at damage,
// or went back) is read afterwards by complete().
class Witness {
  public:
    explicit Witness(const Shipped& shipped) : shipped_(shipped)
    {
        pieces_.size = shipped.size();
        for (const auto& m : shipped.segments) seen_[m.start].next = m.start;
    }

    void see(const Manifest& m, uint64_t offset, std::span<const uint8_t> bytes)
    {
        Seen& s = seen_[m.start];
        if (offset > s.next || s.next >= offset + bytes.size()) return;
        bytes = bytes.subspan(static_cast<size_t>(s.next - offset));
        pieces_.add(0, 0, file_head, s.next, bytes);
        if (seal_frame_fits(m)) pieces_.add(m.seal->offset, m.seal->offset, m.end, s.next, bytes);
        s.sha.add(bytes);
        s.next += bytes.size();
    }

    // Reads what was not seen of each segment, by its version id.
    Response complete(Client& client)
    {
        for (const auto& m : shipped_.segments) {
            const uint64_t from = seen_[m.start].next;
            if (from >= m.end) continue;
            uint64_t at = from;
            const Sink sink = [&](std::span<const uint8_t> piece) {
                see(m, at, piece);
                at += piece.size();
                return true;
            };
            const Headers range{"Range: bytes=" + std::to_string(from - m.start) + "-" +
                                std::to_string(m.end - m.start - 1)};
            if (Response r = client.get(m.segment, {{"versionId", m.version}}, range, &sink); !r.ok())
                return r;
        }
        return Response::settled();
    }

    // Each segment has its manifest's size and SHA-256; each but a last one
    // ends with the seal its manifest names.
    void check(StoreVerdict& out)
    {
        for (const auto& m : shipped_.segments) {
            Seen& s = seen_[m.start];
            if (s.next != m.end || s.sha.finish() != m.sha256)
                out.problems.push_back(
                    m.segment + " (version " + m.version +
                    ") is not the segment its manifest describes (size or SHA-256 differ)");
        }
        ZelSource source = pieces_.source();
        Reader reader(zel_reader_open_source(&source));
        if (!reader) return out.problems.push_back("cannot read the seals: out of memory");
        zel_reader_show_seals(reader.get(), 1);
        for (const auto& m : shipped_.segments) {
            if (!m.seal && &m != &shipped_.segments.back())
                out.problems.push_back("manifest of " + m.segment + " names no seal, yet segments follow it");
            if (!m.seal) continue;
            if (std::string p = seal_problem(reader.get(), m); !p.empty()) out.problems.push_back(p);
        }
    }

  private:
    const Shipped& shipped_;
    std::map<uint64_t, Seen> seen_; // by segment start
    Pieces pieces_;
};

std::string seals_text(const ZelVerification& v)
{
    std::string out = std::to_string(v.seals) + (v.seals == 1 ? " seal holds" : " seals hold");
    if (!v.is_signed) return out + ", unsigned";
    char id[ZEL_KEY_ID_TEXT_BYTES];
    zel_key_id_text(v.key_id, id);
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

Response verify_shipped(Client& client, const Shipped& shipped, const uint8_t* public_key, StoreVerdict& out)
{
    out = StoreVerdict{};
    out.problems = shipped.problems;
    out.segments = shipped.segments.size();
    out.bytes = shipped.size();
    Witness witness(shipped);
    StoreSource source(client, shipped);
    source.set_tap([&](const Manifest& m, uint64_t offset, std::span<const uint8_t> bytes) {
        witness.see(m, offset, bytes);
    });
    ZelSource zel = zel_source(source);
    Reader reader(zel_reader_open_source(&zel));
    std::unique_ptr<ZelVerifier, decltype(&zel_verifier_free)> verifier(
        reader ? zel_verifier_new(public_key) : nullptr, zel_verifier_free);
    if (!verifier || zel_verifier_run(verifier.get(), reader.get()) != 0)
        return Response::failure("out of memory", false);
    zel_verifier_result(verifier.get(), &out.zel);
    out.damage.resize(zel_verifier_damage(verifier.get(), nullptr, 0));
    out.damage.resize(zel_verifier_damage(verifier.get(), out.damage.data(), out.damage.size()));
    if (out.zel.verdict == ZEL_VERDICT_ERROR && !source.failure().error.empty()) return source.failure();
    if (Response r = witness.complete(client); !r.ok()) return r;
    witness.check(out);
    return Response::settled();
}

} // namespace zelship
