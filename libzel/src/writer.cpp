// The writer: encodes records into frames and hands each complete frame to
// the kernel before returning, so a recorder killed at any moment leaves a
// file whose complete frames all read back.  It hashes every byte it writes
// and adds the seals of the hash chain, signed when it has a key.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "codec.h"
#include "verify.h"
#include "writer.h"

namespace zel {
namespace {

// Writes all of [p, p+n) at the current end, retrying short writes and EINTR.
bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

void make_file_head(uint8_t out[file_head_size])
{
    std::memcpy(out, file_magic, sizeof file_magic);
    put_u16(out + 8, ZEL_FORMAT_VERSION);
    put_u16(out + 10, 0);
    put_u32(out + 12, crc32c(out, 12));
}

void fix_checksums(std::span<uint8_t> file)
{
    if (file.size() >= file_head_size) put_u32(file.data() + 12, crc32c(file.data(), 12));
    size_t at = file_head_size;
    while (at + frame_prefix_size <= file.size()) {
        uint8_t* f = file.data() + at;
        put_u32(f + frame_head_size, crc32c(f, frame_head_size));
        uint64_t len = get_u32(f + 4);
        if (at + frame_overhead + len > file.size()) break;
        put_u32(f + frame_prefix_size + len, crc32c(f, frame_prefix_size + len));
        at += frame_overhead + len;
    }
}

namespace {

// The frame of a record in writer->frame; false (errno set) when it cannot be stored.
bool encode_frame(ZelWriter* writer, const ZelRecord* r)
{
    std::vector<uint8_t>& f = writer->frame;
    const RecordKind* kind = kind_of(r->type);
    try {
        f.assign(frame_prefix_size, 0);
        Encoder e(f);
        if (kind == nullptr || kind->since_version == 0 || !kind->encode(r, e)) {
            errno = EINVAL;
            return false;
        }
        const size_t payload = f.size() - frame_prefix_size;
        if (payload > ZEL_MAX_PAYLOAD) {
            errno = EFBIG;
            return false;
        }
        uint8_t* h = f.data();
        h[0] = r->type;
        put_u32(h + 4, static_cast<uint32_t>(payload));
        put_u64(h + 8, r->timestamp);
        put_u32(h + frame_head_size, crc32c(h, frame_head_size));
        e.u32(crc32c(f.data(), f.size()));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    return true;
}

// Takes back a frame that was not written completely, so the file still ends
// on a frame boundary.
void take_back(ZelWriter* writer)
{
    if (::ftruncate(writer->fd, static_cast<off_t>(writer->offset)) != 0 ||
        ::lseek(writer->fd, static_cast<off_t>(writer->offset), SEEK_SET) < 0)
        writer->broken = true;
}

void written(ZelWriter* writer, const ZelRecord* r)
{
    crypto_hash_sha256_update(&writer->hash, writer->frame.data(), writer->frame.size());
    writer->offset += writer->frame.size();
    writer->any_frame = true;
    writer->last_time = r->timestamp;
    writer->last_type = r->type;
    if (r->type == ZEL_HEADER && !writer->header_seen) {
        writer->header_seen = true;
        writer->header_time = r->timestamp;
    }
}

} // namespace

// Encodes and writes one frame at the end of the file; only a frame written
// completely enters the hash chain.  A failed frame of the caller's marks
// the writer failed (zel_record_write then refuses all but the end).
bool write_frame(ZelWriter* writer, const ZelRecord* r, bool callers_record)
{
    if (writer->broken || writer->fd < 0) {
        errno = EIO;
        return false;
    }
    bool ok = encode_frame(writer, r);
    if (ok) {
        ok = write_all(writer->fd, writer->frame.data(), writer->frame.size());
        if (ok) written(writer, r);
        int e = errno;
        if (!ok) take_back(writer);
        if (!ok && callers_record) writer->failed = true;
        errno = e;
    }
    // Large frames (whole screens) would otherwise stay allocated for the life of the writer.
    if (writer->frame.capacity() > (1u << 20))
        std::vector<uint8_t>().swap(writer->frame);
    else
        writer->frame.clear();
    return ok;
}

namespace {

bool write_seal(ZelWriter* w, uint64_t timestamp, bool final)
{
    ZelSeal s{};
    s.type = ZEL_SEAL;
    s.timestamp = timestamp;
    s.offset = w->offset;
    digest_so_far(w->hash, s.chain);
    s.flags = final ? ZEL_SEAL_FINAL : 0;
    if (w->signing) {
        s.flags |= ZEL_SEAL_SIGNED;
        std::memcpy(s.key_id, w->key_id, sizeof s.key_id);
        if (!w->public_key_written) {
            s.flags |= ZEL_SEAL_PUBLIC_KEY;
            std::memcpy(s.public_key, w->secret_key + 32, sizeof s.public_key);
        }
        uint8_t message[seal_message_max];
        const size_t n = seal_message(message, ZEL_FORMAT_VERSION, w->header_time, s);
        crypto_sign_detached(s.signature, nullptr, message, n, w->secret_key);
    }
    if (!write_frame(w, reinterpret_cast<const ZelRecord*>(&s), false)) return false;
    if (s.flags & ZEL_SEAL_PUBLIC_KEY) w->public_key_written = true;
    w->seal_clock = timestamp;
    w->seal_wanted = false;
    w->final_written = final;
    return true;
}

// After a record of the caller's (and the keyframe it may have brought):
// a seal after every keyframe and once the seal period has passed; nothing
// between a copy and its frame's image record.
void seal_if_due(ZelWriter* w, const ZelRecord* r, bool keyframe)
{
    if (!w->seal_clock_set) {
        w->seal_clock_set = true;
        w->seal_clock = r->timestamp;
    }
    if (r->type == ZEL_COPY) return;
    if (keyframe || w->seal_wanted || r->timestamp >= w->seal_clock + ZEL_SEAL_PERIOD)
        (void)write_seal(w, w->last_time, false);
}

// The final seal comes right after the end-of-data record and covers it;
// without that seal the recording reads as truncated, sealed up to the seal
// before.  Tried even after a failed write, since the end is small.
int write_done(ZelWriter* w, const ZelRecord* done)
{
    if (!write_frame(w, done, true)) return -1;
    w->done_written = true;
    return write_seal(w, done->timestamp, true) ? 0 : -1;
}

// Opens an existing path that O_EXCL found taken: only an empty regular file
// is used.
int open_existing(const char* filename)
{
    struct stat st {};
    if (::lstat(filename, &st) != 0) return -1;
    int e = S_ISLNK(st.st_mode) ? ELOOP : !S_ISREG(st.st_mode) ? EINVAL : st.st_size != 0 ? EEXIST : 0;
    int fd = e == 0 ? ::open(filename, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd < 0 && e == 0) e = errno == ENXIO || errno == EISDIR ? EINVAL : errno;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0)) {
        e = S_ISREG(st.st_mode) && st.st_size != 0 ? EEXIST : EINVAL;
        ::close(fd);
        fd = -1;
    }
    errno = e;
    return fd;
}

// The write lock that tells readers the file is being written; true when
// held, or when the file system has no such locks.
bool lock_file(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EACCES) errno = EAGAIN;
    return errno != EAGAIN;
}

// The file at exactly this path, new (mode 0600) or empty, locked; -1 with
// errno as zel.h lists.
int open_file(const char* filename, bool* created)
{
    int fd = ::open(filename, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    *created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = open_existing(filename);
    if (fd < 0) return -1;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        (*created && ::fchmod(fd, 0600) != 0) || !lock_file(fd)) {
        int e = errno;
        ::close(fd);
        if (*created) ::unlink(filename);
        errno = e;
        return -1;
    }
    return fd;
}

} // namespace
} // namespace zel

extern "C" {

ZelWriter* zel_writer_open(const char* filename)
{
    if (filename == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!zel::crypto_ready()) return nullptr;
    bool created = false;
    int fd = zel::open_file(filename, &created);
    if (fd < 0) return nullptr;
    auto* w = new (std::nothrow) zel_writer;
    uint8_t head[zel::file_head_size];
    zel::make_file_head(head);
    int e = ENOMEM;
    if (w != nullptr && zel::write_all(fd, head, sizeof head)) {
        w->fd = fd;
        w->offset = sizeof head;
        crypto_hash_sha256_init(&w->hash);
        crypto_hash_sha256_update(&w->hash, head, sizeof head);
        return w;
    }
    if (w != nullptr) e = errno;
    if (::ftruncate(fd, 0) != 0) { /* nothing more to do */
    }
    ::close(fd);
    if (created) ::unlink(filename);
    delete w;
    errno = e;
    return nullptr;
}

int zel_record_write(ZelWriter* writer, const void* record)
{
    const auto* r = static_cast<const ZelRecord*>(record);
    if (writer == nullptr || r == nullptr || r->type == ZEL_SEAL || writer->done_written) {
        errno = EINVAL;
        return -1;
    }
    if (r->type == ZEL_DONE) return zel::write_done(writer, r);
    if (writer->failed) {
        errno = EIO;
        return -1;
    }
    if (!zel::write_frame(writer, r, true)) return -1;
    // a keyframe of the caller's (a recorder that keeps the screen itself) or of the writer's
    bool keyframe = r->type == ZEL_KEYFRAME;
    if (writer->keyframe_interval > 0) keyframe = zel::follow(writer, r) || keyframe;
    zel::seal_if_due(writer, r, keyframe);
    return 0;
}

int zel_writer_seal(ZelWriter* writer, uint64_t timestamp)
{
    if (writer == nullptr || writer->final_written) {
        errno = EINVAL;
        return -1;
    }
    if (writer->done_written) return zel::write_seal(writer, writer->last_time, true) ? 0 : -1;
    if (writer->failed) {
        errno = EIO;
        return -1;
    }
    if (writer->last_type == ZEL_COPY) {
        writer->seal_wanted = true;
        return 0;
    }
    return zel::write_seal(writer, timestamp, false) ? 0 : -1;
}

int zel_file_is_being_written(int fd)
{
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
    return lock.l_type == F_UNLCK ? 0 : 1;
}

void zel_writer_set_keyframe_interval(ZelWriter* writer, uint64_t bytes)
{
    if (writer != nullptr) writer->keyframe_interval = bytes;
}

int zel_writer_set_signing_key(ZelWriter* writer, const uint8_t secret_key[ZEL_SECRET_KEY_BYTES])
{
    uint8_t pk[ZEL_PUBLIC_KEY_BYTES], sk[ZEL_SECRET_KEY_BYTES];
    if (writer == nullptr || secret_key == nullptr || writer->any_frame) {
        errno = EINVAL;
        return -1;
    }
    crypto_sign_seed_keypair(pk, sk, secret_key);
    bool same = sodium_memcmp(sk, secret_key, sizeof sk) == 0;
    sodium_memzero(sk, sizeof sk);
    if (!same) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(writer->secret_key, secret_key, sizeof writer->secret_key);
    zel_key_id(pk, writer->key_id);
    writer->signing = true;
    return 0;
}

uint64_t zel_writer_size(const ZelWriter* writer)
{
    return writer != nullptr ? writer->offset : 0;
}

int zel_writer_digest(const ZelWriter* writer, uint8_t out[ZEL_DIGEST_BYTES])
{
    if (writer == nullptr || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    zel::digest_so_far(writer->hash, out);
    return 0;
}

int zel_writer_close(ZelWriter* writer)
{
    if (writer == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int rc = 0;
    if (::fsync(writer->fd) != 0 && errno != EINVAL && errno != EROFS) rc = -1;
    int e = errno;
    if (::close(writer->fd) != 0) {
        rc = -1;
        e = errno;
    }
    zel_replay_free(writer->shadow);
    sodium_memzero(writer->secret_key, sizeof writer->secret_key);
    delete writer;
    if (rc != 0) errno = e;
    return rc;
}

} // extern "C"
