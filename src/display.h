// The main connection to the recorded display: screen, root window and the
// root size the rest of the system works with.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

void display_connection_setup();
void display_connection_teardown();
// Ends every wait on the connection at once (any thread): it breaks.
void display_connection_break();
xcb_connection_t* display_connection();
int display_screen_nbr();
xcb_screen_t* display_screen();
xcb_window_t display_root();
uint8_t root_depth();
uint16_t root_width();
uint16_t root_height();
void root_size_changed(uint16_t width, uint16_t height);
