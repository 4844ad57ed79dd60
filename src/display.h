// The main connection to the recorded display: screen, root window and the
// root size the rest of the system works with.  The connection can be lost
// while the display lives (any client can kill it): it is then made again.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <string>

// At start: connects and checks that the display is an xpra seamless
// session; ends the process with status 1 and one line when it is not.
void display_connection_setup();
void display_connection_teardown();
// Ends every wait on the connection at once (any thread): it breaks.
void display_connection_break();

enum class Reconnected { YES, GONE, STOPPED };
// After the connection broke (the old one is the caller's to close): a new
// one, once the display lets us in.  Waits while the display answers
// (a stalled or full server), until stop_fd becomes readable (STOPPED).
// GONE, with *why, when the display no longer answers.  YES with *why set
// when XPRA_SERVER_MODE no longer says seamless: a root property any client
// can write, so it is told but ends nothing.
Reconnected display_reconnect(int stop_fd, std::string* why);
// Hands the current connection over (to be closed by its last user) and
// leaves none.
xcb_connection_t* display_connection_release();

// xcb_connect for any thread.  The authority file's lookup (libXau) is not
// thread-safe, so connections are made one at a time; while another thread
// connects, the wait gives up (null) as soon as give_up() says so.
xcb_connection_t* display_connect(int* screen, const std::function<bool()>& give_up = nullptr);

xcb_connection_t* display_connection();
int display_screen_nbr();
xcb_screen_t* display_screen();
xcb_window_t display_root();
uint8_t root_depth();
uint16_t root_width();
uint16_t root_height();
void root_size_changed(uint16_t width, uint16_t height);
