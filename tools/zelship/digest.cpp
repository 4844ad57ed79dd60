#include "digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace zelship {

namespace {

struct MdFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Md5Context = std::unique_ptr<EVP_MD_CTX, MdFree>;

Md5Context md5_begin()
{
    Md5Context c(EVP_MD_CTX_new());
    if (!c || EVP_DigestInit_ex(c.get(), EVP_md5(), nullptr) != 1) std::abort();
    return c;
}

Md5 md5_finish(EVP_MD_CTX* c)
{
    Md5 out{};
    unsigned n = 0;
    if (EVP_DigestFinal_ex(c, out.data(), &n) != 1 || n != out.size()) std::abort();
    return out;
}

} // namespace

Sha256Stream::Sha256Stream()
{
    if (sodium_init() < 0) std::abort();
    crypto_hash_sha256_init(&state_);
}

void Sha256Stream::add(std::span<const uint8_t> bytes)
{
    crypto_hash_sha256_update(&state_, bytes.data(), bytes.size());
}

Sha256 Sha256Stream::finish()
{
    Sha256 out{};
    crypto_hash_sha256_final(&state_, out.data());
    return out;
}

Digests digest(std::span<const uint8_t> bytes)
{
    Sha256Stream sha;
    sha.add(bytes);
    Md5Context md5 = md5_begin();
    EVP_DigestUpdate(md5.get(), bytes.data(), bytes.size());
    return Digests{sha.finish(), md5_finish(md5.get())};
}

bool digest_file(int fd, uint64_t offset, uint64_t length, Digests& out)
{
    Sha256Stream sha;
    Md5Context md5 = md5_begin();
    std::vector<uint8_t> buffer(1u << 20);
    for (uint64_t done = 0; done < length;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return false;
        }
        const std::span<const uint8_t> piece(buffer.data(), static_cast<size_t>(got));
        sha.add(piece);
        EVP_DigestUpdate(md5.get(), piece.data(), piece.size());
        done += static_cast<uint64_t>(got);
    }
    out = Digests{sha.finish(), md5_finish(md5.get())};
    return true;
}

std::string hex(std::span<const uint8_t> bytes)
{
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
    out.pop_back();
    return out;
}

bool from_hex(std::string_view text, std::span<uint8_t> out)
{
    if (text.size() != out.size() * 2) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    size_t n = 0;
    return sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &n, nullptr) == 0 &&
           n == out.size();
}

std::string base64(std::span<const uint8_t> bytes)
{
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

} // namespace zelship
