// The tracked client windows (as the server lists them in _NET_CLIENT_LIST),
// sorted by id, and a copy of _NET_CLIENT_LIST_STACKING (bottom to top).
#pragma once

#include <pixman.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

struct WindowState {
    xcb_window_t win;
    xcb_damage_damage_t damage;
    xcb_pixmap_t pixmap;
    bool mapped;
    bool destroyed;
    uint16_t width;
    uint16_t height;
    int16_t x_root;
    int16_t y_root;
    uint16_t border_width; // the named pixmap includes the border
    struct {
        bool mapped;
        uint16_t width;
        uint16_t height;
        int16_t x_root;
        int16_t y_root;
    } previous;
    pixman_region16_t accumulator;
};

struct WindowList {
    size_t capacity;
    size_t size;
    WindowState* ws;
};

extern WindowList list_of_windows;
extern xcb_window_t* window_stack;
extern size_t window_stack_size;
extern xcb_atom_t A_NET_CLIENT_LIST;
extern xcb_atom_t A_NET_CLIENT_LIST_STACKING;

void window_list_setup();
void window_list_teardown();
void window_list_update();
void window_list_add(xcb_connection_t* c, xcb_window_t win);
void window_list_remove(WindowState* st);
void window_list_dump();
void window_stack_retrieve();
void window_map_state_update(WindowState* st);
void window_map_and_geometry_update(xcb_connection_t* c, WindowState* st);
void window_root_coordinates_update(WindowState* st);
void name_window_pixmap(xcb_connection_t* c, WindowState* st);
xcb_window_t* get_root_window_list_property(xcb_connection_t* c, xcb_window_t root, xcb_atom_t prop,
                                            size_t* n_out);
int win_cmp(const void* a, const void* b);
const char* map_state_name(uint8_t s);

void list_init(WindowList* list);
void list_destroy(WindowList* list);
size_t list_lower_bound(const WindowList* list, xcb_window_t win);
WindowState* list_find(WindowList* list, xcb_window_t win);
bool list_reserve(WindowList* list, size_t new_capacity);
WindowState* list_add(WindowList* list, WindowState item);
bool list_remove(WindowList* list, xcb_window_t win);
