// The main connection to the recorded display.
#include "display.h"

#include <err.h>
#include <pthread.h>
#include <sys/socket.h>

#include "args.h"
#include "debugging.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

struct source_display {
    xcb_connection_t* connection;
    int screen_nbr;
    xcb_screen_t* screen;
    xcb_window_t root;
    uint16_t width;
    uint16_t height;
};

source_display src = {};
// Held while the connection is closed, so that breaking it from another
// thread never touches a closed descriptor.
pthread_mutex_t closing = PTHREAD_MUTEX_INITIALIZER;

} // namespace

void display_connection_setup()
{
    DEBUG("connecting to display %s...", display_name());
    src.connection = xcb_connect(display_name(), &src.screen_nbr);
    if (int code = xcb_connection_has_error(src.connection))
        errx(1, "failed to connect to display %s: %s", display_name(), xcb_error_code_to_string(code));
    DEBUG("connected");

    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(src.connection));
    for (int i = 0; i < src.screen_nbr && it.rem; ++i) xcb_screen_next(&it);
    if (src.screen_nbr < 0 || !it.rem) errx(1, "failed to retrieve screen for display %s", display_name());

    src.screen = it.data;
    src.root = src.screen->root;
    src.width = src.screen->width_in_pixels;
    src.height = src.screen->height_in_pixels;
    DEBUG("root window=0x%x", src.root);

    // the root's structure, substructure and property events: the screen
    // size, its children (pop-ups, and what holds the client windows) and
    // the client list and stacking properties reach the event handling
    const uint32_t events =
        XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(src.connection, src.root, XCB_CW_EVENT_MASK, &events);
    xcb_flush(src.connection);
}

void display_connection_teardown()
{
    if (!src.connection) return;
    // a broken connection cannot take a flush any more
    if (!xcb_connection_has_error(src.connection)) xcb_flush(src.connection);
    pthread_mutex_lock(&closing);
    xcb_connection_t* c = src.connection;
    src.connection = nullptr;
    pthread_mutex_unlock(&closing);
    xcb_disconnect(c);
    DEBUG("disconnected display");
}

void display_connection_break()
{
    pthread_mutex_lock(&closing);
    if (src.connection) shutdown(xcb_get_file_descriptor(src.connection), SHUT_RDWR);
    pthread_mutex_unlock(&closing);
}

xcb_connection_t* display_connection()
{
    return src.connection;
}

int display_screen_nbr()
{
    return src.screen_nbr;
}

xcb_screen_t* display_screen()
{
    return src.screen;
}

xcb_window_t display_root()
{
    return src.root;
}

uint8_t root_depth()
{
    return src.screen->root_depth;
}

uint16_t root_width()
{
    return src.width;
}

uint16_t root_height()
{
    return src.height;
}

void root_size_changed(uint16_t width, uint16_t height)
{
    src.width = width;
    src.height = height;
}
