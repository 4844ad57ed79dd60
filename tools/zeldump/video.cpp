// zeldump --video OUT [--fps N] FILE: the recording through ffmpeg.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "frames.h"

extern char** environ;

namespace zeldump {
namespace {

double frame_rate(const Options& o, const Index& ix)
{
    if (o.fps > 0) return o.fps;
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < ix.image_times.size(); ++i)
        if (ix.image_times[i] > ix.image_times[i - 1])
            gaps.push_back(ix.image_times[i] - ix.image_times[i - 1]);
    if (gaps.size() < 2) return 10;
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    double fps = 1e6 / static_cast<double>(gaps[gaps.size() / 2]);
    return std::clamp(std::round(fps * 100) / 100, 1.0, 60.0);
}

class Encoder {
  public:
    bool start(const std::string& out, uint32_t w, uint32_t h, double fps)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        char size[32], rate[32];
        std::snprintf(size, sizeof size, "%ux%u", w, h);
        std::snprintf(rate, sizeof rate, "%.2f", fps);
        std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error",    "-nostdin",
                                         "-y",     "-f",           "rawvideo",  "-pix_fmt", "rgba",
                                         "-s",     size,           "-r",        rate,       "-i",
                                         "-",      "-c:v",         "libx264",   "-preset",  "veryfast",
                                         "-crf",   "18",           "-pix_fmt",  "yuv420p",  out};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        int rc = posix_spawnp(&pid_, "ffmpeg", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        if (rc != 0) {
            ::close(fds[1]);
            errno = rc;
            return false;
        }
        fd_ = fds[1];
        return true;
    }
    bool write(const uint8_t* p, size_t n)
    {
        while (n > 0) {
            ssize_t k = ::write(fd_, p, n);
            if (k < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    // Closes the pipe and waits; true when ffmpeg succeeded.
    bool finish()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (pid_ <= 0) return false;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~Encoder() { finish(); }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Frames of the video, each the screen at its time padded to W x H.
class VideoFrames {
  public:
    VideoFrames(const Options& o, const Index& ix, Encoder& enc)
        : o_(o), enc_(enc), W_((ix.max_width + 1u) & ~1u), H_((ix.max_height + 1u) & ~1u),
          fps_(frame_rate(o, ix)), first_(ix.base),
          total_(static_cast<uint64_t>(
                     std::floor(static_cast<double>(ix.entries.back().timestamp - ix.base) / 1e6 * fps_)) +
                 1),
          out_(static_cast<size_t>(W_) * H_ * 4)
    {
    }
    bool start()
    {
        if (!o_.quiet)
            std::fprintf(stderr, "zeldump: video: %ux%u at %.2f frames per second, %" PRIu64 " frames\n", W_,
                         H_, fps_, total_);
        return enc_.start(o_.video, W_, H_, fps_);
    }
    // Writes every frame due before time t (all that are left when t is 0).
    bool until(uint64_t t, ZelReplay* replay)
    {
        while (frame_ < total_ && (t == 0 || first_ + static_cast<uint64_t>(frame_ * 1e6 / fps_) < t))
            if (!emit(replay)) return false;
        return true;
    }
    uint64_t frame() const { return frame_; }
    double done() const { return static_cast<double>(frame_) / static_cast<double>(total_); }

  private:
    bool emit(ZelReplay* replay)
    {
        std::fill(out_.begin(), out_.end(), 0);
        for (size_t i = 3; i < out_.size(); i += 4) out_[i] = 255;
        if (render(replay, screen_, o_.cursor)) {
            const size_t w = zel_replay_width(replay), h = zel_replay_height(replay);
            for (size_t y = 0; y < h; ++y)
                std::memcpy(out_.data() + y * W_ * 4, screen_.data() + y * w * 4, w * 4);
        }
        ++frame_;
        return enc_.write(out_.data(), out_.size());
    }
    const Options& o_;
    Encoder& enc_;
    const uint32_t W_, H_;
    const double fps_;
    const uint64_t first_, total_;
    uint64_t frame_ = 0;
    std::vector<uint8_t> screen_, out_;
};

} // namespace

int export_video(const Options& o)
{
    Reader reader = open_reader(o);
    if (!reader) return exit_usage;
    RecordStream stream(o.file, reader.get(), true);
    Index ix = build_index(stream, reader.get());
    if (ix.max_width == 0 || ix.max_height == 0 || ix.entries.empty()) {
        std::fprintf(stderr, "zeldump: %s: no screen to encode\n", o.file.c_str());
        return exit_usage;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Encoder enc;
    VideoFrames frames(o, ix, enc);
    if (!frames.start()) {
        std::fprintf(stderr, "zeldump: cannot start ffmpeg: %s\n", std::strerror(errno));
        return exit_usage;
    }
    Replay replay(zel_replay_new());
    Progress progress("video", o.quiet);
    bool warned = false, ok = true;
    for (size_t i = 0; i < ix.entries.size() && ok; ++i) {
        Record r = read_entry(reader.get(), ix, i, replay.get());
        if (!r) break;
        ok = frames.until(r->timestamp, replay.get());
        // A keyframe is the screen the records before it made, unless damage hid them.
        if (r->type != ZEL_KEYFRAME || !zel_replay_is_whole(replay.get()))
            apply(replay.get(), r.get(), ix.entries[i].offset, warned);
        progress.update(frames.done(), frames.frame());
    }
    ok = ok && frames.until(0, replay.get());
    const bool encoded = enc.finish();
    progress.finish(frames.frame());
    if (!ok || !encoded) {
        std::fprintf(stderr, "zeldump: ffmpeg failed to encode %s\n", o.video.c_str());
        return exit_usage;
    }
    const int status = stream.finish();
    const double duration = static_cast<double>(ix.entries.back().timestamp - ix.base) / 1e6;
    if (!write_manifest(o, o.video + ".manifest.json", "video", ix.base, 0, duration, frames.frame()))
        return exit_usage;
    return status;
}

} // namespace zeldump
