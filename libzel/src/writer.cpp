// The writer: encodes records into frames and hands each complete frame to
// the kernel before returning, so a recorder killed at any moment leaves a
// file whose complete frames all read back.  Also the record helpers that
// the recorder shares with the reader (free, names, strides).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "zel_internal.h"

struct zel_writer {
    int fd = -1;
    uint64_t offset = 0;        // bytes of complete frames (and file head) in the file
    bool failed = false;        // a frame could not be written completely
    std::vector<uint8_t> frame; // encoding space, reused; never holds unwritten data after a call

    // The screen as written so far, for keyframes.  Best effort: anything
    // that goes wrong here only stops keyframes until the next header.
    ZelReplay* shadow = nullptr;
    bool shadow_ok = false;
    uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL;
    uint64_t since_keyframe = 0; // uncompressed block bytes since the last whole screen
    uint8_t screen_pad = 0;      // scanline pad of the header
    // The last whole screen, kept compressed until blocks need it painted.
    bool pending = false;
    ZelCompressedImage pending_image{};
    std::vector<uint8_t> pending_data;
};

namespace zel {
namespace {

constexpr uint32_t null_string = 0xFFFFFFFFu;

class Encoder {
  public:
    explicit Encoder(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v)
    {
        uint8_t b[2];
        put_u16(b, v);
        bytes(b, 2);
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void u32(uint32_t v)
    {
        uint8_t b[4];
        put_u32(b, v);
        bytes(b, 4);
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void* p, size_t n)
    {
        if (n == 0) return;
        const auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void string(const uint8_t* s)
    {
        if (s == nullptr) {
            u32(null_string);
            return;
        }
        size_t n = std::strlen(reinterpret_cast<const char*>(s));
        u32(static_cast<uint32_t>(n));
        bytes(s, n);
    }

  private:
    std::vector<uint8_t>& out_;
};

// Appends the payload of a record; false for a record that cannot be stored
// (no such type, a length without data, a payload past the limit).
bool encode_payload(const ZelRecord* record, std::vector<uint8_t>& out)
{
    Encoder e(out);
    switch (record->type) {
    case ZEL_DONE: return true;
    case ZEL_HEADER: {
        const auto* h = reinterpret_cast<const ZelHeader*>(record);
        e.u8(h->version);
        e.u8(h->depth);
        e.u16(h->width);
        e.u16(h->height);
        e.i32(h->pixel_format);
        e.u8(h->scanline_pad);
        e.u8(h->min_keycode);
        e.u8(h->max_keycode);
        e.u16(h->palette_size);
        e.u8(h->palette != nullptr ? 1 : 0);
        if (h->palette != nullptr) {
            for (uint16_t i = 0; i < h->palette_size; ++i) {
                e.u16(h->palette[i].red);
                e.u16(h->palette[i].green);
                e.u16(h->palette[i].blue);
            }
        }
        e.string(h->user);
        e.string(h->tfn);
        return true;
    }
    case ZEL_IMAGE: {
        const auto* i = reinterpret_cast<const ZelImage*>(record);
        if (i->data == nullptr && i->length != 0) return false;
        e.u16(i->width);
        e.u16(i->height);
        e.i16(i->x);
        e.i16(i->y);
        e.i32(i->pixel_format);
        e.u8(i->scanline_pad);
        e.u32(i->bytes_per_line);
        e.u32(i->length);
        e.bytes(i->data, i->length);
        return true;
    }
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: {
        const auto* c = reinterpret_cast<const ZelCompressedImage*>(record);
        if (c->data == nullptr && c->compressed_length != 0) return false;
        e.u16(c->width);
        e.u16(c->height);
        e.i16(c->x);
        e.i16(c->y);
        e.i32(c->pixel_format);
        e.u8(c->scanline_pad);
        e.u8(method_zstd);
        e.u32(c->length);
        e.u32(c->compressed_length);
        e.bytes(c->data, c->compressed_length);
        return true;
    }
    case ZEL_IMAGE_BLOCKS: {
        const auto* b = reinterpret_cast<const ZelImageBlocks*>(record);
        if (b->data == nullptr && b->length != 0) return false;
        e.u32(b->length);
        e.bytes(b->data, b->length);
        return true;
    }
    case ZEL_COMPRESSED_IMAGE_BLOCKS: {
        const auto* b = reinterpret_cast<const ZelCompressedImageBlocks*>(record);
        if (b->data == nullptr && b->compressed_length != 0) return false;
        e.u8(method_zstd);
        e.u32(b->length);
        e.u32(b->compressed_length);
        e.bytes(b->data, b->compressed_length);
        return true;
    }
    case ZEL_CURSOR_IMAGE: {
        const auto* c = reinterpret_cast<const ZelCursorImage*>(record);
        if (c->data == nullptr && c->length != 0) return false;
        if (c->length > ZEL_MAX_PAYLOAD / 4) return false;
        e.u16(c->width);
        e.u16(c->height);
        e.i16(c->x);
        e.i16(c->y);
        e.u16(c->xhot);
        e.u16(c->yhot);
        e.u32(c->cursor_serial);
        e.u32(c->length);
        for (uint32_t k = 0; k < c->length; ++k) e.u32(c->data[k]);
        return true;
    }
    case ZEL_CURSOR_POSITION: {
        const auto* c = reinterpret_cast<const ZelCursorPosition*>(record);
        e.i16(c->x);
        e.i16(c->y);
        return true;
    }
    case ZEL_SCREEN_CHANGE: {
        const auto* s = reinterpret_cast<const ZelScreenChange*>(record);
        e.u16(s->width);
        e.u16(s->height);
        return true;
    }
    case ZEL_LAST_INPUT: {
        const auto* l = reinterpret_cast<const ZelLastInput*>(record);
        e.string(l->user);
        e.string(l->tfn);
        return true;
    }
    case ZEL_FOOTER_ITEM_APP:
    case ZEL_FOOTER_ITEM_HOST:
    case ZEL_FOOTER_ITEM_IP:
    case ZEL_FOOTER_ITEM_SID:
    case ZEL_FOOTER_ITEM_TID:
    case ZEL_FOOTER_ITEM_APPFMT: {
        const auto* f = reinterpret_cast<const ZelFooterItem*>(record);
        e.string(f->item);
        return true;
    }
    default: return false;
    }
}

// Writes all of [p, p+n) at the current end, retrying short writes and EINTR.
bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

void make_file_head(uint8_t out[file_head_size])
{
    std::memcpy(out, file_magic, sizeof file_magic);
    put_u16(out + 8, ZEL_FORMAT_VERSION);
    put_u16(out + 10, 0);
    put_u32(out + 12, crc32c(out, 12));
}

void fix_checksums(std::span<uint8_t> file)
{
    if (file.size() >= file_head_size) put_u32(file.data() + 12, crc32c(file.data(), 12));
    size_t at = file_head_size;
    while (at + frame_prefix_size <= file.size()) {
        uint8_t* f = file.data() + at;
        put_u32(f + frame_head_size, crc32c(f, frame_head_size));
        uint64_t len = get_u32(f + 4);
        if (at + frame_overhead + len > file.size()) break;
        put_u32(f + frame_prefix_size + len, crc32c(f, frame_prefix_size + len));
        at += frame_overhead + len;
    }
}

// Encodes and writes one frame at the end of the file.  A frame that cannot
// be written completely is taken back so the file still ends on a frame
// boundary; for the caller's records that also stops the writer (a gap
// would follow otherwise).
bool write_frame(ZelWriter* writer, const ZelRecord* r, bool callers_record)
{
    if (writer->failed || writer->fd < 0) {
        errno = EIO;
        return false;
    }
    std::vector<uint8_t>& f = writer->frame;
    try {
        f.assign(frame_prefix_size, 0);
        if (!encode_payload(r, f)) {
            errno = EINVAL;
            f.clear();
            return false;
        }
        size_t payload = f.size() - frame_prefix_size;
        if (payload > ZEL_MAX_PAYLOAD) {
            errno = EFBIG;
            f.clear();
            return false;
        }
        uint8_t* h = f.data();
        h[0] = r->type;
        h[1] = 0;
        put_u16(h + 2, 0);
        put_u32(h + 4, static_cast<uint32_t>(payload));
        put_u64(h + 8, r->timestamp);
        put_u32(h + frame_head_size, crc32c(h, frame_head_size));
        uint32_t crc = crc32c(f.data(), f.size());
        f.resize(f.size() + 4);
        put_u32(f.data() + f.size() - 4, crc);
    } catch (const std::bad_alloc&) {
        f.clear();
        errno = ENOMEM;
        return false;
    }
    bool ok = write_all(writer->fd, f.data(), f.size());
    if (!ok) {
        int e = errno;
        if (::ftruncate(writer->fd, static_cast<off_t>(writer->offset)) == 0)
            ::lseek(writer->fd, static_cast<off_t>(writer->offset), SEEK_SET);
        else
            writer->failed = true;
        if (callers_record) writer->failed = true;
        errno = e;
    } else {
        writer->offset += f.size();
    }
    // Large frames (whole screens) would otherwise stay allocated for the life of the writer.
    if (f.capacity() > (1u << 20))
        std::vector<uint8_t>().swap(f);
    else
        f.clear();
    return ok;
}

namespace {

bool covers_screen(const ZelReplay* s, const ZelCompressedImage* c)
{
    return c->x <= 0 && c->y <= 0 && c->x + c->width >= zel_replay_width(s) &&
           c->y + c->height >= zel_replay_height(s) && c->pixel_format == zel_replay_pixel_format(s);
}

// Paints the whole screen kept compressed, if any, into the shadow.
void materialize(ZelWriter* w)
{
    if (!w->pending) return;
    w->pending = false;
    w->pending_image.data = w->pending_data.data();
    if (zel_replay_apply(w->shadow, &w->pending_image) != 0) w->shadow_ok = false;
}

void apply(ZelWriter* w, const ZelRecord* r)
{
    if (zel_replay_apply(w->shadow, r) != 0) w->shadow_ok = false;
}

void write_keyframe(ZelWriter* w, uint64_t timestamp)
{
    uint32_t stride = 0;
    const uint8_t* canvas = zel_replay_canvas(w->shadow, &stride);
    if (canvas == nullptr) return;
    ZelImage view{};
    view.type = ZEL_IMAGE;
    view.timestamp = timestamp;
    view.width = zel_replay_width(w->shadow);
    view.height = zel_replay_height(w->shadow);
    view.pixel_format = zel_replay_pixel_format(w->shadow);
    view.bytes_per_line = stride;
    view.length = stride * view.height;
    view.data = const_cast<uint8_t*>(canvas);
    view.scanline_pad = w->screen_pad;
    ZelCompressedImage* key = zel_image_compress(&view);
    if (key == nullptr) return;
    key->type = ZEL_KEYFRAME;
    if (!write_frame(w, reinterpret_cast<ZelRecord*>(key), false)) w->shadow_ok = false;
    zel_record_free(key);
}

} // namespace

// Follows the screen through the records just written and adds a keyframe
// when enough block data has passed since the last whole screen.
void follow(ZelWriter* w, const ZelRecord* r)
{
    if (r->type == ZEL_HEADER) {
        if (w->shadow == nullptr) w->shadow = zel_replay_new();
        w->pending = false;
        w->since_keyframe = 0;
        w->shadow_ok = w->shadow != nullptr && zel_replay_apply(w->shadow, r) == 0;
        w->screen_pad = reinterpret_cast<const ZelHeader*>(r)->scanline_pad;
        return;
    }
    if (!w->shadow_ok || w->keyframe_interval == 0) return;
    switch (r->type) {
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: {
        const auto* c = reinterpret_cast<const ZelCompressedImage*>(r);
        if (covers_screen(w->shadow, c)) {
            // Keep it compressed: a screen of whole images never needs decoding.
            try {
                w->pending_data.assign(c->data, c->data + c->compressed_length);
            } catch (const std::bad_alloc&) {
                w->shadow_ok = false;
                return;
            }
            w->pending_image = *c;
            w->pending_image.type = ZEL_COMPRESSED_IMAGE;
            w->pending = true;
            w->since_keyframe = 0;
        } else {
            materialize(w);
            apply(w, r);
        }
        break;
    }
    case ZEL_IMAGE:
    case ZEL_SCREEN_CHANGE:
        materialize(w);
        apply(w, r);
        break;
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS: {
        materialize(w);
        apply(w, r);
        w->since_keyframe += r->type == ZEL_IMAGE_BLOCKS
                                 ? reinterpret_cast<const ZelImageBlocks*>(r)->length
                                 : reinterpret_cast<const ZelCompressedImageBlocks*>(r)->length;
        if (w->shadow_ok && w->since_keyframe >= w->keyframe_interval) {
            w->since_keyframe = 0;
            write_keyframe(w, r->timestamp);
        }
        break;
    }
    default: break;
    }
}

} // namespace zel

extern "C" {

ZelWriter* zel_writer_open(const char* filename)
{
    if (filename == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    bool created = true;
    int fd = ::open(filename, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        // A service may have made an empty file for us; anything else is a
        // recording (or not ours) and stays untouched.
        created = false;
        fd = ::open(filename, O_WRONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) {
            int e = (S_ISREG(st.st_mode) && st.st_size != 0) ? EEXIST : EINVAL;
            ::close(fd);
            errno = e;
            return nullptr;
        }
    }
    if (fd < 0) return nullptr;
    if (created && ::fchmod(fd, 0600) != 0) {
        int e = errno;
        ::close(fd);
        ::unlink(filename);
        errno = e;
        return nullptr;
    }
    auto* w = new (std::nothrow) zel_writer;
    if (w == nullptr) {
        ::close(fd);
        if (created) ::unlink(filename);
        errno = ENOMEM;
        return nullptr;
    }
    w->fd = fd;
    uint8_t head[zel::file_head_size];
    zel::make_file_head(head);
    if (!zel::write_all(fd, head, sizeof head)) {
        int e = errno;
        if (::ftruncate(fd, 0) != 0) { /* nothing more to do */
        }
        ::close(fd);
        if (created) ::unlink(filename);
        delete w;
        errno = e;
        return nullptr;
    }
    w->offset = sizeof head;
    return w;
}

int zel_record_write(ZelWriter* writer, const void* record)
{
    if (writer == nullptr || record == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (!zel::write_frame(writer, static_cast<const ZelRecord*>(record), true)) return -1;
    if (writer->keyframe_interval > 0 || static_cast<const ZelRecord*>(record)->type == ZEL_HEADER)
        zel::follow(writer, static_cast<const ZelRecord*>(record));
    return 0;
}

void zel_writer_set_keyframe_interval(ZelWriter* writer, uint64_t bytes)
{
    if (writer != nullptr) writer->keyframe_interval = bytes;
}

int zel_writer_close(ZelWriter* writer)
{
    if (writer == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int rc = 0;
    if (::fsync(writer->fd) != 0 && errno != EINVAL && errno != EROFS) rc = -1;
    int e = errno;
    if (::close(writer->fd) != 0) {
        rc = -1;
        e = errno;
    }
    zel_replay_free(writer->shadow);
    delete writer;
    if (rc != 0) errno = e;
    return rc;
}

ZelRecord* zel_record_done(void)
{
    auto* r = static_cast<ZelRecord*>(std::calloc(1, sizeof(ZelRecord)));
    if (r != nullptr) r->type = ZEL_DONE;
    return r;
}

void zel_record_free(void* record)
{
    if (record == nullptr) return;
    auto* r = static_cast<ZelRecord*>(record);
    switch (r->type) {
    case ZEL_HEADER: {
        auto* h = static_cast<ZelHeader*>(record);
        std::free(h->palette);
        std::free(h->user);
        std::free(h->tfn);
        break;
    }
    case ZEL_IMAGE: std::free(static_cast<ZelImage*>(record)->data); break;
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: std::free(static_cast<ZelCompressedImage*>(record)->data); break;
    case ZEL_IMAGE_BLOCKS: std::free(static_cast<ZelImageBlocks*>(record)->data); break;
    case ZEL_COMPRESSED_IMAGE_BLOCKS: std::free(static_cast<ZelCompressedImageBlocks*>(record)->data); break;
    case ZEL_CURSOR_IMAGE: std::free(static_cast<ZelCursorImage*>(record)->data); break;
    case ZEL_LAST_INPUT: {
        auto* l = static_cast<ZelLastInput*>(record);
        std::free(l->user);
        std::free(l->tfn);
        break;
    }
    case ZEL_FOOTER_ITEM_APP:
    case ZEL_FOOTER_ITEM_HOST:
    case ZEL_FOOTER_ITEM_IP:
    case ZEL_FOOTER_ITEM_SID:
    case ZEL_FOOTER_ITEM_TID:
    case ZEL_FOOTER_ITEM_APPFMT: std::free(static_cast<ZelFooterItem*>(record)->item); break;
    default: break;
    }
    std::free(record);
}

const char* zel_record_type_to_string(ZelRecordType type)
{
    switch (type) {
    case ZEL_DONE: return "done";
    case ZEL_DEBUG: return "debug";
    case ZEL_HEADER: return "header";
    case ZEL_IMAGE: return "image";
    case ZEL_COMPRESSED_IMAGE: return "compressed_image";
    case ZEL_CURSOR_IMAGE: return "cursor_image";
    case ZEL_CURSOR_POSITION: return "cursor_position";
    case ZEL_SCREEN_CHANGE: return "screen_change";
    case ZEL_LAST_INPUT: return "last_input";
    case ZEL_FOOTER_ITEM_APP: return "footer_app";
    case ZEL_FOOTER_ITEM_HOST: return "footer_host";
    case ZEL_FOOTER_ITEM_IP: return "footer_ip";
    case ZEL_FOOTER_ITEM_SID: return "footer_sid";
    case ZEL_FOOTER_ITEM_TID: return "footer_tid";
    case ZEL_IMAGE_BLOCKS: return "image_blocks";
    case ZEL_COMPRESSED_IMAGE_BLOCKS: return "compressed_image_blocks";
    case ZEL_FOOTER_ITEM_APPFMT: return "footer_appfmt";
    case ZEL_KEYFRAME: return "keyframe";
    case ZEL_TYPE_UNKNOWN: break;
    }
    return "unknown";
}

uint32_t stride_in_bytes(uint32_t width, uint8_t bits_per_pixel, uint8_t scanline_pad)
{
    uint64_t bits = static_cast<uint64_t>(width) * bits_per_pixel;
    uint64_t pad = scanline_pad == 0 ? 8 : scanline_pad; // no pad: whole bytes
    uint64_t bytes = (bits + pad - 1) / pad * pad / 8;
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

uint8_t pixel_format_bytes_per_pixel(PixelFormat format)
{
    switch (format) {
    case PALETTE8:
    case RGB332:
    case BGR233: return 1;
    case RGB565:
    case BGR565: return 2;
    case xRGB8888:
    case xBGR8888:
    case RGBx8888:
    case BGRx8888:
    case ARGB8888:
    case ABGR8888:
    case RGBA8888:
    case BGRA8888: return 4;
    case FORMAT_NOT_FOUND:
    case FORMAT_UNKNOWN: break;
    }
    return 0;
}

} // extern "C"
