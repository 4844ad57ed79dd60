// Shared pieces of the recorder's end-to-end tests: reading the recording as
// it grows (woken by inotify, never by a guessed sleep), replaying it, and
// the picture the recording should show.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "x-harness.h"
#include "zel.h"

namespace e2e {

struct RecordFree {
    void operator()(ZelRecord* r) const noexcept { zel_record_free(r); }
};
using RecordPtr = std::unique_ptr<ZelRecord, RecordFree>;

// Every record the file holds now, and how the reading ended.
struct Recording {
    std::vector<RecordPtr> records;
    ZelReadStatus status = ZEL_READ_ERROR;

    size_t count(ZelRecordType type) const
    {
        return static_cast<size_t>(std::count_if(records.begin(), records.end(),
                                                 [type](const RecordPtr& r) { return r->type == type; }));
    }
    // Image records: full screens and changed blocks.
    size_t frames() const
    {
        return count(ZEL_COMPRESSED_IMAGE) + count(ZEL_COMPRESSED_IMAGE_BLOCKS) + count(ZEL_IMAGE) +
               count(ZEL_IMAGE_BLOCKS);
    }
    template <typename T>
    std::vector<const T*> of(ZelRecordType type) const
    {
        std::vector<const T*> out;
        for (const auto& r : records)
            if (r->type == type) out.push_back(reinterpret_cast<const T*>(r.get()));
        return out;
    }
};

inline Recording read_recording(const std::string& path)
{
    Recording rec;
    ZelReader* reader = zel_reader_open(path.c_str());
    if (!reader) return rec;
    for (;;) {
        ZelRecord* r = nullptr;
        rec.status = zel_reader_next(reader, &r);
        if (rec.status != ZEL_READ_RECORD) break;
        rec.records.emplace_back(r);
    }
    zel_reader_close(reader);
    return rec;
}

// Re-reads the recording each time the directory holding it changes until
// pred holds; fails the test after the guard.  The recorder, when given, is
// watched too: once it has exited nothing more will come.
inline Recording wait_for_recording(const std::string& path,
                                    const std::function<bool(const Recording&)>& pred,
                                    xtest::Process* recorder = nullptr,
                                    std::chrono::milliseconds guard = xtest::kGuard)
{
    const std::string dir = path.substr(0, path.rfind('/'));
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    EXPECT_GE(fd, 0);
    inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    const auto deadline = std::chrono::steady_clock::now() + guard;
    Recording rec;
    for (;;) {
        // drain what has been reported so far, then look at the file
        char buf[4096];
        while (read(fd, buf, sizeof buf) > 0) {}
        const bool was_running = !recorder || recorder->running();
        rec = read_recording(path);
        if (pred(rec)) break;
        if (!was_running) {
            ADD_FAILURE() << "the recorder ended before the recording showed what was waited for";
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "guard timeout waiting for the recording " << path;
            break;
        }
        // a short wake-up bound only to notice the recorder's exit
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 200)));
    }
    close(fd);
    return rec;
}

// A picture: width × height pixel values (masked to the screen depth).
struct Picture {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint32_t> px;
    Picture() = default;
    Picture(uint16_t w, uint16_t h) : width(w), height(h), px(static_cast<size_t>(w) * h, 0) {}
    uint32_t& at(int x, int y) { return px[static_cast<size_t>(y) * width + static_cast<size_t>(x)]; }
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * width + static_cast<size_t>(x)]; }
    bool operator==(const Picture&) const = default;
};

inline uint32_t depth_mask(uint8_t depth)
{
    return depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1;
}

// The screen rebuilt from the recording's records, in order.
inline Picture replay_picture(const Recording& rec, uint8_t depth, ZelReplay** keep = nullptr)
{
    Picture pic;
    ZelReplay* replay = zel_replay_new();
    for (const auto& r : rec.records)
        if (zel_replay_apply(replay, r.get()) != 0)
            ADD_FAILURE() << "replay refused a record of type " << int(r->type);
    uint32_t stride = 0;
    const uint8_t* canvas = zel_replay_canvas(replay, &stride);
    if (canvas) {
        pic = Picture(zel_replay_width(replay), zel_replay_height(replay));
        const uint8_t bpp = pixel_format_bytes_per_pixel(zel_replay_pixel_format(replay));
        for (int y = 0; y < pic.height; ++y)
            for (int x = 0; x < pic.width; ++x) {
                uint32_t v = 0;
                std::memcpy(&v, canvas + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * bpp, bpp);
                pic.at(x, y) = v & depth_mask(depth);
            }
    }
    if (keep)
        *keep = replay;
    else
        zel_replay_free(replay);
    return pic;
}

inline Picture picture_of(const xtest::Image& img)
{
    Picture pic(img.width, img.height);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) pic.at(x, y) = img.pixel(x, y);
    return pic;
}

// How many pixels differ, with the first difference described.
inline std::string difference(const Picture& got, const Picture& want)
{
    if (got.width != want.width || got.height != want.height)
        return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) + " instead of " +
               std::to_string(want.width) + "x" + std::to_string(want.height);
    size_t n = 0;
    std::string first;
    for (int y = 0; y < want.height; ++y)
        for (int x = 0; x < want.width; ++x)
            if (got.at(x, y) != want.at(x, y)) {
                if (n++ == 0) {
                    char b[128];
                    snprintf(b, sizeof b, "first at (%d,%d): 0x%06x instead of 0x%06x", x, y, got.at(x, y),
                             want.at(x, y));
                    first = b;
                }
            }
    return n == 0 ? "" : std::to_string(n) + " pixels differ, " + first;
}

// A test window whose inside holds a known pattern (or one solid value).
struct TestWindow {
    xcb_window_t id = 0;
    int16_t x = 0, y = 0; // outer position (border included), as configured
    uint16_t w = 0, h = 0;
    uint16_t bw = 0;
    uint32_t seed = 0;
    bool mapped = false;
    uint32_t inside(int px, int py, uint8_t depth) const { return xtest::pattern_pixel(seed, px, py, depth); }
};

// The windows' insides composed in the order of _NET_CLIENT_LIST_STACKING,
// only those listed in _NET_CLIENT_LIST and mapped, over zero, clipped to
// the screen.  The windows' contents come from the test's own model.
inline Picture compose(xtest::Client& client, const std::vector<TestWindow>& windows, uint16_t width,
                       uint16_t height)
{
    Picture pic(width, height);
    const uint8_t depth = client.depth();
    const auto listed = client.root_window_list("_NET_CLIENT_LIST");
    for (xcb_window_t id : client.root_window_list("_NET_CLIENT_LIST_STACKING")) {
        if (std::find(listed.begin(), listed.end(), id) == listed.end()) continue;
        auto it =
            std::find_if(windows.begin(), windows.end(), [id](const TestWindow& t) { return t.id == id; });
        if (it == windows.end() || !it->mapped) continue;
        const int ox = it->x + it->bw, oy = it->y + it->bw;
        for (int y = 0; y < it->h; ++y)
            for (int x = 0; x < it->w; ++x) {
                const int sx = ox + x, sy = oy + y;
                if (sx < 0 || sy < 0 || sx >= width || sy >= height) continue;
                pic.at(sx, sy) = it->inside(x, y, depth);
            }
    }
    return pic;
}

} // namespace e2e
