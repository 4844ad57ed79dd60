// Regression inputs kept in corpus/ (made by make-corpus.py): damaged
// recordings of every format version, each with the reader status and the
// verdict (which replays every record) that expected.txt gives for it.
#include <algorithm>
#include <fstream>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

TEST(Corpus, EveryKeptFileGivesItsExpectedStatusAndVerdict)
{
    std::ifstream list(ZEL_CORPUS_DIR "/expected.txt");
    std::string name, status, verdict;
    size_t n = 0;
    for (std::getline(list, name); list >> name >> status >> verdict; ++n) {
        const std::vector<uint8_t> bytes = read_file(ZEL_CORPUS_DIR "/" + name);
        ReadResult r = read_memory(bytes, true);
        EXPECT_EQ(zel_read_status_to_string(r.status), status) << name << ": " << r.problem;
        std::replace(verdict.begin(), verdict.end(), '-', ' ');
        EXPECT_EQ(zel_verdict_to_string(verify_memory(bytes).verdict), verdict) << name;
    }
    EXPECT_GE(n, 60u);
    // One byte flipped in the middle: every other record is still read.
    const size_t all = read_memory(read_file(ZEL_CORPUS_DIR "/v3-complete-sample.zel"), true).records.size();
    ReadResult flipped = read_memory(read_file(ZEL_CORPUS_DIR "/v3-corrupt-flipped-byte.zel"), true, true);
    EXPECT_TRUE(flipped.records.size() == all - 1 && flipped.last_status == ZEL_READ_END)
        << flipped.records.size();
}

} // namespace
