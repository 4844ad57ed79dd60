// A pixman 16-bit region that finishes itself: damage accumulators and the
// areas a frame tick composes.  Coordinates of rectangles added are clipped
// to the 16-bit range a region box can hold.
#pragma once

#include <pixman.h>
#include <xcb/xcb.h>

#include <span>

class Region {
  public:
    Region() { pixman_region_init(&r_); }
    Region(int x, int y, int width, int height) : Region() { add(x, y, width, height); }
    ~Region() { pixman_region_fini(&r_); }
    Region(const Region& other) : Region() { pixman_region_copy(&r_, &other.r_); }
    Region& operator=(const Region& other)
    {
        pixman_region_copy(&r_, &other.r_);
        return *this;
    }

    // Adds the part of the rectangle that lies within 0..limit (the screen).
    void add(int x, int y, int width, int height, int limit_w = 32767, int limit_h = 32767);
    void add(const Region& other) { pixman_region_union(&r_, &r_, &other.r_); }
    void intersect(const Region& other) { pixman_region_intersect(&r_, &r_, &other.r_); }
    void subtract(const Region& other) { pixman_region_subtract(&r_, &r_, &other.r_); }
    void translate(int dx, int dy) { pixman_region_translate(&r_, dx, dy); }
    void clear() { pixman_region_clear(&r_); }
    bool empty() const { return !pixman_region_not_empty(const_cast<pixman_region16_t*>(&r_)); }
    bool contains(int x, int y, int width, int height) const;
    std::span<const pixman_box16_t> boxes() const;

  private:
    pixman_region16_t r_;
};

inline xcb_rectangle_t rectangle_of(const pixman_box16_t& b)
{
    return {b.x1, b.y1, static_cast<uint16_t>(b.x2 - b.x1), static_cast<uint16_t>(b.y2 - b.y1)};
}
