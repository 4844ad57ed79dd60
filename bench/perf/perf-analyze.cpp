// perf-analyze: what the performance bench needs to know about a recording.
//
//   perf-analyze FILE                       counts, bytes, frames and ticks
//   perf-analyze FILE --latency LOG X Y     damage-to-record latency: LOG holds
//                                           "<microseconds> <pixel>" lines of fills
//                                           of a window covering root (X, Y)
//
// Prints one JSON object on stdout.  A frame is one tick's screen update: the
// image, block and copy records that share a timestamp.  The ticks a recording
// spans are counted on the 100 ms grid of the default frame rate, from its
// first frame to its last; ticks without a frame are those ticks less the
// frames (each tick writes at most one frame), which stays right when a frame
// is stamped late because its compression took long.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zel.h"

namespace {

constexpr uint64_t TICK_US = 100000;

bool is_image(uint8_t t)
{
    return t == ZEL_IMAGE || t == ZEL_COMPRESSED_IMAGE || t == ZEL_IMAGE_BLOCKS ||
           t == ZEL_COMPRESSED_IMAGE_BLOCKS;
}

// Records that change the screen's pixels.  18 is the copy record of format
// version 2 (written right before its tick's block record, with the same
// timestamp); a version-1 reader never returns it.
bool is_frame_part(uint8_t t)
{
    return is_image(t) || t == 18;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 6) {
        std::fprintf(stderr, "usage: perf-analyze FILE [--latency LOG X Y]\n");
        return 2;
    }
    const bool latency = argc == 6;
    std::vector<std::pair<uint64_t, uint32_t>> fills;
    int px = 0, py = 0;
    if (latency) {
        std::ifstream in(argv[3]);
        std::string line;
        while (std::getline(in, line)) { // other lines ("ready") are passed over
            unsigned long long t;
            unsigned pixel;
            if (std::sscanf(line.c_str(), "%llu %u", &t, &pixel) == 2) fills.emplace_back(t, pixel);
        }
        px = std::atoi(argv[4]);
        py = std::atoi(argv[5]);
    }

    ZelReader* reader = zel_reader_open(argv[1]);
    if (!reader) {
        std::perror(argv[1]);
        return 1;
    }
    // Whole screens the writer adds by itself are counted apart (keyframes).
    zel_reader_show_keyframes(reader, 1);
    ZelReplay* replay = latency ? zel_replay_new() : nullptr;
    std::map<int, uint64_t> count;
    uint64_t first = 0, last = 0, images = 0, image_bytes = 0, full_images = 0;
    uint64_t frames = 0, first_frame = 0, last_frame = 0, longest_gap = 0, keyframe_bytes = 0;
    size_t next_fill = 0;
    uint32_t shown = 0xffffffffu;
    std::vector<double> delays_ms;
    ZelReadStatus status;
    ZelRecord* r = nullptr;
    while ((status = zel_reader_next(reader, &r)) == ZEL_READ_RECORD) {
        ++count[r->type];
        if (r->type == ZEL_HEADER) first = r->timestamp;
        if (r->type != ZEL_DONE) last = r->timestamp;
        if (is_frame_part(r->type) && (frames == 0 || r->timestamp != last_frame)) {
            if (frames == 0) first_frame = r->timestamp;
            if (frames != 0 && r->timestamp > last_frame)
                longest_gap = std::max(longest_gap, r->timestamp - last_frame);
            last_frame = r->timestamp;
            ++frames;
        }
        if (r->type == ZEL_KEYFRAME) keyframe_bytes += zel_reader_record_size(reader);
        if (is_image(r->type)) {
            ++images;
            image_bytes += zel_reader_record_size(reader);
            full_images += r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_IMAGE;
        }
        if (replay && zel_replay_apply(replay, r) == 0 && is_frame_part(r->type)) {
            uint32_t stride = 0;
            const uint8_t* canvas = zel_replay_canvas(replay, &stride);
            if (canvas && px < zel_replay_width(replay) && py < zel_replay_height(replay)) {
                uint32_t v = 0;
                std::memcpy(
                    &v, canvas + size_t{stride} * static_cast<size_t>(py) + static_cast<size_t>(px) * 4, 4);
                v &= 0xffffffu;
                if (v != shown) {
                    shown = v;
                    // The fill that showed this colour; fills the recording skipped are passed over.
                    for (size_t i = next_fill; i < fills.size(); ++i)
                        if (fills[i].second == v) {
                            delays_ms.push_back(
                                (static_cast<double>(r->timestamp) - static_cast<double>(fills[i].first)) /
                                1000.0);
                            next_fill = i + 1;
                            break;
                        }
                }
            }
        }
        zel_record_free(r);
    }
    const double seconds = last > first ? static_cast<double>(last - first) / 1e6 : 0;
    std::printf("{\"status\": \"%s\", \"bytes\": %llu, \"seconds\": %.3f, \"records\": {",
                zel_read_status_to_string(status), static_cast<unsigned long long>(zel_reader_size(reader)),
                seconds);
    bool comma = false;
    for (auto& [type, n] : count) {
        std::printf("%s\"%s\": %llu", comma ? ", " : "",
                    zel_record_type_to_string(static_cast<ZelRecordType>(type)),
                    static_cast<unsigned long long>(n));
        comma = true;
    }
    const uint64_t ticks = frames == 0 ? 0 : (last_frame - first_frame + TICK_US / 2) / TICK_US + 1;
    std::printf(
        "}, \"images\": %llu, \"full_images\": %llu, \"image_bytes\": %llu, \"frames\": %llu, "
        "\"ticks\": %llu, \"ticks_without_frame\": %llu, \"longest_gap_ms\": %.1f, \"keyframe_bytes\": %llu",
        static_cast<unsigned long long>(images), static_cast<unsigned long long>(full_images),
        static_cast<unsigned long long>(image_bytes), static_cast<unsigned long long>(frames),
        static_cast<unsigned long long>(ticks),
        static_cast<unsigned long long>(ticks > frames ? ticks - frames : 0),
        static_cast<double>(longest_gap) / 1000.0, static_cast<unsigned long long>(keyframe_bytes));
    if (latency) {
        std::printf(", \"fills\": %zu, \"fills_seen\": %zu, \"latency_ms\": {\"p50\": %.1f, \"p99\": %.1f, "
                    "\"max\": %.1f}",
                    fills.size(), delays_ms.size(), percentile(delays_ms, 0.5), percentile(delays_ms, 0.99),
                    percentile(delays_ms, 1.0));
    }
    std::printf("}\n");
    zel_replay_free(replay);
    zel_reader_close(reader);
    return 0;
}
