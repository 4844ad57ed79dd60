// The image receiver with the compressor and the writer behind it, against a
// real Xvfb: requests are sent on the recorder's connection the way the
// frontend sends them, and the recording is read back and replayed.
#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "backend.h"
#include "compressor.h"
#include "debugging.h"
#include "display.h"
#include "misc.h"
#include "receiver.h"
#include "timer.h"
#include "x-harness.h"
#include "zel.h"

namespace {

struct ReaderClose {
    void operator()(ZelReader* r) const { zel_reader_close(r); }
};
struct RecordFree {
    void operator()(void* r) const { zel_record_free(r); }
};
struct ReplayFree {
    void operator()(ZelReplay* r) const { zel_replay_free(r); }
};

class ReceiverPipeline : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN); // a write to a killed server must not end the test
        xvfb = std::make_unique<xtest::Xvfb>(xtest::XvfbOptions{"200x150x24", {}});
        client = std::make_unique<xtest::Client>(xvfb->display());
        dir = xtest::temp_dir();
        // the options keep pointers into argv: it lives as long as the fixture
        args = {"pelkrecorder-xpra-seamless", xvfb->display(), dir + "/recording.zel"};
        for (auto& a : args) argv.push_back(a.data());
        cli_parse_arguments(static_cast<int>(argv.size()), argv.data());
        debugging_set(false);
        time_start();
        display_connection_setup();
        c = display_connection();
        XcbReply<xcb_xfixes_query_version_reply_t> v(
            xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        ASSERT_TRUE(v);

        backend_thread_start();
        send_header();
        compressor_thread_start();
        receiver_thread_start();
        running = true;
    }

    void TearDown() override { stop(); }

    // Teardown order of the recorder: producers before their consumers.
    void stop()
    {
        if (!running) return;
        running = false;
        receiver_thread_stop();
        display_connection_teardown();
        compressor_thread_stop();
        backend_thread_stop();
    }

    void send_header()
    {
        auto* h = static_cast<ZelHeader*>(std::calloc(1, sizeof(ZelHeader)));
        h->type = ZEL_HEADER;
        h->version = 1;
        h->timestamp = time_started_in_us();
        h->depth = display_screen()->root_depth;
        h->width = root_width();
        h->height = root_height();
        h->pixel_format = xRGB8888;
        h->scanline_pad = 32;
        ASSERT_TRUE(send_to_backend(&h));
    }

    // GetImage on the recorder's connection, flushed, then its ticket: the
    // frontend's order.
    void request_image(xcb_drawable_t d, int16_t src_x, int16_t src_y, xcb_rectangle_t root_area)
    {
        const xcb_get_image_cookie_t cookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, d, src_x, src_y,
                                                            root_area.width, root_area.height, 0xFFFFFFFF);
        xcb_flush(c);
        RequestTicket t{REQUESTED_IMAGE, xcb_void_cookie_t{cookie.sequence}, root_area};
        ASSERT_TRUE(send_to_receiver(&t));
    }

    void request_cursor_image()
    {
        const auto cookie = xcb_xfixes_get_cursor_image(c);
        xcb_flush(c);
        RequestTicket t{REQUESTED_CURSOR_IMAGE, xcb_void_cookie_t{cookie.sequence}, {}};
        ASSERT_TRUE(send_to_receiver(&t));
    }

    void ticket(RequestType type, xcb_rectangle_t r = {})
    {
        RequestTicket t{type, xcb_void_cookie_t{0}, r};
        ASSERT_TRUE(send_to_receiver(&t));
    }

    // Every record of the finished recording, in file order.
    std::vector<std::unique_ptr<ZelRecord, RecordFree>> recording()
    {
        std::unique_ptr<ZelReader, ReaderClose> reader(zel_reader_open(args[2].c_str()));
        EXPECT_NE(reader, nullptr);
        std::vector<std::unique_ptr<ZelRecord, RecordFree>> records;
        if (reader == nullptr) return records;
        ZelRecord* r = nullptr;
        ZelReadStatus status;
        while ((status = zel_reader_next(reader.get(), &r)) == ZEL_READ_RECORD) records.emplace_back(r);
        EXPECT_EQ(status, ZEL_READ_END) << zel_reader_problem(reader.get());
        return records;
    }

    std::unique_ptr<xtest::Xvfb> xvfb;
    std::unique_ptr<xtest::Client> client;
    std::string dir;
    std::vector<std::string> args;
    std::vector<char*> argv;
    xcb_connection_t* c = nullptr;
    bool running = false;
};

std::vector<ZelRecordType> types_of(const std::vector<std::unique_ptr<ZelRecord, RecordFree>>& records)
{
    std::vector<ZelRecordType> types;
    for (const auto& r : records) types.push_back(static_cast<ZelRecordType>(r->type));
    return types;
}

} // namespace

TEST_F(ReceiverPipeline, TicketsBecomeRecordsThatReplayToTheScreen)
{
    xcb_window_t win = client->create_window(20, 30, 60, 40);
    client->map(win);
    client->draw_pattern(win, 7);
    const xtest::Image first = client->root_image();

    // Frame 1: the whole screen, cleared then painted from the root.
    ticket(REQUESTED_CLEAR, {0, 0, 200, 150});
    request_image(display_root(), 0, 0, {0, 0, 200, 150});
    ticket(REQUESTED_FRAME);
    request_cursor_image();

    // Frame 2: a part of the window, fetched from the window itself and
    // placed at its root position; a cleared area nothing paints over.
    client->draw_pattern(win, 8);
    ticket(REQUESTED_CLEAR, {30, 40, 20, 10});
    request_image(win, 10, 10, {30, 40, 20, 10});
    ticket(REQUESTED_CLEAR, {25, 35, 5, 5});
    ticket(REQUESTED_FRAME);
    // What frame 2 shows: frame 1, with the fetched area as the window is
    // now and the cleared area zero.
    const xtest::Image now = client->root_image();
    xtest::Image second = first;
    for (int y = 40; y < 50; ++y)
        std::memcpy(&second.data[y * second.stride + 30 * 4], &now.data[y * now.stride + 30 * 4], 20 * 4);
    for (int y = 35; y < 40; ++y) std::memset(&second.data[y * second.stride + 25 * 4], 0, 5 * 4);
    XcbReply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(client->c(), xcb_xfixes_query_version(client->c(), 4, 0), nullptr));
    ASSERT_TRUE(version);
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> cursor(
        xcb_xfixes_get_cursor_image_reply(client->c(), xcb_xfixes_get_cursor_image(client->c()), nullptr));
    ASSERT_TRUE(cursor);

    stop();
    auto records = recording();
    // The cursor record goes straight to the writer, so it may come before
    // the compressor's record of frame 1.
    std::unique_ptr<ZelRecord, RecordFree> cursor_record;
    for (auto it = records.begin(); it != records.end(); ++it)
        if ((*it)->type == ZEL_CURSOR_IMAGE) {
            cursor_record = std::move(*it);
            records.erase(it);
            break;
        }
    ASSERT_NE(cursor_record, nullptr);
    ASSERT_EQ(types_of(records), (std::vector<ZelRecordType>{ZEL_HEADER, ZEL_COMPRESSED_IMAGE,
                                                             ZEL_COMPRESSED_IMAGE_BLOCKS, ZEL_DONE}));

    std::unique_ptr<ZelReplay, ReplayFree> replay(zel_replay_new());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(zel_replay_apply(replay.get(), records[i].get()), 0) << "record " << i;
        if (i == 0) continue;
        const xtest::Image& expected = i == 1 ? first : second;
        uint32_t stride = 0;
        const uint8_t* canvas = zel_replay_canvas(replay.get(), &stride);
        ASSERT_NE(canvas, nullptr);
        ASSERT_EQ(stride, expected.stride);
        for (int y = 0; y < 150; ++y)
            for (int x = 0; x < 200; ++x) {
                uint32_t got = 0;
                std::memcpy(&got, canvas + y * stride + x * 4, 4);
                ASSERT_EQ(got & 0xFFFFFF, expected.pixel(x, y)) << "frame " << i << " at " << x << "," << y;
            }
    }

    const auto* rec = reinterpret_cast<const ZelCursorImage*>(cursor_record.get());
    EXPECT_EQ(rec->width, cursor->width);
    EXPECT_EQ(rec->height, cursor->height);
    EXPECT_EQ(rec->xhot, cursor->xhot);
    EXPECT_EQ(rec->yhot, cursor->yhot);
    EXPECT_EQ(rec->cursor_serial, cursor->cursor_serial);
    ASSERT_EQ(rec->length, static_cast<uint32_t>(cursor->width) * cursor->height) << "length counts pixels";
    EXPECT_EQ(
        std::memcmp(rec->data, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), rec->length * 4u), 0);
}

TEST_F(ReceiverPipeline, AnImageOfAVanishedWindowIsDroppedQuietly)
{
    xcb_window_t win = client->create_window(0, 0, 50, 50);
    client->map(win);
    client->destroy(win);
    client->sync();
    request_image(win, 0, 0, {0, 0, 50, 50});
    ticket(static_cast<RequestType>(7)); // unknown types are skipped
    ticket(REQUESTED_FRAME);
    stop();
    EXPECT_EQ(types_of(recording()), (std::vector<ZelRecordType>{ZEL_HEADER, ZEL_DONE}));
}

// Once the connection is broken the receiver stops waiting for replies, yet
// neither more tickets than its queue holds nor its stop may block.
TEST_F(ReceiverPipeline, ABrokenConnectionNeverBlocksTheSenderOrTheStop)
{
    ticket(REQUESTED_CLEAR, {0, 0, 10, 10});
    ticket(REQUESTED_FRAME);
    xvfb->kill_server();
    request_image(display_root(), 0, 0, {0, 0, 200, 150});
    for (int i = 0; i < 4096 + 100; ++i) ticket(REQUESTED_FRAME);
    EXPECT_NE(xcb_connection_has_error(c), 0);
    stop();
    auto records = recording();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.front()->type, ZEL_HEADER);
    EXPECT_EQ(records.back()->type, ZEL_DONE);
}
