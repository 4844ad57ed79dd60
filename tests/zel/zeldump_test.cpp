// zeldump as a user runs it: exit statuses and the line of --verify, listings,
// JSON of hostile recordings, and the frames it exports by seeking.
#include <random>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

// Files of the corpus, and key files of its own.
TEST(Zeldump, ExitStatusesAndWhatItSays)
{
    TempDir dir;
    auto kept = [](const char* name) { return std::string(ZEL_CORPUS_DIR "/") + name + ".zel"; };
    const std::string ok = kept("v2-complete-unsigned"), cut = kept("v2-truncated-after-final-seal"),
                      v1 = kept("v1-complete-sample"), key = dir.file("k");
    ASSERT_EQ(zeldump({"--keygen", key + ".sec", key + ".pub"}).status, 0);
    // clang-format off
    const struct { std::vector<std::string> args; int status; std::string out; } cases[] = {
        {{"--verify", ok}, 0, ok + ": complete, 20 records, every checksum holds, 1 seal holds, unsigned\n"},
        {{"--verify", cut}, 2, ": truncated at byte 1584 (the data ends without an end-of-data record), 19 good records before it; sealed up to byte 1415 (0.000 s), the rest is unsealed\n"},
        {{"--verify", kept("v1-corrupt-flipped-bit")}, 3, ": corrupt at byte 391: compressed_image_blocks record checksum mismatch\n"},
        {{"--verify", kept("v2-complete-copy-outside")}, 3, ": corrupt at byte 925: copy record does not decode or fit the screen"},
        {{"--verify", v1}, 0, v1 + ": complete, 17 records, every checksum holds, unsealed (format version 1)\n"},
        {{"--verify", "--key", key + ".pub", v1}, 4, ": not authentic: a key was given, but format version 1 has no seals\n"},
        {{"--verify", "--key", key + ".pub", ok}, 4, ": not authentic: the seal at byte 1415 is not signed, but a key was given\n"},
        {{"--verify", "--key", key + ".sec", ok}, 1, ""}, // not a public key file
        {{"--verify", dir.file("missing.zel")}, 1, ""},
        {{"--keygen", key + ".sec", key + ".new"}, 1, ""},
        {{"--bogus", ok}, 1, ""}, {{"--key", key + ".pub", ok}, 1, ""}, {{}, 1, ""},
        {{cut}, 2, "        16 header "},
        {{ok}, 0, "  925 copy                       +0.000006 count=2 rects=[[0,8,64,40,0,0],[-1,2,0,0,5,-7]]\n"},
        {{ok}, 0, "  816 compressed_cursor_image    +0.000003 x=10 y=12 width=4 height=4 xhot=1 yhot=2 cursor_serial=77"},
        {{"--stats", ok}, 0, "\nseals: 1, unsigned\n"},
        {{"--stats", cut}, 2, "\nframes: 4 (2 full images, 2 block updates)"},
        {{"--help"}, 0, "--keygen SECRET_FILE PUBLIC_FILE"},
    };
    // clang-format on
    for (const auto& c : cases) {
        Outcome o = zeldump(c.args);
        EXPECT_EQ(o.status, c.status) << c.args.size() << " " << o.out << o.err;
        EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out << o.err;
    }
}

// Strings as a hostile recorder could give them: JSON stays valid UTF-8,
// the raw bytes are kept in NAME_base64.
TEST(Zeldump, JsonOfHostileStringsParsesLineByLine)
{
    // clang-format off
    const char* hostile[] = {"\xff\xfe", "a\x01\x1b\"\\\x7f", "\xc3\x28", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf",
                             "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"}; // all but the second and the last are not UTF-8
    // clang-format on
    Records rs;
    rs.add(ZelHeader{ZEL_HEADER, 1, t0, 24, 8, 8, xRGB8888, 32, 0, nullptr, 8, 255, dup(hostile[0]),
                     dup(hostile[1])});
    for (const char* s : hostile) rs.add(ZelFooterItem{ZEL_FOOTER_ITEM_HOST, t0 + 1, dup(s)});
    rs.done(t0 + 2);
    TempDir dir;
    write_file(dir.file("h.zel"), recording(rs));
    Outcome json = zeldump({"--json", dir.file("h.zel")});
    ASSERT_EQ(json.status, 0) << json.err;
    write_file(dir.file("out.json"), std::vector<uint8_t>(json.out.begin(), json.out.end()));
    const char* check = "import base64, json, sys\n"
                        "for line in open(sys.argv[1], encoding='utf-8', errors='strict'):\n"
                        "    o = json.loads(line)\n"
                        "    print(o['type'], *(k + '=' + base64.b64decode(v).hex() for k, v in o.items()"
                        " if k.endswith('_base64')))\n";
    Outcome parsed = xtest::run({"python3", "-c", check, dir.file("out.json")});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              "header user_base64=fffe\nfooter_host item_base64=fffe\nfooter_host\n"
              "footer_host item_base64=c328\nfooter_host item_base64=eda080\n"
              "footer_host item_base64=f4908080\nfooter_host item_base64=c0af\nfooter_host\ndone\nseal\n");
    EXPECT_NE(json.out.find("\"tfn\":\"a\\u0001\\u001b\\\"\\\\\\u007f\""), std::string::npos) << json.out;
}

// Screens that scroll (a copy and a new bottom row of blocks), with a full
// screen every 7 frames and a compressed cursor; 10 frames a second.
void moving(Records& rs, int frames)
{
    std::mt19937 rng(7);
    rs.header(t0, 48, 40);
    uint32_t cursor[4] = {0xFFFF0000u, 0, 0x800000FFu, 0xFF000000u};
    ZelCursorImage ci{ZEL_CURSOR_IMAGE, t0, 2, 2, 5, 5, 1, 1, 1, 4, cursor};
    rs.take(zel_cursor_image_compress(&ci));
    std::vector<uint8_t> px(48 * 40 * 4);
    for (uint64_t f = 0, t = t0; f < uint64_t(frames); ++f, t += 100'000) {
        for (auto& b : px) b = static_cast<uint8_t>(rng());
        ZelImage img{ZEL_IMAGE, t, 48, 40, 0, 0, xRGB8888, 32, 48 * 4, uint32_t(px.size()), px.data()};
        f % 7 ? rs.copy(t, {{0, 4, 48, 36, 0, 0}}) : rs.take(zel_image_compress(&img));
        if (f % 7) rs.block(t, 0, 36, 48, 4, int(f));
        rs.move(t + 50'000, int16_t(f), int16_t(f / 2));
    }
    rs.done(t0 + uint64_t(frames) * 100'000);
}

// Seeking (--at) starts at keyframes and skips the copies before them; its
// pictures must be those of replaying everything in order (--every).
TEST(ZeldumpFrames, SeekingShowsWhatReplayingEverythingShows)
{
    Records rs;
    moving(rs, 30);
    TempDir dir;
    const std::string rec = dir.file("m.zel");
    write_file(rec, recording(rs, nullptr, 2000)); // keyframes often
    ASSERT_EQ(zeldump({"--png", dir.file("every"), "--every", "0.25", rec}).status, 0);
    std::vector<std::string> args{"--png", dir.file("at")};
    for (double s : {0.25, 0.75, 1.5, 2.75, 3.0}) args.insert(args.end(), {"--at", std::to_string(s)});
    args.push_back(rec);
    ASSERT_EQ(zeldump(args).status, 0);
    for (const auto& f : std::filesystem::directory_iterator(dir.file("at")))
        EXPECT_EQ(read_file(f.path()), read_file(dir.file("every/") + f.path().filename().string()))
            << f.path();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("at")), {}), 5);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("every")), {}),
              13); // 0, 0.25, .. 3.0
}

} // namespace
