// zel_capture OUT: the root window of $DISPLAY as the recorder receives it
// (GetImage, ZPixmap), saved as a small capture file for the compression
// benchmark: "ZCAP", then width, height, bytes per line, bits per pixel
// (u32 little-endian each), then the pixel rows exactly as delivered.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel_capture OUT\n");
        return 1;
    }
    int screen_nbr = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screen_nbr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "zel_capture: cannot connect to the display\n");
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_nbr; ++i) xcb_screen_next(&it);
    xcb_screen_t* s = it.data;
    uint8_t bpp = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); f.rem; xcb_format_next(&f))
        if (f.data->depth == s->root_depth) bpp = f.data->bits_per_pixel;
    xcb_generic_error_t* e = nullptr;
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, s->root, 0, 0, s->width_in_pixels,
                                          s->height_in_pixels, ~0u),
                            &e),
        &std::free);
    if (!reply) {
        std::fprintf(stderr, "zel_capture: GetImage failed\n");
        std::free(e);
        return 1;
    }
    uint32_t length = static_cast<uint32_t>(xcb_get_image_data_length(reply.get()));
    uint32_t w = s->width_in_pixels, h = s->height_in_pixels, stride = h ? length / h : 0, bits = bpp;
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 1;
    std::fwrite("ZCAP", 1, 4, out);
    for (uint32_t v : {w, h, stride, bits}) {
        unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        std::fwrite(b, 1, 4, out);
    }
    std::fwrite(xcb_get_image_data(reply.get()), 1, length, out);
    bool ok = std::fclose(out) == 0;
    xcb_disconnect(c);
    return ok ? 0 : 1;
}
