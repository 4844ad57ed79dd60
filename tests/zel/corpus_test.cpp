// Regression inputs kept in corpus/ (made by make-corpus.py): damaged
// recordings of both format versions, each with the reader status and the
// verdict that expected.txt gives for it, read and replayed without a crash.
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
        ZelReplay* replay = zel_replay_new();
        for (auto& rec : r.records) (void)zel_replay_apply(replay, rec.get());
        std::vector<uint8_t> rgba(size_t{zel_replay_width(replay)} * zel_replay_height(replay) * 4);
        EXPECT_TRUE(!zel_replay_has_screen(replay) ||
                    zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1) == 0);
        zel_replay_free(replay);
    }
    EXPECT_GE(n, 40u);
}

} // namespace
