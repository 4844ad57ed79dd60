// What --png and --video share.
#pragma once

#include "zeldump.h"

namespace zeldump {

// What a first pass learns about each record without decoding images.
struct IndexEntry {
    uint64_t offset;
    uint64_t size; // of its frame
    uint64_t timestamp;
    bool image;
    bool keyframe;     // a header, or an image covering the whole screen of its time
    bool after_damage; // the first record after a damaged stretch
};

struct Index {
    std::vector<IndexEntry> entries;
    uint64_t base = 0;
    uint16_t max_width = 0;
    uint16_t max_height = 0;
    std::vector<uint64_t> image_times;
};

// Every readable record of the stream's reader, without decoding images
// (its reader shows seals and keyframes).
Index build_index(RecordStream& stream, ZelReader* reader);
// Reads entry i again (seeking when it does not follow the one before, and
// marking the replay damaged when it follows damage); empty when it cannot.
Record read_entry(ZelReader* reader, const Index& ix, size_t i, ZelReplay* replay);
// Rebuilds the screen as it was at absolute time t: non-image records from
// the start, images only from the last keyframe at or before t (the replay
// is not whole when damage since that keyframe leaves it unknown); false
// when the records cannot be read again.
bool replay_until(ZelReader* reader, const Index& ix, uint64_t t, ZelReplay* replay);

bool write_png(const std::string& path, const uint8_t* rgba, uint32_t w, uint32_t h);
// Renders the replay as RGBA into buf; false when there is no screen yet,
// or none known since damage.
bool render(const ZelReplay* replay, std::vector<uint8_t>& buf, bool cursor);

// Writes the manifest beside an export: the recording's name, the SHA-256
// of its bytes, its verification, and the time range exported (seconds from
// the start at base); false with a message.
bool write_manifest(const Options& o, const std::string& path, const char* kind, uint64_t base, double from,
                    double to, uint64_t frames);
// Applies a record; damaged image data is reported once and skipped.
void apply(ZelReplay* replay, const ZelRecord* r, uint64_t offset, bool& warned);

} // namespace zeldump
