// The recorder on a real xpra seamless session: it accepts the session,
// captures the window of a real program from its off-screen pixmap, and
// leaves a complete file when stopped.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "x-harness.h"

using namespace xtest;

TEST(XpraRecorder, RecordsAnXtermWindowOfARealSession)
{
    XpraSession s;
    Client c(s.display());
    s.start({"xterm", "-geometry", "40x10", "-e", "sleep", "1000"});
    xcb_window_t w = 0;
    c.wait_for_client_list([&](const std::vector<xcb_window_t>& l) {
        if (!l.empty()) w = l.front();
        return !l.empty();
    });
    c.wait_for_viewable(w);

    std::string file = temp_dir() + "/xpra.zel";
    Recorder rec({"-app", "xpra-test", s.display(), file});
    auto seen = wait_for_records(file, [](const Records& rs) {
        return std::any_of(rs.begin(), rs.end(), [](const RecordPtr& r) {
            return r->type == ZEL_COMPRESSED_IMAGE || r->type == ZEL_COMPRESSED_IMAGE_BLOCKS;
        });
    });
    rec.signal(SIGTERM);
    EXPECT_EQ(rec.wait(), 0) << rec.err();

    Recording done = read_recording(file);
    ASSERT_EQ(done.status, ZEL_READ_END) << done.problem;
    ASSERT_FALSE(done.records.empty());
    ASSERT_EQ(done.records.front()->type, ZEL_HEADER);
    auto* h = reinterpret_cast<const ZelHeader*>(done.records.front().get());
    EXPECT_EQ(h->width, 1280);
    EXPECT_EQ(h->height, 800);
    EXPECT_EQ(h->depth, 24);
    EXPECT_EQ(h->pixel_format, xRGB8888);
    auto* app = done.first<ZelFooterItem>(ZEL_FOOTER_ITEM_APP);
    ASSERT_NE(app, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(app->item), "xpra-test");

#ifdef ZELDUMP_PATH
    RunResult verify = run({ZELDUMP_PATH, "--verify", file});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
#endif
}
