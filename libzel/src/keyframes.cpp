// Keyframes: the writer follows the screen it writes (its "shadow") and adds
// the whole screen, compressed, once enough block data or enough record time
// has passed since the last whole screen, so that a player can start there.
#include <new>

#include "writer.h"

namespace zel {
namespace {

bool covers_screen(const ZelReplay* s, const ZelCompressedImage* c)
{
    return c->x <= 0 && c->y <= 0 && c->x + c->width >= zel_replay_width(s) &&
           c->y + c->height >= zel_replay_height(s) && c->pixel_format == zel_replay_pixel_format(s);
}

void whole_screen_at(ZelWriter* w, uint64_t timestamp)
{
    w->since_keyframe = 0;
    w->whole_time = timestamp;
    w->changed = false;
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
    materialize(w);
    if (zel_replay_apply(w->shadow, r) != 0) w->shadow_ok = false;
}

bool write_keyframe(ZelWriter* w, uint64_t timestamp)
{
    uint32_t stride = 0;
    const uint8_t* canvas = zel_replay_canvas(w->shadow, &stride);
    if (canvas == nullptr) return false;
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
    if (key == nullptr) return false;
    key->type = ZEL_KEYFRAME;
    bool ok = write_frame(w, reinterpret_cast<ZelRecord*>(key), false);
    zel_record_free(key);
    if (!ok) w->shadow_ok = false;
    if (ok) whole_screen_at(w, timestamp);
    return ok;
}

void follow_header(ZelWriter* w, const ZelRecord* r)
{
    if (w->shadow == nullptr) w->shadow = zel_replay_new();
    w->pending = false;
    w->shadow_ok = w->shadow != nullptr && zel_replay_apply(w->shadow, r) == 0;
    w->screen_pad = reinterpret_cast<const ZelHeader*>(r)->scanline_pad;
    whole_screen_at(w, r->timestamp);
}

// A whole screen stays compressed: a screen of whole images never needs decoding.
void follow_compressed_image(ZelWriter* w, const ZelCompressedImage* c)
{
    if (!covers_screen(w->shadow, c)) return apply(w, reinterpret_cast<const ZelRecord*>(c));
    try {
        w->pending_data.assign(c->data, c->data + c->compressed_length);
    } catch (const std::bad_alloc&) {
        w->shadow_ok = false;
        return;
    }
    w->pending_image = *c;
    w->pending_image.type = ZEL_COMPRESSED_IMAGE;
    w->pending = true;
    whole_screen_at(w, c->timestamp);
}

uint64_t block_bytes(const ZelRecord* r)
{
    return r->type == ZEL_IMAGE_BLOCKS ? reinterpret_cast<const ZelImageBlocks*>(r)->length
                                       : reinterpret_cast<const ZelCompressedImageBlocks*>(r)->length;
}

} // namespace

bool follow(ZelWriter* w, const ZelRecord* r)
{
    if (r->type == ZEL_HEADER) {
        follow_header(w, r);
        return false;
    }
    if (!w->shadow_ok || w->keyframe_interval == 0) return false;
    switch (r->type) {
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: follow_compressed_image(w, reinterpret_cast<const ZelCompressedImage*>(r)); break;
    case ZEL_IMAGE:
    case ZEL_SCREEN_CHANGE: apply(w, r); break;
    case ZEL_COPY:
        apply(w, r);
        w->changed = true;
        return false; // nothing comes between a copy and its frame's image record
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        apply(w, r);
        w->changed = true;
        w->since_keyframe += block_bytes(r);
        break;
    default: break;
    }
    const bool due = w->since_keyframe >= w->keyframe_interval ||
                     (w->changed && r->timestamp >= w->whole_time + ZEL_KEYFRAME_PERIOD);
    return w->shadow_ok && due && write_keyframe(w, r->timestamp);
}

} // namespace zel
