// Helpers for the libzel tests: temporary folders, records built the way the
// recorder builds them (malloc'ed, freed with zel_record_free), recordings
// written and read back, and zeldump run as a program.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "zel.h"

namespace zeltest {

inline constexpr uint64_t t0 = 1'700'000'000'000'000ull;

struct RecordDeleter {
    void operator()(void* p) const { zel_record_free(p); }
};
using RecordPtr = std::unique_ptr<ZelRecord, RecordDeleter>;

// Owns the records of a recording in the making.
struct Records : std::vector<ZelRecord*> {
    Records() = default;
    Records(const Records&) = delete;
    ~Records()
    {
        for (ZelRecord* r : *this) zel_record_free(r);
    }
    template <typename T>
    T* add(ZelRecordType type, uint64_t timestamp)
    {
        auto* r = static_cast<T*>(std::calloc(1, sizeof(T)));
        r->type = static_cast<uint8_t>(type);
        r->timestamp = timestamp;
        push_back(reinterpret_cast<ZelRecord*>(r));
        return r;
    }
    void take(void* r) { push_back(static_cast<ZelRecord*>(r)); }
};

uint8_t* dup(const char* s);
uint8_t* dup_bytes(const std::vector<uint8_t>& v);

class TempDir {
  public:
    TempDir();
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// A header of w x h xRGB8888 pixels (pad 32) at time t.
ZelHeader* add_header(Records& rs, uint64_t t, uint16_t w, uint16_t h, PixelFormat f = xRGB8888);
// A compressed block record of one w x h rectangle at (x, y), pixels from seed.
void add_block(Records& rs, uint64_t t, int16_t x, int16_t y, uint16_t w, uint16_t h, int seed);
// A copy record of these rectangles.
void add_copy(Records& rs, uint64_t t, const std::vector<ZelCopyRect>& rects);
// One record of every type a caller writes, the end-of-data record last.
void sample_records(Records& rs);

// Writes the records to a new file, signed when a secret key is given;
// true on success.
bool write_recording(const std::string& path, const std::vector<ZelRecord*>& records,
                     const uint8_t* secret_key = nullptr, uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL);
// The same, returning the file's bytes.
std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key = nullptr);

struct ReadResult {
    std::vector<RecordPtr> records;
    std::vector<uint64_t> ends; // byte after each record's frame
    ZelReadStatus status = ZEL_READ_ERROR;
    uint64_t problem_offset = 0;
    std::string problem;
};
// Every record (keyframes and seals too when shown).
ReadResult read_memory(const std::vector<uint8_t>& bytes, bool show_all = false);
ZelVerification verify_memory(const std::vector<uint8_t>& bytes, const uint8_t* public_key = nullptr);

// Field-by-field equality of two records of one type (pointers by content).
::testing::AssertionResult same_record(const ZelRecord* a, const ZelRecord* b);

// The key pair made from the seed 00 01 .. 1F.
void test_key(uint8_t secret_key[64], uint8_t public_key[32]);

// zeldump with these arguments: its exit status and what it printed.
struct Outcome {
    int status = -1;
    std::string out, err;
};
Outcome run(const std::vector<std::string>& argv);
Outcome zeldump(const std::vector<std::string>& args);

} // namespace zeltest
