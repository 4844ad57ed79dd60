// Ships the segments of a recording in order: each as one object locked in
// compliance mode, then its manifest.  It keeps nothing of its own: what is
// shipped already is read back from the store, so a shipper killed and
// started again neither ships a segment twice nor skips one.  A store that
// cannot be reached, or refuses, is tried again with back-off (each failure
// told on standard error) until it takes the segment.
#pragma once

#include <cstddef>
#include <string>

#include "digest.h"
#include "follow.h"
#include "s3.h"
#include "shipped.h"

namespace zelship {

class Shipper {
  public:
    Shipper(Client& client, int fd, int retain_days) : client_(client), fd_(fd), retain_days_(retain_days) {}

    // Checks that the bucket locks objects and reads what it holds already.
    // False with an error when the store cannot be used at all.
    [[nodiscard]] bool start(std::string& error);
    enum class Outcome {
        shipped,       // or found in the store already
        unusable,      // the file cannot be read, or the store gives no version ids
        store_differs, // the store holds other bytes for it, or a manifest that is not ours
    };
    // Ships one segment unless the store holds it; `error` says why not.
    [[nodiscard]] Outcome ship(const Segment& segment, std::string& error);

    size_t segments_shipped() const { return shipped_; }
    size_t segments_found() const { return found_; } // in the store already

  private:
    [[nodiscard]] bool adopt(const std::string& key, const std::string& md5, uint64_t size,
                             std::string& version);
    [[nodiscard]] Outcome put_segment(const Segment& s, const Digests& d, std::string& version,
                                      std::string& error);
    [[nodiscard]] Outcome put_manifest(const Manifest& m, std::string& error);
    Headers lock_headers(const Md5& md5) const;

    Client& client_;
    int fd_;
    int retain_days_;
    Shipped store_;
    size_t shipped_ = 0;
    size_t found_ = 0;
};

} // namespace zelship
