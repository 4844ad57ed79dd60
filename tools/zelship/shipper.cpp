#include "shipper.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "retry.h"

namespace zelship {

namespace {

std::string bytes_text(uint64_t start, uint64_t end)
{
    return "bytes " + std::to_string(start) + "-" + std::to_string(end);
}

std::string utc_in_days(int days)
{
    const std::time_t t = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

} // namespace

bool Shipper::start(std::string& error)
{
    bool locked = false;
    Response r =
        until_taken("reading the bucket", true, [&](bool) { return object_lock_enabled(client_, locked); });
    if (!r.ok()) return error = "the store refuses to show the bucket: " + r.describe(), false;
    if (!locked)
        return error = "bucket " + client_.location().bucket +
                       " has no Object Lock: create it with Object Lock enabled",
               false;
    r = until_taken("listing " + client_.location().url(), true,
                    [&](bool) { return load_shipped(client_, store_); });
    if (!r.ok())
        return error = "the store refuses to list " + client_.location().url() + ": " + r.describe(), false;
    return true;
}

Headers Shipper::lock_headers(const Md5& md5) const
{
    return {"Content-MD5: " + base64(md5), "x-amz-object-lock-mode: COMPLIANCE",
            "x-amz-object-lock-retain-until-date: " + utc_in_days(retain_days_)};
}

// A version of the key with these bytes (by MD5 and size) that the store holds
// already: an upload whose answer was lost, or one before the shipper was killed.
bool Shipper::adopt(const std::string& key, const std::string& md5, uint64_t size, std::string& version)
{
    std::vector<ObjectVersion> versions;
    if (!list_versions(client_, key, versions).ok()) return false;
    for (auto it = versions.rbegin(); it != versions.rend(); ++it)
        if (it->key == key && !it->delete_marker && it->etag == md5 && it->size == size)
            return version = it->version, true;
    return false;
}

Shipper::Outcome Shipper::put_segment(const Segment& s, const Digests& d, std::string& version,
                                      std::string& error)
{
    const std::string key = segment_key(client_.location().prefix, s.start);
    const std::string md5 = hex(d.md5);
    auto it = store_.unnamed.find(s.start);
    if (it != store_.unnamed.end())
        for (const auto& v : it->second)
            if (v.etag == md5 && v.size == s.end - s.start) return version = v.version, Outcome::shipped;
    const Body body{fd_, s.start, s.end - s.start, {}, hex(d.sha256)};
    Headers headers = lock_headers(d.md5);
    headers.push_back("Content-Type: application/octet-stream");
    bool adopted = false;
    Response r =
        until_taken("storing " + key + " (" + bytes_text(s.start, s.end) + ")", false, [&](bool first) {
            if (!first && adopt(key, md5, body.length, version)) {
                adopted = true;
                return Response::settled();
            }
            return client_.put(key, body, headers);
        });
    if (adopted) return Outcome::shipped;
    version = r.header("x-amz-version-id");
    if (!version.empty()) return Outcome::shipped;
    error = "the store gave no version id for " + key + ": is versioning off?";
    return Outcome::unusable;
}

Shipper::Outcome Shipper::put_manifest(const Manifest& m, std::string& error)
{
    const std::string key = manifest_key(client_.location().prefix, m.start);
    const std::string json = manifest_json(m);
    const Digests d = digest(std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
    const Body body{-1, 0, json.size(), json, hex(d.sha256)};
    Headers headers = lock_headers(d.md5);
    headers.push_back("Content-Type: application/json");
    bool foreign = false;
    (void)until_taken("storing " + key, false, [&](bool first) {
        std::vector<ObjectVersion> versions;
        if (!first && list_versions(client_, key, versions).ok() && !versions.empty()) {
            // the first version counts: ours if its MD5 is ours
            foreign = versions.back().etag != hex(d.md5);
            return Response::settled();
        }
        return client_.put(key, body, headers);
    });
    if (!foreign) return Outcome::shipped;
    error = key + " holds a first version that the shipper did not write";
    return Outcome::store_differs;
}

Shipper::Outcome Shipper::ship(const Segment& s, std::string& error)
{
    Digests d;
    if (!digest_file(fd_, s.start, s.end - s.start, d)) {
        error = "cannot read " + bytes_text(s.start, s.end) + " of the file: " + std::strerror(errno);
        return Outcome::unusable;
    }
    if (auto it = store_.manifests.find(s.start); it != store_.manifests.end()) {
        const Manifest& m = it->second;
        if (m.end != s.end || m.sha256 != d.sha256 || m.seal != s.seal) {
            error = "the store holds other bytes than the file at byte " + std::to_string(s.start) + " (" +
                    manifest_key(client_.location().prefix, s.start) + ")";
            return Outcome::store_differs;
        }
        std::printf("in the store already: %s (%s version %s)\n", bytes_text(s.start, s.end).c_str(),
                    m.segment.c_str(), m.version.c_str());
        std::fflush(stdout);
        ++found_;
        return Outcome::shipped;
    }
    Manifest m{segment_key(client_.location().prefix, s.start), {}, s.start, s.end, d.sha256, s.seal};
    Outcome o = put_segment(s, d, m.version, error);
    if (o == Outcome::shipped) o = put_manifest(m, error);
    if (o != Outcome::shipped) return o;
    store_.manifests[s.start] = m;
    ++shipped_;
    std::printf("shipped %s (%s version %s)\n", bytes_text(s.start, s.end).c_str(), m.segment.c_str(),
                m.version.c_str());
    std::fflush(stdout);
    return Outcome::shipped;
}

} // namespace zelship
