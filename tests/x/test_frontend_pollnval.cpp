// The frontend loop in process with standard input closed under it: poll
// then reports the descriptor as invalid, which ends the loop as a hang-up
// would instead of making it spin on a report that repeats at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "display.h"
#include "frontend.h"
#include "x-harness.h"

TEST(FrontendLoop, StandardInputClosedUnderTheLoopEndsIt)
{
    xtest::Xvfb x;
    const std::string file = xtest::temp_dir() + "/unused.zel";
    std::vector<std::string> args = {"pelkrecorder-xpra-seamless", x.display(), file};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    cli_parse_arguments(static_cast<int>(argv.size()), argv.data());
    display_connection_setup();
    ASSERT_NE(xcb_get_file_descriptor(display_connection()), 0);

    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);

    // a guard against a loop that never ends: stop it from outside
    std::mutex m;
    std::condition_variable cv;
    bool returned = false;
    bool guard_fired = false;
    std::thread guard([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, xtest::kGuard, [&] { return returned; })) {
            guard_fired = true;
            frontend_stop();
        }
    });
    frontend_run();
    {
        std::lock_guard lock(m);
        returned = true;
    }
    cv.notify_one();
    guard.join();

    dup2(saved, 0);
    close(saved);
    display_connection_teardown();
    EXPECT_FALSE(guard_fired) << "the loop did not end by itself";
    EXPECT_FALSE(frontend_running());
}
