// The record writer thread, each case in a child process of its own (the
// writer's state is per process): records reach the file in order, the size
// limit stops the recording, and a file that cannot be written ends it with
// a failure status while late records are freed and never block.
#include "backend.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "child_process.h"
#include "debugging.h"
#include "timer.h"
#include "zel.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

namespace fs = std::filesystem;
using test_support::ChildResult;
using test_support::OutputTap;
using test_support::run_in_child;

// Child exit codes.
enum : int { CHILD_OK = 0, SEND_REFUSED = 20, LEAKED = 21, STEP_MISSED = 22, SEND_ACCEPTED_LATE = 23 };

class TempDir {
  public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "backend-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        path_ = pattern;
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// What main does before the writer starts: the options, then the clock.
void prepare(const std::string& file)
{
    static std::string program = "test", display = ":99", name;
    name = file;
    char* argv[] = {program.data(), display.data(), name.data(), nullptr};
    cli_parse_arguments(3, argv);
    time_start();
}

ZelRecord* footer(uint64_t timestamp, const std::string& text)
{
    auto* r = static_cast<ZelFooterItem*>(calloc(1, sizeof(ZelFooterItem)));
    r->type = ZEL_FOOTER_ITEM_APP;
    r->timestamp = timestamp;
    r->item = reinterpret_cast<uint8_t*>(strdup(text.c_str()));
    return reinterpret_cast<ZelRecord*>(r);
}

ZelRecord* position(uint64_t timestamp, int16_t x, int16_t y)
{
    auto* r = static_cast<ZelCursorPosition*>(calloc(1, sizeof(ZelCursorPosition)));
    r->type = ZEL_CURSOR_POSITION;
    r->timestamp = timestamp;
    r->x = x;
    r->y = y;
    return reinterpret_cast<ZelRecord*>(r);
}

// A one-pixel image: the smallest record that causes a size check.
ZelRecord* image(uint64_t timestamp)
{
    auto* r = static_cast<ZelImage*>(calloc(1, sizeof(ZelImage)));
    r->type = ZEL_IMAGE;
    r->timestamp = timestamp;
    r->width = 1;
    r->height = 1;
    r->pixel_format = xRGB8888;
    r->scanline_pad = 32;
    r->bytes_per_line = 4;
    r->length = 4;
    r->data = static_cast<uint8_t*>(calloc(1, 4));
    return reinterpret_cast<ZelRecord*>(r);
}

bool send(ZelRecord* record)
{
    if (send_to_backend(&record)) return true;
    zel_record_free(record);
    return false;
}

bool no_leaks()
{
    return __lsan_do_recoverable_leak_check == nullptr || __lsan_do_recoverable_leak_check() == 0;
}

struct ReadBack {
    std::vector<ZelRecord*> records;
    ZelReadStatus status = ZEL_READ_ERROR;
    ~ReadBack()
    {
        for (ZelRecord* r : records) zel_record_free(r);
    }
};

void read_back(const std::string& file, ReadBack& out)
{
    ZelReader* reader = zel_reader_open(file.c_str());
    ASSERT_NE(reader, nullptr) << file << ": " << strerror(errno);
    for (;;) {
        ZelRecord* r = nullptr;
        out.status = zel_reader_next(reader, &r);
        if (out.status != ZEL_READ_RECORD) break;
        out.records.push_back(r);
    }
    zel_reader_close(reader);
}

TEST(Backend, RecordsOfSeveralSendersReachTheFileInEachSendersOrder)
{
    TempDir dir;
    std::string file = (dir.path() / "rec.zel").string();
    constexpr int senders = 4;
    constexpr int per_sender = 3000; // together more than the queue holds
    ChildResult r = run_in_child([&] {
        prepare(file);
        backend_thread_start();
        if (!send(footer(1, "first"))) return int{SEND_REFUSED};
        std::vector<std::thread> threads;
        std::atomic<bool> refused{false};
        for (int t = 0; t < senders; t++)
            threads.emplace_back([t, &refused] {
                for (int i = 0; i < per_sender; i++)
                    if (!send(position(time_in_us(), static_cast<int16_t>(t), static_cast<int16_t>(i))))
                        refused = true;
            });
        for (auto& th : threads) th.join();
        if (!send(footer(2, "last"))) return int{SEND_REFUSED};
        backend_thread_stop();
        if (refused) return int{SEND_REFUSED};
        // Nothing is left to leak: every record the writer took was freed.
        if (!no_leaks()) return int{LEAKED};
        return backend_exit_status();
    });
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, CHILD_OK) << r.err;
    EXPECT_EQ(r.out, "") << "no console line outside debug mode";

    ReadBack back;
    read_back(file, back);
    ASSERT_EQ(back.status, ZEL_READ_END);
    ASSERT_EQ(back.records.size(), 2u + senders * per_sender + 1u);
    auto* first = reinterpret_cast<ZelFooterItem*>(back.records.front());
    ASSERT_EQ(first->type, ZEL_FOOTER_ITEM_APP);
    EXPECT_STREQ(reinterpret_cast<char*>(first->item), "first");
    auto* last = reinterpret_cast<ZelFooterItem*>(back.records[back.records.size() - 2]);
    ASSERT_EQ(last->type, ZEL_FOOTER_ITEM_APP);
    EXPECT_STREQ(reinterpret_cast<char*>(last->item), "last");
    EXPECT_EQ(back.records.back()->type, ZEL_DONE);

    std::vector<int> next(senders, 0);
    for (size_t k = 1; k + 2 < back.records.size(); k++) {
        auto* p = reinterpret_cast<ZelCursorPosition*>(back.records[k]);
        ASSERT_EQ(p->type, ZEL_CURSOR_POSITION);
        ASSERT_GE(p->x, 0);
        ASSERT_LT(p->x, senders);
        ASSERT_EQ(p->y, next[static_cast<size_t>(p->x)]) << "sender " << p->x;
        next[static_cast<size_t>(p->x)]++;
    }
    // The end-of-data record is stamped when the stop asks for it.
    EXPECT_GE(back.records.back()->timestamp, back.records[back.records.size() - 3]->timestamp);
}

// Replaces the file at the recording's path by a sparse one of the given
// size; the writer keeps writing to the file it opened, so the size that
// the check sees is exactly this one.
bool put_file_of_size(const fs::path& dir, const std::string& file, off_t size)
{
    fs::path big = dir / "big";
    int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok && rename(big.c_str(), file.c_str()) == 0;
}

TEST(Backend, FileOfExactlyTheLimitGoesOnAndOneByteMoreStopsAtTheNextCheck)
{
    TempDir dir;
    std::string file = (dir.path() / "rec.zel").string();
    ChildResult r = run_in_child([&] {
        OutputTap tap;
        debugging_set(true);
        prepare(file);
        backend_thread_start();
        // Once the second record is taken, the first is in the file.
        send(footer(1, "a"));
        send(footer(2, "b"));
        if (!tap.wait_for("backend_loop: record 1 type")) return int{STEP_MISSED};

        if (!put_file_of_size(dir.path(), file, MAX_FILE_SIZE)) return int{STEP_MISSED};
        send(image(3));
        if (!tap.wait_for("check_file_size: file size=262144000")) return int{STEP_MISSED};
        // Every record type but the images leaves the size alone.
        if (!put_file_of_size(dir.path(), file, MAX_FILE_SIZE + 1)) return int{STEP_MISSED};
        printf("-- grown\n");
        for (int i = 0; i < 20; i++) send(footer(4, "c"));
        send(position(5, 1, 2));
        send(footer(6, "d"));
        // Records 3 to 24: all taken and none of them checked.
        if (!tap.wait_for("backend_loop: record 24 type")) return int{STEP_MISSED};
        printf("-- images\n");
        // The next check is due within a second: send images until it comes.
        while (!tap.wait_for("frontend_stop: stopping frontend", std::chrono::milliseconds(0))) {
            send(image(7));
            if (!tap.wait_for("backend_loop: record", std::chrono::seconds(10))) return int{STEP_MISSED};
            usleep(2000);
        }
        backend_thread_stop();
        printf("%s", tap.finish().c_str());
        // Reaching the limit is an orderly end.
        return backend_exit_status();
    });
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, CHILD_OK) << r.out << r.err;

    std::string out = r.out;
    auto grown = out.find("-- grown\n");
    auto images = out.find("-- images\n");
    ASSERT_NE(grown, std::string::npos) << out;
    ASSERT_NE(images, std::string::npos) << out;
    std::string before = out.substr(0, grown), between = out.substr(grown, images - grown),
                after = out.substr(images);
    EXPECT_NE(before.find("check_file_size: file size=262144000\n"), std::string::npos) << before;
    EXPECT_EQ(before.find("file larger"), std::string::npos) << before;
    EXPECT_EQ(before.find("stopping frontend"), std::string::npos) << before;
    EXPECT_EQ(between.find("check_file_size"), std::string::npos) << between;
    EXPECT_NE(after.find("check_file_size: file size=262144001\n"), std::string::npos) << after;
    EXPECT_NE(after.find("check_file_size: file larger than 262144000 -> exiting\n"), std::string::npos)
        << after;
    // The writer went on until the end-of-data record.
    EXPECT_NE(after.find("backend_thread_stop: collected backend thread"), std::string::npos) << after;
}

TEST(Backend, FirstImageRecordChecksTheSizeAndASmallFileIsNotCheckedAgainSoon)
{
    TempDir dir;
    std::string file = (dir.path() / "rec.zel").string();
    ChildResult r = run_in_child([&] {
        OutputTap tap;
        debugging_set(true);
        prepare(file);
        uint64_t start = time_in_us();
        backend_thread_start();
        for (int i = 0; i < 50; i++) send(image(static_cast<uint64_t>(i)));
        backend_thread_stop();
        uint64_t elapsed = time_in_us() - start;
        printf("%s", tap.finish().c_str());
        printf("-- elapsed %llu\n", static_cast<unsigned long long>(elapsed));
        return backend_exit_status();
    });
    ASSERT_FALSE(r.timed_out);
    ASSERT_EQ(r.status, CHILD_OK) << r.out << r.err;
    auto lines = test_support::lines_of(r.out);
    int checks = 0;
    for (const auto& l : lines) checks += l.find("check_file_size: file size=") != std::string::npos;
    unsigned long long elapsed = 0;
    ASSERT_EQ(sscanf(lines.back().c_str(), "-- elapsed %llu", &elapsed), 1);
    if (elapsed < 5000000) {
        EXPECT_EQ(checks, 1) << r.out;
    } else {
        EXPECT_GE(checks, 1) << r.out;
    }
    EXPECT_EQ(r.out.find("stopping frontend"), std::string::npos);
}

TEST(Backend, FileThatCannotBeOpenedStopsTheRecordingWithStatusOne)
{
    TempDir dir;
    std::string file = (dir.path() / "missing" / "rec.zel").string();
    ChildResult r = run_in_child([&] {
        OutputTap tap;
        debugging_set(true);
        prepare(file);
        backend_thread_start();
        // Far more than the queue holds: the writer must keep taking them.
        for (int i = 0; i < 10000; i++)
            if (!send(i % 2 ? footer(static_cast<uint64_t>(i), "late") : image(static_cast<uint64_t>(i))))
                return int{SEND_REFUSED};
        backend_thread_stop();
        // After the stop the queue is gone: a send is refused and the record stays the sender's.
        ZelRecord* after_stop = footer(1, "after stop");
        if (send_to_backend(&after_stop)) return int{SEND_ACCEPTED_LATE};
        zel_record_free(after_stop);
        printf("%s", tap.finish().c_str());
        if (!no_leaks()) return int{LEAKED};
        return backend_exit_status();
    });
    ASSERT_FALSE(r.timed_out) << "a late record blocked its sender";
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("frontend_stop: stopping frontend"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("backend_thread_stop: collected backend thread"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("opened file"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(file));
}

TEST(Backend, FailedWriteEndsTheFileWithTheRecordsBeforeItAndStatusOne)
{
    TempDir dir;
    std::string file = (dir.path() / "rec.zel").string();
    constexpr rlim_t limit = 64 * 1024;
    ChildResult r = run_in_child([&] {
        // Writes past this size fail with EFBIG instead of raising SIGXFSZ.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl {
            limit, limit
        };
        setrlimit(RLIMIT_FSIZE, &rl);
        OutputTap tap;
        debugging_set(true);
        prepare(file);
        backend_thread_start();
        std::string text(1000, 'x');
        for (int i = 0; i < 6000; i++)
            if (!send(footer(static_cast<uint64_t>(i), text))) return int{SEND_REFUSED};
        backend_thread_stop();
        printf("%s", tap.finish().c_str());
        if (!no_leaks()) return int{LEAKED};
        return backend_exit_status();
    });
    ASSERT_FALSE(r.timed_out) << "a late record blocked its sender";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("frontend_stop: stopping frontend"), std::string::npos);
    EXPECT_NE(r.out.find("backend_function: opened file"), std::string::npos);

    ReadBack back;
    read_back(file, back);
    // Every frame before the failed one is whole; the file just stops.
    EXPECT_EQ(back.status, ZEL_READ_TRUNCATED);
    ASSERT_GT(back.records.size(), 10u);
    EXPECT_LT(back.records.size(), 6000u);
    for (size_t i = 0; i < back.records.size(); i++) {
        ASSERT_EQ(back.records[i]->type, ZEL_FOOTER_ITEM_APP);
        ASSERT_EQ(back.records[i]->timestamp, i);
    }
    EXPECT_LE(fs::file_size(file), limit);
}

} // namespace
