// The file format through the public API: what is written reads back equal
// and in order; cut or damaged files are told apart from complete ones;
// opening never destroys a recording.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

class Recording : public ::testing::Test {
  protected:
    void SetUp() override
    {
        records = sample_records();
        path = dir.file("rec.zel");
        ASSERT_TRUE(write_recording(path, records));
        bytes = read_file(path);
        ASSERT_GT(bytes.size(), 16u);
    }
    void TearDown() override { free_records(records); }

    TempDir dir;
    std::string path;
    std::vector<ZelRecord*> records;
    std::vector<uint8_t> bytes;
};

TEST_F(Recording, EveryRecordTypeReadsBackEqualAndInOrder)
{
    ReadResult file = read_path(path);
    EXPECT_EQ(file.status, ZEL_READ_END) << file.problem;
    ASSERT_EQ(file.records.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_TRUE(records_equal(records[i], file.records[i].get())) << "record " << i;

    // The same bytes from memory give the same records and offsets.
    ReadResult memory = read_memory(bytes, bytes.size());
    EXPECT_EQ(memory.status, ZEL_READ_END);
    ASSERT_EQ(memory.records.size(), records.size());
    EXPECT_EQ(memory.offsets, file.offsets);
    EXPECT_EQ(file.offsets.front(), 16u);
    EXPECT_EQ(file.ends.back(), bytes.size());
}

TEST_F(Recording, NullAndEmptyStringsStayDistinct)
{
    ReadResult file = read_path(path);
    ASSERT_EQ(file.status, ZEL_READ_END);
    auto* h = reinterpret_cast<ZelHeader*>(file.records[0].get());
    ASSERT_NE(h->tfn, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(h->tfn), "");
    EXPECT_EQ(h->palette, nullptr);
    auto* li = reinterpret_cast<ZelLastInput*>(file.records[6].get());
    EXPECT_EQ(li->tfn, nullptr);
}

TEST_F(Recording, CompressedImagesDecompressToTheirInput)
{
    ReadResult file = read_path(path);
    ASSERT_EQ(file.status, ZEL_READ_END);
    auto* c = reinterpret_cast<ZelCompressedImage*>(file.records[1].get());
    ASSERT_EQ(c->type, ZEL_COMPRESSED_IMAGE);
    ZelImage* i = zel_image_decompress(c);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->length, 64u * 48 * 4);
    EXPECT_EQ(i->bytes_per_line, 256u);
    for (size_t k = 0; k < i->length; ++k)
        ASSERT_EQ(i->data[k], static_cast<uint8_t>((k / 4) % 64 * 3 + (k % 4) * 17)) << k;
    zel_record_free(i);

    auto* cb = reinterpret_cast<ZelCompressedImageBlocks*>(file.records[2].get());
    ZelImageBlocks* b = zel_image_blocks_decompress(cb);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->length, 8u + 32 * 16 * 4);
    for (size_t k = 8; k < b->length; ++k) ASSERT_EQ(b->data[k], static_cast<uint8_t>(k * 7));
    zel_record_free(b);

    // Damaged compressed bytes or a wrong declared length are refused, never overrun.
    std::vector<uint8_t> copy(c->data, c->data + c->compressed_length);
    ZelCompressedImage bad = *c;
    bad.data = copy.data();
    bad.length = c->length + 1;
    errno = 0;
    EXPECT_EQ(zel_image_decompress(&bad), nullptr);
    EXPECT_EQ(errno, EINVAL);
    bad.length = c->length;
    for (size_t k = 6; k < copy.size(); ++k) copy[k] ^= 0x5A;
    EXPECT_EQ(zel_image_decompress(&bad), nullptr);
    bad.compressed_length = 3;
    EXPECT_EQ(zel_image_decompress(&bad), nullptr);
}

// A recorder killed at any moment: every prefix of the file reads as exactly
// the records that were complete before the cut, and as truncated.
TEST_F(Recording, EveryCutReadsTheCompleteRecordsBeforeItAsTruncated)
{
    ReadResult whole = read_memory(bytes, bytes.size());
    ASSERT_EQ(whole.status, ZEL_READ_END);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        ReadResult r = read_memory(prefix, prefix.size());
        size_t complete = 0;
        while (complete < whole.ends.size() && whole.ends[complete] <= cut) ++complete;
        ASSERT_EQ(r.status, ZEL_READ_TRUNCATED) << "cut at " << cut << ": " << r.problem;
        ASSERT_EQ(r.records.size(), complete) << "cut at " << cut;
        for (size_t i = 0; i < complete; ++i)
            ASSERT_TRUE(records_equal(records[i], r.records[i].get())) << "cut at " << cut;
        uint64_t expected_at = complete == 0 ? (cut < 16 ? 0 : 16) : whole.ends[complete - 1];
        ASSERT_EQ(r.problem_offset, expected_at) << "cut at " << cut;
    }
}

// Any single flipped bit is reported as corruption at the frame that holds it.
TEST_F(Recording, EveryFlippedBitIsCorruptionAtItsFrame)
{
    ReadResult whole = read_memory(bytes, bytes.size());
    for (size_t at = 0; at < bytes.size(); ++at) {
        uint64_t frame = at < 16 ? 0 : 16;
        for (size_t i = 0; i < whole.offsets.size(); ++i)
            if (whole.offsets[i] <= at) frame = whole.offsets[i];
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> copy = bytes;
            copy[at] ^= static_cast<uint8_t>(1u << bit);
            ReadResult r = read_memory(copy, copy.size());
            ASSERT_EQ(r.status, ZEL_READ_CORRUPT) << "byte " << at << " bit " << bit;
            ASSERT_EQ(r.problem_offset, frame) << "byte " << at << " bit " << bit << ": " << r.problem;
        }
    }
}

TEST_F(Recording, DataAfterTheEndIsCorruptAndStatusesStay)
{
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    ReadResult r = read_memory(longer, longer.size());
    EXPECT_EQ(r.status, ZEL_READ_CORRUPT);
    EXPECT_EQ(r.problem_offset, bytes.size());
    EXPECT_EQ(r.records.size(), records.size());

    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    ReadResult first = read_all(reader);
    ZelRecord* rec = reinterpret_cast<ZelRecord*>(1);
    EXPECT_EQ(zel_reader_next(reader, &rec), ZEL_READ_END);
    EXPECT_EQ(rec, nullptr);
    // Seeking back to a frame offset reads on from there.
    ASSERT_EQ(zel_reader_seek(reader, first.offsets[4]), 0);
    ReadResult rest = read_all(reader);
    EXPECT_EQ(rest.status, ZEL_READ_END);
    EXPECT_EQ(rest.records.size(), records.size() - 4);
    EXPECT_EQ(zel_reader_seek(reader, bytes.size() + 1), -1);
    zel_reader_close(reader);
}

TEST(Reader, NoFileAndOtherFilesAreTold)
{
    TempDir dir;
    EXPECT_EQ(zel_reader_open(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(zel_reader_open(dir.path().c_str()), nullptr);

    std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
    EXPECT_EQ(read_memory(text, text.size()).status, ZEL_READ_CORRUPT);
    std::vector<uint8_t> none;
    EXPECT_EQ(read_memory(none, 0).status, ZEL_READ_TRUNCATED);
    EXPECT_EQ(zel_reader_next(nullptr, nullptr), ZEL_READ_ERROR);
}

TEST(Writer, NewFileIsPrivateAndStartsWithTheFileHead)
{
    TempDir dir;
    mode_t old = ::umask(0);
    ZelWriter* w = zel_writer_open(dir.file("a.zel").c_str());
    ::umask(old);
    ASSERT_NE(w, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("a.zel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 16); // the file head is on disk at once
    EXPECT_EQ(zel_writer_close(w), 0);
    EXPECT_EQ(read_path(dir.file("a.zel")).status, ZEL_READ_TRUNCATED);
}

TEST(Writer, ExistingRecordingIsNeverTouched)
{
    TempDir dir;
    std::string p = dir.file("old.zel");
    write_file(p, {'k', 'e', 'e', 'p'});
    errno = 0;
    EXPECT_EQ(zel_writer_open(p.c_str()), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(p), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(zel_writer_open(dir.path().c_str()), nullptr);
    EXPECT_EQ(zel_writer_open(dir.file("no/such/dir.zel").c_str()), nullptr);
    EXPECT_EQ(zel_writer_open(nullptr), nullptr);
}

TEST(Writer, ExistingEmptyFileIsUsed)
{
    TempDir dir;
    std::string p = dir.file("made-by-service.zel");
    write_file(p, {});
    ::chmod(p.c_str(), 0640);
    std::vector<ZelRecord*> records = sample_records();
    EXPECT_TRUE(write_recording(p, records));
    ReadResult r = read_path(p);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.records.size(), records.size());
    free_records(records);
}

TEST(Writer, RefusesWhatCannotBeStored)
{
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("x.zel").c_str());
    ASSERT_NE(w, nullptr);
    ZelRecord debug{};
    debug.type = ZEL_DEBUG;
    EXPECT_EQ(zel_record_write(w, &debug), -1);
    ZelRecord unknown{};
    unknown.type = 200;
    EXPECT_EQ(zel_record_write(w, &unknown), -1);
    ZelImageBlocks missing{};
    missing.type = ZEL_IMAGE_BLOCKS;
    missing.length = 10; // and no data
    EXPECT_EQ(zel_record_write(w, &missing), -1);
    EXPECT_EQ(zel_record_write(w, nullptr), -1);
    ZelRecord* done = zel_record_done();
    EXPECT_EQ(zel_record_write(nullptr, done), -1);
    // Refused records leave nothing behind: the file still reads cleanly.
    EXPECT_EQ(zel_record_write(w, done), 0);
    zel_record_free(done);
    EXPECT_EQ(zel_writer_close(w), 0);
    ReadResult r = read_path(dir.file("x.zel"));
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.records.size(), 1u);
    EXPECT_EQ(zel_writer_close(nullptr), -1);
}

TEST(Records, FreeSkipsNullFieldsOfEveryType)
{
    for (int t : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 128, 255}) {
        auto* r = static_cast<ZelRecord*>(std::calloc(1, 64));
        r->type = static_cast<uint8_t>(t);
        zel_record_free(r); // the sanitizer builds catch a bad free
    }
    zel_record_free(nullptr);
    ZelRecord* d = zel_record_done();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, ZEL_DONE);
    zel_record_free(d);
}

TEST(Records, NamesAreDistinct)
{
    std::set<std::string> names;
    for (int t = 0; t <= 16; ++t) names.insert(zel_record_type_to_string(static_cast<ZelRecordType>(t)));
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(zel_record_type_to_string(ZEL_KEYFRAME), "keyframe");
    EXPECT_STREQ(zel_record_type_to_string(ZEL_TYPE_UNKNOWN), "unknown");
    EXPECT_STREQ(zel_record_type_to_string(static_cast<ZelRecordType>(99)), "unknown");
}

TEST(Pixels, StrideFollowsTheZPixmapRule)
{
    EXPECT_EQ(stride_in_bytes(37, 8, 32), 40u);
    EXPECT_EQ(stride_in_bytes(37, 8, 8), 37u);
    EXPECT_EQ(stride_in_bytes(37, 16, 32), 76u);
    EXPECT_EQ(stride_in_bytes(37, 16, 16), 74u);
    EXPECT_EQ(stride_in_bytes(37, 32, 32), 148u);
    EXPECT_EQ(stride_in_bytes(1, 32, 64), 8u);
    EXPECT_EQ(stride_in_bytes(0, 32, 32), 0u);
    EXPECT_EQ(stride_in_bytes(5, 8, 0), 5u); // no pad given: whole bytes, no division by zero
    EXPECT_EQ(stride_in_bytes(65535, 32, 32), 65535u * 4);
}

TEST(Pixels, BytesPerPixelOfEveryFormat)
{
    EXPECT_EQ(pixel_format_bytes_per_pixel(FORMAT_NOT_FOUND), 0);
    EXPECT_EQ(pixel_format_bytes_per_pixel(FORMAT_UNKNOWN), 0);
    for (PixelFormat f : {PALETTE8, RGB332, BGR233}) EXPECT_EQ(pixel_format_bytes_per_pixel(f), 1);
    for (PixelFormat f : {RGB565, BGR565}) EXPECT_EQ(pixel_format_bytes_per_pixel(f), 2);
    for (int f = xRGB8888; f <= BGRA8888; ++f)
        EXPECT_EQ(pixel_format_bytes_per_pixel(static_cast<PixelFormat>(f)), 4);
}

} // namespace

namespace {

// The smallest complete recording, byte for byte as docs/zel-format.md shows
// it: pins the magic, the frame layout and the CRC-32C variant.
TEST(Format, TheDocumentedExampleIsByteExact)
{
    const std::vector<uint8_t> file = {0x89, 0x5A, 0x45, 0x4C, 0x0D, 0x0A, 0x1A, 0x0A, 0x01, 0x00,
                                       0x00, 0x00, 0x5E, 0xAF, 0xCF, 0x31, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x1E, 0x18, 0x24, 0x0A,
                                       0x06, 0x00, 0xC5, 0x50, 0x07, 0x09, 0xC7, 0x4B, 0x67, 0x48};
    ReadResult r = read_memory(file, file.size());
    EXPECT_EQ(r.status, ZEL_READ_END) << r.problem;
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0]->type, ZEL_DONE);
    EXPECT_EQ(r.records[0]->timestamp, 1'700'000'000'000'000ull);

    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("d.zel").c_str());
    ZelRecord done{ZEL_DONE, 1'700'000'000'000'000ull};
    ASSERT_EQ(zel_record_write(w, &done), 0);
    ASSERT_EQ(zel_writer_close(w), 0);
    EXPECT_EQ(read_file(dir.file("d.zel")), file);
}

} // namespace

namespace {

// What the writing child writes as record i: cursor positions and block
// records of varying sizes, all derived from i.
ZelRecord* killed_writer_record(uint64_t i)
{
    if (i % 2 == 0) {
        auto* p = make<ZelCursorPosition>(ZEL_CURSOR_POSITION, 1000 + i);
        p->x = static_cast<int16_t>(i);
        p->y = static_cast<int16_t>(i >> 16);
        return reinterpret_cast<ZelRecord*>(p);
    }
    std::vector<uint8_t> data(1000 + i % 7000);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>((k * 31 + i) ^ (k >> 5));
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, 1000 + i, static_cast<uint32_t>(data.size()), data.data()};
    return reinterpret_cast<ZelRecord*>(zel_image_blocks_compress(&b));
}

TEST(Writer, KilledWriterLeavesEveryCompleteRecordReadable)
{
    TempDir dir;
    const std::string p = dir.file("killed.zel");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ZelWriter* w = zel_writer_open(p.c_str());
        if (w == nullptr) ::_exit(1);
        for (uint64_t i = 0;; ++i) {
            ZelRecord* r = killed_writer_record(i);
            if (zel_record_write(w, r) != 0) ::_exit(2);
            zel_record_free(r);
        }
    }
    // Kill it once it has written a good part of a megabyte.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat st {};
    while ((::stat(p.c_str(), &st) != 0 || st.st_size < 600'000) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with status " << WEXITSTATUS(status);

    ReadResult r = read_path(p);
    EXPECT_EQ(r.status, ZEL_READ_TRUNCATED) << r.problem;
    EXPECT_GT(r.records.size(), 100u);
    EXPECT_EQ(r.problem_offset, r.ends.empty() ? 16 : r.ends.back());
    for (size_t i = 0; i < r.records.size(); ++i) {
        ZelRecord* expected = killed_writer_record(i);
        ASSERT_TRUE(records_equal(expected, r.records[i].get())) << "record " << i;
        zel_record_free(expected);
    }
}

} // namespace

namespace {

// The compressor thread compresses while the writer thread writes (and adds
// keyframes, compressing too): each thread has its own contexts.
TEST(Threads, CompressingAndWritingAtOnce)
{
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("t.zel").c_str());
    ASSERT_NE(w, nullptr);
    zel_writer_set_keyframe_interval(w, 10'000);
    ZelHeader h{ZEL_HEADER, 1, 1, 24, 64, 64, xRGB8888, 32, 0, nullptr, 8, 255, nullptr, nullptr};
    ASSERT_EQ(zel_record_write(w, &h), 0);
    auto work = [](int seed, std::vector<ZelRecord*>* out) {
        std::vector<uint8_t> data(8 + 32 * 32 * 4);
        for (int i = 0; i < 40; ++i) {
            int16_t x = static_cast<int16_t>((i % 2) * 32), y = static_cast<int16_t>(((i / 2) % 2) * 32);
            uint16_t s = 32;
            std::memcpy(data.data(), &x, 2);
            std::memcpy(data.data() + 2, &y, 2);
            std::memcpy(data.data() + 4, &s, 2);
            std::memcpy(data.data() + 6, &s, 2);
            for (size_t k = 8; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * seed + i);
            ZelImageBlocks b{ZEL_IMAGE_BLOCKS, static_cast<uint64_t>(10 + i),
                             static_cast<uint32_t>(data.size()), data.data()};
            ZelCompressedImageBlocks* c = zel_image_blocks_compress(&b);
            ZelImageBlocks* back = zel_image_blocks_decompress(c);
            EXPECT_TRUE(back != nullptr && back->length == b.length &&
                        std::memcmp(back->data, data.data(), data.size()) == 0);
            zel_record_free(back);
            out->push_back(reinterpret_cast<ZelRecord*>(c));
        }
    };
    std::vector<ZelRecord*> a, b;
    std::thread ta(work, 3, &a), tb(work, 5, &b);
    ta.join();
    // Writer on this thread while the second compressor may still run.
    for (ZelRecord* r : a) EXPECT_EQ(zel_record_write(w, r), 0);
    tb.join();
    for (ZelRecord* r : b) EXPECT_EQ(zel_record_write(w, r), 0);
    std::thread freer([&a] { free_records(a); });
    free_records(b);
    freer.join();
    ZelRecord done{ZEL_DONE, 100};
    ASSERT_EQ(zel_record_write(w, &done), 0);
    ASSERT_EQ(zel_writer_close(w), 0);
    ZelReader* reader = zel_reader_open(dir.file("t.zel").c_str());
    zel_reader_show_keyframes(reader, 1);
    ReadResult r = read_all(reader);
    zel_reader_close(reader);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_GT(r.records.size(), 82u); // keyframes were added
}

} // namespace
