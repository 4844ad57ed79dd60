// zeldump: recordings in object storage (s3://BUCKET/PREFIX --endpoint URL).
#include "store.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <sodium.h>

#include "credentials.h"
#include "verify.h"

namespace zeldump {

namespace {

constexpr const char* default_region = "us-east-1";

// The location of a store URL at an endpoint, and the credentials; false
// with one line in `error`.
bool locate(const std::string& url, const std::string& endpoint, const std::string& region,
            zelship::Location& at, zelship::Credentials& keys, std::string& error)
{
    at.region = region.empty() ? default_region : region;
    return zelship::parse_store_url(url, at, error) && zelship::parse_endpoint(endpoint, at, error) &&
           zelship::load_credentials(keys, error);
}

} // namespace

bool is_store_url(const std::string& name)
{
    return name.starts_with("s3://");
}

int check_store_options(const Options& o)
{
    if (o.search && is_store_url(o.file))
        return usage_error("--search reads files and directories, not s3:// recordings");
    if (!is_store_url(o.file))
        return o.endpoint.empty() && o.region.empty()
                   ? -1
                   : usage_error("--endpoint and --region go with an s3://BUCKET/PREFIX recording");
    if (o.endpoint.empty()) return usage_error("an s3://BUCKET/PREFIX recording needs --endpoint URL");
    if (!o.region.empty() && !zelship::valid_region(o.region))
        return usage_error("--region must be of a-z 0-9 -");
    zelship::Location at;
    std::string error;
    if (!zelship::parse_store_url(o.file, at, error) || !zelship::parse_endpoint(o.endpoint, at, error))
        return usage_error(error);
    return -1;
}

std::shared_ptr<zelship::StoreRecording> open_store_recording(const Options& o)
{
    // opened once for the commands that read a recording more than once
    static std::map<std::string, std::shared_ptr<zelship::StoreRecording>> opened;
    auto& recording = opened[o.file];
    if (recording) return recording;
    zelship::Location at;
    zelship::Credentials keys;
    std::string error;
    if (locate(o.file, o.endpoint, o.region, at, keys, error))
        recording = zelship::StoreRecording::open(at, keys, error);
    if (!recording) {
        std::fprintf(stderr, "zeldump: %s\n", error.c_str());
        return nullptr;
    }
    for (const auto& p : recording->problems())
        std::fprintf(stderr, "zeldump: warning: %s: not authentic from the store: %s\n", o.file.c_str(),
                     p.c_str());
    recording->on_failure([url = o.file](const std::string& why) {
        std::fprintf(stderr, "zeldump: %s: %s\n", url.c_str(), why.c_str());
    });
    return recording;
}

Reader open_store_reader(const Options& o)
{
    const std::shared_ptr<zelship::StoreRecording> recording = open_store_recording(o);
    if (!recording) return nullptr;
    ZelSource source = recording->zel_source();
    Reader reader(zel_reader_open_source(&source));
    if (reader) return reader;
    source.close(source.context);
    std::fprintf(stderr, "zeldump: %s: out of memory\n", o.file.c_str());
    return nullptr;
}

bool verify_store(const Options& o, const uint8_t* public_key, Verified& out)
{
    zelship::Location at;
    zelship::Credentials keys;
    std::string error;
    if (!locate(o.file, o.endpoint, o.region, at, keys, error)) {
        std::fprintf(stderr, "zeldump: %s\n", error.c_str());
        return false;
    }
    zelship::Client client(at, keys);
    zelship::Shipped shipped;
    zelship::StoreVerdict verdict;
    zelship::Response r = load_shipped(client, shipped);
    if (r.ok() && shipped.segments.empty() && shipped.problems.empty()) {
        std::fprintf(stderr, "zeldump: no shipped recording at %s\n", o.file.c_str());
        return false;
    }
    if (r.ok()) r = verify_shipped(client, shipped, public_key, verdict);
    if (!r.ok()) {
        std::fprintf(stderr, "zeldump: %s: cannot read the store: %s\n", o.file.c_str(),
                     r.describe().c_str());
        return false;
    }
    out.result = verdict.zel;
    out.damage = std::move(verdict.damage);
    out.size = verdict.bytes;
    if (verdict.verdict() == ZEL_VERDICT_NOT_AUTHENTIC && !verdict.problems.empty()) {
        out.store_lines = verdict.text(o.file);
        out.result.verdict = ZEL_VERDICT_NOT_AUTHENTIC;
        std::snprintf(out.result.reason, sizeof out.result.reason, "not authentic from the store: %s",
                      verdict.problems.front().c_str());
    }
    return true;
}

std::string store_digest(const Options& o, uint64_t size)
{
    const std::shared_ptr<zelship::StoreRecording> recording = open_store_recording(o);
    if (!recording) return "";
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t done = 0; done < size;) {
        const int64_t n =
            recording->read_at(done, std::span(buf).first(std::min<uint64_t>(buf.size(), size - done)));
        if (n <= 0) {
            std::fprintf(stderr, "zeldump: cannot read %s: %s\n", o.file.c_str(),
                         n < 0 ? recording->last_error().c_str() : "shorter than its manifests");
            return "";
        }
        crypto_hash_sha256_update(&state, buf.data(), static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    return hex(digest, sizeof digest);
}

std::unique_ptr<zelship::StoreFolder> open_store_folder(const std::string& url, const std::string& endpoint,
                                                        const std::string& region, std::string& error)
{
    zelship::Location at;
    zelship::Credentials keys;
    if (!region.empty() && !zelship::valid_region(region))
        return error = "--region must be of a-z 0-9 -", nullptr;
    if (!locate(url, endpoint, region, at, keys, error)) return nullptr;
    return std::make_unique<zelship::StoreFolder>(at, keys);
}

} // namespace zeldump
