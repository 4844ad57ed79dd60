// The layout in which the server delivers the pixels of a screen's root visual.
#pragma once

#include <xcb/xcb.h>

#include "zel.h"

PixelFormat pixel_format(xcb_connection_t* c, int screen_nbr);
xcb_visualtype_t* find_visual_by_id(xcb_screen_t* screen, xcb_visualid_t visual_id);
PixelFormat pixel_format_depth_8(const xcb_visualtype_t* v);
PixelFormat pixel_format_depth_16(const xcb_visualtype_t* v);
PixelFormat pixel_format_depth_24(const xcb_visualtype_t* v);
PixelFormat pixel_format_depth_32(const xcb_visualtype_t* v);
