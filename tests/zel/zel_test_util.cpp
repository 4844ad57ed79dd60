#include "zel_test_util.h"

#include <fcntl.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace zeltest {

Records::~Records()
{
    for (ZelRecord* r : *this) zel_record_free(r);
}

void Records::header(uint64_t t, uint16_t w, uint16_t h, PixelFormat f, uint8_t pad)
{
    add(ZelHeader{ZEL_HEADER, 1, t, 24, w, h, f, pad, 0, nullptr, 8, 255, nullptr, nullptr});
}

void Records::block(uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed)
{
    std::vector<uint8_t> data(8 + static_cast<size_t>(w) * h * 4);
    const int16_t rect[4] = {x, y, static_cast<int16_t>(w), static_cast<int16_t>(h)};
    std::memcpy(data.data(), rect, 8);
    for (size_t k = 8; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k * 7 + static_cast<size_t>(seed) * 13);
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(data.size()), data.data()};
    take(zel_image_blocks_compress(&b));
}

void Records::copy(uint64_t t, const std::vector<ZelCopyRect>& rects)
{
    const size_t n = rects.size() * sizeof(ZelCopyRect);
    add(ZelCopy{ZEL_COPY, t, static_cast<uint32_t>(rects.size()),
                static_cast<ZelCopyRect*>(std::malloc(n + 1))});
    std::memcpy(reinterpret_cast<ZelCopy*>(back())->rects, rects.data(), n);
}

uint8_t* dup(const char* s)
{
    return dup_bytes(std::vector<uint8_t>(s, s + std::strlen(s) + 1));
}

uint8_t* dup_bytes(const std::vector<uint8_t>& v)
{
    auto* p = static_cast<uint8_t*>(std::malloc(v.size() + 1));
    std::memcpy(p, v.data(), v.size());
    return p;
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void sample_records(Records& rs)
{
    rs.header(t0, 64, 48);
    reinterpret_cast<ZelHeader*>(rs.back())->user = dup("alice");
    reinterpret_cast<ZelHeader*>(rs.back())->tfn = dup(""); // empty, not null
    std::vector<uint8_t> px(64 * 48 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i / 4 % 64 * 3 + i % 4 * 17);
    ZelImage frame{ZEL_IMAGE, t0 + 1, 64, 48, 0, 0, xRGB8888, 32, 256, static_cast<uint32_t>(px.size()),
                   px.data()};
    rs.take(zel_image_compress(&frame));
    rs.block(t0 + 2, 32, 32, 32, 16, 1);
    uint32_t pixels[16] = {0xFF000000u, 0x80808080u, 0xFFFFFFFFu, 0x01020304u};
    ZelCursorImage* ci =
        rs.add(ZelCursorImage{ZEL_CURSOR_IMAGE, t0 + 3, 4, 4, 10, 12, 1, 2, 77, 16, nullptr});
    ci->data = static_cast<uint32_t*>(std::memcpy(std::malloc(sizeof pixels), pixels, sizeof pixels));
    rs.take(zel_cursor_image_compress(ci));
    rs.move(t0 + 5, -3, 40);
    rs.copy(t0 + 6, {{0, 8, 64, 40, 0, 0}, {-1, 2, 0, 0, 5, -7}}); // the second is empty: nothing happens
    rs.add(ZelScreenChange{ZEL_SCREEN_CHANGE, t0 + 7, 80, 40});
    rs.add(ZelLastInput{ZEL_LAST_INPUT, t0 + 8, dup("bob"), nullptr});
    const char* values[] = {"editor", "host.example", "192.0.2.7", "", "T-42", "fmt %s \xc3\xa9"};
    const uint8_t footers[] = {ZEL_FOOTER_ITEM_APP, ZEL_FOOTER_ITEM_HOST, ZEL_FOOTER_ITEM_IP,
                               ZEL_FOOTER_ITEM_SID, ZEL_FOOTER_ITEM_TID,  ZEL_FOOTER_ITEM_APPFMT};
    for (int i = 0; i < 6; ++i) rs.add(ZelFooterItem{footers[i], t0 + 9, dup(values[i])});
    rs.add(ZelImage{ZEL_IMAGE, t0 + 10, 2, 2, 5, 6, xRGB8888, 32, 8, 16,
                    dup_bytes(std::vector<uint8_t>(16, 9))});
    rs.add(ZelImageBlocks{ZEL_IMAGE_BLOCKS, t0 + 11, 12,
                          dup_bytes({0, 0, 0, 0, 1, 0, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD})});
    rs.header(t0 + 12, 3, 2, PALETTE8);
    auto* h2 = reinterpret_cast<ZelHeader*>(rs.back());
    h2->palette_size = 3;
    h2->palette = static_cast<RgbValue*>(std::calloc(3, sizeof(RgbValue)));
    h2->palette[2] = {0x1234, 0x5678, 0x9ABC, {0, 0}};
    rs.done(t0 + 13);
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

ReadResult read_memory(const std::vector<uint8_t>& bytes, bool show_all)
{
    ReadResult out;
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    zel_reader_show_keyframes(reader, show_all);
    zel_reader_show_seals(reader, show_all);
    ZelRecord* r = nullptr;
    while ((out.status = zel_reader_next(reader, &r)) == ZEL_READ_RECORD) {
        out.records.emplace_back(r);
        out.ends.push_back(zel_reader_record_offset(reader) + zel_reader_record_size(reader));
    }
    out.problem_offset = zel_reader_problem_offset(reader);
    out.problem = zel_reader_problem(reader);
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

namespace {

template <typename T, typename... M>
bool same(const ZelRecord* a, const ZelRecord* b, M T::*... fields)
{
    const auto *x = reinterpret_cast<const T*>(a), *y = reinterpret_cast<const T*>(b);
    return ((x->*fields == y->*fields) && ...);
}

} // namespace

bool same_fields(const ZelRecord* a, const ZelRecord* b)
{
    using H = ZelHeader;
    using I = ZelImage;
    using C = ZelCompressedImage;
    using U = ZelCursorImage;
    using V = ZelCompressedCursorImage;
    if (a->type != b->type || a->timestamp != b->timestamp) return false;
    switch (a->type) {
    case ZEL_HEADER:
        return same<H>(a, b, &H::version, &H::depth, &H::width, &H::height, &H::pixel_format,
                       &H::scanline_pad, &H::palette_size, &H::min_keycode, &H::max_keycode);
    case ZEL_IMAGE:
        return same<I>(a, b, &I::width, &I::height, &I::x, &I::y, &I::pixel_format, &I::scanline_pad,
                       &I::bytes_per_line, &I::length);
    case ZEL_COMPRESSED_IMAGE:
        return same<C>(a, b, &C::width, &C::height, &C::x, &C::y, &C::pixel_format, &C::scanline_pad,
                       &C::length, &C::compressed_length);
    case ZEL_CURSOR_IMAGE:
        return same<U>(a, b, &U::width, &U::height, &U::x, &U::y, &U::xhot, &U::yhot, &U::cursor_serial,
                       &U::length);
    case ZEL_COMPRESSED_CURSOR_IMAGE:
        return same<V>(a, b, &V::width, &V::height, &V::x, &V::y, &V::xhot, &V::yhot, &V::cursor_serial,
                       &V::length, &V::compressed_length);
    case ZEL_IMAGE_BLOCKS: return same<ZelImageBlocks>(a, b, &ZelImageBlocks::length);
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        return same<ZelCompressedImageBlocks>(a, b, &ZelCompressedImageBlocks::length,
                                              &ZelCompressedImageBlocks::compressed_length);
    case ZEL_CURSOR_POSITION:
        return same<ZelCursorPosition>(a, b, &ZelCursorPosition::x, &ZelCursorPosition::y);
    case ZEL_SCREEN_CHANGE:
        return same<ZelScreenChange>(a, b, &ZelScreenChange::width, &ZelScreenChange::height);
    case ZEL_COPY: return same<ZelCopy>(a, b, &ZelCopy::count);
    default: return true; // strings only: their bytes and nulls are in the encoding
    }
}

void test_key(uint8_t secret_key[64], uint8_t public_key[32])
{
    uint8_t seed[32];
    for (int i = 0; i < 32; ++i) seed[i] = static_cast<uint8_t>(i);
    crypto_sign_seed_keypair(public_key, secret_key, seed);
}

Outcome run(const std::vector<std::string>& argv)
{
    TempDir dir;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    Outcome o;
    int status = 0;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) == 0 &&
        ::waitpid(pid, &status, 0) == pid)
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    posix_spawn_file_actions_destroy(&fa);
    auto out = read_file(dir.file("out")), err = read_file(dir.file("err"));
    return {o.status, {out.begin(), out.end()}, {err.begin(), err.end()}};
}

Outcome zeldump(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{ZELDUMP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

} // namespace zeltest
