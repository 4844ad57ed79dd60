// A shipped recording read as if it were the file: byte ranges come from
// ranged GETs of the segment versions that the manifests name, through a
// read-ahead window, so that a reader's small reads in order cost one request
// per window.  A recording still being shipped grows with refresh().  Not
// safe for several threads at once (see recording.h for that).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "s3.h"
#include "shipped.h"
#include "zel.h"

namespace zelship {

class StoreSource {
  public:
    explicit StoreSource(Client& client) : client_(client) {}
    // Over what load_shipped read already.
    StoreSource(Client& client, Shipped shipped) : client_(client), shipped_(std::move(shipped)) {}

    // Reads what the store holds under the prefix (see shipped.h).
    [[nodiscard]] Response open();
    // Reads the manifests stored since: one listing of the manifests after
    // the last one known, and a GET of each new one.
    [[nodiscard]] Response refresh();
    const Shipped& shipped() const { return shipped_; }
    // Bytes the manifests cover now.
    uint64_t size() const { return shipped_.size(); }
    // Bytes at offset, as many as `out` holds or up to the end (0 there);
    // -1 with errno EIO when the store cannot be read (after three tries) or
    // does not hold what a manifest names: failure() says why.
    int64_t read_at(uint64_t offset, std::span<uint8_t> out);
    const Response& failure() const { return failure_; }

    // Sees every range read from the store, as it comes: the segment's
    // manifest, the range's offset in the recording and its bytes.
    using Tap = std::function<void(const Manifest&, uint64_t, std::span<const uint8_t>)>;
    void set_tap(Tap tap) { tap_ = std::move(tap); }

  private:
    [[nodiscard]] bool fill(uint64_t offset, size_t wanted);
    Client& client_;
    Shipped shipped_;
    uint64_t window_start_ = 0;
    std::vector<uint8_t> window_;
    Response failure_;
    Tap tap_;
};

// A ZelSource for zel_reader_open_source over a StoreSource that outlives
// the reader (closing the reader leaves it be).
ZelSource zel_source(StoreSource& source);

} // namespace zelship
