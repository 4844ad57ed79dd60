// The reader: walks the frames of a recording held in a file or in memory,
// checks every checksum and field against the frame and the data size, and
// tells a complete recording from a truncated and a corrupt one.  Nothing is
// allocated before the bytes it stands for are known to be there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "codec.h"
#include "verify.h"

struct zel_reader {
    int fd = -1;                     // a file, or
    const uint8_t* memory = nullptr; // bytes in memory, or
    ZelSource source{};              // a source (source.read_at set)
    uint64_t memory_size = 0;
    uint64_t size = 0;
    uint64_t position = 0; // next frame
    bool started = false;  // file head checked
    bool done_seen = false;
    bool end_sealed = false;      // version 3: the seal after the end-of-data record was read
    bool nothing_follows = false; // a resync found no intact frame after the damage
    bool show_keyframes = false;
    bool show_seals = false;
    bool skipping = false;
    std::array<bool, 256> skip{}; // types passed over by their length
    unsigned version = 0;         // of the file head, once checked
    ZelVerifier* verifier = nullptr;
    ZelReadStatus status = ZEL_READ_RECORD; // sticky once not RECORD
    uint64_t record_offset = 0;
    uint64_t record_size = 0;
    uint64_t problem_offset = 0;
    std::string problem;
    std::vector<uint8_t> buffer;
};

namespace zel {
namespace {

// Reads n bytes at offset into out from a file or source; false at an early
// end (errno 0) or on failure (errno set).
bool read_exactly(ZelReader* r, uint64_t offset, uint8_t* out, size_t n)
{
    size_t got = 0;
    while (got < n) {
        int64_t k = r->fd >= 0 ? ::pread(r->fd, out + got, n - got, static_cast<off_t>(offset + got))
                               : r->source.read_at(r->source.context, offset + got, out + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            if (k == 0) errno = 0;
            return false;
        }
        got += static_cast<size_t>(k);
    }
    return true;
}

// n bytes at offset, or nullptr when the data ends earlier (or reading fails:
// errno set, *io_error true).
const uint8_t* fetch(ZelReader* r, uint64_t offset, size_t n, bool* io_error)
{
    *io_error = false;
    if (offset > r->size || n > r->size - offset) return nullptr;
    if (r->memory != nullptr) return r->memory + offset;
    if (r->buffer.size() < n) {
        try {
            r->buffer.resize(n);
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
            *io_error = true;
            return nullptr;
        }
    }
    if (read_exactly(r, offset, r->buffer.data(), n)) return r->buffer.data();
    *io_error = errno != 0; // else the data shrank since its size was taken
    return nullptr;
}

// The size of the data now.
uint64_t current_size(const ZelReader* r)
{
    if (r->memory != nullptr) return r->memory_size;
    if (r->fd < 0) return r->source.size(r->source.context);
    struct stat st {};
    return ::fstat(r->fd, &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : r->size;
}

__attribute__((format(printf, 4, 5))) ZelReadStatus fail(ZelReader* r, ZelReadStatus s, uint64_t offset,
                                                         const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    r->status = s;
    r->problem_offset = offset;
    r->problem = text;
    if (r->verifier != nullptr) verifier_status(r->verifier, s, offset, text);
    return s;
}

ZelReadStatus check_file_head(ZelReader* r)
{
    bool io = false;
    size_t have = r->size < file_head_size ? static_cast<size_t>(r->size) : file_head_size;
    const uint8_t* p = fetch(r, 0, have, &io);
    if (p == nullptr && (io || have > 0)) {
        if (io) return fail(r, ZEL_READ_ERROR, 0, "cannot read the file: %s", std::strerror(errno));
        return fail(r, ZEL_READ_TRUNCATED, 0, "the file shrank while being read");
    }
    size_t magic = have < sizeof file_magic ? have : sizeof file_magic;
    if (magic > 0 && std::memcmp(p, file_magic, magic) != 0)
        return fail(r, ZEL_READ_CORRUPT, 0, "not a recording: the magic bytes differ");
    if (have < file_head_size)
        return fail(r, ZEL_READ_TRUNCATED, 0, "file head incomplete: %zu of %zu bytes", have, file_head_size);
    if (get_u32(p + 12) != crc32c(p, 12)) return fail(r, ZEL_READ_CORRUPT, 0, "file head checksum mismatch");
    uint16_t version = get_u16(p + 8);
    if (version < ZEL_FORMAT_VERSION_MIN || version > ZEL_FORMAT_VERSION)
        return fail(r, ZEL_READ_CORRUPT, 0, "unsupported format version %u", version);
    if (get_u16(p + 10) != 0)
        return fail(r, ZEL_READ_CORRUPT, 0, "unknown file flags 0x%04x", get_u16(p + 10));
    r->version = version;
    if (r->verifier != nullptr) verifier_file_head(r->verifier, p, file_head_size, version);
    r->started = true;
    r->position = file_head_size;
    return ZEL_READ_RECORD;
}

} // namespace
} // namespace zel

extern "C" {

ZelReader* zel_reader_open(const char* filename)
{
    if (filename == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
    }
    auto* r = new (std::nothrow) zel_reader;
    if (r == nullptr) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    r->fd = fd;
    r->size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return r;
}

ZelReader* zel_reader_open_memory(const void* data, size_t size)
{
    auto* r = new (std::nothrow) zel_reader;
    if (r == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    static const uint8_t empty = 0;
    r->memory = data != nullptr ? static_cast<const uint8_t*>(data) : &empty;
    r->memory_size = r->size = data != nullptr ? size : 0;
    return r;
}

ZelReader* zel_reader_open_source(const ZelSource* source)
{
    if (source == nullptr || source->read_at == nullptr || source->size == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* r = new (std::nothrow) zel_reader;
    if (r == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    r->source = *source;
    r->size = source->size(source->context);
    return r;
}

void zel_reader_close(ZelReader* reader)
{
    if (reader == nullptr) return;
    if (reader->fd >= 0) ::close(reader->fd);
    if (reader->source.close != nullptr) reader->source.close(reader->source.context);
    delete reader;
}

} // extern "C"

namespace zel {
namespace {

const char* type_name(uint8_t type)
{
    return zel_record_type_to_string(static_cast<ZelRecordType>(type));
}

ZelReadStatus fetch_failed(ZelReader* r, uint64_t at, bool io)
{
    if (io && errno == ENOMEM) return fail(r, ZEL_READ_ERROR, at, "out of memory");
    if (io) return fail(r, ZEL_READ_ERROR, at, "cannot read the file: %s", std::strerror(errno));
    return fail(r, ZEL_READ_TRUNCATED, at, "the file shrank while being read");
}

// Whether the data must end at the reader's position: after the
// end-of-data record (version 3: after the seal that follows it).
bool at_the_end(const ZelReader* r)
{
    return r->done_seen && (r->version < 3 || r->end_sealed);
}

// The status at the end of the data, or where it must end.
ZelReadStatus at_end(ZelReader* r, uint64_t at)
{
    if (!r->done_seen) return fail(r, ZEL_READ_TRUNCATED, at, "the data ends without an end-of-data record");
    if (r->size == at && !at_the_end(r))
        return fail(r, ZEL_READ_TRUNCATED, at,
                    "the data ends after the end-of-data record, before its final seal");
    if (r->size != at)
        return fail(r, ZEL_READ_CORRUPT, at, "data after the %s",
                    r->version < 3 ? "end-of-data record" : "final seal");
    r->status = ZEL_READ_END;
    r->problem_offset = at;
    r->problem.clear();
    if (r->verifier != nullptr) verifier_status(r->verifier, ZEL_READ_END, at, "");
    return ZEL_READ_END;
}

bool known_type(const ZelReader* r, uint8_t type)
{
    const RecordKind* kind = kind_of(type);
    return kind != nullptr && kind->since_version != 0 && kind->since_version <= r->version;
}

// Whether a frame head's fields hold (not its checksum): its type is known
// in the file's version, its reserved bytes are 0, its length is within the
// limit.
bool head_holds(const ZelReader* r, const uint8_t* h)
{
    return known_type(r, h[0]) && h[1] == 0 && get_u16(h + 2) == 0 && get_u32(h + 4) <= ZEL_MAX_PAYLOAD;
}

// Checks the 20 bytes of a frame head; its type in *type, the frame's size
// in *frame.
ZelReadStatus check_frame_head(ZelReader* r, uint64_t at, uint8_t* type, uint64_t* frame)
{
    const uint64_t left = r->size - at;
    if (left < frame_prefix_size)
        return fail(r, ZEL_READ_TRUNCATED, at, "record head incomplete: %llu of %zu bytes",
                    static_cast<unsigned long long>(left), frame_prefix_size);
    bool io = false;
    const uint8_t* h = fetch(r, at, frame_prefix_size, &io);
    if (h == nullptr) return fetch_failed(r, at, io);
    if (get_u32(h + frame_head_size) != crc32c(h, frame_head_size))
        return fail(r, ZEL_READ_CORRUPT, at, "record head checksum mismatch");
    if (!known_type(r, h[0])) return fail(r, ZEL_READ_CORRUPT, at, "unknown record type %u", h[0]);
    if (h[1] != 0 || get_u16(h + 2) != 0)
        return fail(r, ZEL_READ_CORRUPT, at, "reserved head bytes are not zero");
    if (get_u32(h + 4) > ZEL_MAX_PAYLOAD)
        return fail(r, ZEL_READ_CORRUPT, at, "payload length %u past the limit", get_u32(h + 4));
    *type = h[0];
    *frame = frame_overhead + static_cast<uint64_t>(get_u32(h + 4));
    if (left < *frame)
        return fail(r, ZEL_READ_TRUNCATED, at, "%s record incomplete: %llu of %llu bytes", type_name(h[0]),
                    static_cast<unsigned long long>(left), static_cast<unsigned long long>(*frame));
    if (r->done_seen && *type != ZEL_SEAL)
        return fail(r, ZEL_READ_CORRUPT, at, "%s record after the end-of-data record", type_name(*type));
    return ZEL_READ_RECORD;
}

// The reader is past the frame at `at`.
ZelReadStatus passed(ZelReader* r, uint64_t at, uint64_t frame, uint8_t type)
{
    r->end_sealed = r->done_seen; // the one seal after the end-of-data record
    r->done_seen = r->done_seen || type == ZEL_DONE;
    r->record_offset = at;
    r->record_size = frame;
    r->position = at + frame;
    return ZEL_READ_RECORD;
}

// Reads, checks and decodes the frame at the reader's position; *record
// stays NULL for a frame passed over.
ZelReadStatus next_frame(ZelReader* r, ZelRecord** record)
{
    if (r->status != ZEL_READ_RECORD) return r->status;
    if (!r->started && check_file_head(r) != ZEL_READ_RECORD) return r->status;
    const uint64_t at = r->position;
    if (at == r->size || at_the_end(r)) return at_end(r, at);
    uint8_t type = 0;
    uint64_t frame = 0;
    if (check_frame_head(r, at, &type, &frame) != ZEL_READ_RECORD) return r->status;
    if (r->skip[type]) return passed(r, at, frame, type);
    bool io = false;
    const uint8_t* f = fetch(r, at, static_cast<size_t>(frame), &io);
    if (f == nullptr) return fetch_failed(r, at, io);
    const uint32_t length = get_u32(f + 4);
    if (get_u32(f + frame_prefix_size + length) != crc32c(f, frame_prefix_size + length))
        return fail(r, ZEL_READ_CORRUPT, at, "%s record checksum mismatch", type_name(type));
    Decoder d(f + frame_prefix_size, length, r->version);
    ZelRecord* out = decode_record(*kind_of(type), type, get_u64(f + 8), d);
    if (out == nullptr && d.no_memory()) {
        errno = ENOMEM;
        return fail(r, ZEL_READ_ERROR, at, "out of memory");
    }
    if (out == nullptr) return fail(r, ZEL_READ_CORRUPT, at, "%s record: %s", type_name(type), d.why());
    if (r->verifier != nullptr) verifier_frame(r->verifier, at, f, static_cast<size_t>(frame), out);
    passed(r, at, frame, type);
    // Do not keep a large frame's buffer around between records.
    if (r->buffer.capacity() > (4u << 20)) std::vector<uint8_t>().swap(r->buffer);
    *record = out;
    return ZEL_READ_RECORD;
}

// Whether an intact frame starts at offset at (of the file's version).
bool intact_frame_at(ZelReader* r, uint64_t at, const uint8_t* head)
{
    if (get_u32(head + frame_head_size) != crc32c(head, frame_head_size) || !head_holds(r, head))
        return false;
    const uint64_t frame = frame_overhead + static_cast<uint64_t>(get_u32(head + 4));
    if (frame > r->size - at) return false;
    bool io = false;
    const uint8_t* f = fetch(r, at, static_cast<size_t>(frame), &io);
    const size_t covered = static_cast<size_t>(frame) - 4;
    return f != nullptr && get_u32(f + covered) == crc32c(f, covered);
}

// The first offset from `from` on at which an intact frame starts; r->size
// when none does; errno set and false on a read failure.
bool find_intact_frame(ZelReader* r, uint64_t from, uint64_t* found)
{
    constexpr size_t window = 64 * 1024;
    std::vector<uint8_t> heads;
    for (uint64_t at = from; r->size >= frame_overhead && at <= r->size - frame_overhead;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(window + frame_prefix_size, r->size - at));
        bool io = false;
        const uint8_t* p = fetch(r, at, n, &io);
        if (p == nullptr) return !io && (*found = r->size, true);
        heads.assign(p, p + n); // fetch reuses its buffer for the frames checked below
        for (size_t i = 0; i + frame_prefix_size <= n; ++i)
            if (heads[i + 1] == 0 && heads[i + 2] == 0 && heads[i + 3] == 0 &&
                intact_frame_at(r, at + i, heads.data() + i)) {
                *found = at + i;
                return true;
            }
        at += n - frame_prefix_size + 1;
    }
    *found = r->size;
    return true;
}

bool hidden(const ZelReader* r, const ZelRecord* record)
{
    return (record->type == ZEL_KEYFRAME && !r->show_keyframes) ||
           (record->type == ZEL_SEAL && !r->show_seals);
}

} // namespace
} // namespace zel

extern "C" {

ZelReadStatus zel_reader_next(ZelReader* r, ZelRecord** record)
{
    if (record != nullptr) *record = nullptr;
    if (r == nullptr || record == nullptr) {
        errno = EINVAL;
        return ZEL_READ_ERROR;
    }
    for (;;) {
        ZelReadStatus s = zel::next_frame(r, record);
        if (s != ZEL_READ_RECORD || (*record != nullptr && !zel::hidden(r, *record))) return s;
        zel_record_free(*record);
        *record = nullptr;
    }
}

int zel_reader_resync(ZelReader* r)
{
    if (r == nullptr || r->status != ZEL_READ_CORRUPT || !r->started) {
        errno = EINVAL;
        return -1;
    }
    if (r->nothing_follows) return 1;
    const uint64_t from = r->problem_offset;
    uint64_t found = 0;
    if (!zel::find_intact_frame(r, from + 1, &found)) return -1;
    if (r->verifier != nullptr) zel::verifier_damage(r->verifier, from, found);
    if (found == r->size) {
        r->nothing_follows = true;
        return 1;
    }
    r->position = found;
    r->status = ZEL_READ_RECORD;
    r->problem.clear();
    r->problem_offset = 0;
    return 0;
}

void zel_reader_skip_types(ZelReader* r, const uint8_t* types, size_t n)
{
    if (r == nullptr || r->verifier != nullptr || (types == nullptr && n > 0)) return;
    r->skip.fill(false);
    for (size_t i = 0; i < n; ++i) r->skip[types[i]] = types[i] != ZEL_DONE;
    r->skipping = std::find(r->skip.begin(), r->skip.end(), true) != r->skip.end();
}

void zel_reader_show_seals(ZelReader* r, int show)
{
    if (r != nullptr) r->show_seals = show != 0;
}

unsigned zel_reader_format_version(const ZelReader* r)
{
    return r ? r->version : 0;
}

int zel_reader_set_verifier(ZelReader* r, ZelVerifier* verifier)
{
    if (r != nullptr && verifier == nullptr) {
        r->verifier = nullptr;
        return 0;
    }
    if (r == nullptr || r->started || r->status != ZEL_READ_RECORD || r->skipping) {
        errno = EINVAL;
        return -1;
    }
    r->verifier = verifier;
    return 0;
}

void zel_reader_show_keyframes(ZelReader* r, int show)
{
    if (r != nullptr) r->show_keyframes = show != 0;
}

uint64_t zel_reader_record_offset(const ZelReader* r)
{
    return r ? r->record_offset : 0;
}
uint64_t zel_reader_record_size(const ZelReader* r)
{
    return r ? r->record_size : 0;
}
uint64_t zel_reader_problem_offset(const ZelReader* r)
{
    return r ? r->problem_offset : 0;
}
const char* zel_reader_problem(const ZelReader* r)
{
    return r ? r->problem.c_str() : "";
}
uint64_t zel_reader_size(const ZelReader* r)
{
    return r ? r->size : 0;
}

int zel_reader_seek(ZelReader* r, uint64_t offset)
{
    if (r == nullptr || r->verifier != nullptr) {
        errno = EINVAL;
        return -1;
    }
    r->size = zel::current_size(r);
    if (offset < zel::file_head_size || offset > r->size ||
        (!r->started && zel::check_file_head(r) != ZEL_READ_RECORD)) {
        errno = EINVAL;
        return -1;
    }
    r->position = offset;
    r->status = ZEL_READ_RECORD;
    r->done_seen = false;
    r->end_sealed = false;
    r->nothing_follows = false;
    r->problem.clear();
    r->problem_offset = 0;
    return 0;
}

const char* zel_read_status_to_string(ZelReadStatus status)
{
    switch (status) {
    case ZEL_READ_RECORD: return "record";
    case ZEL_READ_END: return "end";
    case ZEL_READ_TRUNCATED: return "truncated";
    case ZEL_READ_CORRUPT: return "corrupt";
    case ZEL_READ_ERROR: return "error";
    }
    return "unknown";
}

} // extern "C"
