// zelship: ships a recording, while it is written, into S3 object storage
// with Object Lock, one sealed segment at a time, and verifies it from there.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "credentials.h"
#include "follow.h"
#include "retry.h"
#include "s3.h"
#include "shipped.h"
#include "shipper.h"
#include "verify.h"

namespace {

using namespace zelship;

constexpr int exit_usage = 1;
constexpr int exit_truncated = 2;
constexpr int exit_corrupt = 3;
constexpr int exit_not_authentic = 4;

const char* const usage_text =
    "usage: zelship --store s3://BUCKET/PREFIX --endpoint URL [--region R] [--retain-days N] FILE\n"
    "\n"
    "Follows the recording FILE while it is written and ships every sealed segment (the\n"
    "bytes from one seal's end to the next seal's end) into the bucket as one object locked\n"
    "in compliance mode for N days (default 365), with a manifest naming its version, byte\n"
    "range, SHA-256 and seal. It keeps nothing of its own: started again, it reads what is\n"
    "shipped already from the store and goes on. An unreachable or refusing store is tried\n"
    "again with back-off (each failure told on standard error). Once the end of the\n"
    "recording is shipped, or the recorder let go of the file without writing its end, it\n"
    "reads the whole recording back from the store and verifies it.\n"
    "\n"
    "  --store s3://BUCKET/PREFIX   where the recording goes (the bucket needs Object Lock)\n"
    "  --endpoint URL               the store, http(s)://HOST[:PORT] (path-style requests)\n"
    "  --region R                   the region to sign for (default us-east-1)\n"
    "  --retain-days N              days each object stays locked (default 365)\n"
    "  --help                       this text\n"
    "\n"
    "Credentials: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, else the shared credentials\n"
    "file (AWS_SHARED_CREDENTIALS_FILE, default ~/.aws/credentials, mode 0600; profile\n"
    "AWS_PROFILE, default \"default\").\n"
    "\n"
    "Standard output: one line per segment, one with the counts, then the verification from\n"
    "the store.\n"
    "Exit status: 0 the whole recording is shipped and verifies complete from the store;\n"
    "1 bad usage, no credentials, an unreadable file, or a bucket that cannot be used;\n"
    "2 the shipped recording is truncated (the recorder stopped without writing the end:\n"
    "what was sealed is shipped); 3 the file or the shipped recording is corrupt (damage\n"
    "inside a record is shipped; a damaged record head stops the shipping there); 4 not\n"
    "authentic from the store (an object under the prefix that the shipper did not write,\n"
    "or other bytes than the file).\n";

struct Options {
    std::string store;
    std::string endpoint;
    std::string region = "us-east-1";
    int retain_days = 365;
    std::string file;
};

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "zelship: %s\n%s", message.c_str(), usage_text);
    return exit_usage;
}

int fail(const std::string& message, int status)
{
    std::fprintf(stderr, "zelship: %s\n", message.c_str());
    return status;
}

// 0 when the options are good, else the exit status.
int parse_options(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        }
        const bool takes_value =
            word == "--store" || word == "--endpoint" || word == "--region" || word == "--retain-days";
        if (takes_value && i + 1 >= argc) return usage_error(word + " needs a value");
        if (word == "--store")
            o.store = argv[++i];
        else if (word == "--endpoint")
            o.endpoint = argv[++i];
        else if (word == "--region")
            o.region = argv[++i];
        else if (word == "--retain-days") {
            char* end = nullptr;
            const long days = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || days < 1 || days > 36500)
                return usage_error("--retain-days must be 1 to 36500");
            o.retain_days = static_cast<int>(days);
        } else if (word.starts_with("-") || !o.file.empty())
            return usage_error("unexpected argument " + word);
        else
            o.file = word;
    }
    if (o.store.empty() || o.endpoint.empty() || o.file.empty())
        return usage_error("--store, --endpoint and FILE are needed");
    if (!valid_region(o.region)) return usage_error("--region must be of a-z 0-9 -");
    return 0;
}

int status_of(ZelVerdict v)
{
    return v == ZEL_VERDICT_ERROR ? exit_usage : static_cast<int>(v);
}

// Reads the shipped recording back and verifies it; the exit status.
int verify_from_store(Client& client)
{
    StoreVerdict verdict;
    Shipped shipped;
    const Response r = until_taken("reading back " + client.location().url(), true, [&](bool) {
        Response listed = load_shipped(client, shipped);
        return listed.ok() ? verify_shipped(client, shipped, nullptr, verdict) : listed;
    });
    if (!r.ok()) return fail("cannot read back " + client.location().url() + ": " + r.describe(), exit_usage);
    std::printf("%s\n", verdict.text(client.location().url()).c_str());
    return status_of(verdict.verdict());
}

// Ships segment after segment until the file is complete (or damaged, or
// its writer is gone).
int follow_and_ship(Follower& follower, Shipper& shipper, const std::string& file)
{
    for (;;) {
        std::vector<Segment> sealed;
        const Follower::State state = follower.scan(sealed);
        for (const auto& s : sealed) {
            std::string error;
            switch (shipper.ship(s, error)) {
            case Shipper::Outcome::shipped: continue;
            case Shipper::Outcome::unusable: return fail(error, exit_usage);
            case Shipper::Outcome::store_differs: return fail(error, exit_not_authentic);
            }
        }
        switch (state) {
        case Follower::State::growing: break;
        case Follower::State::complete: return 0;
        case Follower::State::abandoned:
            std::fprintf(stderr, "zelship: %s: %s; what was sealed is shipped\n", file.c_str(),
                         follower.problem().c_str());
            return exit_truncated;
        case Follower::State::corrupt:
            std::fprintf(stderr, "zelship: %s is %s; what was sealed before is shipped\n", file.c_str(),
                         follower.problem().c_str());
            return exit_corrupt;
        case Follower::State::failed: return fail(file + ": " + follower.problem(), exit_usage);
        }
        follower.wait(std::chrono::seconds(5));
    }
}

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    Options o;
    if (int status = parse_options(argc, argv, o); status != 0) return status;
    Location location;
    location.region = o.region;
    std::string error;
    if (!parse_store_url(o.store, location, error) || !parse_endpoint(o.endpoint, location, error))
        return usage_error(error);
    Credentials credentials;
    if (!load_credentials(credentials, error)) return fail(error, exit_usage);
    Follower follower;
    if (!follower.open(o.file, error)) return fail(error, exit_usage);
    Client client(location, credentials);
    Shipper shipper(client, follower.fd(), o.retain_days);
    if (!shipper.start(error)) return fail(error, exit_usage);
    const int shipped = follow_and_ship(follower, shipper, o.file);
    if (shipped != 0 && shipped != exit_truncated && shipped != exit_corrupt) return shipped;
    std::printf("shipped %zu segments (%zu were in the store already) in %llu requests\n",
                shipper.segments_shipped(), shipper.segments_found(),
                static_cast<unsigned long long>(client.requests()));
    std::fflush(stdout);
    const int verified = verify_from_store(client);
    // a worse verdict from the store wins over the file's truncation
    if (shipped == exit_truncated) return verified == 0 ? exit_truncated : verified;
    return shipped != 0 ? shipped : verified;
}
