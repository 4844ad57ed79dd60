// Helpers for the libzel tests: recordings (made by zel_synthetic) written and
// read back, and zeldump run as a program.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "zel.h"
#include "zel_synthetic.h"

namespace zeltest {

using zelsynth::dup;
using zelsynth::field;
using zelsynth::Records;
using zelsynth::t0;

// A folder of the harness's (removed at exit) and its files' paths.
struct TempDir {
    std::string path = xtest::temp_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// The bytes of a hex example in docs/zel-format.md, found by its heading.
std::vector<uint8_t> documented_example(const std::string& heading);

// The file written from these records, signed when a secret key is given.
std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key = nullptr,
                               uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL);

struct ReadResult {
    std::vector<std::unique_ptr<ZelRecord, decltype(&zel_record_free)>> records;
    std::vector<uint64_t> ends;            // the byte after each record's frame
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
