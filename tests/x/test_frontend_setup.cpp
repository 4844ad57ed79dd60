// The recorder's set-up against a real X server: the seamless-session check
// with its exact messages, the header as the server describes its screen
// (palette at depth 8), the footer items in order, and an orderly end on
// SIGTERM that leaves a verifying file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_frontend_common.h"
#include "x-harness.h"
#include "zel.h"

using e2e::Recording;

namespace {

const std::string kTitle = "pelkRec pelkrecorder-xpra-seamless";

std::string refusal(const std::string& shown)
{
    // errx adds its own line end after the message's
    return kTitle + ": not an xpra seamless session (XPRA_SERVER_MODE=" + shown + ")\n\n";
}

bool exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

int verify(const std::string& file)
{
    return xtest::run({ZELDUMP_PATH, "--verify", file}).status;
}

// Starts the recorder, waits until the header is on disk, stops it with
// SIGTERM and returns the whole recording.
Recording record_until_header(const std::string& display, const std::string& file,
                              std::vector<std::string> options = {})
{
    options.push_back(display);
    options.push_back(file);
    xtest::Recorder rec(options);
    e2e::wait_for_recording(
        file, [](const Recording& r) { return !r.records.empty(); }, &rec);
    rec.signal(SIGTERM);
    EXPECT_EQ(rec.wait(), 0) << rec.err();
    EXPECT_EQ(verify(file), 0);
    Recording r = e2e::read_recording(file);
    EXPECT_EQ(r.status, ZEL_READ_END);
    return r;
}

// ---------------------------------------------------------------- seamless check

struct Refused {
    const char* name;
    const char* type; // nullptr: property absent
    const char* value;
    const char* shown;
};

class SeamlessRefused : public testing::TestWithParam<Refused> {};

TEST_P(SeamlessRefused, EndsWithStatusOneAndTheExactMessage)
{
    const Refused& p = GetParam();
    xtest::Xvfb x;
    xtest::Client client(x.display());
    if (p.type)
        client.set_root_property("XPRA_SERVER_MODE", p.type, p.value);
    else
        client.delete_root_property("XPRA_SERVER_MODE");
    const std::string file = xtest::temp_dir() + "/rec.zel";

    xtest::Recorder rec({x.display(), file});
    EXPECT_EQ(rec.wait(), 1);
    EXPECT_EQ(rec.err(), refusal(p.shown));
    EXPECT_EQ(rec.out(), "");
    EXPECT_FALSE(exists(file)) << "no recording is started on a refused display";
}

INSTANTIATE_TEST_SUITE_P(Values, SeamlessRefused,
                         testing::Values(Refused{"Absent", nullptr, "", "(missing)"},
                                         Refused{"Empty", "UTF8_STRING", "", "(missing)"},
                                         Refused{"EmptyString", "STRING", "", "(missing)"},
                                         Refused{"Desktop", "UTF8_STRING", "desktop", "desktop"},
                                         Refused{"DesktopString", "STRING", "desktop", "desktop"},
                                         Refused{"OtherType", "COMPOUND_TEXT", "seamless", "(missing)"},
                                         Refused{"SeamlessThenMore", "UTF8_STRING", "seamlessly",
                                                 "seamlessly"},
                                         Refused{"TooShort", "UTF8_STRING", "amless", "amless"},
                                         Refused{"CaseDiffers", "UTF8_STRING", "Seamless", "Seamless"}),
                         [](const testing::TestParamInfo<Refused>& i) { return std::string(i.param.name); });

struct Accepted {
    const char* name;
    xtest::ModeType type;
    const char* value;
};

class SeamlessAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(SeamlessAccepted, RecordsAndEndsCleanlyOnSigterm)
{
    const Accepted& p = GetParam();
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display(), p.type, p.value);
    const std::string file = xtest::temp_dir() + "/rec.zel";
    const Recording r = record_until_header(x.display(), file);
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(r.records.front()->type, ZEL_HEADER);
    EXPECT_EQ(r.records.back()->type, ZEL_DONE);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SeamlessAccepted,
    testing::Values(Accepted{"Utf8", xtest::ModeType::Utf8String, "seamless"},
                    Accepted{"String", xtest::ModeType::String, "seamless"},
                    Accepted{"EndingInSeamless", xtest::ModeType::Utf8String, "xpra-seamless"},
                    Accepted{"EndingInSeamlessString", xtest::ModeType::String, "not-seamless"}),
    [](const testing::TestParamInfo<Accepted>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- header

struct Screen {
    const char* name;
    const char* screen;
    const char* visual_class; // -cc value, or nullptr for the server's default
};

class Header : public testing::TestWithParam<Screen> {};

// A colormapped root visual (8-bit PseudoColor) has no COMPOSITE, so the
// recorder refuses it; its palette is checked in process
// (test_frontend_palette.cpp).  The 8-bit screen here is TrueColor.
TEST_P(Header, FieldsAreWhatTheServerReports)
{
    const Screen& p = GetParam();
    xtest::XvfbOptions xo{p.screen, {}};
    if (p.visual_class) xo.extra_args = {"-cc", p.visual_class};
    xtest::Xvfb x(xo);
    xtest::SeamlessSession session(x.display());
    xtest::Client client(x.display());
    const std::string file = xtest::temp_dir() + "/rec.zel";
    const Recording r = record_until_header(x.display(), file);
    ASSERT_FALSE(r.records.empty());
    ASSERT_EQ(r.records.front()->type, ZEL_HEADER);
    const auto* h = reinterpret_cast<const ZelHeader*>(r.records.front().get());

    xcb_connection_t* c = client.c();
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_screen_t* s = client.screen();
    EXPECT_EQ(h->version, 1);
    EXPECT_EQ(h->depth, s->root_depth);
    EXPECT_EQ(h->width, s->width_in_pixels);
    EXPECT_EQ(h->height, s->height_in_pixels);
    EXPECT_EQ(h->scanline_pad, setup->bitmap_format_scanline_pad);
    EXPECT_EQ(h->min_keycode, setup->min_keycode);
    EXPECT_EQ(h->max_keycode, setup->max_keycode);
    EXPECT_EQ(h->user, nullptr);
    EXPECT_EQ(h->tfn, nullptr);
    EXPECT_GT(h->timestamp, 0u);

    // the pixel size agrees with the server's pixmap format for the depth
    uint8_t bpp = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == s->root_depth) bpp = it.data->bits_per_pixel;
    EXPECT_EQ(pixel_format_bytes_per_pixel(h->pixel_format) * 8, bpp);
    // no palette on a TrueColor screen
    EXPECT_NE(h->pixel_format, PALETTE8);
    EXPECT_EQ(h->palette_size, 0);
    EXPECT_EQ(h->palette, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Screens, Header,
                         testing::Values(Screen{"Depth8TrueColor", "320x200x8", "4"},
                                         Screen{"Depth16", "333x201x16", nullptr},
                                         Screen{"Depth24", "640x480x24", nullptr}),
                         [](const testing::TestParamInfo<Screen>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- footer

TEST(Footer, ItemsFollowTheHeaderInOrderAndUserAndTfnTravelInTheHeader)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    const std::string file = xtest::temp_dir() + "/rec.zel";
    // given in another order than they are written
    const Recording r =
        record_until_header(x.display(), file,
                            {"-tid", "T-9", "-sid", "S 1", "-ip", "10.0.0.7", "-host", "db1", "-appfmt",
                             "Calc", "-app", "office", "-user", "bob", "-tfn", "tfn-1"});
    ASSERT_GE(r.records.size(), 7u);
    ASSERT_EQ(r.records[0]->type, ZEL_HEADER);
    const auto* h = reinterpret_cast<const ZelHeader*>(r.records[0].get());
    ASSERT_NE(h->user, nullptr);
    ASSERT_NE(h->tfn, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(h->user), "bob");
    EXPECT_STREQ(reinterpret_cast<const char*>(h->tfn), "tfn-1");

    const std::vector<std::pair<ZelRecordType, std::string>> want = {
        {ZEL_FOOTER_ITEM_APP, "office"},  {ZEL_FOOTER_ITEM_APPFMT, "Calc"}, {ZEL_FOOTER_ITEM_HOST, "db1"},
        {ZEL_FOOTER_ITEM_IP, "10.0.0.7"}, {ZEL_FOOTER_ITEM_SID, "S 1"},     {ZEL_FOOTER_ITEM_TID, "T-9"},
    };
    for (size_t i = 0; i < want.size(); ++i) {
        const auto* f = reinterpret_cast<const ZelFooterItem*>(r.records[i + 1].get());
        EXPECT_EQ(f->type, want[i].first) << i;
        EXPECT_STREQ(reinterpret_cast<const char*>(f->item), want[i].second.c_str()) << i;
        EXPECT_GE(f->timestamp, h->timestamp);
    }
}

TEST(Footer, NoneWithoutTheOptions)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    const std::string file = xtest::temp_dir() + "/rec.zel";
    const Recording r = record_until_header(x.display(), file);
    for (ZelRecordType t : {ZEL_FOOTER_ITEM_APP, ZEL_FOOTER_ITEM_APPFMT, ZEL_FOOTER_ITEM_HOST,
                            ZEL_FOOTER_ITEM_IP, ZEL_FOOTER_ITEM_SID, ZEL_FOOTER_ITEM_TID})
        EXPECT_EQ(r.count(t), 0u) << t;
    EXPECT_EQ(r.count(ZEL_HEADER), 1u);
}

// ---------------------------------------------------------------- frame clock

// The console lines of debug mode carry their wall-clock time ("HH:MM:SS.mmm
// function: message"); the frame clock's first tick may not come before one
// period has passed since the loop began.
long line_ms(const std::string& out, const std::string& what)
{
    const size_t at = out.find(what);
    if (at == std::string::npos) return -1;
    const size_t start = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
    int hh = 0, mm = 0, ss = 0, ms = 0;
    if (sscanf(out.c_str() + start, "%d:%d:%d.%d", &hh, &mm, &ss, &ms) != 4) return -1;
    return ((hh * 60L + mm) * 60L + ss) * 1000L + ms;
}

TEST(FrameClock, FirstTickOnePeriodAfterStartAndUnchangedTicksMakeNoFrame)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    const std::string file = xtest::temp_dir() + "/rec.zel";
    xtest::Recorder rec({"-debug", "-framerate", "2", x.display(), file});
    ASSERT_TRUE(rec.wait_for_output("frontend_loop: entering..."));
    ASSERT_TRUE(rec.wait_for_output("process_frame_tick: start..."));
    const long entered = line_ms(rec.out(), "frontend_loop: entering...");
    const long first = line_ms(rec.out(), "process_frame_tick: start...");
    ASSERT_GE(entered, 0);
    ASSERT_GE(first, 0);
    long gap = first - entered;
    if (gap < 0) gap += 24L * 3600 * 1000; // midnight
    EXPECT_GE(gap, 500 - 1) << rec.out();

    // nothing on the screen changes: the tick finds nothing and no image is made
    ASSERT_TRUE(rec.wait_for_output("process_frame_tick: nothing changed!"));
    rec.signal(SIGTERM);
    EXPECT_EQ(rec.wait(), 0);
    const Recording r = e2e::read_recording(file);
    EXPECT_EQ(r.status, ZEL_READ_END);
    EXPECT_EQ(r.frames(), 0u);
    EXPECT_EQ(rec.out().find("global_damage"), std::string::npos);
    EXPECT_EQ(rec.out().find("sent frame request"), std::string::npos);
}

} // namespace

// ---------------------------------------------------------------- exit status

namespace {

// A recording that cannot be written ends the run by itself, after a full
// teardown, with status 1 so that the service learns of it.
TEST(ExitStatus, AFileThatCannotBeOpenedEndsWithStatusOne)
{
    xtest::Xvfb x;
    xtest::SeamlessSession session(x.display());
    const std::string dir = xtest::temp_dir();
    xtest::Recorder missing_dir({x.display(), dir + "/no-such-dir/rec.zel"});
    EXPECT_EQ(missing_dir.wait(), 1) << missing_dir.err();

    // an existing recording is never overwritten
    const std::string existing = dir + "/existing.zel";
    {
        std::ofstream(existing) << "evidence";
    }
    xtest::Recorder taken({x.display(), existing});
    EXPECT_EQ(taken.wait(), 1) << taken.err();
    std::ifstream in(existing);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "evidence");
}

} // namespace
