// Regression inputs kept in corpus/ (made by make-corpus.py): damaged
// recordings of both format versions, each with the reader status and the
// verdict that expected.txt gives for it, read and replayed without a crash.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

TEST(Corpus, EveryKeptFileGivesItsExpectedStatusAndVerdict)
{
    std::ifstream list(ZEL_CORPUS_DIR "/expected.txt");
    std::string line;
    size_t n = 0;
    while (std::getline(list, line)) {
        std::istringstream words(line);
        std::string name, status, verdict;
        if (!(words >> name >> status >> verdict) || name[0] == '#') continue;
        ++n;
        std::replace(verdict.begin(), verdict.end(), '-', ' ');
        const std::vector<uint8_t> bytes = read_file(ZEL_CORPUS_DIR "/" + name);
        ASSERT_FALSE(bytes.empty()) << name;
        ReadResult r = read_memory(bytes, true);
        EXPECT_EQ(zel_read_status_to_string(r.status), status) << name << ": " << r.problem;
        ZelVerification v = verify_memory(bytes);
        EXPECT_EQ(zel_verdict_to_string(v.verdict), verdict) << name << ": " << v.reason;
        ZelReplay* replay = zel_replay_new();
        for (auto& rec : r.records) (void)zel_replay_apply(replay, rec.get());
        std::vector<uint8_t> rgba(static_cast<size_t>(zel_replay_width(replay)) * zel_replay_height(replay) *
                                  4);
        EXPECT_TRUE(!zel_replay_has_screen(replay) || zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1) == 0);
        zel_replay_free(replay);
    }
    EXPECT_GE(n, 30u);
}

} // namespace
