// Synthetic recordings for tests and benchmarks; see zel_synthetic.h.
#include "zel_synthetic.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>

namespace zelsynth {

uint8_t* dup(const void* p, size_t n)
{
    n = n ? n : std::strlen(static_cast<const char*>(p)) + 1;
    return static_cast<uint8_t*>(std::memcpy(std::malloc(n), p, n));
}

ZelBytes field(const std::string& s)
{
    auto* data = static_cast<uint8_t*>(std::malloc(s.size() + 1));
    std::memcpy(data, s.data(), s.size());
    return {static_cast<uint32_t>(s.size()), data};
}

void Records::clear()
{
    for (ZelRecord* r : *this) zel_record_free(r);
    std::vector<ZelRecord*>::clear();
}

void Records::header(uint64_t t, uint16_t w, uint16_t h, PixelFormat f, uint8_t pad)
{
    add(ZelHeader{ZEL_HEADER, 1, t, 24, w, h, f, pad, 0, nullptr, 8, 255, nullptr, nullptr});
}

void Records::screen(uint64_t t, uint16_t w, uint16_t h, const std::vector<uint8_t>& rows, uint32_t stride,
                     PixelFormat f, uint8_t pad)
{
    ZelImage image{ZEL_IMAGE,
                   t,
                   w,
                   h,
                   0,
                   0,
                   f,
                   pad,
                   stride,
                   static_cast<uint32_t>(rows.size()),
                   const_cast<uint8_t*>(rows.data())};
    take(zel_image_compress(&image));
}

void Records::blocks(uint64_t t, const std::vector<uint8_t>& entries, bool compressed)
{
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(entries.size()),
                     const_cast<uint8_t*>(entries.data())};
    if (compressed) return take(zel_image_blocks_compress(&b));
    b.data = entries.empty() ? nullptr : dup(entries.data(), entries.size());
    add(b);
}

void Records::block(uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed)
{
    std::vector<uint8_t> data(8 + size_t{w} * h * 4);
    const int16_t rect[4] = {x, y, static_cast<int16_t>(w), static_cast<int16_t>(h)};
    std::memcpy(data.data(), rect, 8);
    for (size_t k = 8; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 7 + size_t(seed) * 13);
    blocks(t, data);
}

void Records::copy(uint64_t t, const std::vector<ZelCopyRect>& rects)
{
    add(ZelCopy{ZEL_COPY, t, static_cast<uint32_t>(rects.size()),
                reinterpret_cast<ZelCopyRect*>(dup(rects.data(), rects.size() * sizeof(ZelCopyRect)))});
}

void Records::input(uint64_t t, const char* user, const char* tfn)
{
    add(ZelLastInput{ZEL_LAST_INPUT, t, user ? dup(user) : nullptr, tfn ? dup(tfn) : nullptr});
}

void Records::footer(uint8_t type, uint64_t t, const char* value)
{
    add(ZelFooterItem{type, t, dup(value)});
}

void Records::shown(uint64_t t, uint32_t window, const std::string& title, const std::string& command,
                    int32_t pid)
{
    add(ZelWindow{ZEL_WINDOW, t, window, ZEL_WINDOW_SHOWN, ZEL_WINDOW_MANAGED, 0, 10, 20, 400, 300, 0,
                  window & ~0x1FFFFFu, pid, pid < 0 ? 0xFFFFFFFFu : 1000,
                  pid < 0 ? ZelBytes{} : field(command), field(title), field("xterm"), field("XTerm")});
}

void Records::title(uint64_t t, uint32_t window, const std::string& text)
{
    add(ZelWindow{
        ZEL_WINDOW, t, window, ZEL_WINDOW_TITLE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, field(text), {}, {}});
}

void Records::geometry(uint64_t t, uint32_t window, int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t z)
{
    add(ZelWindow{ZEL_WINDOW, t, window, ZEL_WINDOW_GEOMETRY, 0, z, x, y, w, h, 0, 0, 0, 0, {}, {}, {}, {}});
}

void Records::gone(uint64_t t, uint32_t window)
{
    add(ZelWindow{ZEL_WINDOW, t, window, ZEL_WINDOW_GONE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, {}, {}, {}, {}});
}

void Records::gap(uint64_t t, uint64_t from, uint8_t cause, const std::string& detail)
{
    add(ZelInterruption{ZEL_INTERRUPTION, t, from, cause, field(detail)});
}

void Records::done(uint64_t t, uint8_t reason, int32_t signal, int32_t pid, uint32_t uid)
{
    ZelDone* d = zel_record_done();
    d->timestamp = t;
    d->reason = reason;
    d->signal = signal;
    d->pid = pid;
    d->uid = uid;
    take(d);
}

bool Records::write_to(ZelWriter* writer)
{
    bool ok = true;
    for (ZelRecord* r : *this) ok = ok && r != nullptr && zel_record_write(writer, r) == 0;
    const int e = errno;
    clear();
    errno = e;
    return ok;
}

void sample(Records& rs)
{
    rs.add(ZelHeader{ZEL_HEADER, 1, t0, 24, 64, 48, xRGB8888, 32, 0, nullptr, 8, 255, dup("alice"), dup("")});
    std::vector<uint8_t> px(64 * 48 * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i / 4 % 64 * 3 + i % 4 * 17);
    rs.screen(t0 + 1, 64, 48, px, 256);
    rs.block(t0 + 2, 32, 32, 32, 16, 1);
    const uint32_t pixels[16] = {0xFF000000u, 0x80808080u, 0xFFFFFFFFu, 0x01020304u};
    auto* cursor = reinterpret_cast<uint32_t*>(dup(pixels, sizeof pixels));
    rs.take(zel_cursor_image_compress(
        rs.add(ZelCursorImage{ZEL_CURSOR_IMAGE, t0 + 3, 4, 4, 10, 12, 1, 2, 77, 16, cursor})));
    rs.move(t0 + 5, -3, 40);
    rs.copy(t0 + 6, {{0, 8, 64, 40, 0, 0}, {-1, 2, 0, 0, 5, -7}}); // the second is empty: nothing happens
    rs.resize(t0 + 7, 80, 40);
    rs.input(t0 + 8, "bob", nullptr); // null, not empty
    const char* values[] = {"editor", "host.example", "192.0.2.7", "", "T-42", "fmt %s \xc3\xa9"};
    for (uint8_t i = 0; i < 6; ++i)
        rs.footer(uint8_t(i == 5 ? ZEL_FOOTER_ITEM_APPFMT : ZEL_FOOTER_ITEM_APP + i), t0 + 9, values[i]);
    const uint8_t pixel[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    rs.add(ZelImage{ZEL_IMAGE, t0 + 10, 2, 2, 5, 6, xRGB8888, 32, 8, 16, dup(pixel, 16)});
    rs.blocks(t0 + 11, {0, 0, 0, 0, 1, 0, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD}, false);
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
    rs.geometry(t0 + 13, 0x400007, 5, -6, 7, 8, 1);
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
    rs.gone(t0 + 15, 0x400007);
    rs.gap(t0 + 16, t0 + 14, ZEL_GAP_CONNECTION_LOST, "killed");
    rs.add(ZelInterruption{ZEL_INTERRUPTION, t0 + 16, t0 + 16, ZEL_GAP_MANAGER_CHANGED, {}});
    rs.done(t0 + 17, ZEL_END_SIGNAL, 15, 4242, 1000);
}

bool write_recording(const std::string& path, const std::vector<ZelRecord*>& records,
                     const uint8_t* secret_key, uint64_t keyframe_interval)
{
    ZelWriter* w = zel_writer_open(path.c_str());
    if (w == nullptr) return false;
    zel_writer_set_keyframe_interval(w, keyframe_interval);
    bool ok = secret_key == nullptr || zel_writer_set_signing_key(w, secret_key) == 0;
    for (ZelRecord* r : records) ok = ok && zel_record_write(w, r) == 0;
    const int e = errno;
    ok = zel_writer_close(w) == 0 && ok;
    if (!ok && errno == 0) errno = e;
    return ok;
}

void example_key(uint8_t secret_key[ZEL_SECRET_KEY_BYTES], uint8_t public_key[ZEL_PUBLIC_KEY_BYTES])
{
    uint8_t seed[32];
    for (uint8_t i = 0; i < 32; ++i) seed[i] = i;
    crypto_sign_seed_keypair(public_key, secret_key, seed);
}

TextScreen::TextScreen(uint16_t width, uint16_t height)
    : w_(width), h_(height), px_(static_cast<size_t>(width) * height * 4)
{
    fill();
}

void TextScreen::fill()
{
    for (int by = 0; by < rows(); ++by)
        for (int bx = 0; bx < columns(); ++bx) text_block(bx, by);
}

void TextScreen::text_block(int bx, int by)
{
    for (int cy = 0; cy < 2; ++cy)
        for (int cx = 0; cx < 4; ++cx) {
            const uint32_t glyph = rng_();
            const bool blank = (glyph & 7) == 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 8; ++x) {
                    const int px = bx * 32 + cx * 8 + x, py = by * 32 + cy * 16 + y;
                    if (px >= w_ || py >= h_) continue;
                    const bool on = !blank && y >= 3 && y < 13 && x >= 1 && x < 7 &&
                                    ((glyph >> ((y * 3 + x) % 29)) & 1) != 0;
                    const uint32_t v = on ? 0x00D0D0D0u : 0x00101010u;
                    std::memcpy(px_.data() + (static_cast<size_t>(py) * w_ + static_cast<size_t>(px)) * 4, &v,
                                4);
                }
        }
}

void TextScreen::change(int bx, int by, std::vector<uint8_t>& entries)
{
    text_block(bx, by);
    const int16_t x = static_cast<int16_t>(bx * 32), y = static_cast<int16_t>(by * 32);
    const auto bw = static_cast<uint16_t>(std::min(32, w_ - x)),
               bh = static_cast<uint16_t>(std::min(32, h_ - y));
    const int16_t rect[4] = {x, y, static_cast<int16_t>(bw), static_cast<int16_t>(bh)};
    const auto* head = reinterpret_cast<const uint8_t*>(rect);
    entries.insert(entries.end(), head, head + 8);
    for (int r = 0; r < bh; ++r) {
        const uint8_t* src = px_.data() + (static_cast<size_t>(y + r) * w_ + static_cast<size_t>(x)) * 4;
        entries.insert(entries.end(), src, src + bw * 4);
    }
}

} // namespace zelsynth
