// Internals shared by the libzel sources: the on-disk framing constants,
// little-endian helpers and CRC-32C.  Not installed; not part of zel.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "zel.h"

namespace zel {

// File start: 8 magic bytes, format version (u16), flags (u16), CRC-32C of
// the 12 bytes before it.
inline constexpr unsigned char file_magic[8] = {0x89, 'Z', 'E', 'L', '\r', '\n', 0x1a, '\n'};
inline constexpr size_t file_head_size = 16;

// Frame: type (u8), flags (u8), reserved (u16), payload length (u32),
// timestamp (u64), head CRC-32C (u32) | payload | frame CRC-32C (u32).
inline constexpr size_t frame_head_size = 16;
inline constexpr size_t frame_prefix_size = frame_head_size + 4;
inline constexpr size_t frame_overhead = frame_prefix_size + 4;

// Compression methods of compressed payloads.
inline constexpr uint8_t method_zstd = 1;

uint32_t crc32c(uint32_t crc, const void* data, size_t size);
inline uint32_t crc32c(const void* data, size_t size)
{
    return crc32c(0, data, size);
}

inline void put_u16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get_u16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get_u64(const uint8_t* p)
{
    return static_cast<uint64_t>(get_u32(p)) | (static_cast<uint64_t>(get_u32(p + 4)) << 32);
}

// Decompresses a zstd frame of exactly `length` bytes into out (resized,
// its capacity reused); false with errno EINVAL or ENOMEM otherwise.
bool decompress_into(const uint8_t* data, uint32_t compressed_length, uint32_t length,
                     std::vector<uint8_t>& out);

// The whole file start for this library's format version.
void make_file_head(uint8_t out[file_head_size]);

// Rewrites every head and frame checksum of a framed buffer in place, as far
// as the frames' lengths reach (for fuzzing the payload parsers).
void fix_checksums(std::span<uint8_t> file);

// Checks the text of a key file (public, or secret when `secret`): null with
// the key copied into `key` (room for a secret key), or why it is malformed.
const char* parse_key_file(bool secret, const std::string& text, uint8_t* key);

} // namespace zel
