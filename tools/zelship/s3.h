// S3 requests through libcurl: path-style URLs (ENDPOINT/BUCKET/KEY), signed
// by libcurl (SigV4), with the payload's SHA-256 in x-amz-content-sha256 and
// the query parameters sorted as the signature needs them (libcurl 7.88 does
// neither).  One connection kept alive per client.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelship {

// Where a recording lives: s3://BUCKET/PREFIX at an endpoint.
struct Location {
    std::string endpoint; // scheme://host[:port], no trailing slash
    std::string region = "us-east-1";
    std::string bucket;
    std::string prefix; // no leading or trailing slash, never empty
    std::string url() const { return "s3://" + bucket + "/" + prefix; }
};

// "s3://BUCKET/PREFIX" into bucket and prefix; false with a message.
[[nodiscard]] bool parse_store_url(std::string_view url, Location& out, std::string& error);
// "http://HOST[:PORT]" or "https://..." as the endpoint; false with a message.
[[nodiscard]] bool parse_endpoint(std::string_view url, Location& out, std::string& error);

// A region to sign for: not empty, only a-z 0-9 -.
[[nodiscard]] bool valid_region(std::string_view region);

struct Credentials {
    std::string access_key;
    std::string secret_key;
};

// An answer, or the reason none came.
struct Response {
    long status = 0;                            // HTTP status; 0 when no usable answer came
    std::string error;                          // why not, or the store's error code and message
    bool retry = true;                          // whether trying again may help (no answer, 5xx, 408, 429)
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    bool ok() const { return status >= 200 && status < 300; }
    static Response failure(std::string why, bool retry);
    static Response settled(); // done without asking the store: ok()
    std::string header(const std::string& name) const;
    std::string describe() const; // "HTTP 403 AccessDenied: ..." or the transport error
};

using Query = std::vector<std::pair<std::string, std::string>>;
using Headers = std::vector<std::string>; // "Name: value"

// A request body: `length` bytes of an open file from `offset`, or memory.
struct Body {
    int fd = -1;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string_view memory;
    std::string sha256_hex;
};

// Receives a response body piece by piece; false stops the transfer.
using Sink = std::function<bool(std::span<const uint8_t>)>;

class Client {
  public:
    Client(Location location, Credentials credentials);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const Location& location() const { return location_; }
    uint64_t requests() const { return requests_; }

    // GET of a key ("" for the bucket); the body is kept up to `limit` bytes
    // (more is an error), or handed to the sink.
    [[nodiscard]] Response get(const std::string& key, const Query& query, const Headers& headers = {},
                               const Sink* sink = nullptr, size_t limit = 16u << 20);
    [[nodiscard]] Response put(const std::string& key, const Body& body, const Headers& headers);
    [[nodiscard]] Response remove(const std::string& key, const Query& query);

  private:
    struct Request;
    Response perform(const Request& request);
    Location location_;
    Credentials credentials_;
    void* curl_ = nullptr;
    uint64_t requests_ = 0;
};

// Percent-encoding as SigV4 wants it: everything but A-Z a-z 0-9 - _ . ~
// (and '/' when keep_slash).
std::string uri_encode(std::string_view text, bool keep_slash);

} // namespace zelship
