// zeldump: recordings in object storage (s3://BUCKET/PREFIX --endpoint URL).
#include "store.h"

#include <cstdio>
#include <map>

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

Reader open_store_reader(const Options& o)
{
    // opened once for the commands that read a recording more than once
    static std::map<std::string, std::shared_ptr<zelship::StoreRecording>> opened;
    auto& recording = opened[o.file];
    if (!recording) {
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
    }
    ZelSource source = recording->zel_source();
    Reader reader(zel_reader_open_source(&source));
    if (reader) return reader;
    source.close(source.context);
    std::fprintf(stderr, "zeldump: %s: out of memory\n", o.file.c_str());
    return nullptr;
}

int verify_store(const Options& o, const uint8_t* public_key)
{
    zelship::Location at;
    zelship::Credentials keys;
    std::string error;
    if (!locate(o.file, o.endpoint, o.region, at, keys, error)) {
        std::fprintf(stderr, "zeldump: %s\n", error.c_str());
        return exit_usage;
    }
    zelship::Client client(at, keys);
    zelship::Shipped shipped;
    zelship::StoreVerdict verdict;
    zelship::Response r = load_shipped(client, shipped);
    if (r.ok() && shipped.segments.empty() && shipped.problems.empty()) {
        std::fprintf(stderr, "zeldump: no shipped recording at %s\n", o.file.c_str());
        return exit_usage;
    }
    if (r.ok()) r = verify_shipped(client, shipped, public_key, verdict);
    if (!r.ok()) {
        std::fprintf(stderr, "zeldump: %s: cannot read the store: %s\n", o.file.c_str(),
                     r.describe().c_str());
        return exit_usage;
    }
    if (verdict.verdict() != ZEL_VERDICT_NOT_AUTHENTIC || verdict.problems.empty())
        return report_verification(o.file, verdict.zel, public_key != nullptr);
    std::printf("%s\n", verdict.text(o.file).c_str());
    return exit_not_authentic;
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
