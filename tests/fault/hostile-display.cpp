// A hostile display: many windows, windows that change under the fetches,
// root resize storms and a damage flood.  The recorder must not crash, not
// hang, keep its memory bounded, stop in order on SIGTERM and leave a file
// that verifies.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "fault-support.h"

using namespace std::chrono_literals;

namespace {

using fault::Recording;

// A generous bound on the recorder's peak resident memory: the screens here
// are at most 1280x1024 (5 MiB per frame).
constexpr long kMemoryBoundKiB = 1024 * 1024;

class HostileDisplay : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = xtest::temp_dir();
        file = dir + "/recording.zel";
    }

    void start_recorder(const std::string& display)
    {
        recorder =
            std::make_unique<xtest::Recorder>(std::vector<std::string>{"-sid", "hostile", display, file});
        start_cpu = 0;
    }

    // Lets the workload run for `seconds` of recording, told by the record
    // timestamps: the recorder must keep writing frames all along (a client
    // that keeps it busy must not starve its frame clock).
    Recording record_for(double seconds, size_t min_images = 1)
    {
        Recording first = fault::wait_for_recording(
            file, [](const Recording& r) { return r.count(ZEL_HEADER) == 1 && r.images() >= 1; },
            recorder.get(), 60s);
        const uint64_t t0 = first.records.front().timestamp;
        const uint64_t span = static_cast<uint64_t>(seconds * 1e6);
        Recording r = fault::wait_for_recording(
            file,
            [&](const Recording& rec) {
                if (rec.images() < min_images) return false;
                for (const auto& x : rec.records)
                    if (is_image(x.type) && x.timestamp >= t0 + span) return true;
                return false;
            },
            recorder.get(), std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000));
        uint64_t last = t0, gap = 0;
        for (const auto& x : r.records)
            if (is_image(x.type)) {
                gap = std::max(gap, x.timestamp - last);
                last = x.timestamp;
            }
        std::printf("longest time between two image records: %.3f s\n", static_cast<double>(gap) / 1e6);
        return r;
    }

    static bool is_image(uint8_t t)
    {
        return t == ZEL_IMAGE || t == ZEL_COMPRESSED_IMAGE || t == ZEL_IMAGE_BLOCKS ||
               t == ZEL_COMPRESSED_IMAGE_BLOCKS;
    }

    // SIGTERM, exit 0, bounded memory, and a complete file.
    void stop_and_check(const std::string& what)
    {
        ASSERT_TRUE(recorder->running()) << recorder->err();
        long hwm = fault::vm_hwm_kib(recorder->pid());
        double cpu = fault::cpu_seconds(recorder->pid());
        recorder->signal(SIGTERM);
        EXPECT_EQ(recorder->wait(60s), 0) << recorder->err();
        EXPECT_GT(hwm, 0);
        EXPECT_LT(hwm, kMemoryBoundKiB) << "peak resident memory";
        std::string out;
        EXPECT_EQ(fault::zeldump_verify(file, &out), 0) << out;
        Recording r = fault::read_recording(file);
        EXPECT_EQ(r.status, ZEL_READ_END) << r.problem;
        std::printf(
            "%s: peak memory %ld KiB, %.2f CPU s, %zu records (%zu images, %zu screen changes), %llu bytes\n",
            what.c_str(), hwm, cpu, r.records.size(), r.images(), r.count(ZEL_SCREEN_CHANGE),
            static_cast<unsigned long long>(r.size));
    }

    std::string dir, file;
    double start_cpu = 0;
    std::unique_ptr<xtest::Recorder> recorder;
};

TEST_F(HostileDisplay, SixHundredWindows)
{
    xtest::Xvfb x({"1280x1024x24", {}});
    xtest::SeamlessSession seamless(x.display());
    // 600 windows, each drawn, then one of them redrawn 50 times a second.
    fault::Workload load(x.display(), {"windows", "--count", "600", "--fps", "50"});
    xtest::Client client(x.display());
    client.wait_for_client_list([](const std::vector<xcb_window_t>& l) { return l.size() >= 600; }, 60s);
    start_recorder(x.display());
    record_for(4, 5);
    stop_and_check("600 windows");
    EXPECT_EQ(load.stop(), 0);
}

TEST_F(HostileDisplay, WindowsDestroyedAndResizedWhileFetched)
{
    xtest::Xvfb x({"1024x768x24", {}});
    xtest::SeamlessSession seamless(x.display());
    start_recorder(x.display());
    fault::Workload load(x.display(), {"churn", "--seed", "7"});
    record_for(6, 10);
    stop_and_check("churn");
    load.stop();
}

TEST_F(HostileDisplay, DamageFlood)
{
    xtest::Xvfb x({"1024x768x24", {}});
    xtest::SeamlessSession seamless(x.display());
    start_recorder(x.display());
    fault::Workload load(x.display(), {"flood", "--geometry", "1000x740+0+0"});
    record_for(6, 10);
    stop_and_check("damage flood");
    load.stop();
}

// Xvfb cannot change its screen size; the X server with the dummy video
// driver (as xpra runs it) can, through RandR.
class XorgDummy {
  public:
    explicit XorgDummy(const std::string& dir)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
        xtest::ProcessOptions po;
        po.capture = false;
        po.log_file = dir + "/xorg.out";
        po.keep_fds = {fds[1]};
        process_ = std::make_unique<xtest::Process>(
            std::vector<std::string>{"Xorg", "-noreset", "-nolisten", "tcp", "-config", kConfig, "-logfile",
                                     dir + "/xorg.log", "-displayfd", std::to_string(fds[1]), "-novtswitch",
                                     "-sharevts", "vt7"},
            po);
        close(fds[1]);
        std::string got;
        while (got.find('\n') == std::string::npos) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0) break;
            char buf[32];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        if (got.find('\n') == std::string::npos) throw std::runtime_error("Xorg did not start");
        display_ = ":" + got.substr(0, got.find('\n'));
    }
    ~XorgDummy()
    {
        process_->signal(SIGTERM);
        try {
            process_->wait();
        } catch (...) {
        }
    }
    const std::string& display() const { return display_; }
    static bool available() { return access(kConfig, R_OK) == 0 && access("/usr/lib/xorg/Xorg", X_OK) == 0; }
    static constexpr const char* kConfig = "/etc/xpra/xorg.conf";

  private:
    std::unique_ptr<xtest::Process> process_;
    std::string display_;
};

TEST_F(HostileDisplay, RootResizeStorm)
{
    if (!XorgDummy::available()) GTEST_SKIP() << "needs Xorg with the dummy driver and xpra's xorg.conf";
    std::unique_ptr<XorgDummy> x;
    try {
        x = std::make_unique<XorgDummy>(dir);
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    const std::vector<std::string> env = {"DISPLAY=" + x->display()};
    ASSERT_EQ(xtest::run({"xrandr", "-s", "1280x1024"}, env).status, 0);
    xtest::SeamlessSession seamless(x->display());
    fault::Workload load(x->display(), {"random", "--fps", "20", "--geometry", "700x500+100+100"});
    start_recorder(x->display());
    record_for(1);
    // Sizes smaller and larger than the window, one after the other without pause.
    const char* sizes[] = {"640x480", "1024x768", "800x600", "1280x1024", "480x800", "1920x1080"};
    for (int i = 0; i < 60; ++i) {
        auto r = xtest::run({"xrandr", "-s", sizes[i % 6]}, env);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(recorder->running()) << recorder->err();
    }
    Recording r = fault::wait_for_recording(
        file, [](const Recording& rec) { return rec.count(ZEL_SCREEN_CHANGE) >= 1; }, recorder.get());
    record_for(0.5);
    stop_and_check("root resize storm");
    load.stop();
}

} // namespace
