// The 32 x 32 block change tracker: block layout, which boxes mark which
// blocks, the changed-block list, and the transfer to a new screen size.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "compressor.h"

namespace {

struct TrackerDeleter {
    void operator()(Tracker* t) const { tracker_destroy(t); }
};
using TrackerPtr = std::unique_ptr<Tracker, TrackerDeleter>;

TrackerPtr make(uint16_t w, uint16_t h)
{
    TrackerPtr t(tracker_create(w, h, 32, 32));
    EXPECT_NE(t, nullptr);
    return t;
}

using Cell = std::pair<int, int>; // (col, row)

std::set<Cell> marked(const Tracker* t)
{
    std::set<Cell> cells;
    for (uint16_t row = 0; row < t->nrows; ++row)
        for (uint16_t col = 0; col < t->ncols; ++col)
            if (tracker_changed_at(t, col, row)) cells.insert({col, row});
    return cells;
}

std::set<Cell> marks_of(uint16_t w, uint16_t h, Box box)
{
    TrackerPtr t = make(w, h);
    tracker_add_box(t.get(), box);
    return marked(t.get());
}

} // namespace

TEST(TrackerLayout, ScreenSizesGiveTheirBlockCounts)
{
    TrackerPtr hd = make(1920, 1080);
    EXPECT_EQ(hd->ncols, 60);
    EXPECT_EQ(hd->nrows, 34);
    EXPECT_EQ(hd->partial_width, 0);
    EXPECT_EQ(hd->partial_height, 24);
    EXPECT_EQ(tracker_number_of_blocks(hd.get()), 2040u);

    TrackerPtr wxga = make(1366, 768);
    EXPECT_EQ(wxga->ncols, 43);
    EXPECT_EQ(wxga->nrows, 24);
    EXPECT_EQ(wxga->partial_width, 22);
    EXPECT_EQ(wxga->partial_height, 0);
    EXPECT_EQ(tracker_number_of_blocks(wxga.get()), 1032u);

    TrackerPtr tiny = make(1, 1);
    EXPECT_EQ(tracker_number_of_blocks(tiny.get()), 1u);
    EXPECT_TRUE(marked(tiny.get()).empty());
}

TEST(TrackerMarks, BoxesMarkTheBlocksTheyOverlap)
{
    // Inclusive corners: a box ending on a block's first pixel marks it.
    EXPECT_EQ(marks_of(1920, 1080, Box{0, 0, 0, 0}), (std::set<Cell>{{0, 0}}));
    EXPECT_EQ(marks_of(1920, 1080, Box{31, 31, 32, 32}), (std::set<Cell>{{0, 0}, {1, 0}, {0, 1}, {1, 1}}));
    EXPECT_EQ(marks_of(1920, 1080, Box{32, 32, 63, 63}), (std::set<Cell>{{1, 1}}));
    EXPECT_EQ(marks_of(1920, 1080, Box{100, 40, 100, 40}), (std::set<Cell>{{3, 1}}));
    // The partial last row (24 px) and column (22 px).
    EXPECT_EQ(marks_of(1920, 1080, Box{1919, 1079, 1919, 1079}), (std::set<Cell>{{59, 33}}));
    EXPECT_EQ(marks_of(1366, 768, Box{1344, 0, 1365, 31}), (std::set<Cell>{{42, 0}}));
}

TEST(TrackerMarks, BoxesReachingOutsideMarkOnlyScreenBlocks)
{
    EXPECT_EQ(marks_of(100, 70, Box{-50, -50, 0, 0}), (std::set<Cell>{{0, 0}}));
    EXPECT_EQ(marks_of(100, 70, Box{99, 69, 500, 500}), (std::set<Cell>{{3, 2}}));
    EXPECT_EQ(marks_of(100, 70, Box{-1000, -1000, 1000, 1000}).size(), 4u * 3u);
    // Screens whose size is a multiple of the block size: nothing spills
    // into the next row of flags.
    EXPECT_EQ(marks_of(1920, 1080, Box{1900, 0, 1930, 0}), (std::set<Cell>{{59, 0}}));
    EXPECT_EQ(marks_of(1920, 1024, Box{0, 1000, 0, 1100}), (std::set<Cell>{{0, 31}}));
}

TEST(TrackerMarks, BoxesOutsideTheScreenMarkNothing)
{
    // Starting exactly at x = width or y = height is outside.
    EXPECT_TRUE(marks_of(1920, 1080, Box{1920, 0, 1930, 10}).empty());
    EXPECT_TRUE(marks_of(1920, 1080, Box{0, 1080, 10, 1090}).empty());
    EXPECT_TRUE(marks_of(1366, 768, Box{1366, 100, 1400, 200}).empty());
    EXPECT_TRUE(marks_of(1920, 1080, Box{-10, 0, -1, 10}).empty());
    EXPECT_TRUE(marks_of(1920, 1080, Box{0, -10, 10, -1}).empty());
    EXPECT_TRUE(marks_of(1920, 1080, Box{-32768, -32768, -1, -1}).empty());
    EXPECT_TRUE(marks_of(0, 0, Box{0, 0, 10, 10}).empty());
}

TEST(TrackerMarks, AnImageMarksItsArea)
{
    TrackerPtr t = make(1920, 1080);
    ZelImage image{};
    image.x = 40;
    image.y = -10;
    image.width = 30;
    image.height = 43; // rows -10 .. 32
    tracker_add_image(t.get(), &image);
    EXPECT_EQ(marked(t.get()), (std::set<Cell>{{1, 0}, {2, 0}, {1, 1}, {2, 1}}));
    tracker_reset(t.get());
    EXPECT_TRUE(marked(t.get()).empty());
}

TEST(TrackerList, ChangedBlocksComeRowByRowWithTheirAreas)
{
    TrackerPtr t = make(1366, 768 + 5); // partial last column (22) and row (5)
    tracker_add_box(t.get(), Box{1365, 772, 1365, 772});
    tracker_add_box(t.get(), Box{40, 40, 40, 40});
    tracker_add_box(t.get(), Box{0, 0, 0, 0});
    tracker_add_box(t.get(), Box{1360, 0, 1360, 0});
    std::vector<Box> list(tracker_number_of_blocks(t.get()), Box{1, 1, 1, 1});
    uint32_t n = 0;
    tracker_list_changed_blocks(t.get(), list.data(), &n);
    ASSERT_EQ(n, 4u);
    auto box_eq = [](Box a, Box b) { return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2; };
    EXPECT_TRUE(box_eq(list[0], Box{0, 0, 31, 31}));
    EXPECT_TRUE(box_eq(list[1], Box{1344, 0, 1365, 31}));
    EXPECT_TRUE(box_eq(list[2], Box{32, 32, 63, 63}));
    EXPECT_TRUE(box_eq(list[3], Box{1344, 768, 1365, 772}));
    EXPECT_TRUE(box_eq(list[4], Box{0, 0, 0, 0})) << "the rest of the list is zeroed";
}

TEST(TrackerTransfer, MarksInsideBothScreensSurviveAResize)
{
    TrackerPtr old_tracker = make(1920, 1080);
    for (Cell c : {Cell{10, 5}, Cell{39, 31}, Cell{40, 5}, Cell{10, 32}, Cell{59, 33}, Cell{0, 0}})
        tracker_add_box(old_tracker.get(),
                        Box{static_cast<int16_t>(c.first * 32), static_cast<int16_t>(c.second * 32),
                            static_cast<int16_t>(c.first * 32), static_cast<int16_t>(c.second * 32)});
    TrackerPtr new_tracker = make(1280, 1024);
    ASSERT_EQ(new_tracker->ncols, 40);
    ASSERT_EQ(new_tracker->nrows, 32);
    tracker_transfer(old_tracker.get(), new_tracker.get());
    EXPECT_EQ(marked(new_tracker.get()), (std::set<Cell>{{0, 0}, {10, 5}, {39, 31}}));

    // Growing keeps every mark at its (col, row) and adds none.
    TrackerPtr grown = make(1920, 1080);
    tracker_transfer(new_tracker.get(), grown.get());
    EXPECT_EQ(marked(grown.get()), (std::set<Cell>{{0, 0}, {10, 5}, {39, 31}}));
}

TEST(TrackerDeath, BrokenInvariantsStopTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(tracker_reset(nullptr), "tracker should not be NULL");
    EXPECT_DEATH(tracker_add_box(nullptr, Box{0, 0, 1, 1}), "tracker should not be NULL");
    TrackerPtr a(tracker_create(64, 64, 32, 32));
    TrackerPtr b(tracker_create(64, 64, 16, 32));
    TrackerPtr c(tracker_create(64, 64, 32, 16));
    EXPECT_DEATH(tracker_transfer(a.get(), b.get()), "block width should be the same");
    EXPECT_DEATH(tracker_transfer(a.get(), c.get()), "block height should be the same");
}
