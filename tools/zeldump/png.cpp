// zeldump --png DIR [--every S | --at S ...] FILE: frames as PNG files.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frames.h"

namespace zeldump {
namespace {

std::string frame_name(const std::string& dir, double seconds)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "/frame-%010.3f.png", seconds);
    return dir + buf;
}

bool emit_png(const Options& o, const ZelReplay* replay, double seconds, std::vector<uint8_t>& buf)
{
    if (!render(replay, buf, o.cursor)) return true; // nothing to show before the header
    return write_png(frame_name(o.png_dir, seconds), buf.data(), zel_replay_width(replay),
                     zel_replay_height(replay));
}

// Frames at every step of `step` seconds from the start (forward, one pass).
int export_every(const Options& o)
{
    Reader reader = open_reader(o.file, false);
    if (!reader) return exit_usage;
    Replay replay(zel_replay_new());
    Clock clock;
    std::vector<uint8_t> buf;
    Progress progress("png", o.quiet);
    uint64_t frames = 0;
    double next = 0;
    bool warned = false;
    ZelReadStatus s;
    for (;;) {
        ZelRecord* raw = nullptr;
        s = zel_reader_next(reader.get(), &raw);
        if (s != ZEL_READ_RECORD) break;
        Record r(raw);
        clock.see(r.get());
        double t = clock.seconds(r->timestamp);
        while (next < t) {
            if (zel_replay_has_screen(replay.get())) {
                if (!emit_png(o, replay.get(), next, buf)) return exit_usage;
                ++frames;
            }
            next += o.every;
        }
        apply(replay.get(), r.get(), zel_reader_record_offset(reader.get()), warned);
        progress.update(static_cast<double>(zel_reader_record_offset(reader.get())) /
                            static_cast<double>(std::max<uint64_t>(1, zel_reader_size(reader.get()))),
                        frames);
    }
    // The state after the last record stands until its time.
    double end = clock.seconds(zel_replay_time(replay.get()));
    while (next <= end && zel_replay_has_screen(replay.get())) {
        if (!emit_png(o, replay.get(), next, buf)) return exit_usage;
        ++frames;
        next += o.every;
    }
    progress.finish(frames);
    return report_status(o.file, reader.get(), s, true);
}

int export_at(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Index ix = build_index(reader.get());
    std::vector<uint8_t> buf;
    for (double seconds : o.at) {
        Replay replay(zel_replay_new());
        auto t = static_cast<uint64_t>(static_cast<double>(ix.base) + seconds * 1e6);
        if (seconds < 0) t = ix.base;
        if (!replay_until(reader.get(), ix, t, replay.get())) {
            std::fprintf(stderr, "zeldump: %s: cannot read the records again\n", o.file.c_str());
            return exit_usage;
        }
        if (!zel_replay_has_screen(replay.get())) {
            std::fprintf(stderr, "zeldump: no screen at %.3f s\n", seconds);
            continue;
        }
        if (!emit_png(o, replay.get(), seconds, buf)) return exit_usage;
    }
    return report_status(o.file, reader.get(), ix.status, true);
}

int export_last(const Options& o)
{
    Reader reader = open_reader(o.file);
    if (!reader) return exit_usage;
    Index ix = build_index(reader.get());
    if (ix.entries.empty()) {
        std::fprintf(stderr, "zeldump: %s: no records\n", o.file.c_str());
        return report_status(o.file, reader.get(), ix.status, false);
    }
    Replay replay(zel_replay_new());
    uint64_t t = ix.entries.back().timestamp;
    if (!replay_until(reader.get(), ix, t, replay.get())) return exit_usage;
    std::vector<uint8_t> buf;
    if (!emit_png(o, replay.get(), static_cast<double>(t - ix.base) / 1e6, buf)) return exit_usage;
    return report_status(o.file, reader.get(), ix.status, true);
}

} // namespace

int export_png(const Options& o)
{
    struct stat st {};
    if (::stat(o.png_dir.c_str(), &st) != 0 && ::mkdir(o.png_dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "zeldump: cannot create %s: %s\n", o.png_dir.c_str(), std::strerror(errno));
        return exit_usage;
    }
    if (o.every > 0) return export_every(o);
    if (!o.at.empty()) return export_at(o);
    return export_last(o);
}

} // namespace zeldump
