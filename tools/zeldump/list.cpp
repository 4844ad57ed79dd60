// zeldump FILE and zeldump --json FILE: one line, or one JSON object, per record.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "zeldump.h"

namespace zeldump {
namespace {

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
        text(name, s, s != nullptr ? std::strlen(reinterpret_cast<const char*>(s)) : 0);
    }
    void text(const char* name, const ZelBytes& b) { text(name, b.data, b.length); }
    // A command line: the arguments (separated by NUL bytes) joined by spaces;
    // NAME_base64 holds the bytes as recorded.
    void command(const char* name, const ZelBytes& b)
    {
        std::string joined(reinterpret_cast<const char*>(b.data), b.data != nullptr ? b.length : 0);
        std::replace(joined.begin(), joined.end(), '\0', ' ');
        bool valid = true;
        emplace_back(name,
                     quoted(b.data != nullptr ? reinterpret_cast<const uint8_t*>(joined.data()) : nullptr,
                            joined.size(), &valid));
        if (!valid) emplace_back(std::string(name) + "_base64", base64(b.data, b.length));
    }
    void flag(const char* name, bool v) { emplace_back(name, v ? "true" : "false"); }
    void known(const char* name, long long v, bool is_known)
    {
        emplace_back(name, is_known ? std::to_string(v) : "null");
    }

  private:
    void text(const char* name, const uint8_t* s, size_t n)
    {
        bool valid = true;
        emplace_back(name, quoted(s, n, &valid));
        if (!valid) emplace_back(std::string(name) + "_base64", base64(s, n));
    }
};

void done_fields(Fields& f, const ZelDone* d)
{
    f.word("reason", zel_end_reason_to_string(d->reason));
    if (d->reason != ZEL_END_SIGNAL) return;
    f.num("signal", d->signal);
    f.num("pid", d->pid);
    f.num("uid", d->uid);
}

// The fields of its event; a pid or uid that is not known is null.
void window_fields(Fields& f, const ZelWindow* w)
{
    f.num("window", w->window);
    f.word("event", zel_window_event_to_string(w->event));
    if (w->event == ZEL_WINDOW_SHOWN) {
        f.text("title", w->title);
        f.text("instance", w->instance);
        f.text("class", w->class_name);
        f.command("command", w->command);
        f.known("pid", w->pid, w->pid >= 0);
        f.known("uid", w->uid, w->uid != 0xFFFFFFFFu);
        f.num("client", w->client);
        f.num("transient_for", w->transient_for);
        f.flag("override_redirect", w->flags & ZEL_WINDOW_OVERRIDE_REDIRECT);
        f.flag("managed", w->flags & ZEL_WINDOW_MANAGED);
    }
    if (w->event == ZEL_WINDOW_TITLE) f.text("title", w->title);
    if (w->event != ZEL_WINDOW_SHOWN && w->event != ZEL_WINDOW_GEOMETRY) return;
    f.num("x", w->x);
    f.num("y", w->y);
    f.num("width", w->width);
    f.num("height", w->height);
    f.num("z", w->z);
}

// from and to in microseconds since the epoch, as the timestamp.
void interruption_fields(Fields& f, const ZelInterruption* i)
{
    f.num("from", static_cast<long long>(i->from));
    f.num("to", static_cast<long long>(i->timestamp));
    f.word("cause", zel_gap_cause_to_string(i->cause));
    f.text("detail", i->detail);
}

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
    case ZEL_DONE: done_fields(f, as<ZelDone>(r)); break;
    case ZEL_WINDOW: window_fields(f, as<ZelWindow>(r)); break;
    case ZEL_INTERRUPTION: interruption_fields(f, as<ZelInterruption>(r)); break;
    default: f.text("item", as<ZelFooterItem>(r)->item); break; // the footer items
    }
    return f;
}

} // namespace

int list_records(const Options& o)
{
    Reader reader = open_reader(o);
    if (!reader) return exit_usage;
    Clock clock;
    RecordStream stream(o.file, reader.get(), false);
    while (Record r = stream.next()) {
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
    return stream.finish();
}

} // namespace zeldump
