// What --png and --video share.
#pragma once

#include "zeldump.h"

namespace zeldump {

// What a first pass learns about each record without decoding images.
struct IndexEntry {
    uint64_t offset;
    uint64_t timestamp;
    bool image;
    bool keyframe; // a header, or an image covering the whole screen of its time
};

struct Index {
    std::vector<IndexEntry> entries;
    uint64_t base = 0;
    uint16_t max_width = 0;
    uint16_t max_height = 0;
    std::vector<uint64_t> image_times;
    ZelReadStatus status = ZEL_READ_END;
};

// Records the recording's records without decoding images (seals and keyframes shown).
Index build_index(ZelReader* reader);
// Rebuilds the screen as it was at absolute time t: non-image records from
// the start, images only from the last keyframe at or before t; false when
// the records cannot be read again.
bool replay_until(ZelReader* reader, const Index& ix, uint64_t t, ZelReplay* replay);

bool write_png(const std::string& path, const uint8_t* rgba, uint32_t w, uint32_t h);
// Renders the replay as RGBA into buf; false when there is no screen yet.
bool render(const ZelReplay* replay, std::vector<uint8_t>& buf, bool cursor);
// Applies a record; damaged image data is reported once and skipped.
void apply(ZelReplay* replay, const ZelRecord* r, uint64_t offset, bool& warned);

} // namespace zeldump
