// zel_make_recording [--windows ID] OUT SECONDS [BLOCKS_PER_FRAME [FULL_EVERY_SECONDS [WIDTHxHEIGHT]]]
// zel_make_recording --sample OUT [--signed]
//
// Writes a synthetic recording the way the recorder does: a header, a full
// screen, then at 10 frames a second a compressed record of the changed
// 32x32 blocks (text-like content, as a terminal being typed into) and a
// cursor position, a full screen every FULL_EVERY_SECONDS (0: never), and the
// end-of-data record.  For the reader, replay and seeking measurements.
// With --windows, also the text a search finds, spread through it: footer
// items, a window event every 10 s (shown, renamed, gone: a new xterm each
// 30 s, titled and run with ID and its number), a last-input change every
// minute and a gap every hour.
// With --sample, one record of every type (tests/zel/corpus's samples),
// signed with the examples' key (seed 00 01 .. 1F) when --signed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zel_synthetic.h"

namespace {

int write_sample(const char* out, bool is_signed)
{
    uint8_t secret[ZEL_SECRET_KEY_BYTES], pub[ZEL_PUBLIC_KEY_BYTES];
    zelsynth::example_key(secret, pub);
    zelsynth::Records rs;
    zelsynth::sample(rs);
    if (zelsynth::write_recording(out, rs, is_signed ? secret : nullptr)) return 0;
    std::perror(out);
    return 1;
}

// The window, input and gap records of frame f (at time t) for --windows.
void windows(zelsynth::Records& rs, int id, long f, uint64_t t)
{
    const long k = f / 300; // the window's number
    const auto window = static_cast<uint32_t>(0x400000 + k);
    const std::string name = std::to_string(id) + "-" + std::to_string(k);
    if (f % 300 == 0)
        rs.shown(t, window, "vim notes-" + name + ".txt", std::string("xterm\0-e\0vim\0notes-", 19) + name,
                 1000 + int(k));
    if (f % 300 == 100) rs.title(t, window, "root@db" + name + ": ~");
    if (f % 300 == 200) rs.gone(t, window);
    if (f % 600 == 0) rs.input(t, f % 1200 ? "alice" : "bob", ("T-" + std::to_string(id)).c_str());
    if (f % 36000 == 18000) rs.gap(t, t - 2'000'000, ZEL_GAP_CONNECTION_LOST, "xpra restarted");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--sample") == 0)
        return write_sample(argv[2], argc > 3 && std::strcmp(argv[3], "--signed") == 0);
    int id = -1; // --windows
    if (argc >= 3 && std::strcmp(argv[1], "--windows") == 0) {
        id = std::atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: zel_make_recording [--windows ID] OUT SECONDS [BLOCKS_PER_FRAME [FULL_EVERY_SECONDS "
            "[WxH]]]\n"
            "       zel_make_recording --sample OUT [--signed]\n");
        return 1;
    }
    const double seconds = std::atof(argv[2]);
    const int per_frame = argc > 3 ? std::atoi(argv[3]) : 5;
    const double full_every = argc > 4 ? std::atof(argv[4]) : 60;
    unsigned w = 1920, h = 1080;
    if (argc > 5 && std::sscanf(argv[5], "%ux%u", &w, &h) != 2) return 1;
    zelsynth::TextScreen s(static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    ZelWriter* wr = zel_writer_open(argv[1]);
    if (wr == nullptr) {
        std::perror("zel_make_recording");
        return 1;
    }
    const uint64_t t0 = 1'750'000'000'000'000ull;
    zelsynth::Records rs;
    rs.header(t0, s.width(), s.height());
    rs.screen(t0, s.width(), s.height(), s.pixels(), s.stride());
    if (id >= 0) {
        rs.footer(ZEL_FOOTER_ITEM_SID, t0, ("S-" + std::to_string(id)).c_str());
        rs.footer(ZEL_FOOTER_ITEM_HOST, t0, "host.example");
    }
    bool ok = rs.write_to(wr);
    const auto frames = static_cast<long>(seconds * 10);
    const long full_frames = full_every > 0 ? static_cast<long>(full_every * 10) : 0;
    std::vector<uint8_t> blocks;
    auto begin = std::chrono::steady_clock::now();
    for (long f = 1; f <= frames && ok; ++f) {
        const uint64_t t = t0 + static_cast<uint64_t>(f) * 100'000;
        if (full_frames > 0 && f % full_frames == 0) {
            s.fill();
            rs.screen(t, s.width(), s.height(), s.pixels(), s.stride());
        } else { // a run of neighbouring blocks, like a line being typed
            const int by = static_cast<int>(s.random()() % static_cast<unsigned>(s.rows()));
            const int bx0 = static_cast<int>(s.random()() % static_cast<unsigned>(s.columns()));
            blocks.clear();
            for (int k = 0; k < per_frame; ++k)
                s.change((bx0 + k) % s.columns(), (by + (bx0 + k) / s.columns()) % s.rows(), blocks);
            rs.blocks(t, blocks);
        }
        rs.move(t + 50'000, static_cast<int16_t>(f % s.width()), static_cast<int16_t>(f % s.height()));
        if (id >= 0) windows(rs, id, f, t + 60'000);
        ok = rs.write_to(wr);
    }
    rs.done(t0 + static_cast<uint64_t>(frames) * 100'000 + 1);
    ok = rs.write_to(wr) && ok;
    ok = zel_writer_close(wr) == 0 && ok;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::fprintf(stderr, "zel_make_recording: %ld frames in %.1f s\n", frames, secs);
    return ok ? 0 : 1;
}
