// zeldump as a user runs it: exit statuses and the line of --verify,
// listings and JSON of hostile recordings, and the frames it exports (PNG
// and video) against the library's own replay.
#include <png.h>

#include <random>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

TEST(Zeldump, ExitStatusesAndWhatVerifySays)
{
    TempDir dir;
    Records rs;
    sample_records(rs);
    const std::vector<uint8_t> bytes = recording(rs);
    const std::string ok = dir.file("ok.zel"), cut = dir.file("cut.zel"), bad = dir.file("bad.zel"),
                      off = dir.file("off.zel"), v1 = dir.file("v1.zel"), keys = dir.file("k");
    write_file(ok, bytes);
    write_file(cut, std::vector<uint8_t>(bytes.begin(), bytes.end() - 30));
    std::vector<uint8_t> flipped = bytes;
    flipped[500] ^= 1;
    write_file(bad, flipped);
    Records outside; // a copy whose target passes the screen's right edge
    add_header(outside, t0, 8, 8);
    add_copy(outside, t0 + 1, {{0, 0, 4, 4, 5, 0}});
    outside.add<ZelRecord>(ZEL_DONE, t0 + 2);
    write_file(off, recording(outside));
    write_file(v1, {0x89, 0x5A, 0x45, 0x4C, 0x0D, 0x0A, 0x1A, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x5E, 0xAF,
                    0xCF, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x1E, 0x18,
                    0x24, 0x0A, 0x06, 0x00, 0xC5, 0x50, 0x07, 0x09, 0xC7, 0x4B, 0x67, 0x48});
    ASSERT_EQ(zeldump({"--keygen", keys + ".sec", keys + ".pub"}).status, 0);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out; // the start of standard output
    } cases[] = {
        {{"--verify", ok}, 0, ok + ": complete, 20 records, every checksum holds, 1 seal holds, unsigned\n"},
        {{"--verify", cut}, 2, cut + ": truncated at byte " + std::to_string(bytes.size() - 24 - 65)},
        {{"--verify", bad}, 3, bad + ": corrupt at byte "},
        {{"--verify", off}, 3, off + ": corrupt at byte 64: copy record does not decode or fit the screen"},
        {{"--verify", v1},
         0,
         v1 + ": complete, 1 records, every checksum holds, unsealed (format version 1)\n"},
        {{"--verify", "--key", keys + ".pub", v1},
         4,
         v1 + ": not authentic: a key was given, but format version 1"},
        {{"--verify", "--key", keys + ".pub", ok}, 4, ok + ": not authentic: the seal at byte"},
        {{"--verify", "--key", keys + ".sec", ok}, 1, ""}, // not a public key file
        {{"--verify", dir.file("missing.zel")}, 1, ""},
        {{"--keygen", keys + ".sec", keys + ".new"}, 1, ""},
        {{"--bogus", ok}, 1, ""},
        {{"--key", keys + ".pub", ok}, 1, ""},
        {{}, 1, ""},
        {{cut}, 2, "        16 header"},
        {{"--stats", bad}, 3, "file: "},
    };
    for (const auto& c : cases) {
        Outcome o = zeldump(c.args);
        EXPECT_EQ(o.status, c.status) << c.args.size() << " " << o.out << o.err;
        EXPECT_EQ(o.out.substr(0, c.out.size()), c.out) << o.err;
    }
    EXPECT_NE(zeldump({"--verify", cut}).out.find("nothing is sealed"), std::string::npos);
    EXPECT_NE(zeldump({"--help"}).out.find("--keygen SECRET_FILE PUBLIC_FILE"), std::string::npos);
}

// Strings as a hostile recorder could give them: JSON stays valid, the raw
// bytes are kept in NAME_base64.
TEST(Zeldump, JsonOfHostileStringsParsesLineByLine)
{
    const char* hostile[] = {"\xff\xfe",
                             "a\x01\x1b\"\\\x7f",
                             "\xc3\x28",
                             "\xed\xa0\x80",
                             "\xf4\x90\x80\x80",
                             "\xc0\xaf",
                             "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"};
    Records rs;
    ZelHeader* h = add_header(rs, t0, 8, 8);
    h->user = dup(hostile[0]);
    h->tfn = dup(hostile[1]);
    for (const char* s : hostile) rs.add<ZelFooterItem>(ZEL_FOOTER_ITEM_HOST, t0 + 1)->item = dup(s);
    rs.add<ZelRecord>(ZEL_DONE, t0 + 2);
    TempDir dir;
    write_file(dir.file("h.zel"), recording(rs));
    Outcome json = zeldump({"--json", dir.file("h.zel")});
    ASSERT_EQ(json.status, 0) << json.err;
    write_file(dir.file("out.json"), std::vector<uint8_t>(json.out.begin(), json.out.end()));
    const char* check =
        "import base64, json, sys\n"
        "for line in open(sys.argv[1], encoding='utf-8', errors='strict'):\n"
        "    o = json.loads(line)\n"
        "    print(o['type'], ' '.join(k + '=' + base64.b64decode(v).hex() for k, v in o.items()"
        " if k.endswith('_base64')))\n";
    Outcome parsed = run({"python3", "-c", check, dir.file("out.json")});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "header user_base64=fffe\n"
                          "footer_host item_base64=fffe\nfooter_host \nfooter_host item_base64=c328\n"
                          "footer_host item_base64=eda080\nfooter_host item_base64=f4908080\n"
                          "footer_host item_base64=c0af\nfooter_host \nseal \ndone \n");
    EXPECT_NE(json.out.find("\"tfn\":\"a\\u0001\\u001b\\\"\\\\\\u007f\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"item\":\"\xef\xbf\xbd(\""), std::string::npos);
}

TEST(Zeldump, ListingsAndStatsShowTheNewRecords)
{
    Records rs;
    sample_records(rs);
    TempDir dir;
    uint8_t sk[64], pk[32];
    test_key(sk, pk);
    write_file(dir.file("s.zel"), recording(rs, sk));
    Outcome list = zeldump({dir.file("s.zel")});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find(" copy "), std::string::npos);
    EXPECT_NE(list.out.find("count=2 rects=[[0,8,64,40,0,0],[-1,2,0,0,5,-7]]"), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find(" compressed_cursor_image "), std::string::npos);
    EXPECT_NE(list.out.find(" seal "), std::string::npos);
    Outcome stats = zeldump({"--stats", dir.file("s.zel")});
    EXPECT_NE(stats.out.find("\nseals: 1, 1 signed with key "), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("frames: 4 (2 full images, 2 block updates)"), std::string::npos) << stats.out;
}

// Screens that scroll (copies and a new bottom row of blocks), a full screen
// every 7 frames, a compressed cursor, a resize; 10 frames a second.
void moving(Records& rs, int frames)
{
    std::mt19937 rng(7);
    add_header(rs, t0, 48, 40);
    uint16_t w = 48, h = 40;
    uint32_t cursor[9] = {0xFFFF0000u, 0, 0xFF00FF00u, 0, 0xFFFFFFFFu, 0, 0x800000FFu, 0, 0xFF000000u};
    ZelCursorImage ci{ZEL_CURSOR_IMAGE, t0, 3, 3, 5, 5, 1, 1, 1, 9, cursor};
    rs.take(zel_cursor_image_compress(&ci));
    for (int f = 0; f < frames; ++f) {
        const uint64_t t = t0 + static_cast<uint64_t>(f) * 100'000;
        if (f == frames / 2) {
            w = 64, h = 32;
            *rs.add<ZelScreenChange>(ZEL_SCREEN_CHANGE, t) = {ZEL_SCREEN_CHANGE, t, w, h};
        }
        if (f % 7 == 0) {
            std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
            for (auto& b : px) b = static_cast<uint8_t>(rng());
            ZelImage img{ZEL_IMAGE, t, w, h, 0, 0, xRGB8888, 32, w * 4u, static_cast<uint32_t>(px.size()),
                         px.data()};
            rs.take(zel_image_compress(&img));
        } else {
            add_copy(rs, t, {{0, 4, w, static_cast<uint16_t>(h - 4), 0, 0}});
            add_block(rs, t, 0, static_cast<int16_t>(h - 4), w, 4, f);
        }
        *rs.add<ZelCursorPosition>(ZEL_CURSOR_POSITION, t + 50'000) = {
            ZEL_CURSOR_POSITION, t + 50'000, static_cast<int16_t>(f), static_cast<int16_t>(f / 2)};
    }
    rs.add<ZelRecord>(ZEL_DONE, t0 + static_cast<uint64_t>(frames) * 100'000);
}

// RGBA of the screen at time t, replaying every record up to it.
std::vector<uint8_t> screen_at(const Records& rs, uint64_t t)
{
    ZelReplay* r = zel_replay_new();
    for (ZelRecord* rec : rs)
        EXPECT_TRUE(rec->timestamp > t || zel_replay_apply(r, rec) == 0);
    std::vector<uint8_t> rgba(static_cast<size_t>(zel_replay_width(r)) * zel_replay_height(r) * 4);
    EXPECT_EQ(zel_replay_render_rgba(r, rgba.data(), rgba.size(), 1), 0);
    zel_replay_free(r);
    return rgba;
}

std::vector<uint8_t> read_png(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return {};
    return pixels;
}

// Seeking starts at keyframes and skips the copies before them: the pictures
// must be those of replaying everything.
TEST(ZeldumpFrames, PngAtAnyTimeEqualsTheFullReplay)
{
    Records rs;
    moving(rs, 30);
    TempDir dir;
    const std::string rec = dir.file("m.zel");
    ASSERT_TRUE(write_recording(rec, rs, nullptr, 2000)); // keyframes often
    ASSERT_EQ(zeldump({"--verify", rec}).status, 0);
    Outcome at = zeldump({"--png", dir.file("at"), "--at", "0.05", "--at", "0.75", "--at", "1.42", "--at",
                          "2.9", "--at", "9", rec});
    ASSERT_EQ(at.status, 0) << at.err;
    for (double s : {0.05, 0.75, 1.42, 2.9, 9.0}) {
        char name[64];
        std::snprintf(name, sizeof name, "/frame-%010.3f.png", s);
        EXPECT_TRUE(read_png(dir.file("at") + name) ==
                    screen_at(rs, t0 + static_cast<uint64_t>(s * 1e6 + 0.5)))
            << "frame at " << s << " s differs";
    }
    ASSERT_EQ(zeldump({"--png", dir.file("every"), "--every", "0.5", rec}).status, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("every")), {}), 7); // 0, 0.5, .. 3.0
    EXPECT_TRUE(read_png(dir.file("every") + "/frame-000001.500.png") == screen_at(rs, t0 + 1'500'000));
}

TEST(ZeldumpFrames, VideoPadsToTheLargestScreen)
{
    if (run({"ffprobe", "-version"}).status != 0) GTEST_SKIP() << "ffmpeg is not installed";
    Records rs;
    moving(rs, 20);
    TempDir dir;
    ASSERT_TRUE(write_recording(dir.file("m.zel"), rs));
    Outcome r = zeldump({"--quiet", "--video", dir.file("m.mp4"), dir.file("m.zel")});
    ASSERT_EQ(r.status, 0) << r.err;
    Outcome probe =
        run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
             "stream=width,height,nb_read_frames,r_frame_rate", "-of", "csv=p=0", dir.file("m.mp4")});
    EXPECT_EQ(probe.out, "64,40,10/1,21\n"); // the larger width and height; 2.0 s at 10 per second
}

} // namespace
