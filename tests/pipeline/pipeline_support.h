// Shared pieces of the image pipeline tests: screen geometries, images with
// a recognisable pixel pattern, GetImage replies built in memory, and a
// reference model of the framebuffer to compare the operations with.
#pragma once

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "compressor.h"
#include "zel.h"

namespace pipeline {

// A pixel geometry as the X server reports it for a root depth.
struct Geometry {
    const char* name;
    PixelFormat format;
    uint8_t bits_per_pixel;
    uint8_t scanline_pad;
    unsigned bytes() const { return bits_per_pixel / 8u; }
    uint32_t stride(uint32_t width) const { return stride_in_bytes(width, bits_per_pixel, scanline_pad); }
    void apply() const { compressor_geometry_set(format, bits_per_pixel, scanline_pad); }
};

inline const Geometry kDepth8{"depth8", PALETTE8, 8, 32};
inline const Geometry kDepth16{"depth16", RGB565, 16, 32};
inline const Geometry kDepth24{"depth24", xRGB8888, 32, 32};
inline const Geometry kGeometries[] = {kDepth8, kDepth16, kDepth24};

inline void PrintTo(const Geometry& g, std::ostream* os)
{
    *os << g.name;
}

inline std::string geometry_name(const ::testing::TestParamInfo<Geometry>& p)
{
    return p.param.name;
}

// A distinct byte for every (seed, x, y, byte) so that a pixel copied from
// the wrong place, or a byte moved within a pixel, shows.
inline uint8_t pattern_byte(uint32_t seed, int x, int y, unsigned byte)
{
    uint32_t v = seed * 2654435761u ^ static_cast<uint32_t>(x) * 40503u ^ static_cast<uint32_t>(y) * 9973u ^
                 byte * 0x9E3779B9u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    v ^= v >> 15;
    return static_cast<uint8_t>(v | 1u); // never 0, so cleared pixels show
}

// Bytes in the padding of image rows, which must never reach a frame.
inline constexpr uint8_t kPadByte = 0xEE;

// An image owned by the test (not a record), laid out like a ZPixmap reply.
struct TestImage {
    ZelImage view{};
    std::vector<uint8_t> storage;

    TestImage(const Geometry& g, int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t seed)
    {
        const uint32_t stride = g.stride(w);
        storage.assign(static_cast<size_t>(stride) * h, kPadByte);
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col)
                for (unsigned b = 0; b < g.bytes(); ++b)
                    storage[static_cast<size_t>(row) * stride + static_cast<size_t>(col) * g.bytes() + b] =
                        pattern_byte(seed, col, row, b);
        view.type = ZEL_IMAGE;
        view.x = x;
        view.y = y;
        view.width = w;
        view.height = h;
        view.pixel_format = g.format;
        view.scanline_pad = g.scanline_pad;
        view.bytes_per_line = stride;
        view.length = static_cast<uint32_t>(storage.size());
        view.data = storage.data();
    }
};

// A GetImage reply as libxcb hands it over: one malloc'd block, the data
// right after the 32-byte head, its length in 4-byte units.
inline xcb_get_image_reply_t* make_reply(const TestImage& image)
{
    const size_t bytes = image.storage.size();
    auto* reply = static_cast<xcb_get_image_reply_t*>(std::calloc(1, sizeof(xcb_get_image_reply_t) + bytes));
    reply->response_type = XCB_GET_IMAGE;
    reply->length = static_cast<uint32_t>((bytes + 3) / 4);
    std::memcpy(xcb_get_image_data(reply), image.storage.data(), bytes);
    return reply;
}

// The frame's pixels as a plain array of width x height pixels of
// bytes-per-pixel bytes each, no padding: the reference the operations are
// compared with.
struct Model {
    unsigned bpp;
    int width;
    int height;
    std::vector<uint8_t> pixels;

    Model(const Geometry& g, int w, int h)
        : bpp(g.bytes()), width(w), height(h), pixels(static_cast<size_t>(w) * h * g.bytes(), 0)
    {
    }

    uint8_t* at(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * bpp]; }

    void merge(const TestImage& image)
    {
        const ZelImage& v = image.view;
        for (int row = 0; row < v.height; ++row)
            for (int col = 0; col < v.width; ++col) {
                const int x = v.x + col;
                const int y = v.y + row;
                if (x < 0 || y < 0 || x >= width || y >= height) continue;
                std::memcpy(at(x, y), &image.storage[static_cast<size_t>(row) * v.bytes_per_line + col * bpp],
                            bpp);
            }
    }

    void clear(Rectangle r)
    {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                if (x >= 0 && y >= 0 && x < width && y < height) std::memset(at(x, y), 0, bpp);
    }
};

// Whether the frame holds exactly the model's pixels, and nothing but zero
// in its row padding.
inline ::testing::AssertionResult frame_equals(const Geometry& g, const ZelImage* frame, Model& model)
{
    if (frame->width != model.width || frame->height != model.height)
        return ::testing::AssertionFailure() << "frame is " << frame->width << "x" << frame->height;
    const uint32_t stride = g.stride(frame->width);
    for (int y = 0; y < model.height; ++y) {
        const uint8_t* row = frame->data + static_cast<size_t>(y) * stride;
        for (int x = 0; x < model.width; ++x)
            if (std::memcmp(row + static_cast<size_t>(x) * g.bytes(), model.at(x, y), g.bytes()) != 0)
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") differs";
        for (uint32_t b = model.width * g.bytes(); b < stride; ++b)
            if (row[b] != 0)
                return ::testing::AssertionFailure() << "pad byte " << b << " of row " << y << " written";
    }
    return ::testing::AssertionSuccess();
}

} // namespace pipeline
