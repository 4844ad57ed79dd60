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

#include "zel_internal.h"

struct zel_reader {
    int fd = -1;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;
    uint64_t position = 0; // next frame
    bool started = false;  // file head checked
    bool done_seen = false;
    bool show_keyframes = false;
    ZelReadStatus status = ZEL_READ_RECORD; // sticky once not RECORD
    uint64_t record_offset = 0;
    uint64_t record_size = 0;
    uint64_t problem_offset = 0;
    std::string problem;
    std::vector<uint8_t> buffer;
};

namespace zel {
namespace {

constexpr uint32_t null_string = 0xFFFFFFFFu;

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
    return s;
}

// Reads fields of one payload; any read past the end clears ok.
class Decoder {
  public:
    Decoder(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    bool at_end() const { return at_ == n_; }
    size_t left() const { return n_ - at_; }
    const char* why() const { return why_; }
    void fail(const char* why)
    {
        if (ok_) why_ = why;
        ok_ = false;
    }
    const uint8_t* take(size_t k)
    {
        if (!ok_ || k > n_ - at_) {
            fail("payload too short for its fields");
            return nullptr;
        }
        const uint8_t* q = p_ + at_;
        at_ += k;
        return q;
    }
    uint8_t u8()
    {
        const uint8_t* q = take(1);
        return q ? q[0] : 0;
    }
    uint16_t u16()
    {
        const uint8_t* q = take(2);
        return q ? get_u16(q) : 0;
    }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    uint32_t u32()
    {
        const uint8_t* q = take(4);
        return q ? get_u32(q) : 0;
    }
    PixelFormat format()
    {
        auto v = static_cast<int32_t>(u32());
        if (v < FORMAT_NOT_FOUND || v > BGRA8888) {
            fail("pixel format out of range");
            return FORMAT_UNKNOWN;
        }
        return static_cast<PixelFormat>(v);
    }
    // A copy of the next n bytes (nullptr for n == 0).
    uint8_t* copy(size_t n)
    {
        const uint8_t* q = take(n);
        if (q == nullptr || n == 0) return nullptr;
        auto* out = static_cast<uint8_t*>(std::malloc(n));
        if (out == nullptr) {
            fail("out of memory");
            no_memory_ = true;
            return nullptr;
        }
        std::memcpy(out, q, n);
        return out;
    }
    uint8_t* string()
    {
        uint32_t n = u32();
        if (!ok_ || n == null_string) return nullptr;
        const uint8_t* q = take(n);
        if (q == nullptr) return nullptr;
        if (std::memchr(q, 0, n) != nullptr) {
            fail("string holds a NUL byte");
            return nullptr;
        }
        auto* out = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(n) + 1));
        if (out == nullptr) {
            fail("out of memory");
            no_memory_ = true;
            return nullptr;
        }
        std::memcpy(out, q, n);
        out[n] = 0;
        return out;
    }
    bool no_memory() const { return no_memory_; }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
    bool ok_ = true;
    bool no_memory_ = false;
    const char* why_ = "";
};

template <typename T>
T* new_record(uint8_t type, uint64_t timestamp)
{
    auto* r = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (r != nullptr) {
        auto* head = reinterpret_cast<ZelRecord*>(r);
        head->type = type;
        head->timestamp = timestamp;
    }
    return r;
}

bool known_type(uint8_t t)
{
    switch (t) {
    case ZEL_DONE:
    case ZEL_HEADER:
    case ZEL_IMAGE:
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_CURSOR_IMAGE:
    case ZEL_CURSOR_POSITION:
    case ZEL_SCREEN_CHANGE:
    case ZEL_LAST_INPUT:
    case ZEL_FOOTER_ITEM_APP:
    case ZEL_FOOTER_ITEM_HOST:
    case ZEL_FOOTER_ITEM_IP:
    case ZEL_FOOTER_ITEM_SID:
    case ZEL_FOOTER_ITEM_TID:
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
    case ZEL_FOOTER_ITEM_APPFMT:
    case ZEL_KEYFRAME: return true;
    default: return false;
    }
}

void check_compressed(Decoder& d, uint32_t length, uint32_t compressed_length)
{
    if (!d.ok()) return;
    if (length > ZEL_MAX_UNCOMPRESSED)
        d.fail("uncompressed length past the limit");
    else if (compressed_length != d.left())
        d.fail("compressed length does not match the payload");
}

// Decodes a payload into a new record; nullptr with d's reason on failure.
ZelRecord* decode(uint8_t type, uint64_t ts, Decoder& d)
{
    ZelRecord* out = nullptr;
    switch (type) {
    case ZEL_DONE: out = new_record<ZelRecord>(type, ts); break;
    case ZEL_HEADER: {
        auto* h = new_record<ZelHeader>(type, ts);
        if (h == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(h);
        h->version = d.u8();
        h->depth = d.u8();
        h->width = d.u16();
        h->height = d.u16();
        h->pixel_format = d.format();
        h->scanline_pad = d.u8();
        h->min_keycode = d.u8();
        h->max_keycode = d.u8();
        h->palette_size = d.u16();
        uint8_t present = d.u8();
        if (present > 1) d.fail("palette flag is neither 0 nor 1");
        if (d.ok() && present == 1) {
            const uint8_t* q = d.take(static_cast<size_t>(h->palette_size) * 6);
            if (q != nullptr) {
                size_t count = h->palette_size == 0 ? 1 : h->palette_size;
                h->palette = static_cast<RgbValue*>(std::calloc(count, sizeof(RgbValue)));
                if (h->palette == nullptr) {
                    d.fail("out of memory");
                } else {
                    for (size_t i = 0; i < h->palette_size; ++i) {
                        h->palette[i].red = get_u16(q + 6 * i);
                        h->palette[i].green = get_u16(q + 6 * i + 2);
                        h->palette[i].blue = get_u16(q + 6 * i + 4);
                    }
                }
            }
        }
        h->user = d.string();
        h->tfn = d.string();
        break;
    }
    case ZEL_IMAGE: {
        auto* i = new_record<ZelImage>(type, ts);
        if (i == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(i);
        i->width = d.u16();
        i->height = d.u16();
        i->x = d.i16();
        i->y = d.i16();
        i->pixel_format = d.format();
        i->scanline_pad = d.u8();
        i->bytes_per_line = d.u32();
        i->length = d.u32();
        if (d.ok() && i->length != d.left()) d.fail("image length does not match the payload");
        i->data = d.copy(i->length);
        break;
    }
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: {
        auto* c = new_record<ZelCompressedImage>(type, ts);
        if (c == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(c);
        c->width = d.u16();
        c->height = d.u16();
        c->x = d.i16();
        c->y = d.i16();
        c->pixel_format = d.format();
        c->scanline_pad = d.u8();
        if (d.u8() != method_zstd && d.ok()) d.fail("unknown compression method");
        c->length = d.u32();
        c->compressed_length = d.u32();
        check_compressed(d, c->length, c->compressed_length);
        c->data = d.copy(c->compressed_length);
        break;
    }
    case ZEL_IMAGE_BLOCKS: {
        auto* b = new_record<ZelImageBlocks>(type, ts);
        if (b == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(b);
        b->length = d.u32();
        if (d.ok() && b->length != d.left()) d.fail("block length does not match the payload");
        b->data = d.copy(b->length);
        break;
    }
    case ZEL_COMPRESSED_IMAGE_BLOCKS: {
        auto* b = new_record<ZelCompressedImageBlocks>(type, ts);
        if (b == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(b);
        if (d.u8() != method_zstd && d.ok()) d.fail("unknown compression method");
        b->length = d.u32();
        b->compressed_length = d.u32();
        check_compressed(d, b->length, b->compressed_length);
        b->data = d.copy(b->compressed_length);
        break;
    }
    case ZEL_CURSOR_IMAGE: {
        auto* c = new_record<ZelCursorImage>(type, ts);
        if (c == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(c);
        c->width = d.u16();
        c->height = d.u16();
        c->x = d.i16();
        c->y = d.i16();
        c->xhot = d.u16();
        c->yhot = d.u16();
        c->cursor_serial = d.u32();
        c->length = d.u32();
        if (d.ok() && static_cast<uint64_t>(c->length) * 4 != d.left())
            d.fail("cursor pixel count does not match the payload");
        if (d.ok() && c->length > 0) {
            const uint8_t* q = d.take(static_cast<size_t>(c->length) * 4);
            c->data = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(c->length) * 4));
            if (c->data == nullptr)
                d.fail("out of memory");
            else
                for (uint32_t k = 0; k < c->length; ++k) c->data[k] = get_u32(q + 4 * k);
        }
        break;
    }
    case ZEL_CURSOR_POSITION: {
        auto* c = new_record<ZelCursorPosition>(type, ts);
        if (c == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(c);
        c->x = d.i16();
        c->y = d.i16();
        break;
    }
    case ZEL_SCREEN_CHANGE: {
        auto* s = new_record<ZelScreenChange>(type, ts);
        if (s == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(s);
        s->width = d.u16();
        s->height = d.u16();
        break;
    }
    case ZEL_LAST_INPUT: {
        auto* l = new_record<ZelLastInput>(type, ts);
        if (l == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(l);
        l->user = d.string();
        l->tfn = d.string();
        break;
    }
    default: { // the footer items; unknown types never get here
        auto* f = new_record<ZelFooterItem>(type, ts);
        if (f == nullptr) break;
        out = reinterpret_cast<ZelRecord*>(f);
        f->item = d.string();
        if (d.ok() && f->item == nullptr) d.fail("footer item is null");
        break;
    }
    }
    if (out == nullptr) {
        d.fail("out of memory");
        return nullptr;
    }
    if (d.ok() && !d.at_end()) d.fail("payload longer than its fields");
    if (!d.ok()) {
        zel_record_free(out);
        return nullptr;
    }
    return out;
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
    if (version != ZEL_FORMAT_VERSION)
        return fail(r, ZEL_READ_CORRUPT, 0, "unsupported format version %u", version);
    if (get_u16(p + 10) != 0)
        return fail(r, ZEL_READ_CORRUPT, 0, "unknown file flags 0x%04x", get_u16(p + 10));
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

static ZelReadStatus next_frame(ZelReader* r, ZelRecord** record)
{
    using namespace zel;
    if (r->status != ZEL_READ_RECORD) return r->status;
    if (!r->started && check_file_head(r) != ZEL_READ_RECORD) return r->status;

    const uint64_t at = r->position;
    const uint64_t left = r->size - at;
    if (r->done_seen) {
        if (left == 0) {
            r->status = ZEL_READ_END;
            r->problem_offset = at;
            r->problem.clear();
            return ZEL_READ_END;
        }
        return fail(r, ZEL_READ_CORRUPT, at, "data after the end-of-data record");
    }
    if (left == 0) return fail(r, ZEL_READ_TRUNCATED, at, "the data ends without an end-of-data record");
    if (left < frame_prefix_size)
        return fail(r, ZEL_READ_TRUNCATED, at, "record head incomplete: %llu of %zu bytes",
                    static_cast<unsigned long long>(left), frame_prefix_size);
    bool io = false;
    const uint8_t* h = fetch(r, at, frame_prefix_size, &io);
    if (h == nullptr) {
        if (io) return fail(r, ZEL_READ_ERROR, at, "cannot read the file: %s", std::strerror(errno));
        return fail(r, ZEL_READ_TRUNCATED, at, "the file shrank while being read");
    }
    if (get_u32(h + frame_head_size) != crc32c(h, frame_head_size))
        return fail(r, ZEL_READ_CORRUPT, at, "record head checksum mismatch");
    const uint8_t type = h[0];
    const uint32_t length = get_u32(h + 4);
    const uint64_t timestamp = get_u64(h + 8);
    if (!known_type(type)) return fail(r, ZEL_READ_CORRUPT, at, "unknown record type %u", type);
    if (h[1] != 0 || get_u16(h + 2) != 0)
        return fail(r, ZEL_READ_CORRUPT, at, "reserved head bytes are not zero");
    if (length > ZEL_MAX_PAYLOAD)
        return fail(r, ZEL_READ_CORRUPT, at, "payload length %u past the limit", length);
    const uint64_t frame = frame_overhead + static_cast<uint64_t>(length);
    if (left < frame)
        return fail(r, ZEL_READ_TRUNCATED, at, "%s record incomplete: %llu of %llu bytes",
                    zel_record_type_to_string(static_cast<ZelRecordType>(type)),
                    static_cast<unsigned long long>(left), static_cast<unsigned long long>(frame));
    const uint8_t* f = fetch(r, at, static_cast<size_t>(frame), &io);
    if (f == nullptr) {
        if (io && errno == ENOMEM) return fail(r, ZEL_READ_ERROR, at, "out of memory");
        if (io) return fail(r, ZEL_READ_ERROR, at, "cannot read the file: %s", std::strerror(errno));
        return fail(r, ZEL_READ_TRUNCATED, at, "the file shrank while being read");
    }
    if (get_u32(f + frame_prefix_size + length) != crc32c(f, frame_prefix_size + length))
        return fail(r, ZEL_READ_CORRUPT, at, "%s record checksum mismatch",
                    zel_record_type_to_string(static_cast<ZelRecordType>(type)));
    Decoder d(f + frame_prefix_size, length);
    ZelRecord* out = decode(type, timestamp, d);
    if (out == nullptr) {
        if (d.no_memory() || std::strcmp(d.why(), "out of memory") == 0) {
            errno = ENOMEM;
            return fail(r, ZEL_READ_ERROR, at, "out of memory");
        }
        return fail(r, ZEL_READ_CORRUPT, at, "%s record: %s",
                    zel_record_type_to_string(static_cast<ZelRecordType>(type)), d.why());
    }
    r->record_offset = at;
    r->record_size = frame;
    r->position = at + frame;
    if (type == ZEL_DONE) r->done_seen = true;
    // Do not keep a large frame's buffer around between records.
    if (r->buffer.capacity() > (4u << 20)) std::vector<uint8_t>().swap(r->buffer);
    *record = out;
    return ZEL_READ_RECORD;
}

ZelReadStatus zel_reader_next(ZelReader* r, ZelRecord** record)
{
    if (record != nullptr) *record = nullptr;
    if (r == nullptr || record == nullptr) {
        errno = EINVAL;
        return ZEL_READ_ERROR;
    }
    for (;;) {
        ZelReadStatus s = next_frame(r, record);
        if (s != ZEL_READ_RECORD || r->show_keyframes || (*record)->type != ZEL_KEYFRAME) return s;
        zel_record_free(*record);
        *record = nullptr;
    }
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
    if (r == nullptr || offset < zel::file_head_size || offset > r->size) {
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
