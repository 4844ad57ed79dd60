#include "zel_test_util.h"

namespace zeltest {
namespace {

bool same_string(const uint8_t* a, const uint8_t* b)
{
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b)) == 0;
}

bool same_bytes(const void* a, const void* b, size_t n)
{
    if (n == 0) return true;
    if (a == nullptr || b == nullptr) return false;
    return std::memcmp(a, b, n) == 0;
}

} // namespace

::testing::AssertionResult records_equal(const ZelRecord* a, const ZelRecord* b)
{
    if (a->type != b->type || a->timestamp != b->timestamp)
        return ::testing::AssertionFailure()
               << "head differs: type " << int(a->type) << " vs " << int(b->type) << ", time " << a->timestamp
               << " vs " << b->timestamp;
    auto fail = [&](const char* what) {
        return ::testing::AssertionFailure() << zel_record_type_to_string(static_cast<ZelRecordType>(a->type))
                                             << ": " << what << " differs";
    };
    switch (a->type) {
    case ZEL_HEADER: {
        auto* x = reinterpret_cast<const ZelHeader*>(a);
        auto* y = reinterpret_cast<const ZelHeader*>(b);
        if (x->version != y->version || x->depth != y->depth || x->width != y->width ||
            x->height != y->height || x->pixel_format != y->pixel_format ||
            x->scanline_pad != y->scanline_pad || x->palette_size != y->palette_size ||
            x->min_keycode != y->min_keycode || x->max_keycode != y->max_keycode)
            return fail("a scalar field");
        if ((x->palette == nullptr) != (y->palette == nullptr)) return fail("palette presence");
        if (x->palette != nullptr && !same_bytes(x->palette, y->palette, x->palette_size * sizeof(RgbValue)))
            return fail("palette");
        if (!same_string(x->user, y->user)) return fail("user");
        if (!same_string(x->tfn, y->tfn)) return fail("tfn");
        break;
    }
    case ZEL_IMAGE: {
        auto* x = reinterpret_cast<const ZelImage*>(a);
        auto* y = reinterpret_cast<const ZelImage*>(b);
        if (x->width != y->width || x->height != y->height || x->x != y->x || x->y != y->y ||
            x->pixel_format != y->pixel_format || x->scanline_pad != y->scanline_pad ||
            x->bytes_per_line != y->bytes_per_line || x->length != y->length)
            return fail("a scalar field");
        if (!same_bytes(x->data, y->data, x->length)) return fail("data");
        break;
    }
    case ZEL_COMPRESSED_IMAGE: {
        auto* x = reinterpret_cast<const ZelCompressedImage*>(a);
        auto* y = reinterpret_cast<const ZelCompressedImage*>(b);
        if (x->width != y->width || x->height != y->height || x->x != y->x || x->y != y->y ||
            x->pixel_format != y->pixel_format || x->scanline_pad != y->scanline_pad ||
            x->length != y->length || x->compressed_length != y->compressed_length)
            return fail("a scalar field");
        if (!same_bytes(x->data, y->data, x->compressed_length)) return fail("data");
        break;
    }
    case ZEL_IMAGE_BLOCKS: {
        auto* x = reinterpret_cast<const ZelImageBlocks*>(a);
        auto* y = reinterpret_cast<const ZelImageBlocks*>(b);
        if (x->length != y->length || !same_bytes(x->data, y->data, x->length)) return fail("data");
        break;
    }
    case ZEL_COMPRESSED_IMAGE_BLOCKS: {
        auto* x = reinterpret_cast<const ZelCompressedImageBlocks*>(a);
        auto* y = reinterpret_cast<const ZelCompressedImageBlocks*>(b);
        if (x->length != y->length || x->compressed_length != y->compressed_length ||
            !same_bytes(x->data, y->data, x->compressed_length))
            return fail("data");
        break;
    }
    case ZEL_CURSOR_IMAGE: {
        auto* x = reinterpret_cast<const ZelCursorImage*>(a);
        auto* y = reinterpret_cast<const ZelCursorImage*>(b);
        if (x->width != y->width || x->height != y->height || x->x != y->x || x->y != y->y ||
            x->xhot != y->xhot || x->yhot != y->yhot || x->cursor_serial != y->cursor_serial ||
            x->length != y->length)
            return fail("a scalar field");
        if (!same_bytes(x->data, y->data, x->length * 4u)) return fail("pixels");
        break;
    }
    case ZEL_CURSOR_POSITION: {
        auto* x = reinterpret_cast<const ZelCursorPosition*>(a);
        auto* y = reinterpret_cast<const ZelCursorPosition*>(b);
        if (x->x != y->x || x->y != y->y) return fail("position");
        break;
    }
    case ZEL_SCREEN_CHANGE: {
        auto* x = reinterpret_cast<const ZelScreenChange*>(a);
        auto* y = reinterpret_cast<const ZelScreenChange*>(b);
        if (x->width != y->width || x->height != y->height) return fail("size");
        break;
    }
    case ZEL_LAST_INPUT: {
        auto* x = reinterpret_cast<const ZelLastInput*>(a);
        auto* y = reinterpret_cast<const ZelLastInput*>(b);
        if (!same_string(x->user, y->user)) return fail("user");
        if (!same_string(x->tfn, y->tfn)) return fail("tfn");
        break;
    }
    case ZEL_FOOTER_ITEM_APP:
    case ZEL_FOOTER_ITEM_HOST:
    case ZEL_FOOTER_ITEM_IP:
    case ZEL_FOOTER_ITEM_SID:
    case ZEL_FOOTER_ITEM_TID:
    case ZEL_FOOTER_ITEM_APPFMT:
        if (!same_string(reinterpret_cast<const ZelFooterItem*>(a)->item,
                         reinterpret_cast<const ZelFooterItem*>(b)->item))
            return fail("item");
        break;
    default: break;
    }
    return ::testing::AssertionSuccess();
}

std::vector<ZelRecord*> sample_records()
{
    std::vector<ZelRecord*> out;
    uint64_t t = 1'700'000'000'000'000ull;
    auto add = [&out](void* r) { out.push_back(static_cast<ZelRecord*>(r)); };

    auto* h = make<ZelHeader>(ZEL_HEADER, t);
    h->version = 1;
    h->depth = 24;
    h->width = 64;
    h->height = 48;
    h->pixel_format = xRGB8888;
    h->scanline_pad = 32;
    h->min_keycode = 8;
    h->max_keycode = 255;
    h->user = dup("alice");
    h->tfn = dup(""); // empty, not null
    add(h);

    // A full screen: a gradient, like a window background.
    ZelImage frame{};
    frame.type = ZEL_IMAGE;
    frame.timestamp = t + 100'000;
    frame.width = 64;
    frame.height = 48;
    frame.pixel_format = xRGB8888;
    frame.scanline_pad = 32;
    frame.bytes_per_line = 256;
    std::vector<uint8_t> pixels(64 * 48 * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>((i / 4) % 64 * 3 + (i % 4) * 17);
    frame.length = static_cast<uint32_t>(pixels.size());
    frame.data = pixels.data();
    add(zel_image_compress(&frame));

    // One 32x16 block at (32, 32).
    std::vector<uint8_t> blocks(8 + 32 * 16 * 4);
    int16_t bx = 32, by = 32;
    uint16_t bw = 32, bh = 16;
    std::memcpy(blocks.data(), &bx, 2);
    std::memcpy(blocks.data() + 2, &by, 2);
    std::memcpy(blocks.data() + 4, &bw, 2);
    std::memcpy(blocks.data() + 6, &bh, 2);
    for (size_t i = 8; i < blocks.size(); ++i) blocks[i] = static_cast<uint8_t>(i * 7);
    ZelImageBlocks b{};
    b.type = ZEL_IMAGE_BLOCKS;
    b.timestamp = t + 200'000;
    b.length = static_cast<uint32_t>(blocks.size());
    b.data = blocks.data();
    add(zel_image_blocks_compress(&b));

    auto* ci = make<ZelCursorImage>(ZEL_CURSOR_IMAGE, t + 250'000);
    ci->width = 4;
    ci->height = 4;
    ci->x = 10;
    ci->y = 12;
    ci->xhot = 1;
    ci->yhot = 2;
    ci->cursor_serial = 77;
    ci->length = 16;
    ci->data = static_cast<uint32_t*>(std::malloc(16 * 4));
    for (uint32_t i = 0; i < 16; ++i) ci->data[i] = (i % 2) ? 0xFF000000u : 0xFFFFFFFFu;
    add(ci);

    auto* cp = make<ZelCursorPosition>(ZEL_CURSOR_POSITION, t + 300'000);
    cp->x = -3;
    cp->y = 40;
    add(cp);

    auto* sc = make<ZelScreenChange>(ZEL_SCREEN_CHANGE, t + 400'000);
    sc->width = 80;
    sc->height = 40;
    add(sc);

    auto* li = make<ZelLastInput>(ZEL_LAST_INPUT, t + 500'000);
    li->user = dup("bob");
    li->tfn = nullptr;
    add(li);

    const ZelRecordType footers[] = {ZEL_FOOTER_ITEM_APP, ZEL_FOOTER_ITEM_HOST, ZEL_FOOTER_ITEM_IP,
                                     ZEL_FOOTER_ITEM_SID, ZEL_FOOTER_ITEM_TID,  ZEL_FOOTER_ITEM_APPFMT};
    const char* values[] = {"editor", "host.example", "192.0.2.7", "", "T-42", "fmt %s \xc3\xa9"};
    for (int i = 0; i < 6; ++i) {
        auto* f = make<ZelFooterItem>(footers[i], t + 600'000 + static_cast<uint64_t>(i));
        f->item = dup(values[i]);
        add(f);
    }

    auto* im = make<ZelImage>(ZEL_IMAGE, t + 700'000);
    im->width = 2;
    im->height = 2;
    im->x = 5;
    im->y = 6;
    im->pixel_format = xRGB8888;
    im->scanline_pad = 32;
    im->bytes_per_line = 8;
    im->length = 16;
    im->data = dup_bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    add(im);

    auto* ib = make<ZelImageBlocks>(ZEL_IMAGE_BLOCKS, t + 800'000);
    ib->length = 12;
    ib->data = dup_bytes({0, 0, 0, 0, 1, 0, 1, 0, 0xAA, 0xBB, 0xCC, 0xDD});
    add(ib);

    auto* h2 = make<ZelHeader>(ZEL_HEADER, t + 900'000);
    h2->version = 1;
    h2->depth = 8;
    h2->width = 3;
    h2->height = 2;
    h2->pixel_format = PALETTE8;
    h2->scanline_pad = 32;
    h2->palette_size = 3;
    h2->palette = static_cast<RgbValue*>(std::calloc(3, sizeof(RgbValue)));
    h2->palette[0] = {0xFFFF, 0, 0, {0, 0}};
    h2->palette[1] = {0, 0xFFFF, 0, {0, 0}};
    h2->palette[2] = {0x1234, 0x5678, 0x9ABC, {0, 0}};
    add(h2);

    auto* done = zel_record_done();
    done->timestamp = t + 1'000'000;
    add(done);
    return out;
}

void free_records(std::vector<ZelRecord*>& records)
{
    for (ZelRecord* r : records) zel_record_free(r);
    records.clear();
}

} // namespace zeltest
