// Image compression with zstd.  The compressor thread calls this for every
// frame, so each thread keeps one compression context for its lifetime
// instead of allocating one per frame.
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "zel_internal.h"

namespace zel {
namespace {

// Chosen from the screen-content measurements in docs/compression.md.
constexpr int compression_level = 1;
// No frame may need a window above 2^25 bytes (decoders in browsers go no
// further).  Set explicitly, at the window level 1 uses for screens anyway
// (2^19); zstd lowers it further for smaller inputs.
constexpr int window_log = 19;
static_assert(window_log <= 25);

struct ThreadContexts {
    ZSTD_CCtx* cctx = nullptr;
    ZSTD_DCtx* dctx = nullptr;
    ThreadContexts() = default;
    ThreadContexts(const ThreadContexts&) = delete;
    ThreadContexts& operator=(const ThreadContexts&) = delete;
    ~ThreadContexts()
    {
        ZSTD_freeCCtx(cctx);
        ZSTD_freeDCtx(dctx);
    }
};

thread_local ThreadContexts contexts;

// The thread's compression context, reset for a new frame of n bytes;
// nullptr (errno ENOMEM) without memory.
ZSTD_CCtx* fresh_context(size_t n)
{
    if (contexts.cctx == nullptr && (contexts.cctx = ZSTD_createCCtx()) == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    ZSTD_CCtx* c = contexts.cctx;
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, compression_level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0); // every frame has its own CRC-32C
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 0);
    ZSTD_CCtx_setPledgedSrcSize(c, n);
    return c;
}

// Compresses n bytes into a new malloc'ed block; nullptr on failure.
uint8_t* compress(const uint8_t* data, size_t n, uint32_t* out_length)
{
    if (n > ZEL_MAX_UNCOMPRESSED || (data == nullptr && n != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    ZSTD_CCtx* c = fresh_context(n);
    if (c == nullptr) return nullptr;
    size_t bound = ZSTD_compressBound(n);
    auto* out = static_cast<uint8_t*>(std::malloc(bound == 0 ? 1 : bound));
    if (out == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    static const uint8_t nothing = 0;
    size_t got = ZSTD_compress2(c, out, bound, n == 0 ? &nothing : data, n);
    if (ZSTD_isError(got) || got > UINT32_MAX) {
        std::free(out);
        errno = ZSTD_isError(got) ? ENOMEM : EINVAL; // with valid input only allocation can fail
        return nullptr;
    }
    // Give back the unused tail of the bound.
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(out, got == 0 ? 1 : got))) out = shrunk;
    *out_length = static_cast<uint32_t>(got);
    return out;
}

// Decompresses exactly `length` bytes; nullptr (errno EINVAL or ENOMEM) otherwise.
uint8_t* decompress(const uint8_t* data, uint32_t compressed_length, uint32_t length)
{
    if (length > ZEL_MAX_UNCOMPRESSED || (data == nullptr && compressed_length != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    // The frame states its size: refuse before allocating when it differs.
    unsigned long long declared = ZSTD_getFrameContentSize(data, compressed_length);
    if (declared != length) {
        errno = EINVAL;
        return nullptr;
    }
    if (contexts.dctx == nullptr) {
        contexts.dctx = ZSTD_createDCtx();
        if (contexts.dctx == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    auto* out = static_cast<uint8_t*>(std::malloc(length == 0 ? 1 : length));
    if (out == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t got = ZSTD_decompressDCtx(contexts.dctx, out, length, data, compressed_length);
    if (ZSTD_isError(got) || got != length) {
        std::free(out);
        errno = EINVAL;
        return nullptr;
    }
    return out;
}

} // namespace

bool decompress_into(const uint8_t* data, uint32_t compressed_length, uint32_t length,
                     std::vector<uint8_t>& out)
{
    if (length > ZEL_MAX_UNCOMPRESSED || (data == nullptr && compressed_length != 0) ||
        ZSTD_getFrameContentSize(data, compressed_length) != length) {
        errno = EINVAL;
        return false;
    }
    if (contexts.dctx == nullptr && (contexts.dctx = ZSTD_createDCtx()) == nullptr) {
        errno = ENOMEM;
        return false;
    }
    try {
        out.resize(length);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    size_t got = ZSTD_decompressDCtx(contexts.dctx, out.data(), length, data, compressed_length);
    if (ZSTD_isError(got) || got != length) {
        errno = EINVAL;
        return false;
    }
    return true;
}

namespace {

template <typename T>
T* new_record()
{
    return static_cast<T*>(std::calloc(1, sizeof(T)));
}

// What a cursor image and its compressed form share, all but the pixels.
template <typename To, typename From>
void copy_cursor_fields(To* to, const From* from, ZelRecordType type)
{
    to->type = static_cast<uint8_t>(type);
    to->timestamp = from->timestamp;
    to->width = from->width;
    to->height = from->height;
    to->x = from->x;
    to->y = from->y;
    to->xhot = from->xhot;
    to->yhot = from->yhot;
    to->cursor_serial = from->cursor_serial;
    to->length = from->length;
}

} // namespace
} // namespace zel

extern "C" {

ZelCompressedImage* zel_image_compress(const ZelImage* image)
{
    if (image == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* c = zel::new_record<ZelCompressedImage>();
    if (c == nullptr) return nullptr;
    c->data = zel::compress(image->data, image->length, &c->compressed_length);
    if (c->data == nullptr) {
        std::free(c);
        return nullptr;
    }
    c->type = ZEL_COMPRESSED_IMAGE;
    c->timestamp = image->timestamp;
    c->width = image->width;
    c->height = image->height;
    c->x = image->x;
    c->y = image->y;
    c->pixel_format = image->pixel_format;
    c->scanline_pad = image->scanline_pad;
    c->length = image->length;
    return c;
}

ZelCompressedImageBlocks* zel_image_blocks_compress(const ZelImageBlocks* blocks)
{
    if (blocks == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* c = zel::new_record<ZelCompressedImageBlocks>();
    if (c == nullptr) return nullptr;
    c->data = zel::compress(blocks->data, blocks->length, &c->compressed_length);
    if (c->data == nullptr) {
        std::free(c);
        return nullptr;
    }
    c->type = ZEL_COMPRESSED_IMAGE_BLOCKS;
    c->timestamp = blocks->timestamp;
    c->length = blocks->length;
    return c;
}

struct zel_blocks_builder {
    uint32_t length = 0; // the uncompressed bytes the record will hold
    uint32_t added = 0;
    uint8_t* out = nullptr;
    size_t used = 0;
    size_t capacity = 0;
    bool failed = false;
    ~zel_blocks_builder() { std::free(out); }
};

namespace zel {
namespace {

// Runs the stream with the given input (and end directive) until it is
// taken, growing the output as needed.
bool stream(ZelBlocksBuilder* b, const void* data, size_t n, ZSTD_EndDirective directive)
{
    ZSTD_inBuffer in{data, n, 0};
    for (;;) {
        if (b->capacity - b->used < ZSTD_CStreamOutSize()) {
            const size_t grown = b->capacity + std::max<size_t>(ZSTD_CStreamOutSize(), b->capacity / 2);
            auto* p = static_cast<uint8_t*>(std::realloc(b->out, grown));
            if (p == nullptr) return false;
            b->out = p;
            b->capacity = grown;
        }
        ZSTD_outBuffer out{b->out, b->capacity, b->used};
        const size_t left = ZSTD_compressStream2(contexts.cctx, &out, &in, directive);
        b->used = out.pos;
        if (ZSTD_isError(left)) return false;
        if (in.pos == in.size && (directive == ZSTD_e_continue || left == 0)) return true;
    }
}

} // namespace
} // namespace zel

ZelBlocksBuilder* zel_blocks_begin(uint32_t length)
{
    if (length > ZEL_MAX_UNCOMPRESSED) {
        errno = EINVAL;
        return nullptr;
    }
    if (zel::fresh_context(length) == nullptr) return nullptr;
    auto* b = new (std::nothrow) zel_blocks_builder;
    if (b == nullptr) errno = ENOMEM;
    if (b != nullptr) b->length = length;
    return b;
}

int zel_blocks_add(ZelBlocksBuilder* b, const void* data, size_t n)
{
    if (b == nullptr || b->failed || n > b->length - b->added || (data == nullptr && n != 0)) {
        if (b != nullptr) b->failed = true;
        errno = EINVAL;
        return -1;
    }
    b->added += static_cast<uint32_t>(n);
    if (n > 0 && !zel::stream(b, data, n, ZSTD_e_continue)) b->failed = true;
    return b->failed ? -1 : 0;
}

ZelCompressedImageBlocks* zel_blocks_end(ZelBlocksBuilder* b, uint64_t timestamp)
{
    if (b == nullptr) return nullptr;
    ZelCompressedImageBlocks* c = nullptr;
    if (!b->failed && b->added == b->length && zel::stream(b, nullptr, 0, ZSTD_e_end) &&
        (c = zel::new_record<ZelCompressedImageBlocks>()) != nullptr) {
        *c = ZelCompressedImageBlocks{ZEL_COMPRESSED_IMAGE_BLOCKS, timestamp, b->length,
                                      static_cast<uint32_t>(b->used), b->out};
        b->out = nullptr;
    } else {
        errno = b->failed || b->added != b->length ? EINVAL : ENOMEM;
    }
    delete b;
    return c;
}

ZelCompressedCursorImage* zel_cursor_image_compress(const ZelCursorImage* cursor)
{
    const uint64_t pixels = cursor != nullptr ? static_cast<uint64_t>(cursor->width) * cursor->height : 0;
    if (cursor == nullptr || cursor->length != pixels || pixels > ZEL_MAX_UNCOMPRESSED / 4 ||
        (cursor->data == nullptr && pixels != 0)) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize(static_cast<size_t>(pixels) * 4);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
    for (size_t i = 0; i < pixels; ++i) zel::put_u32(bytes.data() + 4 * i, cursor->data[i]);
    auto* c = zel::new_record<ZelCompressedCursorImage>();
    if (c == nullptr) return nullptr;
    c->data = zel::compress(bytes.data(), bytes.size(), &c->compressed_length);
    if (c->data == nullptr) {
        std::free(c);
        return nullptr;
    }
    zel::copy_cursor_fields(c, cursor, ZEL_COMPRESSED_CURSOR_IMAGE);
    return c;
}

ZelCursorImage* zel_cursor_image_decompress(const ZelCompressedCursorImage* cursor)
{
    if (cursor == nullptr || cursor->length != static_cast<uint32_t>(cursor->width) * cursor->height ||
        cursor->length > ZEL_MAX_UNCOMPRESSED / 4) {
        errno = EINVAL;
        return nullptr;
    }
    auto* i = zel::new_record<ZelCursorImage>();
    if (i == nullptr) return nullptr;
    uint8_t* bytes = zel::decompress(cursor->data, cursor->compressed_length, cursor->length * 4);
    i->data = bytes != nullptr
                  ? static_cast<uint32_t*>(std::malloc(cursor->length == 0 ? 1 : cursor->length * 4u))
                  : nullptr;
    if (i->data == nullptr) {
        int e = bytes != nullptr ? ENOMEM : errno;
        std::free(bytes);
        std::free(i);
        errno = e;
        return nullptr;
    }
    for (uint32_t k = 0; k < cursor->length; ++k) i->data[k] = zel::get_u32(bytes + 4 * k);
    std::free(bytes);
    zel::copy_cursor_fields(i, cursor, ZEL_CURSOR_IMAGE);
    return i;
}

ZelImage* zel_image_decompress(const ZelCompressedImage* image)
{
    if (image == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* i = zel::new_record<ZelImage>();
    if (i == nullptr) return nullptr;
    i->data = zel::decompress(image->data, image->compressed_length, image->length);
    if (i->data == nullptr) {
        std::free(i);
        return nullptr;
    }
    i->type = ZEL_IMAGE;
    i->timestamp = image->timestamp;
    i->width = image->width;
    i->height = image->height;
    i->x = image->x;
    i->y = image->y;
    i->pixel_format = image->pixel_format;
    i->scanline_pad = image->scanline_pad;
    uint8_t bpp = pixel_format_bytes_per_pixel(image->pixel_format);
    i->bytes_per_line =
        bpp == 0 ? 0 : stride_in_bytes(image->width, static_cast<uint8_t>(bpp * 8), image->scanline_pad);
    i->length = image->length;
    return i;
}

ZelImageBlocks* zel_image_blocks_decompress(const ZelCompressedImageBlocks* blocks)
{
    if (blocks == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* b = zel::new_record<ZelImageBlocks>();
    if (b == nullptr) return nullptr;
    b->data = zel::decompress(blocks->data, blocks->compressed_length, blocks->length);
    if (b->data == nullptr) {
        std::free(b);
        return nullptr;
    }
    b->type = ZEL_IMAGE_BLOCKS;
    b->timestamp = blocks->timestamp;
    b->length = blocks->length;
    return b;
}

} // extern "C"
