// Follows a recording while the recorder writes it: finds its seals with
// libzel's reader, only ever reading the file, and passing every other frame
// over by its length: the payloads are checked by the verification from the
// store, which reads everything.  The reader sees the file's size when it is
// opened, so after each change (inotify) a new reader continues at the first
// frame not read yet.  The file is read through the descriptor opened at the
// start, so a rename or a new file under the same name changes nothing.  The
// writer holds a lock on the file while it writes (zel_file_is_being_written):
// a file without its end whose writer let go of it will never be complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manifest.h"

namespace zelship {

struct Segment {
    uint64_t start = 0;
    uint64_t end = 0;
    std::optional<SealInfo> seal; // none: the closing bytes after a final seal
};

class Follower {
  public:
    enum class State {
        growing,   // the writer is still at it
        complete,  // up to the end of the recording
        abandoned, // no end, and no writer any more (a recorder that died)
        corrupt,   // a damaged frame head: nothing after it can be found
        failed,    // the file cannot be read
    };

    Follower() = default;
    ~Follower();
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    [[nodiscard]] bool open(const std::string& path, std::string& error);
    int fd() const { return fd_; }
    // Reads what was added since the last call; appends the segments sealed
    // in it.  `problem` says what is wrong once abandoned, corrupt or failed.
    [[nodiscard]] State scan(std::vector<Segment>& out);
    const std::string& problem() const { return problem_; }
    // Until the file changes, or the time is up.
    void wait(std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
    int inotify_ = -1;
    uint64_t next_frame_ = 0; // where the next reader starts (0: at the file head)
    uint64_t boundary_ = 0;   // end of the last segment found
    std::string problem_;
};

} // namespace zelship
