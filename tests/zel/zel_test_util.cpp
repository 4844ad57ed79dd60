#include "zel_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace zeltest {

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

// The hex examples of docs/zel-format.md, found by their headings.
std::vector<uint8_t> documented_example(const std::string& heading)
{
    std::ifstream doc(ZEL_FORMAT_DOC);
    std::string line, word;
    while (std::getline(doc, line) && line != heading) {}
    while (std::getline(doc, line) && line.rfind("```", 0) != 0) {}
    std::vector<uint8_t> out;
    while (std::getline(doc, line) && line.rfind("```", 0) != 0)
        for (std::istringstream words(line);
             words >> word && word.size() == 2 && std::isxdigit(word[0]) && std::isxdigit(word[1]);)
            out.push_back(static_cast<uint8_t>(std::stoi(word, nullptr, 16)));
    return out;
}

std::vector<uint8_t> recording(const std::vector<ZelRecord*>& records, const uint8_t* secret_key,
                               uint64_t keyframe_interval)
{
    TempDir dir;
    EXPECT_TRUE(zelsynth::write_recording(dir.file("r.zel"), records, secret_key, keyframe_interval))
        << std::strerror(errno);
    return read_file(dir.file("r.zel"));
}

ReadResult read_memory(const std::vector<uint8_t>& bytes, bool show_all, bool resync)
{
    ReadResult out;
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    zel_reader_show_keyframes(reader, show_all);
    zel_reader_show_seals(reader, show_all);
    ZelRecord* r = nullptr;
    for (bool first = true;; first = false) {
        while ((out.last_status = zel_reader_next(reader, &r)) == ZEL_READ_RECORD) {
            out.records.emplace_back(r, zel_record_free);
            out.ends.push_back(zel_reader_record_offset(reader) + zel_reader_record_size(reader));
        }
        if (first) {
            out.status = out.last_status;
            out.problem_offset = zel_reader_problem_offset(reader);
            out.problem = zel_reader_problem(reader);
        }
        if (!resync || out.last_status != ZEL_READ_CORRUPT || zel_reader_resync(reader) != 0) break;
    }
    zel_reader_close(reader);
    return out;
}

ZelVerification verify_memory(const std::vector<uint8_t>& bytes, const uint8_t* public_key)
{
    ZelVerification v{};
    ZelReader* reader = zel_reader_open_memory(bytes.data(), bytes.size());
    zel_verify(reader, public_key, &v);
    zel_reader_close(reader);
    return v;
}

Outcome zeldump(std::vector<std::string> args)
{
    args.insert(args.begin(), ZELDUMP_PATH);
    return xtest::run(args);
}

} // namespace zeltest
