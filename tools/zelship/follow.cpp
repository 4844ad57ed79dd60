#include "follow.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "zel.h"

namespace zelship {

namespace {

struct ReaderClose {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
struct RecordFree {
    void operator()(ZelRecord* r) const { zel_record_free(r); }
};

// Every record type but the seal, which the follower passes over (the
// end-of-data record is never passed over).
const std::vector<uint8_t>& all_but_seals()
{
    static const std::vector<uint8_t> types = [] {
        std::vector<uint8_t> out;
        for (unsigned t = 0; t < 256; ++t)
            if (t != ZEL_SEAL) out.push_back(static_cast<uint8_t>(t));
        return out;
    }();
    return types;
}

// Whether the writer let go of the file: it holds its lock from before it
// writes the file head until it closes, so a file with bytes in it and no
// lock has no writer any more.  Asked before the file is read, so that the
// read sees all it wrote.  An empty file may not have been opened by its
// writer yet; where locks cannot be asked for, the writer is never taken
// to be gone.
bool writer_gone(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size == 0) return false;
    return zel_file_is_being_written(fd) == 0;
}

SealInfo seal_info(const ZelSeal* s)
{
    SealInfo info{s->offset, s->timestamp, {}, s->flags};
    std::memcpy(info.chain.data(), s->chain, info.chain.size());
    return info;
}

} // namespace

Follower::~Follower()
{
    if (fd_ >= 0) ::close(fd_);
    if (inotify_ >= 0) ::close(inotify_);
}

bool Follower::open(const std::string& path, std::string& error)
{
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return error = "cannot open " + path + ": " + std::strerror(errno), false;
    inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (inotify_ < 0 || inotify_add_watch(inotify_, self.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB) < 0)
        return error = "cannot watch " + path + ": " + std::strerror(errno), false;
    return true;
}

Follower::State Follower::scan(std::vector<Segment>& out)
{
    const bool gone = writer_gone(fd_);
    std::unique_ptr<ZelReader, ReaderClose> reader(
        zel_reader_open(("/proc/self/fd/" + std::to_string(fd_)).c_str()));
    if (!reader)
        return problem_ = std::string("cannot read the file: ") + std::strerror(errno), State::failed;
    if (next_frame_ > zel_reader_size(reader.get()))
        return problem_ = "the file shrank below byte " + std::to_string(next_frame_), State::failed;
    if (next_frame_ > 0 && zel_reader_seek(reader.get(), next_frame_) != 0)
        return problem_ = zel_reader_problem(reader.get()), State::corrupt;
    zel_reader_show_seals(reader.get(), 1);
    zel_reader_skip_types(reader.get(), all_but_seals().data(), all_but_seals().size());
    // What may follow the end-of-data record (its final seal) is known only
    // to a reader that read it: the next reader starts at it again.
    bool end_read = false;
    for (;;) {
        ZelRecord* raw = nullptr;
        const ZelReadStatus s = zel_reader_next(reader.get(), &raw);
        std::unique_ptr<ZelRecord, RecordFree> record(raw);
        if (s == ZEL_READ_RECORD) {
            end_read = end_read || raw->type == ZEL_DONE;
            if (raw->type == ZEL_DONE) continue;
            next_frame_ = zel_reader_record_offset(reader.get()) + zel_reader_record_size(reader.get());
            if (raw->type != ZEL_SEAL) continue;
            out.push_back(Segment{boundary_, next_frame_, seal_info(reinterpret_cast<const ZelSeal*>(raw))});
            boundary_ = next_frame_;
            continue;
        }
        problem_ = zel_reader_problem(reader.get());
        const uint64_t at = zel_reader_problem_offset(reader.get());
        switch (s) {
        case ZEL_READ_TRUNCATED:
            if (!end_read) next_frame_ = at;
            if (!gone) return State::growing;
            problem_ = "the recorder stopped writing it without its end (truncated at byte " +
                       std::to_string(at) + ": " + problem_ + ")";
            return State::abandoned;
        case ZEL_READ_END:
            if (at > boundary_) out.push_back(Segment{boundary_, at, std::nullopt});
            boundary_ = at;
            return State::complete;
        case ZEL_READ_CORRUPT:
            problem_ = "corrupt at byte " + std::to_string(at) + ": " + problem_;
            return State::corrupt;
        default: return State::failed;
        }
    }
}

void Follower::wait(std::chrono::milliseconds timeout)
{
    pollfd p{inotify_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return;
    char events[4096];
    while (::read(inotify_, events, sizeof events) > 0) {}
}

} // namespace zelship
