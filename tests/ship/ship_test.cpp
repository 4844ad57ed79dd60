// zelship against a real Ceph object gateway (one for the whole program): a
// recording shipped while the recorder writes it, a shipper killed half way,
// an unreachable store, a writer gone without the end, the end read before
// its final seal, a tampered segment, and the setups it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bucket.h"
#include "digest.h"
#include "harness.h"
#include "manifest.h"
#include "recording.h"
#include "shipped.h"

using namespace std::chrono_literals;
using namespace xtest;

namespace {

ObjectStore& store()
{
    static ObjectStore s;
    return s;
}

class Ship : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!ObjectStore::available()) {
            if (std::getenv("CI") != nullptr) FAIL() << "Ceph is not installed (scripts/install-deps)";
            GTEST_SKIP() << "Ceph is not installed";
        }
        store();
    }
};

std::string value_of(const std::string& assignment)
{
    return assignment.substr(assignment.find('=') + 1);
}

zelship::Location location(const std::string& prefix, const std::string& bucket = store().bucket())
{
    return {store().endpoint(), "us-east-1", bucket, prefix};
}

zelship::Credentials keys()
{
    const auto env = store().credentials();
    return {value_of(env[0]), value_of(env[1])};
}

std::unique_ptr<zelship::Client> client(const std::string& prefix,
                                        const std::string& bucket = store().bucket())
{
    return std::make_unique<zelship::Client>(location(prefix, bucket), keys());
}

std::string url(const std::string& prefix)
{
    return "s3://" + store().bucket() + "/" + prefix;
}

// zeldump with these options on a recording file, or on an s3:// URL of the store.
RunResult zeldump(std::vector<std::string> argv, const std::string& recording)
{
    argv.insert(argv.begin(), ZELDUMP_PATH);
    if (recording.starts_with("s3://")) argv.insert(argv.end(), {"--endpoint", store().endpoint()});
    argv.push_back(recording);
    ProcessOptions po;
    po.env = store().credentials();
    return run(argv, po);
}

// The text with every `from` replaced by `to`.
std::string renamed(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The files of a folder and their bytes.
std::map<std::string, std::string> files_in(const std::string& dir)
{
    std::map<std::string, std::string> out;
    for (const auto& f : std::filesystem::directory_iterator(dir))
        out[f.path().filename()] = read_file(f.path());
    return out;
}

std::unique_ptr<Process> zelship(const std::string& prefix, const std::string& file,
                                 std::vector<std::string> env = store().credentials())
{
    ProcessOptions po;
    po.env = std::move(env);
    return std::make_unique<Process>(std::vector<std::string>{ZELSHIP_PATH, "--store",
                                                              "s3://" + store().bucket() + "/" + prefix,
                                                              "--endpoint", store().endpoint(), file},
                                     po);
}

// The recording as its manifests name it, each segment read by version id.
std::string shipped_bytes(const std::string& prefix)
{
    auto c = client(prefix);
    zelship::Shipped shipped;
    EXPECT_TRUE(load_shipped(*c, shipped).ok());
    EXPECT_EQ(shipped.problems, std::vector<std::string>{});
    std::string bytes;
    for (const auto& m : shipped.segments) bytes += c->get(m.segment, {{"versionId", m.version}}).body;
    return bytes;
}

std::map<std::string, int> versions_per_key(const std::string& prefix)
{
    std::vector<zelship::ObjectVersion> all;
    EXPECT_TRUE(list_versions(*client(prefix), prefix + "/", all).ok());
    std::map<std::string, int> count;
    for (const auto& v : all) ++count[v.key];
    return count;
}

// A recording whose records are 10 s apart, so that the writer seals after
// each; ends() are the segments' ends so far.
class SealedRecording {
  public:
    SealedRecording() : writer_(zel_writer_open(path.c_str()))
    {
        auto* h = static_cast<ZelHeader*>(std::calloc(1, sizeof(ZelHeader)));
        *h = ZelHeader{ZEL_HEADER, 1, t_, 24, 64, 48, xRGB8888, 32, 0, nullptr, 8, 255, nullptr, nullptr};
        write(h);
    }
    ~SealedRecording() { (void)zel_writer_close(writer_); }
    void add(int segments)
    {
        for (int i = 0; i < segments; ++i) {
            auto* p = static_cast<ZelCursorPosition*>(std::calloc(1, sizeof(ZelCursorPosition)));
            *p = ZelCursorPosition{ZEL_CURSOR_POSITION, t_ += 10'000'000, 1, 2};
            write(p);
            ends.push_back(zel_writer_size(writer_));
        }
    }
    // The writer closes without the end, as a recorder that dies.
    void let_go()
    {
        ASSERT_EQ(zel_writer_close(writer_), 0);
        writer_ = nullptr;
    }
    void finish()
    {
        ZelRecord* done = zel_record_done();
        done->timestamp = t_ + 1;
        write(done);
    }
    // The shipper's line for the n-th segment (from 0).
    std::string shipped(size_t n) const
    {
        return "shipped bytes " + std::to_string(n == 0 ? 0 : ends[n - 1]) + "-" + std::to_string(ends[n]) +
               " ";
    }
    const std::string path = temp_dir() + "/recording.zel";
    std::vector<uint64_t> ends;

  private:
    void write(void* record)
    {
        ASSERT_EQ(zel_record_write(writer_, record), 0);
        zel_record_free(record);
    }
    ZelWriter* writer_;
    uint64_t t_ = 1'750'000'000'000'000;
};

TEST_F(Ship, RecordingShippedWhileWritten)
{
    Display d;
    const xcb_window_t w = d.window(10, 10, 200, 150, 3);
    Painter painter(d.name(), w);
    const std::string file = temp_dir() + "/live.zel";
    Recorder recorder({d.name(), file});
    wait_for_records(
        file, [](const Recording& r) { return !r.records.empty(); }, &recorder);
    auto shipper = zelship("live", file);
    // the recorder seals a second after its start: the first segment is shipped then, not 10 s later
    ASSERT_TRUE(shipper->wait_for_output("shipped bytes 0-", kGuard / 6)) << shipper->err();
    EXPECT_TRUE(recorder.running());
    EXPECT_FALSE(versions_per_key("live").empty()) << "no segment in the bucket while recording";
    EXPECT_EQ(zeldump({"--verify"}, url("live")).status, 2) << "sealed so far, not the end";
    EXPECT_EQ(recorder.stop(), 0);
    EXPECT_EQ(shipper->wait(), 0) << shipper->out() << shipper->err();
    EXPECT_NE(shipper->out().find("s3://evidence/live: complete, "), std::string::npos) << shipper->out();
    EXPECT_EQ(shipped_bytes("live"), read_file(file));

    // zeldump reads the shipped recording from the store as the file
    for (const auto& options :
         std::vector<std::vector<std::string>>{{}, {"--json"}, {"--events"}, {"--stats"}, {"--verify"}}) {
        const RunResult from_file = zeldump(options, file), from_store = zeldump(options, url("live"));
        EXPECT_EQ(from_store.status, from_file.status) << testing::PrintToString(options) << from_store.err;
        EXPECT_EQ(renamed(from_store.out, url("live"), file), from_file.out)
            << testing::PrintToString(options);
    }
    const std::string png_file = temp_dir(), png_store = temp_dir();
    EXPECT_EQ(zeldump({"--png", png_file, "--every", "1", "--quiet"}, file).status, 0);
    EXPECT_EQ(zeldump({"--png", png_store, "--every", "1", "--quiet"}, url("live")).status, 0);
    auto exported = files_in(png_store); // the same frames; the manifest names the recording by its URL
    exported["manifest.json"] = renamed(exported["manifest.json"], '"' + url("live") + '"', "\"live.zel\"");
    EXPECT_TRUE(exported == files_in(png_file)) << exported["manifest.json"];

    auto c = client("live");
    zelship::Shipped shipped;
    ASSERT_TRUE(load_shipped(*c, shipped).ok());
    const auto& first = shipped.segments.front();
    const zelship::Response refused = c->remove(first.segment, {{"versionId", first.version}});
    EXPECT_EQ(refused.status, 403) << refused.describe();
    EXPECT_TRUE(c->get(first.segment, {{"versionId", first.version}}).ok());
}

TEST_F(Ship, KilledHalfWayAndStartedAgain)
{
    SealedRecording rec;
    rec.add(12);
    auto first = zelship("killed", rec.path);
    ASSERT_TRUE(first->wait_for_output(rec.shipped(3))) << first->err();
    first->signal(SIGKILL);
    first->wait();
    rec.add(3);
    rec.finish();
    auto second = zelship("killed", rec.path);
    EXPECT_EQ(second->wait(), 0) << second->out() << second->err();
    EXPECT_NE(second->out().find("in the store already: bytes 0-"), std::string::npos) << second->out();
    for (const auto& [key, versions] : versions_per_key("killed")) EXPECT_EQ(versions, 1) << key;
    EXPECT_EQ(versions_per_key("killed").size(), 2 * 16u); // 15 seals, then the end and its final seal
    EXPECT_EQ(shipped_bytes("killed"), read_file(rec.path));
}

TEST_F(Ship, StoreUnreachableFor20Seconds)
{
    SealedRecording rec;
    rec.add(2);
    auto shipper = zelship("outage", rec.path);
    ASSERT_TRUE(shipper->wait_for_output(rec.shipped(1))) << shipper->err();
    store().stop_gateway();
    rec.add(3);
    std::this_thread::sleep_for(20s); // the outage itself, not a wait for something
    store().start_gateway();
    rec.finish();
    EXPECT_EQ(shipper->wait(), 0) << shipper->out() << shipper->err();
    EXPECT_NE(shipper->err().find("; trying again in "), std::string::npos) << shipper->err();
    EXPECT_EQ(shipped_bytes("outage"), read_file(rec.path));
}

// Once the writer let go of a file without its end, the shipper ships what
// was sealed and ends with the truncation instead of waiting.
TEST_F(Ship, WriterGoneWithoutTheEnd)
{
    SealedRecording rec;
    rec.add(2);
    auto shipper = zelship("gone", rec.path);
    ASSERT_TRUE(shipper->wait_for_output(rec.shipped(1))) << shipper->err();
    rec.let_go();
    EXPECT_EQ(shipper->wait(), 2) << shipper->out() << shipper->err();
    EXPECT_NE(shipper->out().find("s3://evidence/gone: truncated at byte " + std::to_string(rec.ends[1])),
              std::string::npos)
        << shipper->out();
}

// Where the end-of-data record of a recording ends (its final seal follows).
size_t end_of_done(const std::string& bytes)
{
    std::unique_ptr<ZelReader, decltype(&zel_reader_close)> reader(
        zel_reader_open_memory(bytes.data(), bytes.size()), zel_reader_close);
    for (ZelRecord* r = nullptr; zel_reader_next(reader.get(), &r) == ZEL_READ_RECORD;) {
        const bool done = r->type == ZEL_DONE;
        zel_record_free(r);
        if (done) return zel_reader_record_offset(reader.get()) + zel_reader_record_size(reader.get());
    }
    return 0;
}

// A shipper that read the end-of-data record before its final seal was
// written reads the end again with the seal once it comes.
TEST_F(Ship, EndReadBeforeItsFinalSeal)
{
    SealedRecording rec;
    rec.add(2);
    rec.finish();
    const std::string whole = read_file(rec.path);
    const size_t cut = end_of_done(whole);
    const std::string path = temp_dir() + "/cut.zel";
    struct File {
        int fd;
        ~File() { ::close(fd); }
    } file{::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    struct flock lock {};
    lock.l_type = F_WRLCK; // as the writer holds it
    ASSERT_EQ(fcntl(file.fd, F_OFD_SETLK, &lock), 0);
    ASSERT_EQ(::write(file.fd, whole.data(), cut), static_cast<ssize_t>(cut));
    auto shipper = zelship("end", path);
    ASSERT_TRUE(shipper->wait_for_output(rec.shipped(1))) << shipper->err();
    ASSERT_EQ(::write(file.fd, whole.data() + cut, whole.size() - cut),
              static_cast<ssize_t>(whole.size() - cut));
    ::close(std::exchange(file.fd, -1)); // the writer lets go
    EXPECT_EQ(shipper->wait(), 0) << shipper->out() << shipper->err();
    EXPECT_EQ(shipped_bytes("end"), whole);
}

// zeldump --serve on an s3:// URL of the store, and the address it prints.
struct Served {
    std::unique_ptr<Process> server;
    std::string base; // http://127.0.0.1:PORT/#token=...
};
Served serve(const std::string& store_url)
{
    ProcessOptions po;
    po.env = store().credentials();
    Served s;
    s.server =
        std::make_unique<Process>(std::vector<std::string>{ZELDUMP_PATH, "--serve", "127.0.0.1:0", store_url,
                                                           "--endpoint", store().endpoint()},
                                  po);
    EXPECT_TRUE(s.server->wait_for_output("\n")) << s.server->err();
    s.base = s.server->out().substr(0, s.server->out().find('\n'));
    return s;
}

// GET of a path from the server with its token (and a byte range): the
// response's head and body.
std::pair<std::string, std::string> get(const Served& s, const std::string& path,
                                        const std::string& range = "")
{
    const std::string token = s.base.substr(s.base.find("#token=") + 7);
    std::vector<std::string> argv{"curl", "-sS", "-D", "-", "-H", "Authorization: Bearer " + token};
    if (!range.empty()) argv.insert(argv.end(), {"-r", range});
    argv.push_back(s.base.substr(0, s.base.find('#') - 1) + path);
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    const size_t body = r.out.find("\r\n\r\n");
    return {r.out.substr(0, body), body == std::string::npos ? "" : r.out.substr(body + 4)};
}

TEST_F(Ship, TamperedSegmentIsNotAuthentic)
{
    SealedRecording rec;
    rec.add(2);
    rec.finish();
    ASSERT_EQ(zelship("tampered", rec.path)->wait(), 0);
    auto c = client("tampered");
    const std::string key = zelship::segment_key("tampered", rec.ends[0]);
    std::string bytes = read_file(rec.path).substr(rec.ends[0], rec.ends[1] - rec.ends[0]);
    bytes[30] ^= 1;
    const auto d = zelship::digest(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(c->put(key, {-1, 0, bytes.size(), bytes, zelship::hex(d.sha256)},
                       {"Content-MD5: " + zelship::base64(d.md5)})
                    .ok());
    auto again = zelship("tampered", rec.path);
    EXPECT_EQ(again->wait(), 4) << again->out() << again->err();
    EXPECT_NE(again->out().find("not authentic: " + key + " has a version"), std::string::npos)
        << again->out();
    const RunResult verified = zeldump({"--verify"}, url("tampered"));
    EXPECT_EQ(verified.status, 4) << verified.out << verified.err;
    EXPECT_NE(verified.out.find("not authentic: " + key + " has a version"), std::string::npos)
        << verified.out;
    // the player's server says so in its index and to the page
    const Served served = serve(url("tampered"));
    const std::string index = get(served, "/recordings.json").second;
    EXPECT_NE(index.find(R"("state":"not authentic from the store: )" + key + " has a version"),
              std::string::npos)
        << index;
    EXPECT_NE(
        get(served, "/files/tampered", "0-0").first.find("Zel-Store-Problem: " + key + " has a version"),
        std::string::npos);
}

// The recordings under a prefix, opened by name (as the player's server
// does), read as the files, also while one is still being shipped.
TEST_F(Ship, RecordingsByNameFromTheStore)
{
    SealedRecording rec;
    rec.add(4);
    auto shipper = zelship("fleet/host-a", rec.path);
    ASSERT_TRUE(shipper->wait_for_output(rec.shipped(3))) << shipper->err();
    const zelship::StoreFolder folder(location("fleet"), keys());
    bool is_recording = true;
    std::vector<std::string> names;
    ASSERT_TRUE(folder.list(is_recording, names).ok());
    EXPECT_FALSE(is_recording);
    EXPECT_EQ(names, std::vector<std::string>{"host-a"});
    ASSERT_TRUE(zelship::StoreFolder(location("fleet/host-a"), keys()).list(is_recording, names).ok());
    EXPECT_TRUE(is_recording);
    std::string error;
    EXPECT_EQ(folder.open("..", error), nullptr);
    auto recording = folder.open("host-a", error);
    ASSERT_NE(recording, nullptr) << error;
    EXPECT_EQ(recording->size(), rec.ends[3]);
    EXPECT_TRUE(recording->growing());
    rec.add(2);
    rec.finish();
    ASSERT_EQ(shipper->wait(), 0) << shipper->err();
    const std::string file = read_file(rec.path);
    EXPECT_EQ(recording->current_size(0ms), file.size());
    EXPECT_FALSE(recording->growing());
    const std::pair<uint64_t, size_t> ranges[] = {
        {0, 20}, {rec.ends[0] - 5, 10}, {rec.ends[1], file.size()}, {file.size(), 10}};
    for (const auto& [offset, n] : ranges) {
        std::vector<uint8_t> buf(n);
        const int64_t got = recording->read_at(offset, buf);
        const std::string expected = file.substr(offset, n);
        ASSERT_EQ(got, static_cast<int64_t>(expected.size())) << offset;
        EXPECT_EQ(std::string(buf.begin(), buf.begin() + got), expected) << offset;
    }
}

// The player's server on a prefix of the store: the index lists what was
// shipped under it with its state, and the bytes it serves are the file's.
TEST_F(Ship, ServedFromTheStore)
{
    SealedRecording rec;
    rec.add(3);
    rec.finish();
    ASSERT_EQ(zelship("served/host-b", rec.path)->wait(), 0);
    const Served served = serve(url("served"));
    const auto [index_head, index] = get(served, "/recordings.json");
    EXPECT_NE(index.find(R"("name":"host-b")"), std::string::npos) << index;
    EXPECT_NE(index.find(R"("verdict":"complete","state":"complete, intact, unsigned)"), std::string::npos)
        << index;
    const std::string file = read_file(rec.path);
    const auto [head, bytes] = get(served, "/files/host-b", "10-" + std::to_string(rec.ends[1] + 9));
    EXPECT_NE(head.find("Zel-Being-Written: no"), std::string::npos) << head;
    EXPECT_EQ(bytes, file.substr(10, rec.ends[1]));
    const std::string secret = value_of(store().credentials()[1]);
    EXPECT_EQ((index_head + index + head).find(secret), std::string::npos) << "the store's secret served";
    served.server->signal(SIGTERM);
    EXPECT_EQ(served.server->wait(), 0) << served.server->err();
}

struct Refusal {
    const char* name;
    std::vector<std::string> env;
    std::string store; // s3:// URL
    const char* message;
};

TEST_F(Ship, RefusesWhatItCannotUse)
{
    const std::string keys = temp_dir() + "/credentials";
    std::ofstream(keys) << "[default]\naws_access_key_id = a\naws_secret_access_key = b\n";
    chmod(keys.c_str(), 0644);
    ASSERT_TRUE(
        client("", "unlocked")->put("", {-1, 0, 0, "", zelship::hex(zelship::digest({}).sha256)}, {}).ok());
    const auto good = store().credentials();
    const Refusal refusals[] = {
        {"credentials file open to others",
         {"AWS_ACCESS_KEY_ID=", "AWS_SHARED_CREDENTIALS_FILE=" + keys},
         "s3://evidence/r",
         "has group or other permissions (mode 0644); it must be 0600"},
        {"a wrong secret",
         {good[0], "AWS_SECRET_ACCESS_KEY=wrong"},
         "s3://evidence/r",
         "the store refuses to show the bucket: HTTP 403 SignatureDoesNotMatch"},
        {"a bucket without Object Lock", good, "s3://unlocked/r", "bucket unlocked has no Object Lock"},
        {"no prefix", good, "s3://evidence/", "s3://BUCKET/PREFIX: the prefix is empty"},
    };
    SealedRecording rec;
    for (const auto& r : refusals) {
        ProcessOptions po;
        po.env = r.env;
        Process p({ZELSHIP_PATH, "--store", r.store, "--endpoint", store().endpoint(), rec.path}, po);
        EXPECT_EQ(p.wait(), 1) << r.name;
        EXPECT_NE(p.err().find(r.message), std::string::npos) << r.name << ": " << p.err();
    }
}

} // namespace
