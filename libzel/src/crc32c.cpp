// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial and final
// value inverted): the SSE4.2 instruction where the processor has it,
// otherwise slicing by eight over constant tables.
#include <array>

#include "zel_internal.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace zel {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    return t;
}

constexpr Tables tables = make_tables();

uint32_t crc32c_table(uint32_t crc, const uint8_t* p, size_t n)
{
    while (n >= 8) {
        uint32_t lo = get_u32(p) ^ crc;
        uint32_t hi = get_u32(p + 4);
        crc = tables[7][lo & 0xff] ^ tables[6][(lo >> 8) & 0xff] ^ tables[5][(lo >> 16) & 0xff] ^
              tables[4][lo >> 24] ^ tables[3][hi & 0xff] ^ tables[2][(hi >> 8) & 0xff] ^
              tables[1][(hi >> 16) & 0xff] ^ tables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) crc = (crc >> 8) ^ tables[0][(crc ^ *p++) & 0xff];
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const uint8_t* p, size_t n)
{
    uint64_t c = crc;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
        p += 8;
        n -= 8;
    }
    auto c32 = static_cast<uint32_t>(c);
    while (n--) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

bool have_sse42()
{
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}
#endif

} // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    if (have_sse42()) return ~crc32c_sse42(crc, p, size);
#endif
    return ~crc32c_table(crc, p, size);
}

} // namespace zel
