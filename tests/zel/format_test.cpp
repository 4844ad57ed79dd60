// The file format through the public API: every record type reads back equal;
// cut or damaged files are told apart from complete ones; the writer never
// destroys a file, never follows a link, and hashes only what it wrote.
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

struct Sample : ::testing::Test {
    void SetUp() override
    {
        sample_records(records);
        bytes = recording(records);
        ends = read_memory(bytes, true).ends;
    }
    Records records;
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> ends; // of every frame, the writer's seal too
};

TEST_F(Sample, EveryRecordTypeReadsBackEqual)
{
    ReadResult r = read_memory(bytes);
    ASSERT_EQ(r.status, ZEL_READ_END) << r.problem;
    ASSERT_EQ(r.records.size(), records.size()); // the seal stays hidden
    std::vector<ZelRecord*> again;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_TRUE(same_fields(records[i], r.records[i].get())) << i;
        again.push_back(r.records[i].get());
    }
    EXPECT_EQ(recording(again), bytes); // and what they point to
    EXPECT_EQ(read_memory(bytes, true).records[records.size() - 1]->type, ZEL_SEAL);
}

// A writer stopped at any byte: the complete frames before the cut read back,
// the status is truncated, at the first incomplete frame.
TEST_F(Sample, EveryCutIsTruncatedAtTheFirstIncompleteFrame)
{
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        ReadResult r =
            read_memory(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)), true);
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut) ++complete;
        ASSERT_EQ(r.status, ZEL_READ_TRUNCATED) << "cut at " << cut;
        ASSERT_EQ(r.records.size(), complete) << "cut at " << cut;
        ASSERT_EQ(r.problem_offset, complete > 0 ? ends[complete - 1]
                                    : cut < 16   ? 0
                                                 : 16)
            << "cut at " << cut;
    }
}

TEST_F(Sample, EveryFlippedBitIsCorruptionAtItsFrame)
{
    for (size_t at = 0; at < bytes.size(); ++at) {
        uint64_t frame = at < 16 ? 0 : 16;
        for (uint64_t end : ends) frame = end <= at ? end : frame;
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> copy = bytes;
            copy[at] ^= static_cast<uint8_t>(1u << bit);
            ReadResult r = read_memory(copy);
            ASSERT_EQ(r.status, ZEL_READ_CORRUPT) << "byte " << at << " bit " << bit;
            ASSERT_EQ(r.problem_offset, frame) << "byte " << at << " bit " << bit << ": " << r.problem;
        }
    }
}

// The hex examples of docs/zel-format.md, found by their headings.
std::vector<uint8_t> documented_example(const std::string& heading)
{
    std::ifstream doc(ZEL_FORMAT_DOC);
    std::string line, word;
    while (std::getline(doc, line) && line != heading) {}
    while (std::getline(doc, line) && line.rfind("```", 0) != 0) {}
    std::vector<uint8_t> out;
    while (std::getline(doc, line) && line.rfind("```", 0) != 0)
        for (std::istringstream words(line);
             words >> word && word.size() == 2 && std::isxdigit(word[0]) && std::isxdigit(word[1]);)
            out.push_back(static_cast<uint8_t>(std::stoi(word, nullptr, 16)));
    return out;
}

TEST(Format, TheDocumentedExamplesAreByteExact)
{
    ReadResult v1 = read_memory(documented_example("### A version-1 recording"));
    EXPECT_EQ(v1.status, ZEL_READ_END);
    ASSERT_EQ(v1.records.size(), 1u);
    EXPECT_EQ(v1.records[0]->timestamp, t0);
    uint8_t sk[64], pk[32];
    test_key(sk, pk);
    Records rs;
    rs.header(t0, 640, 480);
    rs.done(t0 + 1'000'000);
    const std::vector<uint8_t> v2 = documented_example("### A signed recording");
    EXPECT_EQ(recording(rs, sk), v2);
    ZelVerification v = verify_memory(v2, pk);
    EXPECT_EQ(v.verdict, ZEL_VERDICT_COMPLETE) << v.reason;
    EXPECT_EQ(v.key_checked, 1);
}

TEST(Writer, OpensOnlyANewOrEmptyRegularFileAndNeverFollowsALink)
{
    const struct {
        const char* name;
        int expected_errno; // 0: opens
        void (*make)(const std::string& path);
    } cases[] = {
        {"new", 0, [](const std::string&) {}},
        {"empty", 0, [](const std::string& p) { write_file(p, {}); }},
        {"recording", EEXIST,
         [](const std::string& p) {
             write_file(p, {'k', 'e', 'e', 'p'});
         }},
        {"link", ELOOP, [](const std::string& p) { (void)::symlink((p + ".target").c_str(), p.c_str()); }},
        {"fifo", EINVAL, [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
        {"folder", EINVAL, [](const std::string& p) { ::mkdir(p.c_str(), 0700); }},
    };
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
        EXPECT_EQ(::lstat(p.c_str(), &st), 0);
        EXPECT_TRUE(w == nullptr || st.st_size == 16) << c.name; // the file head, at once
        EXPECT_TRUE(std::string(c.name) != "new" || (st.st_mode & 0777) == 0600);
        EXPECT_TRUE(c.expected_errno != EEXIST || st.st_size == 4) << "a recording is never touched";
        EXPECT_NE(::access((p + ".target").c_str(), F_OK), 0) << "a link is never followed";
        EXPECT_TRUE(w == nullptr || zel_writer_close(w) == 0);
    }
    EXPECT_EQ(zel_writer_open("/dev/null"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(zel_writer_open("/nonexistent-folder/r.zel"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Writer, RefusesWhatCannotBeStoredAndLeavesNothingBehind)
{
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("x.zel").c_str());
    ZelRecord debug{ZEL_DEBUG, 1}, unknown{200, 1}, seal{ZEL_SEAL, 1}, done{ZEL_DONE, 5};
    ZelImageBlocks no_data{ZEL_IMAGE_BLOCKS, 1, 10, nullptr};
    ZelCopy no_rects{ZEL_COPY, 1, 0, nullptr};
    for (const void* r : std::vector<const void*>{&debug, &unknown, &seal, &no_data, &no_rects, nullptr}) {
        errno = 0;
        EXPECT_EQ(zel_record_write(w, r), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    uint8_t sk[64], pk[32];
    test_key(sk, pk);
    sk[40] ^= 1; // the public half no longer belongs to the seed
    EXPECT_EQ(zel_writer_set_signing_key(w, sk), -1);
    EXPECT_EQ(zel_record_write(w, &done), 0);
    sk[40] ^= 1;
    EXPECT_EQ(zel_writer_set_signing_key(w, sk), -1); // too late
    EXPECT_EQ(zel_writer_close(w), 0);
    ReadResult r = read_memory(read_file(dir.file("x.zel")), true);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.records.size(), 2u); // the final seal and the end
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
        ZelImage* key = rec->type == ZEL_KEYFRAME
                            ? zel_image_decompress(reinterpret_cast<ZelCompressedImage*>(rec.get()))
                            : nullptr;
        uint32_t stride = 0;
        EXPECT_TRUE(key == nullptr ||
                    std::memcmp(key->data, zel_replay_canvas(replay, &stride), key->length) == 0);
        EXPECT_TRUE(key != nullptr || zel_replay_apply(replay, rec.get()) == 0);
        zel_record_free(key);
    }
    zel_replay_free(replay);
}

// A file size limit makes a frame fail half-written: it is taken back, and
// the digest stays that of the bytes in the file.
TEST(Writer, AFrameTakenBackNeverEntersTheHash)
{
    TempDir dir;
    const std::string p = dir.file("full.zel");
    pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{5000, 5000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ZelWriter* w = zel_writer_open(p.c_str());
        Records rs;
        rs.header(t0, 16, 16);
        for (int i = 0; i < 40; ++i) rs.block(t0 + 1 + static_cast<uint64_t>(i), 0, 0, 8, 8, i);
        size_t written = 0;
        while (written < rs.size() && zel_record_write(w, rs[written]) == 0) ++written;
        uint8_t digest[32], file_digest[32];
        zel_writer_digest(w, digest);
        std::vector<uint8_t> file = read_file(p);
        crypto_hash_sha256(file_digest, file.data(), file.size());
        ::_exit(written > 0 && written < rs.size() && std::memcmp(digest, file_digest, 32) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_memory(read_file(p)).status, ZEL_READ_TRUNCATED);
}

// Compressor threads compress while the writer thread writes, makes keyframes
// and seals: every thread has its own contexts.
TEST(Threads, CompressingAndWritingAtOnce)
{
    Records a, b;
    a.header(t0, 64, 64);
    std::thread tb([&b] {
        for (int i = 0; i < 40; ++i) b.block(t0 + 50'000'000, 32, 32, 32, 32, i);
    });
    for (int i = 0; i < 40; ++i) a.block(t0 + 1 + static_cast<uint64_t>(i) * 1'000'000, 0, 0, 32, 32, i);
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("t.zel").c_str());
    zel_writer_set_keyframe_interval(w, 10'000);
    for (ZelRecord* r : a) EXPECT_EQ(zel_record_write(w, r), 0);
    tb.join();
    b.done(t0 + 60'000'000);
    for (ZelRecord* r : b) EXPECT_EQ(zel_record_write(w, r), 0);
    EXPECT_EQ(zel_writer_close(w), 0);
    EXPECT_EQ(verify_memory(read_file(dir.file("t.zel"))).verdict, ZEL_VERDICT_COMPLETE);
}

} // namespace
