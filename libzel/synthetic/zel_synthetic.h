// Synthetic recordings for tests and benchmarks: records built as the
// recorder builds them (malloc'ed structures that zel_record_free releases),
// kept in order until they are written, one record of every type, and a
// screen of text as a terminal shows it.  Not part of the library's
// interface (zel.h); built as its own static library, zel_synthetic.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zel.h"

namespace zelsynth {

// 2023-11-14 22:13:20 UTC, the time of every example.
inline constexpr uint64_t t0 = 1'700'000'000'000'000ull;

// A malloc'ed copy of n bytes (of a string with its NUL when n is 0).
uint8_t* dup(const void* p, size_t n = 0);
// A bytes field holding a malloc'ed copy of s (NUL bytes included).
ZelBytes field(const std::string& s);

// The records of a recording in the making, owned until written.
struct Records : std::vector<ZelRecord*> {
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() { clear(); }
    void clear();
    template <typename T>
    T* add(T fields) // a malloc'ed copy
    {
        push_back(static_cast<ZelRecord*>(std::memcpy(std::malloc(sizeof(T)), &fields, sizeof(T))));
        return reinterpret_cast<T*>(back());
    }
    void take(void* r) { push_back(static_cast<ZelRecord*>(r)); }

    void header(uint64_t t, uint16_t w, uint16_t h, PixelFormat f = xRGB8888, uint8_t pad = 32);
    // A whole screen of height rows of stride bytes, compressed.
    void screen(uint64_t t, uint16_t w, uint16_t h, const std::vector<uint8_t>& rows, uint32_t stride,
                PixelFormat f = xRGB8888, uint8_t pad = 32);
    // Block entries (rectangle and rows, as zel.h lays them out), compressed or not.
    void blocks(uint64_t t, const std::vector<uint8_t>& entries, bool compressed = true);
    // One 32-bit block of a pattern of seed, compressed.
    void block(uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed);
    void copy(uint64_t t, const std::vector<ZelCopyRect>& rects);
    void move(uint64_t t, int16_t x, int16_t y) { add(ZelCursorPosition{ZEL_CURSOR_POSITION, t, x, y}); }
    void resize(uint64_t t, uint16_t w, uint16_t h) { add(ZelScreenChange{ZEL_SCREEN_CHANGE, t, w, h}); }
    void input(uint64_t t, const char* user, const char* tfn);
    void footer(uint8_t type, uint64_t t, const char* value);
    // A window shown, with its facts and claims; title, geometry and gone events.
    void shown(uint64_t t, uint32_t window, const std::string& title, const std::string& command,
               int32_t pid);
    void title(uint64_t t, uint32_t window, const std::string& title);
    void geometry(uint64_t t, uint32_t window, int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t z);
    void gone(uint64_t t, uint32_t window);
    void gap(uint64_t t, uint64_t from, uint8_t cause, const std::string& detail);
    void done(uint64_t t, uint8_t reason = ZEL_END_UNSPECIFIED, int32_t signal = 0, int32_t pid = 0,
              uint32_t uid = 0);

    // Writes every record in order and frees them (the list is empty after);
    // false at the first that fails (errno set).
    bool write_to(ZelWriter* writer);
};

// One record of every type a caller writes, the end-of-data record last.
void sample(Records& rs);

// Writes a new file of these records (not taken), signed when a secret key
// is given; false (errno set) when anything fails.
bool write_recording(const std::string& path, const std::vector<ZelRecord*>& records,
                     const uint8_t* secret_key = nullptr, uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL);

// The key of the examples and tests: the seed 00 01 .. 1F.
void example_key(uint8_t secret_key[ZEL_SECRET_KEY_BYTES], uint8_t public_key[ZEL_PUBLIC_KEY_BYTES]);

// An xRGB8888 screen of 8x16 text cells, light strokes on a dark ground, as
// a terminal shows it; changed 32x32 blocks at a time.
class TextScreen {
  public:
    TextScreen(uint16_t width, uint16_t height);
    uint16_t width() const { return w_; }
    uint16_t height() const { return h_; }
    uint32_t stride() const { return w_ * 4u; }
    const std::vector<uint8_t>& pixels() const { return px_; }
    int columns() const { return (w_ + 31) / 32; }
    int rows() const { return (h_ + 31) / 32; }
    // New text in every block.
    void fill();
    // New text in block (bx, by), appended as a block entry to entries.
    void change(int bx, int by, std::vector<uint8_t>& entries);
    std::mt19937& random() { return rng_; }

  private:
    void text_block(int bx, int by);
    uint16_t w_, h_;
    std::vector<uint8_t> px_;
    std::mt19937 rng_{1};
};

} // namespace zelsynth
