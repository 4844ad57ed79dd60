// The record types: one short decode and encode function per type, chosen
// from one table by the type code, and the helpers built on that table
// (free, names).  Field layouts are those of docs/zel-format.md.
#include <cerrno>
#include <cstdlib>

#include "codec.h"

namespace zel {

// ---- field readers and writers ----

const uint8_t* Decoder::take(size_t k)
{
    if (!ok_ || k > n_ - at_) {
        fail("payload too short for its fields");
        return nullptr;
    }
    const uint8_t* q = p_ + at_;
    at_ += k;
    return q;
}

uint8_t Decoder::u8()
{
    const uint8_t* q = take(1);
    return q ? q[0] : 0;
}

uint16_t Decoder::u16()
{
    const uint8_t* q = take(2);
    return q ? get_u16(q) : 0;
}

uint32_t Decoder::u32()
{
    const uint8_t* q = take(4);
    return q ? get_u32(q) : 0;
}

uint64_t Decoder::u64()
{
    const uint8_t* q = take(8);
    return q ? get_u64(q) : 0;
}

PixelFormat Decoder::format()
{
    auto v = static_cast<int32_t>(u32());
    require(v >= FORMAT_NOT_FOUND && v <= BGRA8888, "pixel format out of range");
    return ok_ ? static_cast<PixelFormat>(v) : FORMAT_UNKNOWN;
}

void Decoder::bytes(uint8_t* out, size_t n)
{
    if (const uint8_t* q = take(n)) std::memcpy(out, q, n);
}

uint8_t* Decoder::copy(size_t n)
{
    const uint8_t* q = take(n);
    if (q == nullptr || n == 0) return nullptr;
    auto* out = static_cast<uint8_t*>(std::malloc(n));
    if (out == nullptr) {
        out_of_memory();
        return nullptr;
    }
    std::memcpy(out, q, n);
    return out;
}

uint8_t* Decoder::string()
{
    uint32_t n = u32();
    if (!ok_ || n == null_string) return nullptr;
    const uint8_t* q = take(n);
    if (q == nullptr) return nullptr;
    require(std::memchr(q, 0, n) == nullptr, "string holds a NUL byte");
    auto* out = ok_ ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(n) + 1)) : nullptr;
    if (ok_ && out == nullptr) out_of_memory();
    if (out == nullptr) return nullptr;
    std::memcpy(out, q, n);
    out[n] = 0;
    return out;
}

ZelBytes Decoder::field()
{
    const uint32_t n = u32();
    if (!ok_ || n == null_string) return {0, nullptr};
    require(n <= ZEL_MAX_BYTES, "bytes field longer than 4096 bytes");
    const uint8_t* q = ok_ ? take(n) : nullptr;
    if (q == nullptr) return {0, nullptr};
    auto* out = static_cast<uint8_t*>(std::malloc(n == 0 ? 1 : n)); // never NULL for an empty value
    if (out == nullptr) {
        out_of_memory();
        return {0, nullptr};
    }
    std::memcpy(out, q, n);
    return {n, out};
}

void Decoder::compressed(uint32_t* length, uint32_t* compressed_length, uint8_t** data)
{
    uint8_t method = u8();
    require(method == method_zstd, "unknown compression method");
    *length = u32();
    *compressed_length = u32();
    require(*length <= ZEL_MAX_UNCOMPRESSED, "uncompressed length past the limit");
    require(*compressed_length == left(), "compressed length does not match the payload");
    *data = copy(*compressed_length);
}

void Encoder::u16(uint16_t v)
{
    uint8_t b[2];
    put_u16(b, v);
    bytes(b, 2);
}

void Encoder::u32(uint32_t v)
{
    uint8_t b[4];
    put_u32(b, v);
    bytes(b, 4);
}

void Encoder::u64(uint64_t v)
{
    uint8_t b[8];
    put_u64(b, v);
    bytes(b, 8);
}

void Encoder::bytes(const void* p, size_t n)
{
    if (n == 0) return;
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
}

void Encoder::string(const uint8_t* s)
{
    if (s == nullptr) return u32(null_string);
    size_t n = std::strlen(reinterpret_cast<const char*>(s));
    u32(static_cast<uint32_t>(n));
    bytes(s, n);
}

bool Encoder::field(const ZelBytes& b)
{
    if (b.data == nullptr) {
        u32(null_string);
        return true;
    }
    if (b.length > ZEL_MAX_BYTES) return false;
    u32(b.length);
    bytes(b.data, b.length);
    return true;
}

namespace {

// ---- one function per record type and direction ----

void decode_nothing(Decoder&, ZelRecord*) {}
bool encode_never(const ZelRecord*, Encoder&)
{
    return false;
}

// Versions 1 and 2: an empty payload; version 3: the reason and who sent the signal.
void decode_done(Decoder& d, ZelDone* r)
{
    if (d.version() < 3) return;
    r->reason = d.u8();
    d.require(r->reason <= ZEL_END_WRITE_FAILED, "unknown end reason");
    r->signal = d.i32();
    r->pid = d.i32();
    r->uid = d.u32();
}

bool encode_done(const ZelDone* r, Encoder& e)
{
    if (r->reason > ZEL_END_WRITE_FAILED) return false;
    e.u8(r->reason);
    e.i32(r->signal);
    e.i32(r->pid);
    e.u32(r->uid);
    return true;
}

void decode_window(Decoder& d, ZelWindow* w)
{
    w->window = d.u32();
    w->event = d.u8();
    d.require(w->event >= ZEL_WINDOW_SHOWN && w->event <= ZEL_WINDOW_GONE, "unknown window event");
    if (!d.ok()) return;
    if (w->event == ZEL_WINDOW_SHOWN) {
        w->flags = d.u8();
        d.require((w->flags & ~(ZEL_WINDOW_OVERRIDE_REDIRECT | ZEL_WINDOW_MANAGED)) == 0,
                  "unknown window flags");
    }
    if (w->event == ZEL_WINDOW_SHOWN || w->event == ZEL_WINDOW_GEOMETRY) {
        w->x = d.i16();
        w->y = d.i16();
        w->width = d.u16();
        w->height = d.u16();
        w->z = d.u16();
    }
    if (w->event == ZEL_WINDOW_SHOWN) {
        w->transient_for = d.u32();
        w->client = d.u32();
        w->pid = d.i32();
        w->uid = d.u32();
        w->command = d.field();
    }
    if (w->event == ZEL_WINDOW_SHOWN || w->event == ZEL_WINDOW_TITLE) w->title = d.field();
    if (w->event == ZEL_WINDOW_SHOWN) {
        w->instance = d.field();
        w->class_name = d.field();
    }
}

bool encode_window(const ZelWindow* w, Encoder& e)
{
    if (w->event < ZEL_WINDOW_SHOWN || w->event > ZEL_WINDOW_GONE ||
        (w->event == ZEL_WINDOW_SHOWN && (w->flags & ~(ZEL_WINDOW_OVERRIDE_REDIRECT | ZEL_WINDOW_MANAGED))))
        return false;
    e.u32(w->window);
    e.u8(w->event);
    if (w->event == ZEL_WINDOW_SHOWN) e.u8(w->flags);
    if (w->event == ZEL_WINDOW_SHOWN || w->event == ZEL_WINDOW_GEOMETRY) {
        e.i16(w->x);
        e.i16(w->y);
        e.u16(w->width);
        e.u16(w->height);
        e.u16(w->z);
    }
    if (w->event == ZEL_WINDOW_SHOWN) {
        e.u32(w->transient_for);
        e.u32(w->client);
        e.i32(w->pid);
        e.u32(w->uid);
        return e.field(w->command) && e.field(w->title) && e.field(w->instance) && e.field(w->class_name);
    }
    return w->event != ZEL_WINDOW_TITLE || e.field(w->title);
}

void release_window(ZelWindow* w)
{
    std::free(w->command.data);
    std::free(w->title.data);
    std::free(w->instance.data);
    std::free(w->class_name.data);
}

void decode_interruption(Decoder& d, ZelInterruption* i)
{
    i->from = d.u64();
    d.require(i->from <= i->timestamp, "interruption begins after its end");
    i->cause = d.u8();
    d.require(i->cause >= ZEL_GAP_CONNECTION_LOST && i->cause <= ZEL_GAP_MANAGER_CHANGED,
              "unknown interruption cause");
    i->detail = d.field();
}

bool encode_interruption(const ZelInterruption* i, Encoder& e)
{
    if (i->from > i->timestamp || i->cause < ZEL_GAP_CONNECTION_LOST || i->cause > ZEL_GAP_MANAGER_CHANGED)
        return false;
    e.u64(i->from);
    e.u8(i->cause);
    return e.field(i->detail);
}

void release_interruption(ZelInterruption* i)
{
    std::free(i->detail.data);
}

void decode_header(Decoder& d, ZelHeader* h)
{
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
    d.require(present <= 1, "palette flag is neither 0 nor 1");
    const uint8_t* q = d.ok() && present == 1 ? d.take(static_cast<size_t>(h->palette_size) * 6) : nullptr;
    if (q != nullptr) {
        h->palette =
            static_cast<RgbValue*>(std::calloc(h->palette_size == 0 ? 1 : h->palette_size, sizeof(RgbValue)));
        if (h->palette == nullptr) return d.out_of_memory();
        for (size_t i = 0; i < h->palette_size; ++i)
            h->palette[i] = {get_u16(q + 6 * i), get_u16(q + 6 * i + 2), get_u16(q + 6 * i + 4), {0, 0}};
    }
    h->user = d.string();
    h->tfn = d.string();
}

bool encode_header(const ZelHeader* h, Encoder& e)
{
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
    for (uint16_t i = 0; h->palette != nullptr && i < h->palette_size; ++i) {
        e.u16(h->palette[i].red);
        e.u16(h->palette[i].green);
        e.u16(h->palette[i].blue);
    }
    e.string(h->user);
    e.string(h->tfn);
    return true;
}

void release_header(ZelHeader* h)
{
    std::free(h->palette);
    std::free(h->user);
    std::free(h->tfn);
}

void decode_image(Decoder& d, ZelImage* i)
{
    i->width = d.u16();
    i->height = d.u16();
    i->x = d.i16();
    i->y = d.i16();
    i->pixel_format = d.format();
    i->scanline_pad = d.u8();
    i->bytes_per_line = d.u32();
    i->length = d.u32();
    d.require(i->length == d.left(), "image length does not match the payload");
    i->data = d.copy(i->length);
}

bool encode_image(const ZelImage* i, Encoder& e)
{
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

void release_image(ZelImage* i)
{
    std::free(i->data);
}

void decode_compressed_image(Decoder& d, ZelCompressedImage* c)
{
    c->width = d.u16();
    c->height = d.u16();
    c->x = d.i16();
    c->y = d.i16();
    c->pixel_format = d.format();
    c->scanline_pad = d.u8();
    d.compressed(&c->length, &c->compressed_length, &c->data);
}

bool encode_compressed_image(const ZelCompressedImage* c, Encoder& e)
{
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

void release_compressed_image(ZelCompressedImage* c)
{
    std::free(c->data);
}

void decode_blocks(Decoder& d, ZelImageBlocks* b)
{
    b->length = d.u32();
    d.require(b->length == d.left(), "block length does not match the payload");
    b->data = d.copy(b->length);
}

bool encode_blocks(const ZelImageBlocks* b, Encoder& e)
{
    if (b->data == nullptr && b->length != 0) return false;
    e.u32(b->length);
    e.bytes(b->data, b->length);
    return true;
}

void release_blocks(ZelImageBlocks* b)
{
    std::free(b->data);
}

void decode_compressed_blocks(Decoder& d, ZelCompressedImageBlocks* b)
{
    d.compressed(&b->length, &b->compressed_length, &b->data);
}

bool encode_compressed_blocks(const ZelCompressedImageBlocks* b, Encoder& e)
{
    if (b->data == nullptr && b->compressed_length != 0) return false;
    e.u8(method_zstd);
    e.u32(b->length);
    e.u32(b->compressed_length);
    e.bytes(b->data, b->compressed_length);
    return true;
}

void release_compressed_blocks(ZelCompressedImageBlocks* b)
{
    std::free(b->data);
}

// The fields cursor images of both kinds start with.
template <typename T>
void decode_cursor_head(Decoder& d, T* c)
{
    c->width = d.u16();
    c->height = d.u16();
    c->x = d.i16();
    c->y = d.i16();
    c->xhot = d.u16();
    c->yhot = d.u16();
    c->cursor_serial = d.u32();
}

template <typename T>
void encode_cursor_head(const T* c, Encoder& e)
{
    e.u16(c->width);
    e.u16(c->height);
    e.i16(c->x);
    e.i16(c->y);
    e.u16(c->xhot);
    e.u16(c->yhot);
    e.u32(c->cursor_serial);
}

void decode_cursor_image(Decoder& d, ZelCursorImage* c)
{
    decode_cursor_head(d, c);
    c->length = d.u32();
    d.require(static_cast<uint64_t>(c->length) * 4 == d.left(),
              "cursor pixel count does not match the payload");
    const uint8_t* q = d.ok() && c->length > 0 ? d.take(static_cast<size_t>(c->length) * 4) : nullptr;
    if (q == nullptr) return;
    c->data = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(c->length) * 4));
    if (c->data == nullptr) return d.out_of_memory();
    for (uint32_t k = 0; k < c->length; ++k) c->data[k] = get_u32(q + 4 * k);
}

bool encode_cursor_image(const ZelCursorImage* c, Encoder& e)
{
    if ((c->data == nullptr && c->length != 0) || c->length > ZEL_MAX_PAYLOAD / 4) return false;
    encode_cursor_head(c, e);
    e.u32(c->length);
    for (uint32_t k = 0; k < c->length; ++k) e.u32(c->data[k]);
    return true;
}

void release_cursor_image(ZelCursorImage* c)
{
    std::free(c->data);
}

void decode_compressed_cursor(Decoder& d, ZelCompressedCursorImage* c)
{
    decode_cursor_head(d, c);
    uint8_t method = d.u8();
    d.require(method == method_zstd, "unknown compression method");
    c->length = d.u32();
    c->compressed_length = d.u32();
    d.require(c->length == static_cast<uint32_t>(c->width) * c->height,
              "cursor pixel count is not width x height");
    d.require(c->length <= ZEL_MAX_UNCOMPRESSED / 4, "uncompressed length past the limit");
    d.require(c->compressed_length == d.left(), "compressed length does not match the payload");
    c->data = d.copy(c->compressed_length);
}

bool encode_compressed_cursor(const ZelCompressedCursorImage* c, Encoder& e)
{
    if (c->data == nullptr && c->compressed_length != 0) return false;
    encode_cursor_head(c, e);
    e.u8(method_zstd);
    e.u32(c->length);
    e.u32(c->compressed_length);
    e.bytes(c->data, c->compressed_length);
    return true;
}

void release_compressed_cursor(ZelCompressedCursorImage* c)
{
    std::free(c->data);
}

void decode_position(Decoder& d, ZelCursorPosition* c)
{
    c->x = d.i16();
    c->y = d.i16();
}

bool encode_position(const ZelCursorPosition* c, Encoder& e)
{
    e.i16(c->x);
    e.i16(c->y);
    return true;
}

void decode_screen_change(Decoder& d, ZelScreenChange* s)
{
    s->width = d.u16();
    s->height = d.u16();
}

bool encode_screen_change(const ZelScreenChange* s, Encoder& e)
{
    e.u16(s->width);
    e.u16(s->height);
    return true;
}

void decode_last_input(Decoder& d, ZelLastInput* l)
{
    l->user = d.string();
    l->tfn = d.string();
}

bool encode_last_input(const ZelLastInput* l, Encoder& e)
{
    e.string(l->user);
    e.string(l->tfn);
    return true;
}

void release_last_input(ZelLastInput* l)
{
    std::free(l->user);
    std::free(l->tfn);
}

void decode_footer(Decoder& d, ZelFooterItem* f)
{
    f->item = d.string();
    d.require(f->item != nullptr, "footer item is null");
}

bool encode_footer(const ZelFooterItem* f, Encoder& e)
{
    e.string(f->item);
    return true;
}

void release_footer(ZelFooterItem* f)
{
    std::free(f->item);
}

constexpr size_t copy_entry_size = 12;

void decode_copy(Decoder& d, ZelCopy* c)
{
    c->count = d.u32();
    d.require(c->count >= 1, "copy record without rectangles");
    d.require(static_cast<uint64_t>(c->count) * copy_entry_size == d.left(),
              "copy count does not match the payload");
    if (!d.ok()) return;
    c->rects = static_cast<ZelCopyRect*>(std::calloc(c->count, sizeof(ZelCopyRect)));
    if (c->rects == nullptr) return d.out_of_memory();
    for (uint32_t i = 0; i < c->count; ++i)
        c->rects[i] = {d.i16(), d.i16(), d.u16(), d.u16(), d.i16(), d.i16()};
}

bool encode_copy(const ZelCopy* c, Encoder& e)
{
    if (c->count == 0 || c->rects == nullptr || c->count > (ZEL_MAX_PAYLOAD - 4) / copy_entry_size)
        return false;
    e.u32(c->count);
    for (uint32_t i = 0; i < c->count; ++i) {
        const ZelCopyRect& r = c->rects[i];
        e.i16(r.src_x);
        e.i16(r.src_y);
        e.u16(r.width);
        e.u16(r.height);
        e.i16(r.dst_x);
        e.i16(r.dst_y);
    }
    return true;
}

void release_copy(ZelCopy* c)
{
    std::free(c->rects);
}

void decode_seal(Decoder& d, ZelSeal* s)
{
    s->offset = d.u64();
    d.bytes(s->chain, sizeof s->chain);
    s->flags = d.u8();
    d.require((s->flags & ~(ZEL_SEAL_SIGNED | ZEL_SEAL_PUBLIC_KEY | ZEL_SEAL_FINAL)) == 0,
              "unknown seal flags");
    d.require((s->flags & ZEL_SEAL_PUBLIC_KEY) == 0 || (s->flags & ZEL_SEAL_SIGNED) != 0,
              "seal has a public key but no signature");
    if (s->flags & ZEL_SEAL_SIGNED) {
        d.bytes(s->key_id, sizeof s->key_id);
        d.bytes(s->signature, sizeof s->signature);
    }
    if (s->flags & ZEL_SEAL_PUBLIC_KEY) d.bytes(s->public_key, sizeof s->public_key);
}

bool encode_seal(const ZelSeal* s, Encoder& e)
{
    e.u64(s->offset);
    e.bytes(s->chain, sizeof s->chain);
    e.u8(s->flags);
    if (s->flags & ZEL_SEAL_SIGNED) {
        e.bytes(s->key_id, sizeof s->key_id);
        e.bytes(s->signature, sizeof s->signature);
    }
    if (s->flags & ZEL_SEAL_PUBLIC_KEY) e.bytes(s->public_key, sizeof s->public_key);
    return true;
}

// ---- the table ----

template <typename T>
void keep(T*)
{
}

// The structures all start with ZelRecord's fields: each entry calls its
// type's functions on the structure the head belongs to.
template <typename T, void (*D)(Decoder&, T*), bool (*E)(const T*, Encoder&), void (*R)(T*) = keep<T>>
constexpr RecordKind kind(const char* name, unsigned since)
{
    return {name,
            since,
            sizeof(T),
            [](Decoder& d, ZelRecord* r) { D(d, reinterpret_cast<T*>(r)); },
            [](const ZelRecord* r, Encoder& e) { return E(reinterpret_cast<const T*>(r), e); },
            [](ZelRecord* r) { R(reinterpret_cast<T*>(r)); }};
}

constexpr RecordKind footer_kind(const char* name)
{
    return kind<ZelFooterItem, decode_footer, encode_footer, release_footer>(name, 1);
}

const RecordKind kinds[] = {
    kind<ZelDone, decode_done, encode_done>("done", 1),
    kind<ZelRecord, decode_nothing, encode_never>("debug", 0),
    kind<ZelHeader, decode_header, encode_header, release_header>("header", 1),
    kind<ZelImage, decode_image, encode_image, release_image>("image", 1),
    kind<ZelCompressedImage, decode_compressed_image, encode_compressed_image, release_compressed_image>(
        "compressed_image", 1),
    kind<ZelCursorImage, decode_cursor_image, encode_cursor_image, release_cursor_image>("cursor_image", 1),
    kind<ZelCursorPosition, decode_position, encode_position>("cursor_position", 1),
    kind<ZelScreenChange, decode_screen_change, encode_screen_change>("screen_change", 1),
    kind<ZelLastInput, decode_last_input, encode_last_input, release_last_input>("last_input", 1),
    footer_kind("footer_app"),
    footer_kind("footer_host"),
    footer_kind("footer_ip"),
    footer_kind("footer_sid"),
    footer_kind("footer_tid"),
    kind<ZelImageBlocks, decode_blocks, encode_blocks, release_blocks>("image_blocks", 1),
    kind<ZelCompressedImageBlocks, decode_compressed_blocks, encode_compressed_blocks,
         release_compressed_blocks>("compressed_image_blocks", 1),
    footer_kind("footer_appfmt"),
    kind<ZelCompressedCursorImage, decode_compressed_cursor, encode_compressed_cursor,
         release_compressed_cursor>("compressed_cursor_image", 2),
    kind<ZelCopy, decode_copy, encode_copy, release_copy>("copy", 2),
    kind<ZelSeal, decode_seal, encode_seal>("seal", 2),
    kind<ZelWindow, decode_window, encode_window, release_window>("window", 3),
    kind<ZelInterruption, decode_interruption, encode_interruption, release_interruption>("interruption", 3),
};

const RecordKind keyframe_kind =
    kind<ZelCompressedImage, decode_compressed_image, encode_compressed_image, release_compressed_image>(
        "keyframe", 1);

} // namespace

const RecordKind* kind_of(uint8_t type)
{
    if (type < std::size(kinds)) return &kinds[type];
    return type == ZEL_KEYFRAME ? &keyframe_kind : nullptr;
}

ZelRecord* decode_record(const RecordKind& kind, uint8_t type, uint64_t timestamp, Decoder& d)
{
    auto* out = static_cast<ZelRecord*>(std::calloc(1, kind.size));
    if (out == nullptr) {
        d.out_of_memory();
        return nullptr;
    }
    out->type = type;
    out->timestamp = timestamp;
    kind.decode(d, out);
    d.require(d.at_end(), "payload longer than its fields");
    if (d.ok()) return out;
    zel_record_free(out);
    return nullptr;
}

} // namespace zel

extern "C" {

ZelDone* zel_record_done(void)
{
    auto* r = static_cast<ZelDone*>(std::calloc(1, sizeof(ZelDone)));
    if (r != nullptr) r->type = ZEL_DONE;
    return r;
}

void zel_record_free(void* record)
{
    if (record == nullptr) return;
    auto* r = static_cast<ZelRecord*>(record);
    if (const zel::RecordKind* k = zel::kind_of(r->type)) k->release(r);
    std::free(record);
}

const char* zel_record_type_to_string(ZelRecordType type)
{
    const zel::RecordKind* k =
        static_cast<unsigned>(type) <= 255 ? zel::kind_of(static_cast<uint8_t>(type)) : nullptr;
    return k != nullptr ? k->name : "unknown";
}

const char* zel_end_reason_to_string(uint8_t reason)
{
    static const char* const names[] = {"unspecified", "signal",       "stdin-closed",
                                        "size-limit",  "display-gone", "write-failed"};
    return reason < std::size(names) ? names[reason] : "unknown";
}

const char* zel_window_event_to_string(uint8_t event)
{
    static const char* const names[] = {"unknown", "shown", "title", "geometry", "gone"};
    return event < std::size(names) ? names[event] : "unknown";
}

const char* zel_gap_cause_to_string(uint8_t cause)
{
    static const char* const names[] = {"unknown", "connection-lost", "input-lost", "resource-lost",
                                        "manager-changed"};
    return cause < std::size(names) ? names[cause] : "unknown";
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
