#include "shipped.h"

#include <algorithm>

namespace zelship {

namespace {

using Versions = std::vector<ObjectVersion>; // of one key, newest first, no delete markers

struct Listing {
    std::map<uint64_t, Versions> manifests;
    std::map<uint64_t, Versions> segments;
};

Listing sort_listing(const std::string& prefix, const std::vector<ObjectVersion>& all, Shipped& out)
{
    Listing l;
    for (const auto& v : all) {
        if (v.delete_marker) continue; // hides nothing: versions are read by id
        uint64_t start = 0;
        bool manifest = false;
        if (!parse_key(prefix, v.key, start, manifest)) {
            out.problems.push_back(v.key + " (version " + v.version +
                                   ") is no object of a shipped recording");
            continue;
        }
        (manifest ? l.manifests : l.segments)[start].push_back(v);
    }
    return l;
}

// A later version of a key that differs from the one that counts.
void note_others(const Versions& versions, const ObjectVersion& counts, const char* what, Shipped& out)
{
    for (const auto& v : versions)
        if (v.version != counts.version && (v.etag != counts.etag || v.size != counts.size))
            out.problems.push_back(v.key + " has a version " + v.version + " (" + v.modified +
                                   ") that differs from the " + what);
}

Response read_manifest(Client& client, const ObjectVersion& first, Manifest& m, bool& readable, Shipped& out)
{
    Response r = client.get(first.key, {{"versionId", first.version}}, {}, nullptr, 64u << 10);
    if (!r.ok()) return r;
    std::string why;
    readable = parse_manifest(r.body, m, why);
    if (!readable)
        out.problems.push_back("manifest " + first.key + " (version " + first.version + "): " + why);
    return r;
}

// Takes the manifests in order while each starts where the one before ended
// and names a segment version the store has.
void chain_manifests(const std::string& prefix, const Listing& l, Shipped& out)
{
    uint64_t expected = 0;
    for (const auto& entry : out.manifests) {
        const uint64_t start = entry.first;
        const Manifest& m = entry.second; // (a structured binding cannot be captured by clang 14)
        const std::string key = manifest_key(prefix, start);
        if (m.start != start || m.segment != segment_key(prefix, start)) {
            out.problems.push_back("manifest " + key + " names another segment: " + m.segment);
            return;
        }
        if (start != expected) {
            out.problems.push_back("manifest " + key + " starts at byte " + std::to_string(start) +
                                   ", but the manifests before it end at byte " + std::to_string(expected));
            return;
        }
        auto it = l.segments.find(start);
        const bool found =
            it != l.segments.end() && std::any_of(it->second.begin(), it->second.end(), [&](auto& v) {
                return v.version == m.version && v.size == m.end - m.start;
            });
        if (!found) {
            out.problems.push_back("manifest " + key + " names version " + m.version + " of " + m.segment +
                                   " (" + std::to_string(m.end - m.start) +
                                   " bytes), which the store does not hold");
            return;
        }
        out.segments.push_back(m);
        expected = m.end;
    }
}

void check_segment_versions(const Listing& l, Shipped& out)
{
    std::map<uint64_t, const Manifest*> named;
    for (const auto& m : out.segments) named[m.start] = &m;
    for (const auto& [start, versions] : l.segments) {
        auto it = named.find(start);
        if (it == named.end()) {
            out.unnamed[start] = versions;
            for (const auto& v : versions)
                out.problems.push_back(v.key + " (version " + v.version + ") is named by no manifest");
            continue;
        }
        for (const auto& v : versions)
            if (v.version == it->second->version) note_others(versions, v, "one its manifest names", out);
    }
}

} // namespace

Response load_shipped(Client& client, Shipped& out)
{
    out = Shipped{};
    const std::string& prefix = client.location().prefix;
    std::vector<ObjectVersion> all;
    Response r = list_versions(client, prefix + "/", all);
    if (!r.ok()) return r;
    const Listing l = sort_listing(prefix, all, out);
    for (const auto& [start, versions] : l.manifests) {
        const ObjectVersion& first = versions.back();
        note_others(versions, first, "first", out);
        Manifest m;
        bool readable = false;
        r = read_manifest(client, first, m, readable, out);
        if (!r.ok()) return r;
        if (readable) out.manifests[start] = m;
    }
    chain_manifests(prefix, l, out);
    check_segment_versions(l, out);
    return r;
}

} // namespace zelship
