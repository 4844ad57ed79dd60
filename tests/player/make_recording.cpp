// zel_player_recording OUT [--format N] [--key SECRET_FILE] [--idle] [--start SECONDS]
// Writes a recording for the player's tests through libzel, one second of
// records at a time (10 frame ticks): whole screens, compressed and plain
// blocks, copies, a plain image, cursor images (plain and compressed) and
// moves, screen size changes, last input changes and footer items, a window
// shown, retitled, moved and gone, an interruption, a small
// keyframe interval (and so many seals), signed with --key: seconds 0 to 8
// and the end record; with --idle nothing at all in seconds 3 to 7; --start
// moves the recording that many seconds later.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zel.h"

namespace {

uint64_t t0 = 1'760'000'000'000'000ull;

struct Gen {
    ZelWriter* writer = nullptr;
    PixelFormat format = xRGB8888;
    uint8_t bpp = 4;
    uint16_t width = 320, height = 200;
    std::mt19937 rng{7};
    bool ok = true;

    uint32_t stride(uint32_t w) const { return stride_in_bytes(w, static_cast<uint8_t>(bpp * 8), 32); }
    void put(void* record)
    {
        ok = ok && record != nullptr && zel_record_write(writer, record) == 0;
        zel_record_free(record);
    }
    template <typename T>
    T* make(uint8_t type, uint64_t t)
    {
        auto* r = static_cast<T*>(std::calloc(1, sizeof(T)));
        r->type = type;
        r->timestamp = t;
        return r;
    }
    static uint8_t* dup(const char* s) { return reinterpret_cast<uint8_t*>(strdup(s)); }

    // A rectangle of one random colour with a few random pixels on it.
    std::vector<uint8_t> rect(uint16_t w, uint16_t h)
    {
        std::vector<uint8_t> px(static_cast<size_t>(stride(w)) * h);
        uint32_t c = rng();
        for (uint16_t y = 0; y < h; ++y)
            for (uint16_t x = 0; x < w; ++x) {
                uint32_t v = (rng() % 16 == 0) ? rng() : c;
                std::memcpy(px.data() + y * stride(w) + x * bpp, &v, bpp);
            }
        return px;
    }

    void header(uint64_t t)
    {
        auto* h = make<ZelHeader>(ZEL_HEADER, t);
        h->version = 1;
        h->depth = bpp == 4 ? 24 : static_cast<uint8_t>(bpp * 8);
        h->width = width;
        h->height = height;
        h->pixel_format = format;
        h->scanline_pad = 32;
        h->min_keycode = 8;
        h->max_keycode = 255;
        if (format == PALETTE8) { // 200 colours: indexes past them show black
            h->palette_size = 200;
            h->palette = static_cast<RgbValue*>(std::calloc(200, sizeof(RgbValue)));
            for (auto i = 0; i < 200; ++i)
                h->palette[i] = RgbValue{static_cast<uint16_t>(rng()),
                                         static_cast<uint16_t>(rng()),
                                         static_cast<uint16_t>(rng()),
                                         {0, 0}};
        }
        h->user = dup("alice");
        h->tfn = dup("tfn-alice");
        put(h);
    }

    void whole(uint64_t t)
    {
        std::vector<uint8_t> px = rect(width, height);
        ZelImage img{ZEL_IMAGE, t,      width, height,        0,
                     0,         format, 32,    stride(width), static_cast<uint32_t>(px.size()),
                     px.data()};
        put(zel_image_compress(&img));
    }

    // Changed blocks, compressed or plain; some reach past the screen's edge.
    void blocks(uint64_t t, bool compressed)
    {
        std::vector<uint8_t> data;
        for (int k = 0; k < 3; ++k) {
            int16_t x = static_cast<int16_t>(rng() % width), y = static_cast<int16_t>(rng() % height);
            uint16_t w = 32, h = static_cast<uint16_t>(8 + rng() % 25);
            std::vector<uint8_t> px = rect(w, h);
            int16_t head[4] = {x, y, static_cast<int16_t>(w), static_cast<int16_t>(h)};
            data.insert(data.end(), reinterpret_cast<uint8_t*>(head), reinterpret_cast<uint8_t*>(head) + 8);
            data.insert(data.end(), px.begin(), px.end());
        }
        ZelImageBlocks b{ZEL_IMAGE_BLOCKS, t, static_cast<uint32_t>(data.size()), data.data()};
        if (compressed) {
            put(zel_image_blocks_compress(&b));
        } else {
            auto* r = make<ZelImageBlocks>(ZEL_IMAGE_BLOCKS, t);
            r->length = b.length;
            r->data = static_cast<uint8_t*>(std::malloc(b.length));
            std::memcpy(r->data, data.data(), b.length);
            put(r);
        }
    }

    void plain_image(uint64_t t)
    {
        auto* i = make<ZelImage>(ZEL_IMAGE, t);
        *i = ZelImage{ZEL_IMAGE, t, 50, 40, -10, 30, format, 32, stride(50), stride(50) * 40u, nullptr};
        std::vector<uint8_t> px = rect(50, 40);
        i->data = static_cast<uint8_t*>(std::malloc(px.size()));
        std::memcpy(i->data, px.data(), px.size());
        put(i);
    }

    // Rectangles moved up and to the right, overlapping themselves.
    void copy(uint64_t t)
    {
        auto* c = make<ZelCopy>(ZEL_COPY, t);
        c->count = 2;
        c->rects = static_cast<ZelCopyRect*>(std::calloc(2, sizeof(ZelCopyRect)));
        c->rects[0] = ZelCopyRect{0, 8, 200, 100, 0, 0};
        c->rects[1] = ZelCopyRect{150, 50, 64, 40, 160, 60};
        put(c);
    }

    // A cursor with opaque, half-transparent and clear pixels.
    void cursor(uint64_t t, uint16_t size, uint16_t hot, bool compressed)
    {
        auto* c = make<ZelCursorImage>(ZEL_CURSOR_IMAGE, t);
        *c = ZelCursorImage{
            ZEL_CURSOR_IMAGE, t, size, size, 5, 5, hot, hot, size, static_cast<uint32_t>(size * size),
            nullptr};
        c->data = static_cast<uint32_t*>(std::calloc(c->length, 4));
        for (uint32_t i = 0; i < c->length; ++i) {
            uint32_t a = i % 3 == 0 ? 255 : i % 3 == 1 ? 128 : 0, v = rng() & 0xff;
            c->data[i] = a << 24 | (v * a / 255) << 16 | (v * a / 510) << 8 | ((255 - v) * a / 255);
        }
        if (compressed) {
            put(zel_cursor_image_compress(c));
            zel_record_free(c);
        } else {
            put(c);
        }
    }

    void simple(uint8_t type, uint64_t t, uint16_t a, uint16_t b)
    {
        if (type == ZEL_SCREEN_CHANGE) {
            auto* s = make<ZelScreenChange>(type, t);
            s->width = width = a;
            s->height = height = b;
            put(s);
        } else {
            auto* p = make<ZelCursorPosition>(type, t);
            p->x = static_cast<int16_t>(a);
            p->y = static_cast<int16_t>(b);
            put(p);
        }
    }

    void input(uint64_t t, const char* user)
    {
        auto* l = make<ZelLastInput>(ZEL_LAST_INPUT, t);
        l->user = dup(user);
        l->tfn = dup((std::string("tfn-") + user).c_str());
        put(l);
    }

    void footer(uint8_t type, uint64_t t, const char* value)
    {
        auto* f = make<ZelFooterItem>(type, t);
        f->item = dup(value);
        put(f);
    }

    static ZelBytes bytes(const std::string& s)
    {
        auto* p = static_cast<uint8_t*>(std::malloc(s.size() + 1));
        std::memcpy(p, s.data(), s.size());
        return {static_cast<uint32_t>(s.size()), p};
    }

    // A window shown (every field), retitled, moved and gone.
    void window(uint8_t event, uint64_t t)
    {
        auto* w = make<ZelWindow>(ZEL_WINDOW, t);
        w->window = 0x400007;
        w->event = event;
        if (event == ZEL_WINDOW_SHOWN) {
            *w = ZelWindow{ZEL_WINDOW,
                           t,
                           0x400007,
                           event,
                           ZEL_WINDOW_MANAGED,
                           3,
                           10,
                           20,
                           200,
                           100,
                           0,
                           0x400000,
                           4242,
                           1000,
                           bytes(std::string("xterm\0-e\0top", 12)),
                           bytes("top: alice"),
                           bytes("xterm"),
                           bytes("XTerm")};
        } else if (event == ZEL_WINDOW_TITLE) {
            w->title = bytes("vim notes.txt");
        } else if (event == ZEL_WINDOW_GEOMETRY) {
            w->x = 30;
            w->width = 220;
            w->height = 120;
        }
        put(w);
    }

    // Recording was not whole from half a second before t to t.
    void interruption(uint64_t t)
    {
        auto* i = make<ZelInterruption>(ZEL_INTERRUPTION, t);
        i->from = t - 500'000;
        i->cause = ZEL_GAP_INPUT_LOST;
        i->detail = bytes("input stream reset");
        put(i);
    }

    // Second s: its events first, then ten frame ticks.
    void second(int s)
    {
        const uint64_t t = t0 + static_cast<uint64_t>(s) * 1'000'000;
        if (s == 0) {
            header(t);
            whole(t);
            cursor(t, 12, 2, false);
        }
        if (s == 1) footer(ZEL_FOOTER_ITEM_APP, t, "xterm"), footer(ZEL_FOOTER_ITEM_SID, t, "session-42");
        if (s == 1) window(ZEL_WINDOW_SHOWN, t);
        if (s == 2) window(ZEL_WINDOW_TITLE, t), window(ZEL_WINDOW_GEOMETRY, t);
        if (s == 5) interruption(t);
        if (s == 6) window(ZEL_WINDOW_GONE, t);
        if (s % 5 == 2) input(t, "bob");
        if (s % 5 == 4) input(t, "alice"), simple(ZEL_SCREEN_CHANGE, t, 401, 241);
        if (s == 3) cursor(t, 20, 19, true);
        if (s % 3 == 0 && s > 0) whole(t);
        if (s == 7) simple(ZEL_SCREEN_CHANGE, t, 301, 181);
        for (int k = 0; k < 10; ++k) {
            uint64_t tick = t + static_cast<uint64_t>(k) * 100'000 + 50'000;
            if (k % 5 == 2) copy(tick);
            blocks(tick, k % 4 != 3);
            if (k == 5) plain_image(tick);
            simple(ZEL_CURSOR_POSITION, tick + 10'000, static_cast<uint16_t>(rng() % width),
                   static_cast<uint16_t>(rng() % height));
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    Gen g;
    std::string out, key;
    bool idle = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--key" && i + 1 < argc) {
            key = argv[++i];
        } else if (a == "--start" && i + 1 < argc) {
            t0 += std::strtoull(argv[++i], nullptr, 10) * 1'000'000ull;
        } else if (a == "--idle") {
            idle = true;
        } else if (a == "--format" && i + 1 < argc) {
            g.format = static_cast<PixelFormat>(std::atoi(argv[++i]));
            g.bpp = pixel_format_bytes_per_pixel(g.format);
        } else {
            out = a;
        }
    }
    if (out.empty() || g.bpp == 0) {
        std::fprintf(
            stderr,
            "usage: zel_player_recording OUT [--format N] [--key SECRET_FILE] [--idle] [--start SECONDS]\n");
        return 1;
    }
    g.writer = zel_writer_open(out.c_str());
    if (g.writer == nullptr) {
        std::perror(out.c_str());
        return 1;
    }
    uint8_t secret[ZEL_SECRET_KEY_BYTES];
    char why[200];
    if (!key.empty() && (zel_key_read_secret(key.c_str(), secret, why, sizeof why) != 0 ||
                         zel_writer_set_signing_key(g.writer, secret) != 0)) {
        std::fprintf(stderr, "%s: %s\n", key.c_str(), why);
        return 1;
    }
    zel_writer_set_keyframe_interval(g.writer, 96 * 1024);
    int s = 0;
    for (; s < 9; ++s)
        if (!idle || s < 3 || s > 7) g.second(s);
    ZelDone* done = zel_record_done();
    done->timestamp = t0 + static_cast<uint64_t>(s) * 1'000'000;
    done->reason = ZEL_END_STDIN_CLOSED;
    g.put(done);
    return zel_writer_close(g.writer) == 0 && g.ok ? 0 : 1;
}
