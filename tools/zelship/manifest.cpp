#include "manifest.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

namespace zelship {

namespace {

std::string offset_name(uint64_t start)
{
    char name[17];
    std::snprintf(name, sizeof name, "%016" PRIx64, start);
    return name;
}

bool parse_offset_name(std::string_view name, uint64_t& out)
{
    if (name.size() != 16) return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return std::from_chars(name.data(), name.data() + 16, out, 16).ec == std::errc{};
}

// Reads the manifest's text from left to right.
struct Scanner {
    std::string_view rest;
    bool ok = true;

    void literal(std::string_view s)
    {
        ok = ok && rest.starts_with(s);
        if (ok) rest.remove_prefix(s.size());
    }
    std::string string()
    {
        literal("\"");
        const size_t end = ok ? rest.find('"') : std::string_view::npos;
        if (end == std::string_view::npos) return ok = false, std::string{};
        std::string out(rest.substr(0, end));
        for (char c : out) ok = ok && c >= ' ' && c != '\\' && c != 0x7f;
        rest.remove_prefix(end + 1);
        return out;
    }
    uint64_t number()
    {
        uint64_t v = 0;
        auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), v);
        ok = ok && ec == std::errc{};
        if (ok) rest.remove_prefix(static_cast<size_t>(p - rest.data()));
        return v;
    }
    void digest(Sha256& out) { ok = from_hex(string(), out) && ok; }
};

} // namespace

std::string segment_key(const std::string& prefix, uint64_t start)
{
    return prefix + "/segment/" + offset_name(start);
}

std::string manifest_key(const std::string& prefix, uint64_t start)
{
    return prefix + "/manifest/" + offset_name(start) + ".json";
}

bool parse_key(const std::string& prefix, std::string_view key, uint64_t& start, bool& manifest)
{
    if (!key.starts_with(prefix + "/")) return false;
    key.remove_prefix(prefix.size() + 1);
    manifest = key.starts_with("manifest/");
    if (manifest) {
        key.remove_prefix(9);
        if (!key.ends_with(".json")) return false;
        key.remove_suffix(5);
    } else if (key.starts_with("segment/")) {
        key.remove_prefix(8);
    } else {
        return false;
    }
    return parse_offset_name(key, start);
}

std::string manifest_json(const Manifest& m)
{
    std::string out = "{\"manifest\":1,\"segment\":\"" + m.segment + "\",\"version\":\"" + m.version +
                      "\",\"start\":" + std::to_string(m.start) + ",\"end\":" + std::to_string(m.end) +
                      ",\"sha256\":\"" + hex(m.sha256) + "\",\"seal\":";
    if (!m.seal) return out + "null}";
    return out + "{\"offset\":" + std::to_string(m.seal->offset) +
           ",\"time\":" + std::to_string(m.seal->time) + ",\"chain\":\"" + hex(m.seal->chain) +
           "\",\"flags\":" + std::to_string(m.seal->flags) + "}}";
}

bool parse_manifest(std::string_view text, Manifest& out, std::string& error)
{
    Manifest m;
    Scanner s{text};
    s.literal("{\"manifest\":1,\"segment\":");
    m.segment = s.string();
    s.literal(",\"version\":");
    m.version = s.string();
    s.literal(",\"start\":");
    m.start = s.number();
    s.literal(",\"end\":");
    m.end = s.number();
    s.literal(",\"sha256\":");
    s.digest(m.sha256);
    s.literal(",\"seal\":");
    if (s.rest.starts_with("null")) {
        s.literal("null}");
    } else {
        SealInfo seal;
        s.literal("{\"offset\":");
        seal.offset = s.number();
        s.literal(",\"time\":");
        seal.time = s.number();
        s.literal(",\"chain\":");
        s.digest(seal.chain);
        s.literal(",\"flags\":");
        const uint64_t flags = s.number();
        seal.flags = static_cast<uint8_t>(flags);
        s.ok = s.ok && flags <= 0xff;
        s.literal("}}");
        m.seal = seal;
    }
    // Numbers in their one form (no leading zeros), nothing else anywhere.
    if (!s.ok || !s.rest.empty() || manifest_json(m) != text)
        return error = "not a manifest in the one accepted form", false;
    if (m.end <= m.start) return error = "its byte range is empty", false;
    out = std::move(m);
    return true;
}

} // namespace zelship
