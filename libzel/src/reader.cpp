// The reader: walks the frames of a recording held in a file or in memory,
// checks every checksum and field against the frame and the data size, and
// tells a complete recording from a truncated and a corrupt one.  Nothing is
// allocated before the bytes it stands for are known to be there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    int fd = -1;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;
    uint64_t position = 0; // next frame
    bool started = false;  // file head checked
    bool done_seen = false;
    bool show_keyframes = false;
    bool show_seals = false;
    unsigned version = 0; // of the file head, once checked
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
    size_t got = 0;
    while (got < n) {
        ssize_t k = ::pread(r->fd, r->buffer.data() + got, n - got, static_cast<off_t>(offset + got));
        if (k < 0) {
            if (errno == EINTR) continue;
            *io_error = true;
            return nullptr;
        }
        if (k == 0) return nullptr; // the file shrank since it was opened
        got += static_cast<size_t>(k);
    }
    return r->buffer.data();
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
    r->size = data != nullptr ? size : 0;
    return r;
}

void zel_reader_close(ZelReader* reader)
{
    if (reader == nullptr) return;
    if (reader->fd >= 0) ::close(reader->fd);
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

// The status at the end of the data, or after the end-of-data record.
ZelReadStatus at_end(ZelReader* r, uint64_t at)
{
    if (!r->done_seen) return fail(r, ZEL_READ_TRUNCATED, at, "the data ends without an end-of-data record");
    if (r->size != at) return fail(r, ZEL_READ_CORRUPT, at, "data after the end-of-data record");
    r->status = ZEL_READ_END;
    r->problem_offset = at;
    r->problem.clear();
    if (r->verifier != nullptr) verifier_status(r->verifier, ZEL_READ_END, at, "");
    return ZEL_READ_END;
}

// Checks the 20 bytes of a frame head; the frame's size in *frame.
ZelReadStatus check_frame_head(ZelReader* r, uint64_t at, uint64_t* frame)
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
    const RecordKind* kind = kind_of(h[0]);
    if (kind == nullptr || kind->since_version == 0 || kind->since_version > r->version)
        return fail(r, ZEL_READ_CORRUPT, at, "unknown record type %u", h[0]);
    if (h[1] != 0 || get_u16(h + 2) != 0)
        return fail(r, ZEL_READ_CORRUPT, at, "reserved head bytes are not zero");
    const uint32_t length = get_u32(h + 4);
    if (length > ZEL_MAX_PAYLOAD)
        return fail(r, ZEL_READ_CORRUPT, at, "payload length %u past the limit", length);
    *frame = frame_overhead + static_cast<uint64_t>(length);
    if (left < *frame)
        return fail(r, ZEL_READ_TRUNCATED, at, "%s record incomplete: %llu of %llu bytes", type_name(h[0]),
                    static_cast<unsigned long long>(left), static_cast<unsigned long long>(*frame));
    return ZEL_READ_RECORD;
}

// Reads, checks and decodes the frame at the reader's position.
ZelReadStatus next_frame(ZelReader* r, ZelRecord** record)
{
    if (r->status != ZEL_READ_RECORD) return r->status;
    if (!r->started && check_file_head(r) != ZEL_READ_RECORD) return r->status;
    const uint64_t at = r->position;
    if (r->done_seen || at == r->size) return at_end(r, at);
    uint64_t frame = 0;
    if (check_frame_head(r, at, &frame) != ZEL_READ_RECORD) return r->status;
    bool io = false;
    const uint8_t* f = fetch(r, at, static_cast<size_t>(frame), &io);
    if (f == nullptr) return fetch_failed(r, at, io);
    const uint8_t type = f[0];
    const uint32_t length = get_u32(f + 4);
    if (get_u32(f + frame_prefix_size + length) != crc32c(f, frame_prefix_size + length))
        return fail(r, ZEL_READ_CORRUPT, at, "%s record checksum mismatch", type_name(type));
    Decoder d(f + frame_prefix_size, length);
    ZelRecord* out = decode_record(*kind_of(type), type, get_u64(f + 8), d);
    if (out == nullptr && d.no_memory()) {
        errno = ENOMEM;
        return fail(r, ZEL_READ_ERROR, at, "out of memory");
    }
    if (out == nullptr) return fail(r, ZEL_READ_CORRUPT, at, "%s record: %s", type_name(type), d.why());
    if (r->verifier != nullptr) verifier_frame(r->verifier, at, f, static_cast<size_t>(frame), out);
    r->record_offset = at;
    r->record_size = frame;
    r->position = at + frame;
    if (type == ZEL_DONE) r->done_seen = true;
    // Do not keep a large frame's buffer around between records.
    if (r->buffer.capacity() > (4u << 20)) std::vector<uint8_t>().swap(r->buffer);
    *record = out;
    return ZEL_READ_RECORD;
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
        if (s != ZEL_READ_RECORD || !zel::hidden(r, *record)) return s;
        zel_record_free(*record);
        *record = nullptr;
    }
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
    if (r == nullptr || r->started || r->status != ZEL_READ_RECORD) {
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
    if (r == nullptr || r->verifier != nullptr || offset < zel::file_head_size || offset > r->size) {
        errno = EINVAL;
        return -1;
    }
    if (!r->started && zel::check_file_head(r) != ZEL_READ_RECORD) {
        errno = EINVAL;
        return -1;
    }
    r->position = offset;
    r->status = ZEL_READ_RECORD;
    r->done_seen = false;
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
