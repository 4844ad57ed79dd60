// The recorder as a subprocess on a seamless test display: injected input
// and member votes end up in its file and on its standard output, and it
// ends in order whichever way the recording stops.
#include <gtest/gtest.h>
#include <xcb/record.h>
#include <xcb/xtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

#include "input-records.h"
#include "x-harness.h"

using namespace input_test;

namespace {

class RecorderInput : public ::testing::Test {
  protected:
    void SetUp() override
    {
        xvfb_ = std::make_unique<xtest::Xvfb>();
        client_ = std::make_unique<xtest::Client>(xvfb_->display());
        session_ = std::make_unique<xtest::SeamlessSession>(xvfb_->display());
        dir_ = xtest::temp_dir();
        path_ = dir_ + "/recording.zel";
    }

    void launch(std::vector<std::string> options = {"-user", "olga", "-tfn", "t-own"})
    {
        options.push_back(xvfb_->display());
        options.push_back(path_);
        recorder_ = std::make_unique<xtest::Recorder>(options);
        // the input thread enables its context on its own: move the pointer
        // until a motion reaches the file
        int16_t x = 1;
        wait_for_file([&](const Recording& r) {
            if (!r.positions.empty()) return true;
            move(x, 1);
            x = static_cast<int16_t>(3 - x);
            return false;
        });
    }

    void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
    {
        xcb_test_fake_input(client_->c(), type, detail, XCB_CURRENT_TIME, client_->root(), x, y, 0);
        client_->sync();
    }
    void key() { fake(XCB_KEY_PRESS, 38), fake(XCB_KEY_RELEASE, 38); }
    void button() { fake(XCB_BUTTON_PRESS, 1), fake(XCB_BUTTON_RELEASE, 1); }
    void move(int16_t x, int16_t y) { fake(XCB_MOTION_NOTIFY, 0, x, y); }

    template <typename Pred>
    Recording wait_for_file(Pred pred)
    {
        auto deadline = std::chrono::steady_clock::now() + xtest::kGuard;
        for (;;) {
            Recording r = read_recording(path_);
            if (pred(r)) return r;
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the recording never showed what was waited for";
                return r;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // A motion to a new place, injected after everything else.
    Recording wait_for_marker(int16_t x)
    {
        move(x, 200);
        return wait_for_position(path_, x, 200);
    }

    Recording stop_and_read()
    {
        recorder_->signal(SIGTERM);
        EXPECT_EQ(recorder_->wait(), 0) << recorder_->err();
        Recording r = read_recording(path_);
        EXPECT_EQ(r.status, ZEL_READ_END);
        return r;
    }

    std::unique_ptr<xtest::Xvfb> xvfb_;
    std::unique_ptr<xtest::Client> client_;
    std::unique_ptr<xtest::SeamlessSession> session_;
    std::unique_ptr<xtest::Recorder> recorder_;
    std::string dir_;
    std::string path_;
};

// A member played by member-client, fed line by line.
class Member {
  public:
    Member(const std::string& display, const std::string& name, const std::string& tfn)
    {
        xtest::ProcessOptions options;
        options.pipe_stdin = true;
        process_ =
            std::make_unique<xtest::Process>(std::vector<std::string>{MEMBER_CLIENT_PATH, display}, options);
        run("atom PELK_MEMBER_" + name + "\npublish " + name + " " + tfn + "\nregister");
    }
    ~Member()
    {
        process_->close_stdin();
        process_->wait();
    }
    // Runs the commands; returns once the server has them all.
    void run(const std::string& commands)
    {
        std::string mark = "done-" + std::to_string(++count_);
        process_->write_stdin(commands + "\necho " + mark + "\n");
        ASSERT_TRUE(process_->wait_for_output(mark + "\n"));
    }

  private:
    std::unique_ptr<xtest::Process> process_;
    int count_ = 0;
};

TEST_F(RecorderInput, KeysAndButtonsCreditTheOwnUserAndMotionIsRecorded)
{
    launch();
    key();
    move(10, 20);
    button();
    key();
    wait_for_marker(301);
    Recording r = stop_and_read();
    EXPECT_EQ(r.credits, std::vector<Credit>(3, Credit{"olga", "t-own"}));
    std::vector<std::pair<int, int>> tail(r.positions.end() - 2, r.positions.end());
    EXPECT_EQ(tail, (std::vector<std::pair<int, int>>{{10, 20}, {301, 200}}));
}

TEST_F(RecorderInput, MembersDecideAndTheRecorderAnnounces)
{
    launch();
    Member alice(xvfb_->display(), "alice", "ta");
    Member bob(xvfb_->display(), "bob", "tb");
    alice.run("heartbeat\nkey 1000 0");
    bob.run("heartbeat\nkey 1000 0"); // both disclaim it: the own user's
    ASSERT_TRUE(recorder_->wait_for_output("##lastInputBy t-own\n"));
    bob.run("button 2000 self");
    ASSERT_TRUE(recorder_->wait_for_output("##lastInputBy tb\n"));
    key(); // two members registered: no own-user record from the input thread
    wait_for_marker(302);
    Recording r = stop_and_read();
    EXPECT_EQ(r.credits, (std::vector<Credit>{{"olga", "t-own"}, {"bob", "tb"}}));
    EXPECT_EQ(lines_with(recorder_->out(), "##lastInputBy "), (std::vector<std::string>{"t-own", "tb"}));
}

// The recorder's RECORD context, found by asking the server about the first
// few resource ids of every client: it is made on the recorder's main
// connection, so killing the client that owns it breaks that connection.
xcb_record_context_t find_record_context(xcb_connection_t* c)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    uint32_t shift = static_cast<uint32_t>(__builtin_ctz(setup->resource_id_mask + 1));
    std::vector<std::pair<uint32_t, xcb_record_get_context_cookie_t>> asked;
    for (uint32_t client = 1; client < (1u << (29 - shift)); client++)
        for (uint32_t k = 0; k < 8; k++) {
            uint32_t id = client << shift | k;
            asked.emplace_back(id, xcb_record_get_context(c, id));
        }
    xcb_record_context_t found = 0;
    for (auto& [id, cookie] : asked) {
        xcb_generic_error_t* error = nullptr;
        auto* r = xcb_record_get_context_reply(c, cookie, &error);
        if (r != nullptr && found == 0) found = id;
        free(r);
        free(error);
    }
    return found;
}

TEST_F(RecorderInput, BrokenMainConnectionEndsTheRecordingInOrder)
{
    launch();
    key();
    wait_for_marker(304);
    xcb_record_context_t context = find_record_context(client_->c());
    ASSERT_NE(context, 0u);
    xcb_kill_client(client_->c(), context);
    client_->sync();
    EXPECT_EQ(recorder_->wait(), 0) << recorder_->err();
    Recording r = read_recording(path_);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.credits, std::vector<Credit>(1, Credit{"olga", "t-own"}));
}

TEST_F(RecorderInput, ServerGoneEndsTheRecordingInOrder)
{
    launch();
    key();
    wait_for_marker(303);
    client_.reset();
    xvfb_->kill_server();
    EXPECT_EQ(recorder_->wait(), 0) << recorder_->err();
    Recording r = read_recording(path_);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.credits.size(), 1u);
}

} // namespace
