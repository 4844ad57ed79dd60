// The writer's state, shared by its two halves: writer.cpp (frames, the
// hash chain and seals) and keyframes.cpp (the screen it follows).
#pragma once

#include <sodium.h>

#include <vector>

#include "zel_internal.h"

struct zel_writer {
    int fd = -1;
    uint64_t offset = 0;        // bytes of complete frames (and file head) in the file
    bool failed = false;        // a frame of the caller's could not be written completely
    bool broken = false;        // a frame could not be taken back: the file does not end on a frame
    bool done_written = false;  // the end-of-data record is in the file
    bool final_written = false; // and its final seal: nothing more is written
    std::vector<uint8_t> frame; // encoding space, reused; never holds unwritten data after a call

    // The hash chain: every byte written, in order.
    crypto_hash_sha256_state hash{};
    bool signing = false;
    uint8_t secret_key[ZEL_SECRET_KEY_BYTES] = {};
    uint8_t key_id[ZEL_KEY_ID_BYTES] = {};
    bool public_key_written = false; // the first signed seal carries it
    bool header_seen = false;
    uint64_t header_time = 0; // of the first header written
    bool any_frame = false;
    uint64_t last_time = 0;
    uint8_t last_type = ZEL_TYPE_UNKNOWN; // of the last frame written
    bool seal_clock_set = false;
    uint64_t seal_clock = 0;  // time of the last seal, or of the first record
    bool seal_wanted = false; // the caller asked for a seal right after a copy: after the next record

    // The screen as written so far, for keyframes.  Best effort: anything
    // that goes wrong here only stops keyframes until the next header.
    ZelReplay* shadow = nullptr;
    bool shadow_ok = false;
    uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL;
    uint64_t since_keyframe = 0; // uncompressed block bytes since the last whole screen
    uint64_t whole_time = 0;     // time of the last whole screen
    bool changed = false;        // blocks or copies written since the last whole screen
    uint8_t screen_pad = 0;      // scanline pad of the header
    // The last whole screen, kept compressed until blocks need it painted.
    bool pending = false;
    ZelCompressedImage pending_image{};
    std::vector<uint8_t> pending_data;
};

namespace zel {

// Encodes and writes one frame at the end of the file; see writer.cpp.
bool write_frame(ZelWriter* writer, const ZelRecord* r, bool callers_record);

// Follows the screen through a record just written; true when that added a
// keyframe after it.
bool follow(ZelWriter* writer, const ZelRecord* r);

} // namespace zel
