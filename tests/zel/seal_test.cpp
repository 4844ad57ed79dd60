// Seals: the writer's hash chain and signatures, the verdicts of the
// verifier on cut and tampered recordings, and the key files.
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "../../libzel/src/zel_internal.h"
#include "zel_test_util.h"

using namespace zeltest;
using zel::get_u32;

namespace {

// 47 s of a small screen: pointer moves and blocks every 2.5 s, then a
// plain block record and the end.
void session(Records& rs)
{
    rs.header(t0, 32, 32);
    for (uint64_t i = 1, t = t0 + 2'500'000; i <= 18; ++i, t += 2'500'000)
        i % 3 ? rs.move(t, int16_t(i), 3) : rs.block(t, 8, 8, 4, 4, int(i));
    const uint16_t plain[12] = {4, 4, 2, 2, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555, 0x5555};
    rs.add(ZelImageBlocks{ZEL_IMAGE_BLOCKS, t0 + 46'000'000, 24, dup(plain, 24)});
    rs.done(t0 + 47'000'000);
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
        for (size_t i = 0; i < all.records.size(); ++i)
            frames[all.records[i]->type].push_back(i ? all.ends[i - 1] : 16);
    }
    TempDir dir;
    uint8_t sk[64], pk[32];
    Records rs;
    std::vector<uint8_t> bytes;
    ReadResult all;
    std::map<uint8_t, std::vector<uint64_t>> frames; // offsets by type
};

TEST_F(Signed, SealsAreWrittenByTheRulesAndHold)
{
    std::string order;
    for (auto& r : all.records) order += r->type == ZEL_SEAL ? 'S' : r->type == ZEL_KEYFRAME ? 'K' : '.';
    // After 10 s, 10 s later, after the 30 s keyframe, 10 s later, and the final seal after the end.
    EXPECT_EQ(order, ".....S....S....KS....S....S");
    uint8_t id[8];
    zel_key_id(pk, id);
    const auto* first = reinterpret_cast<const ZelSeal*>(all.records[order.find('S')].get());
    const auto* last = reinterpret_cast<const ZelSeal*>(all.records[order.rfind('S')].get());
    EXPECT_TRUE(first->flags == (ZEL_SEAL_SIGNED | ZEL_SEAL_PUBLIC_KEY) &&
                first->offset == frames[ZEL_SEAL][0]);
    EXPECT_TRUE(last->flags == (ZEL_SEAL_SIGNED | ZEL_SEAL_FINAL) && std::memcmp(last->key_id, id, 8) == 0);
    for (const uint8_t* key : {static_cast<const uint8_t*>(nullptr), static_cast<const uint8_t*>(pk)}) {
        ZelVerification v = verify_memory(bytes, key);
        EXPECT_EQ(v.verdict, ZEL_VERDICT_COMPLETE) << v.reason;
        EXPECT_TRUE(v.seals == 5 && v.is_signed && v.key_checked == (key != nullptr));
        EXPECT_TRUE(std::memcmp(v.key_id, id, 8) == 0 && v.sealed_bytes == frames[ZEL_SEAL].back());
    }
    // Unsigned: the same chain, no signatures.
    ZelVerification v = verify_memory(recording(rs));
    EXPECT_TRUE(v.verdict == ZEL_VERDICT_COMPLETE && v.seals == 5 && !v.is_signed) << v.reason;
    EXPECT_EQ(verify_memory(recording(rs), pk).verdict, ZEL_VERDICT_NOT_AUTHENTIC);
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
        ZelVerification v = verify_memory(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)), pk);
        ASSERT_EQ(v.verdict, ZEL_VERDICT_TRUNCATED) << "cut at " << cut << ": " << v.reason;
        ASSERT_EQ(v.sealed_bytes, sealed) << "cut at " << cut;
        ASSERT_EQ(v.sealed_time, time) << "cut at " << cut;
    }
}

// What an attacker can change while keeping every checksum right.
TEST_F(Signed, TamperingThatKeepsTheChecksumsIsNotAuthentic)
{
    const std::vector<uint64_t> moves = frames[ZEL_CURSOR_POSITION];
    auto cut = [&](uint64_t from, uint64_t to) {
        std::vector<uint8_t> b(bytes.begin(), bytes.begin() + long(from));
        b.insert(b.end(), bytes.begin() + long(to), bytes.end());
        return b;
    };
    std::vector<std::vector<uint8_t>> cases(4, bytes);
    cases[0][frames[ZEL_IMAGE_BLOCKS][0] + 20 + 4 + 8] ^= 0x01; // one pixel of a block
    cases[1] = cut(moves[0], moves[1]);                         // a record removed
    std::copy_n(bytes.begin() + long(moves[1]), 28, cases[2].begin() + long(moves[0])); // two records swapped
    std::copy_n(bytes.begin() + long(moves[0]), 28, cases[2].begin() + long(moves[1]));
    cases[3] = cut(frames[ZEL_SEAL][3] + 24 + 113, frames[ZEL_DONE][0]); // cut after a seal, an end appended
    std::vector<uint8_t> unsigned_bytes = recording(rs);
    for (const std::vector<uint8_t>* b : {&bytes, &unsigned_bytes}) { // the end an hour later, another reason
        const std::vector<uint64_t> ends = read_memory(*b, true).ends;
        const uint64_t done = ends[ends.size() - 3];
        cases.push_back(*b);
        zel::put_u64(cases.back().data() + done + 8, t0 + 3'647'000'000);
        cases.push_back(*b);
        cases.back()[done + 20] = ZEL_END_DISPLAY_GONE;
    }
    Records again;
    session(again);
    uint8_t other_sk[64], other_pk[32];
    crypto_sign_keypair(other_pk, other_sk);
    cases.push_back(recording(again, other_sk)); // signed again with another key: only the key tells
    for (size_t i = 0; i + 1 < cases.size(); ++i) {
        zel::fix_checksums(cases[i]);
        ASSERT_EQ(read_memory(cases[i]).status, ZEL_READ_END) << i;
        write_file(dir.file("t.zel"), cases[i]);
        Outcome o = zeldump({"--verify", dir.file("t.zel")});
        EXPECT_EQ(o.status, 4) << i << ": " << o.out << o.err;
        EXPECT_EQ(o.out.rfind(dir.file("t.zel") + ": not authentic: ", 0), 0u) << o.out;
    }
    write_file(dir.file("t.zel"), cases.back());
    EXPECT_EQ(zeldump({"--verify", "--key", dir.file("k.pub"), dir.file("t.zel")}).status, 4);
    EXPECT_EQ(verify_memory(cases.back()).verdict, ZEL_VERDICT_COMPLETE);
}

// Damage anywhere: corrupt at the first, and every damaged span is told by bytes and record time; the
// records around them are all read.
TEST_F(Signed, EveryDamagedSpanIsToldAndTheRestIsRead)
{
    const uint64_t move = frames[ZEL_CURSOR_POSITION][2], block = frames[ZEL_COMPRESSED_IMAGE_BLOCKS][1],
                   plain = frames[ZEL_IMAGE_BLOCKS][0], final = frames[ZEL_SEAL].back();
    auto time_at = [&](uint64_t offset) {
        for (size_t i = 0; i < all.records.size(); ++i)
            if ((i ? all.ends[i - 1] : 16) == offset) return all.records[i]->timestamp;
        return uint64_t{0};
    };
    auto end_of = [&](uint64_t offset) { return offset + 24 + get_u32(bytes.data() + offset + 4); };
    auto after = [&](uint64_t offset) { return time_at(end_of(offset)); };
    auto before = [&](uint64_t offset) {
        return all.records[size_t(std::find(all.ends.begin(), all.ends.end(), offset) - all.ends.begin())]
            ->timestamp;
    };
    std::vector<uint8_t> flipped = bytes, garbage = bytes, unfit = bytes, last = bytes;
    flipped[move + 21] ^= 0x40;
    flipped[block + 30] ^= 0x01;
    garbage.insert(garbage.begin() + long(block), 100, 0x13);
    unfit[plain + 20 + 4 + 6] = 99; // the block's height passes its rows
    zel::fix_checksums(unfit);
    last[final + 30] ^= 0x01;
    const struct {
        const std::vector<uint8_t>& file;
        std::vector<ZelDamage> spans;
        size_t lost; // frames not read
    } cases[] = {
        {flipped,
         {{move, end_of(move), before(move), after(move)},
          {block, end_of(block), before(block), after(block)}},
         2},
        {garbage, {{block, block + 100, before(block), time_at(block)}}, 0},
        {unfit, {{plain, end_of(plain), before(plain), after(plain)}}, 0},
        {last, {{final, bytes.size(), before(final), 0}}, 1},
    };
    for (const auto& c : cases) {
        ZelReader* reader = zel_reader_open_memory(c.file.data(), c.file.size());
        ZelVerifier* v = zel_verifier_new(pk);
        ASSERT_EQ(zel_verifier_run(v, reader), 0);
        ZelVerification result;
        zel_verifier_result(v, &result);
        std::vector<ZelDamage> spans(zel_verifier_damage(v, nullptr, 0));
        zel_verifier_damage(v, spans.data(), spans.size());
        EXPECT_EQ(result.verdict, ZEL_VERDICT_CORRUPT) << result.reason;
        EXPECT_EQ(result.problem_offset, c.spans[0].from);
        EXPECT_EQ(result.records, all.records.size() - c.lost);
        ASSERT_EQ(spans.size(), c.spans.size()) << c.spans[0].from;
        for (size_t i = 0; i < spans.size(); ++i)
            EXPECT_TRUE(std::memcmp(&spans[i], &c.spans[i], sizeof spans[i]) == 0)
                << c.spans[0].from << ": " << spans[i].from << "-" << spans[i].to << " "
                << spans[i].time_before << "-" << spans[i].time_after;
        zel_verifier_free(v);
        zel_reader_close(reader);
    }
}

// Key files: what zel_key_generate made reads back; what a reader refuses,
// with the message it gives.
TEST_F(Signed, KeyFilesAreCheckedBeforeUse)
{
    struct stat st {};
    EXPECT_TRUE(::stat(dir.file("k.sec").c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(std::memcmp(pk, sk + 32, 32), 0);
    char m[256];
    EXPECT_NE(zel_key_generate(dir.file("k.sec").c_str(), dir.file("new.pub").c_str(), nullptr, m, sizeof m),
              0);
    EXPECT_NE(::access(dir.file("new.pub").c_str(), F_OK), 0) << "nothing left behind";
    ASSERT_EQ(::symlink(dir.file("k.sec").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    write_file(dir.file("shared"), read_file(dir.file("k.sec")));
    ::chmod(dir.file("shared").c_str(), 0640);
    ::chmod(dir.file("k.pub").c_str(), 0600);
    const std::pair<std::string, std::string> cases[] = {
        {"link", " is a symbolic link"},
        {"fifo", " is not a regular file"},
        {"shared", " has group or other permissions (mode 0640); it must be 0600 or 0400"},
        {"missing", " does not exist"},
        {"k.pub", " is malformed: the key has the wrong length"},
    };
    for (const auto& [name, message] : cases) {
        EXPECT_EQ(zel_key_read_secret(dir.file(name).c_str(), sk, m, sizeof m), -1) << name;
        EXPECT_EQ(std::string(m), "secret key file " + dir.file(name) + message);
    }
}

} // namespace
