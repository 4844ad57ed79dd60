#include "source.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace zelship {

namespace {

constexpr size_t read_ahead = 1u << 20;
constexpr int tries = 3; // a read waits 0.5 s, then 1 s, before it gives up

} // namespace

Response StoreSource::open()
{
    window_.clear();
    return load_shipped(client_, shipped_);
}

Response StoreSource::refresh()
{
    const std::string& prefix = client_.location().prefix;
    std::vector<ObjectVersion> versions;
    Response r =
        list_versions(client_, prefix + "/manifest/", versions,
                      shipped_.segments.empty() ? "" : manifest_key(prefix, shipped_.segments.back().start));
    if (!r.ok()) return r;
    // the first (oldest) version of each key counts: the last one listed
    for (size_t i = 0; i < versions.size(); ++i) {
        const ObjectVersion& v = versions[i];
        if (v.delete_marker || (i + 1 < versions.size() && versions[i + 1].key == v.key)) continue;
        uint64_t start = 0;
        bool manifest = false;
        if (!parse_key(prefix, v.key, start, manifest) || start > size()) break;
        if (start < size()) continue; // a store may list the key it was asked to start after
        r = client_.get(v.key, {{"versionId", v.version}}, {}, nullptr, 64u << 10);
        if (!r.ok()) return r;
        Manifest m;
        std::string ignored;
        if (!parse_manifest(r.body, m, ignored) || m.start != start ||
            m.segment != segment_key(prefix, start))
            break;
        shipped_.manifests[start] = m;
        shipped_.segments.push_back(m);
    }
    return r;
}

// Reads from `offset` to the end of its segment, at least `wanted` bytes
// (unless the segment ends first) and up to the read-ahead; a failure that
// may pass is tried again.
bool StoreSource::fill(uint64_t offset, size_t wanted)
{
    auto it = std::upper_bound(shipped_.segments.begin(), shipped_.segments.end(), offset,
                               [](uint64_t at, const Manifest& m) { return at < m.end; });
    if (it == shipped_.segments.end()) return false;
    const uint64_t end = std::min(it->end, offset + std::max(wanted, read_ahead));
    const std::string range =
        "Range: bytes=" + std::to_string(offset - it->start) + "-" + std::to_string(end - it->start - 1);
    Response r;
    for (int attempt = 1;; ++attempt) {
        r = client_.get(it->segment, {{"versionId", it->version}}, {range}, nullptr, read_ahead + wanted);
        if (r.ok() || !r.retry || attempt == tries) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500 << (attempt - 1)));
    }
    if (r.ok() && r.body.size() != end - offset)
        r = Response::failure("the store answered " + std::to_string(r.body.size()) +
                                  " bytes for a range of " + std::to_string(end - offset) + " of version " +
                                  it->version,
                              false);
    if (!r.ok()) {
        failure_ = r;
        failure_.error = "reading bytes " + std::to_string(offset) + "-" + std::to_string(end) + " of " +
                         it->segment + ": " + r.describe();
        failure_.status = 0;
        return false;
    }
    window_start_ = offset;
    window_.assign(r.body.begin(), r.body.end());
    if (tap_) tap_(*it, offset, window_);
    return true;
}

int64_t StoreSource::read_at(uint64_t offset, std::span<uint8_t> out)
{
    size_t done = 0;
    while (done < out.size() && offset + done < size()) {
        const uint64_t at = offset + done;
        if (at < window_start_ || at >= window_start_ + window_.size()) {
            if (!fill(at, out.size() - done)) {
                errno = EIO;
                return -1;
            }
        }
        const size_t from = static_cast<size_t>(at - window_start_);
        const size_t n = std::min(out.size() - done, window_.size() - from);
        std::memcpy(out.data() + done, window_.data() + from, n);
        done += n;
    }
    return static_cast<int64_t>(done);
}

ZelSource zel_source(StoreSource& source)
{
    ZelSource s{};
    s.context = &source;
    s.read_at = [](void* context, uint64_t offset, void* buf, size_t n) {
        return static_cast<StoreSource*>(context)->read_at(offset, {static_cast<uint8_t*>(buf), n});
    };
    s.size = [](void* context) { return static_cast<StoreSource*>(context)->size(); };
    return s;
}

} // namespace zelship
