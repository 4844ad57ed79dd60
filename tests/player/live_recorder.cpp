// The recorder on a test display, for the player's live test: records the
// display to $ZEL_OUT; each line on standard input paints the one window with
// a new pattern, so the recording grows by a frame; the end of the input
// stops the recorder, and its exit status is this program's.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "harness.h"

int main()
try {
    const char* out = std::getenv("ZEL_OUT");
    if (out == nullptr) {
        std::fprintf(stderr, "live_recorder: ZEL_OUT is not set\n");
        return 2;
    }
    xtest::Display display;
    xcb_window_t window = display.window(40, 30, 320, 200, 1);
    xtest::Recorder recorder({"-framerate", "10", display.name(), out});
    uint32_t seed = 1;
    for (std::string line; std::getline(std::cin, line);) {
        display.client.draw_pattern(window, ++seed);
        display.client.sync();
    }
    return recorder.stop();
} catch (const std::exception& e) {
    std::fprintf(stderr, "live_recorder: %s\n", e.what());
    return 1;
}
