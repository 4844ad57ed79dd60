// The windows a recording shows, read from the X server's own window tree:
// every viewable child of the root that is not the window manager's own
// (pop-ups, and top-level windows where the manager does not reparent), and
// the client windows inside the manager's frames (xpra's corral windows),
// composed in the server's stacking order.  The manager's windows are told
// apart by their X client: the one that owns the window-manager selection
// WM_S<screen>, which no other client can take without taking the session
// from the manager (and a change of owner is noticed).  What clients claim
// in root properties (client lists, the manager check window) is not read.
//
// Each recorded window has a damage object and a named backing pixmap of
// ours; any client can free either by its id, so a failed image or a
// periodic check of the damage objects makes them again.  Everything that
// can replace a backing pixmap (a map, unmap, resize or reparent of the
// window or of what holds it) marks the window stale: its state is asked for
// again, and its pixmap named again, before the next image of it is taken.
// Requests are pipelined and the work of one pass of the loop is bounded.
// Main thread only.
#pragma once

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "region.h"

struct WindowState {
    xcb_window_t win = 0;
    xcb_damage_damage_t damage = 0;
    xcb_pixmap_t pixmap = 0;
    xcb_window_t frame = 0;         // the manager's window that holds it; 0 for a child of the root
    bool override_redirect = false; // a pop-up
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
    } previous;                      // as the last tick composed it
    Region accumulator;              // damage, relative to the outer corner
    unsigned int damage_checked = 0; // the request of the last check of its damage object
};

// A change of the window manager, for the recording.
struct ManagerChange {
    uint64_t time;
    std::string detail;
};

class WindowModel {
  public:
    // Reads the manager and the root's children on a (new) connection.
    void setup(xcb_connection_t* c, xcb_window_t root, int screen);
    // The connection is gone, and every resource of ours with it: everything
    // is forgotten; the areas last composed are repainted after the next setup.
    void reset();

    // ---- events, in the order the server sent them ----
    void root_child_created(xcb_window_t win, bool override_redirect);
    void root_child_gone(xcb_window_t win); // destroyed or reparented away
    void root_child_mapped(xcb_window_t win, bool override_redirect);
    void root_child_unmapped(xcb_window_t win);
    void root_child_restacked(xcb_window_t win, xcb_window_t above, bool on_top_when_none);
    void root_child_configured(const xcb_configure_notify_event_t* e);
    bool is_frame(xcb_window_t win) const { return frames_.contains(win); }
    // A structure event from a frame's substructure about its child.
    void frame_changed(xcb_window_t frame, xcb_window_t child, bool pixmap_replaced);
    // A structure change of win, or of what holds windows; one that may
    // have replaced their backing pixmaps (a map, unmap or reparent).
    void structure_changed(xcb_window_t win, bool pixmap_replaced);
    void destroyed(xcb_window_t win);
    // The owner of the window-manager selection changed (or its window went).
    void manager_changed();
    xcb_atom_t manager_selection() const { return manager_selection_; }
    // The window's damage object or an image of it is gone: it is made
    // again and the whole window repainted.
    void damage_lost(xcb_window_t win);
    void image_lost(xcb_window_t win);
    // Asks for an error of every damage object (no reply; an error means
    // another client destroyed it).
    void check_damage();

    // ---- work ----
    // The next bounded step of queued work; true while work is left.
    bool work();
    // Before a tick's images: state and pixmaps of stale windows, pipelined.
    void refresh();
    // The recorded windows in the order X stacks them, bottom first.
    const std::vector<WindowState*>& stack();
    WindowState* find(xcb_window_t win);
    std::map<xcb_window_t, WindowState>& windows() { return windows_; }
    // The area of windows removed since the last tick, taken by it.
    Region take_vanished();
    std::optional<ManagerChange> take_manager_change();
    // Resources made again since last asked (for the recording's gaps).
    unsigned take_resources_remade();

  private:
    struct RootChild {
        xcb_window_t win;
        bool override_redirect;
        bool mapped;
        xcb_rectangle_t geometry; // unknown (0 x 0) until the first ConfigureNotify
        uint16_t border;
    };
    struct Frame {
        int depth = 1;                      // 1: a child of the root
        bool dirty = true;                  // its children to be read again
        std::vector<xcb_window_t> children; // bottom first, as last read
    };
    struct Pending {
        xcb_window_t win;
        xcb_window_t frame; // 0: a child of the root
    };
    struct Probe;

    bool managers(xcb_window_t win) const;
    uint32_t owner_base(xcb_window_t owner) const;
    void read_manager();
    void read_root_children();
    void classify_root_child(const RootChild& child);
    void queue(xcb_window_t win, xcb_window_t frame);
    void add_frame(xcb_window_t win, int depth);
    void drop_frame(xcb_window_t win, bool destroyed);
    void read_frames();
    void frame_read(xcb_window_t win, const std::vector<xcb_window_t>& children);
    void probe_pending();
    std::vector<Probe> probe(const std::vector<xcb_window_t>& ids);
    void find_tops(std::vector<Probe>& probes);
    bool acceptable(const Probe& p, const Pending& why) const;
    WindowState& start_tracking(const Probe& p, xcb_window_t frame);
    void apply(WindowState& w, const Probe& p);
    void name_pixmaps(const std::vector<WindowState*>& windows);
    void release_pixmap(WindowState& w);
    void repaint_whole(WindowState& w);
    void forget(WindowState& w, bool destroyed);
    void forget_all();
    std::vector<RootChild>::iterator root_child(xcb_window_t win);
    void append_frame(xcb_window_t frame);
    void build_stack();

    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    uint32_t id_mask_ = 0;
    xcb_atom_t manager_selection_ = 0;     // WM_S<screen>
    uint32_t manager_base_ = 0;            // resource-id base of the manager's client; 0: no manager
    std::vector<RootChild> root_children_; // bottom to top
    std::unordered_map<xcb_window_t, Frame> frames_;
    std::map<xcb_window_t, WindowState> windows_;
    std::vector<Pending> pending_;
    std::unordered_set<xcb_window_t> queued_;
    std::vector<WindowState*> stack_;
    bool stack_dirty_ = true;
    Region vanished_;
    std::optional<ManagerChange> manager_change_;
    unsigned resources_remade_ = 0;
};
