// The digests an upload carries: SHA-256 (libsodium) for x-amz-content-sha256
// and the manifests, MD5 (OpenSSL's libcrypto, which libcurl already brings
// in) for Content-MD5 and to match S3's ETag of a single-part upload.
#pragma once

#include <sodium.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zelship {

using Sha256 = std::array<uint8_t, 32>;
using Md5 = std::array<uint8_t, 16>;

struct Digests {
    Sha256 sha256{};
    Md5 md5{};
};

// Both digests of bytes in memory.
Digests digest(std::span<const uint8_t> bytes);
// Both digests of `length` bytes of an open file from `offset`; false with
// errno when they cannot be read (the file shrank: EIO).
[[nodiscard]] bool digest_file(int fd, uint64_t offset, uint64_t length, Digests& out);

// A running SHA-256.
class Sha256Stream {
  public:
    Sha256Stream();
    void add(std::span<const uint8_t> bytes);
    Sha256 finish();

  private:
    crypto_hash_sha256_state state_{};
};

std::string hex(std::span<const uint8_t> bytes);
// Lower-case hex back to bytes; false unless it is exactly that many bytes.
[[nodiscard]] bool from_hex(std::string_view text, std::span<uint8_t> out);
std::string base64(std::span<const uint8_t> bytes);

} // namespace zelship
