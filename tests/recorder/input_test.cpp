// What the recorder takes in besides pictures: pointer motion and key
// presses through RECORD, the announcements of who gave the last input, and
// the control messages on standard input.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <regex>

#include "harness.h"

using namespace xtest;

namespace {

void fake(Client& c, uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0)
{
    xcb_test_fake_input(c.c(), type, detail, XCB_CURRENT_TIME, c.root(), x, y, 0);
    c.sync();
}

bool has_position(const Recording& r, int16_t x, int16_t y)
{
    for (const ZelRecord* p : r.of_type(ZEL_CURSOR_POSITION))
        if (reinterpret_cast<const ZelCursorPosition*>(p)->x == x &&
            reinterpret_cast<const ZelCursorPosition*>(p)->y == y)
            return true;
    return false;
}

TEST(Input, MotionAndTheOwnUsersKeysAreRecorded)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({"-user", "olga", "-tfn", "own", d.name(), file});
    // the input thread enables its context on its own: move until a motion shows
    int16_t x = 1;
    wait_for_records(
        file,
        [&](const Recording& r) {
            fake(d.client, XCB_MOTION_NOTIFY, 0, x = static_cast<int16_t>(3 - x), 1);
            return !r.of_type(ZEL_CURSOR_POSITION).empty();
        },
        &recorder);
    fake(d.client, XCB_MOTION_NOTIFY, 0, 123, 45);
    fake(d.client, XCB_KEY_PRESS, 38);
    fake(d.client, XCB_KEY_RELEASE, 38);
    const Recording r = wait_for_records(
        file,
        [](const Recording& rec) {
            return has_position(rec, 123, 45) && !rec.of_type(ZEL_LAST_INPUT).empty();
        },
        &recorder);
    const auto* last = reinterpret_cast<const ZelLastInput*>(r.of_type(ZEL_LAST_INPUT).front());
    EXPECT_STREQ(reinterpret_cast<const char*>(last->user), "olga");
    EXPECT_EQ(recorder.stop(), 0);
}

// In debug mode every thread writes console lines; an announcement is never
// inside another line, where a reader matching whole lines would miss it.
TEST(Input, AnnouncementsAreWholeLinesAmongDebugLines)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({"-debug", "-tfn", "own", d.name(), file});
    Client& c = d.client;
    const xcb_window_t w = d.window(0, 0, 300, 300, 1);
    wait_for_screen(file, c, &recorder); // the recorder listens
    Painter painter(d.name(), w);        // keeps every thread talking
    for (const char* m : {"a", "b"})
        c.set_root_property(std::string("MEMBER_") + m, "STRING", std::string(m) + '\0' + "t" + m);
    for (uint32_t time = 1000; time < 1200; ++time)
        c.send_root_message("LAST_INPUT", {4, c.atom(time % 2 ? "MEMBER_a" : "MEMBER_b"), time});
    wait_for_records(
        file, [](const Recording& r) { return r.of_type(ZEL_LAST_INPUT).size() == 200; }, &recorder);
    EXPECT_EQ(recorder.stop(), 0);
    const std::string out = recorder.out();
    for (size_t at = out.find("##lastInputBy "); at != std::string::npos;
         at = out.find("##lastInputBy ", at + 1))
        ASSERT_TRUE(at == 0 || out[at - 1] == '\n') << "an announcement inside another line";
    // While the pipe is full, announcements in between may give way to a
    // later one; the latest always comes out.
    EXPECT_EQ(out.rfind("##lastInputBy "), out.rfind("##lastInputBy ta\n"));
    EXPECT_NE(out.rfind("##lastInputBy ta\n"), std::string::npos);
}

struct Messages {
    const char* name;
    std::vector<std::string> writes; // each written on its own, then the input closes
    std::vector<std::pair<ZelRecordType, std::vector<std::string>>> items;
};

class StdinMessages : public testing::TestWithParam<Messages> {};

TEST_P(StdinMessages, BecomeFooterItems)
{
    Display d;
    const std::string file = temp_dir() + "/r.zel";
    Recorder recorder({d.name(), file});
    wait_for_records(
        file, [](const Recording& r) { return !r.of_type(ZEL_HEADER).empty(); }, &recorder);
    for (const std::string& w : GetParam().writes) {
        recorder.write_stdin(w);
        recorder.wait_stdin_taken(); // the pieces arrive in reads of their own
    }
    recorder.close_stdin();
    EXPECT_EQ(recorder.wait(), 0);
    const Recording r = read_recording(file);
    for (const auto& [type, values] : GetParam().items) EXPECT_EQ(r.items(type), values) << type;
}

const Messages messages[] = {
    {"OneLine", {"sid 4711\n"}, {{ZEL_FOOTER_ITEM_SID, {"4711"}}}},
    {"TwoLinesInOneWriteCrLf",
     {"host db1\r\nip 10.0.0.1 \n"},
     {{ZEL_FOOTER_ITEM_HOST, {"db1"}}, {ZEL_FOOTER_ITEM_IP, {"10.0.0.1 "}}}},
    {"LineSplitOverWrites",
     {"app", "fmt Ca", "lc\n"},
     {{ZEL_FOOTER_ITEM_APPFMT, {"Calc"}}, {ZEL_FOOTER_ITEM_APP, {}}}},
    {"CrLfSplitOverWrites", {"tid t1\r", "\ntid t2\n"}, {{ZEL_FOOTER_ITEM_TID, {"t1", "t2"}}}},
    {"UnknownAndEmptyValues",
     {"app A\nunknown x\nsid \nAPP B\n"},
     {{ZEL_FOOTER_ITEM_APP, {"A"}}, {ZEL_FOOTER_ITEM_SID, {""}}}},
    {"OverlongLineIsCut",
     {"tid " + std::string(5000, 'x') + "\nsid s\n"},
     {{ZEL_FOOTER_ITEM_TID, {std::string(4091, 'x')}}, {ZEL_FOOTER_ITEM_SID, {"s"}}}},
    {"UnfinishedLastLineAtTheEnd", {"sid last"}, {{ZEL_FOOTER_ITEM_SID, {"last"}}}},
};
INSTANTIATE_TEST_SUITE_P(Table, StdinMessages, testing::ValuesIn(messages),
                         [](const testing::TestParamInfo<Messages>& i) { return std::string(i.param.name); });

} // namespace
