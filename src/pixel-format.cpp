// The pixel layout of a screen's root visual, from the connection's setup
// data alone (no request is sent, so any thread may ask).
#include "pixel-format.h"

#include <initializer_list>

namespace {

constexpr uint8_t CLASS_PSEUDO_COLOR = XCB_VISUAL_CLASS_PSEUDO_COLOR;
constexpr uint8_t CLASS_TRUE_COLOR = XCB_VISUAL_CLASS_TRUE_COLOR;

struct Masks {
    uint32_t red, green, blue;
    PixelFormat format;
};

bool has_masks(const xcb_visualtype_t* v, const Masks& m)
{
    return v->red_mask == m.red && v->green_mask == m.green && v->blue_mask == m.blue;
}

PixelFormat true_color(const xcb_visualtype_t* v, std::initializer_list<Masks> known)
{
    if (v->_class != CLASS_TRUE_COLOR) return FORMAT_UNKNOWN;
    for (const Masks& m : known)
        if (has_masks(v, m)) return m.format;
    return FORMAT_UNKNOWN;
}

} // namespace

xcb_visualtype_t* find_visual_by_id(xcb_screen_t* screen, xcb_visualid_t visual_id)
{
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == visual_id) return v.data;
    return nullptr;
}

PixelFormat pixel_format_depth_8(const xcb_visualtype_t* v)
{
    if (v->_class == CLASS_PSEUDO_COLOR) return PALETTE8;
    return true_color(v, {{0xE0, 0x1C, 0x03, RGB332}, {0x07, 0x38, 0xC0, BGR233}});
}

PixelFormat pixel_format_depth_16(const xcb_visualtype_t* v)
{
    return true_color(v, {{0xF800, 0x07E0, 0x001F, RGB565}, {0x001F, 0x07E0, 0xF800, BGR565}});
}

PixelFormat pixel_format_depth_24(const xcb_visualtype_t* v)
{
    return true_color(v,
                      {{0xFF0000, 0x00FF00, 0x0000FF, xRGB8888}, {0x0000FF, 0x00FF00, 0xFF0000, xBGR8888}});
}

// A depth-32 visual is taken as having an unused byte, never alpha.
PixelFormat pixel_format_depth_32(const xcb_visualtype_t* v)
{
    return true_color(v, {{0x00FF0000, 0x0000FF00, 0x000000FF, xRGB8888},
                          {0x000000FF, 0x0000FF00, 0x00FF0000, xBGR8888},
                          {0xFF000000, 0x00FF0000, 0x0000FF00, RGBx8888},
                          {0x0000FF00, 0x00FF0000, 0xFF000000, BGRx8888}});
}

PixelFormat pixel_format(xcb_connection_t* c, int screen_nbr)
{
    if (!c || xcb_connection_has_error(c)) return FORMAT_NOT_FOUND;
    if (screen_nbr < 0) return FORMAT_NOT_FOUND;

    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return FORMAT_NOT_FOUND;

    xcb_screen_t* screen = it.data;
    const xcb_visualtype_t* v = find_visual_by_id(screen, screen->root_visual);
    if (!v) return FORMAT_NOT_FOUND;

    // by the root depth, not the depth entry the visual was listed under
    switch (screen->root_depth) {
    case 8: return pixel_format_depth_8(v);
    case 16: return pixel_format_depth_16(v);
    case 24: return pixel_format_depth_24(v);
    case 32: return pixel_format_depth_32(v);
    default: return FORMAT_UNKNOWN;
    }
}
