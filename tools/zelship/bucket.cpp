#include "bucket.h"

#include <charconv>

#include "xml.h"

namespace zelship {

namespace {

std::string unquoted(std::string etag)
{
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
    return etag;
}

bool read_version(const XmlElement& e, ObjectVersion& out)
{
    auto field = [&](const char* name) {
        auto it = e.fields.find(name);
        return it == e.fields.end() ? std::string{} : it->second;
    };
    out.key = field("Key");
    out.version = field("VersionId");
    out.modified = field("LastModified");
    out.delete_marker = e.name == "DeleteMarker";
    if (out.key.empty() || out.version.empty()) return false;
    if (out.delete_marker) return true;
    out.etag = unquoted(field("ETag"));
    const std::string size = field("Size");
    return std::from_chars(size.data(), size.data() + size.size(), out.size).ec == std::errc{};
}

} // namespace

Response list_versions(Client& client, const std::string& prefix, std::vector<ObjectVersion>& out,
                       const std::string& after)
{
    out.clear();
    std::string key_marker = after, version_marker;
    for (;;) {
        Query query{{"versions", ""}, {"prefix", prefix}};
        if (!key_marker.empty()) query.emplace_back("key-marker", key_marker);
        if (!version_marker.empty()) query.emplace_back("version-id-marker", version_marker);
        Response r = client.get("", query);
        if (!r.ok()) return r;
        XmlDocument doc;
        std::string error;
        if (!parse_xml(r.body, doc, error) || doc.root != "ListVersionsResult")
            return Response::failure("the store's list of versions cannot be read: " + error, true);
        for (const auto& e : doc.children) {
            if (e.name != "Version" && e.name != "DeleteMarker") continue;
            ObjectVersion v;
            if (!read_version(e, v))
                return Response::failure("the store's list of versions is malformed", true);
            out.push_back(std::move(v));
        }
        if (doc.text("IsTruncated") != "true") return r;
        const std::string next_key = doc.text("NextKeyMarker"),
                          next_version = doc.text("NextVersionIdMarker");
        if (next_key.empty() || (next_key == key_marker && next_version == version_marker))
            return Response::failure("the store's list of versions does not say where it goes on", true);
        key_marker = next_key;
        version_marker = next_version;
    }
}

Response list_folders(Client& client, const std::string& prefix, std::vector<std::string>& out)
{
    out.clear();
    for (std::string token;;) {
        Query query{{"list-type", "2"}, {"delimiter", "/"}, {"prefix", prefix}};
        if (!token.empty()) query.emplace_back("continuation-token", token);
        Response r = client.get("", query);
        if (!r.ok()) return r;
        XmlDocument doc;
        std::string error;
        if (!parse_xml(r.body, doc, error) || doc.root != "ListBucketResult")
            return Response::failure("the store's list of objects cannot be read: " + error, true);
        for (const auto& e : doc.children) {
            auto it = e.fields.find("Prefix");
            if (e.name != "CommonPrefixes" || it == e.fields.end()) continue;
            if (!it->second.starts_with(prefix) || !it->second.ends_with("/"))
                return Response::failure("the store's list of objects is malformed", true);
            std::string name = it->second.substr(prefix.size(), it->second.size() - prefix.size() - 1);
            if (!name.empty()) out.push_back(std::move(name));
        }
        if (doc.text("IsTruncated") != "true") return r;
        const std::string next = doc.text("NextContinuationToken");
        if (next.empty() || next == token)
            return Response::failure("the store's list of objects does not say where it goes on", true);
        token = next;
    }
}

Response object_lock_enabled(Client& client, bool& enabled)
{
    enabled = false;
    Response r = client.get("", {{"object-lock", ""}});
    // A bucket without Object Lock has no such configuration.
    if (r.status == 404 && r.error.starts_with("ObjectLockConfigurationNotFoundError")) {
        r.status = 200;
        return r;
    }
    if (!r.ok()) return r;
    XmlDocument doc;
    std::string error;
    if (!parse_xml(r.body, doc, error) || doc.root != "ObjectLockConfiguration")
        return Response::failure("the bucket's Object Lock configuration cannot be read: " + error, true);
    enabled = doc.text("ObjectLockEnabled") == "Enabled";
    return r;
}

} // namespace zelship
