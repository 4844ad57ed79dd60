// What --png and --video share: the first pass over a recording (an index
// of its records), replaying up to a time, rendering, and PNG files.
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "frames.h"

namespace zeldump {
namespace {

// Records that paint (the index tells them from the rest).
bool is_image(uint8_t type)
{
    return type == ZEL_IMAGE || type == ZEL_COMPRESSED_IMAGE || type == ZEL_IMAGE_BLOCKS ||
           type == ZEL_COMPRESSED_IMAGE_BLOCKS || type == ZEL_KEYFRAME || type == ZEL_COPY;
}

} // namespace

// ---- frames ----

bool write_png(const std::string& path, const uint8_t* rgba, uint32_t w, uint32_t h)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGBA;
    if (png_image_write_to_file(&image, path.c_str(), 0, rgba, 0, nullptr) == 0) {
        std::fprintf(stderr, "zeldump: cannot write %s: %s\n", path.c_str(), image.message);
        png_image_free(&image);
        return false;
    }
    return true;
}

std::string frame_name(const std::string& dir, double seconds)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "/frame-%010.3f.png", seconds);
    return dir + buf;
}

// Renders the replay as RGBA into buf; false when there is no screen yet.
bool render(const ZelReplay* replay, std::vector<uint8_t>& buf, bool cursor)
{
    if (!zel_replay_has_screen(replay)) return false;
    size_t need = static_cast<size_t>(zel_replay_width(replay)) * zel_replay_height(replay) * 4;
    if (need == 0) return false;
    buf.resize(need);
    return zel_replay_render_rgba(replay, buf.data(), buf.size(), cursor ? 1 : 0) == 0;
}

bool emit_png(const Options& o, const ZelReplay* replay, double seconds, std::vector<uint8_t>& buf)
{
    if (!render(replay, buf, o.cursor)) return true; // nothing to show before the header
    return write_png(frame_name(o.png_dir, seconds), buf.data(), zel_replay_width(replay),
                     zel_replay_height(replay));
}

// Applies a record; damaged image data is reported once and skipped.
void apply(ZelReplay* replay, const ZelRecord* r, uint64_t offset, bool& warned)
{
    if (zel_replay_apply(replay, r) != 0 && !warned && r->type != ZEL_CURSOR_IMAGE &&
        r->type != ZEL_COMPRESSED_CURSOR_IMAGE) {
        warned = true;
        std::fprintf(
            stderr, "zeldump: warning: %s record at byte %" PRIu64 " cannot be applied (%s); skipped\n",
            zel_record_type_to_string(static_cast<ZelRecordType>(r->type)), offset, std::strerror(errno));
    }
}

Index build_index(ZelReader* reader)
{
    Index ix;
    uint16_t w = 0, h = 0;
    bool have_base = false;
    for (;;) {
        ZelRecord* raw = nullptr;
        ZelReadStatus s = zel_reader_next(reader, &raw);
        if (s != ZEL_READ_RECORD) {
            ix.status = s;
            break;
        }
        Record r(raw);
        if (!have_base) {
            have_base = true;
            ix.base = r->timestamp;
        }
        IndexEntry e{zel_reader_record_offset(reader), r->timestamp, is_image(r->type), false};
        if (r->type == ZEL_HEADER) {
            auto* hd = reinterpret_cast<const ZelHeader*>(r.get());
            w = hd->width;
            h = hd->height;
            e.keyframe = true;
        } else if (r->type == ZEL_SCREEN_CHANGE) {
            auto* c = reinterpret_cast<const ZelScreenChange*>(r.get());
            w = c->width;
            h = c->height;
        } else if (r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_IMAGE || r->type == ZEL_KEYFRAME) {
            // The two image structures share their geometry's offsets.
            auto* c = reinterpret_cast<const ZelCompressedImage*>(r.get());
            e.keyframe = c->x <= 0 && c->y <= 0 && c->x + c->width >= w && c->y + c->height >= h;
        }
        if (e.image && r->type != ZEL_KEYFRAME) ix.image_times.push_back(r->timestamp);
        ix.max_width = std::max(ix.max_width, w);
        ix.max_height = std::max(ix.max_height, h);
        ix.entries.push_back(e);
    }
    return ix;
}

// Rebuilds the screen as it was at absolute time t: non-image records from the
// start, images only from the last keyframe at or before t.
bool replay_until(ZelReader* reader, const Index& ix, uint64_t t, ZelReplay* replay)
{
    size_t end = 0;
    while (end < ix.entries.size() && ix.entries[end].timestamp <= t) ++end;
    size_t key = 0;
    for (size_t i = end; i-- > 0;)
        if (ix.entries[i].keyframe) {
            key = i;
            break;
        }
    if (end == 0) return true;
    if (zel_reader_seek(reader, ix.entries[0].offset) != 0) return false;
    bool warned = false;
    for (size_t i = 0; i < end; ++i) {
        ZelRecord* raw = nullptr;
        if (zel_reader_next(reader, &raw) != ZEL_READ_RECORD) return false;
        Record r(raw);
        if (ix.entries[i].image && i < key) continue;      // painted over by the keyframe
        if (r->type == ZEL_KEYFRAME && i != key) continue; // the same screen as the records before it
        apply(replay, r.get(), ix.entries[i].offset, warned);
    }
    return true;
}

} // namespace zeldump
