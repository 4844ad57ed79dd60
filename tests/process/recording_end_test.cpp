// How a whole recording run ends, against a real display: a file that
// cannot be written ends the run by itself with status 1 after a complete
// teardown; a terminal interrupt ends it with status 0 and, in debug mode,
// "exiting" from main as the last console line.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "x-harness.h"

namespace {

TEST(RecordingEnd, UnwritableFileStopsTheRunWithStatusOne)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    std::string file = xtest::temp_dir() + "/missing/rec.zel";
    // Nobody stops it: the writer does, through the frontend.
    xtest::Recorder rec({"-debug", x.display(), file});
    EXPECT_EQ(rec.wait(), 1) << rec.err();
    EXPECT_NE(rec.out().find("frontend_stop: stopping frontend\n"), std::string::npos) << rec.out();
    EXPECT_NE(rec.out().find("backend_thread_stop: collected backend thread\n"), std::string::npos)
        << rec.out();
    EXPECT_TRUE(rec.out().ends_with(" main: exiting\n")) << rec.out();
    EXPECT_EQ(rec.err(), "");
}

TEST(RecordingEnd, InterruptEndsTheRunWithStatusZero)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    std::string file = xtest::temp_dir() + "/rec.zel";
    xtest::Recorder rec({"-debug", x.display(), file});
    // The header is written once the set-up is complete and the signal thread waits.
    xtest::wait_for_records(file, [](const xtest::Records& r) { return !r.empty(); });
    rec.signal(SIGINT);
    EXPECT_EQ(rec.wait(), 0) << rec.err();
    EXPECT_NE(rec.out().find("signals_function: got signal SIGINT (2): stopping frontend\n"),
              std::string::npos)
        << rec.out();
    EXPECT_TRUE(rec.out().ends_with(" main: exiting\n")) << rec.out();
    EXPECT_EQ(xtest::read_recording(file).status, ZEL_READ_END);
}

} // namespace
