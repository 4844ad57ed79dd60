// The X server of a real xpra seamless session killed while the recorder
// records one of its windows: an orderly end with status 0 and a complete
// file holding what was written before.
#include <signal.h>

#include <gtest/gtest.h>

#include "fault-support.h"

using fault::Recording;

TEST(XpraFault, XServerOfTheSessionKilledWhileRecording)
{
    xtest::XpraSession s;
    xtest::Client c(s.display());
    s.start({"xterm", "-geometry", "60x15", "-e", "sh", "-c", "while :; do date; sleep 0.05; done"});
    xcb_window_t w = 0;
    c.wait_for_client_list([&](const std::vector<xcb_window_t>& l) {
        if (!l.empty()) w = l.front();
        return !l.empty();
    });
    c.wait_for_viewable(w);

    const std::string file = xtest::temp_dir() + "/xpra.zel";
    xtest::Recorder rec({"-sid", "xpra-fault", s.display(), file});
    rec.write_stdin("tid before-kill\n");
    Recording before = fault::wait_for_recording(
        file,
        [](const Recording& r) { return r.images() >= 3 && r.has_item(ZEL_FOOTER_ITEM_TID, "before-kill"); },
        &rec);
    ASSERT_GT(s.x_server_pid(), 0);
    ASSERT_EQ(kill(s.x_server_pid(), SIGKILL), 0);
    EXPECT_EQ(rec.wait(), 0) << rec.err();

    std::string out;
    EXPECT_EQ(fault::zeldump_verify(file, &out), 0) << out;
    Recording after = fault::read_recording(file);
    EXPECT_EQ(after.status, ZEL_READ_END) << after.problem;
    ASSERT_GE(after.records.size(), before.records.size());
    EXPECT_TRUE(after.has_item(ZEL_FOOTER_ITEM_TID, "before-kill"));
    EXPECT_GE(after.images(), before.images());
    EXPECT_EQ(after.records.back().type, ZEL_DONE);
}
