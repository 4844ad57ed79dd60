#include "s3.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "xml.h"

namespace zelship {

namespace {

const char* const empty_sha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr size_t error_body_limit = 64u << 10;

bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

// "?a=1&b=2" with names and values encoded and sorted, as the canonical
// request of the signature lists them; "" without parameters.
std::string canonical_query(const Query& query)
{
    std::vector<std::string> parts;
    for (const auto& [name, value] : query)
        parts.push_back(uri_encode(name, false) + "=" + uri_encode(value, false));
    std::sort(parts.begin(), parts.end());
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "?" : "&") + p;
    return out;
}

bool valid_bucket(std::string_view b)
{
    if (b.size() < 3 || b.size() > 63) return false;
    return std::all_of(b.begin(), b.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
}

// Printable ASCII without space, quote and backslash; no empty, "." or ".."
// component (a URL would lose them).
bool valid_prefix(std::string_view p, std::string& why)
{
    if (p.empty()) return why = "the prefix is empty", false;
    if (p.size() > 900) return why = "the prefix is longer than 900 bytes", false;
    for (char c : p)
        if (c <= ' ' || c > '~' || c == '"' || c == '\\')
            return why = "the prefix may hold only printable ASCII without space, '\"' and '\\'", false;
    for (size_t at = 0; at <= p.size();) {
        size_t end = std::min(p.find('/', at), p.size());
        std::string_view part = p.substr(at, end - at);
        if (part.empty() || part == "." || part == "..")
            return why = "the prefix has an empty, \".\" or \"..\" component", false;
        at = end + 1;
    }
    return true;
}

struct Transfer {
    Response* out;
    const Body* body = nullptr;
    const Sink* sink = nullptr;
    CURL* curl = nullptr;
    size_t limit = 0;
    uint64_t sent = 0;
    bool too_large = false;
    int read_error = 0; // errno of a failed read of the body
    bool sink_failed = false;
};

size_t on_header(char* data, size_t size, size_t n, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    std::string_view line(data, size * n);
    if (line.starts_with("HTTP/")) t->out->headers.clear(); // a new answer (after 100 Continue)
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return size * n;
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
        value.remove_suffix(1);
    t->out->headers[name] = std::string(value);
    return size * n;
}

size_t on_body(char* data, size_t size, size_t n, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    const bool success = status >= 200 && status < 300;
    if (success && t->sink != nullptr) {
        if ((*t->sink)(std::span(reinterpret_cast<const uint8_t*>(data), size * n))) return size * n;
        t->sink_failed = true;
        return 0;
    }
    const size_t limit = success ? t->limit : error_body_limit;
    if (t->out->body.size() + size * n > limit) {
        t->too_large = true;
        return 0;
    }
    t->out->body.append(data, size * n);
    return size * n;
}

size_t on_read(char* buffer, size_t size, size_t n, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    const Body& b = *t->body;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size * n, b.length - t->sent));
    if (want == 0) return 0;
    if (b.fd < 0) {
        std::memcpy(buffer, b.memory.data() + t->sent, want);
        t->sent += want;
        return want;
    }
    ssize_t got;
    do got = ::pread(b.fd, buffer, want, static_cast<off_t>(b.offset + t->sent));
    while (got < 0 && errno == EINTR);
    if (got <= 0) {
        t->read_error = got < 0 ? errno : EIO;
        return CURL_READFUNC_ABORT;
    }
    t->sent += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
}

bool permanent(CURLcode code)
{
    return code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_OUT_OF_MEMORY ||
           code == CURLE_BAD_FUNCTION_ARGUMENT || code == CURLE_NOT_BUILT_IN;
}

// The store's error code and message, from its XML body when it has one.
std::string store_error(const Response& r)
{
    XmlDocument doc;
    std::string ignored;
    if (r.body.empty() || !parse_xml(r.body, doc, ignored) || doc.root != "Error") return {};
    std::string message = doc.text("Code");
    if (!doc.text("Message").empty()) message += ": " + doc.text("Message");
    return message;
}

struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

} // namespace

struct Client::Request {
    const char* method = "GET";
    const std::string* key = nullptr;
    const Query* query = nullptr;
    const Headers* headers = nullptr;
    const Body* body = nullptr;
    const Sink* sink = nullptr;
    size_t limit = 0;
};

std::string uri_encode(std::string_view text, bool keep_slash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (is_unreserved(c) || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool parse_store_url(std::string_view url, Location& out, std::string& error)
{
    if (!url.starts_with("s3://")) return error = "the store must be given as s3://BUCKET/PREFIX", false;
    url.remove_prefix(5);
    const size_t slash = url.find('/');
    std::string_view bucket = url.substr(0, slash);
    std::string_view prefix = slash == std::string_view::npos ? std::string_view{} : url.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    if (!valid_bucket(bucket))
        return error = "bucket name \"" + std::string(bucket) + "\" is not 3 to 63 of a-z 0-9 . -", false;
    std::string why;
    if (!valid_prefix(prefix, why)) return error = "s3://BUCKET/PREFIX: " + why, false;
    out.bucket = bucket;
    out.prefix = prefix;
    return true;
}

bool parse_endpoint(std::string_view url, Location& out, std::string& error)
{
    std::string_view rest = url;
    if (rest.starts_with("http://"))
        rest.remove_prefix(7);
    else if (rest.starts_with("https://"))
        rest.remove_prefix(8);
    else
        return error = "the endpoint must start with http:// or https://", false;
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1), url.remove_suffix(1);
    if (rest.empty() || rest.find_first_of("/?#@ ") != std::string_view::npos)
        return error = "the endpoint must be scheme://HOST[:PORT] without a path", false;
    out.endpoint = url;
    return true;
}

bool valid_region(std::string_view region)
{
    return !region.empty() &&
           region.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
}

std::string Response::header(const std::string& name) const
{
    auto it = headers.find(name);
    return it == headers.end() ? std::string{} : it->second;
}

Response Response::failure(std::string why, bool retry)
{
    Response r;
    r.error = std::move(why);
    r.retry = retry;
    return r;
}

Response Response::settled()
{
    Response r;
    r.status = 200;
    return r;
}

std::string Response::describe() const
{
    if (status == 0) return error;
    return "HTTP " + std::to_string(status) + (error.empty() ? std::string{} : " " + error);
}

Client::Client(Location location, Credentials credentials)
    : location_(std::move(location)), credentials_(std::move(credentials))
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    curl_ = initialised ? curl_easy_init() : nullptr;
}

Client::~Client()
{
    curl_easy_cleanup(static_cast<CURL*>(curl_));
}

Response Client::get(const std::string& key, const Query& query, const Headers& headers, const Sink* sink,
                     size_t limit)
{
    return perform(Request{"GET", &key, &query, &headers, nullptr, sink, limit});
}

Response Client::put(const std::string& key, const Body& body, const Headers& headers)
{
    const Query none;
    return perform(Request{"PUT", &key, &none, &headers, &body, nullptr, error_body_limit});
}

Response Client::remove(const std::string& key, const Query& query)
{
    const Headers none;
    return perform(Request{"DELETE", &key, &query, &none, nullptr, nullptr, error_body_limit});
}

Response Client::perform(const Request& request)
{
    Response r;
    auto* c = static_cast<CURL*>(curl_);
    if (c == nullptr) {
        r.error = "libcurl could not be set up";
        r.retry = false;
        return r;
    }
    curl_easy_reset(c);
    std::string url = location_.endpoint + "/" + uri_encode(location_.bucket, false);
    if (!request.key->empty()) url.append("/").append(uri_encode(*request.key, true));
    url += canonical_query(*request.query);
    const std::string signing = "aws:amz:" + location_.region + ":s3";
    std::unique_ptr<curl_slist, SlistFree> list;
    auto add = [&](const std::string& h) { list.reset(curl_slist_append(list.release(), h.c_str())); };
    add("x-amz-content-sha256: " + (request.body ? request.body->sha256_hex : std::string(empty_sha256)));
    for (const auto& h : *request.headers) add(h);
    Transfer t{&r, request.body, request.sink, c, request.limit};
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(c, CURLOPT_AWS_SIGV4, signing.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, credentials_.access_key.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, credentials_.secret_key.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    if (request.body != nullptr) {
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
        curl_easy_setopt(c, CURLOPT_READDATA, &t);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body->length));
    } else if (std::strcmp(request.method, "GET") != 0) {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method);
    }
    const CURLcode code = curl_easy_perform(c);
    ++requests_;
    if (code != CURLE_OK) {
        r.status = 0;
        r.retry = !permanent(code) && !t.too_large && !t.sink_failed;
        r.error = t.too_large     ? "the answer is larger than " + std::to_string(request.limit) + " bytes"
                  : t.sink_failed ? "the answer could not be kept"
                  : t.read_error  ? std::string("reading the file failed: ") + std::strerror(t.read_error)
                  : message[0]    ? std::string(message)
                                  : std::string(curl_easy_strerror(code));
        return r;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (!r.ok()) {
        r.retry = r.status >= 500 || r.status == 408 || r.status == 429;
        r.error = store_error(r);
    }
    return r;
}

} // namespace zelship
