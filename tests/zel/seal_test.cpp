// Seals: the writer's hash chain and signatures, the verdicts of the
// verifier on cut and tampered recordings, and the key files.
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../libzel/src/zel_internal.h"
#include "zel_test_util.h"

using namespace zeltest;

namespace {

// 45 s of a small screen: blocks, plain blocks and pointer moves every 2.5 s.
void session(Records& rs)
{
    add_header(rs, t0, 32, 32);
    for (int i = 1; i <= 18; ++i) {
        const uint64_t t = t0 + static_cast<uint64_t>(i) * 2'500'000;
        if (i % 3 == 0)
            add_block(rs, t, 8, 8, 4, 4, i);
        else
            *rs.add<ZelCursorPosition>(ZEL_CURSOR_POSITION, t) = {ZEL_CURSOR_POSITION, t,
                                                                  static_cast<int16_t>(i), 3};
    }
    std::vector<uint8_t> plain(8 + 2 * 2 * 4, 0x55);
    const uint16_t rect[4] = {4, 4, 2, 2};
    std::memcpy(plain.data(), rect, 8);
    *rs.add<ZelImageBlocks>(ZEL_IMAGE_BLOCKS, t0 + 46'000'000) = {ZEL_IMAGE_BLOCKS, t0 + 46'000'000, 24,
                                                                  dup_bytes(plain)};
    rs.add<ZelRecord>(ZEL_DONE, t0 + 47'000'000);
}

struct Signed : ::testing::Test {
    void SetUp() override
    {
        char m[256];
        ASSERT_EQ(
            zel_key_generate(dir.file("k.sec").c_str(), dir.file("k.pub").c_str(), nullptr, m, sizeof m), 0);
        ASSERT_EQ(zel_key_read_secret(dir.file("k.sec").c_str(), sk, m, sizeof m), 0) << m;
        ASSERT_EQ(zel_key_read_public(dir.file("k.pub").c_str(), pk, m, sizeof m), 0) << m;
        session(rs);
        bytes = recording(rs, sk);
        all = read_memory(bytes, true);
    }
    // Offsets of the frames of this type.
    std::vector<uint64_t> frames(uint8_t type) const
    {
        std::vector<uint64_t> out;
        for (size_t i = 0; i < all.records.size(); ++i)
            if (all.records[i]->type == type) out.push_back(i == 0 ? 16 : all.ends[i - 1]);
        return out;
    }
    TempDir dir;
    uint8_t sk[64], pk[32];
    Records rs;
    std::vector<uint8_t> bytes;
    ReadResult all;
};

TEST_F(Signed, SealsAreWrittenByTheRulesAndHold)
{
    std::string order;
    for (auto& r : all.records) order += r->type == ZEL_SEAL ? 'S' : r->type == ZEL_KEYFRAME ? 'K' : '.';
    // After 10 s, 10 s after that, after the 30 s keyframe, 10 s later, and the final seal.
    EXPECT_EQ(order, ".....S....S....KS....S...S.");
    const std::vector<uint64_t> seals = frames(ZEL_SEAL);
    uint8_t id[8];
    zel_key_id(pk, id);
    size_t n = 0;
    for (auto& r : all.records) {
        if (r->type != ZEL_SEAL) continue;
        const auto* s = reinterpret_cast<const ZelSeal*>(r.get());
        EXPECT_EQ(s->offset, seals[n]);
        const unsigned last = n + 1 == seals.size() ? ZEL_SEAL_FINAL : 0;
        EXPECT_EQ(s->flags, (n == 0 ? ZEL_SEAL_SIGNED | ZEL_SEAL_PUBLIC_KEY : ZEL_SEAL_SIGNED) | last) << n;
        EXPECT_EQ(std::memcmp(s->key_id, id, 8), 0);
        ++n;
    }
    for (const uint8_t* key : {static_cast<const uint8_t*>(nullptr), static_cast<const uint8_t*>(pk)}) {
        ZelVerification v = verify_memory(bytes, key);
        EXPECT_EQ(v.verdict, ZEL_VERDICT_COMPLETE) << v.reason;
        EXPECT_EQ(v.seals, 5u);
        EXPECT_EQ(v.is_signed, 1);
        EXPECT_EQ(v.key_checked, key != nullptr);
        EXPECT_EQ(std::memcmp(v.key_id, id, 8), 0);
        EXPECT_EQ(v.sealed_bytes, seals.back());
    }
    // Unsigned: the same chain, no signatures; the digest is that of the file.
    ZelWriter* w = zel_writer_open(dir.file("u.zel").c_str());
    for (ZelRecord* r : rs) ASSERT_EQ(zel_record_write(w, r), 0);
    uint8_t digest[32], expected[32];
    ASSERT_EQ(zel_writer_digest(w, digest), 0);
    ASSERT_EQ(zel_writer_close(w), 0);
    std::vector<uint8_t> unsigned_bytes = read_file(dir.file("u.zel"));
    crypto_hash_sha256(expected, unsigned_bytes.data(), unsigned_bytes.size());
    EXPECT_EQ(std::memcmp(digest, expected, 32), 0);
    ZelVerification v = verify_memory(unsigned_bytes);
    EXPECT_EQ(v.verdict, ZEL_VERDICT_COMPLETE) << v.reason;
    EXPECT_EQ(v.is_signed, 0);
    EXPECT_EQ(verify_memory(unsigned_bytes, pk).verdict, ZEL_VERDICT_NOT_AUTHENTIC);
}

// Cut anywhere: truncated, sealed up to the last complete seal before the cut.
TEST_F(Signed, EveryCutIsTruncatedWithItsSealedPrefix)
{
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        uint64_t sealed = 0, time = 0;
        for (size_t i = 0; i < all.records.size(); ++i)
            if (all.records[i]->type == ZEL_SEAL && all.ends[i] <= cut) {
                sealed = all.ends[i - 1];
                time = all.records[i - 1]->timestamp;
            }
        ZelVerification v =
            verify_memory(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)), pk);
        ASSERT_EQ(v.verdict, ZEL_VERDICT_TRUNCATED) << "cut at " << cut << ": " << v.reason;
        ASSERT_EQ(v.sealed_bytes, sealed) << "cut at " << cut;
        ASSERT_EQ(v.sealed_time, time) << "cut at " << cut;
    }
}

// Changes an attacker can make while keeping every checksum right.
TEST_F(Signed, TamperingThatKeepsTheChecksumsIsNotAuthentic)
{
    const std::vector<uint64_t> seals = frames(ZEL_SEAL), moves = frames(ZEL_CURSOR_POSITION);
    const uint64_t plain = frames(ZEL_IMAGE_BLOCKS)[0];
    auto cut = [&](uint64_t from, uint64_t to) {
        std::vector<uint8_t> b(bytes.begin(), bytes.begin() + static_cast<long>(from));
        b.insert(b.end(), bytes.begin() + static_cast<long>(to), bytes.end());
        return b;
    };
    std::vector<std::vector<uint8_t>> cases;
    cases.push_back(bytes);
    cases.back()[plain + 20 + 4 + 8] ^= 0x01; // one pixel of a block
    cases.push_back(cut(moves[0], moves[1])); // a record removed
    std::vector<uint8_t> swapped = bytes;     // two records of one size swapped
    std::copy(bytes.begin() + static_cast<long>(moves[1]), bytes.begin() + static_cast<long>(moves[1] + 28),
              swapped.begin() + static_cast<long>(moves[0]));
    std::copy(bytes.begin() + static_cast<long>(moves[0]), bytes.begin() + static_cast<long>(moves[0] + 28),
              swapped.begin() + static_cast<long>(moves[1]));
    cases.push_back(swapped);
    cases.push_back(cut(seals[3] + 24 + 113, bytes.size() - 24)); // the end cut after a seal, the done kept
    Records other_rs;
    session(other_rs);
    uint8_t other_sk[64], other_pk[32];
    crypto_sign_keypair(other_pk, other_sk);
    cases.push_back(recording(other_rs, other_sk)); // signed again with another key
    for (size_t i = 0; i < cases.size(); ++i) {
        zel::fix_checksums(cases[i]);
        ASSERT_EQ(read_memory(cases[i]).status, ZEL_READ_END) << i;
        write_file(dir.file("t.zel"), cases[i]);
        Outcome o = zeldump({"--verify", "--key", dir.file("k.pub"), dir.file("t.zel")});
        EXPECT_EQ(o.status, 4) << i << ": " << o.out << o.err;
        EXPECT_EQ(o.out.rfind(dir.file("t.zel") + ": not authentic: ", 0), 0u) << o.out;
    }
    // Without the key, the recording signed again holds: only a key tells.
    EXPECT_EQ(verify_memory(cases.back()).verdict, ZEL_VERDICT_COMPLETE);
}

// Key files: what a reader refuses, with the message it gives.
TEST(Keys, KeyFilesAreCheckedBeforeUse)
{
    TempDir dir;
    const std::string s = dir.file("k.sec"), p = dir.file("k.pub");
    uint8_t id[8], sk[64], pk[32];
    char m[256];
    ASSERT_EQ(zel_key_generate(s.c_str(), p.c_str(), id, m, sizeof m), 0) << m;
    struct stat st {};
    ASSERT_EQ(::stat(s.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(zel_key_read_secret(s.c_str(), sk, m, sizeof m), 0) << m;
    ASSERT_EQ(zel_key_read_public(p.c_str(), pk, m, sizeof m), 0) << m;
    EXPECT_EQ(std::memcmp(pk, sk + 32, 32), 0);
    const std::vector<uint8_t> secret = read_file(s);
    EXPECT_NE(zel_key_generate(s.c_str(), dir.file("other.pub").c_str(), id, m, sizeof m), 0);
    EXPECT_EQ(read_file(s), secret) << "never overwritten";
    EXPECT_NE(::access(dir.file("other.pub").c_str(), F_OK), 0);

    ASSERT_EQ(::symlink(s.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    write_file(dir.file("shared"), secret);
    ::chmod(dir.file("shared").c_str(), 0640);
    std::vector<uint8_t> bad_id = secret;
    bad_id[34] = bad_id[34] == 'A' ? 'B' : 'A'; // the comment's key id
    write_file(dir.file("bad-id"), bad_id);
    ::chmod(dir.file("bad-id").c_str(), 0600);
    const std::pair<std::string, std::string> cases[] = {
        {"link", "secret key file " + dir.file("link") + " is a symbolic link"},
        {"fifo", "secret key file " + dir.file("fifo") + " is not a regular file"},
        {"shared", "secret key file " + dir.file("shared") +
                       " has group or other permissions (mode 0640); it must be 0600 or 0400"},
        {"missing", "secret key file " + dir.file("missing") + " does not exist"},
        {"k.pub", "secret key file " + p + " is malformed: the key has the wrong length"},
        {"bad-id", "secret key file " + dir.file("bad-id") +
                       " is malformed: the first line is not 'untrusted comment: zel secret key <KEY ID>'"},
    };
    ::chmod(p.c_str(), 0600);
    for (const auto& [name, message] : cases) {
        EXPECT_EQ(zel_key_read_secret(dir.file(name).c_str(), sk, m, sizeof m), -1) << name;
        EXPECT_EQ(std::string(m), message);
    }
    EXPECT_EQ(zel_key_read_public(dir.file("fifo").c_str(), pk, m, sizeof m), -1);
    EXPECT_EQ(std::string(m), "public key file " + dir.file("fifo") + " is not a regular file");
}

} // namespace
