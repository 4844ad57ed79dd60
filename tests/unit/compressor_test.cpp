// The compressor on its own: whatever the ticks hold (scrolled content with
// repeating lines, windows moved, clears repainted with the same pixels,
// content at block and screen edges), a reader applying the records gets
// exactly the compressor's frame, and what did not change is not sent.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "compressor.h"
#include "zel.h"

namespace {

constexpr uint16_t W = 203, H = 150; // no multiple of the blocks

std::vector<ZelRecord*> written;

bool collect(RecordPtr record)
{
    written.push_back(record.release());
    return true;
}

// Pixel (x, y) of a text-like content: rows repeat every `period` rows.
uint32_t text_pixel(int x, int y, int scroll, int period)
{
    const int row = (y + scroll) % period;
    return row % 3 == 0 ? 0 : static_cast<uint32_t>(row * 977 + x * 131) | 0x10000u;
}

xcb_get_image_reply_t* reply_of(Rectangle r, const std::function<uint32_t(int, int)>& pixel)
{
    const size_t n = static_cast<size_t>(r.width) * r.height;
    auto* reply = static_cast<xcb_get_image_reply_t*>(std::calloc(1, sizeof(xcb_get_image_reply_t) + n * 4));
    reply->length = static_cast<uint32_t>(n);
    auto* p = reinterpret_cast<uint32_t*>(xcb_get_image_data(reply));
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) p[y * r.width + x] = pixel(r.x + x, r.y + y);
    return reply;
}

class Compressor : public testing::Test {
  protected:
    void SetUp() override
    {
        compressor_geometry_set(xRGB8888, 32, 32);
        compressor_sink_set(collect);
        compressor_screen_setup(W, H);
        ZelHeader header{};
        header.type = ZEL_HEADER;
        header.width = W;
        header.height = H;
        header.pixel_format = xRGB8888;
        header.scanline_pad = 32;
        ASSERT_EQ(zel_replay_apply(replay, &header), 0);
    }
    void TearDown() override
    {
        compressor_teardown();
        compressor_sink_set(nullptr);
        zel_replay_free(replay);
        drop();
    }
    void drop()
    {
        for (ZelRecord* r : written) zel_record_free(r);
        written.clear();
    }
    void ticket(CompressorTicketType type, Rectangle r = {}, xcb_get_image_reply_t* reply = nullptr,
                int16_t to_x = 0, int16_t to_y = 0)
    {
        CompressorTicket t{type, r, reply, to_x, to_y};
        compressor_handle_ticket(&t);
    }
    void image(Rectangle r, const std::function<uint32_t(int, int)>& pixel)
    {
        ticket(TICKET_IMAGE, r, reply_of(r, pixel));
    }
    // Ends the tick; what it wrote, by type, once a reader applied it and
    // found the compressor's frame.
    std::vector<uint8_t> tick()
    {
        drop();
        ticket(TICKET_FRAME);
        std::vector<uint8_t> types;
        for (ZelRecord* r : written) {
            types.push_back(r->type);
            EXPECT_EQ(zel_replay_apply(replay, r), 0);
        }
        uint32_t stride = 0;
        const uint8_t* canvas = zel_replay_canvas(replay, &stride);
        const ZelImage* frame = compressor_frame();
        EXPECT_EQ(std::memcmp(canvas, frame->data, static_cast<size_t>(stride) * H), 0)
            << "the replay differs";
        return types;
    }
    ZelReplay* replay = zel_replay_new();
};

const Rectangle screen{0, 0, W, H};

TEST_F(Compressor, ScrolledContentBecomesACopy)
{
    const Rectangle term{5, 3, 190, 140};
    for (int scroll = 0; scroll < 60; scroll += 7) {
        SCOPED_TRACE(scroll);
        image(term, [&](int x, int y) { return text_pixel(x, y, scroll, 23); });
        const std::vector<uint8_t> types = tick();
        if (scroll == 0) continue;
        ASSERT_FALSE(types.empty()) << "a scroll must be written";
        EXPECT_EQ(types.front(), ZEL_COPY);
    }
}

TEST_F(Compressor, RepaintingTheSamePixelsWritesNothing)
{
    image(screen, [](int x, int y) { return text_pixel(x, y, 0, 11); });
    tick();
    ticket(TICKET_CLEAR, {0, 0, 100, 100});
    image({0, 0, 100, 100}, [](int x, int y) { return text_pixel(x, y, 0, 11); });
    EXPECT_TRUE(tick().empty());
    ticket(TICKET_CLEAR, {150, 100, 53, 50}); // nothing paints it again: cleared
    EXPECT_EQ(tick(), std::vector<uint8_t>{ZEL_COMPRESSED_IMAGE_BLOCKS});
}

TEST_F(Compressor, MovedWindowIsCopiedWithinTheScreen)
{
    auto window = [](int dx, int dy) {
        return [=](int x, int y) {
            return x >= dx && x < dx + 90 && y >= dy && y < dy + 70 ? text_pixel(x - dx, y - dy, 0, 70) : 0u;
        };
    };
    image(screen, window(10, 10));
    tick();
    for (auto [from_x, from_y, to_x, to_y] :
         {std::array{10, 10, 150, 100}, std::array{150, 100, -40, 90}, std::array{-40, 90, 0, 0}}) {
        ticket(TICKET_COPY, {static_cast<int16_t>(from_x), static_cast<int16_t>(from_y), 90, 70}, nullptr,
               static_cast<int16_t>(to_x), static_cast<int16_t>(to_y));
        ticket(TICKET_CLEAR, screen);
        image(screen, window(to_x, to_y));
        tick();
    }
}

TEST_F(Compressor, CopyNeverReadsWhatTheTickPainted)
{
    image(screen, [](int x, int y) { return text_pixel(x, y, 0, 19); });
    tick();
    // the lower half is painted first, then content moves up into the upper half
    image({0, 75, W, 75}, [](int x, int y) { return text_pixel(x, y, 5, 19) ^ 0x55u; });
    ticket(TICKET_COPY, {0, 75, W, 75}, nullptr, 0, 0);
    image({0, 0, W, 75}, [](int x, int y) { return text_pixel(x, y, 0, 19); });
    tick();
}

TEST_F(Compressor, ScreenChangeKeepsTheRecordsConsistent)
{
    image(screen, [](int x, int y) { return text_pixel(x, y, 0, 9); });
    ticket(TICKET_SCREEN_CHANGE, {0, 0, 120, 90});
    for (ZelRecord* r : written) ASSERT_EQ(zel_replay_apply(replay, r), 0);
    drop();
    image({0, 0, 120, 90}, [](int x, int y) { return text_pixel(x, y, 2, 9); });
    ticket(TICKET_FRAME);
    for (ZelRecord* r : written) ASSERT_EQ(zel_replay_apply(replay, r), 0);
    EXPECT_EQ(zel_replay_width(replay), 120);
}

} // namespace
