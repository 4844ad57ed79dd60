// The manifest beside a --png or --video export, so that someone who gets
// only the export can check where it came from: the recording's name, the
// SHA-256 of the bytes verified (the whole file, as sha256sum prints it),
// the verdict and key id, the damaged spans, and the time range exported.
// For a shipped recording: its s3:// URL, the SHA-256 of the bytes read back
// from the store, and the verdict of --verify (the store's included).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <sodium.h>

#include "frames.h"
#include "store.h"

namespace zeldump {
namespace {

// SHA-256 of the file's first size bytes as lower-case hex; "" with errno on failure.
std::string file_digest(const std::string& path, uint64_t size)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<uint8_t> buf(1 << 20);
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, buf.data(), std::min<uint64_t>(buf.size(), size - done), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        crypto_hash_sha256_update(&state, buf.data(), static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    const int e = done == size ? 0 : errno != 0 ? errno : EIO;
    ::close(fd);
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    if (e != 0) errno = e;
    return e == 0 ? hex(digest, sizeof digest) : "";
}

std::string damage_list(const std::vector<ZelDamage>& damage)
{
    std::string out = "[";
    char span[64];
    for (const ZelDamage& d : damage) {
        std::snprintf(span, sizeof span, "%s{\"from\":%" PRIu64 ",\"to\":%" PRIu64 "}",
                      out.size() > 1 ? "," : "", d.from, d.to);
        out.append(span);
    }
    return out.append("]");
}

std::string seconds(double s)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", s);
    return b;
}

std::string text(const char* s)
{
    return quoted(reinterpret_cast<const uint8_t*>(s));
}

} // namespace

bool write_manifest(const Options& o, const std::string& path, const char* kind, uint64_t base, double from,
                    double to, uint64_t frames)
{
    uint8_t key[ZEL_PUBLIC_KEY_BYTES];
    Verified v;
    if (!read_public_key(o, key) || !verify_file(o, o.key.empty() ? nullptr : key, v)) return false;
    const bool stored = is_store_url(o.file);
    const std::string digest = stored ? store_digest(o, v.size) : file_digest(o.file, v.size);
    if (digest.empty()) {
        if (!stored)
            std::fprintf(stderr, "zeldump: cannot read %s: %s\n", o.file.c_str(), std::strerror(errno));
        return false;
    }
    const ZelVerification& r = v.result;
    // a shipped recording by its URL: its last part alone could be any recording's
    const std::string name = stored ? o.file : std::filesystem::path(o.file).filename().string();
    const auto at = [base](double t) { return std::to_string(base + static_cast<uint64_t>(t * 1e6 + 0.5)); };
    const std::pair<const char*, std::string> fields[] = {
        {"recording", text(name.c_str())},
        {"size", std::to_string(v.size)},
        {"sha256", digest},
        {"verdict", text(zel_verdict_to_string(r.verdict))},
        {"reason", text(r.reason)},
        {"format_version", std::to_string(r.format_version)},
        {"signed", r.is_signed ? "true" : "false"},
        {"key_id", r.is_signed ? text(key_id_text(r.key_id).c_str()) : "null"},
        {"key_checked", r.key_checked ? "true" : "false"},
        {"sealed_bytes", std::to_string(r.sealed_bytes)},
        {"damaged", damage_list(v.damage)},
        {"export", text(kind)},
        {"from", seconds(from)},
        {"from_timestamp", at(from)},
        {"to", seconds(to)},
        {"to_timestamp", at(to)},
        {"frames", std::to_string(frames)},
    };
    std::string json = "{\n";
    for (const auto& [name_of, value] : fields)
        json.append("  \"").append(name_of).append("\": ").append(value).append(",\n");
    json.replace(json.size() - 2, 2, "\n}\n");
    FILE* f = std::fopen(path.c_str(), "w");
    const bool ok = f != nullptr && std::fputs(json.c_str(), f) >= 0;
    if ((f != nullptr && std::fclose(f) != 0) || !ok) {
        std::fprintf(stderr, "zeldump: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace zeldump
