// The owned-reply type through which every xcb reply, error and event is held.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

// An xcb reply (or error, or event) owned by the holder and freed with free().
struct XcbFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// Waits for a reply without collecting its error (the error then arrives as
// an event on the connection, where the event handling logs it).
//   auto r = xcb_reply(xcb_get_geometry_reply, c, xcb_get_geometry(c, win));
template <typename Fn, typename Cookie>
auto xcb_reply(Fn fn, xcb_connection_t* c, Cookie cookie)
{
    using T = std::remove_pointer_t<decltype(fn(c, cookie, nullptr))>;
    return XcbReply<T>(fn(c, cookie, nullptr));
}
