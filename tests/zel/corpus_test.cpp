// Regression inputs for the reader: damaged recordings kept in corpus/,
// named by what a reader must say about them (complete-, truncated-,
// corrupt-).  Each must be read and replayed without a crash.
#include <filesystem>

#include "zel_test_util.h"

using namespace zeltest;

namespace {

TEST(Corpus, EveryKeptFileReadsWithItsExpectedStatus)
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ZEL_CORPUS_DIR)) {
        const std::string name = entry.path().filename().string();
        ZelReadStatus expected;
        if (name.rfind("complete-", 0) == 0)
            expected = ZEL_READ_END;
        else if (name.rfind("truncated-", 0) == 0)
            expected = ZEL_READ_TRUNCATED;
        else if (name.rfind("corrupt-", 0) == 0)
            expected = ZEL_READ_CORRUPT;
        else
            continue;
        ++n;
        ReadResult r = read_path(entry.path().string());
        EXPECT_EQ(r.status, expected) << name << ": " << r.problem;
        ZelReplay* replay = zel_replay_new();
        for (auto& rec : r.records) (void)zel_replay_apply(replay, rec.get());
        if (zel_replay_has_screen(replay)) {
            std::vector<uint8_t> rgba(static_cast<size_t>(zel_replay_width(replay)) *
                                      zel_replay_height(replay) * 4);
            EXPECT_EQ(zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1), 0) << name;
        }
        zel_replay_free(replay);
    }
    EXPECT_GE(n, 5u);
}

} // namespace
