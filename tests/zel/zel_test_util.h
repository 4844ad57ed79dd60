// Helpers for the libzel tests: temporary directories, records built the
// way the recorder builds them (malloc'ed, freed with zel_record_free), and
// whole recordings in memory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zel.h"

namespace zeltest {

struct RecordDeleter {
    void operator()(void* p) const { zel_record_free(p); }
};
using RecordPtr = std::unique_ptr<ZelRecord, RecordDeleter>;

template <typename T>
T* make(ZelRecordType type, uint64_t timestamp)
{
    auto* r = static_cast<T*>(std::calloc(1, sizeof(T)));
    reinterpret_cast<ZelRecord*>(r)->type = static_cast<uint8_t>(type);
    reinterpret_cast<ZelRecord*>(r)->timestamp = timestamp;
    return r;
}

inline uint8_t* dup(const char* s)
{
    if (s == nullptr) return nullptr;
    auto* p = static_cast<uint8_t*>(std::malloc(std::strlen(s) + 1));
    std::memcpy(p, s, std::strlen(s) + 1);
    return p;
}

inline uint8_t* dup_bytes(const std::vector<uint8_t>& v)
{
    auto* p = static_cast<uint8_t*>(std::malloc(v.empty() ? 1 : v.size()));
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    return p;
}

class TempDir {
  public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
        char* made = ::mkdtemp(tmpl.data());
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    return out;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Writes the records (not taking them) to a new file; true on success.
inline bool write_recording(const std::string& path, const std::vector<ZelRecord*>& records,
                            uint64_t keyframe_interval = ZEL_KEYFRAME_INTERVAL)
{
    ZelWriter* w = zel_writer_open(path.c_str());
    if (w == nullptr) return false;
    zel_writer_set_keyframe_interval(w, keyframe_interval);
    bool ok = true;
    for (ZelRecord* r : records) ok = ok && zel_record_write(w, r) == 0;
    return zel_writer_close(w) == 0 && ok;
}

struct ReadResult {
    std::vector<RecordPtr> records;
    std::vector<uint64_t> offsets;
    std::vector<uint64_t> ends;
    ZelReadStatus status = ZEL_READ_ERROR;
    uint64_t problem_offset = 0;
    std::string problem;
};

inline ReadResult read_all(ZelReader* reader)
{
    ReadResult out;
    for (;;) {
        ZelRecord* r = nullptr;
        ZelReadStatus s = zel_reader_next(reader, &r);
        if (s != ZEL_READ_RECORD) {
            out.status = s;
            out.problem_offset = zel_reader_problem_offset(reader);
            out.problem = zel_reader_problem(reader);
            break;
        }
        out.records.emplace_back(r);
        out.offsets.push_back(zel_reader_record_offset(reader));
        out.ends.push_back(zel_reader_record_offset(reader) + zel_reader_record_size(reader));
    }
    return out;
}

inline ReadResult read_memory(const std::vector<uint8_t>& bytes, size_t size)
{
    ZelReader* reader = zel_reader_open_memory(bytes.data(), size);
    ReadResult out = read_all(reader);
    zel_reader_close(reader);
    return out;
}

inline ReadResult read_path(const std::string& path)
{
    ZelReader* reader = zel_reader_open(path.c_str());
    if (reader == nullptr) return {};
    ReadResult out = read_all(reader);
    zel_reader_close(reader);
    return out;
}

// Field-by-field equality of two records of any type (pointers by content).
::testing::AssertionResult records_equal(const ZelRecord* a, const ZelRecord* b);

// One record of every type that is written to files, the end-of-data last.
std::vector<ZelRecord*> sample_records();
void free_records(std::vector<ZelRecord*>& records);

} // namespace zeltest
