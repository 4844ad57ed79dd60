// A shipped recording read as if it were the file: byte ranges come from
// ranged GETs of the segment versions that the manifests name, through a
// read-ahead window, so that a reader's small reads in order cost one request
// per window.  A recording still being shipped grows with refresh().
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "s3.h"
#include "shipped.h"

namespace zelship {

class StoreSource {
  public:
    explicit StoreSource(Client& client) : client_(client) {}

    // Reads what the store holds under the prefix (see shipped.h).
    [[nodiscard]] Response open();
    // Reads the manifests stored since: one listing of the manifests after
    // the last one known, and a GET of each new one.
    [[nodiscard]] Response refresh();
    const Shipped& shipped() const { return shipped_; }
    // Bytes the manifests cover now.
    uint64_t size() const { return shipped_.size(); }
    // Bytes at offset, as many as `out` holds or up to the end (0 there);
    // -1 with errno EIO when the store cannot be read or does not hold what
    // a manifest names.
    int64_t read_at(uint64_t offset, std::span<uint8_t> out);

  private:
    [[nodiscard]] bool fill(uint64_t offset, size_t wanted);
    Client& client_;
    Shipped shipped_;
    uint64_t window_start_ = 0;
    std::vector<uint8_t> window_;
};

} // namespace zelship
