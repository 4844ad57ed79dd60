// The file format through the public API: every record type reads back equal;
// cut or damaged files are told apart from complete ones; the writer never
// destroys a file, never follows a link, and hashes only what it wrote.
#include <fcntl.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

struct Sample : ::testing::Test {
    void SetUp() override
    {
        zelsynth::sample(records);
        bytes = recording(records);
        ends = read_memory(bytes, true).ends;
    }
    Records records;
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> ends; // of every frame, the writer's seal too
};

// Read back and written again, every record gives the same bytes (a field left out both ways
// shows in the version-1 corpus, which the first writer wrote, and in zeldump's listings).
TEST_F(Sample, EveryRecordTypeReadsBackEqual)
{
    ReadResult r = read_memory(bytes);
    ASSERT_EQ(r.status, ZEL_READ_END) << r.problem;
    ASSERT_EQ(r.records.size(), records.size()); // the seal stays hidden
    std::vector<ZelRecord*> again;
    for (auto& rec : r.records) again.push_back(rec.get());
    EXPECT_EQ(recording(again), bytes);
}

// Cut at any byte: the frames before it read back, truncated at the first incomplete frame.
// A flipped bit anywhere is corruption at the frame that holds it, and every other frame reads on.
TEST_F(Sample, EveryCutIsTruncatedAndEveryFlippedBitCorruptAtItsFrame)
{
    for (size_t at = 0; at < bytes.size(); ++at) {
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= at) ++complete;
        const uint64_t frame = complete > 0 ? ends[complete - 1] : at < 16 ? 0 : 16;
        ReadResult cut = read_memory({bytes.begin(), bytes.begin() + long(at)}, true);
        ASSERT_TRUE(cut.status == ZEL_READ_TRUNCATED && cut.records.size() == complete &&
                    cut.problem_offset == frame)
            << "cut at " << at << ": " << cut.problem;
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> copy = bytes;
            copy[at] ^= uint8_t(1u << bit);
            ReadResult r = read_memory(copy, true, true);
            ASSERT_TRUE(r.status == ZEL_READ_CORRUPT && r.problem_offset == frame)
                << at << "/" << bit << ": " << r.problem;
            ASSERT_EQ(r.records.size(), at < 16 ? 0 : ends.size() - 1) << at << "/" << bit;
        }
    }
}

// A source that gives at most 7 bytes a call and grows on request.
struct Trickle {
    const std::vector<uint8_t>* bytes;
    uint64_t size;
    bool closed = false;
    static int64_t read_at(void* c, uint64_t offset, void* buf, size_t n)
    {
        auto* t = static_cast<Trickle*>(c);
        const uint64_t k = offset >= t->size ? 0 : std::min<uint64_t>({n, 7, t->size - offset});
        std::memcpy(buf, t->bytes->data() + offset, k);
        return int64_t(k);
    }
    static uint64_t size_of(void* c) { return static_cast<Trickle*>(c)->size; }
    static void close(void* c) { static_cast<Trickle*>(c)->closed = true; }
};

// Through a source that grows, passing over the picture records by their length: the other records
// as from memory, truncated until it has grown, then complete.
TEST_F(Sample, ASourceReadsLikeMemoryAndPicturesCanBePassedOver)
{
    Trickle t{&bytes, ends[ends.size() / 2] - 5};
    const ZelSource source{&t, Trickle::read_at, Trickle::size_of, Trickle::close};
    ZelReader* reader = zel_reader_open_source(&source);
    const uint8_t pictures[] = {ZEL_IMAGE, ZEL_COMPRESSED_IMAGE, ZEL_IMAGE_BLOCKS,
                                ZEL_COMPRESSED_IMAGE_BLOCKS};
    zel_reader_skip_types(reader, pictures, std::size(pictures));
    ZelVerifier* verifier = zel_verifier_new(nullptr);
    EXPECT_TRUE(zel_reader_set_verifier(reader, verifier) == -1 && errno == EINVAL);
    zel_verifier_free(verifier);
    std::vector<uint8_t> types, expected;
    for (auto& r : read_memory(bytes).records)
        if (std::find(std::begin(pictures), std::end(pictures), r->type) == std::end(pictures))
            expected.push_back(r->type);
    ZelRecord* r = nullptr;
    ZelReadStatus s;
    for (int pass = 0; pass < 2; ++pass) {
        while ((s = zel_reader_next(reader, &r)) == ZEL_READ_RECORD) {
            types.push_back(r->type);
            zel_record_free(r);
        }
        EXPECT_EQ(s, pass == 0 ? ZEL_READ_TRUNCATED : ZEL_READ_END) << zel_reader_problem(reader);
        t.size = bytes.size();
        EXPECT_EQ(zel_reader_seek(reader, zel_reader_problem_offset(reader)), 0);
    }
    EXPECT_EQ(types, expected);
    zel_reader_close(reader);
    EXPECT_TRUE(t.closed);
}

TEST(Format, TheDocumentedExamplesAreByteExact)
{
    EXPECT_EQ(read_memory(documented_example("### A version-1 recording")).records.at(0)->timestamp, t0);
    uint8_t sk[64], pk[32];
    zelsynth::example_key(sk, pk);
    Records rs;
    rs.header(t0, 640, 480);
    rs.done(t0 + 1'000'000, ZEL_END_STDIN_CLOSED);
    EXPECT_EQ(recording(rs, sk), documented_example("### A signed recording"));
    for (const char* heading : {"### A signed recording", "### A signed recording of version 2"}) {
        ZelVerification v = verify_memory(documented_example(heading), pk);
        EXPECT_TRUE(v.verdict == ZEL_VERDICT_COMPLETE && v.key_checked == 1) << heading << ": " << v.reason;
    }
}

TEST(Writer, OpensOnlyANewOrEmptyRegularFileAndNeverFollowsALink)
{
    // clang-format off
    const struct { const char* name; int expected_errno; void (*make)(const std::string& path); } cases[] = {
        {"new", 0, [](const std::string&) {}},
        {"empty", 0, [](const std::string& p) { write_file(p, {}); }},
        {"recording", EEXIST, [](const std::string& p) { write_file(p, {'k', 'e', 'e', 'p'}); }},
        {"link", ELOOP, [](const std::string& p) { (void)::symlink((p + ".target").c_str(), p.c_str()); }},
        {"fifo", EINVAL, [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
        {"folder", EINVAL, [](const std::string& p) { ::mkdir(p.c_str(), 0700); }},
    };
    // clang-format on
    for (const auto& c : cases) {
        TempDir dir;
        const std::string p = dir.file("r.zel");
        c.make(p);
        mode_t old = ::umask(0);
        errno = 0;
        ZelWriter* w = zel_writer_open(p.c_str());
        ::umask(old);
        EXPECT_EQ(w == nullptr ? errno : 0, c.expected_errno) << c.name;
        struct stat st {};
        EXPECT_TRUE(::lstat(p.c_str(), &st) == 0 && (w == nullptr || st.st_size == 16))
            << c.name; // the head at once
        EXPECT_TRUE(std::string(c.name) != "new" || (st.st_mode & 0777) == 0600);
        EXPECT_TRUE(c.expected_errno != EEXIST || st.st_size == 4) << "a recording is never touched";
        EXPECT_NE(::access((p + ".target").c_str(), F_OK), 0) << "a link is never followed";
        ZelRecord seal{ZEL_SEAL, 1}, debug{ZEL_DEBUG, 1}; // only the writer seals; debug is never stored
        EXPECT_TRUE(w == nullptr || (zel_record_write(w, &seal) == -1 && zel_record_write(w, &debug) == -1));
        EXPECT_TRUE(w == nullptr || zel_writer_close(w) == 0);
    }
    EXPECT_TRUE(zel_writer_open("/dev/null") == nullptr && errno == EINVAL);
    EXPECT_TRUE(zel_writer_open("/nonexistent-folder/r.zel") == nullptr && errno == ENOENT);
}

// A keyframe after the block-size interval and after 30 s of changes; each
// holds the screen that the records before it made, copies included.
TEST(Writer, KeyframesFollowTheScreenThroughCopies)
{
    Records rs;
    rs.header(t0, 64, 64);
    rs.block(t0 + 1, 0, 0, 64, 64, 1);
    rs.copy(t0 + 2'000'000, {{0, 8, 64, 56, 0, 0}});
    rs.block(t0 + 2'000'000, 0, 56, 64, 8, 2);
    rs.move(t0 + 29'000'000, 1, 1);
    rs.move(t0 + 31'000'000, 2, 2);
    ReadResult r = read_memory(recording(rs, nullptr, 64 * 64 * 4 + 8), true);
    std::string order;
    for (auto& rec : r.records) order += rec->type == ZEL_KEYFRAME ? 'K' : rec->type == ZEL_SEAL ? 'S' : '.';
    EXPECT_EQ(order, "..KS...S.KS"); // the interval, a seal after 10 s, then 30 s since the last keyframe
    ZelReplay* replay = zel_replay_new();
    for (auto& rec : r.records) {
        auto* key = rec->type == ZEL_KEYFRAME
                        ? zel_image_decompress(reinterpret_cast<ZelCompressedImage*>(rec.get()))
                        : nullptr;
        EXPECT_TRUE(key ? std::memcmp(key->data, zel_replay_canvas(replay, nullptr), key->length) == 0
                        : zel_replay_apply(replay, rec.get()) == 0);
        zel_record_free(key);
    }
    zel_replay_free(replay);
}

// A file size limit makes a frame fail half-written: it is taken back, out of the digest too; every
// later record is refused but the end, which still fits and ends the recording complete.
TEST(Writer, AFrameTakenBackNeverEntersTheHashAndTheEndStillFits)
{
    TempDir dir;
    Records rs;
    rs.header(t0, 16, 16);
    for (int i = 0; i < 40; ++i) rs.block(t0 + 1 + uint64_t(i), 0, 0, 8, 8, i);
    rlimit before{}, limit{5000, 5000};
    ::getrlimit(RLIMIT_FSIZE, &before);
    limit.rlim_max = before.rlim_max;
    auto* old = std::signal(SIGXFSZ, SIG_IGN);
    ZelWriter* w = zel_writer_open(dir.file("full.zel").c_str());
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    size_t n = 0;
    while (n < rs.size() && zel_record_write(w, rs[n]) == 0) ++n;
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old);
    uint8_t digest[32], file_digest[32];
    zel_writer_digest(w, digest);
    std::vector<uint8_t> file = read_file(dir.file("full.zel"));
    crypto_hash_sha256(file_digest, file.data(), file.size());
    EXPECT_TRUE(n > 0 && n < rs.size() && std::memcmp(digest, file_digest, 32) == 0) << n;
    EXPECT_EQ(read_memory(file).status, ZEL_READ_TRUNCATED);
    EXPECT_TRUE(zel_record_write(w, rs[1]) == -1 && errno == EIO);
    EXPECT_TRUE(zel_writer_seal(w, t0 + 50) == -1 && errno == EIO);
    rs.done(t0 + 60, ZEL_END_WRITE_FAILED);
    EXPECT_EQ(zel_record_write(w, rs.back()), 0);
    EXPECT_EQ(zel_writer_close(w), 0);
    file = read_file(dir.file("full.zel"));
    ReadResult r = read_memory(file);
    ASSERT_EQ(r.status, ZEL_READ_END) << r.problem;
    EXPECT_EQ(reinterpret_cast<ZelDone*>(r.records.back().get())->reason, ZEL_END_WRITE_FAILED);
    EXPECT_EQ(verify_memory(file).verdict, ZEL_VERDICT_COMPLETE);
}

// Seals asked for carry their own time, idle or not, but never come between a copy and its image; the
// end is sealed last and nothing follows it; the writer's lock says it is writing until it closes.
TEST(Writer, SealsOnRequestAndAtTheEndAndHoldsItsLock)
{
    TempDir dir;
    const std::string path = dir.file("r.zel");
    ZelWriter* w = zel_writer_open(path.c_str());
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(zel_file_is_being_written(fd), 1);
    Records rs;
    rs.header(t0, 16, 16);
    rs.copy(t0 + 1, {{0, 0, 4, 4, 8, 8}});
    rs.move(t0 + 2, 1, 1);
    rs.done(t0 + 5'000'000, ZEL_END_STDIN_CLOSED);
    EXPECT_TRUE(zel_record_write(w, rs[0]) == 0 && zel_writer_seal(w, t0 + 1'000'000) == 0);
    EXPECT_EQ(zel_writer_seal(w, t0 + 2'000'000), 0); // idle: a seal after a seal
    EXPECT_TRUE(zel_record_write(w, rs[1]) == 0 && zel_writer_seal(w, t0 + 3'000'000) == 0); // deferred
    EXPECT_TRUE(zel_record_write(w, rs[2]) == 0 && zel_record_write(w, rs[3]) == 0);
    EXPECT_TRUE(zel_writer_seal(w, t0 + 6'000'000) == -1 && errno == EINVAL);
    EXPECT_TRUE(zel_record_write(w, rs[2]) == -1 && errno == EINVAL);
    EXPECT_EQ(zel_writer_close(w), 0);
    EXPECT_EQ(zel_file_is_being_written(fd), 0);
    ::close(fd);
    ReadResult r = read_memory(read_file(path), true);
    ASSERT_EQ(r.status, ZEL_READ_END) << r.problem;
    std::string order, times;
    for (auto& rec : r.records) {
        order += rec->type == ZEL_SEAL ? 'S' : '.';
        if (rec->type == ZEL_SEAL) times += std::to_string(rec->timestamp - t0) + " ";
    }
    EXPECT_EQ(order, ".SS..S.S");
    EXPECT_EQ(times, "1000000 2000000 2 5000000 ");
    ZelVerification v = verify_memory(read_file(path));
    EXPECT_TRUE(v.verdict == ZEL_VERDICT_COMPLETE && v.seals == 4 && v.sealed_time == t0 + 5'000'000);
}

} // namespace
