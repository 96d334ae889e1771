// Cipher and body-coding throughput, each next to its reference in the same run.
//   build/bin/protocol_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "protocol/Blowfish.h"
#include "protocol/TransportData.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
    std::mt19937 rng(42);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// Sector-like content: mostly structured, partly random, as ATA replies are.
std::vector<std::uint8_t> BodyLike(std::size_t n) {
    std::mt19937 rng(9);
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = (i / 512) % 3 == 0 ? static_cast<std::uint8_t>(rng()) : static_cast<std::uint8_t>(i);
    return v;
}

constexpr std::size_t kCipherBytes = 64 * 1024;

void BM_BlowfishEcb_Ours(benchmark::State& state) {
    zkv::CBlowfish bf;
    bf.SetKey(zkv::kBuiltinKey.data(), zkv::kBuiltinKey.size());
    auto buf = RandomBytes(kCipherBytes);
    for (auto _ : state) {
        bf.EncryptEcb(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCipherBytes));
}
BENCHMARK(BM_BlowfishEcb_Ours);

// Each path this processor can run, to see what the run-time choice picked from.
void BM_BlowfishEcb_Path(benchmark::State& state) {
    const auto& paths = zkv::CBlowfish::SupportedPaths();
    if (static_cast<std::size_t>(state.range(0)) >= paths.size()) {
        state.SkipWithError("path not supported here");
        return;
    }
    const auto path = paths[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(zkv::CBlowfish::PathName(path));
    zkv::CBlowfish bf;
    bf.SetKey(zkv::kBuiltinKey.data(), zkv::kBuiltinKey.size());
    auto buf = RandomBytes(kCipherBytes);
    for (auto _ : state) {
        bf.EncryptEcb(path, buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCipherBytes));
}
BENCHMARK(BM_BlowfishEcb_Path)->DenseRange(0, 2);

void BM_BlowfishEcb_OpenSSL(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(zkv::kBuiltinKey.size()), zkv::kBuiltinKey.data());
    auto buf = RandomBytes(kCipherBytes);
    for (auto _ : state) {
        for (std::size_t off = 0; off < buf.size(); off += 8)
            BF_ecb_encrypt(buf.data() + off, buf.data() + off, &key, BF_ENCRYPT);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCipherBytes));
}
BENCHMARK(BM_BlowfishEcb_OpenSSL);

constexpr std::size_t kBodyBytes = 64 * 1024;

// Content 0: sector-like (two thirds structured), 1: random (incompressible, the worst case).
std::vector<std::uint8_t> Content(std::int64_t which) {
    return which == 0 ? BodyLike(kBodyBytes) : RandomBytes(kBodyBytes);
}

void BM_EncodeDecode64K_Transport(benchmark::State& state) {
    zkv::TransportData t;
    const auto plain = Content(state.range(0));
    for (auto _ : state) {
        zkv::PacketRecord p;
        p.body = plain;
        p.header.plainLength = static_cast<std::int32_t>(plain.size());
        t.Encode(p);
        if (t.Decode(p) != zkv::DecodeResult::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(p.body.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_EncodeDecode64K_Transport)->Arg(0)->Arg(1);

void BM_EncodeDecode64K_BareZlib(benchmark::State& state) {
    const auto plain = Content(state.range(0));
    for (auto _ : state) {
        std::vector<std::uint8_t> z(compressBound(plain.size()));
        uLongf zlen = z.size();
        compress2(z.data(), &zlen, plain.data(), plain.size(), 9);
        std::vector<std::uint8_t> out(plain.size());
        uLongf outLen = out.size();
        uncompress(out.data(), &outLen, z.data(), zlen);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_EncodeDecode64K_BareZlib)->Arg(0)->Arg(1);

// Bare zlib level 9 with its two states kept and reset between bodies, as the transport keeps
// them: what is left over this is the cipher and the copies.
void BM_EncodeDecode64K_BareZlibReused(benchmark::State& state) {
    const auto plain = Content(state.range(0));
    z_stream d{}, i{};
    deflateInit(&d, 9);
    inflateInit(&i);
    std::vector<std::uint8_t> z(compressBound(plain.size())), out(plain.size());
    for (auto _ : state) {
        deflateReset(&d);
        d.next_in = const_cast<Bytef*>(plain.data());
        d.avail_in = static_cast<uInt>(plain.size());
        d.next_out = z.data();
        d.avail_out = static_cast<uInt>(z.size());
        deflate(&d, Z_FINISH);
        inflateReset(&i);
        i.next_in = z.data();
        i.avail_in = static_cast<uInt>(d.total_out);
        i.next_out = out.data();
        i.avail_out = static_cast<uInt>(out.size());
        inflate(&i, Z_FINISH);
        benchmark::DoNotOptimize(out.data());
    }
    deflateEnd(&d);
    inflateEnd(&i);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_EncodeDecode64K_BareZlibReused)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
