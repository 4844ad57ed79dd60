// Key files: two text lines, the same layout for the secret and the public
// key (see docs/zel-format.md):
//   untrusted comment: zel secret key <KEY ID in upper-case hex>
//   <Base64 of "Ed" | key id (8) | key (64 secret, 32 public)>
// Read without following a final symbolic link and without blocking; only
// regular files; a secret key file must be private to its owner.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "verify.h"

namespace zel {
namespace {

constexpr size_t max_key_file = 1024;

struct KeyKind {
    const char* what; // "secret" or "public"
    size_t key_size;
    bool is_secret;
};
constexpr KeyKind secret_kind{"secret", ZEL_SECRET_KEY_BYTES, true};
constexpr KeyKind public_kind{"public", ZEL_PUBLIC_KEY_BYTES, false};

__attribute__((format(printf, 3, 4))) int say(char* message, size_t size, const char* fmt, ...)
{
    if (message != nullptr && size > 0) {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(message, size, fmt, ap);
        va_end(ap);
    }
    return -1;
}

std::string hex_id(const uint8_t id[ZEL_KEY_ID_BYTES])
{
    char text[ZEL_KEY_ID_TEXT_BYTES];
    zel_key_id_text(id, text);
    return text;
}

std::string comment(const KeyKind& k, const uint8_t id[ZEL_KEY_ID_BYTES])
{
    return std::string("untrusted comment: zel ") + k.what + " key " + hex_id(id);
}

// The file's text (at most max_key_file bytes), or -1 with the message.
int read_text(const KeyKind& k, const char* path, std::string& text, char* message, size_t size)
{
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return say(message, size, "%s key file %s does not exist", k.what, path);
    if (fd < 0 && errno == ELOOP)
        return say(message, size, "%s key file %s is a symbolic link", k.what, path);
    if (fd < 0 && errno == ENXIO)
        return say(message, size, "%s key file %s is not a regular file", k.what, path);
    if (fd < 0)
        return say(message, size, "%s key file %s cannot be read: %s", k.what, path, std::strerror(errno));
    struct stat st {};
    int rc = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        rc = say(message, size, "%s key file %s is not a regular file", k.what, path);
    else if (k.is_secret && (st.st_mode & 077) != 0)
        rc = say(message, size,
                 "%s key file %s has group or other permissions (mode %04o); it must be 0600 or 0400", k.what,
                 path, static_cast<unsigned>(st.st_mode & 07777));
    char buf[max_key_file + 1];
    ssize_t n = rc == 0 ? ::read(fd, buf, sizeof buf) : 0;
    int e = errno;
    ::close(fd);
    if (rc != 0) return rc;
    if (n < 0) return say(message, size, "%s key file %s cannot be read: %s", k.what, path, std::strerror(e));
    if (static_cast<size_t>(n) > max_key_file)
        return say(message, size, "%s key file %s is malformed: longer than %zu bytes", k.what, path,
                   max_key_file);
    text.assign(buf, static_cast<size_t>(n));
    sodium_memzero(buf, sizeof buf);
    return 0;
}

// Checks the two lines and takes the key out of them; a reason on failure.
const char* parse(const KeyKind& k, const std::string& text, uint8_t* key)
{
    const size_t nl = text.find('\n');
    if (nl == std::string::npos) return "it is not two lines";
    std::string body = text.substr(nl + 1);
    if (!body.empty() && body.back() == '\n') body.pop_back();
    uint8_t blob[2 + ZEL_KEY_ID_BYTES + ZEL_SECRET_KEY_BYTES + 1];
    size_t got = 0;
    const char* end = nullptr;
    if (body.empty() ||
        sodium_base642bin(blob, sizeof blob, body.data(), body.size(), nullptr, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != body.data() + body.size())
        return "the second line is not Base64";
    const uint8_t* id = blob + 2;
    const uint8_t* value = blob + 2 + ZEL_KEY_ID_BYTES;
    if (got != 2 + ZEL_KEY_ID_BYTES + k.key_size) return "the key has the wrong length";
    if (blob[0] != 'E' || blob[1] != 'd') return "it is not an Ed25519 key";
    uint8_t pk[ZEL_PUBLIC_KEY_BYTES], sk[ZEL_SECRET_KEY_BYTES], real_id[ZEL_KEY_ID_BYTES];
    if (k.is_secret) {
        crypto_sign_seed_keypair(pk, sk, value);
        bool same = sodium_memcmp(sk, value, sizeof sk) == 0;
        sodium_memzero(sk, sizeof sk);
        if (!same) return "its public half does not belong to its secret half";
    } else {
        std::memcpy(pk, value, sizeof pk);
    }
    zel_key_id(pk, real_id);
    if (std::memcmp(real_id, id, sizeof real_id) != 0) return "the key id does not match the key";
    if (text.compare(0, nl, comment(k, id)) != 0)
        return k.is_secret ? "the first line is not 'untrusted comment: zel secret key <KEY ID>'"
                           : "the first line is not 'untrusted comment: zel public key <KEY ID>'";
    std::memcpy(key, value, k.key_size);
    sodium_memzero(blob, sizeof blob);
    return nullptr;
}

int read_key(const KeyKind& k, const char* path, uint8_t* key, char* message, size_t size)
{
    if (path == nullptr || key == nullptr) return say(message, size, "no %s key file given", k.what);
    if (!crypto_ready()) return say(message, size, "the crypto library cannot start");
    std::string text;
    if (read_text(k, path, text, message, size) != 0) return -1;
    const char* why = parse(k, text, key);
    sodium_memzero(text.data(), text.size());
    if (why != nullptr) return say(message, size, "%s key file %s is malformed: %s", k.what, path, why);
    return 0;
}

std::string key_text(const KeyKind& k, const uint8_t id[ZEL_KEY_ID_BYTES], const uint8_t* key)
{
    uint8_t blob[2 + ZEL_KEY_ID_BYTES + ZEL_SECRET_KEY_BYTES] = {'E', 'd'};
    std::memcpy(blob + 2, id, ZEL_KEY_ID_BYTES);
    std::memcpy(blob + 2 + ZEL_KEY_ID_BYTES, key, k.key_size);
    const size_t n = 2 + ZEL_KEY_ID_BYTES + k.key_size;
    char b64[sodium_base64_ENCODED_LEN(sizeof blob, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(b64, sizeof b64, blob, n, sodium_base64_VARIANT_ORIGINAL);
    std::string text = comment(k, id) + "\n" + b64 + "\n";
    sodium_memzero(blob, sizeof blob);
    sodium_memzero(b64, sizeof b64);
    return text;
}

// Creates the file (never an existing one, never through a link) with the text.
int write_new(const KeyKind& k, const char* path, const std::string& text, char* message, size_t size)
{
    const mode_t mode = k.is_secret ? 0600 : 0644;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) return say(message, size, "%s key file %s already exists", k.what, path);
    if (fd < 0)
        return say(message, size, "cannot create %s key file %s: %s", k.what, path, std::strerror(errno));
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        ok = n > 0 || (n < 0 && errno == EINTR);
        if (n > 0) at += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int e = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok) return 0;
    ::unlink(path);
    return say(message, size, "cannot write %s key file %s: %s", k.what, path, std::strerror(e));
}

} // namespace

const char* parse_key_file(bool secret, const std::string& text, uint8_t* key)
{
    return parse(secret ? secret_kind : public_kind, text, key);
}

} // namespace zel

extern "C" {

int zel_key_read_secret(const char* path, uint8_t secret_key[ZEL_SECRET_KEY_BYTES], char* message,
                        size_t size)
{
    return zel::read_key(zel::secret_kind, path, secret_key, message, size);
}

int zel_key_read_public(const char* path, uint8_t public_key[ZEL_PUBLIC_KEY_BYTES], char* message,
                        size_t size)
{
    return zel::read_key(zel::public_kind, path, public_key, message, size);
}

int zel_key_generate(const char* secret_path, const char* public_path, uint8_t key_id[ZEL_KEY_ID_BYTES],
                     char* message, size_t size)
{
    using namespace zel;
    if (secret_path == nullptr || public_path == nullptr) return say(message, size, "no key file given");
    if (!crypto_ready()) return say(message, size, "the crypto library cannot start");
    uint8_t pk[ZEL_PUBLIC_KEY_BYTES], sk[ZEL_SECRET_KEY_BYTES], id[ZEL_KEY_ID_BYTES];
    crypto_sign_keypair(pk, sk);
    zel_key_id(pk, id);
    std::string secret = key_text(secret_kind, id, sk);
    sodium_memzero(sk, sizeof sk);
    int rc = write_new(secret_kind, secret_path, secret, message, size);
    sodium_memzero(secret.data(), secret.size());
    if (rc == 0 && write_new(public_kind, public_path, key_text(public_kind, id, pk), message, size) != 0) {
        ::unlink(secret_path);
        rc = -1;
    }
    if (rc == 0 && key_id != nullptr) std::memcpy(key_id, id, sizeof id);
    return rc;
}

} // extern "C"
