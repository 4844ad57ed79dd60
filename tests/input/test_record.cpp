// The input recording thread against a real Xvfb: input injected with XTEST
// reaches the file as cursor positions and own-user last-input records, and
// every way of stopping ends the thread.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <xcb/record.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "extensions.h"
#include "input-fixture.h"
#include "record.h"

using namespace input_test;

namespace {

constexpr uint8_t KEYCODE_A = 38;

class RecordThread : public InputModules {
  protected:
    void begin(std::vector<std::string> options = {"-user", "olga", "-tfn", "t-own"}, bool debug = false)
    {
        start(std::move(options), debug);
        extensions_setup(display_connection(), display_root());
        last_input_setup();
        record_thread_start();
        record_running_ = true;
        wait_until_recording();
    }

    void TearDown() override
    {
        if (record_running_) record_thread_stop();
        record_running_ = false;
        last_input_teardown();
        InputModules::TearDown();
    }

    void stop_recording()
    {
        record_thread_stop();
        record_running_ = false;
    }

    void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
    {
        xcb_test_fake_input(client_->c(), type, detail, XCB_CURRENT_TIME, client_->root(), x, y, 0);
    }
    void key() { fake(XCB_KEY_PRESS, KEYCODE_A), fake(XCB_KEY_RELEASE, KEYCODE_A); }
    void button() { fake(XCB_BUTTON_PRESS, 1), fake(XCB_BUTTON_RELEASE, 1); }
    void move(int16_t x, int16_t y) { fake(XCB_MOTION_NOTIFY, 0, x, y); }

    // Polls the growing file (the writer hands each record to the kernel
    // whole) until pred holds; a failure after the guard.  Used where each
    // look must inject new input; other waits are on the file's changes.
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

    // The context is enabled asynchronously by the thread: move the pointer
    // until a motion shows up in the file.
    void wait_until_recording()
    {
        int16_t x = 1;
        wait_for_file([&](const Recording& r) {
            if (!r.positions.empty()) return true;
            move(x, 1);
            x = static_cast<int16_t>(3 - x);
            client_->sync();
            return false;
        });
    }

    // Everything injected before has been processed once a motion to a new
    // place, injected now, is in the file: the stream keeps the order.
    Recording wait_for_marker()
    {
        marker_++;
        move(static_cast<int16_t>(300 + marker_), 200);
        client_->sync();
        return wait_for_position(path_, 300 + marker_, 200);
    }

    // Runs the stop on a helper thread: a stop that hangs fails the test
    // instead of hanging it.
    void stop_within_guard()
    {
        std::packaged_task<void()> task([] { record_thread_stop(); });
        auto done = task.get_future();
        std::thread stopper(std::move(task));
        if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            fprintf(stderr, "record_thread_stop did not return\n");
            fflush(stderr);
            _exit(1);
        }
        stopper.join();
        record_running_ = false;
    }

    // True once the RECORD context no longer exists on the server.
    bool context_freed()
    {
        xcb_generic_error_t* error = nullptr;
        free(xcb_record_get_context_reply(client_->c(),
                                          xcb_record_get_context(client_->c(), record_context()), &error));
        bool gone = error != nullptr;
        free(error);
        return gone;
    }

    bool record_running_ = false;
    int marker_ = 0;
};

TEST_F(RecordThread, OwnUserIsCreditedForEveryKeyAndButtonWhileNoMemberIsRegistered)
{
    begin();
    key();
    key();
    move(10, 20);
    key();
    button();
    move(30, 40);
    button();
    Recording live = wait_for_marker();
    stop_recording();
    Recording r = finish();
    Credit own{"olga", "t-own"};
    EXPECT_EQ(r.credits, std::vector<Credit>(5, own));
    // motion: the positions in order, releases and presses add none
    std::vector<std::pair<int, int>> tail(r.positions.end() - 3, r.positions.end());
    EXPECT_EQ(tail, (std::vector<std::pair<int, int>>{{10, 20}, {30, 40}, {301, 200}}));
    EXPECT_EQ(live.credits.size(), 5u);
}

TEST_F(RecordThread, OwnUserRecordsCarryNullWithoutUserAndTfn)
{
    begin({});
    key();
    button();
    wait_for_marker();
    stop_recording();
    Recording r = finish();
    EXPECT_EQ(r.credits, (std::vector<Credit>(2, Credit{"<null>", "<null>"})));
}

TEST_F(RecordThread, NoOwnUserRecordWhileMembersAreRegistered)
{
    begin();
    xcb_atom_t a = publish("PELK_MEMBER", std::string("alice\0ta", 8));
    auto e = message(LI_MEMBER_REGISTER, a, 0);
    last_input_handle_message(&e);
    ASSERT_EQ(last_input_quorum(), 1u);
    key();
    button();
    move(50, 60);
    wait_for_marker();
    stop_recording();
    Recording r = finish();
    EXPECT_TRUE(r.credits.empty());
    EXPECT_TRUE(has_position(r, 50, 60));
}

TEST_F(RecordThread, OwnUserRecordRefusedByTheWriterIsReported)
{
    begin();
    stop_recording();
    finish(); // the writer is gone: sends fail
    journal_clear();
    record_user_as_last_input();
    auto entries = journal_entries();
    bool reported = false;
    for (auto& e : entries)
        reported |= e.function == "record_user_as_last_input" &&
                    e.message == "failed to send LAST_INPUT record to backend";
    EXPECT_TRUE(reported);
}

TEST_F(RecordThread, NormalStopDisablesAndFreesTheContext)
{
    begin();
    ASSERT_FALSE(context_freed());
    stop_within_guard();
    // the requests of the main connection are done once it has a reply
    free(xcb_get_input_focus_reply(display_connection(), xcb_get_input_focus(display_connection()), nullptr));
    EXPECT_TRUE(context_freed());
    EXPECT_EQ(record_connection_fd(), -1);
    Recording r = finish();
    EXPECT_TRUE(journal_entries().empty());
}

TEST_F(RecordThread, BrokenRecordConnectionEndsTheThreadByItself)
{
    begin();
    // The server closes its end as it would for a killed client.
    ASSERT_GE(record_connection_fd(), 0);
    ASSERT_EQ(shutdown(record_connection_fd(), SHUT_RDWR), 0);
    // The thread sees its connection break and disables and frees the
    // context on the main connection on its way out.
    auto deadline = std::chrono::steady_clock::now() + xtest::kGuard;
    while (!context_freed()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the thread did not notice";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop_within_guard();
    finish();
}

TEST_F(RecordThread, StopWithABrokenMainConnectionEndsTheThread)
{
    begin();
    // Break the main connection on our side only: the server keeps the
    // client and its context, so no EndOfData will ever come.
    xcb_connection_t* c = display_connection();
    ASSERT_EQ(shutdown(xcb_get_file_descriptor(c), SHUT_RD), 0);
    free(xcb_poll_for_event(c));
    ASSERT_NE(xcb_connection_has_error(c), 0);
    ASSERT_FALSE(context_freed());

    stop_within_guard();
    finish();
}

TEST_F(RecordThread, MainConnectionKilledByTheServerEndsTheThread)
{
    begin();
    // The server frees the context with its client and ends the stream.
    xcb_kill_client(client_->c(), xcb_get_setup(display_connection())->resource_id_base);
    client_->sync();
    stop_within_guard();
    free(xcb_get_input_focus_reply(display_connection(), xcb_get_input_focus(display_connection()), nullptr));
    EXPECT_NE(xcb_connection_has_error(display_connection()), 0);
    finish();
}

TEST_F(RecordThread, DebugModeNamesTheStreamAndItsEnd)
{
    testing::internal::CaptureStdout();
    begin({"-user", "olga", "-tfn", "t-own"}, true);
    key();
    wait_for_marker();
    stop_recording();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    finish();
    EXPECT_NE(out.find("keycode 38"), std::string::npos) << out;
    EXPECT_NE(out.find("last input user=olga tfn=t-own"), std::string::npos);
    EXPECT_NE(out.find("device events in record from server"), std::string::npos);
    EXPECT_NE(out.find("root_x=301 root_y=200 ZEL_CURSOR_POSITION"), std::string::npos);
    EXPECT_NE(out.find("END OF DATA"), std::string::npos);
    EXPECT_NE(out.find("closed record connection"), std::string::npos);
    EXPECT_NE(out.find("collected record data thread"), std::string::npos);
}

} // namespace
