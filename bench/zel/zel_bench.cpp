// libzel benchmarks.
//   compression: zstd levels and lz4 on captured screens (ratio, MB/s)
//   writer: records and MB per second into a file
//   reader and replay: frames per second of a 1920x1080 recording
//   hash chain: SHA-256 MB/s, an Ed25519 signature, the writer's cost per
//   record with hashing and seals, verifying a recording
// Captured screens come from bench/zel/capture-screens.sh; point
// ZEL_BENCH_CAPTURES at its folder.  Without it a synthetic text screen is used.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <unistd.h>
#include <zstd.h>
#if ZEL_BENCH_LZ4
#include <lz4.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "zel.h"
#include "zel_synthetic.h"

namespace {

struct Capture {
    std::string name;
    uint32_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> pixels;
};

std::vector<uint8_t> read_file(const std::string& path)
{
    std::vector<uint8_t> out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    return out;
}

uint32_t le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<Capture> load_captures()
{
    std::vector<Capture> out;
    if (const char* dir = std::getenv("ZEL_BENCH_CAPTURES")) {
        std::vector<std::filesystem::path> files;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".zcap") files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::vector<uint8_t> b = read_file(f.string());
            if (b.size() < 20 || std::memcmp(b.data(), "ZCAP", 4) != 0) continue;
            Capture c{f.stem().string(), le32(&b[4]), le32(&b[8]), le32(&b[12]), {}};
            c.pixels.assign(b.begin() + 20, b.end());
            if (c.pixels.size() == static_cast<size_t>(c.stride) * c.height) out.push_back(std::move(c));
        }
    }
    if (out.empty()) { // a terminal's text: light strokes on a dark ground
        const zelsynth::TextScreen text(1920, 1080);
        out.push_back(Capture{"synthetic-text", 1920, 1080, text.stride(), text.pixels()});
    }
    return out;
}

const std::vector<Capture>& captures()
{
    static const std::vector<Capture> c = load_captures();
    return c;
}

void report(benchmark::State& state, size_t in, size_t out)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in));
    state.counters["ratio"] = out ? static_cast<double>(in) / static_cast<double>(out) : 0;
    state.counters["compressed_bytes"] = static_cast<double>(out);
}

void zstd_compress(benchmark::State& state, const Capture* c, int level)
{
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    std::vector<uint8_t> out(ZSTD_compressBound(c->pixels.size()));
    size_t n = 0;
    for (auto _ : state) {
        n = ZSTD_compressCCtx(cctx, out.data(), out.size(), c->pixels.data(), c->pixels.size(), level);
        benchmark::DoNotOptimize(n);
    }
    ZSTD_freeCCtx(cctx);
    report(state, c->pixels.size(), n);
}

void zstd_decompress(benchmark::State& state, const Capture* c, int level)
{
    std::vector<uint8_t> packed(ZSTD_compressBound(c->pixels.size())), back(c->pixels.size());
    packed.resize(ZSTD_compress(packed.data(), packed.size(), c->pixels.data(), c->pixels.size(), level));
    ZSTD_DCtx* d = ZSTD_createDCtx();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ZSTD_decompressDCtx(d, back.data(), back.size(), packed.data(), packed.size()));
    ZSTD_freeDCtx(d);
    report(state, c->pixels.size(), packed.size());
}

#if ZEL_BENCH_LZ4
void lz4_compress(benchmark::State& state, const Capture* c)
{
    std::vector<char> out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(c->pixels.size()))));
    int n = 0;
    for (auto _ : state) {
        n = LZ4_compress_default(reinterpret_cast<const char*>(c->pixels.data()), out.data(),
                                 static_cast<int>(c->pixels.size()), static_cast<int>(out.size()));
        benchmark::DoNotOptimize(n);
    }
    report(state, c->pixels.size(), static_cast<size_t>(n));
}
#endif

// The library call the compressor makes for a full screen.
void library_image_compress(benchmark::State& state, const Capture* c)
{
    ZelImage img{ZEL_IMAGE,
                 0,
                 static_cast<uint16_t>(c->width),
                 static_cast<uint16_t>(c->height),
                 0,
                 0,
                 xRGB8888,
                 32,
                 c->stride,
                 static_cast<uint32_t>(c->pixels.size()),
                 const_cast<uint8_t*>(c->pixels.data())};
    size_t n = 0;
    for (auto _ : state) {
        ZelCompressedImage* z = zel_image_compress(&img);
        n = z->compressed_length;
        zel_record_free(z);
    }
    report(state, c->pixels.size(), n);
}

// Blocks records as the compressor emits them: `count` 32x32 blocks of the capture.
std::vector<uint8_t> blocks_of(const Capture& c, int count, std::mt19937& rng)
{
    std::vector<uint8_t> data;
    const int cols = static_cast<int>(c.width / 32), rows = static_cast<int>(c.height / 32);
    for (int k = 0; k < count; ++k) {
        int16_t x = static_cast<int16_t>(static_cast<int>(rng() % static_cast<unsigned>(cols)) * 32);
        int16_t y = static_cast<int16_t>(static_cast<int>(rng() % static_cast<unsigned>(rows)) * 32);
        uint16_t w = 32, h = 32;
        uint8_t rect[8];
        std::memcpy(rect, &x, 2);
        std::memcpy(rect + 2, &y, 2);
        std::memcpy(rect + 4, &w, 2);
        std::memcpy(rect + 6, &h, 2);
        data.insert(data.end(), rect, rect + 8);
        for (int r = 0; r < 32; ++r) {
            const uint8_t* src =
                c.pixels.data() + static_cast<size_t>(y + r) * c.stride + static_cast<size_t>(x) * 4;
            data.insert(data.end(), src, src + 128);
        }
    }
    return data;
}

void library_blocks_compress(benchmark::State& state, const Capture* c)
{
    std::mt19937 rng(5);
    std::vector<uint8_t> data = blocks_of(*c, static_cast<int>(state.range(0)), rng);
    ZelImageBlocks b{ZEL_IMAGE_BLOCKS, 0, static_cast<uint32_t>(data.size()), data.data()};
    size_t n = 0;
    for (auto _ : state) {
        ZelCompressedImageBlocks* z = zel_image_blocks_compress(&b);
        n = z->compressed_length;
        zel_record_free(z);
    }
    report(state, data.size(), n);
}

std::string temp_path(const char* name)
{
    return (std::filesystem::temp_directory_path() /
            (std::string("zelbench-") + std::to_string(::getpid()) + "-" + name))
        .string();
}

// Writer: compressed records of a fixed size, as fast as they can go.
void writer_throughput(benchmark::State& state)
{
    const auto size = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> payload(size);
    std::mt19937 rng(9);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    ZelCompressedImageBlocks rec{ZEL_COMPRESSED_IMAGE_BLOCKS, 1, size * 4, size, payload.data()};
    std::string path = temp_path("writer.zel");
    ZelWriter* w = zel_writer_open(path.c_str());
    int64_t n = 0;
    for (auto _ : state) {
        if (zel_record_write(w, &rec) != 0) state.SkipWithError("write failed");
        ++n;
    }
    zel_writer_close(w);
    std::filesystem::remove(path);
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * (size + 33));
}

// The hash chain: SHA-256 over buffers of this size (the writer hashes each
// frame once, in its own thread).
void sha256_throughput(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
    crypto_hash_sha256_state h;
    crypto_hash_sha256_init(&h);
    for (auto _ : state) crypto_hash_sha256_update(&h, data.data(), data.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// An Ed25519 signature of one seal's 59-byte message.
void seal_signature(benchmark::State& state)
{
    uint8_t pk[32], sk[64], sig[64], message[59] = {};
    crypto_sign_keypair(pk, sk);
    for (auto _ : state) crypto_sign_detached(sig, nullptr, message, sizeof message, sk);
}

// The writer's cost per record, hashing and seals included: cursor positions
// (the smallest frame) or 64 KiB block records, 10 a second of record time
// (a seal every 100 records), unsigned (0) or signed (1).
void writer_per_record(benchmark::State& state)
{
    const bool blocks = state.range(0) != 0;
    std::vector<uint8_t> payload(65536);
    std::mt19937 rng(9);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    ZelCompressedImageBlocks block{ZEL_COMPRESSED_IMAGE_BLOCKS, 1, 65536 * 4, 65536, payload.data()};
    ZelCursorPosition move{ZEL_CURSOR_POSITION, 1, 10, 20};
    std::string path = temp_path("writer.zel");
    ZelWriter* w = zel_writer_open(path.c_str());
    uint8_t pk[32], sk[64];
    crypto_sign_keypair(pk, sk);
    if (state.range(1) != 0 && zel_writer_set_signing_key(w, sk) != 0) state.SkipWithError("no key");
    uint64_t t = 1;
    for (auto _ : state) {
        t += 100000;
        block.timestamp = move.timestamp = t;
        if (zel_record_write(w, blocks ? static_cast<const void*>(&block)
                                       : static_cast<const void*>(&move)) != 0)
            state.SkipWithError("write failed");
    }
    zel_writer_close(w);
    std::filesystem::remove(path);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// A 1920x1080 recording: one full screen then frames of `blocks` changed blocks.
struct Recording {
    std::string path;
    std::vector<uint8_t> bytes;
    int frames = 0;
};

Recording make_recording(int frames, int blocks)
{
    const Capture& c = captures().front();
    Recording r{temp_path("reader.zel"), {}, frames};
    ZelWriter* w = zel_writer_open(r.path.c_str());
    zelsynth::Records rs;
    rs.header(1000, static_cast<uint16_t>(c.width), static_cast<uint16_t>(c.height));
    rs.screen(1000, static_cast<uint16_t>(c.width), static_cast<uint16_t>(c.height), c.pixels, c.stride);
    bool ok = rs.write_to(w);
    std::mt19937 rng(11);
    for (int f = 1; f < frames && ok; ++f) {
        rs.blocks(1000 + static_cast<uint64_t>(f) * 100000, blocks_of(c, blocks, rng));
        ok = rs.write_to(w);
    }
    rs.done(1000 + static_cast<uint64_t>(frames) * 100000);
    ok = rs.write_to(w) && ok;
    if (zel_writer_close(w) != 0 || !ok) std::fprintf(stderr, "bench_zel: cannot write %s\n", r.path.c_str());
    r.bytes = read_file(r.path);
    std::filesystem::remove(r.path);
    return r;
}

const Recording& recording()
{
    static const Recording r = make_recording(300, 100); // 30 s, ~5% of the blocks per frame
    return r;
}

// mode 0: read and check only; 1: also replay; 2: also render RGBA.
void read_recording(benchmark::State& state)
{
    const Recording& r = recording();
    const int mode = static_cast<int>(state.range(0));
    std::vector<uint8_t> rgba(1920u * 1080 * 4);
    for (auto _ : state) {
        ZelReader* reader = zel_reader_open_memory(r.bytes.data(), r.bytes.size());
        ZelReplay* replay = zel_replay_new();
        ZelRecord* rec = nullptr;
        while (zel_reader_next(reader, &rec) == ZEL_READ_RECORD) {
            if (mode >= 1 && zel_replay_apply(replay, rec) != 0) state.SkipWithError("replay failed");
            if (mode >= 2 && rec->type == ZEL_COMPRESSED_IMAGE_BLOCKS)
                benchmark::DoNotOptimize(zel_replay_render_rgba(replay, rgba.data(), rgba.size(), 1));
            zel_record_free(rec);
        }
        zel_replay_free(replay);
        zel_reader_close(reader);
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(r.frames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(r.bytes.size()));
}

// zel_verify: every checksum, the replay, and the hash chain.
void verify_recording(benchmark::State& state)
{
    const Recording& r = recording();
    for (auto _ : state) {
        ZelReader* reader = zel_reader_open_memory(r.bytes.data(), r.bytes.size());
        ZelVerification v;
        if (zel_verify(reader, nullptr, &v) != ZEL_VERDICT_COMPLETE) state.SkipWithError(v.reason);
        zel_reader_close(reader);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(r.bytes.size()));
}

void register_all()
{
    for (const Capture& c : captures()) {
        for (int level : {1, 3, 6, 9, 19})
            benchmark::RegisterBenchmark(("compress/" + c.name + "/zstd-" + std::to_string(level)).c_str(),
                                         zstd_compress, &c, level)
                ->Unit(benchmark::kMillisecond);
#if ZEL_BENCH_LZ4
        benchmark::RegisterBenchmark(("compress/" + c.name + "/lz4").c_str(), lz4_compress, &c)
            ->Unit(benchmark::kMillisecond);
#endif
        for (int level : {1, 3})
            benchmark::RegisterBenchmark(("decompress/" + c.name + "/zstd-" + std::to_string(level)).c_str(),
                                         zstd_decompress, &c, level)
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zel_image_compress/" + c.name).c_str(), library_image_compress, &c)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zel_image_blocks_compress/" + c.name).c_str(), library_blocks_compress,
                                     &c)
            ->Arg(20)
            ->Arg(200)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("writer/compressed_blocks_bytes", writer_throughput)
        ->Arg(4096)
        ->Arg(65536)
        ->Arg(1 << 20);
    benchmark::RegisterBenchmark("sha256/bytes", sha256_throughput)->Arg(4096)->Arg(1 << 20);
    benchmark::RegisterBenchmark("seal/ed25519_sign", seal_signature)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("writer/per_record", writer_per_record)
        ->ArgNames({"blocks", "signed"})
        ->Args({0, 0})
        ->Args({0, 1})
        ->Args({1, 0})
        ->Args({1, 1})
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("recording_1920x1080/verify", verify_recording)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("recording_1920x1080/read_replay_render", read_recording)
        ->Arg(0)
        ->Arg(1)
        ->Arg(2)
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv)
{
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
