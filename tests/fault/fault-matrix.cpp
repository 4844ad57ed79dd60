// The fault matrix: every way a recording can end, on a real display with a
// window-managing client and a workload drawing all the time.  Each case
// checks the exit status, that the file verifies, and that what was written
// before the stop is still there.  The recorder runs in a private mount
// namespace so that its journal entries come to the test.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "fault-support.h"

using namespace std::chrono_literals;

namespace {

using fault::Recording;

bool running_with_images(const Recording& r)
{
    return r.count(ZEL_HEADER) == 1 && r.images() >= 1;
}

class FaultMatrix : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!fault::private_namespaces_available()) GTEST_SKIP() << "needs root for private mount namespaces";
        dir = xtest::temp_dir();
        file = dir + "/recording.zel";
    }

    // Display, window-managing client and a window repainted all the time.
    void start_display(const std::string& screen = "640x480x24", std::vector<std::string> workload = {})
    {
        x = std::make_unique<xtest::Xvfb>(xtest::XvfbOptions{screen, {}});
        seamless = std::make_unique<xtest::SeamlessSession>(x->display());
        if (workload.empty()) workload = {"random", "--fps", "25", "--geometry", "320x240+50+40"};
        load = std::make_unique<fault::Workload>(x->display(), workload);
    }

    void start_recorder(std::vector<std::string> extra = {}, fault::NamespaceOptions ns = {},
                        bool pipe_stdin = true, std::vector<int> keep_fds = {})
    {
        std::vector<std::string> argv = {RECORDER_PATH, "-sid", "fault-sid", "-user", "tester"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(x->display());
        argv.push_back(file);
        ns.journal_socket = journal.socket_path();
        xtest::ProcessOptions po;
        po.pipe_stdin = pipe_stdin;
        po.keep_fds = std::move(keep_fds);
        recorder = std::make_unique<xtest::Process>(fault::in_private_namespace(argv, ns), po);
    }

    // Sends a footer message and waits until its record is in the file:
    // from then on it is something written before any later stop.
    Recording mark(const std::string& text)
    {
        recorder->write_stdin("tid " + text + "\n");
        return fault::wait_for_recording(
            file, [&](const Recording& r) { return r.has_item(ZEL_FOOTER_ITEM_TID, text); }, recorder.get());
    }

    // The file of an orderly stop: complete, verifying, ending in end-of-data,
    // and holding what the earlier reading had.
    void expect_complete(const Recording& before)
    {
        std::string out;
        EXPECT_EQ(fault::zeldump_verify(file, &out), 0) << out;
        Recording after = fault::read_recording(file);
        EXPECT_EQ(after.status, ZEL_READ_END) << after.problem;
        ASSERT_FALSE(after.records.empty());
        EXPECT_EQ(after.records.back().type, ZEL_DONE);
        EXPECT_EQ(after.records.front().type, ZEL_HEADER);
        ASSERT_GE(after.records.size(), before.records.size());
        for (size_t i = 0; i < before.records.size(); ++i) {
            EXPECT_EQ(after.records[i].type, before.records[i].type) << "record " << i;
            EXPECT_EQ(after.records[i].timestamp, before.records[i].timestamp) << "record " << i;
            EXPECT_EQ(after.records[i].text, before.records[i].text) << "record " << i;
        }
        EXPECT_GE(after.images(), before.images());
    }

    std::string context()
    {
        return "journal:\n" + journal.dump() + "stderr:\n" + (recorder ? recorder->err() : "");
    }

    std::string dir, file;
    fault::JournalCapture journal;
    std::unique_ptr<xtest::Xvfb> x;
    std::unique_ptr<xtest::SeamlessSession> seamless;
    std::unique_ptr<fault::Workload> load;
    std::unique_ptr<xtest::Process> recorder;
};

// ---------------------------------------------------------------- signals

class StopSignal : public FaultMatrix, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsInOrderWithEverythingWrittenBefore)
{
    start_display();
    start_recorder();
    fault::wait_for_recording(file, running_with_images, recorder.get());
    Recording before = mark("before-signal");
    recorder->signal(GetParam());
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
    EXPECT_TRUE(fault::read_recording(file).has_item(ZEL_FOOTER_ITEM_SID, "fault-sid"));
}

INSTANTIATE_TEST_SUITE_P(Fault, StopSignal, ::testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return std::string(sigabbrev_np(i.param));
                         });

TEST_F(FaultMatrix, TwoSigtermsInARowEndOnce)
{
    start_display();
    start_recorder();
    fault::wait_for_recording(file, running_with_images, recorder.get());
    Recording before = mark("before-two-signals");
    recorder->signal(SIGTERM);
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
}

TEST_F(FaultMatrix, Sigusr1IsIgnoredAndRecordingGoesOn)
{
    start_display();
    start_recorder();
    Recording first = fault::wait_for_recording(file, running_with_images, recorder.get());
    recorder->signal(SIGUSR1);
    // Still recording: a message sent afterwards and new frames arrive.
    mark("after-usr1");
    Recording before = fault::wait_for_recording(
        file, [&](const Recording& r) { return r.images() >= first.images() + 3; }, recorder.get());
    EXPECT_TRUE(recorder->running());
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
}

// ---------------------------------------------------------------- standard input

TEST_F(FaultMatrix, StdinAtEndFromTheStartStopsAtOnce)
{
    start_display();
    start_recorder({}, {}, /*pipe_stdin=*/false); // the null device
    EXPECT_EQ(recorder->wait(), 0) << context();
    Recording header_only;
    expect_complete(header_only);
    EXPECT_TRUE(journal.find("EOF on stdin -> exiting") || journal.find("stdin was closed -> exiting"))
        << context();
}

TEST_F(FaultMatrix, StdinClosedWhileRunningStopsInOrder)
{
    start_display();
    start_recorder();
    fault::wait_for_recording(file, running_with_images, recorder.get());
    Recording before = mark("before-close");
    recorder->close_stdin();
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
    EXPECT_TRUE(journal.find("EOF on stdin -> exiting") || journal.find("stdin was closed -> exiting"))
        << context();
}

// Standard input is the writing end of a pipe: once the test closes the
// reading end, poll reports an error on it.
TEST_F(FaultMatrix, StdinInErrorStopsInOrder)
{
    start_display();
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    fault::NamespaceOptions ns;
    ns.stdin_fd = p[1];
    start_recorder({}, ns, /*pipe_stdin=*/false, {p[1]});
    close(p[1]);
    Recording before = fault::wait_for_recording(file, running_with_images, recorder.get());
    close(p[0]);
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
    auto e = journal.find("error on stdin -> exiting");
    ASSERT_TRUE(e) << context();
    EXPECT_EQ(e->priority, 3);
}

// Standard input that poll reports readable but that cannot be read (a
// directory): the failure is logged once and standard input is no longer
// watched (it would be reported readable again at once and the loop would
// spin); the recorder goes on until it is told to stop, and then stops in order.
TEST_F(FaultMatrix, StdinReadErrorsAreLoggedAndASignalStillStops)
{
    start_display();
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(d, 0);
    fault::NamespaceOptions ns;
    ns.stdin_fd = d;
    start_recorder({}, ns, /*pipe_stdin=*/false, {d});
    close(d);
    Recording before = fault::wait_for_recording(
        file,
        [&](const Recording& r) {
            return r.count(ZEL_HEADER) == 1 && journal.find("failed to read from stdin");
        },
        recorder.get());
    const double cpu0 = fault::cpu_seconds(recorder->pid());
    const auto t0 = std::chrono::steady_clock::now();
    // Still running after its first failed reads: a footer message cannot
    // reach it, so a frame is the sign of life.
    Recording later = fault::wait_for_recording(
        file, [&](const Recording& r) { return r.images() >= 1; }, recorder.get());
    const double cpu = fault::cpu_seconds(recorder->pid()) - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    recorder->signal(SIGTERM);
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
    auto e = journal.find("failed to read from stdin");
    ASSERT_TRUE(e) << context();
    EXPECT_EQ(e->priority, 3);
    size_t n = 0;
    for (const auto& entry : journal.entries())
        n += entry.message.find("failed to read from stdin") != std::string::npos;
    EXPECT_EQ(n, 1u) << "one failed read, then standard input is left alone";
    std::printf("unreadable stdin: %zu journal entries; %.2f CPU s in %.2f s while waiting for a frame\n", n,
                cpu, wall);
}

// ---------------------------------------------------------------- the display goes away

TEST_F(FaultMatrix, XServerKilledWhileRecording)
{
    start_display();
    start_recorder();
    fault::wait_for_recording(file, running_with_images, recorder.get());
    Recording before = mark("before-server-killed");
    x->kill_server();
    EXPECT_EQ(recorder->wait(), 0) << context();
    expect_complete(before);
}

// ---------------------------------------------------------------- the file

// The whole screen repainted with random pixels, as fast as the server
// takes them: every frame is a full, incompressible image.
TEST_F(FaultMatrix, SizeLimitStopsTheRecordingInOrder)
{
    start_display("1920x1080x24", {"random", "--fps", "0"});
    start_recorder();
    Recording before = fault::wait_for_recording(file, running_with_images, recorder.get());
    EXPECT_EQ(recorder->wait(180s), 0) << context();
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 262144000);
    std::printf("size limit: stopped at %lld bytes (%.1f%% over the limit)\n",
                static_cast<long long>(st.st_size),
                (static_cast<double>(st.st_size) / 262144000.0 - 1) * 100);
    expect_complete(before);
}

// A 2 MB file system fills up within a few frames of random pixels.
TEST_F(FaultMatrix, DiskFullEndsWithStatusOneAndReadableRecords)
{
    start_display("640x480x24", {"random", "--fps", "0", "--geometry", "600x440+10+10"});
    const std::string small = dir + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    const std::string copy = dir + "/copy.zel";
    fault::NamespaceOptions ns;
    ns.tmpfs_dir = small;
    ns.tmpfs_size = "2m";
    ns.copy_file = small + "/recording.zel";
    ns.copy_to = copy;
    file = ns.copy_file; // as the recorder sees it
    start_recorder({}, ns);
    EXPECT_EQ(recorder->wait(60s), 1) << context();
    auto e = journal.find("error while writing record");
    ASSERT_TRUE(e) << context();
    EXPECT_EQ(e->priority, 3);
    EXPECT_NE(e->message.find("recording.zel"), std::string::npos) << e->message;

    std::string out;
    int v = fault::zeldump_verify(copy, &out);
    EXPECT_TRUE(v == 0 || v == 2) << "zeldump --verify gave " << v << ": " << out;
    Recording r = fault::read_recording(copy);
    EXPECT_TRUE(r.status == ZEL_READ_END || r.status == ZEL_READ_TRUNCATED) << r.problem;
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(r.records.front().type, ZEL_HEADER);
    EXPECT_GE(r.images(), 1u);
    EXPECT_LE(r.size, 2u * 1024 * 1024);
}

// The recording cannot be opened at all: a directory stands at the path.
TEST_F(FaultMatrix, UnopenableFileEndsWithStatusOne)
{
    start_display();
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    start_recorder();
    EXPECT_EQ(recorder->wait(), 1) << context();
    EXPECT_TRUE(journal.find("failed to open file")) << context();
}

// ---------------------------------------------------------------- SIGKILL

// Killed at random moments (a fixed seed per shard): every file reads back
// up to its last complete record; neither the reader nor zeldump ever
// finds corruption or crashes.
class KillShard : public FaultMatrix, public ::testing::WithParamInterface<int> {};

TEST_P(KillShard, EveryFileReadsBackToItsLastCompleteRecord)
{
    constexpr int kills = 25;
    start_display("640x480x24", {"random", "--fps", "30", "--geometry", "400x300+20+20"});
    std::mt19937 rng(20261206u + static_cast<unsigned>(GetParam()));
    std::uniform_int_distribution<int> moment_us(0, 1500000);
    int no_file = 0, complete = 0, truncated = 0;
    size_t records = 0;
    for (int i = 0; i < kills; ++i) {
        file = dir + "/kill-" + std::to_string(i) + ".zel";
        start_recorder();
        // The random moment is the fault itself, not a wait for something.
        usleep(static_cast<useconds_t>(moment_us(rng)));
        recorder->signal(SIGKILL);
        recorder->wait();
        Recording r = fault::read_recording(file);
        if (!r.exists) {
            ++no_file;
            continue;
        }
        std::string out;
        int v = fault::zeldump_verify(file, &out);
        ASSERT_TRUE(v == 0 || v == 2) << "kill " << i << ": zeldump --verify gave " << v << ": " << out;
        ASSERT_TRUE(r.status == ZEL_READ_END || r.status == ZEL_READ_TRUNCATED)
            << "kill " << i << ": " << zel_read_status_to_string(r.status) << " " << r.problem;
        if (!r.records.empty()) {
            EXPECT_EQ(r.records.front().type, ZEL_HEADER) << "kill " << i;
        }
        (r.status == ZEL_READ_END ? complete : truncated)++;
        records += r.records.size();
        unlink(file.c_str());
    }
    std::printf("%d kills: %d before the file existed, %d truncated, %d complete; %zu records read back\n",
                kills, no_file, truncated, complete, records);
}

INSTANTIATE_TEST_SUITE_P(Fault, KillShard, ::testing::Range(0, 4));

} // namespace
