// x-workload: an X client that puts a known load on a display, for the
// performance bench (bench/perf/perf.py).  It speaks plain xcb, makes top-level
// windows (so a window-managing client lists and redirects them) and prints
// "ready" on stdout once its windows are mapped and drawn, then works until
// its time is up or it gets SIGTERM/SIGINT; the modes that draw frames then
// print "frames N", the number of frames the server has done.
//
//   x-workload DISPLAY MODE [--seconds S] [--fps F] [--count N] [--geometry WxH+X+Y] [--seed N]
//
// Modes:
//   random   one window (default: the whole screen) repainted with incompressible
//            pixels every frame (--fps 0: as fast as the server takes them)
//   windows  --count small windows in a grid, each with its own pattern; with
//            --fps F one of them, chosen at random, is redrawn F times a second
//   churn    windows created, mapped, drawn, resized, moved, unmapped and
//            destroyed at random without waiting for the server
//   flood    one window hit by single-pixel fills as fast as the server takes them
//   move     one patterned window dragged around the screen, one step per frame
//   latency  one window filled with a new solid colour every --period-ms
//            milliseconds; prints "<microseconds since epoch> <pixel>" per fill
//            after the server has done it
//   scroll   one window whose contents scroll up by 16 rows each frame, a new
//            text-like line appearing at the bottom (like a terminal)
//   page     one window (default: the whole screen) given a new text-like page
//            every frame: every line changes, none is a copy of the last frame
#include <xcb/xcb.h>

#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;

// Frames drawn and done by the server, printed at the end.
unsigned long frames_done = 0;

int finish(int status)
{
    std::printf("frames %lu\n", frames_done);
    std::fflush(stdout);
    return status;
}

void on_stop(int)
{
    stop_requested = 1;
}

struct Options {
    std::string display;
    std::string mode;
    double seconds = 0; // 0: until a signal
    double fps = 10;
    unsigned count = 600;
    int x = 0, y = 0;
    unsigned width = 0, height = 0; // 0: the screen's
    uint64_t seed = 1;
    unsigned period_ms = 137;
};

[[noreturn]] void die(const char* what)
{
    std::fprintf(stderr, "x-workload: %s\n", what);
    std::exit(1);
}

uint64_t now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

double mono_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_until(double t)
{
    double d = t - mono_s();
    if (d <= 0) return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(d);
    ts.tv_nsec = static_cast<long>((d - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR && !stop_requested) {}
}

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
    uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(next() % n); }
};

class Display {
  public:
    explicit Display(const std::string& name)
    {
        c_ = xcb_connect(name.c_str(), nullptr);
        if (xcb_connection_has_error(c_)) die("cannot connect to the display");
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        gc_ = xcb_generate_id(c_);
        xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
        // Image requests of whole rows, well below the largest the server takes.
        max_bytes_ = std::min<uint64_t>(uint64_t{xcb_get_maximum_request_length(c_)} * 4 - 64, 1u << 20);
    }
    ~Display() { xcb_disconnect(c_); }
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    xcb_connection_t* c() const { return c_; }
    uint16_t screen_width() const { return screen_->width_in_pixels; }
    uint16_t screen_height() const { return screen_->height_in_pixels; }
    uint8_t depth() const { return screen_->root_depth; }

    // Bytes per pixel of ZPixmap images at the root depth.
    unsigned bytes_per_pixel() const
    {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
            if (it.data->depth == depth()) return it.data->bits_per_pixel / 8u;
        return 4;
    }
    unsigned stride(unsigned width) const { return (width * bytes_per_pixel() + 3u) & ~3u; }

    xcb_window_t create(int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t border = 0)
    {
        xcb_window_t win = xcb_generate_id(c_);
        uint32_t values[] = {screen_->black_pixel, 0x808080u};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, win, screen_->root, x, y, w, h, border,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL, values);
        return win;
    }

    // PutImage of rows [0, h) of data (stride bytes each) at (x, y), split
    // into requests the server accepts.
    void put(xcb_drawable_t d, int16_t x, int16_t y, uint16_t w, uint16_t h, const uint8_t* data)
    {
        const unsigned s = stride(w);
        unsigned rows = static_cast<unsigned>(std::max<uint64_t>(1, max_bytes_ / s));
        for (unsigned r = 0; r < h; r += rows) {
            unsigned n = std::min(rows, h - r);
            xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, d, gc_, w, static_cast<uint16_t>(n), x,
                          static_cast<int16_t>(y + static_cast<int>(r)), 0, depth(), n * s,
                          data + size_t{r} * s);
        }
    }

    void fill(xcb_drawable_t d, uint32_t pixel, int16_t x, int16_t y, uint16_t w, uint16_t h)
    {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &pixel);
        xcb_rectangle_t r{x, y, w, h};
        xcb_poly_fill_rectangle(c_, d, gc_, 1, &r);
    }

    // Many rectangles of one colour, in requests the server accepts.
    void fill_rects(xcb_drawable_t d, uint32_t pixel, const std::vector<xcb_rectangle_t>& rects)
    {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &pixel);
        const size_t per_request = std::max<uint64_t>(1, (max_bytes_ - 16) / sizeof(xcb_rectangle_t));
        for (size_t i = 0; i < rects.size(); i += per_request) {
            const size_t n = std::min(per_request, rects.size() - i);
            xcb_poly_fill_rectangle(c_, d, gc_, static_cast<uint32_t>(n), rects.data() + i);
        }
    }

    void copy(xcb_drawable_t d, int16_t sx, int16_t sy, int16_t dx, int16_t dy, uint16_t w, uint16_t h)
    {
        xcb_copy_area(c_, d, d, gc_, sx, sy, dx, dy, w, h);
    }

    // A round trip; false when the connection broke.
    bool sync()
    {
        xcb_generic_error_t* e = nullptr;
        free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), &e));
        free(e);
        // Drop whatever events and errors arrived: this client reacts to none.
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c_)) free(ev);
        return !xcb_connection_has_error(c_);
    }

  private:
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
    uint64_t max_bytes_ = 0;
};

std::vector<uint8_t> pattern(const Display& d, uint16_t w, uint16_t h, uint32_t seed)
{
    const unsigned s = d.stride(w), bpp = d.bytes_per_pixel();
    std::vector<uint8_t> px(size_t{s} * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            uint32_t v = (x * 7u + y * 13u + seed * 2654435761u) ^ (seed << 8);
            std::memcpy(&px[size_t{y} * s + x * bpp], &v, bpp);
        }
    return px;
}

void ready()
{
    std::printf("ready\n");
    std::fflush(stdout);
}

bool time_left(const Options& o, double start)
{
    return !stop_requested && (o.seconds <= 0 || mono_s() - start < o.seconds);
}

int run_random(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : d.screen_width());
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : d.screen_height());
    xcb_window_t win = d.create(static_cast<int16_t>(o.x), static_cast<int16_t>(o.y), w, h);
    xcb_map_window(d.c(), win);
    // A pool of random bytes larger than one frame; each frame starts at a
    // new random offset in it, so no frame repeats and none compresses.
    const size_t frame = size_t{d.stride(w)} * h;
    Rng rng(o.seed);
    std::vector<uint8_t> pool(frame * 2 + 4096);
    for (size_t i = 0; i + 8 <= pool.size(); i += 8) {
        uint64_t v = rng.next();
        std::memcpy(&pool[i], &v, 8);
    }
    if (!d.sync()) return 1;
    ready();
    const double start = mono_s();
    double next = start;
    while (time_left(o, start)) {
        size_t off = (rng.below(static_cast<uint32_t>(frame / 4))) * 4;
        d.put(win, 0, 0, w, h, pool.data() + off);
        if (!d.sync()) return finish(0);
        ++frames_done;
        if (o.fps > 0) {
            next += 1.0 / o.fps;
            sleep_until(next);
        }
    }
    return finish(0);
}

int run_windows(Display& d, const Options& o)
{
    const uint16_t w = 40, h = 30;
    const unsigned cols = std::max(1u, d.screen_width() / 44u);
    std::vector<xcb_window_t> wins;
    for (unsigned i = 0; i < o.count; ++i) {
        int16_t x = static_cast<int16_t>((i % cols) * 44u % std::max(1, d.screen_width() - w));
        int16_t y = static_cast<int16_t>((i / cols) * 34u % std::max(1, d.screen_height() - h));
        xcb_window_t win = d.create(x, y, w, h, static_cast<uint16_t>(i % 3));
        xcb_map_window(d.c(), win);
        auto px = pattern(d, w, h, i + 1);
        d.put(win, 0, 0, w, h, px.data());
        wins.push_back(win);
        if (i % 50 == 49 && !d.sync()) return 1;
    }
    if (!d.sync()) return 1;
    ready();
    Rng rng(o.seed);
    const double start = mono_s();
    double next = start;
    std::vector<uint8_t> px;
    while (time_left(o, start)) {
        if (o.fps > 0) {
            xcb_window_t win = wins[rng.below(static_cast<uint32_t>(wins.size()))];
            px = pattern(d, w, h, static_cast<uint32_t>(rng.next()));
            d.put(win, 0, 0, w, h, px.data());
            if (!d.sync()) return 0;
            next += 1.0 / o.fps;
            sleep_until(next);
        } else {
            sleep_until(mono_s() + 0.1);
        }
    }
    return 0;
}

int run_churn(Display& d, const Options& o)
{
    Rng rng(o.seed);
    std::vector<xcb_window_t> wins;
    const int sw = d.screen_width(), sh = d.screen_height();
    auto geometry = [&](int16_t& x, int16_t& y, uint16_t& w, uint16_t& h) {
        w = static_cast<uint16_t>(1 + rng.below(static_cast<uint32_t>(sw / 2)));
        h = static_cast<uint16_t>(1 + rng.below(static_cast<uint32_t>(sh / 2)));
        // Partly off screen now and then, on every side.
        x = static_cast<int16_t>(static_cast<int>(rng.below(static_cast<uint32_t>(sw + w))) - w / 2);
        y = static_cast<int16_t>(static_cast<int>(rng.below(static_cast<uint32_t>(sh + h))) - h / 2);
    };
    std::vector<uint8_t> px;
    ready();
    const double start = mono_s();
    unsigned n = 0;
    while (time_left(o, start)) {
        int16_t x, y;
        uint16_t w, h;
        unsigned op = rng.below(10);
        if (wins.size() < 8 || (op == 0 && wins.size() < 60)) {
            geometry(x, y, w, h);
            xcb_window_t win = d.create(x, y, w, h, static_cast<uint16_t>(rng.below(4)));
            xcb_map_window(d.c(), win);
            d.fill(win, static_cast<uint32_t>(rng.next()), 0, 0, w, h);
            wins.push_back(win);
        } else {
            size_t i = rng.below(static_cast<uint32_t>(wins.size()));
            xcb_window_t win = wins[i];
            switch (op) {
            case 1:
            case 2: { // resize, often right after drawing so the fetch races it
                geometry(x, y, w, h);
                uint32_t v[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), w, h};
                xcb_configure_window(d.c(), win,
                                     XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                         XCB_CONFIG_WINDOW_HEIGHT,
                                     v);
                break;
            }
            case 3:
            case 4:
            case 5: {
                uint16_t pw = static_cast<uint16_t>(1 + rng.below(200)),
                         ph = static_cast<uint16_t>(1 + rng.below(200));
                px = pattern(d, pw, ph, static_cast<uint32_t>(rng.next()));
                d.put(win, static_cast<int16_t>(rng.below(300)), static_cast<int16_t>(rng.below(300)), pw, ph,
                      px.data());
                break;
            }
            case 6: xcb_unmap_window(d.c(), win); break;
            case 7: xcb_map_window(d.c(), win); break;
            default: // destroyed while its image may be on its way
                d.fill(win, static_cast<uint32_t>(rng.next()), 0, 0, 4000, 4000);
                xcb_destroy_window(d.c(), win);
                wins.erase(wins.begin() + static_cast<long>(i));
                break;
            }
        }
        xcb_flush(d.c());
        // A round trip now and then keeps the request stream bounded.
        if (++n % 64 == 0 && !d.sync()) return 0;
    }
    return 0;
}

int run_flood(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : std::min<int>(640, d.screen_width()));
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : std::min<int>(480, d.screen_height()));
    xcb_window_t win = d.create(static_cast<int16_t>(o.x), static_cast<int16_t>(o.y), w, h);
    xcb_map_window(d.c(), win);
    if (!d.sync()) return 1;
    ready();
    Rng rng(o.seed);
    const double start = mono_s();
    unsigned n = 0;
    while (time_left(o, start)) {
        d.fill(win, static_cast<uint32_t>(rng.next()), static_cast<int16_t>(rng.below(w)),
               static_cast<int16_t>(rng.below(h)), 1, 1);
        if (++n % 4096 == 0 && !d.sync()) return 0;
    }
    return 0;
}

int run_move(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : 640);
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : 480);
    xcb_window_t win = d.create(0, 0, w, h);
    xcb_map_window(d.c(), win);
    auto px = pattern(d, w, h, static_cast<uint32_t>(o.seed));
    d.put(win, 0, 0, w, h, px.data());
    if (!d.sync()) return 1;
    ready();
    const int rx = std::max(1, d.screen_width() - w), ry = std::max(1, d.screen_height() - h);
    const double start = mono_s();
    double next = start;
    unsigned step = 0;
    while (time_left(o, start)) {
        // Back and forth along a diagonal, 8 pixels a step, like a drag.
        int t = static_cast<int>(step++ * 8);
        int x = t % (2 * rx), y = (t / 2) % (2 * ry);
        if (x >= rx) x = 2 * rx - x;
        if (y >= ry) y = 2 * ry - y;
        uint32_t v[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
        xcb_configure_window(d.c(), win, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, v);
        if (!d.sync()) return finish(0);
        ++frames_done;
        next += 1.0 / (o.fps > 0 ? o.fps : 50);
        sleep_until(next);
    }
    return finish(0);
}

int run_latency(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : 200);
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : 200);
    xcb_window_t win = d.create(static_cast<int16_t>(o.x), static_cast<int16_t>(o.y), w, h);
    xcb_map_window(d.c(), win);
    d.fill(win, 0, 0, 0, w, h);
    if (!d.sync()) return 1;
    ready();
    const double start = mono_s();
    double next = start + o.period_ms / 1000.0;
    uint32_t i = 0;
    while (time_left(o, start)) {
        sleep_until(next);
        next += o.period_ms / 1000.0;
        ++i;
        // Distinct, never black, the same in every bit layout's low 24 bits.
        uint32_t pixel = 0x010101u * ((i % 250) + 3) ^ (i << 16 & 0xff0000u);
        d.fill(win, pixel, 0, 0, w, h);
        if (!d.sync()) return 0;
        std::printf("%llu %u\n", static_cast<unsigned long long>(now_us()), pixel & 0xffffffu);
        std::fflush(stdout);
    }
    return 0;
}

int run_scroll(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : 800);
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : 600);
    const uint16_t line = 16;
    xcb_window_t win = d.create(static_cast<int16_t>(o.x), static_cast<int16_t>(o.y), w, h);
    xcb_map_window(d.c(), win);
    d.fill(win, 0xffffff, 0, 0, w, h);
    if (!d.sync()) return 1;
    ready();
    Rng rng(o.seed);
    const double start = mono_s();
    double next = start;
    while (time_left(o, start)) {
        d.copy(win, 0, static_cast<int16_t>(line), 0, 0, w, static_cast<uint16_t>(h - line));
        d.fill(win, 0xffffff, 0, static_cast<int16_t>(h - line), w, line);
        // "Glyphs": dark cells of random width along the new line.
        int x = 2;
        while (x < w - 10) {
            uint16_t gw = static_cast<uint16_t>(4 + rng.below(40));
            if (x + gw > w) break;
            d.fill(win, 0x202020, static_cast<int16_t>(x), static_cast<int16_t>(h - line + 3), gw, 10);
            x += gw + 6;
        }
        if (!d.sync()) return finish(0);
        ++frames_done;
        next += 1.0 / (o.fps > 0 ? o.fps : 30);
        sleep_until(next);
    }
    return finish(0);
}

// One "glyph" in a terminal-like cell of 8x16 pixels: one to three strokes
// chosen at random, so that lines look like text and compress like it.
void add_glyph(std::vector<xcb_rectangle_t>& rects, Rng& rng, int16_t x, int16_t y)
{
    const unsigned strokes = 1 + rng.below(3);
    for (unsigned i = 0; i < strokes; ++i) {
        if (rng.below(2) == 0) { // vertical stroke
            const int16_t sx = static_cast<int16_t>(x + 1 + static_cast<int>(rng.below(6)));
            const int16_t sy = static_cast<int16_t>(y + 3 + static_cast<int>(rng.below(4)));
            rects.push_back({sx, sy, 1, static_cast<uint16_t>(4 + rng.below(6))});
        } else { // horizontal stroke
            const int16_t sy = static_cast<int16_t>(y + 3 + static_cast<int>(rng.below(10)));
            rects.push_back({static_cast<int16_t>(x + 1), sy, static_cast<uint16_t>(2 + rng.below(5)), 1});
        }
    }
}

int run_page(Display& d, const Options& o)
{
    const uint16_t w = static_cast<uint16_t>(o.width ? o.width : d.screen_width());
    const uint16_t h = static_cast<uint16_t>(o.height ? o.height : d.screen_height());
    xcb_window_t win = d.create(static_cast<int16_t>(o.x), static_cast<int16_t>(o.y), w, h);
    xcb_map_window(d.c(), win);
    d.fill(win, 0xffffff, 0, 0, w, h);
    if (!d.sync()) return 1;
    ready();
    Rng rng(o.seed);
    const unsigned columns = w / 8u, rows = h / 16u;
    // Words in a few colours, as an editor with highlighting shows code.
    const uint32_t colours[] = {0x202020, 0x1030a0, 0xa02020, 0x108030};
    std::vector<xcb_rectangle_t> glyphs[4];
    const double start = mono_s();
    double next = start;
    while (time_left(o, start)) {
        for (auto& g : glyphs) g.clear();
        // Lines of 0 to all columns, words of 1 to 10 characters.
        for (unsigned row = 0; row < rows; ++row) {
            const unsigned length = rng.below(columns + 1);
            unsigned col = rng.below(4) * 4; // indentation
            while (col < length) {
                const unsigned word = 1 + rng.below(10);
                auto& g = glyphs[rng.below(4)];
                for (unsigned k = 0; k < word && col + k < length; ++k)
                    add_glyph(g, rng, static_cast<int16_t>((col + k) * 8), static_cast<int16_t>(row * 16));
                col += word + 1;
            }
        }
        d.fill(win, 0xffffff, 0, 0, w, h);
        for (unsigned i = 0; i < 4; ++i) d.fill_rects(win, colours[i], glyphs[i]);
        if (!d.sync()) return finish(0);
        ++frames_done;
        next += 1.0 / (o.fps > 0 ? o.fps : 20);
        sleep_until(next);
    }
    return finish(0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: x-workload DISPLAY random|windows|churn|flood|move|latency|scroll|page [--seconds S] "
            "[--fps F] [--count N] [--geometry WxH+X+Y] [--seed N] [--period-ms N]\n");
        return 2;
    }
    Options o;
    o.display = argv[1];
    o.mode = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) die("missing value");
        const char* v = argv[++i];
        if (a == "--seconds")
            o.seconds = std::atof(v);
        else if (a == "--fps")
            o.fps = std::atof(v);
        else if (a == "--count")
            o.count = static_cast<unsigned>(std::atoi(v));
        else if (a == "--seed")
            o.seed = std::strtoull(v, nullptr, 10);
        else if (a == "--period-ms")
            o.period_ms = static_cast<unsigned>(std::atoi(v));
        else if (a == "--geometry") {
            if (std::sscanf(v, "%ux%u+%d+%d", &o.width, &o.height, &o.x, &o.y) < 2) die("bad geometry");
        } else
            die("unknown option");
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Display d(o.display);
    if (o.mode == "random") return run_random(d, o);
    if (o.mode == "windows") return run_windows(d, o);
    if (o.mode == "churn") return run_churn(d, o);
    if (o.mode == "flood") return run_flood(d, o);
    if (o.mode == "move") return run_move(d, o);
    if (o.mode == "latency") return run_latency(d, o);
    if (o.mode == "scroll") return run_scroll(d, o);
    if (o.mode == "page") return run_page(d, o);
    die("unknown mode");
}
