// The file format through the public API: every record type reads back equal;
// cut or damaged files are told apart from complete ones; the writer never
// destroys a file, never follows a link, and only hashes what it wrote.
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "../../libzel/src/zel_internal.h"
#include "zel_test_util.h"

using namespace zeltest;

namespace {

class Sample : public ::testing::Test {
  protected:
    void SetUp() override
    {
        sample_records(records);
        bytes = recording(records);
    }
    Records records;
    std::vector<uint8_t> bytes;
};

TEST_F(Sample, EveryRecordTypeReadsBackEqual)
{
    ReadResult r = read_memory(bytes);
    ASSERT_EQ(r.status, ZEL_READ_END) << r.problem;
    ASSERT_EQ(r.records.size(), records.size()); // the writer's seal stays hidden
    for (size_t i = 0; i < records.size(); ++i) EXPECT_TRUE(same_record(records[i], r.records[i].get())) << i;
    ReadResult all = read_memory(bytes, true);
    ASSERT_EQ(all.records.size(), records.size() + 1);
    EXPECT_EQ(all.records[records.size() - 1]->type, ZEL_SEAL);
    EXPECT_EQ(all.ends.back(), bytes.size());
}

// A writer stopped at any byte: the complete frames before the cut read back,
// the status is truncated, at the first incomplete frame.
TEST_F(Sample, EveryCutIsTruncatedAtTheFirstIncompleteFrame)
{
    const std::vector<uint64_t> ends = read_memory(bytes, true).ends;
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
    const std::vector<uint64_t> ends = read_memory(bytes, true).ends;
    for (size_t at = 0; at < bytes.size(); ++at) {
        uint64_t frame = at < 16 ? 0 : 16;
        for (uint64_t end : ends)
            if (end <= at) frame = end;
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> copy = bytes;
            copy[at] ^= static_cast<uint8_t>(1u << bit);
            ReadResult r = read_memory(copy);
            ASSERT_EQ(r.status, ZEL_READ_CORRUPT) << "byte " << at << " bit " << bit;
            ASSERT_EQ(r.problem_offset, frame) << "byte " << at << " bit " << bit << ": " << r.problem;
        }
    }
}

TEST_F(Sample, DataAfterTheEndIsCorruptAndSeekingReadsOn)
{
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(read_memory(longer).problem_offset, bytes.size());
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    ZelRecord* r = nullptr;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(zel_reader_next(reader, &r), ZEL_READ_RECORD);
        zel_record_free(r);
    }
    const uint64_t third = zel_reader_record_offset(reader);
    while (zel_reader_next(reader, &r) == ZEL_READ_RECORD) zel_record_free(r);
    ASSERT_EQ(zel_reader_seek(reader, third), 0);
    ASSERT_EQ(zel_reader_next(reader, &r), ZEL_READ_RECORD);
    EXPECT_TRUE(same_record(r, records[2]));
    zel_record_free(r);
    EXPECT_EQ(zel_reader_seek(reader, bytes.size() + 1), -1);
    zel_reader_close(reader);
}

// The new codes of version 2 are corruption in a version-1 file.
TEST_F(Sample, VersionOneFilesKnowNoNewTypes)
{
    zel::put_u16(bytes.data() + 8, 1);
    zel::fix_checksums(bytes);
    ReadResult r = read_memory(bytes);
    EXPECT_EQ(r.status, ZEL_READ_CORRUPT);
    EXPECT_EQ(r.problem, "unknown record type 17");
    EXPECT_EQ(r.records.size(), 4u);
    zel::put_u16(bytes.data() + 8, 3);
    zel::fix_checksums(bytes);
    EXPECT_EQ(read_memory(bytes).problem, "unsupported format version 3");
}

// The hex examples of docs/zel-format.md, by their headings.
std::vector<uint8_t> documented_example(const std::string& heading)
{
    std::ifstream doc(ZEL_FORMAT_DOC);
    std::string line;
    while (std::getline(doc, line) && line != heading) {}
    while (std::getline(doc, line) && line.rfind("```", 0) != 0) {}
    std::vector<uint8_t> out;
    while (std::getline(doc, line) && line.rfind("```", 0) != 0) {
        std::istringstream words(line);
        std::string w;
        while (words >> w && w.size() == 2 && std::isxdigit(w[0]) && std::isxdigit(w[1]))
            out.push_back(static_cast<uint8_t>(std::stoi(w, nullptr, 16)));
    }
    return out;
}

TEST(Format, TheDocumentedExamplesAreByteExact)
{
    const std::vector<uint8_t> v1 = documented_example("### A version-1 recording");
    ASSERT_EQ(v1.size(), 40u);
    ReadResult r = read_memory(v1);
    EXPECT_EQ(r.status, ZEL_READ_END);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0]->timestamp, t0);

    const std::vector<uint8_t> v2 = documented_example("### A signed recording");
    uint8_t sk[64], pk[32];
    test_key(sk, pk);
    Records rs;
    add_header(rs, t0, 640, 480);
    rs.add<ZelRecord>(ZEL_DONE, t0 + 1'000'000);
    EXPECT_EQ(recording(rs, sk), v2);
    ZelVerification v = verify_memory(v2, pk);
    EXPECT_EQ(v.verdict, ZEL_VERDICT_COMPLETE) << v.reason;
    EXPECT_EQ(v.key_checked, 1);
}

struct OpenCase {
    const char* name;
    int expected_errno; // 0: opens
    void (*make)(const std::string& path);
};

const OpenCase open_cases[] = {
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

TEST(Writer, OpensOnlyANewOrEmptyRegularFile)
{
    for (const OpenCase& c : open_cases) {
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
    ZelRecord debug{ZEL_DEBUG, 1}, unknown{200, 1}, seal{ZEL_SEAL, 1};
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
    ZelRecord done{ZEL_DONE, 5};
    EXPECT_EQ(zel_record_write(w, &done), 0);
    sk[40] ^= 1;
    EXPECT_EQ(zel_writer_set_signing_key(w, sk), -1); // too late
    EXPECT_EQ(zel_writer_close(w), 0);
    ReadResult r = read_memory(read_file(dir.file("x.zel")), true);
    EXPECT_EQ(r.status, ZEL_READ_END);
    ASSERT_EQ(r.records.size(), 2u); // a seal and the end
    EXPECT_EQ(r.records[0]->timestamp, 5u);
}

// A keyframe after 30 s of changes, and after the block-size interval; each
// holds the screen the records before it made, copies included.
TEST(Writer, KeyframesFollowTheScreenThroughCopies)
{
    Records rs;
    add_header(rs, t0, 64, 64);
    add_block(rs, t0 + 1, 0, 0, 64, 64, 1);
    add_copy(rs, t0 + 2'000'000, {{0, 8, 64, 56, 0, 0}});
    add_block(rs, t0 + 2'000'000, 0, 56, 64, 8, 2);
    *rs.add<ZelCursorPosition>(ZEL_CURSOR_POSITION, t0 + 29'000'000) = {ZEL_CURSOR_POSITION, t0 + 29'000'000,
                                                                        1, 1};
    *rs.add<ZelCursorPosition>(ZEL_CURSOR_POSITION, t0 + 31'000'000) = {ZEL_CURSOR_POSITION, t0 + 31'000'000,
                                                                        2, 2};
    TempDir dir;
    ASSERT_TRUE(write_recording(dir.file("k.zel"), rs, nullptr, 64 * 64 * 4 + 8));
    ReadResult r = read_memory(read_file(dir.file("k.zel")), true);
    std::string order;
    for (auto& rec : r.records) order += rec->type == ZEL_KEYFRAME ? 'K' : rec->type == ZEL_SEAL ? 'S' : '.';
    EXPECT_EQ(order, "..KS...S.KS"); // the block interval, 10 s, then 30 s of changes
    ZelReplay* replay = zel_replay_new();
    for (auto& rec : r.records) {
        if (rec->type != ZEL_KEYFRAME) {
            ASSERT_EQ(zel_replay_apply(replay, rec.get()), 0);
            continue;
        }
        ZelImage* key = zel_image_decompress(reinterpret_cast<ZelCompressedImage*>(rec.get()));
        uint32_t stride = 0;
        EXPECT_EQ(std::memcmp(key->data, zel_replay_canvas(replay, &stride), key->length), 0);
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
        add_header(rs, t0, 16, 16);
        for (int i = 0; i < 40; ++i) add_block(rs, t0 + 1 + static_cast<uint64_t>(i), 0, 0, 8, 8, i);
        int failed_at = -1;
        for (size_t i = 0; i < rs.size() && failed_at < 0; ++i)
            if (zel_record_write(w, rs[i]) != 0) failed_at = static_cast<int>(i);
        uint8_t digest[32], file_digest[32];
        zel_writer_digest(w, digest);
        std::vector<uint8_t> file = read_file(p);
        crypto_hash_sha256(file_digest, file.data(), file.size());
        ::_exit(failed_at > 0 && std::memcmp(digest, file_digest, 32) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_memory(read_file(p)).status, ZEL_READ_TRUNCATED);
}

// The compressor threads compress while the writer thread writes (and makes
// keyframes and seals): every thread has its own contexts.
TEST(Threads, CompressingAndWritingAtOnce)
{
    Records a, b;
    add_header(a, t0, 64, 64);
    std::thread ta([&a] {
        for (int i = 0; i < 40; ++i)
            add_block(a, t0 + 1 + static_cast<uint64_t>(i) * 1'000'000, 0, 0, 32, 32, i);
    });
    std::thread tb([&b] {
        for (int i = 0; i < 40; ++i) add_block(b, t0 + 50'000'000, 32, 32, 32, 32, i);
    });
    ta.join();
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("t.zel").c_str());
    zel_writer_set_keyframe_interval(w, 10'000);
    for (ZelRecord* r : a) EXPECT_EQ(zel_record_write(w, r), 0);
    tb.join();
    for (ZelRecord* r : b) EXPECT_EQ(zel_record_write(w, r), 0);
    ZelRecord done{ZEL_DONE, t0 + 60'000'000};
    EXPECT_EQ(zel_record_write(w, &done), 0);
    EXPECT_EQ(zel_writer_close(w), 0);
    EXPECT_EQ(verify_memory(read_file(dir.file("t.zel"))).verdict, ZEL_VERDICT_COMPLETE);
}

TEST(Records, NamesAndFreeingOfEveryType)
{
    std::set<std::string> names;
    for (int t = 0; t <= 255; ++t) {
        names.insert(zel_record_type_to_string(static_cast<ZelRecordType>(t)));
        auto* r = static_cast<ZelRecord*>(std::calloc(1, 256));
        r->type = static_cast<uint8_t>(t);
        zel_record_free(r); // null pointer fields are skipped
    }
    EXPECT_EQ(names.size(), 22u); // 0..19, keyframe, and "unknown"
    EXPECT_STREQ(zel_record_type_to_string(ZEL_COPY), "copy");
    EXPECT_STREQ(zel_record_type_to_string(static_cast<ZelRecordType>(300)), "unknown");
}

TEST(Pixels, StrideFollowsTheZPixmapRule)
{
    const uint32_t cases[][4] = {{37, 8, 32, 40}, {37, 8, 8, 37}, {37, 16, 32, 76}, {37, 32, 32, 148},
                                 {1, 32, 64, 8},  {0, 32, 32, 0}, {5, 8, 0, 5},     {65535, 32, 32, 262140}};
    for (const auto& c : cases)
        EXPECT_EQ(stride_in_bytes(c[0], static_cast<uint8_t>(c[1]), static_cast<uint8_t>(c[2])), c[3]);
    EXPECT_EQ(pixel_format_bytes_per_pixel(FORMAT_NOT_FOUND), 0);
    EXPECT_EQ(pixel_format_bytes_per_pixel(BGR233), 1);
    EXPECT_EQ(pixel_format_bytes_per_pixel(RGB565), 2);
    EXPECT_EQ(pixel_format_bytes_per_pixel(BGRA8888), 4);
}

} // namespace
