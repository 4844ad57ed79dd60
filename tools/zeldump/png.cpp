// zeldump --png DIR [--every S | --at S ...] FILE: frames as PNG files.
#include <sys/stat.h>

#include <algorithm>
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

// Tells once per damaged stretch that frames are missing there.
class Gaps {
  public:
    void missing(double seconds)
    {
        if (!open_) from_ = seconds;
        open_ = true;
        to_ = seconds;
    }
    void shown()
    {
        if (open_)
            std::fprintf(
                stderr, "zeldump: warning: no frames from %.3f s to %.3f s: the recording is damaged there\n",
                from_, to_);
        open_ = false;
    }

  private:
    bool open_ = false;
    double from_ = 0, to_ = 0;
};

// Frames at every step of `step` seconds from the start (forward, one pass).
class EveryStep {
  public:
    EveryStep(const Options& o, ZelReplay* replay) : o_(o), replay_(replay) {}
    // Writes the frames due before t (through t when `through`); false on failure.
    bool until(double t, bool through)
    {
        for (; next_ < t || (through && next_ <= t); next_ += o_.every) {
            if (!zel_replay_has_screen(replay_)) continue;
            if (!zel_replay_is_whole(replay_)) {
                gaps_.missing(next_);
                continue;
            }
            gaps_.shown();
            if (!emit_png(o_, replay_, next_, buf_)) return false;
            first_ = frames_++ == 0 ? next_ : first_;
            last_ = next_;
        }
        return true;
    }
    void finish() { gaps_.shown(); }
    uint64_t frames() const { return frames_; }
    double first() const { return first_; }
    double last() const { return last_; }

  private:
    const Options& o_;
    ZelReplay* replay_;
    Gaps gaps_;
    std::vector<uint8_t> buf_;
    uint64_t frames_ = 0;
    double next_ = 0, first_ = 0, last_ = 0;
};

int export_every(const Options& o)
{
    Reader reader = open_reader(o);
    if (!reader) return exit_usage;
    Replay replay(zel_replay_new());
    Clock clock;
    Progress progress("png", o.quiet);
    EveryStep steps(o, replay.get());
    RecordStream stream(o.file, reader.get(), true);
    bool warned = false;
    while (Record r = stream.next()) {
        clock.see(r.get());
        if (!steps.until(clock.seconds(r->timestamp), false)) return exit_usage;
        if (stream.after_damage()) zel_replay_mark_damage(replay.get());
        // A keyframe is the screen the records before it made, unless damage hid them.
        if (r->type != ZEL_KEYFRAME || !zel_replay_is_whole(replay.get()))
            apply(replay.get(), r.get(), zel_reader_record_offset(reader.get()), warned);
        progress.update(static_cast<double>(zel_reader_record_offset(reader.get())) /
                            static_cast<double>(std::max<uint64_t>(1, zel_reader_size(reader.get()))),
                        steps.frames());
    }
    // The state after the last record stands until its time.
    if (!steps.until(clock.seconds(zel_replay_time(replay.get())), true)) return exit_usage;
    steps.finish();
    progress.finish(steps.frames());
    const int status = stream.finish();
    if (steps.frames() > 0 && !write_manifest(o, o.png_dir + "/manifest.json", "png", clock.base,
                                              steps.first(), steps.last(), steps.frames()))
        return exit_usage;
    return status;
}

// The screen at each time of --at, or at the last record.
int export_times(const Options& o)
{
    Reader reader = open_reader(o);
    if (!reader) return exit_usage;
    RecordStream stream(o.file, reader.get(), true);
    Index ix = build_index(stream, reader.get());
    std::vector<double> times = o.at;
    if (times.empty() && ix.entries.empty()) {
        std::fprintf(stderr, "zeldump: %s: no records\n", o.file.c_str());
        return report_status(o.file, reader.get(), stream.status(), false);
    }
    if (times.empty()) times.push_back(static_cast<double>(ix.entries.back().timestamp - ix.base) / 1e6);
    std::vector<uint8_t> buf;
    uint64_t frames = 0;
    double first = 0, last = 0;
    for (double seconds : times) {
        Replay replay(zel_replay_new());
        auto t = static_cast<uint64_t>(static_cast<double>(ix.base) + seconds * 1e6);
        if (seconds < 0) t = ix.base;
        if (!replay_until(reader.get(), ix, t, replay.get())) {
            std::fprintf(stderr, "zeldump: %s: cannot read the records again\n", o.file.c_str());
            return exit_usage;
        }
        if (!zel_replay_has_screen(replay.get()) || !zel_replay_is_whole(replay.get())) {
            std::fprintf(stderr, "zeldump: no %sscreen at %.3f s\n",
                         zel_replay_has_screen(replay.get()) ? "intact " : "", seconds);
            continue;
        }
        if (!emit_png(o, replay.get(), seconds, buf)) return exit_usage;
        first = frames++ == 0 ? seconds : std::min(first, seconds);
        last = std::max(last, seconds);
    }
    const int status = stream.finish();
    if (frames > 0 && !write_manifest(o, o.png_dir + "/manifest.json", "png", ix.base, first, last, frames))
        return exit_usage;
    return status;
}

} // namespace

int export_png(const Options& o)
{
    struct stat st {};
    if (::stat(o.png_dir.c_str(), &st) != 0 && ::mkdir(o.png_dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "zeldump: cannot create %s: %s\n", o.png_dir.c_str(), std::strerror(errno));
        return exit_usage;
    }
    return o.every > 0 ? export_every(o) : export_times(o);
}

} // namespace zeldump
