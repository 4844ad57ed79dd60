// Every way a recording ends, on a real display with a window repainted all
// the time: the exit status, and a file that verifies and holds everything
// written before the stop.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <thread>

#include "harness.h"

using namespace std::chrono_literals;
using namespace xtest;

namespace {

bool recording_images(const Recording& r)
{
    return !r.of_type(ZEL_HEADER).empty() && r.images() >= 1;
}

struct Session {
    explicit Session(XServerOptions options = {}, bool random = false)
        : display(std::move(options)), window(display.window(20, 20, 300, 200, 1)),
          painter(display.name(), window, random)
    {
    }
    Display display;
    xcb_window_t window;
    Painter painter;
    const std::string file = temp_dir() + "/recording.zel";
};

// A footer item sent through standard input and seen in the file: from then
// on it is something written before any later stop.
Recording mark(Recorder& recorder, const std::string& file)
{
    recorder.write_stdin("tid before-the-stop\n");
    return wait_for_records(
        file, [](const Recording& r) { return !r.items(ZEL_FOOTER_ITEM_TID).empty(); }, &recorder);
}

void expect_complete_and_holding(const std::string& file, const Recording& before)
{
    std::string out;
    EXPECT_EQ(zeldump_verify(file, &out), 0) << out;
    Recording after = read_recording(file);
    ASSERT_EQ(after.status, ZEL_READ_END) << after.problem;
    ASSERT_GE(after.records.size(), before.records.size());
    for (size_t i = 0; i < before.records.size(); ++i) {
        EXPECT_EQ(after.records[i]->type, before.records[i]->type) << "record " << i;
        EXPECT_EQ(after.records[i]->timestamp, before.records[i]->timestamp) << "record " << i;
    }
}

struct StopWay {
    const char* name;
    std::function<void(Session&, Recorder&)> stop;
    uint8_t reason; // the end-of-data record's
    int signal = 0; // for a signal: which (sent by this process)
};

// The end-of-data record says why the recording ended, and for a signal
// which one and who sent it.
void expect_end(const std::string& file, const StopWay& way)
{
    const Recording r = read_recording(file);
    ASSERT_FALSE(r.records.empty());
    const auto* done = reinterpret_cast<const ZelDone*>(r.records.back().get());
    ASSERT_EQ(done->type, ZEL_DONE);
    EXPECT_EQ(done->reason, way.reason);
    EXPECT_EQ(done->signal, way.signal);
    if (way.signal != 0) {
        EXPECT_EQ(done->pid, getpid());
        EXPECT_EQ(done->uid, getuid());
    }
}

class StopPath : public testing::TestWithParam<StopWay> {};

TEST_P(StopPath, EndsInOrderWithEverythingWrittenBefore)
{
    Session s;
    Recorder recorder({"-sid", "stop-sid", s.display.name(), s.file});
    wait_for_records(s.file, recording_images, &recorder);
    const Recording before = mark(recorder, s.file);
    GetParam().stop(s, recorder);
    EXPECT_EQ(recorder.wait(), 0) << recorder.err();
    expect_complete_and_holding(s.file, before);
    expect_end(s.file, GetParam());
}

const StopWay stop_ways[] = {
    {"SIGHUP", [](Session&, Recorder& r) { r.signal(SIGHUP); }, ZEL_END_SIGNAL, SIGHUP},
    {"SIGINT", [](Session&, Recorder& r) { r.signal(SIGINT); }, ZEL_END_SIGNAL, SIGINT},
    {"SIGQUIT", [](Session&, Recorder& r) { r.signal(SIGQUIT); }, ZEL_END_SIGNAL, SIGQUIT},
    {"SIGTERM", [](Session&, Recorder& r) { r.signal(SIGTERM); }, ZEL_END_SIGNAL, SIGTERM},
    {"StandardInputClosed", [](Session&, Recorder& r) { r.close_stdin(); }, ZEL_END_STDIN_CLOSED},
    {"XServerKilled", [](Session& s, Recorder&) { s.display.server.kill_server(); }, ZEL_END_DISPLAY_GONE},
};
INSTANTIATE_TEST_SUITE_P(Ways, StopPath, testing::ValuesIn(stop_ways),
                         [](const testing::TestParamInfo<StopWay>& i) { return std::string(i.param.name); });

// A signed recording verifies with its public key, and the digest printed at
// its end is the SHA-256 of the whole file.
TEST(Lifecycle, SignedRecordingVerifiesAndItsDigestIsTheFiles)
{
    Session s;
    const std::string dir = temp_dir();
    ASSERT_EQ(run({ZELDUMP_PATH, "--keygen", dir + "/k.sec", dir + "/k.pub"}).status, 0);
    Recorder recorder({"-sign-key", dir + "/k.sec", s.display.name(), s.file});
    wait_for_records(s.file, recording_images, &recorder);
    EXPECT_EQ(recorder.stop(), 0);
    const RunResult verified = run({ZELDUMP_PATH, "--verify", "--key", dir + "/k.pub", s.file});
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
    const std::string sum = run({"sha256sum", s.file}).out.substr(0, 64);
    EXPECT_NE(recorder.out().find("##recordingDigest sha256:" + sum + "\n"), std::string::npos)
        << recorder.out();
}

// A full disk: writes fail past a file size limit.  The recording ends with
// status 1 and every record written before reads back.
TEST(Lifecycle, DiskFullEndsWithStatusOneAndReadableRecords)
{
    Session s({}, true);
    ProcessOptions po;
    po.file_size_limit = 400000;
    Recorder recorder({s.display.name(), s.file}, po);
    EXPECT_EQ(recorder.wait(60s), 1) << recorder.err();
    std::string out;
    const int verdict = zeldump_verify(s.file, &out);
    EXPECT_TRUE(verdict == 0 || verdict == 2) << out;
    Recording r = read_recording(s.file);
    EXPECT_TRUE(recording_images(r)) << r.problem;
    // when the small end still fitted, it says why the recording ended
    if (verdict == 0) expect_end(s.file, {"DiskFull", nullptr, ZEL_END_WRITE_FAILED});
}

// An incompressible full screen as fast as the server draws it: the file
// passes 262,144,000 bytes by no more than the frames in flight when it did.
TEST(Lifecycle, SizeLimitIsPassedByNoMoreThanTheFramesInFlight)
{
    Display display({"1920x1080x24", {}, false});
    const xcb_window_t w = display.window(0, 0, 1920, 1080, 1);
    Painter painter(display.name(), w, true);
    const std::string file = temp_dir() + "/big.zel";
    Recorder recorder({display.name(), file});
    EXPECT_EQ(recorder.wait(240s), 0) << recorder.err();
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    // past the limit, what is still written is bounded by bytes, not by
    // timing: the records queued for the writer (8 MiB at most), the frame
    // that crossed it, the one in the compressor's hands and the images in
    // flight (three quarters of a screen)
    constexpr off_t limit = 262144000, queued = 8 << 20, frame = 1920 * 1080 * 4 + 64 * 1024;
    EXPECT_GT(st.st_size, limit);
    EXPECT_LE(st.st_size, limit + queued + 3 * frame);
    std::string out;
    EXPECT_EQ(zeldump_verify(file, &out), 0) << out;
}

// Killed at moments spread over the first second and a half: every file
// reads back up to its last complete record.
TEST(Lifecycle, KilledRecorderLeavesAReadablePrefix)
{
    Session s({}, true);
    size_t with_images = 0;
    for (int i = 0; i < 8; ++i) {
        const std::string file = temp_dir() + "/killed.zel";
        Recorder recorder({s.display.name(), file});
        if (i == 7) wait_for_records(file, recording_images, &recorder); // one kill surely mid-recording
        usleep(static_cast<useconds_t>(i * 190000)); // the moment is the fault, not a wait
        recorder.signal(SIGKILL);
        recorder.wait();
        if (access(file.c_str(), F_OK) != 0) continue; // killed before the file was made
        std::string out;
        const int verdict = zeldump_verify(file, &out);
        EXPECT_EQ(verdict, 2) << "kill " << i << ": " << out;
        const Recording r = read_recording(file);
        if (!r.records.empty()) {
            EXPECT_EQ(r.records.front()->type, ZEL_HEADER) << "kill " << i;
        }
        with_images += recording_images(r);
    }
    EXPECT_GE(with_images, 1u);
}

// Once the process runs under its title, a termination signal at any moment
// of the start, before anything is set up, ends in order: status 0, and a
// file, if there is one, that verifies.
TEST(Lifecycle, StopAtAnyMomentOfTheStartIsAnOrderlyEnd)
{
    Session s;
    for (int delay_us : {0, 200, 1000, 3000, 6000, 12000, 25000}) {
        const std::string file = temp_dir() + "/early.zel";
        Recorder recorder({s.display.name(), file});
        const std::string cmdline = "/proc/" + std::to_string(recorder.pid()) + "/cmdline";
        while (read_file(cmdline).rfind("pelkRec", 0) != 0) sched_yield(); // the re-executed image
        if (delay_us) usleep(static_cast<useconds_t>(delay_us));
        recorder.signal(SIGTERM);
        EXPECT_EQ(recorder.wait(), 0) << "after " << delay_us << " us: " << recorder.err();
        std::string out;
        if (access(file.c_str(), F_OK) == 0) {
            EXPECT_EQ(zeldump_verify(file, &out), 0) << out;
        }
    }
}

// CPU time the process has used so far (user and system), in seconds.
double cpu_seconds(pid_t pid)
{
    std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    for (int i = 1; i <= 13; ++i) stat >> field; // pid, (comm), state ... cmajflt
    unsigned long long user = 0, system = 0;
    stat >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The X server stops answering (SIGSTOP) while a window updates: a stop
// still ends the process within 3 s, the file verifies, and the wait for
// the display costs no CPU.
TEST(Lifecycle, StopEndsWithinThreeSecondsWhenTheDisplayHangs)
{
    Session s;
    Recorder recorder({s.display.name(), s.file});
    wait_for_records(s.file, recording_images, &recorder);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{s.display.server.pid()};
    kill(resume.pid, SIGSTOP);
    const double cpu = cpu_seconds(recorder.pid());
    recorder.signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s); // the window measured: within the 1.5 s the stop gives the display
    EXPECT_LT(cpu_seconds(recorder.pid()) - cpu, 0.25);
    const int status = recorder.wait();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0) << recorder.err();
    EXPECT_LT(took, 3s);
    std::string out;
    EXPECT_EQ(zeldump_verify(s.file, &out), 0) << out;
}

} // namespace
