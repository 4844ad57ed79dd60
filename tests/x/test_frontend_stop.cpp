// The stop request, in process: a stop asked for before the loop starts
// (a signal or a failed footer item during set-up) is not undone when the
// loop starts, so the recorder goes straight to its teardown.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "frontend.h"

TEST(FrontendStop, AStopDuringSetUpStandsWhenTheLoopStarts)
{
    EXPECT_FALSE(frontend_running());
    // from other threads, several at once, as the signal thread and a
    // worker might
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { frontend_stop(); });
    for (auto& t : threads) t.join();
    // no display is connected here: entering the loop would not come back
    frontend_run();
    EXPECT_FALSE(frontend_running());
    frontend_run();
    EXPECT_FALSE(frontend_running());
}
