#include "zel_test_util.h"

#include <fcntl.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

extern char** environ;

namespace zeltest {

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

ZelHeader* add_header(Records& rs, uint64_t t, uint16_t w, uint16_t h, PixelFormat f)
{
    auto* hd = rs.add<ZelHeader>(ZEL_HEADER, t);
    *hd = {ZEL_HEADER, 1, t, 24, w, h, f, 32, 0, nullptr, 8, 255, nullptr, nullptr};
    return hd;
}

void add_block(Records& rs, uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed)
{
    std::vector<uint8_t> data(8 + static_cast<size_t>(w) * h * 4);
    const uint16_t rect[4] = {static_cast<uint16_t>(x), static_cast<uint16_t>(y), w, h};
    std::memcpy(data.data(), rect, 8);
    for (size_t k = 8; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k * 7 + static_cast<size_t>(seed) * 13);
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(data.size()), data.data()};
    rs.take(zel_image_blocks_compress(&b));
}

void add_copy(Records& rs, uint64_t t, const std::vector<ZelCopyRect>& rects)
{
    auto* c = rs.add<ZelCopy>(ZEL_COPY, t);
    c->count = static_cast<uint32_t>(rects.size());
    c->rects = static_cast<ZelCopyRect*>(std::malloc(rects.size() * sizeof(ZelCopyRect) + 1));
    std::memcpy(c->rects, rects.data(), rects.size() * sizeof(ZelCopyRect));
}

void sample_records(Records& rs)
{
    ZelHeader* h = add_header(rs, t0, 64, 48);
    h->user = dup("alice");
    h->tfn = dup(""); // empty, not null
    std::vector<uint8_t> px(64 * 48 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i / 4 % 64 * 3 + i % 4 * 17);
    ZelImage frame{ZEL_IMAGE, t0 + 1, 64, 48, 0, 0, xRGB8888, 32, 256, static_cast<uint32_t>(px.size()),
                   px.data()};
    rs.take(zel_image_compress(&frame));
    add_block(rs, t0 + 2, 32, 32, 32, 16, 1);
    auto* ci = rs.add<ZelCursorImage>(ZEL_CURSOR_IMAGE, t0 + 3);
    uint32_t pixels[16];
    for (uint32_t i = 0; i < 16; ++i) pixels[i] = i % 2 ? 0xFF000000u : 0x80808080u + i;
    *ci = {ZEL_CURSOR_IMAGE, t0 + 3, 4, 4, 10, 12, 1, 2, 77, 16, static_cast<uint32_t*>(std::malloc(64))};
    std::memcpy(ci->data, pixels, 64);
    ZelCompressedCursorImage* cc = zel_cursor_image_compress(ci);
    cc->timestamp = t0 + 4;
    rs.take(cc);
    *rs.add<ZelCursorPosition>(ZEL_CURSOR_POSITION, t0 + 5) = {ZEL_CURSOR_POSITION, t0 + 5, -3, 40};
    add_copy(rs, t0 + 6,
             {{0, 8, 64, 40, 0, 0}, {-1, 2, 0, 0, 5, -7}}); // the second is empty: nothing happens
    *rs.add<ZelScreenChange>(ZEL_SCREEN_CHANGE, t0 + 7) = {ZEL_SCREEN_CHANGE, t0 + 7, 80, 40};
    *rs.add<ZelLastInput>(ZEL_LAST_INPUT, t0 + 8) = {ZEL_LAST_INPUT, t0 + 8, dup("bob"), nullptr};
    const char* values[] = {"editor", "host.example", "192.0.2.7", "", "T-42", "fmt %s \xc3\xa9"};
    const ZelRecordType footers[] = {ZEL_FOOTER_ITEM_APP, ZEL_FOOTER_ITEM_HOST, ZEL_FOOTER_ITEM_IP,
                                     ZEL_FOOTER_ITEM_SID, ZEL_FOOTER_ITEM_TID,  ZEL_FOOTER_ITEM_APPFMT};
    for (int i = 0; i < 6; ++i) rs.add<ZelFooterItem>(footers[i], t0 + 9)->item = dup(values[i]);
    *rs.add<ZelImage>(ZEL_IMAGE,
                      t0 + 10) = {ZEL_IMAGE,
                                  t0 + 10,
                                  2,
                                  2,
                                  5,
                                  6,
                                  xRGB8888,
                                  32,
                                  8,
                                  16,
                                  dup_bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})};
    *rs.add<ZelImageBlocks>(ZEL_IMAGE_BLOCKS, t0 + 11) = {
        ZEL_IMAGE_BLOCKS, t0 + 11, 12, dup_bytes({0, 0, 0, 0, 1, 0, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD})};
    ZelHeader* h2 = add_header(rs, t0 + 12, 3, 2, PALETTE8);
    h2->palette_size = 3;
    h2->palette = static_cast<RgbValue*>(std::calloc(3, sizeof(RgbValue)));
    h2->palette[0] = {0xFFFF, 0, 0, {0, 0}};
    h2->palette[2] = {0x1234, 0x5678, 0x9ABC, {0, 0}};
    rs.add<ZelRecord>(ZEL_DONE, t0 + 13);
}

bool write_recording(const std::string& path, const std::vector<ZelRecord*>& records,
                     const uint8_t* secret_key, uint64_t keyframe_interval)
{
    ZelWriter* w = zel_writer_open(path.c_str());
    if (w == nullptr) return false;
    zel_writer_set_keyframe_interval(w, keyframe_interval);
    bool ok = secret_key == nullptr || zel_writer_set_signing_key(w, secret_key) == 0;
    for (ZelRecord* r : records) ok = ok && zel_record_write(w, r) == 0;
    return zel_writer_close(w) == 0 && ok;
}

std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key)
{
    TempDir dir;
    EXPECT_TRUE(write_recording(dir.file("r.zel"), records, secret_key));
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

// Where a record's pointers are and how many bytes each points to.
std::vector<std::pair<size_t, size_t>> pointees(const ZelRecord* r, size_t* size)
{
    auto len = [](const void* s) { return s ? std::strlen(static_cast<const char*>(s)) + 1 : 0; };
    switch (r->type) {
    case ZEL_HEADER: {
        auto* h = reinterpret_cast<const ZelHeader*>(r);
        *size = sizeof *h;
        return {
            {32, h->palette ? h->palette_size * sizeof(RgbValue) : 0}, {48, len(h->user)}, {56, len(h->tfn)}};
    }
    case ZEL_IMAGE: *size = 48; return {{40, reinterpret_cast<const ZelImage*>(r)->length}};
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME:
        *size = 48;
        return {{40, reinterpret_cast<const ZelCompressedImage*>(r)->compressed_length}};
    case ZEL_IMAGE_BLOCKS: *size = 32; return {{24, reinterpret_cast<const ZelImageBlocks*>(r)->length}};
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        *size = 32;
        return {{24, reinterpret_cast<const ZelCompressedImageBlocks*>(r)->compressed_length}};
    case ZEL_CURSOR_IMAGE: *size = 48; return {{40, reinterpret_cast<const ZelCursorImage*>(r)->length * 4u}};
    case ZEL_COMPRESSED_CURSOR_IMAGE:
        *size = 48;
        return {{40, reinterpret_cast<const ZelCompressedCursorImage*>(r)->compressed_length}};
    case ZEL_COPY:
        *size = 32;
        return {{24, reinterpret_cast<const ZelCopy*>(r)->count * sizeof(ZelCopyRect)}};
    case ZEL_LAST_INPUT: {
        auto* l = reinterpret_cast<const ZelLastInput*>(r);
        *size = sizeof *l;
        return {{16, len(l->user)}, {24, len(l->tfn)}};
    }
    case ZEL_CURSOR_POSITION:
    case ZEL_SCREEN_CHANGE: *size = 24; return {};
    case ZEL_SEAL: *size = sizeof(ZelSeal); return {};
    case ZEL_DONE: *size = sizeof(ZelRecord); return {};
    default:
        *size = sizeof(ZelFooterItem);
        return {{16, len(reinterpret_cast<const ZelFooterItem*>(r)->item)}};
    }
}

} // namespace

::testing::AssertionResult same_record(const ZelRecord* a, const ZelRecord* b)
{
    size_t size = 0;
    auto slots = pointees(a, &size);
    if (a->type != b->type) return ::testing::AssertionFailure() << "type " << +a->type << " vs " << +b->type;
    std::vector<uint8_t> x(reinterpret_cast<const uint8_t*>(a), reinterpret_cast<const uint8_t*>(a) + size);
    std::vector<uint8_t> y(reinterpret_cast<const uint8_t*>(b), reinterpret_cast<const uint8_t*>(b) + size);
    for (auto [at, n] : slots) {
        const uint8_t *p = nullptr, *q = nullptr;
        std::memcpy(&p, &x[at], sizeof p);
        std::memcpy(&q, &y[at], sizeof q);
        if ((p == nullptr) != (q == nullptr) || (n > 0 && std::memcmp(p, q, n) != 0))
            return ::testing::AssertionFailure() << "the data at field offset " << at << " differs";
        std::memset(&x[at], 0, sizeof p);
        std::memset(&y[at], 0, sizeof q);
    }
    if (x != y)
        return ::testing::AssertionFailure()
               << "a field of " << zel_record_type_to_string(ZelRecordType(a->type)) << " differs";
    return ::testing::AssertionSuccess();
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
    const std::string out = dir.file("out"), err = dir.file("err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    Outcome o;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    auto o1 = read_file(out), e1 = read_file(err);
    o.out.assign(o1.begin(), o1.end());
    o.err.assign(e1.begin(), e1.end());
    return o;
}

Outcome zeldump(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{ZELDUMP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

} // namespace zeltest
