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

bool render(const ZelReplay* replay, std::vector<uint8_t>& buf, bool cursor)
{
    if (!zel_replay_has_screen(replay) || !zel_replay_is_whole(replay)) return false;
    size_t need = static_cast<size_t>(zel_replay_width(replay)) * zel_replay_height(replay) * 4;
    if (need == 0) return false;
    buf.resize(need);
    return zel_replay_render_rgba(replay, buf.data(), buf.size(), cursor ? 1 : 0) == 0;
}

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

Index build_index(RecordStream& stream, ZelReader* reader)
{
    Index ix;
    uint16_t w = 0, h = 0;
    bool have_base = false;
    while (Record r = stream.next()) {
        if (!have_base) {
            have_base = true;
            ix.base = r->timestamp;
        }
        IndexEntry e{zel_reader_record_offset(reader),
                     zel_reader_record_size(reader),
                     r->timestamp,
                     is_image(r->type),
                     false,
                     stream.after_damage()};
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

Record read_entry(ZelReader* reader, const Index& ix, size_t i, ZelReplay* replay)
{
    const IndexEntry& e = ix.entries[i];
    const bool next = i > 0 && ix.entries[i - 1].offset + ix.entries[i - 1].size == e.offset;
    if (!next && zel_reader_seek(reader, e.offset) != 0) return nullptr;
    ZelRecord* raw = nullptr;
    if (zel_reader_next(reader, &raw) != ZEL_READ_RECORD) return nullptr;
    if (e.after_damage) zel_replay_mark_damage(replay);
    return Record(raw);
}

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
    bool warned = false;
    for (size_t i = 0; i < end; ++i) {
        Record r = read_entry(reader, ix, i, replay);
        if (!r) return false;
        if (ix.entries[i].image && i < key) continue;      // painted over by the keyframe
        if (r->type == ZEL_KEYFRAME && i != key) continue; // the same screen as the records before it
        apply(replay, r.get(), ix.entries[i].offset, warned);
    }
    return true;
}

} // namespace zeldump
