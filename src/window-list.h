// The windows a recording shows: the client windows the session lists in
// _NET_CLIENT_LIST, and the override-redirect children of the root (menus,
// tooltips, pop-ups) while they are mapped, except the xpra server's own.
// Each has its damage object, its named backing pixmap and its geometry;
// the order they are composed in is the X server's stacking order.
//
// Everything that can replace a window's backing pixmap (its map state, a
// map or unmap of the root's child that holds it, a resize, a reparent) is
// learnt from events and marks the window stale: its state is asked for
// again, and its pixmap named again, before the next image of it is taken.
// Work on windows is pipelined (every request of a step is sent before any
// reply is waited for) and bounded per pass of the loop.  Main thread only.
#pragma once

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <vector>

#include "region.h"

struct WindowState {
    xcb_window_t win = 0;
    xcb_damage_damage_t damage = 0;
    xcb_pixmap_t pixmap = 0;
    bool listed = false;            // in _NET_CLIENT_LIST
    bool override_redirect = false; // a mapped override-redirect child of the root
    bool mapped = false;            // viewable, as last learnt
    bool stale = true;              // state to be learnt again
    bool rename = true;             // the backing pixmap to be named again
    bool damaged = false;           // damage to subtract at the next tick
    xcb_window_t top = 0;           // the child of the root that holds it (itself, for one)
    // The window with its border, in root coordinates.
    int16_t x_root = 0;
    int16_t y_root = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t border_width = 0;
    struct {
        bool mapped = false;
        int16_t x_root = 0, y_root = 0;
        uint16_t width = 0, height = 0;
    } previous;         // as the last tick composed it
    Region accumulator; // damage, relative to the outer corner
};

using WindowList = std::map<xcb_window_t, WindowState>;
extern WindowList list_of_windows;
extern xcb_atom_t A_NET_CLIENT_LIST;
extern xcb_atom_t A_NET_CLIENT_LIST_STACKING;
extern xcb_atom_t A_NET_SUPPORTING_WM_CHECK;

void window_list_setup();
void window_list_teardown();
// _NET_CLIENT_LIST changed: windows no longer listed go, new ids queue up.
void window_list_update();
// _NET_CLIENT_LIST_STACKING changed.
void window_stack_retrieve();
// _NET_SUPPORTING_WM_CHECK changed: whose override-redirect windows are xpra's.
void window_list_server_check_update();
// Takes the next bounded step of queued work; true while work is left.
bool window_list_work();
// Before a tick's images: state and pixmaps of stale windows, pipelined.
void window_list_refresh();
// The windows in the order X stacks them, bottom first.
const std::vector<WindowState*>& window_stack();

WindowState* window_find(xcb_window_t win);
// A structure change of win, or of the root's child that holds windows; one
// that may have replaced their backing pixmaps (a map, unmap or reparent).
void window_list_structure_changed(xcb_window_t win, bool pixmap_replaced);
// The root's children (root SubstructureNotify and the windows' own events).
void root_child_created(xcb_window_t win, bool override_redirect);
void root_child_gone(xcb_window_t win); // destroyed or reparented away
void root_child_mapped(xcb_window_t win, bool override_redirect);
void root_child_unmapped(xcb_window_t win);
void root_child_restacked(xcb_window_t win, xcb_window_t above, bool on_top_when_none);
// A ConfigureNotify of a child of the root: restacked, and moved or resized.
void root_child_configured(const xcb_configure_notify_event_t* e);
// The window was destroyed: tracking ends; its last composed area is repainted.
void window_list_destroyed(xcb_window_t win);
// The area of windows removed since the last tick, taken by it.
Region window_list_take_vanished();
