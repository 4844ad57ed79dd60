// Helpers for the libzel tests: records built as the recorder builds them,
// recordings written and read back, and run(): the one place that starts processes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "zel.h"

namespace zeltest {

inline constexpr uint64_t t0 = 1'700'000'000'000'000ull;

// The records of a recording in the making, owned.
struct Records : std::vector<ZelRecord*> {
    Records() = default;
    Records(const Records&) = delete;
    ~Records()
    {
        for (ZelRecord* r : *this) zel_record_free(r);
    }
    template <typename T>
    T* add(T fields) // a malloc'ed copy, as the recorder makes them
    {
        push_back(static_cast<ZelRecord*>(std::memcpy(std::malloc(sizeof(T)), &fields, sizeof(T))));
        return reinterpret_cast<T*>(back());
    }
    void take(void* r) { push_back(static_cast<ZelRecord*>(r)); }
    void header(uint64_t t, uint16_t w, uint16_t h, PixelFormat f = xRGB8888, uint8_t pad = 32)
    {
        add(ZelHeader{ZEL_HEADER, 1, t, 24, w, h, f, pad, 0, nullptr, 8, 255, nullptr, nullptr});
    }
    void block(uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed); // compressed
    void copy(uint64_t t, const std::vector<ZelCopyRect>& rects);
    void move(uint64_t t, int16_t x, int16_t y) { add(ZelCursorPosition{ZEL_CURSOR_POSITION, t, x, y}); }
    void done(uint64_t t, uint8_t reason = ZEL_END_UNSPECIFIED, int32_t signal = 0, int32_t pid = 0,
              uint32_t uid = 0)
    {
        add(ZelDone{{ZEL_DONE, t}, reason, signal, pid, uid});
    }
};

// A malloc'ed copy of n bytes (of a string with its NUL when n is 0).
uint8_t* dup(const void* p, size_t n = 0);
// A bytes field holding a malloc'ed copy of s (NUL bytes included).
ZelBytes field(const std::string& s);

// A folder of the harness's (removed at exit) and its files' paths.
struct TempDir {
    std::string path = xtest::temp_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// The bytes of a hex example in docs/zel-format.md, found by its heading.
std::vector<uint8_t> documented_example(const std::string& heading);
// One record of every type a caller writes, the end-of-data record last.
void sample_records(Records& rs);

// The file written from these records, signed when a secret key is given.
std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key = nullptr,
                               uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL);

struct ReadResult {
    std::vector<std::unique_ptr<ZelRecord, decltype(&zel_record_free)>> records;
    std::vector<uint64_t> ends; // the byte after each record's frame
    ZelReadStatus status = ZEL_READ_ERROR; // the first status that is not a record
    uint64_t problem_offset = 0;
    std::string problem;
    ZelReadStatus last_status = ZEL_READ_ERROR; // where reading on past damage ended
};
// Every record, the writer's keyframes and seals too when show_all; with
// resync reading on past every damaged frame.
ReadResult read_memory(const std::vector<uint8_t>& bytes, bool show_all = false, bool resync = false);
ZelVerification verify_memory(const std::vector<uint8_t>& bytes, const uint8_t* public_key = nullptr);

using Outcome = xtest::RunResult;
Outcome zeldump(std::vector<std::string> args);

} // namespace zeltest
