#include "recording.h"

#include <algorithm>
#include <cerrno>

#include "bucket.h"

namespace zelship {

namespace {

struct ReaderClose {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};

// The format version of the file head (0 while it cannot be read): a reader
// checks the head before it seeks.
unsigned format_version(StoreSource& source)
{
    ZelSource s = zel_source(source);
    std::unique_ptr<ZelReader, ReaderClose> reader(zel_reader_open_source(&s));
    return reader && zel_reader_seek(reader.get(), 16) == 0 ? zel_reader_format_version(reader.get()) : 0;
}

bool valid_name(const std::string& name)
{
    return !name.empty() && name.size() <= 255 && name.front() != '.' &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
           });
}

} // namespace

StoreRecording::StoreRecording(const Location& location, const Credentials& credentials)
    : location_(location), client_(location, credentials), source_(client_)
{
}

std::shared_ptr<StoreRecording> StoreRecording::open(const Location& location, const Credentials& credentials,
                                                     std::string& error)
{
    auto recording = std::make_shared<StoreRecording>(location, credentials);
    const Response r = recording->source_.open();
    if (!r.ok()) return error = "cannot read " + location.url() + ": " + r.describe(), nullptr;
    if (recording->source_.size() == 0)
        return error = "no shipped recording at " + location.url() + " (no manifest from byte 0)", nullptr;
    recording->problems_ = recording->source_.shipped().problems;
    recording->version_ = format_version(recording->source_);
    recording->asked_ = std::chrono::steady_clock::now();
    return recording;
}

uint64_t StoreRecording::current_size(std::chrono::milliseconds max_age)
{
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!complete() && now - asked_ >= max_age) {
        asked_ = now;
        if (const Response r = source_.refresh(); !r.ok())
            last_error_ = "cannot read the new manifests of " + location_.url() + ": " + r.describe();
    }
    return source_.size();
}

uint64_t StoreRecording::size() const
{
    std::lock_guard lock(mutex_);
    return source_.size();
}

bool StoreRecording::growing() const
{
    std::lock_guard lock(mutex_);
    return !complete();
}

// The last segment closes the recording: a closing segment without a seal
// (format versions 1 and 2), or one ending with the final seal (version 3;
// in version 2 the end-of-data record still follows that seal).
bool StoreRecording::complete() const
{
    const auto& segments = source_.shipped().segments;
    if (segments.empty()) return false;
    const auto& seal = segments.back().seal;
    if (!seal) return true;
    return (seal->flags & ZEL_SEAL_FINAL) != 0 && version_ >= 3;
}

int64_t StoreRecording::read_at(uint64_t offset, std::span<uint8_t> out)
{
    std::lock_guard lock(mutex_);
    const int64_t n = source_.read_at(offset, out);
    if (n >= 0) return n;
    last_error_ = source_.failure().describe();
    if (report_) report_(last_error_);
    errno = EIO;
    return -1;
}

std::string StoreRecording::last_error() const
{
    std::lock_guard lock(mutex_);
    return last_error_;
}

void StoreRecording::on_failure(std::function<void(const std::string&)> report)
{
    std::lock_guard lock(mutex_);
    report_ = std::move(report);
}

ZelSource StoreRecording::zel_source()
{
    using Held = std::shared_ptr<StoreRecording>;
    ZelSource s{};
    s.context = new Held(shared_from_this());
    s.read_at = [](void* c, uint64_t offset, void* buf, size_t n) {
        return (*static_cast<Held*>(c))->read_at(offset, {static_cast<uint8_t*>(buf), n});
    };
    s.size = [](void* c) { return (*static_cast<Held*>(c))->size(); };
    s.close = [](void* c) { delete static_cast<Held*>(c); };
    return s;
}

Response StoreFolder::list(bool& is_recording, std::vector<std::string>& names) const
{
    Client client(location_, credentials_);
    Response r = list_folders(client, location_.prefix + "/", names);
    is_recording = std::find(names.begin(), names.end(), "manifest") != names.end();
    std::erase_if(names,
                  [](const std::string& n) { return n == "manifest" || n == "segment" || !valid_name(n); });
    return r;
}

std::shared_ptr<StoreRecording> StoreFolder::open(const std::string& name, std::string& error) const
{
    if (!valid_name(name)) return error = "no such recording name: " + name, nullptr;
    Location at = location_;
    at.prefix += "/" + name;
    return StoreRecording::open(at, credentials_, error);
}

std::shared_ptr<StoreRecording> StoreFolder::open_itself(std::string& error) const
{
    return StoreRecording::open(location_, credentials_, error);
}

} // namespace zelship
