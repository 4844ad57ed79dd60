// Control messages on the recorder's standard input, end to end: each
// keyword becomes its footer item, lines are taken whole however the writes
// cut them, and the end of standard input ends the recording in order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "test_frontend_common.h"
#include "x-harness.h"
#include "zel.h"

using e2e::Recording;

namespace {

using Items = std::vector<std::pair<ZelRecordType, std::string>>;

Items footer_items(const Recording& r)
{
    Items out;
    for (const auto& rec : r.records) switch (rec->type) {
        case ZEL_FOOTER_ITEM_APP:
        case ZEL_FOOTER_ITEM_APPFMT:
        case ZEL_FOOTER_ITEM_HOST:
        case ZEL_FOOTER_ITEM_IP:
        case ZEL_FOOTER_ITEM_SID:
        case ZEL_FOOTER_ITEM_TID: {
            const auto* f = reinterpret_cast<const ZelFooterItem*>(rec.get());
            out.emplace_back(static_cast<ZelRecordType>(f->type), reinterpret_cast<const char*>(f->item));
            break;
        }
        default: break;
        }
    return out;
}

class StdinMessages : public testing::Test {
  protected:
    void SetUp() override
    {
        x_ = std::make_unique<xtest::Xvfb>();
        session_ = std::make_unique<xtest::SeamlessSession>(x_->display());
        client_ = std::make_unique<xtest::Client>(x_->display());
        file_ = xtest::temp_dir() + "/rec.zel";
    }

    void start(std::vector<std::string> options = {})
    {
        options.push_back(x_->display());
        options.push_back(file_);
        rec_ = std::make_unique<xtest::Recorder>(options);
    }

    // A small window whose redrawing shows up in the recording as a frame:
    // the recorder's progress made visible.
    void beacon_up()
    {
        beacon_ = client_->create_window(600, 440, 16, 16);
        client_->map(beacon_);
        client_->wait_for_client_list(
            [this](const std::vector<xcb_window_t>& l) { return !l.empty() && l.back() == beacon_; });
        client_->draw_pattern(beacon_, ++seed_);
        frames_ = e2e::wait_for_recording(
                      file_, [](const Recording& r) { return r.frames() > 0; }, rec_.get())
                      .frames();
    }

    // Two frames made after this call have reached the file, so every loop
    // pass that began before it has ended: whatever was written to standard
    // input before has been read.
    void settle()
    {
        for (int i = 0; i < 2; ++i) {
            client_->draw_pattern(beacon_, ++seed_);
            const size_t before = frames_;
            frames_ = e2e::wait_for_recording(
                          file_, [before](const Recording& r) { return r.frames() > before; }, rec_.get())
                          .frames();
        }
    }

    Recording finish()
    {
        rec_->close_stdin();
        EXPECT_EQ(rec_->wait(), 0) << rec_->err();
        EXPECT_EQ(xtest::run({ZELDUMP_PATH, "--verify", file_}).status, 0);
        Recording r = e2e::read_recording(file_);
        EXPECT_EQ(r.status, ZEL_READ_END);
        return r;
    }

    std::unique_ptr<xtest::Xvfb> x_;
    std::unique_ptr<xtest::SeamlessSession> session_;
    std::unique_ptr<xtest::Client> client_;
    std::unique_ptr<xtest::Recorder> rec_;
    std::string file_;
    xcb_window_t beacon_ = 0;
    uint32_t seed_ = 100;
    size_t frames_ = 0;
};

TEST_F(StdinMessages, EveryKindFromOneWriteInOrderThenEndOfInputStops)
{
    start();
    rec_->write_stdin("app office\nappfmt Calc\nhost db1\nip 10.1.2.3\nsid 4711\ntid T 9\n");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_APP, "office"}, {ZEL_FOOTER_ITEM_APPFMT, "Calc"},
                        {ZEL_FOOTER_ITEM_HOST, "db1"},   {ZEL_FOOTER_ITEM_IP, "10.1.2.3"},
                        {ZEL_FOOTER_ITEM_SID, "4711"},   {ZEL_FOOTER_ITEM_TID, "T 9"}};
    EXPECT_EQ(footer_items(r), want);
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(r.records.back()->type, ZEL_DONE);
}

TEST_F(StdinMessages, LinesSplitAcrossReadsAreJoined)
{
    start({"-debug"});
    beacon_up();
    rec_->write_stdin("sid 47");
    settle();
    rec_->write_stdin("11\r\nhost a\r\nhost b\ntid x\r");
    settle();
    // the LF of a CR LF that came in the next read ends nothing more
    rec_->write_stdin("\nip 1.2.3.4\n");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_SID, "4711"},
                        {ZEL_FOOTER_ITEM_HOST, "a"},
                        {ZEL_FOOTER_ITEM_HOST, "b"},
                        {ZEL_FOOTER_ITEM_TID, "x"},
                        {ZEL_FOOTER_ITEM_IP, "1.2.3.4"}};
    EXPECT_EQ(footer_items(r), want);
    EXPECT_EQ(rec_->out().find("msg=<>"), std::string::npos) << "no empty message between CR and LF";
    EXPECT_EQ(rec_->out().find("msg=<sid 47>"), std::string::npos) << "no message of half a line";
}

TEST_F(StdinMessages, UnknownMessagesAreDroppedAndValuesKeepTheirBlanks)
{
    start({"-debug"});
    rec_->write_stdin("APP x\n app x\napp\nbogus y\n\nsid\tq\nhostdb\napp \nappfmt  two  blanks \n");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_APP, ""}, {ZEL_FOOTER_ITEM_APPFMT, " two  blanks "}};
    EXPECT_EQ(footer_items(r), want);
    // each line, known or not, was taken as one message
    for (const char* m : {"msg=<APP x>", "msg=< app x>", "msg=<app>", "msg=<bogus y>", "msg=<>",
                          "msg=<sid\tq>", "msg=<hostdb>"})
        EXPECT_NE(rec_->out().find(m), std::string::npos) << m;
}

TEST_F(StdinMessages, AnOverlongLineIsCutAndItsRestDropped)
{
    start();
    const std::string value(5000, 'v');
    rec_->write_stdin("app " + value + "\nsid 1\n");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_APP, value.substr(0, 4095 - 4)}, {ZEL_FOOTER_ITEM_SID, "1"}};
    EXPECT_EQ(footer_items(r), want);
}

TEST_F(StdinMessages, AnUnfinishedLastLineCountsAtTheEnd)
{
    start();
    rec_->write_stdin("host h\ntid 99");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_HOST, "h"}, {ZEL_FOOTER_ITEM_TID, "99"}};
    EXPECT_EQ(footer_items(r), want);
}

TEST_F(StdinMessages, LaterMessagesAddRecordsNextToTheOptions)
{
    start({"-sid", "1"});
    beacon_up();
    rec_->write_stdin("sid 2\n");
    settle();
    rec_->write_stdin("sid 3\n");
    const Recording r = finish();
    const Items want = {{ZEL_FOOTER_ITEM_SID, "1"}, {ZEL_FOOTER_ITEM_SID, "2"}, {ZEL_FOOTER_ITEM_SID, "3"}};
    EXPECT_EQ(footer_items(r), want);
}

// Standard input at its end from the start (the null device): the first pass
// of the loop reads end of file and the recording ends in order.
TEST_F(StdinMessages, NullDeviceEndsTheRecordingAtOnce)
{
    rec_ = std::make_unique<xtest::Recorder>(std::vector<std::string>{"-debug", x_->display(), file_}, false);
    EXPECT_EQ(rec_->wait(), 0) << rec_->err();
    EXPECT_NE(rec_->out().find("EOF on stdin -> exiting"), std::string::npos) << rec_->out();
    EXPECT_EQ(xtest::run({ZELDUMP_PATH, "--verify", file_}).status, 0);
}

// Standard input closed (descriptor 0 not open) when the recorder starts:
// the recorder stops in order instead of spinning on an invalid descriptor
// or reading the X stream as input.
TEST_F(StdinMessages, ClosedDescriptorEndsTheRecording)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(0);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        // keep the test's output clean; the descriptor numbers above 0 stay
        if (null_fd > 2) {
            dup2(null_fd, 1);
            dup2(null_fd, 2);
        }
        execl(RECORDER_PATH, RECORDER_PATH, x_->display().c_str(), file_.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(pidfd, 0);
    pollfd p{pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(xtest::kGuard.count()));
    if (ready != 1) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(pidfd);
    ASSERT_EQ(ready, 1) << "the recorder did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(xtest::run({ZELDUMP_PATH, "--verify", file_}).status, 0);
}

} // namespace
