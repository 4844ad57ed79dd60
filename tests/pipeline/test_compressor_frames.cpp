// The compressor's ticket handling without its thread: which record a frame
// tick emits (changed blocks or the whole screen), that the records decode
// back to exactly the framebuffer, and screen changes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "compressor.h"
#include "pipeline_support.h"
#include "zel.h"

using namespace pipeline;

namespace {

std::vector<ZelRecord*> emitted;

bool collect(void* p)
{
    emitted.push_back(*static_cast<ZelRecord**>(p));
    return true;
}

bool refuse(void*)
{
    return false;
}

struct RecordFree {
    void operator()(void* r) const { zel_record_free(r); }
};
template <typename T>
using Owned = std::unique_ptr<T, RecordFree>;

struct ReplayFree {
    void operator()(ZelReplay* r) const { zel_replay_free(r); }
};

CompressorTicket clear_ticket(Rectangle r)
{
    return CompressorTicket{TICKET_CLEAR, r, nullptr};
}

CompressorTicket image_ticket(const TestImage& image)
{
    const ZelImage& v = image.view;
    return CompressorTicket{TICKET_IMAGE, Rectangle{v.x, v.y, v.width, v.height}, make_reply(image)};
}

void handle(CompressorTicket t)
{
    compressor_handle_ticket(&t);
}

void frame_tick()
{
    handle(CompressorTicket{TICKET_FRAME, Rectangle{0, 0, 0, 0}, nullptr});
}

// Marks the first k blocks (row-major) through one-pixel clears.
void mark_blocks(const Tracker* t, uint32_t k)
{
    for (uint32_t i = 0; i < k; ++i) {
        const auto col = static_cast<int16_t>(i % t->ncols * 32);
        const auto row = static_cast<int16_t>(i / t->ncols * 32);
        handle(clear_ticket(Rectangle{col, row, 1, 1}));
    }
}

uint32_t changed_count(const Tracker* t)
{
    uint32_t n = 0;
    for (uint16_t row = 0; row < t->nrows; ++row)
        for (uint16_t col = 0; col < t->ncols; ++col) n += tracker_changed_at(t, col, row) ? 1 : 0;
    return n;
}

class FrameEmission : public ::testing::Test {
  protected:
    void start(const Geometry& geometry, uint16_t w, uint16_t h)
    {
        g = geometry;
        g.apply();
        compressor_sink_set(collect);
        compressor_screen_setup(w, h);
        replay.reset(zel_replay_new());
        ASSERT_NE(replay, nullptr);
        ZelHeader header{};
        header.type = ZEL_HEADER;
        header.version = 1;
        header.depth = static_cast<uint8_t>(g.bits_per_pixel == 32 ? 24 : g.bits_per_pixel);
        header.width = w;
        header.height = h;
        header.pixel_format = g.format;
        header.scanline_pad = g.scanline_pad;
        std::vector<RgbValue> palette(256);
        if (g.format == PALETTE8) {
            header.palette_size = 256;
            header.palette = palette.data();
        }
        ASSERT_EQ(zel_replay_apply(replay.get(), &header), 0);
    }

    void TearDown() override
    {
        compressor_teardown();
        compressor_sink_set(nullptr);
        for (ZelRecord* r : emitted) zel_record_free(r);
        emitted.clear();
    }

    // The one record the last tick emitted, taken out of the list.
    Owned<ZelRecord> take_one()
    {
        EXPECT_EQ(emitted.size(), 1u);
        if (emitted.size() != 1) return nullptr;
        Owned<ZelRecord> r(emitted.front());
        emitted.clear();
        return r;
    }

    // Replays the record over what was replayed before; the replayed screen
    // must then be the compressor's frame, byte for byte (padding aside).
    ::testing::AssertionResult replays_to_frame(const ZelRecord* record)
    {
        if (zel_replay_apply(replay.get(), record) != 0)
            return ::testing::AssertionFailure() << "replay refused the record: " << std::strerror(errno);
        const ZelImage* frame = compressor_frame();
        uint32_t stride = 0;
        const uint8_t* canvas = zel_replay_canvas(replay.get(), &stride);
        if (canvas == nullptr || stride != g.stride(frame->width))
            return ::testing::AssertionFailure() << "no canvas, or stride " << stride;
        const size_t row = static_cast<size_t>(frame->width) * g.bytes();
        for (int y = 0; y < frame->height; ++y)
            if (std::memcmp(canvas + static_cast<size_t>(y) * stride,
                            frame->data + static_cast<size_t>(y) * stride, row) != 0)
                return ::testing::AssertionFailure() << "row " << y << " differs";
        return ::testing::AssertionSuccess();
    }

    Geometry g{};
    std::unique_ptr<ZelReplay, ReplayFree> replay;
};

struct Threshold {
    uint16_t width;
    uint16_t height;
    uint32_t blocks;
    uint32_t last_blocks_record; // most changed blocks still sent as blocks
};

} // namespace

TEST_F(FrameEmission, EightyPercentOfTheBlocksSwitchToTheWholeScreen)
{
    for (Threshold th : {Threshold{1920, 1080, 2040, 1631}, Threshold{1366, 768, 1032, 825}}) {
        SCOPED_TRACE(testing::Message() << th.width << "x" << th.height);
        start(kDepth24, th.width, th.height);
        ASSERT_EQ(tracker_number_of_blocks(compressor_tracker()), th.blocks);

        mark_blocks(compressor_tracker(), th.last_blocks_record);
        frame_tick();
        Owned<ZelRecord> blocks = take_one();
        ASSERT_NE(blocks, nullptr);
        EXPECT_EQ(blocks->type, ZEL_COMPRESSED_IMAGE_BLOCKS);
        EXPECT_NE(blocks->timestamp, 0u);
        EXPECT_EQ(changed_count(compressor_tracker()), 0u) << "marks are reset after the tick";

        mark_blocks(compressor_tracker(), th.last_blocks_record + 1);
        frame_tick();
        Owned<ZelRecord> full = take_one();
        ASSERT_NE(full, nullptr);
        EXPECT_EQ(full->type, ZEL_COMPRESSED_IMAGE);
        const auto* image = reinterpret_cast<const ZelCompressedImage*>(full.get());
        EXPECT_EQ(image->width, th.width);
        EXPECT_EQ(image->height, th.height);
        EXPECT_EQ(image->x, 0);
        EXPECT_EQ(image->y, 0);
        EXPECT_EQ(changed_count(compressor_tracker()), 0u);
        TearDown();
    }
}

TEST_F(FrameEmission, ATickWithoutMarksSendsNothing)
{
    start(kDepth24, 640, 480);
    frame_tick();
    EXPECT_TRUE(emitted.empty());
    handle(clear_ticket(Rectangle{10, 10, 5, 5}));
    frame_tick();
    EXPECT_EQ(emitted.size(), 1u);
    frame_tick();
    EXPECT_EQ(emitted.size(), 1u) << "the second tick had nothing new";
}

TEST_F(FrameEmission, AClearMarksItsBlocksWithoutAnyImage)
{
    start(kDepth24, 640, 480);
    TestImage picture(g, 0, 0, 640, 480, 11);
    handle(image_ticket(picture));
    frame_tick();
    ASSERT_EQ(emitted.size(), 1u);
    ASSERT_TRUE(replays_to_frame(take_one().get()));

    handle(clear_ticket(Rectangle{100, 100, 1, 40})); // blocks (3, 3) and (3, 4)
    frame_tick();
    Owned<ZelRecord> record = take_one();
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->type, ZEL_COMPRESSED_IMAGE_BLOCKS);
    Owned<ZelImageBlocks> blocks(
        zel_image_blocks_decompress(reinterpret_cast<const ZelCompressedImageBlocks*>(record.get())));
    ASSERT_NE(blocks, nullptr);
    const uint32_t entry = 8 + 32 * g.stride(32);
    ASSERT_EQ(blocks->length, 2 * entry);
    Rectangle first{};
    Rectangle second{};
    std::memcpy(&first, blocks->data, 8);
    std::memcpy(&second, blocks->data + entry, 8);
    EXPECT_EQ(first.x, 96);
    EXPECT_EQ(first.y, 96);
    EXPECT_EQ(second.x, 96);
    EXPECT_EQ(second.y, 128);
    EXPECT_TRUE(replays_to_frame(record.get()));
    EXPECT_EQ(compressor_frame()->data[100 * g.stride(640) + 100 * 4], 0) << "the cleared pixel is zero";
}

TEST_F(FrameEmission, AnImageWhollyOffTheScreenChangesNothing)
{
    start(kDepth24, 640, 480);
    const std::vector<uint8_t> before(compressor_frame()->data,
                                      compressor_frame()->data + compressor_frame()->length);
    for (Rectangle r : {Rectangle{-50, -50, 40, 40}, Rectangle{640, 0, 20, 20}, Rectangle{0, 480, 20, 20},
                        Rectangle{-20, 100, 20, 20}}) {
        TestImage image(g, r.x, r.y, r.width, r.height, 4);
        handle(image_ticket(image)); // the reply is freed all the same (the leak checker sees it)
    }
    EXPECT_EQ(
        std::vector<uint8_t>(compressor_frame()->data, compressor_frame()->data + compressor_frame()->length),
        before);
    EXPECT_EQ(changed_count(compressor_tracker()), 0u);
    frame_tick();
    EXPECT_TRUE(emitted.empty());
}

TEST_F(FrameEmission, AReplyShorterThanItsAreaIsLeftOut)
{
    start(kDepth24, 640, 480);
    TestImage image(g, 0, 0, 64, 64, 4);
    CompressorTicket t = image_ticket(image);
    t.rect.height = 65; // one row more than the reply carries
    handle(t);
    EXPECT_EQ(changed_count(compressor_tracker()), 0u);
    EXPECT_EQ(compressor_frame()->data[0], 0);
}

TEST_F(FrameEmission, UnknownTicketsAreSkippedAndTheirRepliesFreed)
{
    start(kDepth24, 64, 64);
    TestImage image(g, 0, 0, 8, 8, 4);
    CompressorTicket t = image_ticket(image);
    t.type = static_cast<CompressorTicketType>(7);
    testing::internal::CaptureStderr();
    handle(t);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("compressor_loop: unknown ticket type '7'"),
              std::string::npos);
    EXPECT_EQ(changed_count(compressor_tracker()), 0u);
}

TEST_F(FrameEmission, ARefusedRecordIsReleasedAndTheMarksResetAllTheSame)
{
    start(kDepth24, 640, 480);
    compressor_sink_set(refuse);
    handle(clear_ticket(Rectangle{0, 0, 10, 10}));
    frame_tick();
    EXPECT_EQ(changed_count(compressor_tracker()), 0u);
    mark_blocks(compressor_tracker(), tracker_number_of_blocks(compressor_tracker()));
    frame_tick();
    EXPECT_EQ(changed_count(compressor_tracker()), 0u);
}

class FrameRecords : public FrameEmission, public ::testing::WithParamInterface<Geometry> {};

// A session of frames on a screen with a partial last column and row:
// windows painted over each other, over every edge, cleared areas; each
// tick's record replayed must give back the frame exactly.
TEST_P(FrameRecords, EveryRecordReplaysToTheFramebuffer)
{
    start(GetParam(), 1366, 770);
    Model model(g, 1366, 770);

    struct Step {
        std::vector<Rectangle> clears;
        std::vector<Rectangle> images;
        ZelRecordType expected;
    };
    const std::vector<Step> steps = {
        {{}, {{0, 0, 1366, 770}}, ZEL_COMPRESSED_IMAGE},
        {{{100, 100, 300, 200}}, {{120, 110, 250, 150}}, ZEL_COMPRESSED_IMAGE_BLOCKS},
        {{}, {{-10, 5, 37, 3}}, ZEL_COMPRESSED_IMAGE_BLOCKS},
        {{{1340, 750, 40, 40}}, {{1350, 760, 50, 50}, {1300, -5, 100, 20}}, ZEL_COMPRESSED_IMAGE_BLOCKS},
        {{{0, 0, 1366, 10}}, {}, ZEL_COMPRESSED_IMAGE_BLOCKS},
        {{{-5, -5, 2000, 2000}}, {{0, 0, 1300, 700}}, ZEL_COMPRESSED_IMAGE},
        {{{700, 300, 1, 1}}, {}, ZEL_COMPRESSED_IMAGE_BLOCKS},
    };
    uint32_t seed = 1;
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "step " << i);
        for (Rectangle r : steps[i].clears) {
            handle(clear_ticket(r));
            model.clear(r);
        }
        for (Rectangle r : steps[i].images) {
            TestImage image(g, r.x, r.y, r.width, r.height, seed++);
            handle(image_ticket(image));
            model.merge(image);
        }
        ASSERT_TRUE(frame_equals(g, compressor_frame(), model));
        frame_tick();
        Owned<ZelRecord> record = take_one();
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->type, steps[i].expected);
        ASSERT_TRUE(replays_to_frame(record.get()));
    }
}

// The block entries themselves: in row-major order, each a block's area
// followed by its rows at the padded stride of its width.
TEST_P(FrameRecords, BlockEntriesHoldTheChangedBlocksInOrder)
{
    start(GetParam(), 1366, 770);
    TestImage picture(g, 0, 0, 1366, 770, 21);
    handle(image_ticket(picture));
    frame_tick();
    // A tick of other blocks first, so that the payload buffer holds pixels
    // where the padding of the next tick's rows lies.
    handle(image_ticket(TestImage(g, 32, 0, 1280, 96, 22)));
    frame_tick();
    for (ZelRecord* r : emitted) zel_record_free(r);
    emitted.clear();
    const std::vector<std::pair<int, int>> cells = {{0, 0}, {42, 0}, {5, 3}, {0, 24}, {42, 24}};
    for (auto [col, row] : cells)
        handle(clear_ticket(
            Rectangle{static_cast<int16_t>(col * 32 + 1), static_cast<int16_t>(row * 32 + 1), 1, 1}));
    frame_tick();
    Owned<ZelRecord> record = take_one();
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->type, ZEL_COMPRESSED_IMAGE_BLOCKS);
    Owned<ZelImageBlocks> blocks(
        zel_image_blocks_decompress(reinterpret_cast<const ZelCompressedImageBlocks*>(record.get())));
    ASSERT_NE(blocks, nullptr);

    const ZelImage* frame = compressor_frame();
    const uint32_t frame_stride = g.stride(frame->width);
    const uint8_t* p = blocks->data;
    const uint8_t* end = blocks->data + blocks->length;
    for (auto [col, row] : cells) {
        ASSERT_LE(p + 8, end);
        Rectangle r{};
        std::memcpy(&r, p, 8);
        p += 8;
        EXPECT_EQ(r.x, col * 32);
        EXPECT_EQ(r.y, row * 32);
        EXPECT_EQ(r.width, col == 42 ? 22 : 32);
        EXPECT_EQ(r.height, row == 24 ? 2 : 32);
        const uint32_t stride = g.stride(r.width);
        for (int y = 0; y < r.height; ++y) {
            ASSERT_LE(p + stride, end);
            ASSERT_EQ(
                std::memcmp(p, frame->data + (r.y + y) * frame_stride + r.x * g.bytes(), r.width * g.bytes()),
                0)
                << "row " << y << " of block (" << col << ", " << row << ")";
            for (uint32_t b = r.width * g.bytes(); b < stride; ++b)
                ASSERT_EQ(p[b], 0) << "pad byte " << b << " of row " << y << " of block (" << col << ", "
                                   << row << ")";
            p += stride;
        }
    }
    EXPECT_EQ(p, end);
}

INSTANTIATE_TEST_SUITE_P(PixelSizes, FrameRecords, ::testing::ValuesIn(kGeometries), geometry_name);

// The payload buffer holds every block of the screen, whatever its layout;
// on narrow screens at depth 8 the padded rows alone outgrow twice the
// screen's pixel bytes.
TEST(BlockPayload, TheBufferBoundIsTheSizeOfAllBlocks)
{
    struct Case {
        Geometry g;
        uint16_t w;
        uint16_t h;
    };
    for (Case c : {Case{kDepth8, 1, 65}, Case{kDepth8, 1366, 768}, Case{kDepth8, 33, 33},
                   Case{kDepth16, 1365, 767}, Case{kDepth24, 1920, 1080}, Case{kDepth24, 1, 1}}) {
        SCOPED_TRACE(testing::Message() << c.g.name << " " << c.w << "x" << c.h);
        c.g.apply();
        compressor_screen_setup(c.w, c.h);
        const Tracker* t = compressor_tracker();
        std::vector<Box> all(tracker_number_of_blocks(t));
        Tracker* marks = tracker_create(c.w, c.h, 32, 32);
        tracker_add_box(marks, Box{0, 0, static_cast<int16_t>(c.w - 1), static_cast<int16_t>(c.h - 1)});
        uint32_t n = 0;
        tracker_list_changed_blocks(marks, all.data(), &n);
        ASSERT_EQ(n, all.size());
        std::vector<uint8_t> data(image_blocks_max_length(t) + 64, kPadByte);
        const uint32_t length = image_blocks_data_fill(compressor_frame(), all.data(), n, data.data());
        EXPECT_EQ(length, image_blocks_max_length(t));
        tracker_destroy(marks);
        compressor_teardown();
    }
}

TEST_F(FrameEmission, ANarrowDepth8ScreenSendsBlocksLargerThanTwiceItsPixels)
{
    start(kDepth8, 1, 65); // blocks of 1x32, 1x32 and 1x1 pixels, rows padded to 4 bytes
    handle(clear_ticket(Rectangle{0, 0, 1, 64}));
    frame_tick();
    Owned<ZelRecord> record = take_one();
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->type, ZEL_COMPRESSED_IMAGE_BLOCKS);
    const auto* compressed = reinterpret_cast<const ZelCompressedImageBlocks*>(record.get());
    EXPECT_EQ(compressed->length, 2u * (8 + 32 * 4));
    EXPECT_GT(compressed->length, 1u * 65 * 1 * 2);
    EXPECT_TRUE(replays_to_frame(record.get()));
}

TEST_F(FrameEmission, AScreenChangeKeepsTheTopLeftAndTheMarksThatStillFit)
{
    start(kDepth24, 1920, 1080);
    TestImage picture(g, 0, 0, 1920, 1080, 31);
    handle(image_ticket(picture));
    frame_tick();
    for (ZelRecord* r : emitted) zel_record_free(r);
    emitted.clear();

    handle(clear_ticket(Rectangle{10 * 32, 5 * 32, 1, 1}));
    handle(clear_ticket(Rectangle{50 * 32, 33 * 32, 1, 1}));
    handle(CompressorTicket{TICKET_SCREEN_CHANGE, Rectangle{0, 0, 1280, 1024}, nullptr});

    const ZelImage* frame = compressor_frame();
    ASSERT_EQ(frame->width, 1280);
    ASSERT_EQ(frame->height, 1024);
    EXPECT_EQ(frame->bytes_per_line, g.stride(1280));
    Model model(g, 1280, 1024);
    model.merge(picture);
    model.clear(Rectangle{10 * 32, 5 * 32, 1, 1});
    EXPECT_TRUE(frame_equals(g, frame, model));
    const Tracker* t = compressor_tracker();
    EXPECT_EQ(t->ncols, 40);
    EXPECT_EQ(t->nrows, 32);
    EXPECT_EQ(changed_count(t), 1u);
    EXPECT_TRUE(tracker_changed_at(t, 10, 5));

    // Growing again: the new area is zero, and a tick over nearly all blocks
    // still fits the payload buffer of the new size.
    handle(CompressorTicket{TICKET_SCREEN_CHANGE, Rectangle{0, 0, 1920, 1200}, nullptr});
    Model grown(g, 1920, 1200);
    for (int y = 0; y < 1024; ++y) std::memcpy(grown.at(0, y), model.at(0, y), 1280 * 4);
    EXPECT_TRUE(frame_equals(g, compressor_frame(), grown));
    mark_blocks(compressor_tracker(), tracker_number_of_blocks(compressor_tracker()) * 79 / 100);
    frame_tick();
    Owned<ZelRecord> record = take_one();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->type, ZEL_COMPRESSED_IMAGE_BLOCKS);
}
