// Pixman regions that finish themselves.
#include "region.h"

#include <algorithm>

void Region::add(int x, int y, int width, int height, int limit_w, int limit_h)
{
    const int x1 = std::max(x, 0), y1 = std::max(y, 0);
    const int x2 = std::min(x + width, limit_w), y2 = std::min(y + height, limit_h);
    if (x1 >= x2 || y1 >= y2) return;
    pixman_region_union_rect(&r_, &r_, x1, y1, static_cast<unsigned>(x2 - x1),
                             static_cast<unsigned>(y2 - y1));
}

bool Region::contains(int x, int y, int width, int height) const
{
    pixman_box16_t box{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int16_t>(x + width),
                       static_cast<int16_t>(y + height)};
    return pixman_region_contains_rectangle(const_cast<pixman_region16_t*>(&r_), &box) == PIXMAN_REGION_IN;
}

std::span<const pixman_box16_t> Region::boxes() const
{
    int n = 0;
    const pixman_box16_t* b = pixman_region_rectangles(const_cast<pixman_region16_t*>(&r_), &n);
    return {b, static_cast<size_t>(n)};
}
