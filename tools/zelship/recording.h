// Shipped recordings for readers that are not zelship: one opened for
// reading from any thread (a server handing its bytes to several browsers),
// complete or still being shipped, and the recordings under a prefix by name.
//
//   zelship::StoreFolder folder(location, credentials);   // s3://BUCKET/PREFIX
//   folder.list(is_recording, names);                      // PREFIX itself, or PREFIX/NAME...
//   auto recording = folder.open("session-1234", error);  // PREFIX/session-1234
//   recording->current_size();  recording->growing();  recording->read_at(offset, buffer);
//   ZelSource source = recording->zel_source();            // for zel_reader_open_source
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "s3.h"
#include "source.h"
#include "zel.h"

namespace zelship {

class StoreRecording : public std::enable_shared_from_this<StoreRecording> {
  public:
    // The recording under the location's prefix, its manifests read.  Null,
    // with one line in `error`, when the store cannot be read or holds no
    // shipped recording there.
    static std::shared_ptr<StoreRecording> open(const Location& location, const Credentials& credentials,
                                                std::string& error);

    const Location& location() const { return location_; }
    // What a verifier would find wrong under the prefix when it was opened
    // (see shipped.h): the bytes are still read from the versions the
    // manifests name, but the recording is not authentic from the store.
    const std::vector<std::string>& problems() const { return problems_; }
    // Bytes shipped so far.  While the recording grows, a call asks the store
    // for the manifests stored since, at most once per max_age (one listing,
    // and a GET per new manifest); a failure is kept in last_error().
    uint64_t current_size(std::chrono::milliseconds max_age = std::chrono::seconds(1));
    // Bytes shipped as last asked, without asking the store.
    uint64_t size() const;
    // Whether the end of the recording is not shipped yet (zelship still at
    // it, or stopped before the end: the store cannot tell these apart).
    bool growing() const;
    // Bytes at offset, as many as `out` holds or up to size() (0 there); -1
    // with errno EIO when the store cannot be read (after three tries).
    int64_t read_at(uint64_t offset, std::span<uint8_t> out);
    // Why the last read or refresh failed; "" when none did.
    std::string last_error() const;
    // Told (on the reading thread) each read that failed, with why.
    void on_failure(std::function<void(const std::string&)> report);
    // A source for zel_reader_open_source that keeps the recording until the
    // reader is closed; its size is size().
    ZelSource zel_source();

    StoreRecording(const Location& location, const Credentials& credentials);
    StoreRecording(const StoreRecording&) = delete;
    StoreRecording& operator=(const StoreRecording&) = delete;

  private:
    bool complete() const;
    Location location_;
    mutable std::mutex mutex_;
    Client client_;
    StoreSource source_;
    std::vector<std::string> problems_;
    std::chrono::steady_clock::time_point asked_{};
    unsigned version_ = 0; // of the file head
    std::string last_error_;
    std::function<void(const std::string&)> report_;
};

class StoreFolder {
  public:
    StoreFolder(Location location, Credentials credentials)
        : location_(std::move(location)), credentials_(std::move(credentials))
    {
    }
    // Whether the prefix is itself a shipped recording, and the names of the
    // folders right under it (each may hold one: PREFIX/NAME/manifest/...).
    [[nodiscard]] Response list(bool& is_recording, std::vector<std::string>& names) const;
    // The recording PREFIX/NAME.  NAME is one path component of at most 255
    // bytes of A-Z a-z 0-9 . _ - that does not start with '.' (anything else,
    // as from a URL, is refused with a message).
    std::shared_ptr<StoreRecording> open(const std::string& name, std::string& error) const;
    // The recording PREFIX itself (when list() says it is one).
    std::shared_ptr<StoreRecording> open_itself(std::string& error) const;
    const Location& location() const { return location_; }

  private:
    Location location_;
    Credentials credentials_;
};

} // namespace zelship
