#include "zel_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace zeltest {

void Records::block(uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed)
{
    std::vector<uint8_t> data(8 + size_t{w} * h * 4);
    const int16_t rect[4] = {x, y, static_cast<int16_t>(w), static_cast<int16_t>(h)};
    std::memcpy(data.data(), rect, 8);
    for (size_t k = 8; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 7 + size_t(seed) * 13);
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(data.size()), data.data()};
    take(zel_image_blocks_compress(&b));
}

void Records::copy(uint64_t t, const std::vector<ZelCopyRect>& rects)
{
    add(ZelCopy{ZEL_COPY, t, uint32_t(rects.size()),
                reinterpret_cast<ZelCopyRect*>(dup(rects.data(), rects.size() * 12))});
}

uint8_t* dup(const void* p, size_t n)
{
    n = n ? n : std::strlen(static_cast<const char*>(p)) + 1;
    return static_cast<uint8_t*>(std::memcpy(std::malloc(n), p, n));
}

ZelBytes field(const std::string& s)
{
    auto* data = static_cast<uint8_t*>(std::malloc(s.size() + 1));
    std::memcpy(data, s.data(), s.size());
    return {uint32_t(s.size()), data};
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

// The hex examples of docs/zel-format.md, found by their headings.
std::vector<uint8_t> documented_example(const std::string& heading)
{
    std::ifstream doc(ZEL_FORMAT_DOC);
    std::string line, word;
    while (std::getline(doc, line) && line != heading) {}
    while (std::getline(doc, line) && line.rfind("```", 0) != 0) {}
    std::vector<uint8_t> out;
    while (std::getline(doc, line) && line.rfind("```", 0) != 0)
        for (std::istringstream words(line);
             words >> word && word.size() == 2 && std::isxdigit(word[0]) && std::isxdigit(word[1]);)
            out.push_back(static_cast<uint8_t>(std::stoi(word, nullptr, 16)));
    return out;
}

void sample_records(Records& rs)
{
    rs.add(ZelHeader{ZEL_HEADER, 1, t0, 24, 64, 48, xRGB8888, 32, 0, nullptr, 8, 255, dup("alice"), dup("")});
    std::vector<uint8_t> px(64 * 48 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i / 4 % 64 * 3 + i % 4 * 17);
    ZelImage frame{ZEL_IMAGE, t0 + 1, 64, 48, 0, 0, xRGB8888, 32, 256, uint32_t(px.size()), px.data()};
    rs.take(zel_image_compress(&frame));
    rs.block(t0 + 2, 32, 32, 32, 16, 1);
    const uint32_t pixels[16] = {0xFF000000u, 0x80808080u, 0xFFFFFFFFu, 0x01020304u};
    auto* cursor = reinterpret_cast<uint32_t*>(dup(pixels, sizeof pixels));
    rs.take(zel_cursor_image_compress(
        rs.add(ZelCursorImage{ZEL_CURSOR_IMAGE, t0 + 3, 4, 4, 10, 12, 1, 2, 77, 16, cursor})));
    rs.move(t0 + 5, -3, 40);
    rs.copy(t0 + 6, {{0, 8, 64, 40, 0, 0}, {-1, 2, 0, 0, 5, -7}}); // the second is empty: nothing happens
    rs.add(ZelScreenChange{ZEL_SCREEN_CHANGE, t0 + 7, 80, 40});
    rs.add(ZelLastInput{ZEL_LAST_INPUT, t0 + 8, dup("bob"), nullptr}); // null, not empty
    const char* values[] = {"editor", "host.example", "192.0.2.7", "", "T-42", "fmt %s \xc3\xa9"};
    for (uint8_t i = 0; i < 6; ++i)
        rs.add(ZelFooterItem{uint8_t(i == 5 ? ZEL_FOOTER_ITEM_APPFMT : ZEL_FOOTER_ITEM_APP + i), t0 + 9,
                             dup(values[i])});
    const uint8_t pixel[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    rs.add(ZelImage{ZEL_IMAGE, t0 + 10, 2, 2, 5, 6, xRGB8888, 32, 8, 16, dup(pixel, 16)});
    const uint8_t entry[12] = {0, 0, 0, 0, 1, 0, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    rs.add(ZelImageBlocks{ZEL_IMAGE_BLOCKS, t0 + 11, 12, dup(entry, 12)});
    const RgbValue palette[3] = {{0xFFFF, 0, 0, {0, 0}}, {}, {0x1234, 0x5678, 0x9ABC, {0, 0}}};
    rs.add(ZelHeader{ZEL_HEADER, 1, t0 + 12, 8, 3, 2, PALETTE8, 32, 3,
                     reinterpret_cast<RgbValue*>(dup(palette, sizeof palette)), 8, 255, nullptr, nullptr});
    using namespace std::string_literals;
    rs.add(ZelWindow{ZEL_WINDOW,
                     t0 + 13,
                     0x400007,
                     ZEL_WINDOW_SHOWN,
                     ZEL_WINDOW_MANAGED,
                     2,
                     -4,
                     20,
                     640,
                     480,
                     0x400001,
                     0x400000,
                     4242,
                     1000,
                     field("xterm\0-e\0sh"s),
                     field("t\xff\0tle"s),
                     field("xterm"),
                     {}});
    rs.add(ZelWindow{
        ZEL_WINDOW, t0 + 13, 0x400007, ZEL_WINDOW_TITLE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, {}, {}, {}});
    rs.add(ZelWindow{
        ZEL_WINDOW, t0 + 13, 0x400007, ZEL_WINDOW_GEOMETRY, 0, 1, 5, -6, 7, 8, 0, 0, 0, 0, {}, {}, {}, {}});
    rs.add(ZelWindow{ZEL_WINDOW,
                     t0 + 14,
                     0x600002,
                     ZEL_WINDOW_SHOWN,
                     ZEL_WINDOW_OVERRIDE_REDIRECT,
                     3,
                     0,
                     0,
                     1,
                     1,
                     0,
                     0x600000,
                     -1,
                     0xFFFFFFFF,
                     {},
                     field(""),
                     {},
                     {}});
    rs.add(ZelWindow{
        ZEL_WINDOW, t0 + 15, 0x400007, ZEL_WINDOW_GONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, {}, {}, {}});
    rs.add(ZelInterruption{ZEL_INTERRUPTION, t0 + 16, t0 + 14, ZEL_GAP_CONNECTION_LOST, field("killed")});
    rs.add(ZelInterruption{ZEL_INTERRUPTION, t0 + 16, t0 + 16, ZEL_GAP_MANAGER_CHANGED, {}});
    rs.done(t0 + 17, ZEL_END_SIGNAL, 15, 4242, 1000);
}

std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key,
                               uint64_t keyframe_interval)
{
    TempDir dir;
    ZelWriter* w = zel_writer_open(dir.file("r.zel").c_str());
    zel_writer_set_keyframe_interval(w, keyframe_interval);
    EXPECT_TRUE(secret_key == nullptr || zel_writer_set_signing_key(w, secret_key) == 0);
    for (ZelRecord* r : records) EXPECT_EQ(zel_record_write(w, r), 0);
    EXPECT_EQ(zel_writer_close(w), 0);
    return read_file(dir.file("r.zel"));
}

ReadResult read_memory(const std::vector<uint8_t>& bytes, bool show_all, bool resync)
{
    ReadResult out;
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    zel_reader_show_keyframes(reader, show_all);
    zel_reader_show_seals(reader, show_all);
    ZelRecord* r = nullptr;
    for (bool first = true;; first = false) {
        while ((out.last_status = zel_reader_next(reader, &r)) == ZEL_READ_RECORD) {
            out.records.emplace_back(r, zel_record_free);
            out.ends.push_back(zel_reader_record_offset(reader) + zel_reader_record_size(reader));
        }
        if (first) {
            out.status = out.last_status;
            out.problem_offset = zel_reader_problem_offset(reader);
            out.problem = zel_reader_problem(reader);
        }
        if (!resync || out.last_status != ZEL_READ_CORRUPT || zel_reader_resync(reader) != 0) break;
    }
    zel_reader_close(reader);
    return out;
}

ZelVerification verify_memory(const std::vector<uint8_t>& bytes, const uint8_t* public_key)
{
    ZelVerification v{};
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    zel_verify(reader, public_key, &v);
    zel_reader_close(reader);
    return v;
}

Outcome zeldump(std::vector<std::string> args)
{
    args.insert(args.begin(), ZELDUMP_PATH);
    return xtest::run(args);
}

} // namespace zeltest
