// zeldump as a user runs it: exit statuses and the line of --verify, listings,
// JSON of hostile recordings, and the frames it exports by seeking.
#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

// Files of the corpus, and key files of its own.
TEST(Zeldump, ExitStatusesAndWhatItSays)
{
    TempDir dir;
    auto kept = [](const char* name) { return std::string(ZEL_CORPUS_DIR "/") + name + ".zel"; };
    const std::string ok = kept("v2-complete-unsigned"), cut = kept("v2-truncated-after-final-seal"),
                      v1 = kept("v1-complete-sample"), key = dir.file("k"), v3 = kept("v3-complete-sample"),
                      flipped = kept("v3-corrupt-flipped-byte");
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
        {{"--verify", kept("v3-complete-end-moved")}, 4, ": not authentic: the seal at byte 1799 does not match the bytes before it\n"},
        {{"--verify", kept("v3-truncated-after-done")}, 2, "(the data ends after the end-of-data record, before its final seal)"},
        {{"--verify", flipped}, 3, "\n" + flipped + ": damaged bytes 391-708 (317 bytes) between 0.000001 s and 0.000003 s\n"},
        {{flipped}, 3, "\n      1762 done                       +0.000017 reason=\"signal\" signal=15 pid=4242 uid=1000\n"},
        {{"--json", v3}, 0, "\"size\":37,\"reason\":\"signal\",\"signal\":15,\"pid\":4242,\"uid\":1000}"},
        {{"--json", v3}, 0, "\"event\":\"shown\",\"title\":\"t\xef\xbf\xbd\\u0000tle\",\"title_base64\":\"dP8AdGxl\",\"instance\":\"xterm\",\"class\":null,\"command\":\"xterm -e sh\",\"pid\":4242,\"uid\":1000,\"client\":4194304,\"transient_for\":4194305,\"override_redirect\":false,\"managed\":true,\"x\":-4,\"y\":20,\"width\":640,\"height\":480,\"z\":2}"},
        {{"--json", v3}, 0, "\"from\":1700000000000014,\"to\":1700000000000016,\"cause\":\"connection-lost\",\"detail\":\"killed\"}"},
        {{"--events", v3}, 0, "Z window-shown window=0x600002 title=\"\" class=null instance=null command=null pid=unknown uid=unknown client=0x600000 at=0,0 size=1x1 popup\n"},
        {{"--events", v3}, 0, "Z end reason=signal signal=15 pid=4242 uid=1000\n     0.000 2023-11-14T22:13:20.000Z seal bytes=1799 key=56475AA75463474C final\n"},
        {{"--events", flipped}, 3, "     0.000 2023-11-14T22:13:20.000Z damaged bytes=391-708\n"},
        {{"--stats", v3}, 0, "\nend: signal 15 from pid 4242, uid 1000\nwindows: 2 shown, 1 title changes, 1 gone\ninterruptions: 2, 0.000 s in all\n"},
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
    using namespace std::string_literals;
    rs.shown(t0 + 1, 0x400007, hostile[0], "vi\0\xc3("s, 7); // a command line of two arguments
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
    EXPECT_EQ(parsed.out, "header user_base64=fffe\nfooter_host item_base64=fffe\nfooter_host\n"
                          "footer_host item_base64=c328\nfooter_host item_base64=eda080\n"
                          "footer_host item_base64=f4908080\nfooter_host item_base64=c0af\nfooter_host\n"
                          "window title_base64=fffe command_base64=766900c328\ndone\nseal\n");
    EXPECT_NE(json.out.find("\"tfn\":\"a\\u0001\\u001b\\\"\\\\\\u007f\""), std::string::npos) << json.out;
}

// The PNG frames of an export (of these seconds only, when given), by name.
std::map<std::string, std::vector<uint8_t>> frames_of(const std::string& dir,
                                                      const std::vector<double>& only = {})
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& f : std::filesystem::directory_iterator(dir)) {
        double seconds = 0;
        if (std::sscanf(f.path().filename().c_str(), "frame-%lf.png", &seconds) != 1) continue;
        if (only.empty() || std::find(only.begin(), only.end(), seconds) != only.end())
            out[f.path().filename()] = read_file(f.path());
    }
    return out;
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
    EXPECT_EQ(frames_of(dir.file("at")), frames_of(dir.file("every"), {0.25, 0.75, 1.5, 2.75, 3.0}));
    EXPECT_EQ(frames_of(dir.file("every")).size(), 13u); // 0, 0.25, .. 3.0
}

// A flipped byte at 0.9 s: frames up to it and from the next whole screen (1.4 s) on are those of the
// intact recording, none between; the manifest beside them names the recording by its SHA-256.
TEST(ZeldumpFrames, ADamagedRecordingExportsItsIntactPartsWithAManifest)
{
    Records rs;
    moving(rs, 30);
    TempDir dir;
    const std::vector<uint8_t> bytes = recording(rs);
    ReadResult all = read_memory(bytes, true);
    std::vector<uint8_t> damaged = bytes;
    for (size_t i = 1; i < all.records.size(); ++i)
        if (all.records[i]->timestamp == t0 + 900'000 && all.records[i]->type == ZEL_COMPRESSED_IMAGE_BLOCKS)
            damaged[all.ends[i - 1] + 30] ^= 0x01;
    write_file(dir.file("m.zel"), bytes);
    write_file(dir.file("d.zel"), damaged);
    for (const char* name : {"m", "d"})
        ASSERT_EQ(zeldump({"--png", dir.file(name), "--every", "0.25", dir.file(name) + ".zel"}).status, 0);
    EXPECT_EQ(frames_of(dir.file("d")),
              frames_of(dir.file("m"), {0, 0.25, 0.5, 0.75, 1.5, 1.75, 2, 2.25, 2.5, 2.75, 3}));
    Outcome at = zeldump({"--png", dir.file("at"), "--at", "1.25", "--at", "2.5", dir.file("d.zel")});
    EXPECT_NE(at.err.find("zeldump: no intact screen at 1.250 s\n"), std::string::npos) << at.err;
    EXPECT_EQ(frames_of(dir.file("at")), frames_of(dir.file("m"), {2.5}));
    Outcome sum = xtest::run({"sha256sum", dir.file("d.zel")});
    const std::vector<uint8_t> manifest_bytes = read_file(dir.file("d/manifest.json"));
    const std::string manifest(manifest_bytes.begin(), manifest_bytes.end());
    for (const std::string& line :
         {"\"sha256\": \"" + sum.out.substr(0, 64) + "\",", std::string("\"verdict\": \"corrupt\","),
          std::string("\"recording\": \"d.zel\","), std::string("\"to\": 3.000000,")})
        EXPECT_NE(manifest.find(line), std::string::npos) << line << "\n" << manifest;
}

// A hit of --search as a line of its JSON array (text a JSON literal).
std::string hit(const char* file, double seconds, const char* kind, const std::string& text)
{
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"file\":\"%s\",\"time\":%.6f,\"timestamp\":%llu,\"kind\":\"%s\",\"text\":", file,
                  seconds, static_cast<unsigned long long>(t0 + uint64_t(seconds * 1e6)), kind);
    return head + text;
}

// The hits in --search's JSON array, of one file when given.
std::vector<std::string> hits_of(const std::string& out, const std::string& only = "")
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line == "[" || line == "]" || line.find("{\"file\":\"" + only) != 0) continue;
        lines.push_back(line.back() == ',' ? line.substr(0, line.size() - 1) : line);
    }
    return lines;
}

// --search over a directory: titles, programs, people, footer items, gaps and
// ends, whatever the case; a flipped byte in a picture goes unnoticed (never
// read), one in a title is a note; a file being written is searched as far as
// it is written; links and other names are left alone; the JSON is strict UTF-8.
TEST(ZeldumpSearch, FindsTheMomentAcrossRecordings)
{
    using namespace std::string_literals;
    Records rs;
    rs.header(t0, 32, 32);
    rs.input(t0 + 500'000, "bob", "T-7");
    rs.shown(t0 + 1'000'000, 0x400001, "root@db1: ~", "xterm\0-e\0ssh db1"s, 77);
    rs.block(t0 + 1'500'000, 0, 0, 32, 32, 2);
    rs.title(t0 + 2'000'000, 0x400001, "\xc3\x89t\xc3\xa9 \xff root");
    rs.footer(ZEL_FOOTER_ITEM_SID, t0 + 2'500'000, "S-1");
    rs.gap(t0 + 3'000'000, t0 + 2'600'000, ZEL_GAP_CONNECTION_LOST, "xpra restarted");
    rs.done(t0 + 4'000'000, ZEL_END_SIGNAL, 15, 1, 0);
    const std::vector<uint8_t> a = recording(rs);
    ReadResult read = read_memory(a, true);
    std::vector<uint8_t> d = a;
    d[read.ends[2] + 30] ^= 1; // the block's pixels
    d[read.ends[3] + 30] ^= 1; // the renamed title
    TempDir dir;
    for (const char* name : {"a.zel", ".a.zel", "a.txt"}) write_file(dir.file(name), a);
    write_file(dir.file("d.zel"), d);
    std::filesystem::create_symlink("a.zel", dir.file("link.zel"));
    ZelWriter* live = zel_writer_open(dir.file("live.zel").c_str());
    Records now;
    now.header(t0, 8, 8);
    now.shown(t0 + 1'000'000, 0x600001, "Root shell", "sh", 5);
    ASSERT_TRUE(now.write_to(live));
    const std::string renamed =
        "\"\xc3\x89t\xc3\xa9 \xef\xbf\xbd root\",\"text_base64\":\"w4l0w6kg/yByb290\"}";
    const std::string root[] = {
        hit("a.zel", 1, "title", "\"root@db1: ~\"}"),
        hit("a.zel", 2, "title", renamed),
        hit("d.zel", 1, "title", "\"root@db1: ~\"}"),
        hit("d.zel", 1, "note",
            "\"corrupt at byte " + std::to_string(read.ends[3]) +
                ": window record checksum mismatch; read on at the next intact "
                "record (1 damaged stretch)\"}"),
        hit("live.zel", 1, "title", "\"Root shell\"}"),
        hit("live.zel", 1, "note",
            "\"being written: searched up to byte " + std::to_string(zel_writer_size(live)) + "\"}")};
    // clang-format off
    const struct { std::string query; std::vector<std::string> hits; } cases[] = {
        {"ROOT", {root, root + 6}},
        {"\xc3\xa9T\xc3\x89", {hit("a.zel", 2, "title", renamed)}},
        {"\xff", {hit("a.zel", 2, "title", renamed)}},
        {"xterm -E", {hit("a.zel", 1, "program", "\"xterm -e ssh db1 (xterm, XTerm) pid 77 uid 1000\"}")}},
        {"Bob", {hit("a.zel", 0.5, "input", "\"bob (tfn T-7)\"}")}},
        {"s-1", {hit("a.zel", 2.5, "session", "\"S-1\"}")}},
        {"XPRA", {hit("a.zel", 3, "gap", "\"connection-lost for 0.400 s: xpra restarted\"}")}},
        {"signal 15", {hit("a.zel", 4, "end", "\"signal 15 from pid 1 uid 0\"}")}},
    };
    // clang-format on
    for (const auto& c : cases) {
        Outcome o = zeldump({"--search", c.query, dir.path});
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(hits_of(o.out, c.query == "ROOT" ? "" : "a.zel\""), c.hits) << c.query << "\n" << o.out;
    }
    EXPECT_EQ(zel_writer_close(live), 0);
    const std::string json = zeldump({"--search", "root", dir.path}).out;
    write_file(dir.file("root.json"), {json.begin(), json.end()});
    const char* check = "import json, sys; json.load(open(sys.argv[1], encoding='utf-8', errors='strict'))";
    EXPECT_EQ(xtest::run({"python3", "-c", check, dir.file("root.json")}).status, 0);
    EXPECT_EQ(zeldump({"--search", "", dir.path}).status, 1);
    EXPECT_EQ(zeldump({"--search", "root", dir.file("missing")}).status, 1);

    // the same hits from the server, with its token only
    xtest::Process served({ZELDUMP_PATH, "--serve", "127.0.0.1:0", dir.path});
    ASSERT_TRUE(served.wait_for_output("#token="));
    const std::string url = served.out().substr(0, served.out().find('\n'));
    const std::string base = url.substr(0, url.find("/#")), token = url.substr(url.find("#token=") + 7);
    const auto get = [&](const std::string& path, const std::string& bearer) {
        return xtest::run({"curl", "-s", "-w", "\n%{http_code}", "-H", "Authorization: Bearer " + bearer,
                           base + path})
            .out;
    };
    EXPECT_EQ(get("/search?q=root", token), json + "\n200");
    EXPECT_EQ(get("/search?q=root", "wrong").substr(get("/search?q=root", "wrong").rfind('\n') + 1), "401");
    EXPECT_EQ(get("/search?q=", token).substr(get("/search?q=", token).rfind('\n') + 1), "400");
}

} // namespace
