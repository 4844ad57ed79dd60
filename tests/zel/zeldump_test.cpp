// zeldump as a user runs it: exit statuses of --verify, listings, and the
// frames it exports (PNG and video) against the library's own replay.
#include <png.h>
#include <sys/wait.h>

#include <random>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome zeldump(const TempDir& dir, const std::string& args)
{
    std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    std::string cmd = std::string(ZELDUMP_PATH) + " " + args + " >" + out + " 2>" + err;
    int rc = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    auto o = read_file(out), e = read_file(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

std::vector<uint8_t> read_png(const std::string& path, uint32_t* w, uint32_t* h)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return {};
    *w = image.width;
    *h = image.height;
    return pixels;
}

class Zeldump : public ::testing::Test {
  protected:
    void SetUp() override
    {
        records = sample_records();
        path = dir.file("rec.zel");
        ASSERT_TRUE(write_recording(path, records));
        bytes = read_file(path);
    }
    void TearDown() override { free_records(records); }
    TempDir dir;
    std::string path;
    std::vector<ZelRecord*> records;
    std::vector<uint8_t> bytes;
};

TEST_F(Zeldump, VerifyTellsCompleteTruncatedAndCorrupt)
{
    EXPECT_EQ(zeldump(dir, "--verify " + path).status, 0);

    std::string cut = dir.file("cut.zel");
    write_file(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 200));
    Outcome t = zeldump(dir, "--verify " + cut);
    EXPECT_EQ(t.status, 2);
    EXPECT_NE(t.err.find("truncated at byte 69"), std::string::npos) << t.err;

    std::string bad = dir.file("bad.zel");
    std::vector<uint8_t> flipped = bytes;
    flipped[500] ^= 1;
    write_file(bad, flipped);
    Outcome c = zeldump(dir, "--verify " + bad);
    EXPECT_EQ(c.status, 3);
    EXPECT_NE(c.err.find("corrupt at byte"), std::string::npos) << c.err;

    EXPECT_EQ(zeldump(dir, "--verify " + dir.file("missing.zel")).status, 1);
    EXPECT_EQ(zeldump(dir, "--bogus " + path).status, 1);
    EXPECT_EQ(zeldump(dir, "").status, 1);
    Outcome help = zeldump(dir, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("largest size"), std::string::npos);
}

TEST_F(Zeldump, ListingsShowEveryReadableRecord)
{
    Outcome list = zeldump(dir, path);
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), static_cast<long>(records.size()));
    EXPECT_NE(list.out.find("footer_appfmt"), std::string::npos);
    EXPECT_NE(list.out.find("tfn=null"), std::string::npos);

    Outcome json = zeldump(dir, "--json " + path);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), static_cast<long>(records.size()));
    EXPECT_EQ(json.out.rfind("{\"offset\":16,\"type\":\"header\",\"time\":0.000000", 0), 0u) << json.out;

    // A truncated copy still lists its readable prefix, and says so.
    std::string cut = dir.file("cut.zel");
    write_file(cut, std::vector<uint8_t>(bytes.begin(), bytes.end() - 3));
    Outcome partial = zeldump(dir, cut);
    EXPECT_EQ(partial.status, 2);
    EXPECT_EQ(std::count(partial.out.begin(), partial.out.end(), '\n'),
              static_cast<long>(records.size() - 1));

    Outcome stats = zeldump(dir, "--stats " + path);
    EXPECT_EQ(stats.status, 0);
    EXPECT_NE(stats.out.find("status: complete"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("duration: 1.000 s"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("frames: 4 (2 full images, 2 block updates)"), std::string::npos) << stats.out;
}

// A recording with full images and block updates at 10 per second.
std::vector<ZelRecord*> moving_recording(uint16_t w, uint16_t h, int frames, bool resize)
{
    std::vector<ZelRecord*> out;
    std::mt19937 rng(7);
    const uint64_t t0 = 5'000'000'000;
    auto* hd = make<ZelHeader>(ZEL_HEADER, t0);
    hd->version = 1;
    hd->depth = 24;
    hd->width = w;
    hd->height = h;
    hd->pixel_format = xRGB8888;
    hd->scanline_pad = 32;
    out.push_back(reinterpret_cast<ZelRecord*>(hd));
    uint16_t cw = w, ch = h;
    for (int f = 0; f < frames; ++f) {
        uint64_t t = t0 + static_cast<uint64_t>(f) * 100'000;
        if (resize && f == frames / 2) {
            auto* sc = make<ZelScreenChange>(ZEL_SCREEN_CHANGE, t);
            cw = static_cast<uint16_t>(w + 16);
            ch = static_cast<uint16_t>(h - 8);
            sc->width = cw;
            sc->height = ch;
            out.push_back(reinterpret_cast<ZelRecord*>(sc));
        }
        std::vector<uint8_t> px;
        if (f % 7 == 0) {
            px.resize(static_cast<size_t>(cw) * ch * 4);
            for (auto& b : px) b = static_cast<uint8_t>(rng());
            ZelImage img{ZEL_IMAGE,
                         t,
                         cw,
                         ch,
                         0,
                         0,
                         xRGB8888,
                         32,
                         static_cast<uint32_t>(cw * 4u),
                         static_cast<uint32_t>(px.size()),
                         px.data()};
            out.push_back(reinterpret_cast<ZelRecord*>(zel_image_compress(&img)));
        } else {
            int16_t x = static_cast<int16_t>(rng() % (cw - 8)), y = static_cast<int16_t>(rng() % (ch - 8));
            uint16_t bw = 8, bh = 8;
            px.resize(8 + 8 * 8 * 4);
            std::memcpy(px.data(), &x, 2);
            std::memcpy(px.data() + 2, &y, 2);
            std::memcpy(px.data() + 4, &bw, 2);
            std::memcpy(px.data() + 6, &bh, 2);
            for (size_t k = 8; k < px.size(); ++k) px[k] = static_cast<uint8_t>(rng());
            ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(px.size()), px.data()};
            out.push_back(reinterpret_cast<ZelRecord*>(zel_image_blocks_compress(&b)));
        }
        auto* cp = make<ZelCursorPosition>(ZEL_CURSOR_POSITION, t + 50'000);
        cp->x = static_cast<int16_t>(f);
        cp->y = static_cast<int16_t>(f / 2);
        out.push_back(reinterpret_cast<ZelRecord*>(cp));
    }
    auto* done = zel_record_done();
    done->timestamp = t0 + static_cast<uint64_t>(frames) * 100'000;
    out.push_back(done);
    return out;
}

std::vector<uint8_t> expected_at(const std::vector<ZelRecord*>& records, uint64_t t, uint32_t* w, uint32_t* h)
{
    ZelReplay* r = zel_replay_new();
    for (ZelRecord* rec : records)
        if (rec->timestamp <= t) {
            EXPECT_EQ(zel_replay_apply(r, rec), 0);
        }
    *w = zel_replay_width(r);
    *h = zel_replay_height(r);
    std::vector<uint8_t> rgba(static_cast<size_t>(*w) * *h * 4);
    EXPECT_EQ(zel_replay_render_rgba(r, rgba.data(), rgba.size(), 1), 0);
    zel_replay_free(r);
    return rgba;
}

// Seeking skips the images before the last full screen; the pictures must be
// the same as replaying everything.
TEST(ZeldumpFrames, PngAtAnyTimeEqualsTheFullReplay)
{
    TempDir dir;
    auto records = moving_recording(48, 40, 30, true);
    std::string rec = dir.file("m.zel");
    // Keyframes after every 600 bytes of blocks: seeking starts from them.
    ASSERT_TRUE(write_recording(rec, records, 600));
    ReadResult plain = read_path(rec);
    ASSERT_EQ(plain.status, ZEL_READ_END);
    ASSERT_EQ(plain.records.size(), records.size()); // keyframes stay hidden unless asked for
    for (size_t i = 0; i < records.size(); ++i)
        ASSERT_TRUE(records_equal(records[i], plain.records[i].get()));
    Outcome list = zeldump(dir, rec);
    EXPECT_GE(std::count(list.out.begin(), list.out.end(), '\n') - static_cast<long>(records.size()), 5)
        << list.out;
    EXPECT_NE(list.out.find(" keyframe "), std::string::npos);
    EXPECT_EQ(zeldump(dir, "--verify " + rec).status, 0);
    std::string out = dir.file("png");
    Outcome r = zeldump(dir, "--png " + out + " --at 0.05 --at 0.75 --at 1.42 --at 2.0 --at 9 " + rec);
    ASSERT_EQ(r.status, 0) << r.err;
    const uint64_t t0 = records[0]->timestamp;
    for (double s : {0.05, 0.75, 1.42, 2.0, 9.0}) {
        char name[64];
        std::snprintf(name, sizeof name, "/frame-%010.3f.png", s);
        uint32_t w = 0, h = 0, ew = 0, eh = 0;
        std::vector<uint8_t> got = read_png(out + name, &w, &h);
        std::vector<uint8_t> want = expected_at(records, t0 + static_cast<uint64_t>(s * 1e6 + 0.5), &ew, &eh);
        ASSERT_FALSE(got.empty()) << name;
        EXPECT_EQ(w, ew);
        EXPECT_EQ(h, eh);
        EXPECT_TRUE(got == want) << "frame at " << s << " s differs";
    }
    Outcome every = zeldump(dir, "--png " + dir.file("every") + " --every 0.5 " + rec);
    ASSERT_EQ(every.status, 0) << every.err;
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.file("every"))) ++n;
    EXPECT_EQ(n, 7u); // 0, 0.5, ... 3.0
    uint32_t w = 0, h = 0, ew = 0, eh = 0;
    EXPECT_TRUE(read_png(dir.file("every") + "/frame-000001.500.png", &w, &h) ==
                expected_at(records, t0 + 1'500'000, &ew, &eh));
    free_records(records);
}

TEST(ZeldumpFrames, VideoPadsToTheLargestScreen)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    auto records = moving_recording(48, 40, 20, true);
    std::string rec = dir.file("m.zel");
    ASSERT_TRUE(write_recording(rec, records));
    free_records(records);
    std::string video = dir.file("m.mp4");
    Outcome r = zeldump(dir, "--quiet --video " + video + " " + rec);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=width,height,nb_read_frames,r_frame_rate -of csv=p=0 " +
                        video + " >" + dir.file("probe.txt");
    ASSERT_EQ(std::system(probe.c_str()), 0);
    auto text = read_file(dir.file("probe.txt"));
    std::string s(text.begin(), text.end());
    // 64x40 is the larger width (48+16) and the larger height; 2.0 s at 10 per second.
    EXPECT_EQ(s, "64,40,10/1,21\n");
}

} // namespace
